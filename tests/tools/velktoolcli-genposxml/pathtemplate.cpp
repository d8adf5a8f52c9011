// Path templates: keys, formats, the thousandths of the length keys, the
// placeholders kept as they are, the two template errors and the limits.
#include "genposxml.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

PathValues noValues()
{
    return PathValues{NAN, NAN, NAN, NAN, NAN, NAN, NAN};
}

PathValues polar(float azimuth, float elevation, float radius)
{
    PathValues v = noValues();
    v.azimuth = azimuth;
    v.elevation = elevation;
    v.radius = radius;
    return v;
}

PathValues cartesian(float x, float y, float z)
{
    PathValues v = noValues();
    v.x = x;
    v.y = y;
    v.z = z;
    return v;
}

// The expanded path; fails the test on a template error.
std::string expand(const char *tmpl, const PathValues &values)
{
    char out[PATH_BUFFER_SIZE];
    int rc = expandPathTemplate(tmpl, &values, out);
    EXPECT_EQ(rc, PATH_TEMPLATE_OK) << tmpl;
    return out;
}

// The result code and what was logged.
int expandError(const char *tmpl, std::string *log)
{
    PathValues v = polar(1, 2, 3);
    char out[PATH_BUFFER_SIZE];
    testing::internal::CaptureStderr();
    int rc = expandPathTemplate(tmpl, &v, out);
    *log = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(out, "");
    return rc;
}

} // namespace

TEST(FormatRule, AcceptsFloatConversionsWithFlagsWidthAndPrecision)
{
    for (const char *f : {"%03.1f", "%f", "%.2e", "%+g", "%-8.3E", "%#G", "% f",
                          "%4095f"})
        EXPECT_EQ(validateFormatStr(f), 0) << f;
}

TEST(FormatRule, RefusesOtherConversionsAndMalformedFormats)
{
    for (const char *f : {"%d", "03.1f", "%", "%fx", "%lf", "", "%s", "%n",
                          "%*f", "%f%f", "%%f"})
        EXPECT_NE(validateFormatStr(f), 0) << f;
    EXPECT_NE(validateFormatStr(nullptr), 0);
}

TEST(FormatRule, RefusesWidthsAndPrecisionsNoPathCanHold)
{
    EXPECT_NE(validateFormatStr("%4096f"), 0);
    EXPECT_NE(validateFormatStr("%.999999999f"), 0);
    EXPECT_NE(validateFormatStr("%99999999999999999999e"), 0);
    EXPECT_EQ(validateFormatStr("%0000000000000000001.3f"), 0);
}

TEST(PathTemplate, AngleKeysTakeTheValueUnchanged)
{
    EXPECT_EQ(expand("pos_{AZIMUTH:%03.1f}.wav", polar(30, 0, 1)), "pos_30.0.wav");
    EXPECT_EQ(expand("pos_{AZIMUTH:%03.1f}.wav", polar(-5, 0, 1)), "pos_-5.0.wav");
    EXPECT_EQ(expand("filename_D{AZIMUTH:%03.1f}_E{ELEVATION:%03.1f}_"
                     "R{RADIUS:%03.1f}.wav", polar(350, -30, 1.5f)),
              "filename_D350.0_E-30.0_R1.5.wav");
    EXPECT_EQ(expand("{RADIUS:%g}", polar(0, 0, 2.5f)), "2.5");
    EXPECT_EQ(expand("{AZIMUTH:%.2e}", polar(1234.5f, 0, 1)), "1.23e+03");
}

TEST(PathTemplate, LengthKeysAreWrittenInRoundedThousandths)
{
    EXPECT_EQ(expand("p_X{X_AXIS:%03.1f}.wav", cartesian(0.5f, 0, 0)), "p_X500.0.wav");
    EXPECT_EQ(expand("p_X{X_AXIS:%03.1f}.wav", cartesian(0.0004f, 0, 0)), "p_X0.0.wav");
    EXPECT_EQ(expand("p_X{X_AXIS:%03.1f}.wav", cartesian(0.0015f, 0, 0)), "p_X2.0.wav");
    EXPECT_EQ(expand("{Y_AXIS:%g}_{Z_AXIS:%g}", cartesian(0, -0.0015f, -1.25f)),
              "-2_-1250");
    PathValues v = noValues();
    v.height = 0.75f;
    v.radius = 0.75f;
    EXPECT_EQ(expand("H{HEIGHT:%.0f}_R{RADIUS:%.2f}", v), "H750_R0.75");
    // Beyond the int range the rounded value is kept as it is.
    v.height = 3.0e6f;
    EXPECT_EQ(expand("{HEIGHT:%.0f}", v), "3000000000");
}

