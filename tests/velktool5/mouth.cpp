// The mouth-TSP estimator against known systems: recordings whose output
// channels are known filters of the voice input (identity, pure delays,
// short FIR filters) must give those filters back as raw float files; the
// frame count follows the segment end; the checks of a recording are
// reported together and in order, and refused inputs write nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <sndfile.h>
#include <sys/stat.h>

#include "mouth.h"
#include "velktool_test_util.h"

namespace {

using velktest::InTempDir;

// A recording: channels[c][i] is sample i of channel c.
typedef std::vector<std::vector<double>> Channels;

void writeWav(const std::string &path, const Channels &ch, int rate)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = (int)ch.size();
    info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    size_t n = ch[0].size();
    std::vector<double> inter(n * ch.size());
    for (size_t i = 0; i < n; i++)
        for (size_t c = 0; c < ch.size(); c++)
            inter[i * ch.size() + c] = ch[c][i];
    EXPECT_EQ(sf_writef_double(f, inter.data(), (sf_count_t)n), (sf_count_t)n);
    sf_close(f);
}

std::vector<double> noise(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> d(0.0, 0.1);
    std::vector<double> x(n);
    for (auto &v : x)
        v = d(gen);
    return x;
}

// y[n] = sum_m h[m] x[n - m] (zero before the start).
std::vector<double> filter(const std::vector<double> &x,
                           const std::vector<double> &h)
{
    std::vector<double> y(x.size(), 0.0);
    for (size_t n = 0; n < x.size(); n++)
        for (size_t m = 0; m < h.size() && m <= n; m++)
            y[n] += h[m] * x[n - m];
    return y;
}

std::vector<float> readFlt(const std::string &path)
{
    std::vector<float> v;
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return v;
    float x;
    while (fread(&x, sizeof x, 1, fp) == 1)
        v.push_back(x);
    fclose(fp);
    return v;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<char> flags(std::initializer_list<int> channels)
{
    std::vector<char> f(VELKTOOL_MAX_CHANNELS, 0);
    for (int c : channels)
        f[c] = 1;
    return f;
}

class Mouth : public ::testing::Test {
protected:
    void SetUp() override { velktest::setLogLevel(VELKIO_LOG_ERROR); }
    void TearDown() override { velktest::setLogLevel(VELKIO_LOG_ERROR); }
    InTempDir dir;
    std::string wav = dir.file("rec.wav");
    std::string out = dir.file("float");
    std::string ch(int j) const { return out + "_ch" + std::to_string(j) + ".flt"; }
};

// The voice input as its own output channel: every bin is 1, and the real
// response is a unit impulse.  A silent channel has no voice power in any
// bin: its estimate is 0 (with a warning), never NaN.
TEST_F(Mouth, IdentityGivesUnitImpulseAndSilentVoiceGivesZeros)
{
    std::vector<double> x = noise(64, 1);
    writeWav(wav, {x, std::vector<double>(64, 0.0)}, 16000);
    auto f = flags({0});
    ASSERT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 8, 40, 0, f.data(),
                                  8, 8, 4, 0, false, 0.0, 16000),
              0);
    std::vector<float> r = readFlt(ch(0));
    ASSERT_EQ(r.size(), 8u);
    EXPECT_NEAR(r[0], 1.0f, 1e-6);
    for (int i = 1; i < 8; i++)
        EXPECT_NEAR(r[i], 0.0f, 1e-6) << i;

    velktest::setLogLevel(VELKIO_LOG_WARNING);
    testing::internal::CaptureStderr();
    f = flags({0, 1});
    ASSERT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 8, 40, 1, f.data(),
                                  8, 8, 4, 0, false, 0.0, 16000),
              0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("5 of 5 frequency bins of wav channel [0]"),
              std::string::npos) << err;
    EXPECT_NE(err.find("5 of 5 frequency bins of wav channel [1]"),
              std::string::npos) << err;
    for (int j = 0; j < 2; j++)
        for (float v : readFlt(ch(j)))
            EXPECT_EQ(v, 0.0f);
}

