/*
 * The command skeleton of the transfer-function subcommands (calctfimp,
 * calctfrec, calctfgeo, calctfmouth).  Each subcommand is described once
 * (velktool_TfCommand): its name, its list option, its help and its own
 * checks and work routine.  One front end parses the command line through
 * the shared option parser and one preamble reads and checks the inputs,
 * makes the run's arrays and its temporary tree before the work routine
 * runs.
 */
#ifndef VELKTOOL5_TFCOMMAND_H
#define VELKTOOL5_TFCOMMAND_H

#include "tfinput.h"
#include "velktool.h"

/* The options shared by the transfer-function subcommands, with their
 * defaults; `sourceList` is --impulse-list or --tsp-list. */
struct velktool_TfOptions {
    char *sourceList = nullptr;
    char *micList = nullptr;
    char *outputType = const_cast<char *>("LOC_SEP");
    char *outputFile = nullptr;
    int directLength = 32;
    int reverbLength = 256;
    int normalizeSrc = 0;
    int normalizeMic = 0;
    int normalizeFreq = 0;
    const char *logLevel = "E";
    int tfType = LOC_SEP;
    char resetMic = 0;
};

/* What a work routine is handed once the preamble has run: the options,
 * the channels in use (VELKTOOL_MAX_CHANNELS flags) and nSrc zero-filled
 * cut ranges indexed like srcPosId. */
struct velktool_TfRun {
    const velktool_TfOptions &o;
    const char *used;
    velktool_CutRangePair *ranges;
};

/* The bit of a run-state array kind (VELKTOOL_*) in velktool_TfCommand's
 * `arrays`. */
#define VELKTOOL_ARRAY(kind) (1u << (kind))
/* The arrays of a run that transforms each source as it goes: the FFT
 * buffers, the position and id tables and the temporary tree's
 * directories. */
#define VELKTOOL_SOURCE_RUN_ARRAYS                                             \
    (VELKTOOL_ARRAY(VELKTOOL_FFTBUF) | VELKTOOL_ARRAY(VELKTOOL_MICPOS) |       \
     VELKTOOL_ARRAY(VELKTOOL_SRCPOS) | VELKTOOL_ARRAY(VELKTOOL_POSID) |        \
     VELKTOOL_ARRAY(VELKTOOL_TMPSRCDIR))
/* ... of a run that holds every transfer function (TFvect) at once. */
#define VELKTOOL_TF_RUN_ARRAYS                                                 \
    (VELKTOOL_SOURCE_RUN_ARRAYS | VELKTOOL_ARRAY(VELKTOOL_TFVECT) |            \
     VELKTOOL_ARRAY(VELKTOOL_TMPTFVECT) | VELKTOOL_ARRAY(VELKTOOL_SRCBASENAME))
/* ... of a run that also holds every impulse response (IRvect) at once. */
#define VELKTOOL_IR_RUN_ARRAYS                                                 \
    (VELKTOOL_TF_RUN_ARRAYS | VELKTOOL_ARRAY(VELKTOOL_IRVECT) |                 \
     VELKTOOL_ARRAY(VELKTOOL_TMPIRVECT))

/* One transfer-function subcommand. */
struct velktool_TfCommand {
    const char *name = nullptr;        /* "calctfimp" */
    const char *listOption = nullptr;  /* "impulse-list" or "tsp-list" */
    const char *listHelp = nullptr;    /* its help text */
    const char *description = nullptr; /* the help screen's description lines */
    const char *startName = nullptr;   /* the work's name in the "@ %s start" line */
    const char *endName = nullptr;     /* ... and in the "@ %s normal end" line */
    int inputMode = 1;                 /* g.inputMode of the run */
    bool windows = false;     /* --reverb-length; the window lengths are checked */
    bool lateTmpPath = false; /* the work routine makes the temporary tree itself */
    unsigned arrays = 0;      /* VELKTOOL_ARRAY bits of the arrays made before the work */
    /* Options of the subcommand's own, listed after the shared ones
     * (ended by POPT_TABLEEND; null for none), and their checks (as a
     * velkopt_HandlerFn; null for none). */
    const struct poptOption *ownOptions = nullptr;
    int (*checkOwnOption)(poptContext ctx, int rc) = nullptr;
    /* Checks after the configuration was read, before the common ones;
     * null for none. */
    int (*checkConfig)(const velktool_TfOptions &o) = nullptr;
    /* Checks of the files the run reads, after the common ones (and the
     * window lengths); null for none. */
    int (*checkFiles)(const velktool_TfOptions &o, const char *used) = nullptr;
    /* The work: 0, or 1 after a level-0 message. */
    int (*work)(const velktool_TfRun &run) = nullptr;
};

/* The front end of a transfer-function subcommand: (argc, argv) as main
 * received them.  Returns 1 after an option error or a missing mandatory
 * option; otherwise the run ends the process through velktool_Exit. */
int velktool_runTfCommand(const velktool_TfCommand &command, int argc, char **argv);

/* The window lengths of the report text ("Direct sound Length",
 * "Reverb sound Length") for the output types with localization. */
void velktool_reportWindowLengths(const velktool_TfOptions &o);

#endif /* VELKTOOL5_TFCOMMAND_H */
