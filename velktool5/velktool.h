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
#include <cstdio>

#include <fcntl.h>
#include <sndfile.h>

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
    /* Transfer functions made one source at a time while the archive is
     * written, instead of held in loctf / septf; null when those hold
     * them.  Sets values[j * (nfft/2+1) + k], every row j < nMic and bin
     * k <= nfft/2, of source s (srcPosId order) for kind LOC or SEP. */
    void (*sourceTF)(int kind, int s, velkio_Complex *values);
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
/* Bins 0 .. nfft/2 of a pure delay of `delay` samples (calctfgeo):
 * bins[k] = e^(i phase), phase = -(k * (delay * 2 pi)) / nfft in double
 * precision rounded to float, to single-precision rounding. */
void velktool_delayTF(float delay, int nfft, velktool_ComplexFloat *bins);
/* Nonzero: velktool_delayTF runs its baseline vector kernels even where the
 * processor has AVX (the values are the same; for tests and benchmarks). */
void velktool_delayTFUseBaseline(int on);
/* The command line of calcsysimp (its option table). */
extern const velkopt_Program calcsysimp_commandLine;
/* Value parsers of calcsysimp.  --searchoffset "START,END": 0 on success
 * with 0 <= START <= END, else 1 and nothing set.  --outchannellist:
 * channels 0 .. 63 separated by commas or spaces; 0 on success with the
 * 64 flags replaced, else 1 and the flags untouched. */
int velktool_parseSearchOffset(const char *textValue, int *from, int *to);
int velktool_parseChannelList(const char *textValue, char *flags);

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
/* Bins 0 .. nfft/2 of the transform of `in` (nfft samples) into bins. */
void velktool_FFTBins(const float *in, velktool_ComplexFloat *bins);

/* ------------------------------------------------------------------ */
/* Impulse-response files (irfiles.cpp)                                */
/* ------------------------------------------------------------------ */

/* Number of channel flags of a channel-use table: channels 0 .. 63. */
enum { VELKTOOL_MAX_CHANNELS = 64 };

/* The raw float and WAV readers below open regular files only
 * (velkio_File_openRegular): a FIFO, device or directory is refused at
 * level 0 as "[path] is not a regular file" without waiting on it, and the
 * reader then fails as for a file that cannot be opened. */

/* Size of a raw float file in bytes; -1 for a null path or a file that
 * cannot be opened. */
long long get_flt_size(const char *path);
/* Reads byteSize/4 little-endian floats into values (as doubles) and sets
 * *absMax to the largest absolute sample (0 for none).  0 on success; -1
 * for a null argument, a byte size that is not a multiple of 4, a file that
 * cannot be opened or holds fewer samples. */
int read_flt(const char *path, double *values, long long byteSize,
             double *absMax);
/* Writes count samples as 32-bit floats; 0 on success, -1 on failure. */
int write_flt(const char *path, const double *values, long long count);
/* Where raw float files go: files named "<path>..." (path plus a suffix
 * such as "_ch0.flt").  dir AT_FDCWD: at that path, through velkio_Output
 * (an existing file is replaced only by a complete one).  Otherwise dir is
 * the open directory of the run's temporary tree in which path ends, and
 * each file is created there as a new one under its last path component:
 * exclusively, mode 0644, never through a symbolic link, so that nothing
 * but this run's own files is ever written there. */
struct velktool_FltOutput {
    const char *path;
    int dir;
};
/* Writes count samples as 32-bit floats into the file `name` (output.path
 * plus its suffix) as output says; 0 on success, -1 (errno set) when the
 * file cannot be created, exists already where it must be new, or a write
 * fails. */
int velktool_writeFlt(velktool_FltOutput output, const char *name,
                      const double *values, long long count);
int velktool_writeFlt(velktool_FltOutput output, const char *name,
                      const float *values, long long count);
/* Reads byteSize/4 floats of a raw float file into values; ends the run
 * ("can not open file [%s]", "fread error") on failure. */
