// TSP deconvolution: recordings made here by direct circular convolution of
// a closed-form TSP with known multi-tap impulse responses must give those
// responses back; the synchronous addition, the reference kinds and their
// scaling and rate rules, the refusals and the offset search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sndfile.h>
#include <sys/stat.h>

#include "archive_test_util.h"
#include "tsp.h"
#include "velktool_test_util.h"

namespace {

const int L = 4096;

// The TSP of n samples with the flat spectrum e^(-i pi k^2 / n) (k <= n/2,
// Hermitian above), as the sum of its cosines, delayed by n/4 so that its
// sweep lies in the middle of the period, scaled to a peak of 0.5 and
// rounded to float like a float WAV file holds it.
std::vector<double> makeTsp(int n)
{
    std::vector<double> cosTable(2 * n), x(n, 0.0);
    for (int q = 0; q < 2 * n; q++)
        cosTable[q] = cos(M_PI * q / n);
    for (long k = 0; k <= n / 2; k++) {
        double weight = (k == 0 || k == n / 2) ? 1.0 : 2.0;
        for (long t = 0; t < n; t++) {
            long q = ((2 * k * t - k * k) % (2 * n) + 2 * n) % (2 * n);
            x[t] += weight * cosTable[q];
        }
    }
    double peak = 0;
    for (double v : x)
        peak = std::max(peak, std::fabs(v));
    std::vector<double> out(n);
    for (int t = 0; t < n; t++)
        out[t] = (float)(x[(t - n / 4 + n) % n] * 0.5 / peak);
    return out;
}

const std::vector<double> &tsp()
{
    static const std::vector<double> t = makeTsp(L);
    return t;
}

typedef std::map<int, double> Taps;   // delay -> gain

// One period of the steady-state response to the periodic TSP.
std::vector<double> periodic(const Taps &h)
{
    std::vector<double> y(L, 0.0);
    for (const auto &[d, a] : h)
        for (int n = 0; n < L; n++)
            y[n] += a * tsp()[((n - d) % L + L) % L];
    return y;
}

// Silence, then `periods` periods of the steady-state response to h.
std::vector<double> periodicAfter(int lead, const Taps &h, int periods)
{
    std::vector<double> x(lead, 0.0), y = periodic(h);
    for (int r = 0; r < periods; r++)
        x.insert(x.end(), y.begin(), y.end());
    return x;
}

// A float WAV file of channels[c][frame].
void writeWav(const std::string &path, const std::vector<std::vector<double>> &ch,
              int rate = 16000)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = (int)ch.size();
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path;
    size_t frames = ch[0].size();
    std::vector<float> inter(frames * ch.size());
    for (size_t i = 0; i < frames; i++)
        for (size_t c = 0; c < ch.size(); c++)
            inter[i * ch.size() + c] = (float)ch[c][i];
    sf_writef_float(f, inter.data(), (sf_count_t)frames);
    sf_close(f);
}

// A 16-bit PCM WAV file of channels[c][frame].
void writeWav16(const std::string &path, const std::vector<std::vector<short>> &ch)
{
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = (int)ch.size();
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path;
    size_t frames = ch[0].size();
    std::vector<short> inter(frames * ch.size());
    for (size_t i = 0; i < frames; i++)
        for (size_t c = 0; c < ch.size(); c++)
            inter[i * ch.size() + c] = ch[c][i];
    ASSERT_EQ(sf_writef_short(f, inter.data(), (sf_count_t)frames), (sf_count_t)frames);
    sf_close(f);
}

// Samples on the 16-bit scale, rounded and clipped.
std::vector<short> toShorts(const std::vector<double> &x)
{
    std::vector<short> out(x.size());
    for (size_t i = 0; i < x.size(); i++)
        out[i] = (short)std::max(-32768.0, std::min(32767.0, std::round(x[i] * 32768.0)));
    return out;
}

std::vector<double> fromShorts(const std::vector<short> &x)
{
    std::vector<double> out(x.size());
    for (size_t i = 0; i < x.size(); i++)
        out[i] = x[i] / 32768.0;
    return out;
}

void writeRaw(const std::string &path, const std::vector<double> &x, double scale)
{
    std::ofstream out(path, std::ios::binary);
    for (double v : x) {
        float f = (float)(v * scale);
        out.write((const char *)&f, 4);
    }
}

