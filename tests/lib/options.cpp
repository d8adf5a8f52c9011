// The common option conventions: --logLevel values and the usage layout.
// The option loop itself is tested through the programs' own tables
// (tests/tools/*/options.cpp, tests/velktool5/options.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "velkio.h"

namespace {

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
