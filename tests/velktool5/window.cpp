// Peak search, cut ranges and cutting, the reverberant-peak report, the
// energy normalization and the three transfer-function normalizations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "velktool_test_util.h"

using velktest::resetRunState;
using velktest::setLogLevel;

namespace {

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetRunState();
        setLogLevel(0);
        g.nSrc = 2;
        g.nMic = 3;
        g.nfft = 512;
        g.samplingRate = 16000;
        velktool_new(VELKTOOL_POSID);
        for (int j = 0; j < g.nMic; ++j)
            g.micPosId[j] = 10 + j;
        g.srcPosId[0] = 7;
        g.srcPosId[1] = 9;
    }
    void TearDown() override
    {
        setLogLevel(0);
        resetRunState();
    }
};

TEST_F(Window, SearchPeakRanges)
{
    std::vector<float> x(300, 0.0f);
    x[50] = -9;   // outside 100 .. 199
    x[150] = 4;
    x[160] = -4;  // equal magnitude, later: loses
    x[200] = 8;   // index 200 is the exclusive end
    EXPECT_EQ(searchPeak(x.data(), 300, -1, -1), 50);  // peakSearchFrom 0
    EXPECT_EQ(searchPeak(x.data(), 300, 100, 200), 150);
    EXPECT_EQ(searchPeak(x.data(), 300, 100, 201), 200);
    // The end is clipped to the data; a start at or beyond the end stays
    // inside it.
    EXPECT_EQ(searchPeak(x.data(), 300, 180, 100000), 200);
    EXPECT_EQ(searchPeak(x.data(), 300, 300, 400), 299);
    EXPECT_EQ(searchPeak(x.data(), 300, 5000, 6000), 299);
    EXPECT_EQ(searchPeak(x.data(), 0, 0, 10), 0);
}

TEST_F(Window, CutRangeFromLatestPeak)
{
    setLogLevel(3);
    velktool_CutRange r{};
    testing::internal::CaptureStderr();
    getIrRange4FFT(0, 1010, 33, 4000, 1, &r);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.offset, 531.0f);
    EXPECT_EQ(r.cutIndexFrom, 531);
    EXPECT_EQ(r.cutIndexTo, 1043);
    EXPECT_NE(log.find(" LOC offset=531(0.0331"), std::string::npos) << log;
    EXPECT_NE(log.find("sec), extract 531 - 1043"),
              std::string::npos) << log;
    EXPECT_NE(log.find("Src[9] LOC Cut Index 531 - 1043"), std::string::npos);

    // An early peak: no shift and no "Cut Index" line.
    testing::internal::CaptureStderr();
    getIrRange4FFT(1, 100, 33, 4000, 0, &r);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.cutIndexFrom, 0);
    EXPECT_EQ(r.cutIndexTo, 512);
    EXPECT_EQ(log.find("Cut Index"), std::string::npos);

    // A signal shorter than nfft ends the window at its end.
    getIrRange4FFT(0, 100, 33, 300, 0, &r);
    EXPECT_EQ(r.cutIndexTo, 300);

    // A window length beyond nfft pushes the start past the data: the
    // window is empty.
    getIrRange4FFT(1, 3990, 600, 4000, 0, &r);
    EXPECT_EQ(r.cutIndexFrom, 4078);
    EXPECT_EQ(r.cutIndexTo, 4078);
}

TEST_F(Window, CutKeepsEachMicrophonesDirectSound)
{
    std::vector<float> src(4000);
    for (int i = 0; i < 4000; ++i)
        src[i] = (float)(i + 1);
    velktool_CutRange r{531.0f, 531, 1043};
    std::vector<float> late(512, -1.0f), early(512, -1.0f);
    setIr4FFT(0, 1010, &r, 0, 1, 32, src.data(), late.data());
    setIr4FFT(0, 1000, &r, 0, 0, 32, src.data(), early.data());
    for (int k = 0; k < 512; ++k) {
        EXPECT_EQ(late[k], src[531 + k]) << k;  // up to 1010 + 32 = 1042
        EXPECT_EQ(early[k], k < 502 ? src[531 + k] : 0.0f) << k;
    }
    EXPECT_EQ(g.info, nullptr);

    // The separation form copies the window and leaves the rest of dst.
    velktool_CutRange shortRange{0.0f, 0, 300};
    std::vector<float> sep(512, -1.0f);
    setIr4FFT(1, 100, &shortRange, 0, 0, 256, src.data(), sep.data());
    EXPECT_EQ(sep[299], 300.0f);
    EXPECT_EQ(sep[300], -1.0f);
}