std::vector<float> readRaw(const std::string &path)
{
    std::vector<unsigned char> bytes = velktest::readFile(path);
    std::vector<float> x(bytes.size() / 4);
    memcpy(x.data(), bytes.data(), x.size() * 4);
    return x;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Largest deviation of an impulse-response file from gain * h.
double deviation(const std::string &path, const Taps &h, double gain = 1.0)
{
    std::vector<float> ir = readRaw(path);
    if (ir.size() != (size_t)VELKTOOL_SYSIMP_LENGTH)
        return 1e9;
    double worst = 0;
    for (int i = 0; i < VELKTOOL_SYSIMP_LENGTH; i++) {
        double want = h.count(i) ? gain * h.at(i) : 0.0;
        worst = std::max(worst, std::fabs(ir[i] - want));
    }
    return worst;
}

struct Flags {
    char f[VELKTOOL_MAX_CHANNELS] = {0};
    Flags(std::initializer_list<int> on)
    {
        for (int c : on)
            f[c] = 1;
    }
    static Flags all()
    {
        Flags x{};
        memset(x.f, 1, sizeof x.f);
        return x;
    }
};

class Tsp : public ::testing::Test {
protected:
    void SetUp() override { velktest::setLogLevel(0); }
    void TearDown() override { velktest::setLogLevel(0); }
    std::string file(const std::string &name) const { return dir_.file(name); }

    // velktool_calcSysImp with a WAV reference; the log text in *log.
    int run(const std::string &rec, int freq, int offset, const Flags &flags,
            int origin = 0, std::string *log = nullptr, int from = -1, int to = -1,
            int tspLength = L, const std::string &ref = "")
    {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int r = velktool_calcSysImp(VELKTOOL_TSP_WAV,
                                    (ref.empty() ? file("tsp.wav") : ref).c_str(), 0,
                                    0, 16000, tspLength, freq, offset, from, to,
                                    flags.f, origin, rec.c_str(), file("ir").c_str());
        std::string err = testing::internal::GetCapturedStderr();
        stdout_ = testing::internal::GetCapturedStdout();
        if (log != nullptr)
            *log = err;
        return r;
    }

    velktest::TempDir dir_;
    std::string stdout_;
};

TEST_F(Tsp, RecoversMultiTapResponsesOfSelectedChannelsNumberedFromOrigin)
{
    writeWav(file("tsp.wav"), {tsp()});
    // Three channels with their own responses; each period is scaled by
    // 1, 2, 3 so that only the average of all three gives 2 h; 700 samples
    // of loud noise precede the first period.
    std::vector<Taps> h = {{{0, 0.5}, {3, -0.25}, {100, 0.125}, {2000, 0.05}},
                           {{7, 1.0}},
                           {{1, -0.3}, {40, 0.2}, {4095, 0.1}}};
    const int lead = 700;
    std::vector<std::vector<double>> rec(3);
    for (int c = 0; c < 3; c++) {
        std::vector<double> y = periodic(h[c]);
        for (int i = 0; i < lead; i++)
            rec[c].push_back(i % 2 ? 0.4 : -0.4);
        for (int r = 1; r <= 3; r++)
            for (double v : y)
                rec[c].push_back(r * v / 4);
    }
    writeWav(file("rec.wav"), rec);

    std::string log;
    velktest::setLogLevel(2);
    ASSERT_EQ(run(file("rec.wav"), 3, lead, Flags{0, 2}, 5, &log), 0) << log;
    EXPECT_LT(deviation(file("ir_ch5.flt"), h[0], 0.5), 2e-6);
    EXPECT_LT(deviation(file("ir_ch6.flt"), h[2], 0.5), 2e-6);
    EXPECT_FALSE(exists(file("ir_ch7.flt")));
    EXPECT_FALSE(exists(file("ir_ch0.flt")));

    // The summary and the progress lines, each under the routine that
    // issues it.
    std::string head = "[I] velktool_logSysImpSummary(";
    EXPECT_NE(log.find("): \nvelktool_calcSysImp   tspOrgType       [WAV]\n"
                       "                    , tspOrigWav       [" + file("tsp.wav") + "]\n"
                       "                    , tspOrigChannel   [0]\n"
                       "                    , signalMax        [0]\n"
                       "                    , samplingRate     [16000]\n"
                       "                    , tspLength        [4096]\n"
                       "                    , syncAddFreq      [3]\n"
                       "                    , syncAddOffset    [700]\n"
                       "                    , searchOffsetFrom [-1]\n"
                       "                    , searchOffsetTo   [-1]\n"
                       "                    , outChannelList   [0,2]\n"
                       "                    , channelOrigin    [5]\n"
                       "                    , inputWav         [" + file("rec.wav") + "]\n"
                       "                    , outputPath       [" + file("ir") + "]\n"),
              std::string::npos) << log;
    EXPECT_EQ(log.find(head), 0u);
    EXPECT_NE(log.find("): calc_impulse...\n"), std::string::npos);
    EXPECT_NE(log.find("): calc_impulse done.\n"), std::string::npos);
    EXPECT_EQ(log.find("search_offset"), std::string::npos);

    // A single repetition is used unchanged: the third period is 3/4 y.
    ASSERT_EQ(run(file("rec.wav"), 1, lead + 2 * L, Flags{1}), 0);
    EXPECT_LT(deviation(file("ir_ch0.flt"), h[1], 0.75), 2e-6);

    // No channel selected: nothing written, success.
    ASSERT_EQ(run(file("rec.wav"), 1, 0, Flags{}, 9), 0);
    EXPECT_FALSE(exists(file("ir_ch9.flt")));
}

TEST_F(Tsp, SynchronousAdditionMustFitInTheRecording)
{
    writeWav(file("tsp.wav"), {tsp()});
    Taps h = {{5, 1.0}};
    std::vector<double> y = periodic(h), rec(10, 0.0);
    for (int r = 0; r < 2; r++)
        rec.insert(rec.end(), y.begin(), y.end());
    writeWav(file("rec.wav"), {rec});   // 2 L + 10 frames

    EXPECT_EQ(run(file("rec.wav"), 2, 10, Flags::all()), 0);
    EXPECT_LT(deviation(file("ir_ch0.flt"), h), 2e-6);
    remove(file("ir_ch0.flt").c_str());
    std::string log;
    EXPECT_EQ(run(file("rec.wav"), 2, 11, Flags::all(), 0, &log), 1);
    EXPECT_NE(log.find("[E] checkRecordingLength("), std::string::npos);
    EXPECT_NE(log.find("): Wave length(8202) is short when syncAddFreq = 2.\n"),
              std::string::npos) << log;
    EXPECT_EQ(run(file("rec.wav"), 3, 0, Flags::all(), 0, &log), 1);
    EXPECT_NE(log.find("Wave length(8202) is short when syncAddFreq = 3."),
              std::string::npos);
    EXPECT_FALSE(exists(file("ir_ch0.flt")));
}

TEST_F(Tsp, RecordingsWithMoreThan64ChannelsUseTheFirst64)
{
    writeWav(file("tsp.wav"), {tsp()});
    std::vector<std::vector<double>> rec;
    for (int c = 0; c < 66; c++)
        rec.push_back(periodic({{c, 1.0}}));
    writeWav(file("rec.wav"), rec);
    ASSERT_EQ(run(file("rec.wav"), 1, 0, Flags::all()), 0);
    EXPECT_LT(deviation(file("ir_ch0.flt"), {{0, 1.0}}), 2e-6);
    EXPECT_LT(deviation(file("ir_ch63.flt"), {{63, 1.0}}), 2e-6);
    EXPECT_FALSE(exists(file("ir_ch64.flt")));
}

TEST_F(Tsp, SixteenBitRecordingsGiveTheResponsesOfTheirFloatValues)
{
    writeWav(file("tsp.wav"), {tsp()});
    // 16 periods of 3 channels after a lead of 700 frames: the periods
    // cross the blocks in which the recording is read.  Channel 1 holds
    // the extremes of the 16-bit range and everything in between.
    Taps h0 = {{0, 0.5}, {3, -0.25}, {1000, 0.125}}, h2 = {{11, -0.75}};
    const int lead = 700, periods = 16;
    std::vector<std::vector<short>> rec = {toShorts(periodicAfter(lead, h0, periods)),
                                           {},
                                           toShorts(periodicAfter(lead, h2, periods))};
    for (int i = 0; i < lead + periods * L; i++)
        rec[1].push_back(i % 3 == 0 ? -32768 : i % 3 == 1 ? 32767 : (short)(i * 7919));
    writeWav16(file("rec16.wav"), rec);
    writeWav(file("recf.wav"), {fromShorts(rec[0]), fromShorts(rec[1]), fromShorts(rec[2])});

    auto deconvolve = [&](const std::string &rec, int freq, int offset, const char *out) {
        testing::internal::CaptureStderr();
        int r = velktool_calcSysImp(VELKTOOL_TSP_WAV, file("tsp.wav").c_str(), 0, 0,
                                    16000, L, freq, offset, -1, -1, Flags{0, 1, 2}.f, 0,
                                    file(rec).c_str(), file(out).c_str());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r, 0) << log;
    };
    // All 16 periods (a power of two), and 3 periods from the fifth on.
    deconvolve("rec16.wav", periods, lead, "a16");
    deconvolve("recf.wav", periods, lead, "af");
    deconvolve("rec16.wav", 3, lead + 4 * L, "b16");
    deconvolve("recf.wav", 3, lead + 4 * L, "bf");
    for (const char *prefix : {"a", "b"}) {
        for (int c = 0; c < 3; c++) {
            std::string suffix = "_ch" + std::to_string(c) + ".flt";
            std::vector<unsigned char> fromShortFile =
                velktest::readFile(file(prefix + std::string("16") + suffix));
            ASSERT_EQ(fromShortFile.size(), 4u * VELKTOOL_SYSIMP_LENGTH);
            EXPECT_EQ(fromShortFile, velktest::readFile(file(prefix + std::string("f") + suffix)))
                << prefix << suffix;
        }
        // Rounding to 16 bits costs about 1e-5 of accuracy.
        EXPECT_LT(deviation(file(prefix + std::string("16_ch0.flt")), h0), 1e-4);
        EXPECT_LT(deviation(file(prefix + std::string("16_ch2.flt")), h2), 1e-4);
    }
}