// Output channels that are known FIR filters of a noise voice input (one
// of them delayed) are recovered, shifted by the head margin; the
// outputs are numbered by their place among the flagged channels.
TEST_F(Mouth, RecoversKnownFiltersWithHeadMarginLeadIn)
{
    const int n = 4096, hop = 1024, hm = 20;
    std::vector<double> x = noise(16384, 7);
    std::vector<double> h1 = {0.8, -0.3, 0.15, 0.0, 0.05};
    std::vector<double> h3(30, 0.0);
    h3[25] = -0.6;
    h3[26] = 0.2; // delay of 25 samples
    std::vector<double> h4 = {0.0, 0.0, 1.2};
    Channels rec = {x, filter(x, h1), noise(16384, 9), filter(x, h3),
                    filter(x, h4)};
    writeWav(wav, rec, 48000);
    auto f = flags({1, 3, 4});
    velktest::setLogLevel(VELKIO_LOG_INFO);
    testing::internal::CaptureStderr();
    ASSERT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 1000, 12264, 0,
                                  f.data(), n, n, hop, hm, false, 0.0, 48000),
              0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("                    , outputChannels [1,3,4]\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find("                    , enable_wn      [off]\n"),
              std::string::npos) << err;

    const std::vector<double> *want[3] = {&h1, &h3, &h4};
    for (int j = 0; j < 3; j++) {
        std::vector<float> r = readFlt(ch(j));
        ASSERT_EQ(r.size(), (size_t)n);
        double peak = 0, worst = 0;
        for (int i = 0; i < n; i++) {
            int m = i - hm; // the filter starts after the lead-in
            double truth = m >= 0 && m < (int)want[j]->size() ? (*want[j])[m] : 0;
            worst = std::max(worst, std::fabs(r[i] - truth));
            peak = std::max(peak, std::fabs(truth));
        }
        // Windowed frames make the estimate approximate, not exact.
        EXPECT_LT(worst, 0.005 * peak) << "output " << j << " error " << worst;
    }
    EXPECT_FALSE(exists(ch(3)));
}

// The frame count follows the segment: L = N and L = N + hop - 1 give one
// frame, L = N + hop two.
TEST_F(Mouth, FrameCountFollowsSegmentEnd)
{
    writeWav(wav, {noise(400, 2)}, 16000);
    auto f = flags({0});
    velktest::setLogLevel(VELKIO_LOG_DEBUG);
    const int ends[3][2] = {{164, 1}, {164 + 9, 1}, {164 + 10, 2}};
    for (const auto &e : ends) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 100, e[0], 0,
                                      f.data(), 64, 64, 10, 0, false, 0.0,
                                      16000),
                  0);
        std::string err = testing::internal::GetCapturedStderr();
        std::string want = "mouth TSP frames=" + std::to_string(e[1]) + " ";
        EXPECT_NE(err.find(want), std::string::npos) << e[0] << err;
    }
}

// The estimate of one output channel computed here with direct DFTs:
// the ratio of the frame sums of cross spectrum and voice power, brought
// back to the time domain as the spectrum of a real response.
std::vector<double> directEstimate(const Channels &rec, int s, int e, int c,
                                   int n, int hop, int hm)
{
    const double pi = 3.141592653589793;
    std::vector<std::complex<double>> pxx(n / 2 + 1), pyx(n / 2 + 1);
    for (int t = 0; t <= (e - s - n) / hop; t++) {
        for (int k = 0; k <= n / 2; k++) {
            std::complex<double> x, y;
            for (int i = 0; i < n; i++) {
                double w = 0.54 - 0.46 * cos(2 * pi * i / (n - 1));
                std::complex<double> turn = std::polar(1.0, -2 * pi * k * i / n);
                x += w * rec[0][s + t * hop + i] * turn;
                y += w * rec[c][s - hm + t * hop + i] * turn;
            }
            pxx[k] += std::norm(x);
            pyx[k] += y * std::conj(x);
        }
    }
    std::vector<double> h(n);
    for (int i = 0; i < n; i++)
        for (int k = 0; k < n; k++) {
            std::complex<double> H = k <= n / 2 ? pyx[k] / pxx[k]
                                                : std::conj(pyx[n - k] / pxx[n - k]);
            h[i] += (H * std::polar(1.0, 2 * pi * k * i / n)).real() / n;
        }
    return h;
}

