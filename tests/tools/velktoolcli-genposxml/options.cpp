// genposxml's model tables through the shared parser: the range checks of
// the model options and the position type.
#include <gtest/gtest.h>

#include "genposxml.h"
#include "options_test_util.h"

namespace {

velktest::Parsed parseModel(const char *model, std::vector<std::string> args)
{
    CoordModelParams params;
    initCoordModelParams(&params, model);
    args.insert(args.begin(), {"velktoolcli-genposxml", model});
    return velktest::parseCommandLine(genposxml_commandLine(coordModelFromName(model)), args);
}

TEST(GenposxmlOptions, ValueChecksOfTheModelTables)
{
    velktest::Parsed p = parseModel("ball", {"--min-radius", "0.5", "--max-elevation", "30"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.args, std::vector<std::string>{"ball"}); // the model word stays
    p = parseModel("circle", {"--min-radius", "0"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("0: invalid numeric value"), std::string::npos) << p.err;
    p = parseModel("grid", {"--channels", "1,x"});
    EXPECT_NE(p.err.find("1,x: invalid numeric value"), std::string::npos) << p.err;
    p = parseModel("cylinder", {"--id", "-1"});
    EXPECT_NE(p.err.find("-1: invalid numeric value"), std::string::npos) << p.err;
    // Options of another model are unknown.
    p = parseModel("circle", {"--min-height", "1"});
    EXPECT_NE(p.err.find("--min-height: unknown option"), std::string::npos) << p.err;
}

TEST(GenposxmlOptions, UnknownPositionType)
{
    velktest::Parsed p = parseModel("circle", {"--type", "speaker"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("speaker: invalid value"), std::string::npos) << p.err;
    EXPECT_EQ(parseModel("circle", {"--type", "soundsource"}).status, 0);
}

} // namespace