TEST_F(Tsp, OneReferenceServesRecordingsOfEveryShape)
{
    writeWav(file("tsp.wav"), {tsp()});
    // Float and 16-bit recordings, each kind first with fewer channels and
    // then with more, and the first recording again: the work buffers grow
    // as needed and nothing of one recording leaks into the next.
    std::vector<Taps> h = {{{1, 1.0}}, {{2, -0.5}}, {{3, 0.25}}, {{4, 0.5}}, {{5, -1.0}}};
    writeWav(file("one.wav"), {periodicAfter(0, h[4], 1)});
    writeWav(file("two.wav"), {periodicAfter(0, h[0], 2), periodicAfter(0, h[1], 2)});
    writeWav16(file("two16.wav"), {toShorts(periodicAfter(7, h[2], 2)),
                                   toShorts(periodicAfter(7, h[3], 2))});
    std::vector<std::vector<short>> five;
    for (const Taps &t : h)
        five.push_back(toShorts(periodicAfter(100, t, 3)));
    writeWav16(file("five.wav"), five);

    velktool_TspReference ref{};
    ASSERT_EQ(velktool_readTspReference(VELKTOOL_TSP_WAV, file("tsp.wav").c_str(), 0, 0,
                                        16000, L, &ref),
              0);
    struct Step {
        const char *rec;
        int freq, offset;
        std::vector<int> want;   // index into h per output channel
    } steps[] = {{"one.wav", 1, 0, {4}},
                 {"two.wav", 2, 0, {0, 1}},
                 {"two16.wav", 2, 7, {2, 3}},
                 {"five.wav", 3, 100, {0, 1, 2, 3, 4}},
                 {"one.wav", 1, 0, {4}},
                 {"two.wav", 1, L, {0, 1}}};
    int n = 0;
    for (const Step &step : steps) {
        std::string prefix = file("out" + std::to_string(n++));
        testing::internal::CaptureStderr();
        int r = velktool_deconvolveTsp(&ref, step.freq, step.offset, -1, -1, Flags::all().f,
                                       0, file(step.rec).c_str(), {prefix.c_str(), AT_FDCWD});
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_EQ(r, 0) << step.rec << log;
        for (size_t c = 0; c < step.want.size(); c++)
            EXPECT_LT(deviation(prefix + "_ch" + std::to_string(c) + ".flt", h[step.want[c]]),
                      1e-4)
                << step.rec << " channel " << c;
        EXPECT_FALSE(exists(prefix + "_ch" + std::to_string(step.want.size()) + ".flt"));
    }
    velktool_freeTspReference(&ref);
    EXPECT_EQ(ref.work, nullptr);
    EXPECT_EQ(ref.inverse, nullptr);
}

