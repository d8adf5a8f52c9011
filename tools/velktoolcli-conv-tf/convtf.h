/*
 * velktoolcli-conv-tf: converts transfer functions stored in the binary
 * files of the previous library generation (one for localization, one for
 * separation, or both) into one transfer-function archive.
 */
#ifndef VELK_CONVTF_H
#define VELK_CONVTF_H

#include <popt.h>

#include "options.h"
#include "velkio.h"

/* The whole program on its command line: returns the exit status (0 or
 * 1).  The help screen ends the process itself. */
int convtf_main(int argc, const char **argv);

/* Chooses the output archive: exactly one of the first positional
 * argument of `ctx` and the --output value `option`.  0 with *path set,
 * or 1 with a level-0 message. */
int convtf_outputPath(poptContext ctx, const char *option, const char **path);

/* Writes the record as an archive labelled "transfer function" and
 * reports success on standard error.  0, or 1 with a level-0 message
 * when the archive could not be written (nothing is left at `path` then,
 * or the file that was there stays as it was). */
int convtf_writeArchive(const velkio_TransferFunction *tf, const char *path);

/* The command line of the program (its option table). */
extern const velkopt_Program convtf_commandLine;

#endif /* VELK_CONVTF_H */
