// diagnose's range checks through the shared parser, at their bounds.
#include <gtest/gtest.h>

#include "diagnose.h"
#include "options_test_util.h"

namespace {

int parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "velktoolcli-diagnose");
    return velktest::parseCommandLine(diagnose_commandLine, args).status;
}

TEST(DiagnoseOptions, RangeBounds)
{
    EXPECT_EQ(parse({"--min-similarity", "1"}), 0);         // upper bound included
    EXPECT_EQ(parse({"--min-similarity", "-1"}), 1);        // lower bound excluded
    EXPECT_EQ(parse({"--max-clipped", "0"}), 0);
    EXPECT_EQ(parse({"--max-direction-error", "180.5"}), 1);
    EXPECT_EQ(parse({"--speed-of-sound", "0"}), 1);
    EXPECT_EQ(parse({"--min-snr", "nan"}), 1);
    velktest::Parsed p =
        velktest::parseCommandLine(diagnose_commandLine, {"velktoolcli-diagnose", "--min-snr",
                                                          "-300", "a.zip"});
    EXPECT_NE(p.err.find("-300: invalid numeric value"), std::string::npos) << p.err;
}

} // namespace
