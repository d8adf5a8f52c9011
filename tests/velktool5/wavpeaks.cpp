// The WAV loader searches the peaks of all channels of a file at once, in
// the samples as stored, and copies only the cut windows: its peaks, cut
// ranges and impulse responses must be those of a channel-by-channel search
// (velktool_getWavDataFromFile, searchPeak) and cut (getIrRange4FFT,
// setIr4FFT), also with ties, NaN samples, a restricted search range, and
// channel counts that the search takes in one pass over the frames or in
// several (eight; seven; twenty-one: sixteen, four and one alone).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "velktool_test_util.h"

using velktest::InTempDir;
using velktest::resetRunState;
using velktest::setLogLevel;

namespace {

const int FRAMES = 3000;

// A deterministic pseudo-random sample in [-1, 1).
float noise(unsigned &state)
{
    state = state * 1664525u + 1013904223u;
    return (float)((state >> 8) & 0xffff) / 32768.0f - 1.0f;
}

// Channel c of file number n: decaying noise with a direct-sound peak whose
// place depends on c and n, and the special cases on some channels.
std::vector<float> makeSignal(int n, int channels)
{
    std::vector<float> x((size_t)FRAMES * channels);
    unsigned state = 12345u + 977u * (unsigned)n;
    for (int f = 0; f < FRAMES; ++f)
        for (int c = 0; c < channels; ++c)
            x[(size_t)f * channels + c] = 0.1f * noise(state);
    auto at = [&](int f, int c) -> float & { return x[(size_t)f * channels + c]; };
    for (int c = 0; c < channels; ++c)
        at(300 + 37 * c + 101 * n, c) = 0.9f;
    at(200, 1) = -0.95f; // a tie of magnitudes: the earlier one wins
    at(900, 1) = 0.95f;
    at(0, 2) = NAN;      // never replaced
    at(500, 3) = NAN;    // never wins
    at(FRAMES - 1, 4) = -2.0f; // peak on the last sample
    at(2500, 5) = 1.5f;  // a peak behind the others (reported)
    at(150, 6) = 0.95f;  // with seven channels, the one beyond the group
    if (channels > 20) {  // the same beyond the first sixteen channels
        at(200, 17) = -0.95f;
        at(900, 17) = 0.95f;
        at(500, 18) = NAN;
        at(FRAMES - 1, 19) = -2.0f;
        at(0, 20) = NAN;
    }
    return x;
}

class WavPeaks : public ::testing::TestWithParam<int> {
protected:
    const int channels = GetParam();

    void SetUp() override
    {
        resetRunState();
        setLogLevel(0);
        std::vector<std::string> paths;
        for (int n = 0; n < 3; ++n) {
            std::string path = dir.file("ir" + std::to_string(n) + ".wav");
            SF_INFO info{};
            info.samplerate = 16000;
            info.channels = channels;
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
            ASSERT_NE(f, nullptr);
            std::vector<float> x = makeSignal(n, channels);
            ASSERT_EQ(sf_writef_float(f, x.data(), FRAMES), FRAMES);
            sf_close(f);
            paths.push_back(path);
        }
        g.nSrc = 3;
        g.nMic = channels - 1;
        g.nfft = 512;
        g.samplingRate = 16000;
        g.srcXml = velkio_XML_newFromData(
            velktest::makePositions("impulse", {5, 1, 3}, paths), nullptr, nullptr);
        velktool_new(VELKTOOL_POSID);
        velktool_new(VELKTOOL_IRVECT);
        for (int j = 0; j < g.nMic; ++j) // channel 5 is not in use
            g.micPosId[j] = j < 5 ? j : j + 1;
        velktool_setSrcPosId();
    }
    void TearDown() override { resetRunState(); }

