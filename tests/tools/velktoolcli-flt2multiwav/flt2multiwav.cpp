// The raw reader, the WAV writer (read back with libsndfile) and the
// list-file rules of velktoolcli-flt2multiwav.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include "archive_test_util.h"
#include "flt2multiwav.h"
#include "velkio.h"

namespace {

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

TEST(Flt2MultiWavRaw, WholeSamplesOfRegularFilesOnly)
{
    velktest::TempDir dir;
    const float values[] = {1.5f, -2.25f};
    std::string eight(reinterpret_cast<const char *>(values), 8);
    velktest::writeFile(dir.file("eight.raw"), eight);
    velktest::writeFile(dir.file("seven.raw"), eight.substr(0, 7));
    velktest::writeFile(dir.file("empty.raw"), "");
    ASSERT_EQ(mkfifo(dir.file("fifo.raw").c_str(), 0600), 0);
    int64_t count = -1;
    float *b = readRaw(dir.file("eight.raw").c_str(), &count);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(b[0], 1.5f);
    EXPECT_EQ(b[1], -2.25f);
    free(b);
    b = readRaw(dir.file("empty.raw").c_str(), &count);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(count, 0);
    free(b);

    // A cut sample, a missing file, a directory and a FIFO (without a
    // writer: refused, not waited for) are refused with the name.
    for (const char *name : {"seven.raw", "nosuch.raw", ".", "fifo.raw"}) {
        std::string path = dir.file(name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(readRaw(path.c_str(), &count), nullptr) << name;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("[" + path + "]"), std::string::npos) << err;
    }
}

TEST(Flt2MultiWavSave, InterleavedFloatFramesAcrossBlocks)
{
    velktest::TempDir dir;
    const int channels = 3;
    const int64_t frames = 10000; // more than two blocks of the writer
    std::vector<std::vector<float>> data(channels, std::vector<float>(frames));
    for (int c = 0; c < channels; c++)
        for (int64_t i = 0; i < frames; i++)
            data[c][i] = (float)(c + 1) * 0.0001f * (float)i - 0.3f * (float)c;
    float *buffers[channels] = {data[0].data(), data[1].data(), data[2].data()};
    std::string path = dir.file("out.wav");
    ASSERT_EQ(savemultiwave(channels, buffers, frames, 16000, path.c_str()), FLT2WAV_SAVED);

    SF_INFO info = {};
    SNDFILE *sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.samplerate, 16000);
    EXPECT_EQ(info.channels, channels);
    ASSERT_EQ(info.frames, frames);
    std::vector<float> back((size_t)(frames * channels));
    ASSERT_EQ(sf_readf_float(sf, back.data(), frames), frames);
    sf_close(sf);
    for (int64_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            ASSERT_EQ(back[(size_t)(i * channels + c)], data[c][i]) << i << " " << c;

    // Zero frames: a valid, empty file.
    ASSERT_EQ(savemultiwave(channels, buffers, 0, 16000, path.c_str()), FLT2WAV_SAVED);
    sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.frames, 0);
    sf_close(sf);
}

TEST(Flt2MultiWavSave, AnOutputThatCannotBeOpenedLeavesNothing)
{
    velktest::TempDir dir;
    float samples[4] = {0, 1, 2, 3};
    float *buffers[1] = {samples};
    std::string missing = dir.file("nodir/out.wav");
    testing::internal::CaptureStderr();
    EXPECT_EQ(savemultiwave(1, buffers, 4, 16000, missing.c_str()), FLT2WAV_OPEN_FAILED);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("nodir/out.wav"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(exists(missing));
    mkdir(dir.file("adir").c_str(), 0755);
    EXPECT_EQ(savemultiwave(1, buffers, 4, 16000, dir.file("adir").c_str()), FLT2WAV_OPEN_FAILED);
    struct stat st;
    ASSERT_EQ(stat(dir.file("adir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Flt2MultiWavList, BlankLinesSkippedNamesVerbatimAtMost64)
{
    velktest::TempDir dir;
    velktest::writeFile(dir.file("l.txt"), "a.raw\n\n b.raw \nc.raw\r\n\nd.raw");
    std::vector<std::string> names;
    ASSERT_EQ(readListFile(dir.file("l.txt").c_str(), &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"a.raw", " b.raw ", "c.raw\r", "d.raw"}));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(VELKIO_LOG_SET_LEVEL, "", VELKIO_LOG_WARNING, __func__, __LINE__);
#pragma GCC diagnostic pop
    std::string sixtyFour;
    for (int i = 0; i < 64; i++)
        sixtyFour.append("f").append(std::to_string(i)).append("\n");
    velktest::writeFile(dir.file("64.txt"), sixtyFour);
    velktest::writeFile(dir.file("64e.txt"), sixtyFour + "\n");
    velktest::writeFile(dir.file("65.txt"), sixtyFour + "f64\n");
    const char *files[] = {"64.txt", "64e.txt", "65.txt"};
    for (const char *f : files) {
        names.clear();
        testing::internal::CaptureStderr();
        ASSERT_EQ(readListFile(dir.file(f).c_str(), &names), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(names.size(), 64u) << f;
        EXPECT_EQ(names.back(), "f63") << f;
        bool warned = err.find("number of channes too large. channel max = 64") != std::string::npos;
        EXPECT_EQ(warned, strcmp(f, "64.txt") != 0) << f << ": " << err;
    }
    EXPECT_EQ(readListFile(dir.file("nosuch.txt").c_str(), &names), 1);
}

TEST(Flt2MultiWavList, LongLinesLargeFilesAndDevicesAreRefused)
{
    velktest::TempDir dir;
    const std::string longest(FLT2WAV_MAX_NAME_LENGTH, 'n');
    velktest::writeFile(dir.file("longest.txt"), "a.raw\n" + longest + "\n");
    std::vector<std::string> names;
    ASSERT_EQ(readListFile(dir.file("longest.txt").c_str(), &names), 0);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], longest);

    struct Case {
        const char *file;
        std::string content;
        const char *message;
    } cases[] = {
        {"long.txt", "a.raw\n" + longest + "x\nb.raw\n", "line 2 is longer than 4095 characters"},
        {"nul.txt", std::string("a.raw\nb\0.raw\n", 13), "line 2 holds a NUL byte"},
        // One line without an end, larger than the bound.
        {"large.txt", std::string(FLT2WAV_MAX_LIST_BYTES + 1, '\0'), "is larger than 1048576 bytes"},
    };
    for (const Case &c : cases) {
        velktest::writeFile(dir.file(c.file), c.content);
        names.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(readListFile(dir.file(c.file).c_str(), &names), 1) << c.file;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("list file [" + dir.file(c.file) + "]"), std::string::npos) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    // Not a regular file: refused before anything is read.
    testing::internal::CaptureStderr();
    EXPECT_EQ(readListFile("/dev/zero", &names), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[/dev/zero] is not a regular file"), std::string::npos) << err;
}
