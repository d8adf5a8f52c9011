// sofa2tf's value checks through the shared parser.
#include <gtest/gtest.h>

#include "options_test_util.h"
#include "sofa2tf.h"

namespace {

velktest::Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "velktoolcli-sofa2tf");
    return velktest::parseCommandLine(sofa2tf_commandLine, args);
}

TEST(Sofa2tfOptions, LengthsAndOutputType)
{
    EXPECT_EQ(parse({"--nfft", "4096", "--direct-length", "0", "a.sofa", "b.zip"}).status, 0);
    velktest::Parsed p = parse({"--nfft", "100"});
    EXPECT_NE(p.err.find("100: invalid numeric value"), std::string::npos) << p.err;
    EXPECT_EQ(parse({"--nfft", "2"}).status, 1);
    EXPECT_EQ(parse({"--reverb-length", "-1"}).status, 1);
    p = parse({"--output-type", "LOCSEP"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("LOCSEP: invalid string value"), std::string::npos) << p.err;
}

} // namespace
