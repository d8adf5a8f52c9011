// The four coordinate models: loop order, counts, ids, intervals, the
// Cartesian coordinates of each position, the channel list, and the checks
// made before generating.
#include "genposxml.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr float kTol = 1e-5f;
constexpr double kDeg = M_PI / 180.0;

struct Generated {
    int id;
    float x, y, z;
    std::string path;
};

class Model : public testing::Test {
protected:
    CoordModelParams p;

    void use(const char *model)
    {
        initCoordModelParams(&p, model);
    }
    static void axis(AxisRange *a, float min, float max, float interval)
    {
        *a = AxisRange{min, max, interval};
    }
    std::vector<Generated> generate(const int *channels = nullptr, int count = 0)
    {
        p.positions = velkio_Positions_new(p.type, 0, 0, 0);
        EXPECT_EQ(makePositionsFromModel(&p, channels, count), 0);
        std::vector<Generated> out;
        for (int i = 0; i < p.positions->count; i++) {
            const velkio_Position *q = p.positions->list[i];
            out.push_back({q->id, q->coords[0], q->coords[1], q->coords[2],
                           q->path ? q->path : ""});
        }
        return out;
    }
    void TearDown() override
    {
        velkio_Positions_delete(&p.positions);
    }
};

void expectPolar(const Generated &g, double az, double el, double r)
{
    EXPECT_NEAR(g.x, r * cos(el * kDeg) * cos(az * kDeg), kTol) << g.id;
    EXPECT_NEAR(g.y, r * cos(el * kDeg) * sin(az * kDeg), kTol) << g.id;
    EXPECT_NEAR(g.z, r * sin(el * kDeg), kTol) << g.id;
}

// The messages logged by the checks before generation.
std::string validationLog(const CoordModelParams &p, const ChannelSelection &sel,
                          int *rc)
{
    testing::internal::CaptureStderr();
    *rc = validateCoordModelParams(&p, &sel);
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST_F(Model, CircleStepsAzimuthAtOneRadiusAndElevation)
{
    use("circle");
    axis(&p.radius, 1, 1, 0);
    axis(&p.elevation, 0, 0, 0);
    axis(&p.azimuth, 0, 350, 10);
    p.pathTemplate = "D{AZIMUTH:%.0f}";
    auto g = generate();
    ASSERT_EQ(g.size(), 36u);
    for (int i = 0; i < 36; i++) {
        EXPECT_EQ(g[i].id, i);
        EXPECT_EQ(g[i].path, std::string("D").append(std::to_string(10 * i)));
        expectPolar(g[i], 10.0 * i, 0, 1);
    }
}

TEST_F(Model, BallWithNegativeIntervalRunsDownFromTheMaximum)
{
    use("ball");
    p.idStart = 100;
    axis(&p.radius, 1, 2, 1);
    axis(&p.elevation, -30, 30, 30);
    axis(&p.azimuth, 0, 350, -10);
    p.pathTemplate = "{RADIUS:%.0f}_{ELEVATION:%.0f}_{AZIMUTH:%.0f}";
    auto g = generate();
    ASSERT_EQ(g.size(), 2u * 3u * 36u);
    int k = 0;
    for (int r = 1; r <= 2; r++)
        for (int el = -30; el <= 30; el += 30)
            for (int az = 350; az >= 0; az -= 10, k++) {
                EXPECT_EQ(g[k].id, 100 + k);
                EXPECT_EQ(g[k].path, std::to_string(r) + "_" + std::to_string(el) +
                                         "_" + std::to_string(az));
                expectPolar(g[k], az, el, r);
            }
}

TEST_F(Model, HandComputedBallPosition)
{
    use("ball");
    axis(&p.radius, 2, 2, 0);
    axis(&p.elevation, 30, 30, 0);
    axis(&p.azimuth, 60, 60, 0);
    auto g = generate();
    ASSERT_EQ(g.size(), 1u);
    // r cos(el) = 2 * 0.8660254 = 1.7320508
    EXPECT_NEAR(g[0].x, 0.8660254f, kTol);
    EXPECT_NEAR(g[0].y, 1.5f, kTol);
    EXPECT_NEAR(g[0].z, 1.0f, kTol);
}

TEST_F(Model, ZeroIntervalUsesOnlyTheMinimum)
{
    use("circle");
    axis(&p.radius, 0.5f, 3, 0);
    axis(&p.elevation, 10, 10, 0);
    axis(&p.azimuth, 20, 90, 0);
    auto g = generate();
    ASSERT_EQ(g.size(), 1u);
    expectPolar(g[0], 20, 10, 0.5);
}

TEST_F(Model, EndPointsAreIncludedWhenReachedExactly)
{
    use("circle");
    axis(&p.radius, 1, 2, 0.25f);   // 1, 1.25, 1.5, 1.75, 2
    axis(&p.elevation, 0, 0, 0);
    axis(&p.azimuth, 0, 100, 30);   // 0, 30, 60, 90 (120 is beyond)
    p.pathTemplate = "{RADIUS:%.2f}/{AZIMUTH:%.0f}";
    auto g = generate();
    ASSERT_EQ(g.size(), 5u * 4u);
    EXPECT_EQ(g[0].path, "1.00/0");
    EXPECT_EQ(g[3].path, "1.00/90");
    EXPECT_EQ(g[19].path, "2.00/90");
    expectPolar(g[19], 90, 0, 2);
}

TEST_F(Model, CylinderConvertsAzimuthRadiusHeight)
{
    use("cylinder");
    axis(&p.radius, 1.5f, 1.5f, 0);
    axis(&p.height, -0.5f, 0.5f, 0.5f);
    axis(&p.azimuth, 0, 270, 90);
    p.pathTemplate = "H{HEIGHT:%.0f}_D{AZIMUTH:%.0f}_E{ELEVATION:%f}";
    auto g = generate();
    ASSERT_EQ(g.size(), 3u * 4u);
    const float h[] = {-0.5f, 0, 0.5f};
    const float cx[] = {1.5f, 0, -1.5f, 0};
    const float cy[] = {0, 1.5f, 0, -1.5f};
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 4; j++) {
            const Generated &q = g[i * 4 + j];
            EXPECT_EQ(q.id, i * 4 + j);
            EXPECT_NEAR(q.x, cx[j], kTol);
            EXPECT_NEAR(q.y, cy[j], kTol);
            EXPECT_FLOAT_EQ(q.z, h[i]);
        }
    EXPECT_EQ(g[0].path, "H-500_D0_E{ELEVATION:%f}");
    EXPECT_EQ(g[11].path, "H500_D270_E{ELEVATION:%f}");
}