TEST_F(Tsp, RawReferenceIsScaledBySignalMaxOrItsOwnPeak)
{
    Taps h = {{0, 0.25}, {9, 0.5}, {300, -0.125}};
    std::vector<double> y = periodic(h);
    writeWav(file("rec.wav"), {y});
    writeRaw(file("tsp.flt"), tsp(), 32768.0);
    writeRaw(file("half.flt"), tsp(), 1.0);   // peak 0.5
    auto raw = [&](const char *name, int sigmax, int rate, std::string *log) {
        testing::internal::CaptureStderr();
        int r = velktool_calcSysImp(VELKTOOL_TSP_RAW, file(name).c_str(), 0, sigmax,
                                    rate, L, 1, 0, -1, -1, Flags{0}.f, 0,
                                    file("rec.wav").c_str(), file("ir").c_str());
        *log = testing::internal::GetCapturedStderr();
        return r;
    };
    std::string log;
    ASSERT_EQ(raw("tsp.flt", 32768, 16000, &log), 0) << log;
    EXPECT_LT(deviation(file("ir_ch0.flt"), h), 2e-6);
    // Divided by its own peak 0.5: the reference is twice the played TSP.
    ASSERT_EQ(raw("half.flt", 0, 16000, &log), 0) << log;
    EXPECT_LT(deviation(file("ir_ch0.flt"), h, 0.5), 2e-6);

    EXPECT_EQ(raw("tsp.flt", 32768, 48000, &log), 1);
    EXPECT_NE(log.find("Config SamplingRate shuold be 16000Hz. (48000)"), std::string::npos);
    EXPECT_EQ(raw("gone.flt", 32768, 16000, &log), 1);
    EXPECT_NE(log.find("tsp origin file is not read."), std::string::npos);
    std::ofstream(file("odd.flt"), std::ios::binary) << "0123456789";
    EXPECT_EQ(raw("odd.flt", 32768, 16000, &log), 1);
    EXPECT_NE(log.find("tsp origin file is not read."), std::string::npos);
    writeRaw(file("short.flt"), std::vector<double>(tsp().begin(), tsp().begin() + 4000), 1.0);
    EXPECT_EQ(raw("short.flt", 0, 16000, &log), 1);
    EXPECT_NE(log.find("holds 4000 samples, fewer than tspLength (4096)"), std::string::npos);
    writeRaw(file("zero.flt"), std::vector<double>(L, 0.0), 1.0);
    EXPECT_EQ(raw("zero.flt", 0, 16000, &log), 1);
    EXPECT_NE(log.find("has no usable energy at frequency bin 0"), std::string::npos);
}

