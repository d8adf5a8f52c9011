// calcsysimp's value checks through the shared parser.
#include <gtest/gtest.h>

#include "options_test_util.h"
#include "velktool.h"

namespace {

velktest::Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), {"velktool5", "calcsysimp"});
    return velktest::parseCommandLine(calcsysimp_commandLine, args);
}

TEST(CalcsysimpOptions, ValueChecks)
{
    velktest::Parsed p = parse({"--searchoffset", "5,9", "--outchannellist", "0,63",
                                "--tsporigwav", "t.wav"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.args, std::vector<std::string>{"calcsysimp"});
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--searchoffset", "5,1"}, {"--outchannellist", "64"},
          {"--sigmax", "0"}, {"--samplebyframe", "0"}, {"--syncaddfreq", "-1"},
          {"--tsporigchannel", "-1"}, {"--ch-origin", "-2"}}) {
        p = parse(bad);
        EXPECT_EQ(p.status, 1) << bad[0];
        EXPECT_NE(p.err.find(bad[1] + ": invalid numeric value"), std::string::npos) << p.err;
    }
}

} // namespace
