// zip2coord's keyword options through the shared parser: an unknown
// keyword is reported (with the value popt names) and ends parsing at once.
#include <gtest/gtest.h>

#include "options_test_util.h"
#include "zip2coord.h"

namespace {

TEST(Zip2coordOptions, UnknownKeywordEndsParsing)
{
    velktest::Parsed p = velktest::parseCommandLine(
        zip2coord_commandLine, {"velktoolcli-zip2coord", "--type", "sep", "--z_axis", "phase",
                                "in.zip", "out.csv"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.args, (std::vector<std::string>{"in.zip", "out.csv"}));
    p = velktest::parseCommandLine(zip2coord_commandLine, {"velktoolcli-zip2coord", "--z_axis",
                                                           "real", "--bogus", "in.zip"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("real: invalid string value"), std::string::npos) << p.err;
    EXPECT_EQ(p.err.find("--bogus"), std::string::npos) << p.err;
}

} // namespace
