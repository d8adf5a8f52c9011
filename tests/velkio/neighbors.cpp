// Neighbour lists: a 5-degree circle against its closed form, two spherical
// shells against an independent brute-force computation, the spatial index
// against the pairwise search, and the edges.
#include "neighbors_pairwise.h"
#include "velkio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double PI = 3.14159265358979323846;

struct Spot {
    int id;
    double az, el, r; // degrees, degrees, metres
};

velkio_Positions *makeList(const std::vector<Spot> &spots, bool cartesian)
{
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    for (const Spot &s : spots) {
        float c[3] = {static_cast<float>(s.az), static_cast<float>(s.el),
                      static_cast<float>(s.r)};
        if (cartesian) {
            double a = s.az * PI / 180, e = s.el * PI / 180;
            c[0] = static_cast<float>(s.r * cos(e) * cos(a));
            c[1] = static_cast<float>(s.r * cos(e) * sin(a));
            c[2] = static_cast<float>(s.r * sin(e));
        }
        velkio_Positions_append(list, velkio_Position_new(s.id, cartesian ? 1 : 0, c, nullptr));
    }
    return list;
}

std::vector<int> listOf(const velkio_Neighbors *n, int index)
{
    const velkio_NeighborList &l = n->lists[index];
    return std::vector<int>(l.ids, l.ids + l.count);
}

// 72 positions, 5 degrees apart, in a scrambled list order, ids 100 + k.
std::vector<Spot> circle()
{
    std::vector<Spot> spots;
    for (int i = 0; i < 72; i++) {
        int k = (i * 29) % 72;
        spots.push_back({100 + k, 5.0 * k, 0, 1.5});
    }
    return spots;
}

std::vector<int> circleExpectation(int k)
{
    auto id = [](int j) { return 100 + (j + 72) % 72; };
    return {std::min(id(k - 1), id(k + 1)), std::max(id(k - 1), id(k + 1)),
            std::min(id(k - 2), id(k + 2))};
}

} // namespace

TEST(Neighbors, FiveDegreeCircleWithDefaults)
{
    for (bool cartesian : {false, true}) {
        SCOPED_TRACE(cartesian ? "cartesian" : "polar");
        std::vector<Spot> spots = circle();
        velkio_Positions *list = makeList(spots, cartesian);
        velkio_Neighbors *n = velkio_Neighbors_new(list);
        ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 3, 0.5), 0);
        ASSERT_EQ(n->count, 72);
        for (int i = 0; i < 72; i++) {
            EXPECT_EQ(n->lists[i].id, spots[i].id); // one list per position, list order
            EXPECT_EQ(listOf(n, i), circleExpectation(spots[i].id - 100)) << spots[i].id;
        }
        velkio_Neighbors_delete(&n);
        velkio_Positions_delete(&list);
    }
}

TEST(Neighbors, ThresholdAndMaximumLimitTheLists)
{
    velkio_Positions *list = makeList(circle(), false);
    velkio_Neighbors *n = velkio_Neighbors_new(list);
    // 0.1 rad lets only the two adjacent positions (5 degrees) through.
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 3, 0.1), 0);
    for (int i = 0; i < n->count; i++)
        EXPECT_EQ(n->lists[i].count, 2);
    // 0.5 rad is 28.6 degrees: five positions on each side.
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 100, 0.5), 0);
    for (int i = 0; i < n->count; i++)
        EXPECT_EQ(n->lists[i].count, 10);
    // A maximum of 0 or below, or a negative threshold: empty lists.
    for (auto [maximum, threshold] : {std::pair{0, 0.5}, {-4, 0.5}, {3, -0.1}}) {
        ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, maximum, threshold), 0);
        ASSERT_EQ(n->count, 72);
        for (int i = 0; i < n->count; i++) {
            EXPECT_EQ(n->lists[i].count, 0);
            EXPECT_EQ(n->lists[i].ids, nullptr);
        }
    }
    velkio_Neighbors_delete(&n);
    velkio_Positions_delete(&list);
}