void velktool_SetFloatArray(float *values, long long byteSize,
                            const char *path);
/* *size = size of the file in bytes; ends the run when it cannot be
 * opened. */
void velktool_getFileSize(const char *path, long long *size);

/* Reads `frames` frames of an open sound file into a new array
 * *data[channels][frames] of doubles (one contiguous block, release with
 * velktool_freeWaveData).  Returns 1; -1 when memory runs out or the file
 * holds fewer frames ("cannot read frame=%d" on standard output), and then
 * *data is null. */
int readwave(SNDFILE *file, const SF_INFO *info, long long frames,
             double ***data);
/* Opens path, reads all its frames with readwave and fills the outs.
 * -1 when the file cannot be opened, else readwave's result. */
int readwavfile(const char *path, double ***data, int *frames, int *channels,
                int *samplingRate);
/* Releases an array made by readwave (null is fine). */
void velktool_freeWaveData(double **data);
/* Writes data[channels][frames] (on the 16-bit integer scale, truncated
 * toward zero, clipped to the 16-bit range) as interleaved 16-bit samples.
 * 1 on success, -1 on a short write or when memory runs out. */
int writewave(SNDFILE *file, const SF_INFO *info, long long frames,
              double **data);
/* 16-bit PCM WAV file from data[channels][frames]; 1 on success, -1 when
 * the file cannot be created or written. */
int writewavfile(const char *path, double **data, int frames, int channels,
                 int samplingRate);

/* Time stamp "%4d%02d%02d%02d%02d%02d" of now (buf: at least 15 bytes). */
void velktool_getLocaltime(char *buf);
/* 0 when path is an existing directory, else 1. */
int velktool_CheckDir(const char *path);
/* mkdir with mode 0755: 0 on success, 1 on failure. */
int velktool_createDir(const char *path);
/* ".velktool-temp" (made when missing) and this run's directory tree
 * (tmpTspDir, tmpImpDir, tmpTfDir of g); ends the run when they cannot be
 * made.  ".velktool-temp" must be a directory (not a symbolic link) of the
 * user running the program that group and others cannot write to.  Each
 * run works in a directory it made itself: the time stamp of now
 * (g.tmpStamp), retried each second while another run holds it, and after
 * six attempts the stamp with the first free suffix _1, _2, ... */
void velktool_createTmpPath(void);
/* The run directory and its three subdirectories, in the open, checked
 * ".velktool-temp" root. */
void createTmpRunDir(int root);
/* tmpSrcDir[s] (made), srcBaseName[s] and tmpFltPath of source s from the
 * last component of the position's path; ends the run for a path without
 * '/'.  tmpSrcDir[s] is a new directory of the run's tree named after the
 * recording, or, when an earlier source of the run has a recording of that
 * name, the name with the first free suffix _1, _2, ... */
void makeTempFltPath(int s, const velkio_Position *position);
/* The directory of tmpFltPath (made by the latest makeTempFltPath), open:
 * the files of tmpFltPath are created in it (velktool_fopenNew). */
int velktool_tmpFltDir(void);
/* Reads the channels micPosId[0 .. nMic-1] of a WAV file into wavData of g
 * (re-sized when the file has more frames than wavData holds); ends the
 * run when the file cannot be opened or read completely or lacks a
 * channel. */
void velktool_getWavDataFromFile(const char *path, int *frames,
                                 int *samplingRate);

/* ------------------------------------------------------------------ */
/* Windowing, peak search and normalization (window.cpp)               */
/* ------------------------------------------------------------------ */

/* How one impulse response was cut out of its recording. */
struct velktool_CutRange {
    float offset;     /* first sample of the window */
    int cutIndexFrom; /* first sample of the window (inclusive) */
    int cutIndexTo;   /* end of the window (exclusive) */
};

/* The two cut ranges of one source position.  A run holds nSrc of them,
 * zero-filled by the caller, indexed like srcPosId. */
