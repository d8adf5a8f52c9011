// Transfer functions from impulse responses, checked against a direct DFT
// through the archive the library wrote; the README and calcTF
// annotations; --reset-mic; ownership of what moves into the record.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <zip.h>

#include "velktool_test_util.h"

using velktest::InTempDir;
using velktest::resetRunState;
using velktest::setLogLevel;

namespace {

typedef std::complex<double> cd;

class TfWrite : public ::testing::Test {
protected:
    // Two sources listed out of id order (8, then 2), three microphones
    // out of `micIds`, nfft 16; impulse responses from a fixed sequence.
    void SetUp() override
    {
        resetRunState();
        setLogLevel(0);
        g.nSrc = 2;
        g.nfft = 16;
        g.samplingRate = 16000;
        path = dir.file("tf.zip");
    }
    void TearDown() override { resetRunState(); }

    void prepare(const std::vector<int> &micIds, const std::vector<int> &used)
    {
        g.nMic = (int)used.size();
        velkio_Config *cfg = velkio_Config_new();
        velkio_Config_setNfft(cfg, g.nfft);
        velkio_Config_setSamplingRate(cfg, g.samplingRate);
        velkio_Positions *src =
            velktest::makePositions("impulse", {8, 2}, {"/d/b.wav", "/d/a.wav"});
        int channels[3] = {1, 4, 6};
        velkio_Position_setChannels(src->list[1], channels, 3);
        velkio_Position_setChannelsUse(src->list[1], 1);
        g.srcXml = velkio_XML_newFromData(src, nullptr, cfg);
        g.tspPath = velkio_Config_getTSPpath(cfg);
        g.micXml = velkio_XML_newFromData(
            velktest::makePositions("microphone", micIds), nullptr, nullptr);
        velktool_new(VELKTOOL_POSID);
        velktool_new(VELKTOOL_IRVECT);
        velktool_new(VELKTOOL_TMPIRVECT);
        velktool_new(VELKTOOL_TFVECT);
        velktool_new(VELKTOOL_TMPTFVECT);
        velktool_new(VELKTOOL_FFTBUF);
        for (int j = 0; j < g.nMic; ++j)
            g.micPosId[j] = used[j];
        velktool_setSrcPosId(); // 2, 8
        unsigned seed = 12345;
        for (int s = 0; s < g.nSrc; ++s)
            for (int j = 0; j < g.nMic; ++j)
                for (int k = 0; k < g.nfft; ++k) {
                    seed = seed * 1103515245u + 12345u;
                    float v = (float)((seed >> 16) % 2001) / 1000.0f - 1.0f;
                    g.IRvectLoc[s][j][k] = v;
                    g.IRvectSep[s][j][k] = 0.5f * v + 0.01f * k;
                }
        loc.assign(g.IRvectLoc[0][0], g.IRvectLoc[0][0] + g.nSrc * g.nMic * g.nfft);
        sep.assign(g.IRvectSep[0][0], g.IRvectSep[0][0] + g.nSrc * g.nMic * g.nfft);
    }
    const float *locIR(int s, int j) const { return &loc[(s * g.nMic + j) * g.nfft]; }

    // SEP reference: conj(DFT(ir / energy)) with bin nfft/2 cleared.
    std::vector<cd> sepReference(int s, int j) const
    {
        double e = 0;
        for (int i = 0; i < g.nMic * g.nfft; ++i)
            e += (double)sep[s * g.nMic * g.nfft + i] * sep[s * g.nMic * g.nfft + i];
        std::vector<float> scaled(g.nfft);
        for (int k = 0; k < g.nfft; ++k)
            scaled[k] = (float)(sep[(s * g.nMic + j) * g.nfft + k] / e);
        std::vector<cd> x = velktest::directDft(scaled.data(), g.nfft);
        for (cd &v : x)
            v = std::conj(v);
        x[g.nfft / 2] = 0;
        return x;
    }

    static void expectMatrix(const velkio_Matrix *m, int row,
                             const std::vector<cd> &want, double tol)
    {
        for (size_t k = 0; k < want.size(); ++k) {
            velkio_Complex v;
            ASSERT_EQ(velkio_Matrix_getValueComplex(m, row, (int)k, &v), 0);
            EXPECT_NEAR(v.real(), want[k].real(), tol) << row << "," << k;
            EXPECT_NEAR(v.imag(), want[k].imag(), tol) << row << "," << k;
        }
    }

