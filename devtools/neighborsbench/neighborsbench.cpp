// velkneighborsbench: the neighbour search of the library on a large ball
// of positions (a developer program of the benchmarks, not installed).
// Builds COUNT source positions on spherical shells (radius 1 to 3 m, five
// shells, elevation -78 to 78 degrees in steps of 4, the azimuth step set
// by the count), then times velkio_Neighbors_calcNeighbors (spatial index)
// and, unless --no-pairwise is given, the pairwise search it replaced, on
// the same positions, and checks that both give the same lists.  Prints
// one line: count, maximum, threshold, CPU seconds of each search, ratio.
//
//   velkneighborsbench COUNT [MAXIMUM [THRESHOLD]] [--no-pairwise]
#include "neighbors_pairwise.h"
#include "velkio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

velkio_Positions *ball(int count)
{
    const int shells = 5, rings = 40; // 1, 1.5, ... 3 m; -78 ... 78 degrees
    int perRing = (count + shells * rings - 1) / (shells * rings);
    velkio_Positions *list = velkio_Positions_new("tsp", 0, 0, 0);
    int id = 0;
    for (int s = 0; s < shells && id < count; s++)
        for (int e = 0; e < rings && id < count; e++)
            for (int a = 0; a < perRing && id < count; a++) {
                float polar[3] = {360.0f * (float)a / (float)perRing, -78.0f + 4.0f * (float)e,
                                  1.0f + 0.5f * (float)s};
                velkio_Positions_append(list, velkio_Position_new(id++, 0, polar, nullptr));
            }
    return list;
}

double cpuSeconds()
{
    return (double)clock() / CLOCKS_PER_SEC;
}

bool sameLists(const velkio_Neighbors *a, const velkio_Neighbors *b)
{
    if (a->count != b->count)
        return false;
    for (int i = 0; i < a->count; i++) {
        const velkio_NeighborList &x = a->lists[i], &y = b->lists[i];
        if (x.id != y.id || x.count != y.count ||
            (x.count > 0 && memcmp(x.ids, y.ids, sizeof(int) * (size_t)x.count) != 0))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool pairwise = true;
    int positional = 0;
    const char *args[3] = {nullptr, "3", "0.5"};
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--no-pairwise") == 0)
            pairwise = false;
        else if (positional < 3)
            args[positional++] = argv[i];
    }
    if (args[0] == nullptr) {
        fprintf(stderr, "usage: velkneighborsbench COUNT [MAXIMUM [THRESHOLD]] [--no-pairwise]\n");
        return 1;
    }
    int count = atoi(args[0]), maximum = atoi(args[1]);
    double threshold = atof(args[2]);
    velkio_Positions *list = ball(count);
    velkio_Neighbors *indexed = velkio_Neighbors_new(list);
    double t0 = cpuSeconds();
    int rc = velkio_Neighbors_calcNeighbors(indexed, 1, maximum, threshold);
    double indexSeconds = cpuSeconds() - t0;
    double pairSeconds = 0.0;
    bool same = true;
    if (rc == 0 && pairwise) {
        velkio_Neighbors *reference = velkio_Neighbors_new(list);
        t0 = cpuSeconds();
        rc = velkio_Neighbors_calcNeighborsPairwise(reference, 1, maximum, threshold);
        pairSeconds = cpuSeconds() - t0;
        same = sameLists(indexed, reference);
        velkio_Neighbors_delete(&reference);
    }
    if (pairwise)
        printf("%d positions, maximum %d, threshold %g: index %.3f s, pairwise %.3f s, "
               "ratio %.1f, lists %s\n",
               count, maximum, threshold, indexSeconds, pairSeconds,
               pairSeconds / (indexSeconds > 0 ? indexSeconds : 1e-9), same ? "identical" : "DIFFER");
    else
        printf("%d positions, maximum %d, threshold %g: index %.3f s\n", count, maximum,
               threshold, indexSeconds);
    velkio_Neighbors_delete(&indexed);
    velkio_Positions_delete(&list);
    return rc == 0 && same ? 0 : 1;
}