TEST(PathTemplate, UnknownKeysAndUnsetAxesKeepThePlaceholder)
{
    EXPECT_EQ(expand("a{FOO:%f}b", polar(1, 2, 3)), "a{FOO:%f}b");
    EXPECT_EQ(expand("a{azimuth:%f}b", polar(1, 2, 3)), "a{azimuth:%f}b");
    // A cylinder sets no elevation.
    PathValues cyl = noValues();
    cyl.azimuth = 10;
    cyl.height = 0.2f;
    cyl.radius = 1;
    EXPECT_EQ(expand("D{AZIMUTH:%.0f}_E{ELEVATION:%f}_H{HEIGHT:%.0f}", cyl),
              "D10_E{ELEVATION:%f}_H200");
    EXPECT_EQ(expand("x{X_AXIS:%g}", polar(1, 2, 3)), "x{X_AXIS:%g}");
    // A second brace before the key makes the key unknown.
    EXPECT_EQ(expand("a{b{AZIMUTH:%.0f}c", polar(7, 0, 1)), "a{b{AZIMUTH:%.0f}c");
}

TEST(PathTemplate, PlainAndEmptyTemplates)
{
    EXPECT_EQ(expand("plain/path.wav", polar(1, 2, 3)), "plain/path.wav");
    EXPECT_EQ(expand("", polar(1, 2, 3)), "");
    EXPECT_EQ(expand(nullptr, polar(1, 2, 3)), "");
    EXPECT_EQ(expand("a}b:c", polar(1, 2, 3)), "a}b:c");
    EXPECT_EQ(expand("{AZIMUTH:%.0f}{AZIMUTH:%.1f}", polar(4, 0, 1)), "44.0");
}

TEST(PathTemplate, BraceWithoutColonAndClosingBraceIsAnError)
{
    std::string log;
    for (const char *t : {"a{AZIMUTH:%f", "a{AZIMUTH}b:%f", "a{", "x{AZIMUTH:%f}{"}) {
        EXPECT_EQ(expandError(t, &log), PATH_TEMPLATE_BAD_BRACE) << t;
        EXPECT_NE(log.find("path string error: invalid after '{'"), std::string::npos);
    }
    expandError("ok_{AZIMUTH}b:%f", &log);
    EXPECT_NE(log.find("{AZIMUTH}b:%f\n"), std::string::npos) << log;
}

TEST(PathTemplate, BadFormatIsAnErrorAndIsLoggedAsPlainText)
{
    std::string log;
    EXPECT_EQ(expandError("a{AZIMUTH:%d}b", &log), PATH_TEMPLATE_BAD_FORMAT);
    EXPECT_NE(log.find("path string error: invalid format string"), std::string::npos);
    EXPECT_EQ(expandError("a{FOO:%s%s%n}b", &log), PATH_TEMPLATE_BAD_FORMAT);
    EXPECT_NE(log.find("%s%s%n\n"), std::string::npos) << log;
    // An error after a good placeholder leaves no partial path either.
    EXPECT_EQ(expandError("{AZIMUTH:%f}_{RADIUS:%lf}", &log), PATH_TEMPLATE_BAD_FORMAT);
}

TEST(PathTemplate, TemplateLongerThanTheBufferIsRefused)
{
    std::string longest(PATH_BUFFER_SIZE - 1, 'a');
    EXPECT_EQ(expand(longest.c_str(), polar(1, 2, 3)), longest);
    std::string tooLong(PATH_BUFFER_SIZE, 'a');
    std::string log;
    EXPECT_EQ(expandError(tooLong.c_str(), &log), PATH_TEMPLATE_TOO_LONG);
    EXPECT_NE(log.find("longer than 4095"), std::string::npos) << log;
}

TEST(PathTemplate, ExpansionIsCutAtTheBufferSize)
{
    std::string tmpl(4000, 'a');
    tmpl += "{RADIUS:%0500.1f}tail";
    std::string path = expand(tmpl.c_str(), polar(0, 0, 1));
    ASSERT_EQ(path.size(), (size_t)PATH_BUFFER_SIZE - 1);
    EXPECT_EQ(path.substr(0, 4000), std::string(4000, 'a'));
    EXPECT_EQ(path.substr(4000), std::string(95, '0'));
}

TEST(PathTemplate, ATemplateErrorFailsTheGenerationWithItsMessage)
{
    CoordModelParams p;
    initCoordModelParams(&p, "circle");
    p.radius = AxisRange{1, 1, 0};
    p.azimuth = AxisRange{0, 10, 10};
    p.elevation = AxisRange{0, 0, 0};
    p.pathTemplate = "a{AZIMUTH:%d}";
    p.positions = velkio_Positions_new(p.type, 0, 0, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(makePositionsFromModel(&p, nullptr, 0), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid format string"),
              std::string::npos);
    velkio_Positions_delete(&p.positions);
    PathValues v = polar(1, 2, 3);
    char out[PATH_BUFFER_SIZE];
    EXPECT_EQ(expandPathTemplate("a{AZIMUTH:%.0f}", &v, out), PATH_TEMPLATE_OK);
    EXPECT_STREQ(out, "a1");
}