TEST(Neighbors, TwoSphericalShellsMatchBruteForce)
{
    std::vector<Spot> spots;
    int id = 0;
    for (double r : {1.0, 2.0}) {
        spots.push_back({id++, 0, 90, r});
        spots.push_back({id++, 0, -90, r});
        for (int el = -60; el <= 60; el += 30)
            for (int az = 0; az < 360; az += 30)
                spots.push_back({id++, static_cast<double>(az), static_cast<double>(el), r});
    }
    const double threshold = 0.6;
    const int maximum = 5;

    // Brute force in double precision from the angles themselves.
    auto unit = [](const Spot &s, double v[3]) {
        double a = s.az * PI / 180, e = s.el * PI / 180;
        v[0] = cos(e) * cos(a);
        v[1] = cos(e) * sin(a);
        v[2] = sin(e);
    };
    std::vector<std::vector<int>> expected;
    for (const Spot &me : spots) {
        double u[3];
        unit(me, u);
        std::vector<std::pair<long long, int>> cands;
        for (const Spot &other : spots) {
            if (other.id == me.id)
                continue;
            double v[3];
            unit(other, v);
            double cross[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                               u[0] * v[1] - u[1] * v[0]};
            double angle = atan2(std::hypot(cross[0], cross[1], cross[2]),
                                 u[0] * v[0] + u[1] * v[1] + u[2] * v[2]);
            ASSERT_GT(std::fabs(angle - threshold), 1e-4); // no borderline case
            if (angle > threshold)
                continue;
            // Law of cosines; distances compared to the micrometre.
            double d = std::sqrt(me.r * me.r + other.r * other.r -
                                 2 * me.r * other.r * cos(angle));
            cands.push_back({std::llround(d * 1e6), other.id});
        }
        std::sort(cands.begin(), cands.end());
        std::vector<int> ids;
        for (size_t k = 0; k < cands.size() && k < static_cast<size_t>(maximum); k++)
            ids.push_back(cands[k].second);
        expected.push_back(ids);
    }

    velkio_Positions *list = makeList(spots, false);
    velkio_Neighbors *n = velkio_Neighbors_new(list);
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, maximum, threshold), 0);
    ASSERT_EQ(n->count, static_cast<int>(spots.size()));
    for (size_t i = 0; i < spots.size(); i++)
        EXPECT_EQ(listOf(n, static_cast<int>(i)), expected[i]) << "position " << spots[i].id;
    velkio_Neighbors_delete(&n);
    velkio_Positions_delete(&list);
}

TEST(Neighbors, PositionsWithoutDirectionAndRepeatedIds)
{
    std::vector<Spot> spots = {{1, 0, 0, 1}, {2, 0, 0, 0}, {3, 10, 0, 1}, {1, 5, 0, 1}};
    velkio_Positions *list = makeList(spots, false);
    velkio_Neighbors *n = velkio_Neighbors_new(list);
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 3, 0.5), 0);
    ASSERT_EQ(n->count, 4);
    EXPECT_EQ(listOf(n, 0), (std::vector<int>{3}));    // never its own id
    EXPECT_EQ(listOf(n, 1), (std::vector<int>{}));     // the origin has no direction
    EXPECT_EQ(listOf(n, 2), (std::vector<int>{1, 1})); // both entries of id 1
    EXPECT_EQ(listOf(n, 3), (std::vector<int>{3}));
    velkio_Neighbors_delete(&n);
    velkio_Positions_delete(&list);
}

TEST(Neighbors, FailuresLeaveEarlierListsAlone)
{
    velkio_Positions *list = makeList(circle(), false);
    velkio_Neighbors *n = velkio_Neighbors_new(list);
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 3, 0.5), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_Neighbors_calcNeighbors(n, 2, 3, 0.5), 1);
    EXPECT_EQ(velkio_Neighbors_calcNeighbors(n, 0, 3, 0.5), 1);
    EXPECT_EQ(velkio_Neighbors_calcNeighbors(nullptr, 1, 3, 0.5), 1);
    velkio_Neighbors *none = velkio_Neighbors_new(nullptr);
    EXPECT_EQ(velkio_Neighbors_calcNeighbors(none, 1, 3, 0.5), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(n->count, 72);
    EXPECT_EQ(n->lists[0].count, 3);

    // An empty position list gives no lists.
    velkio_Positions *empty = velkio_Positions_new("tsp", 0, 0, 0);
    none->positions = empty;
    EXPECT_EQ(velkio_Neighbors_calcNeighbors(none, 1, 3, 0.5), 0);
    EXPECT_EQ(none->count, 0);

    velkio_Neighbors *copy = velkio_Neighbors_copy(n);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->positions, nullptr);
    ASSERT_EQ(copy->count, 72);
    EXPECT_NE(copy->lists[5].ids, n->lists[5].ids);
    EXPECT_EQ(listOf(copy, 5), listOf(n, 5));
    EXPECT_EQ(velkio_Neighbors_copy(nullptr), nullptr);

    velkio_Neighbors_delete(&n);
    velkio_Neighbors_delete(&copy);
    velkio_Neighbors_delete(&none);
    EXPECT_EQ(n, nullptr);
    velkio_Positions_delete(&empty);
    velkio_Positions_delete(&list);
}