TEST_F(Tsp, WavReferenceRulesAndRefusalsBeforeAnythingIsWritten)
{
    Taps h = {{2, 1.0}};
    writeWav(file("rec.wav"), {periodic(h), periodic(h)});
    // The TSP in channel 1 of a two-channel file.
    writeWav(file("tsp2.wav"), {std::vector<double>(L, 0.0), tsp()});
    writeWav(file("tsp48.wav"), {tsp()}, 48000);
    writeWav(file("short.wav"), {std::vector<double>(tsp().begin(), tsp().begin() + 4095)});
    std::string log;
    auto wav = [&](const std::string &ref, int channel, int tspLength, int freq,
                   int offset, int type = VELKTOOL_TSP_WAV) {
        testing::internal::CaptureStderr();
        int r = velktool_calcSysImp(type, ref.c_str(), channel, 0, 16000, tspLength,
                                    freq, offset, -1, -1, Flags{0, 1}.f, 0,
                                    file("rec.wav").c_str(), file("ir").c_str());
        log = testing::internal::GetCapturedStderr();
        return r;
    };
    ASSERT_EQ(wav(file("tsp2.wav"), 1, L, 1, 0), 0) << log;
    EXPECT_LT(deviation(file("ir_ch1.flt"), h), 2e-6);
    remove(file("ir_ch0.flt").c_str());
    remove(file("ir_ch1.flt").c_str());

    struct Case {
        std::string ref;
        int channel, tspLength, freq, offset, type;
        std::string message;
    } cases[] = {
        {file("tsp2.wav"), 2, L, 1, 0, VELKTOOL_TSP_WAV, "has no channel 2: it has 2 channel(s)."},
        {file("tsp48.wav"), 0, L, 1, 0, VELKTOOL_TSP_WAV,
         "Config SamplingRate (16000) differ from Wav(" + file("tsp48.wav") + ") SamplingRate (48000)"},
        {file("short.wav"), 0, L, 1, 0, VELKTOOL_TSP_WAV, "holds 4095 samples, fewer than tspLength (4096)."},
        {file("gone.wav"), 0, L, 1, 0, VELKTOOL_TSP_WAV, "wavefile(" + file("gone.wav") + ") is not found."},
        {file("tsp2.wav"), 1, 6144, 1, 0, VELKTOOL_TSP_WAV, "tspLength (6144) should be a power of two of at least 4096."},
        {file("tsp2.wav"), 1, 2048, 1, 0, VELKTOOL_TSP_WAV, "tspLength (2048) should be a power of two of at least 4096."},
        {file("tsp2.wav"), 1, L, 0, 0, VELKTOOL_TSP_WAV, "syncAddFreq (0) should be at least 1."},
        {file("tsp2.wav"), 1, L, 1, -1, VELKTOOL_TSP_WAV, "syncAddOffset (-1) should not be negative."},
        {file("tsp2.wav"), 1, L, 1, 0, 2, "Error: incorrect tsp_org_type."},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(wav(c.ref, c.channel, c.tspLength, c.freq, c.offset, c.type), 1) << c.message;
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_FALSE(exists(file("ir_ch0.flt"))) << c.message;
    }
    // A recording that is not there.
    testing::internal::CaptureStderr();
    EXPECT_EQ(velktool_calcSysImp(VELKTOOL_TSP_WAV, file("tsp2.wav").c_str(), 1, 0,
                                  16000, L, 1, 0, -1, -1, Flags{0}.f, 0,
                                  file("none.wav").c_str(), file("ir").c_str()),
              1);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("wavefile(" + file("none.wav") + ") is not found."), std::string::npos);
}

