// Neighbour lists of a position document (see genneighbors.h).
#include "genneighbors.h"

#include <cstdio>

#include <sys/stat.h>

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
    if (path == nullptr) {
        if (velkio_XML_write(doc, stdout) != 0 || fflush(stdout) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "write error on standard output");
            return 1;
        }
        return 0;
    }
    FILE *file = fopen(path, "w");
    if (file == nullptr) {
        velkio_Log_FileOpenFailed(path);
        return 1;
    }
    struct stat status;
    bool regular = fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
    int failed = velkio_XML_write(doc, file) != 0;
    failed |= fclose(file) != 0;
    if (failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "write error [%s]", path);
        // A partial document must not stay behind; devices and pipes are
        // left alone.
        if (regular)
            remove(path);
        return 1;
    }
    return 0;
}