TEST(Neighbors, DocumentedExampleIsWhatTheAlgorithmGives)
{
    std::string path = std::string(VELK_TEST_DATA) + "/xml/neighbors.xml";
    velkio_XML *doc = velkio_XML_newFromXML(path.c_str(), "");
    ASSERT_NE(doc, nullptr);
    velkio_Neighbors *n = velkio_Neighbors_new(doc->poses);
    ASSERT_EQ(velkio_Neighbors_calcNeighbors(n, 1, 2, 0.5), 0);
    ASSERT_EQ(n->count, doc->nbrs->count);
    for (int i = 0; i < n->count; i++)
        EXPECT_EQ(listOf(n, i), listOf(doc->nbrs, i));
    velkio_Neighbors_delete(&n);
    velkio_XML_delete(&doc);
}

// The index must give exactly the lists of the pairwise search: exact ties
// (a lattice through the origin), shells given in polar coordinates, ties
// within the tie tolerance, duplicated points and ids, positions without a
// direction, thresholds from 0 to beyond pi and maxima beyond the count.
TEST(Neighbors, IndexGivesThePairwiseLists)
{
    std::vector<std::vector<Spot>> sets(4);
    std::vector<bool> cartesian = {true, false, true, false};
    int id = 0;
    for (int x = -3; x <= 3; x++)
        for (int y = -3; y <= 3; y++)
            for (int z = -2; z <= 2; z++)
                sets[0].push_back({id++, double(x), double(y), double(z)}); // x, y, z
    for (double r : {1.0, 2.0})
        for (int el = -75; el <= 75; el += 25)
            for (int az = 0; az < 360; az += 15)
                sets[1].push_back({id++, double(az), double(el), r});
    std::mt19937 random(7);
    std::uniform_real_distribution<double> coordinate(-5, 5);
    for (int i = 0; i < 300; i++) {
        double scale = std::vector<double>{1, 10, 100, 1e6}[i % 4];
        double c[3];
        for (double &v : c)
            v = std::round(coordinate(random) * scale) / scale;
        sets[2].push_back({id++, c[0], c[1], c[2]});
    }
    for (int i = 0; i < 30; i++) {
        Spot copy = sets[2][static_cast<size_t>(i * 7)];
        copy.id = i % 2 ? copy.id : id++; // same point, same or new id
        sets[2].push_back(copy);
    }
    const double nan = std::nan("");
    for (Spot s : std::vector<Spot>{{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1e-30, 0, 0},
                                    {0, 3e38, 3e38, 0}, {0, nan, 1, 1}})
        sets[2].push_back({id++, s.az, s.el, s.r});
    for (int i = 0; i < 300; i++) {
        double az = 30.0 * (i % 12) + 1e-5 * (i % 3), el = 30.0 * ((i / 12) % 5) - 60;
        sets[3].push_back({id++, az, el, (i % 2 ? 1.0 : 1.000001) * (1 + (i / 60) % 2)});
    }

    for (size_t k = 0; k < sets.size(); k++) {
        velkio_Positions *list = makeList(sets[k], false);
        if (cartesian[k]) // the spots hold x, y, z
            for (size_t i = 0; i < sets[k].size(); i++)
                list->list[i]->isCartesian = 1;
        velkio_Neighbors *indexed = velkio_Neighbors_new(list);
        velkio_Neighbors *pairwise = velkio_Neighbors_new(list);
        const int count = static_cast<int>(sets[k].size());
        for (double threshold : {0.0, 1e-7, 0.5, PI, 4.0})
            for (int maximum : {1, 3, count + 5}) {
                SCOPED_TRACE("set " + std::to_string(k) + ", threshold " +
                             std::to_string(threshold) + ", maximum " + std::to_string(maximum));
                ASSERT_EQ(velkio_Neighbors_calcNeighbors(indexed, 1, maximum, threshold), 0);
                ASSERT_EQ(velkio_Neighbors_calcNeighborsPairwise(pairwise, 1, maximum, threshold), 0);
                ASSERT_EQ(indexed->count, pairwise->count);
                for (int i = 0; i < count; i++) {
                    ASSERT_EQ(indexed->lists[i].id, pairwise->lists[i].id);
                    ASSERT_EQ(listOf(indexed, i), listOf(pairwise, i)) << "position " << i;
                }
            }
        velkio_Neighbors_delete(&indexed);
        velkio_Neighbors_delete(&pairwise);
        velkio_Positions_delete(&list);
    }
}