TEST_F(Model, GridVariesXFastestAndZSlowest)
{
    use("grid");
    p.idStart = 7;
    axis(&p.x_axis, 0, 1, 0.5f);
    axis(&p.y_axis, -1, 1, -2);   // downwards: 1, -1
    axis(&p.z_axis, 0.25f, 0.25f, 0);
    p.pathTemplate = "p_X{X_AXIS:%03.1f}_Y{Y_AXIS:%g}_Z{Z_AXIS:%g}.wav";
    auto g = generate();
    ASSERT_EQ(g.size(), 6u);
    const float xs[] = {0, 0.5f, 1, 0, 0.5f, 1};
    const float ys[] = {1, 1, 1, -1, -1, -1};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(g[i].id, 7 + i);
        EXPECT_FLOAT_EQ(g[i].x, xs[i]);
        EXPECT_FLOAT_EQ(g[i].y, ys[i]);
        EXPECT_FLOAT_EQ(g[i].z, 0.25f);
    }
    EXPECT_EQ(g[1].path, "p_X500.0_Y1000_Z250.wav");
    EXPECT_EQ(g[5].path, "p_X1000.0_Y-1000_Z250.wav");
}

TEST_F(Model, ChannelListGoesOnTheFirstPositionOnly)
{
    use("circle");
    p.type = "tsp";
    axis(&p.radius, 1, 1, 0);
    axis(&p.elevation, 0, 0, 0);
    axis(&p.azimuth, 0, 20, 10);
    const int channels[] = {0, 1, 3};
    generate(channels, 3);
    ASSERT_EQ(p.positions->count, 3);
    const velkio_Position *first = p.positions->list[0];
    EXPECT_EQ(first->useChannels, 1);
    ASSERT_EQ(first->numChannels, 3);
    EXPECT_EQ(first->channels[2], 3);
    EXPECT_NE(p.positions->list[1]->useChannels, 1);
    EXPECT_NE(p.positions->list[2]->useChannels, 1);
}

TEST(ConvertCoordinates, NullPositionsAreIgnoredAndCylinderIsHandComputed)
{
    polarToCartesian(nullptr);
    cylindricalToCartesian(nullptr);
    const float c[3] = {30, 2, -1};   // azimuth, radius, height
    velkio_Position *q = velkio_Position_new(0, 1, c, nullptr);
    cylindricalToCartesian(q);
    EXPECT_NEAR(q->coords[0], 1.7320508f, kTol);
    EXPECT_NEAR(q->coords[1], 1.0f, kTol);
    EXPECT_FLOAT_EQ(q->coords[2], -1.0f);
    velkio_Position_delete(&q);
}

TEST(ChannelList, SortedWithoutRepeatsAndReplacedWhenGivenAgain)
{
    ChannelSelection s;
    ASSERT_EQ(parseChannelList("3,1,3, 0", &s), 0);
    ASSERT_EQ(s.count, 3);
    EXPECT_EQ(s.list[0], 0);
    EXPECT_EQ(s.list[1], 1);
    EXPECT_EQ(s.list[2], 3);
    ASSERT_EQ(parseChannelList(" 63 ,,2", &s), 0);
    ASSERT_EQ(s.count, 2);
    EXPECT_EQ(s.list[0], 2);
    EXPECT_EQ(s.list[1], 63);
    EXPECT_FALSE(s.flags[3]);
    ASSERT_EQ(parseChannelList("", &s), 0);
    EXPECT_EQ(s.count, 0);
}

