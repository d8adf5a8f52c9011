// Raw float files, WAV files, the temporary directory tree and the two
// impulse-response loaders.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velktool_test_util.h"

using velktest::InTempDir;
using velktest::resetRunState;
using velktest::setLogLevel;

namespace {

class IrFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetRunState();
        setLogLevel(0);
    }
    void TearDown() override { resetRunState(); }

    // A float WAV file of `channels` channels; channel c, frame f holds
    // value(c, f).
    static void writeWav(const std::string &path, int channels, int frames,
                         float (*value)(int, int))
    {
        SF_INFO info{};
        info.samplerate = 16000;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> buf((size_t)channels * frames);
        for (int i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                buf[(size_t)i * channels + c] = value(c, i);
        ASSERT_EQ(sf_writef_float(f, buf.data(), frames), frames);
        sf_close(f);
    }
    static float ramp(int c, int f) { return (c + 1) * 0.001f + f * 1e-6f; }

    InTempDir dir;
};

TEST_F(IrFiles, RawFloatFiles)
{
    std::vector<double> values = {0.5, -2.25, 1e-3, 3.0};
    std::string path = dir.file("a.flt");
    ASSERT_EQ(write_flt(path.c_str(), values.data(), 4), 0);
    EXPECT_EQ(get_flt_size(path.c_str()), 16);
    std::vector<double> back(4);
    double peak = -1;
    ASSERT_EQ(read_flt(path.c_str(), back.data(), 16, &peak), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(back[i], (double)(float)values[i]);
    EXPECT_EQ(peak, 3.0);
    EXPECT_EQ(read_flt(path.c_str(), back.data(), 20, &peak), -1); // too short

    // 10 bytes: read_flt refuses the size; the float reader takes 2 samples.
    std::string ten = dir.file("ten.flt");
    float two[2] = {1.5f, -4.0f};
    std::string bytes((const char *)two, 8);
    ASSERT_TRUE(velktest::writeFile(ten, bytes + "xy"));
    EXPECT_EQ(read_flt(ten.c_str(), back.data(), 10, &peak), -1);
    std::vector<float> f(2);
    velktool_SetFloatArray(f.data(), 10, ten.c_str());
    EXPECT_EQ(f[1], -4.0f);

    // 0 bytes: success, no samples, absMax 0.
    std::string empty = dir.file("empty.flt");
    ASSERT_TRUE(velktest::writeFile(empty, ""));
    peak = -1;
    EXPECT_EQ(read_flt(empty.c_str(), back.data(), 0, &peak), 0);
    EXPECT_EQ(peak, 0.0);

    EXPECT_EQ(get_flt_size(nullptr), -1);
    EXPECT_EQ(get_flt_size(dir.file("none").c_str()), -1);
    EXPECT_EQ(write_flt(dir.file("no/dir.flt").c_str(), values.data(), 4), -1);
    EXPECT_EXIT(velktool_SetFloatArray(f.data(), 8, dir.file("none").c_str()),
                testing::ExitedWithCode(1), "can not open file \\[.*none\\]");
    EXPECT_EXIT(velktool_SetFloatArray(f.data(), 12, ten.c_str()),
                testing::ExitedWithCode(1), "fread error");
}

// A file of the run tree is always a new one: a file or a symbolic link
// (dangling or not) already in its place is refused and left as it was.
TEST_F(IrFiles, RunTreeFilesAreCreatedNew)
{
    std::vector<double> values = {0.5, -2.25};
    int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(here, 0);
    velktool_FltOutput out = {"run/src/float", here};
    ASSERT_EQ(velktool_writeFlt(out, "run/src/float_ch0.flt", values.data(), 2), 0);
    EXPECT_EQ(get_flt_size("float_ch0.flt"), 8);
    EXPECT_EQ(velktool_writeFlt(out, "run/src/float_ch0.flt", values.data(), 1), -1);
    EXPECT_EQ(get_flt_size("float_ch0.flt"), 8);

    ASSERT_TRUE(velktest::writeFile(dir.file("victim"), "keep"));
    ASSERT_EQ(symlink(dir.file("victim").c_str(), "float_ch1.flt"), 0);
    ASSERT_EQ(symlink(dir.file("made").c_str(), "float_ch2.flt"), 0);
    EXPECT_EQ(velktool_writeFlt(out, "run/src/float_ch1.flt", values.data(), 2), -1);
    EXPECT_EQ(velktool_writeFlt(out, "run/src/float_ch2.flt", values.data(), 2), -1);
    EXPECT_EQ(get_flt_size(dir.file("victim").c_str()), 4);
    EXPECT_EQ(get_flt_size(dir.file("made").c_str()), -1);
    close(here);
}

TEST_F(IrFiles, WavWriterTruncatesAndClipsAndReaderReadsBack)
{
    std::vector<double> c0 = {100.7, -3.9, 40000, -40000, 0};
    std::vector<double> c1 = {1, 2, 3, 4, 32767};
    double *data[2] = {c0.data(), c1.data()};
    std::string path = dir.file("w.wav");
    ASSERT_EQ(writewavfile(path.c_str(), data, 5, 2, 8000), 1);
    double **back = nullptr;
    int frames = 0, channels = 0, rate = 0;
    ASSERT_EQ(readwavfile(path.c_str(), &back, &frames, &channels, &rate), 1);
    EXPECT_EQ(frames, 5);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, 8000);
    double want0[5] = {100, -3, 32767, -32768, 0};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(back[0][i] * 32768.0, want0[i]) << i;
        EXPECT_EQ(back[1][i] * 32768.0, c1[i]) << i;
    }
    velktool_freeWaveData(back);
    EXPECT_EQ(readwavfile(dir.file("none.wav").c_str(), &back, &frames,
                          &channels, &rate), -1);
    EXPECT_EQ(writewavfile(dir.file("no/dir.wav").c_str(), data, 5, 2, 8000), -1);
}