    std::string member(const char *name) const { return memberOf(path, name); }
    static std::string memberOf(const std::string &file, const char *name)
    {
        zip_t *za = zip_open(file.c_str(), ZIP_RDONLY, nullptr);
        if (za == nullptr)
            return "<no archive>";
        char *text = nullptr;
        std::string out = zip_name_locate(za, name, 0) >= 0 &&
                                  velkio_Archive_readMember(za, nullptr, name, VELKIO_MEMBER_XML,
                                                            (unsigned char **)&text, nullptr) == 0
                              ? text
                              : "<missing>";
        free(text);
        zip_discard(za);
        return out;
    }

    InTempDir dir;
    std::string path;
    std::vector<float> loc, sep;
};

TEST_F(TfWrite, LocAndSepAgainstDirectDftStoredUnderTheirIds)
{
    prepare({0, 1, 2}, {0, 1, 2});
    velktool_CutRangePair ranges[2] = {};
    ranges[0].loc = {531.0f, 531, 1043}; // id 2
    genTfFromIR(LOC_SEP, 0, 0, 0, 0, path.c_str(), ranges);

    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    ASSERT_NE(tf, nullptr);
    ASSERT_EQ(tf->positions->count, 2);
    ASSERT_EQ(tf->nLocTFs, 2);
    ASSERT_EQ(tf->nSepTFs, 2);
    for (int i = 0; i < 2; ++i) {
        int s = tf->positions->list[i]->id == 2 ? 0 : 1; // row of srcPosId
        for (int j = 0; j < 3; ++j) {
            expectMatrix(tf->locTFs[i], j, velktest::directDft(locIR(s, j), 16), 2e-5);
            std::vector<cd> want = sepReference(s, j);
            double scale = 0;
            for (const cd &v : want)
                scale = std::max(scale, std::abs(v));
            expectMatrix(tf->sepTFs[i], j, want, 2e-5 * scale);
        }
    }
    velkio_TransferFunction_delete(&tf);

    EXPECT_EQ(member("transferFunction/README"),
              "Normalization Type \n- Source     [0]\n- Microphone [0]\n"
              "- Frequency  [0]\n");
    std::string xml = member("transferFunction/source.xml");
    EXPECT_NE(xml.find("<calcTF type=\"localization\" offset=\"531.000000\" "
                       "cutIndexFrom=\"531\" cutIndexTo=\"1043\"/></position>"),
              std::string::npos) << xml;
    EXPECT_EQ(xml.find("calcTF"), xml.rfind("calcTF"));   // only one element
    EXPECT_EQ(xml.find("separation\""), std::string::npos);
    // The library's loader accepts the annotated archive (checked above);
    // releasing the run state must not free what the record owns.
    resetRunState();
}

TEST_F(TfWrite, SepNormalizedByFrequencyAndSilentSource)
{
    prepare({0, 1, 2}, {0, 1, 2});
    for (int j = 0; j < 3; ++j)
        for (int k = 0; k < 16; ++k)
            g.IRvectSep[1][j][k] = 0; // id 8 is silent
    setLogLevel(1);
    testing::internal::CaptureStderr();
    genTfFromIR(SEP, 0, 0, 1, 0, path.c_str(), nullptr);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("src[8]"), std::string::npos) << log;

    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    ASSERT_NE(tf, nullptr);
    EXPECT_EQ(tf->nLocTFs, 0);
    for (int i = 0; i < 2; ++i) {
        bool silent = tf->positions->list[i]->id == 8;
        for (int j = 0; j < 3; ++j) {
            std::vector<cd> want(9, 0.0);
            if (!silent) {
                want = sepReference(0, j);
                double e = 0;
                for (const cd &v : want)
                    e += std::norm(v);
                for (cd &v : want)
                    v /= std::sqrt(e);
            }
            for (int k = 0; k < 9; ++k) {
                velkio_Complex v;
                velkio_Matrix_getValueComplex(tf->sepTFs[i], j, k, &v);
                ASSERT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag()));
            }
            expectMatrix(tf->sepTFs[i], j, want, 1e-5);
        }
    }
    velkio_TransferFunction_delete(&tf);
    EXPECT_EQ(member("transferFunction/README"),
              "Normalization Type \n- Source     [0]\n- Microphone [0]\n"
              "- Frequency  [1]\n");
}

