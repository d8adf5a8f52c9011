// The common option loop: --logLevel, --help only first, option errors and
// the usage layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "velkio.h"

namespace {

int usageCalls = 0;
void recordingUsage(poptContext, int status)
{
    if (!hasParsedOpt)
        usageCalls += 1 + status;
}

// The loop every program runs, over a table with one range-checked int
// option; returns poptGetNextOpt's last value (or the range error).
int runLoop(std::vector<const char *> args, const char **logLevel, int *num)
{
    struct poptOption table[] = {
        {"num", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, num, 'n',
         "Number", NULL},
        VELKOPT_COMMON_ENTRIES(*logLevel),
        POPT_TABLEEND};
    args.insert(args.begin(), "prog");
    poptContext ctx = poptGetContext(NULL, (int)args.size(), args.data(), table, 0);
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        if (!velkopt_handleCommon(ctx, rc, *logLevel, recordingUsage)) {
            if (rc == 'n' && *num < 1)
                rc = POPT_ERROR_BADNUMBER;
        }
        if (rc < 0)
            break;
        hasParsedOpt = 1;
    }
    if (rc < -1)
        VELKOPT_LOG_POPT_ERROR(ctx, rc);
    poptFreeContext(ctx);
    return rc;
}

class OptionLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        hasParsedOpt = 0;
        usageCalls = 0;
        velkopt_applyLogLevel("E");
    }
    void TearDown() override { velkopt_applyLogLevel("E"); }
    const char *logLevel = "E";
    int num = 3;
};

TEST(OptionLogLevel, MapsOnlyExactLetters)
{
    EXPECT_EQ(velkopt_logLevelFromText("E"), 0);
    EXPECT_EQ(velkopt_logLevelFromText("W"), 1);
    EXPECT_EQ(velkopt_logLevelFromText("I"), 2);
    EXPECT_EQ(velkopt_logLevelFromText("D"), 3);
    EXPECT_EQ(velkopt_logLevelFromText("X"), 0);
    EXPECT_EQ(velkopt_logLevelFromText(""), 0);
    EXPECT_EQ(velkopt_logLevelFromText("d"), 0);
    EXPECT_EQ(velkopt_logLevelFromText("DD"), 0);
    EXPECT_EQ(velkopt_logLevelFromText(nullptr), 0);
}

TEST_F(OptionLoop, LogLevelIsAppliedAtOnce)
{
    EXPECT_EQ(runLoop({"--logLevel", "D"}, &logLevel, &num), -1);
    EXPECT_EQ(velkio_Log_getLevel(), 3);
    EXPECT_EQ(runLoop({"--logLevel=I", "--logLevel", "X"}, &logLevel, &num), -1);
    EXPECT_EQ(velkio_Log_getLevel(), 0);
    EXPECT_EQ(hasParsedOpt, 1);
}

TEST_F(OptionLoop, HelpOnlyAsFirstOption)
{
    EXPECT_EQ(runLoop({"--help", "--num", "4"}, &logLevel, &num), -1);
    EXPECT_EQ(usageCalls, 1); // called with status 0
    hasParsedOpt = 0;
    usageCalls = 0;
    num = 3;
    EXPECT_EQ(runLoop({"--logLevel", "D", "--help"}, &logLevel, &num), -1);
    EXPECT_EQ(usageCalls, 0);
    EXPECT_EQ(num, 3);
}

TEST_F(OptionLoop, PoptErrorsAreReportedWithTheOption)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(runLoop({"--bogus"}, &logLevel, &num), POPT_ERROR_BADOPT);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("--bogus: unknown option"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    // popt names the offending value for a malformed number.
    EXPECT_EQ(runLoop({"--num", "abc"}, &logLevel, &num), POPT_ERROR_BADNUMBER);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("abc: invalid numeric value"), std::string::npos) << err;

    // A failed range check is reported like popt's own number error.
    testing::internal::CaptureStderr();
    EXPECT_EQ(runLoop({"--num", "0"}, &logLevel, &num), POPT_ERROR_BADNUMBER);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("0: invalid numeric value"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_EQ(runLoop({"--logLevel"}, &logLevel, &num), POPT_ERROR_NOARG);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("--logLevel: missing argument"), std::string::npos) << err;
}

std::string usageScreen(const char *trailer)
{
    const char *logLevel = "E";
    struct poptOption table[] = {VELKOPT_COMMON_ENTRIES(logLevel), POPT_TABLEEND};
    const char *argv[] = {"velktoolcli-x"};
    poptContext ctx = poptGetContext(NULL, 1, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* input");
    testing::internal::CaptureStdout();
    velkopt_printUsage(ctx, "NAME:\n", "  velktoolcli-x\n", "  Does x\n", trailer);
    poptFreeContext(ctx);
    return testing::internal::GetCapturedStdout();
}

TEST(OptionUsage, Layout)
{
    std::string out = usageScreen("\nOutput:\n  ok\n");
    const std::string head = "\n\nNAME:\n  velktoolcli-x\n\nDescription:\n  Does x\n\n"
                             "Usage: velktoolcli-x [OPTIONS]* input\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_NE(out.find("--logLevel=E|W|I|D"), std::string::npos) << out;
    EXPECT_NE(out.find("Log information level (default: \"E\")"), std::string::npos) << out;
    EXPECT_NE(out.find("--help"), std::string::npos);
    EXPECT_NE(out.find("Show this help message"), std::string::npos);
    const std::string tail = "\nOutput:\n  ok\n\n\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    std::string plain = usageScreen(nullptr);
    EXPECT_EQ(plain.substr(plain.size() - 3), "\n\n\n");
}

TEST(OptionUsageDeathTest, ExitsWithStatusOnlyBeforeAnyOption)
{
    const char *argv[] = {"prog"};
    struct poptOption table[] = {POPT_TABLEEND};
    poptContext ctx = poptGetContext(NULL, 1, argv, table, 0);
    hasParsedOpt = 0;
    EXPECT_EXIT(velkopt_usage(ctx, 7, "NAME:\n", "  x\n", "  d\n", nullptr),
                ::testing::ExitedWithCode(7), "");
    hasParsedOpt = 1;
    velkopt_usage(ctx, 7, "NAME:\n", "  x\n", "  d\n", nullptr); // returns
    hasParsedOpt = 0;
    poptFreeContext(ctx);
}

} // namespace