// A recording of n samples holding gains[i] * TSP starting at starts[i]
// (linear, not periodic).
std::vector<double> placed(int n, const std::vector<int> &starts,
                           const std::vector<double> &gains)
{
    std::vector<double> x(n, 0.0);
    for (size_t i = 0; i < starts.size(); i++)
        for (int t = 0; t < L && starts[i] + t < n; t++)
            x[starts[i] + t] += gains[i] * tsp()[t];
    return x;
}

// Copies at first, first + step, ... with gains 0.01, 0.02, ... before a
// main copy: the running maximum of the correlation rises at each of them.
std::vector<double> ramped(int n, int first, int step, int count,
                           std::vector<int> mains, std::vector<double> gains)
{
    for (int i = count - 1; i >= 0; i--) {
        mains.insert(mains.begin(), first + i * step);
        gains.insert(gains.begin(), 0.01 * (i + 1));
    }
    return placed(n, mains, gains);
}

TEST_F(Tsp, OffsetSearchFindsTheStartAndPrefersAnEarlierStrongPeak)
{
    const int n = 40000;
    std::vector<double> x = ramped(n, 600, 37, 12, {1500}, {1.0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, 100, 100 + 16384), 1450);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "searched offset = 1500\nsuggest start offset = 1450\n");

    // A peak 0.8 as strong more than 12288 samples before the strongest
    // one wins; 10000 samples before, it does not.
    x = ramped(n, 600, 37, 11, {2000, 15000}, {0.8, 1.0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, 0, 32768), 1950);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "searched offset = 2000\nsuggest start offset = 1950\n");
    x = ramped(n, 600, 37, 11, {5000, 15000}, {0.8, 1.0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, 0, 32768), 14950);
    testing::internal::GetCapturedStdout();

    // The TSP right at the window start: the maximum never rises at a
    // non-zero lag, the search fails quietly.
    x = placed(n, {3000}, {1.0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, 3000, 3000 + 8192), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Degenerate windows read nothing outside the recording.
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, 5000, 4000), 0);
    EXPECT_EQ(corr_on_fft(x.data(), tsp().data(), L, -5, 4000), 0);
}