struct velktool_CutRangePair {
    velktool_CutRange loc; /* localization window */
    velktool_CutRange sep; /* separation window */
};

/* Index of the largest absolute sample of x[0 .. n-1]: the whole signal
 * when from or to is negative, else indices from .. to-1 (both clipped to
 * n).  The earliest of equal maxima wins.  Never an index outside the
 * data (0 for an empty signal). */
int searchPeak(const float *x, int n, int from, int to);
/* Cut range of source s (isSep 0: LOC, else SEP) for a window ending
 * length-1 samples after `peak` in a signal of n samples. */
void getIrRange4FFT(int isSep, int peak, int length, int n, int s,
                    velktool_CutRange *range);
/* Copies the window `range` of src into dst (nfft floats); the direct form
 * (isSep 0) clears dst after the microphone's own peak + length. */
void setIr4FFT(int isSep, int peak, const velktool_CutRange *range, int s,
               int j, int length, const float *src, float *dst);
/* Reports microphones whose peak lies 200 or more samples behind pmin. */
void showReverbSources(int s, int pmin, const int *peaks);

/* A sound file open for reading (irfiles.cpp). */
typedef struct velktool_SoundFile {
    SNDFILE *handle;
    void *source; /* the window the library reads through, or null */
} velktool_SoundFile;
/* Opens a regular file for reading with libsndfile, through one
 * descriptor checked with fstat and a window of its first bytes (the
 * header's small reads then cost no system call): 0 with file->handle set,
 * or 1 when the file cannot be opened, is not a regular file (reported at
 * level 0) or is not a sound file libsndfile reads. */
int velktool_openSoundFile(const char *path, SF_INFO *info, velktool_SoundFile *file);
void velktool_closeSoundFile(velktool_SoundFile *file);

/* Loaders (irfiles.cpp): fill IRvectLoc (tfType LOC, LOC_SEP) and/or
 * IRvectSep (SEP, LOC_SEP) and the cut ranges, from the WAV files of all
 * source positions (ranges: nSrc pairs) or from the raw float files of
 * source s (range: the pair of s). */
void velktool_setIRvectFromWav(int tfType, int directLength, int reverbLength,
                               velktool_CutRangePair *ranges);
void velktool_setIRvectFromFlt(int tfType, int s, int directLength,
                               int reverbLength, velktool_CutRangePair *range);
/* The transfer functions of every source from its WAV file, one source at
 * a time: its windows are cut as velktool_setIRvectFromWav cuts them and
 * transformed at once into loctf[s] / septf[s] (velktool_transformSource),
 * without IRvect; loctf / septf must have been made
 * (velktool_newSourceMatrices). */
void velktool_tfFromWav(int tfType, int directLength, int reverbLength,
                        velktool_CutRangePair *ranges);

/* Source s from signals in memory: signals[j] holds the n samples of
 * microphone j (j < nMic).  The peaks are searched, the late ones
 * reported and the cut ranges (*pair) and windows (loc[j] / sep[j], nfft
 * floats each, the kinds of tfType) made as velktool_setIRvectFromWav
 * makes them from a WAV file. */
void velktool_cutSignals(int tfType, int s, int directLength, int reverbLength,
                         float *const *signals, int n, velktool_CutRangePair *pair,
                         float *const *loc, float *const *sep);

/* Energy normalization of every source of ir (a source without energy is
 * left zero, with a warning). */
void velktool_normalizeIR(float ***ir);
/* The same for one source s whose rows[j] hold nfft samples each. */
void velktool_normalizeSourceIR(float **rows, int s);
void velktool_powIR(float ***ir);
void velktool_copyTmpIRvectToTMP(float ***ir);
float velktool_sumAll(int s, int flag, float ***ir);
float velktool_divAll(int s, int flag, float ***ir, float x);

