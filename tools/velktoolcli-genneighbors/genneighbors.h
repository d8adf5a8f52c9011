/*
 * velktoolcli-genneighbors: adds the neighbour lists of a position document
 * and writes the document out again.
 */
#ifndef VELK_GENNEIGHBORS_H
#define VELK_GENNEIGHBORS_H

#include "options.h"
#include "velkio.h"

/* The only neighbour algorithm: nearest neighbours. */
enum { GENNEIGHBORS_NEAREST = 1 };

/* Computes the neighbour lists of the document's positions with the given
 * algorithm and its two parameters, and stores them as the document's
 * neighbours (replacing any it had).  Returns 0, or 1 with a level-0
 * message (unknown algorithm, failed computation); the document is left
 * unchanged on failure. */
int genneighbors_addNeighbors(velkio_XML *doc, int algorithm, int numMax,
                              float threshold);

/* Writes the document to the file `path`, or to standard output when
 * `path` is null.  Returns 0, or 1 with a level-0 message; a file that
 * could not be written completely is removed. */
int genneighbors_writeDocument(const velkio_XML *doc, const char *path);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program genneighbors_commandLine;
int genneighbors_main(int argc, const char **argv);

#endif /* VELK_GENNEIGHBORS_H */