    // Ranges and impulse responses of source s, channel by channel.
    void reference(int s, int tfType, int direct, int reverb,
                   velktool_CutRangePair *pair, std::vector<float> &loc,
                   std::vector<float> &sep)
    {
        const velkio_Position *p =
            velkio_Positions_getById(g.srcXml->poses, g.srcPosId[s]);
        int frames = 0, rate = 0;
        velktool_getWavDataFromFile(p->path, &frames, &rate);
        std::vector<int> peaks((size_t)g.nMic);
        int pmax = 0;
        for (int j = 0; j < g.nMic; ++j) {
            peaks[j] = searchPeak(g.wavData[j], frames, g.peakSearchFrom - 1,
                                  g.peakSearchTo - 1);
            pmax = j == 0 || peaks[j] > pmax ? peaks[j] : pmax;
        }
        *pair = {};
        loc.assign((size_t)g.nMic * g.nfft, 0.0f);
        sep.assign((size_t)g.nMic * g.nfft, 0.0f);
        if (tfType != SEP)
            getIrRange4FFT(0, pmax, direct + 1, frames, s, &pair->loc);
        if (tfType != LOC)
            getIrRange4FFT(1, pmax, reverb + 1, frames, s, &pair->sep);
        for (int j = 0; j < g.nMic; ++j) {
            if (tfType != SEP)
                setIr4FFT(0, peaks[j], &pair->loc, s, j, direct, g.wavData[j],
                          &loc[(size_t)j * g.nfft]);
            if (tfType != LOC)
                setIr4FFT(1, peaks[j], &pair->sep, s, j, reverb, g.wavData[j],
                          &sep[(size_t)j * g.nfft]);
        }
    }

    void expectSameAsReference(int tfType, int direct, int reverb)
    {
        velktool_CutRangePair ranges[3] = {};
        testing::internal::CaptureStdout();
        velktool_setIRvectFromWav(tfType, direct, reverb, ranges);
        testing::internal::GetCapturedStdout();
        for (int s = 0; s < g.nSrc; ++s) {
            velktool_CutRangePair pair;
            std::vector<float> loc, sep;
            reference(s, tfType, direct, reverb, &pair, loc, sep);
            EXPECT_EQ(0, memcmp(&pair, &ranges[s], sizeof pair)) << "source " << s;
            for (int j = 0; j < g.nMic; ++j) {
                // Bytes, so that NaN samples compare too.
                if (tfType != SEP) {
                    EXPECT_EQ(0, memcmp(&loc[(size_t)j * g.nfft], g.IRvectLoc[s][j],
                                        g.nfft * sizeof(float)))
                        << "LOC source " << s << " mic " << j;
                }
                if (tfType != LOC) {
                    EXPECT_EQ(0, memcmp(&sep[(size_t)j * g.nfft], g.IRvectSep[s][j],
                                        g.nfft * sizeof(float)))
                        << "SEP source " << s << " mic " << j;
                }
            }
        }
    }

    InTempDir dir;
};

TEST_P(WavPeaks, WholeSignalSearch)
{
    expectSameAsReference(LOC_SEP, 32, 256);
}

TEST_P(WavPeaks, RestrictedSearchAndSingleKinds)
{
    g.peakSearchFrom = 151; // indices 150 .. 899: the tie at 200 and 900 is cut
    g.peakSearchTo = 900;
    expectSameAsReference(LOC, 16, 256);
    velktool_delete(VELKTOOL_IRVECT);
    velktool_new(VELKTOOL_IRVECT);
    g.peakSearchFrom = 2900; // only the last 100 samples
    g.peakSearchTo = 5000;
    expectSameAsReference(SEP, 32, 500);
}

TEST_P(WavPeaks, SearchStartBeyondTheData)
{
    g.peakSearchFrom = FRAMES + 10;
    g.peakSearchTo = FRAMES + 20;
    expectSameAsReference(LOC_SEP, 32, 256);
}

INSTANTIATE_TEST_SUITE_P(ChannelCounts, WavPeaks, ::testing::Values(7, 8, 21));

TEST(SearchPeak, MatchesPlainScanOnNoiseTiesAndNaN)
{
    unsigned state = 99u;
    std::vector<float> x(1003);
    for (float &v : x)
        v = noise(state);
    x[10] = 1.0f;
    x[700] = -1.0f; // tie: 10 wins over 700
    x[20] = NAN;
    auto plain = [&](int from, int to) {
        int start = 0, end = (int)x.size();
        if (from >= 0 && to >= 0) {
            start = std::min(from, end);
            end = std::min(to, end);
        }
        int best = start;
        for (int i = start + 1; i < end; ++i)
            if (fabsf(x[i]) > fabsf(x[best]))
                best = i;
        return best;
    };
    const int n = (int)x.size();
    for (int from : {-1, 0, 1, 11, 19, 20, 21, 699, 998, 1001})
        for (int to : {-1, 0, 2, 21, 22, 700, 701, 1000, 1003, 5000})
            EXPECT_EQ(searchPeak(x.data(), n, from, to), plain(from, to))
                << from << " .. " << to;
    x[0] = NAN; // a NaN at the start of the whole-signal search stays the peak
    EXPECT_EQ(searchPeak(x.data(), n, -1, -1), 0);
}

} // namespace