TEST_F(Window, CutWarnsAboutPeaksBeforeTheWindow)
{
    setLogLevel(1);
    std::vector<float> src(4000, 1.0f);
    velktool_CutRange r{1521.0f, 1521, 2033};
    std::vector<float> dst(512, -1.0f);
    testing::internal::CaptureStderr();
    // Peak 100 lies far before the window: the whole window is cleared and
    // nothing before dst is touched.
    setIr4FFT(0, 100, &r, 1, 2, 32, src.data(), dst.data());
    std::string log = testing::internal::GetCapturedStderr();
    for (float v : dst)
        ASSERT_EQ(v, 0.0f);
    const char *text = "The direct sound data may have lost on src[9], mic[12]. "
                       "Check the data or direct-length(32).";
    EXPECT_NE(log.find(text), std::string::npos) << log;
    ASSERT_NE(g.info, nullptr);
    EXPECT_EQ(std::string(g.info), std::string(text) + "\n");

    // An empty window (start beyond the data) copies nothing.
    velktool_CutRange empty{4078.0f, 4078, 4078};
    std::vector<float> sep(512, -1.0f);
    setIr4FFT(1, 3990, &empty, 0, 0, 600, src.data(), sep.data());
    EXPECT_EQ(sep[0], -1.0f);
}

TEST_F(Window, ReverberantPeaksFrom200SamplesBehind)
{
    std::string wav = "/data/src7.wav";
    g.srcXml = velkio_XML_newFromData(
        velktest::makePositions("impulse", {7, 9}, {wav, "x"}), nullptr, nullptr);
    int peaks[3] = {1000, 1199, 1200};
    testing::internal::CaptureStdout();
    showReverbSources(0, 1000, peaks);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Mic:[11]"), std::string::npos);
    EXPECT_NE(out.find("Direct sound < Reverberant sound"), std::string::npos);
    EXPECT_NE(out.find("[ /data/src7.wav ]  Mic:[12]ch  Max Peak Index[1200]\n"),
              std::string::npos) << out;
    ASSERT_NE(g.info, nullptr);
    EXPECT_STREQ(g.info, "Direct sound < Reverberant sound  [ /data/src7.wav ]  "
                         "Mic:[12]ch  Max Peak Index[1200]\n");

    int close[3] = {1000, 1199, 1100};
    testing::internal::CaptureStdout();
    showReverbSources(0, 1000, close);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Window, EnergyNormalizationAndSilentSources)
{
    g.nfft = 8;
    velktool_new(VELKTOOL_IRVECT);
    velktool_new(VELKTOOL_TMPIRVECT);
    double energy = 0;
    for (int j = 0; j < g.nMic; ++j)
        for (int k = 0; k < g.nfft; ++k) {
            g.IRvectSep[0][j][k] = 0.25f * (j + 1) - 0.1f * k;
            energy += (double)g.IRvectSep[0][j][k] * g.IRvectSep[0][j][k];
        }
    std::vector<float> before(g.IRvectSep[0][0], g.IRvectSep[0][0] + 3 * 8);
    // Source 1 is silent: it stays zero with a warning naming id 9.
    setLogLevel(1);
    testing::internal::CaptureStderr();
    velktool_normalizeIR(g.IRvectSep);
    std::string log = testing::internal::GetCapturedStderr();
    for (int i = 0; i < 3 * 8; ++i)
        EXPECT_NEAR(g.IRvectSep[0][0][i], before[i] / energy, 1e-5 / energy);
    for (int i = 0; i < 3 * 8; ++i)
        ASSERT_EQ(g.IRvectSep[1][0][i], 0.0f);
    EXPECT_NE(log.find("src[9]"), std::string::npos) << log;
    EXPECT_EQ(log.find("src[7]"), std::string::npos);
}

// TF values and their powers for the normalization checks.
class Normalize : public Window {
protected:
    void SetUp() override
    {
        Window::SetUp();
        g.nfft = 4; // bins 0 .. 2
        velktool_new(VELKTOOL_TFVECT);
        velktool_new(VELKTOOL_TMPTFVECT);
        for (int s = 0; s < g.nSrc; ++s)
            for (int j = 0; j < g.nMic; ++j)
                for (int k = 0; k < 3; ++k)
                    g.TFvect[s][j][k] = velktool_ComplexFloat(
                        1.0f + s + 2.0f * j - 0.5f * k, 0.25f * k - s);
        // One all-zero row: its divisors are 0 and are skipped.
        for (int k = 0; k < 3; ++k)
            g.TFvect[1][2][k] = 0;
        for (int s = 0; s < g.nSrc; ++s)
            for (int j = 0; j < g.nMic; ++j)
                for (int k = 0; k < 3; ++k)
                    orig[s][j][k] = g.TFvect[s][j][k];
    }
    double p(int s, int j, int k) const { return std::norm(orig[s][j][k]); }
    void expectDividedBy(int s, int j, int k, double e)
    {
        std::complex<double> want = e != 0 ? orig[s][j][k] / e : orig[s][j][k];
        EXPECT_NEAR(g.TFvect[s][j][k].real(), want.real(), 1e-5) << s << j << k;
        EXPECT_NEAR(g.TFvect[s][j][k].imag(), want.imag(), 1e-5) << s << j << k;
    }
    std::complex<double> orig[2][3][3];
};