// A recording far longer than one read of the file: frames that overlap,
// frames with whole blocks of the file between them, and head margins of
// either sign give the estimate of a direct computation.
TEST_F(Mouth, LongRecordingMatchesDirectEstimate)
{
    const int n = 32, frames = 20000;
    std::vector<double> x = noise(frames, 4);
    Channels rec = {x, filter(x, {0.5, 0.0, -0.25, 0.1}), noise(frames, 5)};
    for (double &v : rec[1])
        v += 0.01 * v * v; // not quite linear: the frames do not agree
    writeWav(wav, rec, 16000);
    auto f = flags({1, 2});
    const int cases[][2] = {{7, 5}, {4500, 0}, {13, -9}}; // hop, head margin
    for (const auto &k : cases) {
        const int s = 100, e = frames - 20;
        ASSERT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, s, e, 0, f.data(),
                                      n, n, k[0], k[1], false, 0.0, 16000),
                  0);
        for (int j = 0; j < 2; j++) {
            std::vector<double> want = directEstimate(rec, s, e, j + 1, n, k[0], k[1]);
            std::vector<float> got = readFlt(ch(j));
            ASSERT_EQ(got.size(), (size_t)n);
            for (int i = 0; i < n; i++)
                EXPECT_NEAR(got[i], want[i], 1e-6) << "hop " << k[0] << " j " << j << " i " << i;
        }
    }
}

// Segment end, voice-input channel and sampling rate are checked together
// and reported in that order; a missing output channel, frames before or
// after the recording and non-finite samples are refused; nothing is
// written.
TEST_F(Mouth, RefusedRecordingsWriteNothing)
{
    std::vector<double> x = noise(200, 3);
    writeWav(wav, {x, x}, 16000);
    auto f = flags({0, 1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 100, 201, 2,
                                  f.data(), 64, 64, 10, 0, false, 0.0, 8000),
              1);
    std::string err = testing::internal::GetCapturedStderr();
    size_t a = err.find("Wav(" + wav + ") frames(200) is less than end of sample (201)");
    size_t b = err.find("mouth TSP data not found: wav channel [2] in file [" + wav + "]");
    size_t c = err.find("Config SamplingRate (8000) differ from Wav(" + wav +
                        ") SamplingRate (16000)");
    ASSERT_NE(a, std::string::npos) << err;
    ASSERT_NE(b, std::string::npos) << err;
    ASSERT_NE(c, std::string::npos) << err;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);

    struct Case {
        int s, e, mch, hm, fltlen;
        std::vector<char> flags;
        const char *message;
    } cases[] = {
        {100, 200, 0, 0, 64, flags({0, 5}), "wav channel [5] in file"},
        {100, 200, 0, 101, 64, flags({0}), "would start at sample -1"},
        {136, 200, 0, -1, 64, flags({0}), "would reach sample 201"},
        {100, 163, 0, 0, 64, flags({0}), "shorter than one frame"},
        {100, 200, 0, 0, 65, flags({0}), "65 samples to write"},
    };
    for (const Case &k : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, k.s, k.e, k.mch,
                                      k.flags.data(), k.fltlen, 64, 10, k.hm,
                                      false, 0.0, 16000),
                  1);
        err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(k.message), std::string::npos) << err;
    }
    x[150] = NAN;
    writeWav(wav, {x, x}, 16000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velktool_mouthTspFD(wav.c_str(), {out.c_str(), AT_FDCWD}, 100, 200, 0,
                                  f.data(), 64, 64, 10, 0, false, 0.0, 16000),
              1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("not a finite number (frame 150)"), std::string::npos) << err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(velktool_mouthTspFD(dir.file("none.wav").c_str(), {out.c_str(), AT_FDCWD},
                                  100, 200, 0, f.data(), 64, 64, 10, 0, false,
                                  0.0, 16000),
              1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("wavefile(" + dir.file("none.wav") + ") is not found."),
              std::string::npos) << err;
    EXPECT_FALSE(exists(ch(0)));
}

} // namespace
