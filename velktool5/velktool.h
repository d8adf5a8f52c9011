/*
 * velktool5: generation of transfer functions.  The run state `g`, the
 * single exit path, the numeric arrays of the run and the subcommand entry
 * points.
 *
 * Every array hangs on `g` from its allocation until velktool_Exit releases
 * it.  Two- and three-dimensional arrays are one contiguous zero-filled data
 * block plus blocks of row pointers: a[i][j][k] is element
 * (i * d2 + j) * d3 + k of the block a[0][0], and a[i][j] is element
 * i * d2 + j of the row-pointer block a[0].
 */
#ifndef VELKTOOL5_VELKTOOL_H
#define VELKTOOL5_VELKTOOL_H

#include <complex>

#include "options.h"
#include "velkio.h"

typedef std::complex<float> velktool_ComplexFloat;
typedef std::complex<double> velktool_ComplexDouble;

/* Output type of the transfer-function subcommands. */
enum { LOC = 0, SEP = 1, LOC_SEP = 2 };

/* Kinds of run-state arrays for velktool_new / velktool_delete. */
enum {
    VELKTOOL_TFVECT = 0,
    VELKTOOL_EXTRATFVECT = 1,
    VELKTOOL_TMPTFVECT = 2,
    VELKTOOL_IRVECT = 3,     /* IRvectLoc and IRvectSep */
    VELKTOOL_TMPIRVECT = 4,
    VELKTOOL_WAVDATA = 5,
    VELKTOOL_MICPOS = 6,
    VELKTOOL_SRCPOS = 7,
    VELKTOOL_TMPSRCDIR = 8,
    VELKTOOL_SRCBASENAME = 9,
    VELKTOOL_POSID = 12,     /* micPosId and srcPosId */
    VELKTOOL_FFTBUF = 15     /* fftIn and fftOut */
};

/* Length of one path in tmpSrcDir, srcBaseName and tmpFltPath. */
enum { VELKTOOL_PATH_LEN = 4096 };

/* Everything of one run. */
struct velktool_RunState {
    int nSrc;            /* source positions */
    int nMic;            /* microphone channels in use */
    int nfft;            /* FFT length = impulse-response length */
    int inputMode;       /* 2 calctfimp, 1 calctfgeo/calctfmouth/calctfrec */
    int syncAverage;
    int tspOffset;
    int peakSearchFrom;  /* counted from 1 */
    int peakSearchTo;    /* counted from 1, exclusive */
    int samplingRate;    /* Hz */
    int signalMax;
    int tspLength;       /* samples */
    const char *tspPath; /* owned by the configuration document */
    velktool_ComplexFloat ***TFvect;      /* [nSrc][nMic][nfft/2+1] */
    velktool_ComplexFloat ***extraTFvect; /* [nSrc][nMic][nfft/2+1] */
    velktool_ComplexFloat ***tmpTFvect;   /* [nSrc][nMic][nfft/2+1] */
    int nTFvect;                          /* nSrc * nMic * (nfft/2+1) */
    velktool_ComplexFloat *fftIn;         /* [nfft] */
    velktool_ComplexFloat *fftOut;        /* [nfft] */
    float ***IRvectLoc;                   /* [nSrc][nMic][nfft] */
    float ***IRvectSep;                   /* [nSrc][nMic][nfft] */
    float ***tmpIRvect;                   /* [nSrc][nMic][nfft] */
    int nIRvect;                          /* nSrc * nMic * nfft */
    float **micPos;                       /* [nMic][3] */
    float **srcPos;                       /* [nSrc][3] */
    velkio_Matrix **loctf;                /* nSrc localization matrices */
    velkio_Matrix **septf;                /* nSrc separation matrices */
    velkio_TransferFunction *tf;
    velkio_XML *micXml;
    velkio_XML *srcXml;
    velkio_XML *auxXml;
    int *micPosId;                        /* [nMic] channel numbers */
    int *srcPosId;                        /* [nSrc] position ids */
    char tmpStamp[128];
    char tmpTspDir[128];
    char tmpImpDir[128];
    char tmpTfDir[128];
    char **tmpSrcDir;                     /* [nSrc][4096] */
    char **srcBaseName;                   /* [nSrc][4096] */
    char tmpFltPath[VELKTOOL_PATH_LEN];
    float **wavData;                      /* [nMic][frames] */
    char *info;                           /* report text, null while empty */
};

extern velktool_RunState g;

/* Logs "velktool abnormal end" (flag != 0, level 0) or "velktool normal
 * end" (level 2), releases the run state and ends the process with status
 * 1 or 0. */
[[noreturn]] void velktool_Exit(int flag);

/* General help of the program, to standard output. */
void help(void);

/* Subcommand front ends: (argc, argv) as main received them; the status
 * for main to exit with. */
int velktoolcli_calctfimp(int argc, char **argv);
int velktoolcli_calctfrec(int argc, char **argv);
int velktoolcli_calctfgeo(int argc, char **argv);
int velktoolcli_calctfmouth(int argc, char **argv);
int velktoolcli_calcsysimp(int argc, char **argv);

/* Array family.  New arrays never come back null: out of memory (or a size
 * that does not fit in memory) logs "can not allocated memory" under the
 * routine's name and ends the run through velktool_Exit(1).  Counts below
 * 0 are taken as 0.  The release routines accept null and leave the
 * caller's pointer as it is. */
char **velktool_newCharTwoDim(int rows, int cols);
float **velktool_newFloatTwoDim(int rows, int cols);
velktool_ComplexDouble **velktool_newComplexDoubleTwoDim(int rows, int cols);
float ***velktool_newFloatThreeDim(int d1, int d2, int d3);
velktool_ComplexFloat ***velktool_newComplexFloatThreeDim(int d1, int d2,
                                                          int d3);
int *velktool_newIntOneDim(int n);
velktool_ComplexFloat *velktool_newComplexFloatOneDim(int n);

void velktool_freeCharTwoDim(char **a);
void velktool_freeFloatTwoDim(float **a);
void velktool_freeComplexDoubleTwoDim(velktool_ComplexDouble **a);
void velktool_freeFloatThreeDim(float ***a);
void velktool_freeComplexFloatThreeDim(velktool_ComplexFloat ***a);
void velktool_freeIntOneDim(int *v);
void velktool_freeComplexFloatOneDim(velktool_ComplexFloat *v);

/* Run-state arrays by kind (VELKTOOL_*), shaped from the counts in g at the
 * time of the call; velktool_new releases an array the field still held.
 * velktool_delete releases and nulls the fields (kinds 1 and 7 are kept
 * until velktool_freeMemory).  Other kinds do nothing. */
void velktool_new(int kind);
void velktool_delete(int kind);
/* Zero-fills tmpTFvect (kind 2) or tmpIRvect (kind 4). */
void velktool_initArray(int kind);
/* Releases every array, document, the transfer-function object and the
 * report text of g. */
void velktool_freeMemory(void);

/* Transforms irs[s][c] (nfft samples) of every source s and microphone c
 * into TFvect[s][c] (bins 0 .. nfft/2); fftOut is the work buffer. */
void velktool_FFT(float ***irs);

#endif /* VELKTOOL5_VELKTOOL_H */
