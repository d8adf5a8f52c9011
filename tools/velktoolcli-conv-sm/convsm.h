/*
 * velktoolcli-conv-sm: converts a separation matrix stored in the binary
 * format of the previous library generation, together with the
 * transfer-function archive it belongs to, into an archive labelled
 * "separation matrix".
 */
#ifndef VELK_CONVSM_H
#define VELK_CONVSM_H

#include "options.h"
#include "velkio.h"

/* The whole program on its command line: returns the exit status (0 or
 * 1).  The help screen ends the process itself. */
int convsm_main(int argc, const char **argv);

/* Writes the record as an archive labelled "separation matrix" and
 * reports success on standard error.  0, or 1 with a level-0 message
 * when the archive could not be written (nothing is left at `path` then,
 * or the file that was there stays as it was). */
int convsm_writeArchive(const velkio_TransferFunction *tf, const char *path);

/* The command line of the program (its option table). */
extern const velkopt_Program convsm_commandLine;

#endif /* VELK_CONVSM_H */
