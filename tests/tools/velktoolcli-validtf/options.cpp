// The shared option parser on validtf's command line: --logLevel, --help
// only as the first option, popt's errors and the arguments left over.
#include <gtest/gtest.h>

#include "options_test_util.h"
#include "validtf.h"

namespace {

using velktest::parseCommandLine;

const velkopt_Program &program = validtf_commandLine;

TEST(ValidtfOptions, LogLevelAppliedAtOnceAndArgumentsLeft)
{
    int *show = static_cast<int *>(velktest::optionVariable(program.table, "show"));
    ASSERT_NE(show, nullptr);
    *show = 0;
    velktest::Parsed p =
        parseCommandLine(program, {"velktoolcli-validtf", "--logLevel", "D", "-s", "a.zip"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.logLevel, 3);
    EXPECT_EQ(*show, 1);
    EXPECT_EQ(p.args, std::vector<std::string>{"a.zip"});
    EXPECT_EQ(hasParsedOpt, 1);
    // The last value counts; an unknown letter means errors only.
    p = parseCommandLine(program, {"velktoolcli-validtf", "--logLevel=I", "--logLevel", "X"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.logLevel, 0);
    EXPECT_EQ(p.err, "");
}

TEST(ValidtfOptions, PoptErrorsAreReportedWithTheOption)
{
    velktest::Parsed p = parseCommandLine(program, {"velktoolcli-validtf", "--bogus", "a.zip"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("--bogus: unknown option"), std::string::npos) << p.err;
    p = parseCommandLine(program, {"velktoolcli-validtf", "--logLevel"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("--logLevel: missing argument"), std::string::npos) << p.err;
}

TEST(ValidtfOptionsDeathTest, HelpOnlyAsTheFirstOption)
{
    EXPECT_EXIT(velktest::parseOnly(program, {"velktoolcli-validtf", "--help", "--bogus"}),
                testing::ExitedWithCode(0), "");
    // After another option --help is ignored and parsing goes on.
    velktest::Parsed p = parseCommandLine(program, {"velktoolcli-validtf", "-s", "--help", "a"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.args, std::vector<std::string>{"a"});
    // No argument at all: the usage screen and status 1.
    EXPECT_EXIT(velktest::parseOnly(program, {"velktoolcli-validtf"}), testing::ExitedWithCode(1),
                "argument error!!");
}

} // namespace
