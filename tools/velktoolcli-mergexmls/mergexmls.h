/*
 * velktoolcli-mergexmls: joins the positions, configuration and neighbour
 * sections of several velk_xml documents into one document.
 */
#ifndef VELK_MERGEXMLS_H
#define VELK_MERGEXMLS_H

#include "options.h"
#include "velkio.h"

/* Copies the sections that `input` has into `merged`, in the order
 * positions, config, neighbors.  A section that `merged` already holds is
 * a duplicate: without `last` it is reported ("<positions> Node
 * duplicated!!" and the like) and 1 is returned at the first one; with
 * `last` the input's copy replaces it.  Returns 0 on success. */
int mergexmls_addDocument(velkio_XML *merged, const velkio_XML *input,
                          int last);

/* Writes the document to the file `path`, or to standard output when
 * `path` is null.  Returns 0, or 1 with a level-0 message; a file that
 * could not be written completely is removed. */
int mergexmls_writeDocument(const velkio_XML *doc, const char *path);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program mergexmls_commandLine;
int mergexmls_main(int argc, const char **argv);

#endif /* VELK_MERGEXMLS_H */
