// Neighbour lists of a position list: for every position, the nearest
// other positions in about the same direction seen from the origin.
#include "velkio.h"
#include "neighbors_pairwise.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <queue>
#include <utility>
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

// The candidates of points[self] found by comparing it with every other
// point: the reference the spatial index below must agree with.
std::vector<Candidate> pairwiseCandidates(const std::vector<Point> &points, size_t self,
                                          double threshold)
{
    const Point &me = points[self];
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
    return candidates;
}

// A k-d tree over the usable points.  A search visits the boxes of the
// tree nearest first and skips those that lie wholly outside the cone of
// directions within the threshold; it stops once every box left is
// farther than the tie run of the maximum-th nearest candidate, so the
// candidates it returns order (orderCandidates) into the same first
// `maximum` as the pairwise search's.
class PointIndex {
public:
    explicit PointIndex(const std::vector<Point> &points) : points_(points)
    {
        for (size_t i = 0; i < points.size(); i++)
            if (points[i].usable)
                order_.push_back(static_cast<int>(i));
        if (!order_.empty())
            build(0, order_.size());
    }

    std::vector<Candidate> candidates(size_t self, size_t maximum, double threshold) const;

private:
    static constexpr size_t LEAF_SIZE = 8;
    // Directions computed for the points differ from exact ones by far
    // less than this (radians); boxes are skipped only beyond it.
    static constexpr double ANGLE_MARGIN = 1e-6;

    struct Node {
        double lo[3], hi[3];    // bounding box of the node's points
        double axis[3];         // their mean direction (unit, or 0)
        double spread;          // largest angle of a point's direction to it
        double cosSpread, sinSpread;
        size_t begin, end;      // the points order_[begin, end)
        size_t left, right;     // children; 0 for a leaf
    };

    size_t build(size_t begin, size_t end);
    void setCone(Node *n) const;
    double boxDistance(const Node &n, const Point &q) const;
    bool outsideCone(const Node &n, const Point &q, double cone, double cosCone,
                     double sinCone) const;

    const std::vector<Point> &points_;
    std::vector<int> order_;
    std::vector<Node> nodes_;
};

size_t PointIndex::build(size_t begin, size_t end)
{
    Node n{};
    n.begin = begin;
    n.end = end;
    for (int k = 0; k < 3; k++) {
        n.lo[k] = n.hi[k] = points_[order_[begin]].xyz[k];
        for (size_t i = begin + 1; i < end; i++) {
            n.lo[k] = std::min(n.lo[k], points_[order_[i]].xyz[k]);
            n.hi[k] = std::max(n.hi[k], points_[order_[i]].xyz[k]);
        }
    }
    setCone(&n);
    size_t at = nodes_.size();
    nodes_.push_back(n);
    if (end - begin <= LEAF_SIZE)
        return at;
    // Split at the median of the widest extent.
    int axis = 0;
    for (int k = 1; k < 3; k++)
        if (n.hi[k] - n.lo[k] > n.hi[axis] - n.lo[axis])
            axis = k;
    size_t middle = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + static_cast<long>(begin),
                     order_.begin() + static_cast<long>(middle),
                     order_.begin() + static_cast<long>(end), [&](int a, int b) {
                         return points_[a].xyz[axis] < points_[b].xyz[axis];
                     });
    size_t left = build(begin, middle);
    size_t right = build(middle, end);
    nodes_[at].left = left;
    nodes_[at].right = right;
    return at;
}

// The distance from q to the box, formed like distanceBetween so that it
// is never above the distance of a point inside (rounding is monotonic).
double PointIndex::boxDistance(const Node &n, const Point &q) const
{
    double sum = 0.0;
    for (int k = 0; k < 3; k++) {
        double d = 0.0;
        if (q.xyz[k] < n.lo[k])
            d = q.xyz[k] - n.lo[k];
        else if (q.xyz[k] > n.hi[k])
            d = q.xyz[k] - n.hi[k];
        sum += d * d;
    }
    return sqrt(sum);
}

// The cone around the node's mean direction that holds the directions of
// all its points (widened by ANGLE_MARGIN); a spread of pi when there is
// no mean direction.
void PointIndex::setCone(Node *n) const
{
    double sum[3] = {0.0, 0.0, 0.0};
    for (size_t i = n->begin; i < n->end; i++)
        for (int k = 0; k < 3; k++)
            sum[k] += points_[order_[i]].unit[k];
    double norm = sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    n->spread = M_PI;
    // Directions that (nearly) cancel out have no useful axis.
    if (norm > 1e-9 * static_cast<double>(n->end - n->begin)) {
        for (int k = 0; k < 3; k++)
            n->axis[k] = sum[k] / norm;
        double spread = 0.0;
        for (size_t i = n->begin; i < n->end; i++) {
            const double *u = points_[order_[i]].unit;
            double dot = n->axis[0] * u[0] + n->axis[1] * u[1] + n->axis[2] * u[2];
            spread = std::max(spread, acos(std::clamp(dot, -1.0, 1.0)));
        }
        n->spread = std::min(M_PI, spread + ANGLE_MARGIN);
    }
    n->cosSpread = cos(n->spread);
    n->sinSpread = sin(n->spread);
}

