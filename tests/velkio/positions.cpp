// Positions and Position: list handling, copies, channel lists and the
// coordinate conversions against their closed forms.
#include "velkio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr double PI = 3.14159265358979323846;

velkio_Position *polar(float az, float el, float r)
{
    const float c[3] = {az, el, r};
    return velkio_Position_new(0, 0, c, nullptr);
}

} // namespace

TEST(PositionConvert, PolarToCartesianOnKnownAngles)
{
    struct Case {
        float az, el, r;
        float x, y, z;
    } cases[] = {
        {0, 0, 1, 1, 0, 0},
        {90, 0, 2, 0, 2, 0},
        {180, 0, 1, -1, 0, 0},
        {-90, 0, 1, 0, -1, 0},
        {0, 90, 3, 0, 0, 3},
        {0, -90, 1, 0, 0, -1},
        {45, 0, 1, 0.70710678f, 0.70710678f, 0},
        {30, 60, 2, 0.8660254f, 0.5f, 1.7320508f},
        {-135, -30, 1.5f, -0.91855865f, -0.91855865f, -0.75f},
        {360, 0, 1, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.az << "," << c.el << "," << c.r);
        velkio_Position *p = polar(c.az, c.el, c.r);
        float out[3] = {-9, -9, -9};
        ASSERT_EQ(velkio_Position_Convert(p, out, 1), 0);
        EXPECT_NEAR(out[0], c.x, 1e-6);
        EXPECT_NEAR(out[1], c.y, 1e-6);
        EXPECT_NEAR(out[2], c.z, 1e-6);
        // The stored coordinates are not changed.
        EXPECT_EQ(p->coords[0], c.az);
        velkio_Position_delete(&p);
        EXPECT_EQ(p, nullptr);
    }
}

TEST(PositionConvert, CartesianToPolarIsTheInverse)
{
    for (float az = -175; az <= 180; az += 25) {
        for (float el = -85; el <= 85; el += 17) {
            velkio_Position *p = polar(az, el, 1.25f);
            float xyz[3], back[3];
            ASSERT_EQ(velkio_Position_Convert(p, xyz, 1), 0);
            velkio_Position *q = velkio_Position_new(1, 1, xyz, nullptr);
            ASSERT_EQ(velkio_Position_Convert(q, back, 0), 0);
            EXPECT_NEAR(back[0], az, 1e-4);
            EXPECT_NEAR(back[1], el, 1e-4);
            EXPECT_NEAR(back[2], 1.25f, 1e-6);
            velkio_Position_delete(&p);
            velkio_Position_delete(&q);
        }
    }
    // The origin converts to all zeros.
    velkio_Position *o = velkio_Position_new(0, 1, nullptr, nullptr);
    float out[3] = {1, 1, 1};
    EXPECT_EQ(velkio_Position_Convert(o, out, 0), 0);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 0.0f);
    velkio_Position_delete(&o);
}

TEST(PositionConvert, IgnoresTheFlagAndRefusesBadArguments)
{
    // Created as Cartesian while still holding polar values, as the
    // position-list generator does: the conversion still applies.
    const float c[3] = {90, 0, 2};
    velkio_Position *p = velkio_Position_new(0, 1, c, nullptr);
    float out[3];
    ASSERT_EQ(velkio_Position_Convert(p, out, 1), 0);
    EXPECT_NEAR(out[0], 0, 1e-6);
    EXPECT_NEAR(out[1], 2, 1e-6);
    EXPECT_EQ(velkio_Position_Convert(p, out, 2), 1);
    EXPECT_EQ(velkio_Position_Convert(p, out, -1), 1);
    EXPECT_EQ(velkio_Position_Convert(p, nullptr, 1), 1);
    EXPECT_EQ(velkio_Position_Convert(nullptr, out, 1), 1);
    velkio_Position_delete(&p);
}

TEST(PositionConvert, ToRadian)
{
    for (float d : {0.0f, 1.0f, 45.0f, 90.0f, -180.0f, 360.0f, 1234.5f})
        EXPECT_FLOAT_EQ(velkio_Position_convToRadian(d), static_cast<float>(d * PI / 180.0));
}

