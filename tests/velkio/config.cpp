// Config: one getter per setter, deep copies, and printing that never
// reaches standard output.
#include "velkio.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void setLogLevel(int level)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(-1, "", level, "test", 0);
#pragma GCC diagnostic pop
}

} // namespace

TEST(Config, EachSetterFeedsItsGetter)
{
    velkio_Config *c = velkio_Config_new();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(velkio_Config_getComment(c), nullptr);
    EXPECT_EQ(velkio_Config_getTSPpath(c), nullptr);
    EXPECT_EQ(velkio_Config_getNfft(c), 0);

    // Distinct values so that a getter reading the wrong member shows.
    EXPECT_EQ(velkio_Config_setComment(c, "a comment"), 0);
    EXPECT_EQ(velkio_Config_setSynchronousAverage(c, 11), 0);
    EXPECT_EQ(velkio_Config_setTSPpath(c, "/x/tsp.wav"), 0);
    EXPECT_EQ(velkio_Config_setTSPoffset(c, 12), 0);
    EXPECT_EQ(velkio_Config_setTSPlength(c, 13), 0);
    EXPECT_EQ(velkio_Config_setPeakSearchFrom(c, 14), 0);
    EXPECT_EQ(velkio_Config_setPeakSearchTo(c, 15), 0);
    EXPECT_EQ(velkio_Config_setNfft(c, 16), 0);
    EXPECT_EQ(velkio_Config_setSamplingRate(c, 17), 0);
    EXPECT_EQ(velkio_Config_setSignalMax(c, -18), 0);

    EXPECT_STREQ(velkio_Config_getComment(c), "a comment");
    EXPECT_EQ(velkio_Config_getSynchronousAverage(c), 11);
    EXPECT_STREQ(velkio_Config_getTSPpath(c), "/x/tsp.wav");
    EXPECT_EQ(velkio_Config_getTSPoffset(c), 12);
    EXPECT_EQ(velkio_Config_getTSPLength(c), 13);
    EXPECT_EQ(velkio_Config_getPeakSearchFrom(c), 14);
    EXPECT_EQ(velkio_Config_getPeakSearchTo(c), 15);
    EXPECT_EQ(velkio_Config_getNfft(c), 16);
    EXPECT_EQ(velkio_Config_getSamplingRate(c), 17);
    EXPECT_EQ(velkio_Config_getSignalMax(c), -18);

    // Texts are copied on the way in, replaced and cleared.
    std::string comment = "changing";
    velkio_Config_setComment(c, comment.c_str());
    comment[0] = 'X';
    EXPECT_STREQ(velkio_Config_getComment(c), "changing");
    EXPECT_EQ(velkio_Config_setTSPpath(c, nullptr), 0);
    EXPECT_EQ(velkio_Config_getTSPpath(c), nullptr);

    velkio_Config *copy = velkio_Config_copy(c);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->comment, c->comment);
    EXPECT_STREQ(copy->comment, "changing");
    EXPECT_EQ(copy->tspPath, nullptr);
    EXPECT_EQ(copy->signalMax, -18);
    EXPECT_EQ(copy->peakSearchTo, 15);
    velkio_Config_delete(&c);
    EXPECT_EQ(c, nullptr);
    EXPECT_STREQ(copy->comment, "changing");
    velkio_Config_delete(&copy);
}

TEST(Config, NullRecord)
{
    EXPECT_EQ(velkio_Config_setNfft(nullptr, 1), 1);
    EXPECT_EQ(velkio_Config_setComment(nullptr, "x"), 1);
    EXPECT_EQ(velkio_Config_getNfft(nullptr), 0);
    EXPECT_EQ(velkio_Config_getComment(nullptr), nullptr);
    EXPECT_EQ(velkio_Config_copy(nullptr), nullptr);
    velkio_Config_delete(nullptr);
}

TEST(Config, PrintGoesThroughTheLoggerOnly)
{
    velkio_Config *c = velkio_Config_new();
    velkio_Config_setComment(c, "printed comment");
    velkio_Config_setNfft(c, 4096);
    setLogLevel(2);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    velkio_Config_print(c);
    velkio_Config_print(nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    setLogLevel(0);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("[I]"), std::string::npos) << err;
    EXPECT_NE(err.find("printed comment"), std::string::npos) << err;
    EXPECT_NE(err.find("4096"), std::string::npos) << err;
    EXPECT_NE(err.find("tspPath"), std::string::npos) << err;

    // At the default threshold (errors only) nothing is printed.
    testing::internal::CaptureStderr();
    velkio_Config_print(c);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    velkio_Config_delete(&c);
}
