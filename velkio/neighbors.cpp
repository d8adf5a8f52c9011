// Neighbour lists of a position list: for every position, the nearest
// other positions in about the same direction seen from the origin.
#include "velkio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Distances that agree to this relative precision are ties (ordered by
// id).  Stored coordinates are single precision, so two positions at the
// same distance in the measurement plan rarely come out bit-identical.
constexpr double TIE_TOLERANCE = 1e-5;

struct Point {
    int id;
    bool usable;    // finite coordinates away from the origin
    double xyz[3];  // Cartesian, metres
    double unit[3]; // direction seen from the origin
};

Point pointOf(const velkio_Position *p)
{
    Point pt{};
    pt.id = p->id;
    float c[3] = {p->coords[0], p->coords[1], p->coords[2]};
    if (!p->isCartesian)
        velkio_Position_Convert(p, c, 1);
    double norm = 0.0;
    for (int k = 0; k < 3; k++) {
        pt.xyz[k] = c[k];
        norm += pt.xyz[k] * pt.xyz[k];
    }
    norm = sqrt(norm);
    // A position at the origin has no direction, and one with a non-finite
    // coordinate has neither direction nor distance: such positions take
    // no part (their own list is empty and they are nobody's neighbour).
    pt.usable = std::isfinite(norm) && norm > 0.0;
    for (int k = 0; k < 3; k++)
        pt.unit[k] = pt.usable ? pt.xyz[k] / norm : 0.0;
    return pt;
}

double angleBetween(const Point &a, const Point &b)
{
    double dot = 0.0;
    for (int k = 0; k < 3; k++)
        dot += a.unit[k] * b.unit[k];
    return acos(std::clamp(dot, -1.0, 1.0));
}

double distanceBetween(const Point &a, const Point &b)
{
    double sum = 0.0;
    for (int k = 0; k < 3; k++) {
        double d = a.xyz[k] - b.xyz[k];
        sum += d * d;
    }
    return sqrt(sum);
}

struct Candidate {
    double distance;
    int id;
};

// Nearest first; runs of (nearly) equal distances ordered by id.
void orderCandidates(std::vector<Candidate> &c)
{
    std::sort(c.begin(), c.end(), [](const Candidate &a, const Candidate &b) {
        if (a.distance != b.distance)
            return a.distance < b.distance;
        return a.id < b.id;
    });
    size_t start = 0;
    while (start < c.size()) {
        size_t end = start + 1;
        double limit = c[start].distance * (1.0 + TIE_TOLERANCE);
        while (end < c.size() && c[end].distance <= limit)
            end++;
        std::sort(c.begin() + static_cast<long>(start), c.begin() + static_cast<long>(end),
                  [](const Candidate &a, const Candidate &b) { return a.id < b.id; });
        start = end;
    }
}

void freeLists(velkio_NeighborList *lists, int count)
{
    if (lists == nullptr)
        return;
    for (int i = 0; i < count; i++)
        free(lists[i].ids);
    free(lists);
}

// Fills one list for points[self]; 1 when out of memory.
int listFor(const std::vector<Point> &points, size_t self, int maximum,
            double threshold, velkio_NeighborList *out)
{
    const Point &me = points[self];
    out->id = me.id;
    out->count = 0;
    out->ids = nullptr;
    if (!me.usable || maximum <= 0)
        return 0;
    std::vector<Candidate> candidates;
    for (size_t j = 0; j < points.size(); j++) {
        const Point &other = points[j];
        // Another entry with the same id is the same position listed twice;
        // a list never names its own position.
        if (j == self || !other.usable || other.id == me.id)
            continue;
        if (angleBetween(me, other) <= threshold)
            candidates.push_back({distanceBetween(me, other), other.id});
    }
    orderCandidates(candidates);
    size_t n = std::min(candidates.size(), static_cast<size_t>(maximum));
    if (n == 0)
        return 0;
    out->ids = static_cast<int *>(malloc(sizeof(int) * n));
    if (out->ids == nullptr)
        return 1;
    for (size_t k = 0; k < n; k++)
        out->ids[k] = candidates[k].id;
    out->count = static_cast<int>(n);
    return 0;
}

} // namespace

velkio_Neighbors *velkio_Neighbors_new(velkio_Positions *positions)
{
    velkio_Neighbors *n =
        static_cast<velkio_Neighbors *>(calloc(1, sizeof(velkio_Neighbors)));
    if (n == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a neighbour record");
        return nullptr;
    }
    n->positions = positions;
    return n;
}

// Algorithm 1, nearest neighbours.  A negative maximum gives empty lists,
// a threshold below zero (or NaN) too.  Earlier lists are replaced.
int velkio_Neighbors_calcNeighbors(velkio_Neighbors *neighbors, int algorithm,
                                   int maximum, double threshold)
{
    if (neighbors == nullptr || neighbors->positions == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no positions to compute neighbours of");
        return 1;
    }
    if (algorithm != 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "unknown neighbour algorithm [%d]", algorithm);
        return 1;
    }
    const velkio_Positions *positions = neighbors->positions;
    std::vector<Point> points;
    for (int i = 0; i < positions->count; i++) {
        if (positions->list[i] != nullptr)
            points.push_back(pointOf(positions->list[i]));
    }
    velkio_NeighborList *lists = nullptr;
    if (!points.empty()) {
        lists = static_cast<velkio_NeighborList *>(
            calloc(points.size(), sizeof(velkio_NeighborList)));
        if (lists == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate neighbour lists");
            return 1;
        }
    }
    for (size_t i = 0; i < points.size(); i++) {
        if (listFor(points, i, maximum, threshold, &lists[i]) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a neighbour list");
            freeLists(lists, static_cast<int>(points.size()));
            return 1;
        }
    }
    freeLists(neighbors->lists, neighbors->count);
    neighbors->lists = lists;
    neighbors->count = static_cast<int>(points.size());
    return 0;
}

velkio_Neighbors *velkio_Neighbors_copy(const velkio_Neighbors *neighbors)
{
    if (neighbors == nullptr)
        return nullptr;
    velkio_Neighbors *copy = velkio_Neighbors_new(nullptr);
    if (copy == nullptr)
        return nullptr;
    if (neighbors->count <= 0 || neighbors->lists == nullptr)
        return copy;
    copy->lists = static_cast<velkio_NeighborList *>(
        calloc(static_cast<size_t>(neighbors->count), sizeof(velkio_NeighborList)));
    if (copy->lists == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate neighbour lists");
        velkio_Neighbors_delete(&copy);
        return nullptr;
    }
    copy->count = neighbors->count;
    for (int i = 0; i < neighbors->count; i++) {
        const velkio_NeighborList &from = neighbors->lists[i];
        velkio_NeighborList &to = copy->lists[i];
        to.id = from.id;
        if (from.count <= 0 || from.ids == nullptr)
            continue;
        to.ids = static_cast<int *>(malloc(sizeof(int) * static_cast<size_t>(from.count)));
        if (to.ids == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a neighbour list");
            velkio_Neighbors_delete(&copy);
            return nullptr;
        }
        memcpy(to.ids, from.ids, sizeof(int) * static_cast<size_t>(from.count));
        to.count = from.count;
    }
    return copy;
}

void velkio_Neighbors_delete(velkio_Neighbors **neighbors)
{
    if (neighbors == nullptr || *neighbors == nullptr)
        return;
    freeLists((*neighbors)->lists, (*neighbors)->count);
    free(*neighbors);
    *neighbors = nullptr;
}
