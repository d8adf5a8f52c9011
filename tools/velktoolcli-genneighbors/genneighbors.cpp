// Neighbour lists of a position document (see genneighbors.h).
#include "genneighbors.h"

#include <cstdio>

#include "docout.h"

int genneighbors_addNeighbors(velkio_XML *doc, int algorithm, int numMax,
                              float threshold)
{
    velkio_Neighbors *neighbors = velkio_Neighbors_new(doc->poses);
    if (neighbors == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Neighbors_new error");
        return 1;
    }
    int result = 0;
    if (algorithm == GENNEIGHBORS_NEAREST) {
        if (velkio_Neighbors_calcNeighbors(neighbors, GENNEIGHBORS_NEAREST,
                                           numMax, (double)threshold) == 1) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Neighbors_calcNeighbors error");
            result = 1;
        }
    } else {
        VELKIO_LOG(VELKIO_LOG_ERROR, "unknown algorithm [%d]", algorithm);
        result = 1;
    }
    if (result != 0) {
        velkio_Neighbors_delete(&neighbors);
        return result;
    }
    velkio_Neighbors_delete(&doc->nbrs);
    doc->nbrs = neighbors;
    return 0;
}

int genneighbors_writeDocument(const velkio_XML *doc, const char *path)
{
    return velk_writeDocument(doc, path, nullptr);
}