TEST_F(IrFiles, ReadwaveShortReadIsAFailure)
{
    std::string path = dir.file("short.wav");
    writeWav(path, 2, 5000, ramp);
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(truncate(path.c_str(), 44 + 2 * 4 * 3000), 0);
    double **data = (double **)1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(readwave(f, &info, info.frames, &data), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot read frame="),
              std::string::npos);
    EXPECT_EQ(data, nullptr);
    sf_close(f);
}

TEST_F(IrFiles, WavChannelsInUseAndResize)
{
    g.nMic = 2;
    g.nSrc = 1;
    velktool_new(VELKTOOL_POSID);
    g.micPosId[0] = 0;
    g.micPosId[1] = 3;
    std::string small = dir.file("small.wav"), big = dir.file("big.wav");
    writeWav(small, 4, 100, ramp);
    writeWav(big, 4, 9000, ramp); // more frames than the first, several blocks
    int frames = 0, rate = 0;
    velktool_getWavDataFromFile(small.c_str(), &frames, &rate);
    EXPECT_EQ(frames, 100);
    EXPECT_EQ(rate, 16000);
    EXPECT_EQ(g.wavData[1][99], ramp(3, 99));
    velktool_getWavDataFromFile(big.c_str(), &frames, &rate);
    ASSERT_EQ(frames, 9000);
    for (int f : {0, 4095, 4096, 8999}) {
        EXPECT_EQ(g.wavData[0][f], ramp(0, f)) << f;
        EXPECT_EQ(g.wavData[1][f], ramp(3, f)) << f;
    }
    velktool_getWavDataFromFile(small.c_str(), &frames, &rate);
    EXPECT_EQ(frames, 100);
    EXPECT_EQ(g.wavData[0][5], ramp(0, 5));

    g.micPosId[1] = 4;
    EXPECT_EXIT(velktool_getWavDataFromFile(small.c_str(), &frames, &rate),
                testing::ExitedWithCode(1),
                "impulse data not found: wav channel \\[4\\] in file \\[.*small.wav\\]");
    EXPECT_EXIT(velktool_getWavDataFromFile(dir.file("none.wav").c_str(), &frames,
                                            &rate),
                testing::ExitedWithCode(1), "can not open wave file");
}

TEST_F(IrFiles, RecordingThatIsNotARegularFileIsRefused)
{
    // A FIFO without a writer: opening it for reading must neither wait
    // for a writer nor be retried; the run ends with the recording named.
    std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    g.nMic = 1;
    g.nSrc = 1;
    velktool_new(VELKTOOL_POSID);
    g.micPosId[0] = 0;
    int frames = 0, rate = 0;
    EXPECT_EXIT(velktool_getWavDataFromFile(fifo.c_str(), &frames, &rate),
                testing::ExitedWithCode(1),
                "pipe.wav\\] is not a regular file(.|\n)*can not open wave file");
    EXPECT_EXIT(velktool_getWavDataFromFile(".", &frames, &rate),
                testing::ExitedWithCode(1), "is not a regular file");
}