TEST_F(Normalize, BySource)
{
    normalizeTF(g.TFvect, 1, 0, 0);
    for (int s = 0; s < 2; ++s)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                expectDividedBy(s, j, k, std::sqrt(p(0, j, k) + p(1, j, k)));
}

TEST_F(Normalize, ByMicrophone)
{
    normalizeTF(g.TFvect, 0, 1, 0);
    for (int s = 0; s < 2; ++s)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                expectDividedBy(s, j, k,
                                std::sqrt(p(s, 0, k) + p(s, 1, k) + p(s, 2, k)));
}

TEST_F(Normalize, ByFrequencyAndAllThreeFromThePowersBefore)
{
    normalizeTF(g.TFvect, 0, 0, 1);
    for (int s = 0; s < 2; ++s)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                expectDividedBy(s, j, k,
                                std::sqrt(p(s, j, 0) + p(s, j, 1) + p(s, j, 2)));
    EXPECT_EQ(g.TFvect[1][2][1], velktool_ComplexFloat(0, 0));

    // All three: each divisor comes from the unnormalized powers.
    SetUp();
    normalizeTF(g.TFvect, 1, 1, 1);
    for (int s = 0; s < 2; ++s)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) {
                double es = std::sqrt(p(0, j, k) + p(1, j, k));
                double em = std::sqrt(p(s, 0, k) + p(s, 1, k) + p(s, 2, k));
                double ef = std::sqrt(p(s, j, 0) + p(s, j, 1) + p(s, j, 2));
                double e = (es != 0 ? es : 1) * (em != 0 ? em : 1) *
                           (ef != 0 ? ef : 1);
                expectDividedBy(s, j, k, e);
            }
}

TEST_F(Window, PositionAndIdTables)
{
    char used[VELKTOOL_MAX_CHANNELS] = {};
    used[2] = used[5] = used[63] = used[40] = 1;
    velktool_setMicPosId(used);
    EXPECT_EQ(g.micPosId[0], 2);
    EXPECT_EQ(g.micPosId[1], 5);
    EXPECT_EQ(g.micPosId[2], 40); // filled: channel 63 is not reached

    g.srcXml = velkio_XML_newFromData(
        velktest::makePositions("tsp", {30, 4}), nullptr, nullptr);
    velktool_setSrcPosId();
    EXPECT_EQ(g.srcPosId[0], 4);
    EXPECT_EQ(g.srcPosId[1], 30);

    int v[6] = {5, -1, 5, 3, 9, 0};
    velktool_BubSort(v, 6);
    EXPECT_EQ(std::vector<int>(v, v + 6), (std::vector<int>{-1, 0, 3, 5, 5, 9}));

    // Cartesian positions are taken as stored; polar ones are converted.
    velkio_Positions *mics = velktest::makePositions("microphone", {2, 5});
    float polar[3] = {90.0f, 0.0f, 2.0f};
    velkio_Positions_append(mics, velkio_Position_new(40, 0, polar, nullptr));
    g.micXml = velkio_XML_newFromData(mics, nullptr, nullptr);
    velktool_new(VELKTOOL_MICPOS);
    velktool_setMicPos();
    EXPECT_EQ(g.micPos[1][0], 5.0f);
    EXPECT_EQ(g.micPos[1][2], 15.0f);
    EXPECT_NEAR(g.micPos[2][0], 0.0f, 1e-6);
    EXPECT_NEAR(g.micPos[2][1], 2.0f, 1e-6);

    int missing[1] = {41};
    EXPECT_EQ(setPos(mics, missing, 1, g.micPos), 1);

    velkio_XML_delete(&g.srcXml);

    // Each source finds the first position of its id, as a search of the
    // list would, repeated ids and all.
    g.srcXml = velkio_XML_newFromData(
        velktest::makePositions("tsp", {30, 4, 30, 7, 4, 1}), nullptr, nullptr);
    g.nSrc = 6;
    velktool_new(VELKTOOL_POSID);
    velktool_setSrcPosId();
    for (int s = 0; s < g.nSrc; ++s)
        EXPECT_EQ(velktool_sourcePosition(s),
                  velkio_Positions_getById(g.srcXml->poses, g.srcPosId[s]))
            << "source " << s;
}

} // namespace