TEST(ChannelList, RefusesChannelsOutsideTheArrayAndPartialNumbers)
{
    ChannelSelection s;
    for (const char *bad : {"64", "-1", "1x", "0x1", "1.0", "99999999999999999999",
                            "1;2"}) {
        EXPECT_EQ(parseChannelList(bad, &s), 1) << bad;
        EXPECT_EQ(s.count, 0);
    }
}

TEST(AxisSteps, CountsAndDetectsIntervalsTooSmallToAdvance)
{
    AxisRange a{0, 350, 10};
    EXPECT_EQ(countAxisSteps(&a, 1000), 36);
    a = AxisRange{0, 350, -10};
    EXPECT_EQ(countAxisSteps(&a, 1000), 36);
    a = AxisRange{5, 9, 0};
    EXPECT_EQ(countAxisSteps(&a, 1000), 1);
    a = AxisRange{0, 1, 1e-3f};
    EXPECT_EQ(countAxisSteps(&a, 10), 11);   // stops counting past the limit
    a = AxisRange{1e7f, 1e7f + 10, 0.1f};
    EXPECT_EQ(countAxisSteps(&a, 1000), -1);
}

TEST(Validation, ReportsEveryMissingValueInTableOrder)
{
    CoordModelParams p;
    initCoordModelParams(&p, "circle");
    p.radius.max = 2;
    ChannelSelection s{};
    int rc = 0;
    std::string log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    const char *expected[] = {"missing --min-radius", "missing --interval-radius",
                              "missing --elevation", "missing --min-azimuth",
                              "missing --max-azimuth", "missing --interval-azimuth"};
    size_t at = 0;
    for (const char *m : expected) {
        size_t found = log.find(m, at);
        ASSERT_NE(found, std::string::npos) << m << "\n" << log;
        at = found;
    }
    EXPECT_EQ(log.find("max-radius"), std::string::npos);

    initCoordModelParams(&p, "grid");
    log = validationLog(p, s, &rc);
    EXPECT_NE(log.find("missing --min-x_axis"), std::string::npos);
    EXPECT_NE(log.find("missing --interval-z_axis"), std::string::npos);
}

TEST(Validation, RangesAndMicrophoneRulesAreAllReported)
{
    CoordModelParams p;
    initCoordModelParams(&p, "ball");
    p.type = "microphone";
    p.idStart = 3;
    p.radius = AxisRange{2, 1, 0};
    p.elevation = AxisRange{0, 0, 0};
    p.azimuth = AxisRange{10, 0, 10};
    ChannelSelection s{};
    parseChannelList("1", &s);
    int rc = 0;
    std::string log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    size_t r = log.find("should be --min-radius <= --max-radius");
    size_t a = log.find("should be --min-azimuth <= --max-azimuth");
    EXPECT_NE(r, std::string::npos);
    EXPECT_NE(a, std::string::npos);
    EXPECT_LT(r, a);
    EXPECT_NE(log.find("microphone should not have --channels"), std::string::npos);
    EXPECT_NE(log.find("microphone should be --id == 0"), std::string::npos);

    // Equal bounds are fine.
    p.type = "tsp";
    p.radius = AxisRange{1, 1, 0};
    p.azimuth = AxisRange{0, 0, 10};
    log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 0) << log;
}

TEST(Validation, RefusesListsTooLargeToGenerate)
{
    CoordModelParams p;
    initCoordModelParams(&p, "grid");
    p.x_axis = AxisRange{0, 999, 1};
    p.y_axis = AxisRange{0, 999, 1};
    p.z_axis = AxisRange{0, 1, 1};
    ChannelSelection s{};
    int rc = 0;
    std::string log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(log.find("too many positions"), std::string::npos) << log;

    p.y_axis = AxisRange{0, 99, 1};
    p.z_axis = AxisRange{0, 0, 0};
    p.idStart = 2147483647 - 10;
    log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(log.find("position ids would exceed"), std::string::npos) << log;

    p.idStart = 0;
    p.x_axis = AxisRange{1e7f, 1e7f + 10, 0.1f};
    p.y_axis = AxisRange{0, 0, 0};
    log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(log.find("--interval-x_axis is too small"), std::string::npos) << log;

    // Few positions with long paths: a document larger than the readers
    // accept (70,000 paths of 4,000 bytes), refused before generation.
    p.x_axis = AxisRange{0, 69999, 1};
    std::string longPath = std::string(4000, 'p') + "{X_AXIS:%.0f}";
    p.pathTemplate = longPath.c_str();
    log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(log.find("position list too large: more than 268435456 bytes"), std::string::npos)
        << log;
    p.x_axis = AxisRange{0, 59999, 1};
    log = validationLog(p, s, &rc);
    EXPECT_EQ(rc, 0) << log;
}
