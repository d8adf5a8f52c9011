// Arrays of the run state: layout, zero fill, allocation by kind, release.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "velktool.h"

// In the sanitizer build, let an impossible allocation fail like an
// exhausted heap instead of stopping the process.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

class RunState : public ::testing::Test {
protected:
    void SetUp() override
    {
        velktool_freeMemory();
        g.nSrc = 3;
        g.nMic = 4;
        g.nfft = 16;
    }
    void TearDown() override { velktool_freeMemory(); }
};

TEST(Arrays, ThreeDimLayoutIsOneZeroFilledBlock)
{
    const int d1 = 3, d2 = 5, d3 = 7;
    float ***a = velktool_newFloatThreeDim(d1, d2, d3);
    float *flat = a[0][0];
    for (int i = 0; i < d1; ++i)
        for (int j = 0; j < d2; ++j) {
            EXPECT_EQ(a[i], a[0] + i * d2);
            for (int k = 0; k < d3; ++k) {
                EXPECT_EQ(a[i][j][k], 0.0f);
                EXPECT_EQ(&a[i][j][k], flat + (i * d2 + j) * d3 + k);
            }
        }
    velktool_freeFloatThreeDim(a);

    velktool_ComplexFloat ***c = velktool_newComplexFloatThreeDim(2, 3, 9);
    c[1][2][8] = velktool_ComplexFloat(1, -1);
    EXPECT_EQ(c[0][0][(1 * 3 + 2) * 9 + 8], velktool_ComplexFloat(1, -1));
    EXPECT_EQ(c[1][0][0], velktool_ComplexFloat(0, 0));
    velktool_freeComplexFloatThreeDim(c);
}

TEST(Arrays, TwoDimLayoutIsOneZeroFilledBlock)
{
    char **s = velktool_newCharTwoDim(3, 4096);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(s[r], s[0] + r * 4096);
        for (int c = 0; c < 4096; ++c)
            ASSERT_EQ(s[r][c], 0);
    }
    velktool_freeCharTwoDim(s);

    velktool_ComplexDouble **d = velktool_newComplexDoubleTwoDim(4, 2);
    d[3][1] = velktool_ComplexDouble(2, 3);
    EXPECT_EQ(d[0][7], velktool_ComplexDouble(2, 3));
    velktool_freeComplexDoubleTwoDim(d);

    float **f = velktool_newFloatTwoDim(2, 3);
    EXPECT_EQ(f[1], f[0] + 3);
    velktool_freeFloatTwoDim(f);
}

TEST(Arrays, EmptyShapesAreReleasable)
{
    velktool_freeFloatThreeDim(velktool_newFloatThreeDim(0, 5, 5));
    velktool_freeFloatThreeDim(velktool_newFloatThreeDim(5, 0, 5));
    velktool_freeFloatThreeDim(velktool_newFloatThreeDim(5, 5, 0));
    velktool_freeFloatThreeDim(velktool_newFloatThreeDim(-1, -1, -1));
    velktool_freeCharTwoDim(velktool_newCharTwoDim(0, 10));
    velktool_freeFloatTwoDim(velktool_newFloatTwoDim(-3, 3));
    velktool_freeIntOneDim(velktool_newIntOneDim(0));
    velktool_freeComplexFloatOneDim(velktool_newComplexFloatOneDim(0));
    velktool_freeFloatThreeDim(nullptr);
    velktool_freeComplexFloatThreeDim(nullptr);
    velktool_freeCharTwoDim(nullptr);
    velktool_freeFloatTwoDim(nullptr);
    velktool_freeComplexDoubleTwoDim(nullptr);
    velktool_freeIntOneDim(nullptr);
    velktool_freeComplexFloatOneDim(nullptr);
}

TEST_F(RunState, KindsHaveTheShapesOfTheCounts)
{
    for (int kind : {0, 1, 2, 3, 4, 6, 7, 8, 9, 12, 15})
        velktool_new(kind);
    const int bins = g.nfft / 2 + 1;
    for (auto tf : {g.TFvect, g.extraTFvect, g.tmpTFvect}) {
        ASSERT_NE(tf, nullptr);
        EXPECT_EQ(tf[2][3] + bins, tf[0][0] + 3 * 4 * bins);
    }
    for (auto ir : {g.IRvectLoc, g.IRvectSep, g.tmpIRvect}) {
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir[2][3] + g.nfft, ir[0][0] + 3 * 4 * g.nfft);
    }
    EXPECT_EQ(g.micPos[3], g.micPos[0] + 9);
    EXPECT_EQ(g.srcPos[2], g.srcPos[0] + 6);
    EXPECT_EQ(g.tmpSrcDir[2], g.tmpSrcDir[0] + 2 * 4096);
    EXPECT_EQ(g.srcBaseName[2], g.srcBaseName[0] + 2 * 4096);
    ASSERT_NE(g.micPosId, nullptr);
    ASSERT_NE(g.srcPosId, nullptr);
    g.micPosId[3] = 1; // within [nMic]
    g.srcPosId[2] = 1; // within [nSrc]
    ASSERT_NE(g.fftIn, nullptr);
    g.fftIn[15] = g.fftOut[15] = 1;
    EXPECT_EQ(g.wavData, nullptr); // kind 5 is not allocated here
}