TEST_F(Tsp, SearchMovesShortWindowsAndRechecksTheLength)
{
    writeWav(file("tsp.wav"), {tsp()});
    // Periods of the response to h from sample 16950 on: the TSP itself
    // starts at 17000, so the addition starts at 16950 and gives h back.
    Taps h = {{50, 1.0}, {60, -0.5}};
    std::vector<double> x = periodicAfter(16950, h, 3);
    writeWav(file("rec.wav"), {x});

    std::string log;
    velktest::setLogLevel(2);
    // Window 20000 .. 20100 is shorter than the TSP: it starts 4096 earlier.
    ASSERT_EQ(run(file("rec.wav"), 3, 0, Flags{0}, 0, &log, 20000, 20100), 0) << log;
    EXPECT_NE(log.find("): search_offset...\n"), std::string::npos);
    EXPECT_NE(log.find("): Search length is under tsp size. So changing search start pos = 15904.\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("): calculated_first_offset=16950.\n"), std::string::npos) << log;
    EXPECT_EQ(stdout_, "searched offset = 17000\nsuggest start offset = 16950\n");
    EXPECT_LT(deviation(file("ir_ch0.flt"), h), 2e-6);
    remove(file("ir_ch0.flt").c_str());

    // One sample less and the three periods from the searched offset no
    // longer fit, although they fit from the given offset 0.
    x.pop_back();
    writeWav(file("rec.wav"), {x});
    ASSERT_EQ(run(file("rec.wav"), 3, 0, Flags{0}, 0, &log, 20000, 20100), 1);
    EXPECT_NE(log.find("Wave length(29237) is short when syncAddFreq = 3."), std::string::npos)
        << log;
    EXPECT_FALSE(exists(file("ir_ch0.flt")));

    // Without a channel list the search still runs, with a complaint.
    ASSERT_EQ(run(file("rec.wav"), 2, 0, Flags::all(), 0, &log, 20000, 20100), 0);
    EXPECT_NE(log.find("[E] velktool_calcSysImp("), std::string::npos);
    EXPECT_NE(log.find("searchOffset needs outChannels for calculation."), std::string::npos);
    // No channel selected: the offset is the window end.
    ASSERT_EQ(run(file("rec.wav"), 1, 0, Flags{}, 0, &log, 100, 16000), 0);
    EXPECT_NE(log.find("calculated_first_offset=16000."), std::string::npos);

    // Window 100 .. 200 is extended at its end instead; the search fails
    // there (the TSP overlaps lag 0) and the addition starts at 0.
    writeWav(file("early.wav"), {periodicAfter(110, {{50, 1.0}}, 2)});
    ASSERT_EQ(run(file("early.wav"), 1, 0, Flags{0}, 0, &log, 100, 200), 0) << log;
    EXPECT_NE(log.find("So changing search end pos = 4296."), std::string::npos) << log;
    EXPECT_NE(log.find("calculated_first_offset=0."), std::string::npos) << log;
    EXPECT_EQ(stdout_, "");
    // ... unless the recording ends before the extended window.
    writeWav(file("early.wav"), {periodicAfter(110, {{50, 1.0}}, 1)});
    ASSERT_EQ(run(file("early.wav"), 1, 0, Flags{0}, 0, &log, 100, 200), 1);
    EXPECT_NE(log.find("Search length is under tsp size. But there is not enough area on impulse."),
              std::string::npos) << log;

    // A start found less than 50 samples into the recording gives a
    // negative offset: refused, nothing read before the recording.
    writeWav(file("neg.wav"), {ramped(3 * L, 2, 2, 11, {30}, {1.0})});
    ASSERT_EQ(run(file("neg.wav"), 2, 0, Flags{0}, 0, &log, 0, 8192), 1);
    EXPECT_EQ(stdout_, "searched offset = 30\nsuggest start offset = -20\n");
    EXPECT_NE(log.find("Wave length(12288) is short when syncAddFreq = 2."), std::string::npos)
        << log;
}

TEST(Hamming, MatchesTheClosedForm)
{
    double w[5];
    CalcHammingWindow(w, 5);
    const double want[5] = {0.08, 0.54, 1.0, 0.54, 0.08};
    for (int i = 0; i < 5; i++)
        EXPECT_NEAR(w[i], want[i], 1e-12);
}

} // namespace