TEST(Position, NewCopyAndChannelLists)
{
    velkio_Position *p = velkio_Position_new(7, 0, nullptr, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->id, 7);
    EXPECT_EQ(p->coords[0], 0.0f);
    EXPECT_EQ(p->path, nullptr);
    EXPECT_EQ(p->useChannels, 0);

    int channels[] = {4, 2, 9};
    ASSERT_EQ(velkio_Position_setChannels(p, channels, 3), 0);
    channels[0] = 99; // the position holds its own copy
    EXPECT_EQ(p->useChannels, 1);
    ASSERT_EQ(p->numChannels, 3);
    EXPECT_EQ(p->channels[0], 4);
    EXPECT_EQ(velkio_Position_setChannels(p, nullptr, 2), 1);
    EXPECT_EQ(velkio_Position_setChannels(p, channels, -1), 1);
    EXPECT_EQ(p->numChannels, 3);

    const float c[3] = {1, 2, 3};
    velkio_Position *q = velkio_Position_new(8, 1, c, "a/b.wav");
    velkio_Position_setChannels(q, channels, 2);
    velkio_Position *copy = velkio_Position_copy(q);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->path, q->path);
    EXPECT_STREQ(copy->path, "a/b.wav");
    EXPECT_NE(copy->channels, q->channels);
    EXPECT_EQ(copy->channels[1], 2);
    EXPECT_EQ(copy->coords[2], 3.0f);
    EXPECT_EQ(copy->isCartesian, 1);

    velkio_Position_setChannelsUse(copy, 0);
    EXPECT_EQ(copy->useChannels, 0);
    EXPECT_EQ(copy->numChannels, 0);
    EXPECT_EQ(copy->channels, nullptr);
    EXPECT_EQ(q->numChannels, 2); // the original keeps its list
    velkio_Position_setChannelsUse(nullptr, 0);
    EXPECT_EQ(velkio_Position_copy(nullptr), nullptr);

    velkio_Position_delete(&p);
    velkio_Position_delete(&q);
    velkio_Position_delete(&copy);
    velkio_Position_delete(&copy); // deleting twice through the nulled pointer is harmless
    velkio_Position_delete(nullptr);
}

TEST(Positions, AppendFindRemoveAndCopy)
{
    velkio_Positions *list = velkio_Positions_new("microphone", 0, 0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->type, "microphone");
    const int ids[] = {3, 1, 4, 1, 5};
    for (int i = 0; i < 200; i++) {
        float c[3] = {static_cast<float>(i), 0, 0};
        ASSERT_EQ(velkio_Positions_append(list, velkio_Position_new(i < 5 ? ids[i] : 100 + i, 1, c,
                                                                    nullptr)),
                  0);
    }
    EXPECT_EQ(velkio_Positions_getSize(list), 200);
    EXPECT_EQ(velkio_Positions_getSize(nullptr), 0);
    EXPECT_EQ(velkio_Positions_append(list, nullptr), 1);
    EXPECT_EQ(velkio_Positions_append(nullptr, nullptr), 1);

    // The first of repeated ids is found; an absent id gives null.
    ASSERT_NE(velkio_Positions_getById(list, 1), nullptr);
    EXPECT_EQ(velkio_Positions_getById(list, 1)->coords[0], 1.0f);
    EXPECT_EQ(velkio_Positions_getById(list, 2), nullptr);
    EXPECT_EQ(velkio_Positions_getById(nullptr, 1), nullptr);

    velkio_Positions *copy = velkio_Positions_copy(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->type, "microphone");
    EXPECT_EQ(copy->count, 200);
    EXPECT_NE(copy->list[0], list->list[0]);

    // Every position with the id goes; order of the rest is kept.
    EXPECT_EQ(velkio_Positions_removeById(list, 1), 0);
    EXPECT_EQ(velkio_Positions_getSize(list), 198);
    EXPECT_EQ(list->list[0]->id, 3);
    EXPECT_EQ(list->list[1]->id, 4);
    EXPECT_EQ(list->list[2]->id, 5);
    EXPECT_EQ(velkio_Positions_removeById(list, 1), 1);
    EXPECT_EQ(velkio_Positions_removeById(nullptr, 1), 1);
    EXPECT_EQ(velkio_Positions_getSize(copy), 200); // the copy is independent

    velkio_Positions *untyped = velkio_Positions_new(nullptr, 0, 0, 0);
    EXPECT_EQ(untyped->type, nullptr);
    velkio_Positions *untypedCopy = velkio_Positions_copy(untyped);
    EXPECT_EQ(untypedCopy->count, 0);
    EXPECT_EQ(velkio_Positions_copy(nullptr), nullptr);

    velkio_Positions_delete(&list);
    velkio_Positions_delete(&copy);
    velkio_Positions_delete(&untyped);
    velkio_Positions_delete(&untypedCopy);
    EXPECT_EQ(list, nullptr);
    velkio_Positions_delete(&list);
}