/* Operations on TFvect / tmpTFvect, bins 0 .. nfft/2. */
void velktool_conjTF(void);
void velktool_setZeroToTFvect(void);
/* The normalizations of the transfer functions `tf` ([nSrc][nMic] rows of
 * bins 0 .. nfft/2: TFvect, or rows of the library's matrices), in
 * place; the powers of the values before any of them go to tmpTFvect. */
void velktool_copyTmpTFvectFromTFvect(velktool_ComplexFloat *const *const *tf);
void velktool_absTF(void);
void velktool_powTF(void);
void velktool_normalizeSRC(velktool_ComplexFloat *const *const *tf);
void velktool_normalizeMIC(velktool_ComplexFloat *const *const *tf);
void velktool_normalizeFREQ(velktool_ComplexFloat *const *const *tf);
void normalizeTF(velktool_ComplexFloat *const *const *tf, int src, int mic, int freq);

/* Cartesian coordinates of the positions ids[0 .. count-1] into out; 0 on
 * success, 1 on a failed conversion or an id the list does not hold. */
int setPos(const velkio_Positions *positions, const int *ids, int count,
           float **out);
void velktool_setMicPos(void);
void velktool_setSrcPos(void);
/* micPosId = the channels c (ascending) with used[c] != 0, at most nMic;
 * used has VELKTOOL_MAX_CHANNELS flags. */
void velktool_setMicPosId(const char *used);
void velktool_setSrcPosId(void);
/* The source position of srcPosId[s]: the first position of the source
 * list with that id, as velkio_Positions_getById finds it (null for
 * none), without a search of the list for each source. */
const velkio_Position *velktool_sourcePosition(int s);
void velktool_BubSort(int *v, int n);
void velktool_ShowData(const int *v, int n);

/* ------------------------------------------------------------------ */
/* Transfer-function assembly and archive writing (tfwrite.cpp)        */
/* ------------------------------------------------------------------ */

/* Transfer functions of tfType from IRvectLoc / IRvectSep and the archive
 * at outputFile with its README and calcTF annotations
 * (writeTFWithReport).  IRvectLoc and IRvectSep are released (and nulled)
 * once transformed. */
void genTfFromIR(int tfType, int normalizeSrc, int normalizeMic,
                 int normalizeFreq, int resetMic, const char *outputFile,
                 const velktool_CutRangePair *ranges);
void genMUSIC(void);
void genGSS(int normalizeSrc, int normalizeMic, int normalizeFreq);
/* loctf / septf (nSrc matrices nMic x nfft/2+1) from TFvect. */
void velktool_setLoctfFromArray(void);
void velktool_setSeptfFromArray(void);
/* The one-source-at-a-time path: velktool_newSourceMatrices makes loctf /
 * septf (the kinds of tfType); velktool_transformSource transforms the
 * windows of source s (loc[j], sep[j]: nfft samples each; sep is energy
 * normalised in place) into row j of loctf[s] / septf[s], with the values
 * genMUSIC / genGSS give before their normalizations; genTfFromMatrices
 * then does what genTfFromIR does after the transforms. */
void velktool_newSourceMatrices(int tfType);
void velktool_transformSource(int tfType, int s, float *const *loc,
                              float **sep);
void genTfFromMatrices(int tfType, int normalizeSrc, int normalizeMic,
                       int normalizeFreq, int resetMic, const char *outputFile,
                       const velktool_CutRangePair *ranges);
/* Builds tf from the documents (their positions, configuration and
 * neighbours move into tf) and loctf/septf (also owned by tf afterwards;
 * the fields are nulled) or sourceTF, and writes the archive once: when info is not
 * null with the README member and the calcTF annotations of ranges (nSrc
 * pairs indexed like srcPosId, may be null).  Ends the run when the write
 * fails. */
void writeTFWithReport(int tfType, const char *outputFile, int resetMic,
                       const velktool_CutRangePair *ranges);

#endif /* VELKTOOL5_VELKTOOL_H */