TEST_F(IrFiles, TemporaryTree)
{
    g.nSrc = 1;
    velktool_new(VELKTOOL_TMPSRCDIR);
    velktool_new(VELKTOOL_SRCBASENAME);
    velktool_createTmpPath();
    EXPECT_EQ(strlen(g.tmpStamp), 14u);
    EXPECT_EQ(std::string(g.tmpTspDir), std::string(".velktool-temp/") + g.tmpStamp + "/tsp");
    EXPECT_EQ(velktool_CheckDir(g.tmpTspDir), 0);
    EXPECT_EQ(velktool_CheckDir(g.tmpImpDir), 0);
    EXPECT_EQ(velktool_CheckDir(g.tmpTfDir), 0);

    velkio_Position *p = velkio_Position_new(3, 1, nullptr, "./imp.wav");
    makeTempFltPath(0, p);
    EXPECT_STREQ(g.srcBaseName[0], "imp.wav");
    EXPECT_EQ(std::string(g.tmpSrcDir[0]), std::string(g.tmpTspDir) + "/imp.wav");
    EXPECT_EQ(velktool_CheckDir(g.tmpSrcDir[0]), 0);
    EXPECT_EQ(std::string(g.tmpFltPath), std::string(g.tmpSrcDir[0]) + "/float");
    velkio_Position_delete(&p);

    p = velkio_Position_new(3, 1, nullptr, "imp.wav");
    EXPECT_EXIT(makeTempFltPath(0, p), testing::ExitedWithCode(1),
                "can not get path \\[imp.wav\\] ");
    velkio_Position_delete(&p);
}

// Raw float impulse responses of one source: mic j has `lengths[j]`
// samples, a ramp, with a spike at peaks[j].
class FltLoader : public IrFiles {
protected:
    void prepare(const std::vector<int> &peaks, const std::vector<int> &lengths)
    {
        g.nSrc = 1;
        g.nMic = (int)peaks.size();
        g.nfft = 512;
        g.samplingRate = 16000;
        velktool_new(VELKTOOL_POSID);
        velktool_new(VELKTOOL_IRVECT);
        velktool_new(VELKTOOL_TMPSRCDIR);
        g.srcPosId[0] = 5;
        for (int j = 0; j < g.nMic; ++j)
            g.micPosId[j] = j;
        snprintf(g.tmpSrcDir[0], VELKTOOL_PATH_LEN, "%s", dir.file("").c_str());
        signals.assign(g.nMic, {});
        for (int j = 0; j < g.nMic; ++j) {
            std::vector<double> x(lengths[j]);
            for (int i = 0; i < lengths[j]; ++i)
                x[i] = 0.001 * (i % 97);
            x[peaks[j]] = -50.0 - j;
            std::string path = dir.file("/float_ch" + std::to_string(j) + ".flt");
            ASSERT_EQ(write_flt(path.c_str(), x.data(), lengths[j]), 0);
            signals[j].assign(x.begin(), x.end());
        }
    }
    std::vector<std::vector<float>> signals;
};

TEST_F(FltLoader, WorkedExampleCutsFromTheLatestPeak)
{
    prepare({1000, 1010}, {4000, 4000});
    velktool_CutRangePair pair{};
    velktool_setIRvectFromFlt(LOC_SEP, 0, 32, 256, &pair);
    EXPECT_EQ(pair.loc.cutIndexFrom, 531);
    EXPECT_EQ(pair.loc.cutIndexTo, 1043);
    EXPECT_EQ(pair.loc.offset, 531.0f);
    EXPECT_EQ(pair.sep.cutIndexFrom, 1010 + 257 - 512);
    EXPECT_EQ(pair.sep.cutIndexTo, 1010 + 257);
    for (int k = 0; k < 512; ++k) {
        EXPECT_EQ(g.IRvectLoc[0][1][k], signals[1][531 + k]) << k;
        EXPECT_EQ(g.IRvectLoc[0][0][k], k < 502 ? signals[0][531 + k] : 0.0f) << k;
        EXPECT_EQ(g.IRvectSep[0][0][k], signals[0][755 + k]) << k;
    }
}