TEST_F(RunState, DeleteClearsTheFieldsAndIsHarmlessTwice)
{
    for (int kind : {0, 1, 2, 3, 4, 6, 7, 8, 9, 12, 15})
        velktool_new(kind);
    g.wavData = velktool_newFloatTwoDim(g.nMic, 100);
    for (int round = 0; round < 2; ++round)
        for (int kind = 0; kind <= 16; ++kind)
            velktool_delete(kind);
    EXPECT_EQ(g.TFvect, nullptr);
    EXPECT_EQ(g.tmpTFvect, nullptr);
    EXPECT_EQ(g.IRvectLoc, nullptr);
    EXPECT_EQ(g.IRvectSep, nullptr);
    EXPECT_EQ(g.tmpIRvect, nullptr);
    EXPECT_EQ(g.wavData, nullptr);
    EXPECT_EQ(g.micPos, nullptr);
    EXPECT_EQ(g.tmpSrcDir, nullptr);
    EXPECT_EQ(g.srcBaseName, nullptr);
    EXPECT_EQ(g.micPosId, nullptr);
    EXPECT_EQ(g.srcPosId, nullptr);
    EXPECT_EQ(g.fftIn, nullptr);
    EXPECT_EQ(g.fftOut, nullptr);
    // Kinds 1 and 7 stay until the end of the run.
    EXPECT_NE(g.extraTFvect, nullptr);
    EXPECT_NE(g.srcPos, nullptr);
}

TEST_F(RunState, ReallocationGivesFreshZeroedArrays)
{
    velktool_new(0);
    g.TFvect[1][1][1] = 5;
    velktool_new(0);
    EXPECT_EQ(g.TFvect[1][1][1], velktool_ComplexFloat(0, 0));
}

TEST_F(RunState, InitArrayZeroesTheWorkArrays)
{
    velktool_new(2);
    velktool_new(4);
    velktool_new(0);
    g.tmpTFvect[2][3][8] = velktool_ComplexFloat(1, 2);
    g.tmpTFvect[0][0][0] = 3;
    g.tmpIRvect[2][3][15] = 4;
    g.TFvect[0][0][0] = 6;
    velktool_initArray(2);
    velktool_initArray(4);
    velktool_initArray(0); // does nothing
    EXPECT_EQ(g.tmpTFvect[2][3][8], velktool_ComplexFloat(0, 0));
    EXPECT_EQ(g.tmpTFvect[0][0][0], velktool_ComplexFloat(0, 0));
    EXPECT_EQ(g.tmpIRvect[2][3][15], 0.0f);
    EXPECT_EQ(g.TFvect[0][0][0], velktool_ComplexFloat(6, 0));
    velktool_delete(2);
    velktool_initArray(2); // null array: nothing to do
}

TEST_F(RunState, FreeMemoryReleasesEverything)
{
    for (int kind : {0, 1, 2, 3, 4, 6, 7, 8, 9, 12, 15})
        velktool_new(kind);
    g.micXml = velkio_XML_new();
    g.tf = velkio_TransferFunction_new();
    g.info = strdup("report");
    velktool_freeMemory();
    EXPECT_EQ(g.TFvect, nullptr);
    EXPECT_EQ(g.extraTFvect, nullptr);
    EXPECT_EQ(g.srcPos, nullptr);
    EXPECT_EQ(g.fftOut, nullptr);
    EXPECT_EQ(g.micXml, nullptr);
    EXPECT_EQ(g.tf, nullptr);
    EXPECT_EQ(g.info, nullptr);
    velktool_freeMemory(); // all null: harmless
}

TEST(ArraysDeathTest, ImpossibleSizeEndsTheRun)
{
    EXPECT_EXIT(velktool_newComplexFloatThreeDim(INT_MAX, INT_MAX, INT_MAX),
                ::testing::ExitedWithCode(1),
                "velktool_newComplexFloatThreeDim.*can not allocated memory"
                "(.|\n)*velktool abnormal end");
    EXPECT_EXIT(velktool_newCharTwoDim(INT_MAX, INT_MAX),
                ::testing::ExitedWithCode(1),
                "velktool_newCharTwoDim.*can not allocated memory");
    g.nSrc = INT_MAX;
    g.nMic = INT_MAX;
    g.nfft = INT_MAX;
    EXPECT_EXIT(velktool_new(3), ::testing::ExitedWithCode(1),
                "velktool_newFloatThreeDim.*can not allocated memory");
    EXPECT_EXIT(velktool_new(8), ::testing::ExitedWithCode(1),
                "velktool_newCharTwoDim.*can not allocated memory");
    g.nSrc = g.nMic = g.nfft = 0;
}

TEST(ExitDeathTest, StatusAndEndLine)
{
    EXPECT_EXIT(velktool_Exit(5), ::testing::ExitedWithCode(1),
                "velktool abnormal end");
    EXPECT_EXIT(
        {
            velkopt_applyLogLevel("I");
            velktool_Exit(0);
        },
        ::testing::ExitedWithCode(0), "velktool normal end");
}

} // namespace
