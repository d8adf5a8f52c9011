// The logger: threshold handling and the one-line message layout.
#include "velkio.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string logged(int level, const char *msg)
{
    testing::internal::CaptureStderr();
    velkio_Log_printf_(level, "%s", 0, "someFunction", 42, msg);
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST(Log, ThresholdStartsAtErrorsOnlyAndCanBeRaised)
{
    EXPECT_EQ(velkio_Log_getLevel(), 0);
    EXPECT_EQ(logged(0, "boom"), "[E] someFunction(42): boom\n");
    EXPECT_EQ(logged(1, "careful"), "");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(-1, "", 3, "test", 1);
#pragma GCC diagnostic pop
    EXPECT_EQ(velkio_Log_getLevel(), 3);
    EXPECT_EQ(logged(1, "careful"), "[W] someFunction(42): careful\n");
    EXPECT_EQ(logged(3, "detail"), "[D] someFunction(42): detail\n");
    EXPECT_EQ(logged(4, "trace"), "");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(-1, "", 0, "test", 1);
#pragma GCC diagnostic pop
}

TEST(Log, MessageTextIsVerbatimAndArgumentsAreFilled)
{
    testing::internal::CaptureStderr();
    velkio_Log_printf_(0, "a %d b [%s] 100%%", 0, "f", 7, 5, "x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[E] f(7): a 5 b [x] 100%\n");
}

TEST(Log, FileOpenFailedNamesPathAndReason)
{
    FILE *f = fopen("/nonexistent-dir/file.xml", "r");
    ASSERT_EQ(f, nullptr);
    testing::internal::CaptureStderr();
    velkio_Log_FileOpenFailed("/nonexistent-dir/file.xml");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("/nonexistent-dir/file.xml"), std::string::npos);
    EXPECT_NE(out.find("No such file or directory"), std::string::npos);
}