TEST_F(FltLoader, ShortestFileBoundsTheWindowAndPeakSearchStaysInside)
{
    // Peaks at 950 and 890 in files of 1000 and 900 samples: the window
    // ends at 900, the shorter length.
    prepare({950, 890}, {1000, 900});
    g.peakSearchFrom = 1;
    g.peakSearchTo = 5001;
    velktool_CutRangePair pair{};
    velktool_setIRvectFromFlt(LOC, 0, 32, 256, &pair);
    EXPECT_EQ(pair.loc.cutIndexFrom, 950 + 33 - 512);
    EXPECT_EQ(pair.loc.cutIndexTo, 900);
    EXPECT_EQ(pair.sep.cutIndexTo, 0); // not computed for LOC
    EXPECT_EQ(g.IRvectLoc[0][1][890 - 471], signals[1][890]);
    EXPECT_EQ(g.IRvectLoc[0][1][900 - 471], 0.0f);

    // A search start beyond the data and a window longer than nfft: the
    // loader stays inside the data (checked by the sanitizer build).
    g.peakSearchFrom = 2000;
    g.peakSearchTo = 3000;
    velktool_setIRvectFromFlt(LOC_SEP, 0, 600, 700, &pair);
    EXPECT_EQ(pair.loc.cutIndexFrom, 999 + 601 - 512); // empty window
    EXPECT_EQ(pair.loc.cutIndexTo, pair.loc.cutIndexFrom);

    EXPECT_EXIT(
        {
            snprintf(g.tmpSrcDir[0], VELKTOOL_PATH_LEN, "%s", "/nonexistent");
            velktool_setIRvectFromFlt(LOC, 0, 32, 256, &pair);
        },
        testing::ExitedWithCode(1), "can not open file \\[/nonexistent/float_ch0.flt\\]");
}

TEST_F(FltLoader, TakesWholeSamplesOfEachFileAndRefusesADirectory)
{
    // A file of 10 bytes holds 2 samples: the cut ranges see 2 as the
    // length of the data, and the second sample is that file's peak.
    prepare({1000, 1010}, {4000, 4000});
    const float two[2] = {0.25f, -0.75f};
    FILE *fp = fopen(dir.file("/float_ch1.flt").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fwrite(two, sizeof two[0], 2, fp);
    fwrite("xy", 1, 2, fp);
    fclose(fp);
    velktool_CutRangePair pair{}, want{};
    testing::internal::CaptureStdout();
    velktool_setIRvectFromFlt(LOC, 0, 32, 256, &pair);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Max Peak Index[1000]"), std::string::npos) << out;
    getIrRange4FFT(0, 1000, 33, 2, 0, &want.loc);
    EXPECT_EQ(pair.loc.cutIndexFrom, want.loc.cutIndexFrom);
    EXPECT_EQ(pair.loc.cutIndexTo, want.loc.cutIndexTo);

    ASSERT_EQ(remove(dir.file("/float_ch1.flt").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("/float_ch1.flt").c_str(), 0755), 0);
    EXPECT_EXIT(velktool_setIRvectFromFlt(LOC, 0, 32, 256, &pair),
                testing::ExitedWithCode(1), "readImpulseResponseFile.*can not open file \\[.*/float_ch1.flt\\]");
}

TEST_F(IrFiles, WavLoaderVisitsSourcesInIdOrder)
{
    std::string a = dir.file("a.wav"), b = dir.file("b.wav");
    writeWav(a, 2, 3000, [](int c, int f) { return f == 700 + c ? 1.0f : 0.0f; });
    writeWav(b, 2, 2000, [](int c, int f) { return f == 1500 - 300 * c ? -1.0f : 0.0f; });
    g.nSrc = 2;
    g.nMic = 2;
    g.nfft = 256;
    g.samplingRate = 16000;
    g.srcXml = velkio_XML_newFromData(
        velktest::makePositions("impulse", {8, 2}, {b, a}), nullptr, nullptr);
    velktool_new(VELKTOOL_POSID);
    velktool_new(VELKTOOL_IRVECT);
    g.micPosId[0] = 0;
    g.micPosId[1] = 1;
    velktool_setSrcPosId(); // 2 (a.wav), 8 (b.wav)
    velktool_CutRangePair ranges[2] = {};
    testing::internal::CaptureStdout();
    velktool_setIRvectFromWav(LOC, 16, 64, ranges);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" progress:1 / 2\n"), std::string::npos);
    EXPECT_NE(out.find(" progress:2 / 2\n"), std::string::npos);
    // b.wav: peaks 1500 and 1200, 300 apart: reported.
    EXPECT_NE(out.find("Mic:[0]ch  Max Peak Index[1500]"), std::string::npos) << out;
    EXPECT_EQ(ranges[0].loc.cutIndexFrom, 701 + 17 - 256);
    EXPECT_EQ(ranges[1].loc.cutIndexFrom, 1500 + 17 - 256);
    EXPECT_EQ(g.IRvectLoc[0][1][701 - 462], 1.0f);
    EXPECT_EQ(g.IRvectLoc[1][0][1500 - 1261], -1.0f);
    EXPECT_EQ(g.IRvectLoc[1][1][0], 0.0f); // mic 1's peak 1200 is before the window
}

} // namespace