TEST_F(TfWrite, EmptyReportLeavesTheArchiveTheLibrarys)
{
    prepare({0, 1, 2}, {0, 1, 2});
    velktool_CutRangePair ranges[2] = {};
    ranges[0].loc = {531.0f, 531, 1043};
    genTfFromIR(LOC, 0, 0, 0, 0, path.c_str(), ranges);
    EXPECT_EQ(g.info, nullptr);
    EXPECT_EQ(member("transferFunction/README"), "<missing>");
    EXPECT_EQ(member("transferFunction/source.xml").find("calcTF"), std::string::npos);

    // A report text: README plus annotations; offset-only ranges (as a
    // geometric run makes them) carry no cut indices, uncut ones none.
    // The file the archive replaces need not be one.
    ASSERT_TRUE(velktest::writeFile(path, "not a zip file"));
    SetUp();
    prepare({0, 1, 2}, {0, 1, 2});
    g.info = strdup("line\n");
    ranges[0].sep = {12.5f, 0, 0};
    ranges[1].loc = {0.0f, 0, 0};
    genTfFromIR(LOC_SEP, 0, 0, 0, 0, path.c_str(), ranges);
    EXPECT_EQ(member("transferFunction/README"),
              "line\nNormalization Type \n- Source     [0]\n- Microphone [0]\n"
              "- Frequency  [0]\n");
    std::string xml = member("transferFunction/source.xml");
    size_t locAt = xml.find("type=\"localization\"");
    size_t sepAt = xml.find("<calcTF type=\"separation\" offset=\"12.500000\"/>");
    EXPECT_NE(sepAt, std::string::npos) << xml;
    EXPECT_LT(locAt, sepAt);
    size_t count = 0;
    for (size_t at = xml.find("<calcTF"); at != std::string::npos; at = xml.find("<calcTF", at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << xml; // both of id 2; id 8 was not cut
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    EXPECT_NE(tf, nullptr);
    velkio_TransferFunction_delete(&tf);
}

// The annotated source.xml keeps the layout of the archives written so
// far: the library's document with the calcTF elements of a position after
// its children, right before its end tag; the README is the last member.
TEST_F(TfWrite, AnnotatedSourceListKeepsTheArchiveLayout)
{
    velktool_CutRangePair ranges[2] = {};
    ranges[0].loc = {531.0f, 531, 1043}; // id 2
    ranges[1].sep = {12.5f, 0, 0};       // id 8
    prepare({0, 1, 2}, {0, 1, 2});
    char *plain = velkio_XML_toString(g.srcXml, nullptr);
    ASSERT_NE(plain, nullptr);
    std::string want = plain;
    free(plain);
    g.info = strdup("line\n");
    genTfFromIR(LOC, 0, 0, 0, 0, path.c_str(), ranges);

    // Id 8 comes first in the document.
    const std::string end = "</position>";
    size_t first = want.find(end);
    size_t second = want.find(end, first + end.size());
    ASSERT_NE(second, std::string::npos) << want;
    want.insert(second, "<calcTF type=\"localization\" offset=\"531.000000\" "
                        "cutIndexFrom=\"531\" cutIndexTo=\"1043\"/>");
    want.insert(first, "<calcTF type=\"separation\" offset=\"12.500000\"/>");
    EXPECT_EQ(member("transferFunction/source.xml"), want);
    EXPECT_EQ(member("transferFunction/README"), "line\n");

    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
    ASSERT_NE(za, nullptr);
    zip_int64_t n = zip_get_num_entries(za, 0);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(zip_get_name(za, (zip_uint64_t)(n - 1), 0), "transferFunction/README");
    zip_discard(za);
}

TEST_F(TfWrite, ResetMicKeepsChannelsInUseRenumbered)
{
    prepare({0, 1, 2, 3, 4, 5, 6, 7}, {1, 4, 6});
    genTfFromIR(LOC, 0, 0, 0, 1, path.c_str(), nullptr);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    ASSERT_NE(tf, nullptr);
    ASSERT_EQ(tf->microphones->count, 3);
    const int was[3] = {1, 4, 6};
    for (int m = 0; m < 3; ++m) {
        EXPECT_EQ(tf->microphones->list[m]->id, m);
        EXPECT_EQ(tf->microphones->list[m]->coords[0], (float)was[m]);
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(tf->positions->list[i]->useChannels, 0);
    EXPECT_EQ(tf->locTFs[0]->rows, 3);
    velkio_TransferFunction_delete(&tf);
}

TEST_F(TfWrite, FailedWriteEndsTheRun)
{
    prepare({0, 1, 2}, {0, 1, 2});
    std::string bad = dir.file("missing/dir/tf.zip");
    EXPECT_EXIT(genTfFromIR(LOC, 0, 0, 0, 0, bad.c_str(), nullptr),
                testing::ExitedWithCode(1), "velkio_TransferFunction_write error");
}

} // namespace
