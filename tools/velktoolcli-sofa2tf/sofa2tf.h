/*
 * velktoolcli-sofa2tf: a transfer-function archive from a SOFA file.
 * Impulse responses (DataType FIR) are cut and transformed as velktool5
 * calctfimp cuts and transforms measured ones; transfer functions
 * (GeneralTF) are taken as they are.
 */
#ifndef VELK_SOFA2TF_H
#define VELK_SOFA2TF_H

#include "options.h"
#include "sofaread.h"

struct sofa2tf_Options {
    int directLength = 32;
    int reverbLength = 256;
    int nfft = 512;
    bool nfftGiven = false;
    int tfType = 2; /* LOC_SEP */
};

/* Converts the SOFA file at `input` into the archive `output`.  0, or 1
 * with a level-0 message; no archive is written then. */
int sofa2tf_convert(const char *input, const char *output, const sofa2tf_Options &o);

/* The whole program on its command line; the exit status (0 or 1). */
int sofa2tf_main(int argc, const char **argv);

/* The command line of the program (its option table). */
extern const velkopt_Program sofa2tf_commandLine;

#endif /* VELK_SOFA2TF_H */