// True when no direction of a point of the node is within `cone` (the
// threshold widened by ANGLE_MARGIN) of q's: the angle from q to the
// node's axis exceeds cone plus the node's spread.
bool PointIndex::outsideCone(const Node &n, const Point &q, double cone, double cosCone,
                             double sinCone) const
{
    if (cone + n.spread >= M_PI)
        return false;
    // cos(cone + spread), compared with the cosine of the angle to the axis.
    double limit = cosCone * n.cosSpread - sinCone * n.sinSpread;
    const double *u = q.unit;
    return u[0] * n.axis[0] + u[1] * n.axis[1] + u[2] * n.axis[2] < limit;
}

std::vector<Candidate> PointIndex::candidates(size_t self, size_t maximum,
                                              double threshold) const
{
    const Point &me = points_[self];
    std::vector<Candidate> found;
    if (nodes_.empty())
        return found;
    const double cone = threshold + ANGLE_MARGIN;
    const double cosCone = cos(cone), sinCone = sin(cone);
    // With room for every point nothing can be left out, and the nodes are
    // taken in any order; otherwise nearest box first.
    const bool bounded = maximum < order_.size();
    using Entry = std::pair<double, size_t>; // box distance, node
    auto fartherBox = [](const Entry &a, const Entry &b) { return a.first > b.first; };
    std::vector<Entry> pending = {{0.0, 0}};
    // Boxes farther than `reach` cannot change the first `maximum`: the
    // maximum-th nearest distance found (the top of `nearest`, which holds
    // the `maximum` nearest), widened by the tie tolerance.
    double reach = HUGE_VAL;
    std::priority_queue<double> nearest;
    while (!pending.empty()) {
        if (bounded)
            std::pop_heap(pending.begin(), pending.end(), fartherBox);
        auto [distance, at] = pending.back();
        pending.pop_back();
        // A box's distance is never above those of its points; the factor
        // only guards that against any rounding difference.
        if (distance * (1.0 - 1e-12) > reach)
            break;
        const Node &n = nodes_[at];
        if (outsideCone(n, me, cone, cosCone, sinCone))
            continue;
        if (n.left != 0) {
            for (size_t child : {n.left, n.right}) {
                pending.push_back({bounded ? boxDistance(nodes_[child], me) : 0.0, child});
                if (bounded)
                    std::push_heap(pending.begin(), pending.end(), fartherBox);
            }
            continue;
        }
        for (size_t i = n.begin; i < n.end; i++) {
            size_t j = static_cast<size_t>(order_[i]);
            const Point &other = points_[j];
            if (j == self || other.id == me.id || !(angleBetween(me, other) <= threshold))
                continue;
            double d = distanceBetween(me, other);
            found.push_back({d, other.id});
            if (!bounded)
                continue;
            nearest.push(d);
            if (nearest.size() > maximum)
                nearest.pop();
            if (nearest.size() == maximum)
                reach = nearest.top() * (1.0 + TIE_TOLERANCE);
        }
    }
    return found;
}

// Stores the first `maximum` of the ordered candidates as the list of
// points[self]; 1 when out of memory.
int storeList(const Point &me, std::vector<Candidate> &candidates, int maximum,
              velkio_NeighborList *out)
{
    out->id = me.id;
    out->count = 0;
    out->ids = nullptr;
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

// Both searches: the lists of every position, through the index or by
// comparing every pair.
int calcLists(velkio_Neighbors *neighbors, int algorithm, int maximum, double threshold,
              bool pairwise)
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
    // Angles lie in [0, pi]: a threshold below 0 (or NaN) admits nothing,
    // and so does a maximum of 0 or below.
    const bool none = maximum <= 0 || !(threshold >= 0.0);
    std::optional<PointIndex> index;
    if (!none && !pairwise)
        index.emplace(points);
    for (size_t i = 0; i < points.size(); i++) {
        std::vector<Candidate> candidates;
        if (!none && points[i].usable)
            candidates = pairwise ? pairwiseCandidates(points, i, threshold)
                                  : index->candidates(i, static_cast<size_t>(maximum), threshold);
        if (storeList(points[i], candidates, maximum, &lists[i]) != 0) {
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
    return calcLists(neighbors, algorithm, maximum, threshold, false);
}

int velkio_Neighbors_calcNeighborsPairwise(velkio_Neighbors *neighbors, int algorithm,
                                           int maximum, double threshold)
{
    return calcLists(neighbors, algorithm, maximum, threshold, true);
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
