/*
 * velktoolcli-genconfig: the configuration document (a velk_xml document
 * holding a config tag) built from command-line options.
 */
#ifndef VELK_GENCONFIG_H
#define VELK_GENCONFIG_H

#include <popt.h>

#include "options.h"

/* The option values, with the defaults of the program. */
struct GenConfigValues {
    const char *comment;
    int syncAverage;
    int tspOffset;
    int peakSearchFrom;
    int peakSearchTo;
    int nfft;
    const char *tspPath;
    int samplingRate;
    int signalMax;
    int tspLength;
};

void initGenConfigValues(GenConfigValues *values);

/* Reads "FROM,TO" (commas separate, runs of commas count as one, tokens
 * after the second are ignored); each bound a whole decimal number in
 * 0 .. 2147483647.  Returns 0 and sets both bounds, or 1 and leaves them. */
int parsePeakRange(const char *text, int *from, int *to);

/* Prints the usage and exits with `status`, unless an option has already
 * been parsed (then it returns at once). */
void help(poptContext ctx, int status);

/* The whole program; returns the exit status. */
int velktoolcli_genconfig(int argc, char **argv);

/* The command line of the program (its option table). */
extern const velkopt_Program genconfig_commandLine;

#endif /* VELK_GENCONFIG_H */
