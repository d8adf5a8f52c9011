/*
 * TSP deconvolution: impulse responses from a recording of a time-stretched
 * pulse played several times back to back.  The repetitions are averaged
 * sample by sample (synchronous addition), the spectrum of the average is
 * divided by the spectrum of the reference TSP, and the first 4096 samples
 * of the result are written per selected channel as a raw float file
 * "<outputPath>_ch<n>.flt".  Optionally the start of the repetitions is
 * found first by cross-correlating the recording with the reference.
 *
 * Every routine logs its messages under its own name and line and
 * returns 0 on success, 1 after a level-0 message.  Nothing here touches
 * the run state g.
 */
#ifndef VELKTOOL5_TSP_H
#define VELKTOOL5_TSP_H

#include "velktool.h"

/* Kinds of reference TSP file. */
enum { VELKTOOL_TSP_RAW = 0, VELKTOOL_TSP_WAV = 1 };

/* Samples written per impulse response, and the least TSP length. */
enum { VELKTOOL_SYSIMP_LENGTH = 4096 };

/* Work buffers of the deconvolution (tsp.cpp). */
struct velktool_TspWork;

/* The reference TSP of a run, read and transformed once, with the work
 * buffers that every recording deconvolved with it reuses.  Zero-initialise
 * it before the first velktool_readTspReference; release it with
 * velktool_freeTspReference. */
struct velktool_TspReference {
    double *signal;    /* all samples of the file (scaled for raw) */
    int length;        /* their count: the reference length of the search */
    int tspLength;     /* transform length of the deconvolution */
    /* conj(T[k]) / |T[k]|^2 of the spectrum T of signal[0 .. tspLength-1]:
     * multiplying a spectrum by it divides by T. */
    velktool_ComplexDouble *inverse;
    velktool_TspWork *work;   /* made at the first recording */
};

/* Impulse responses of one recorded TSP (see above).  tspOrgType: 0 raw
 * float file (scaled by signalMax, or by its own peak when signalMax < 1;
 * only samplingRate 16000), 1 WAV file (channel tspOrigChannel, its rate
 * must equal samplingRate).  The search for the start offset runs when
 * searchOffsetFrom >= 0.  outChannelList holds VELKTOOL_MAX_CHANNELS flags;
 * the k-th selected channel goes to "<outputPath>_ch<channelOrigin+k>.flt". */
int velktool_calcSysImp(int tspOrgType, const char *tspOrigWav,
                        int tspOrigChannel, int signalMax, int samplingRate,
                        int tspLength, int syncAddFreq, int syncAddOffset,
                        int searchOffsetFrom, int searchOffsetTo,
                        const char *outChannelList, int channelOrigin,
                        const char *inputWav, const char *outputPath);

/* The parts of velktool_calcSysImp, for callers that deconvolve many
 * recordings with one reference. */

/* Logs the summary of one deconvolution at level 2. */
void velktool_logSysImpSummary(int tspOrgType, const char *tspOrigWav,
                               int tspOrigChannel, int signalMax,
                               int samplingRate, int tspLength,
                               int syncAddFreq, int syncAddOffset,
                               int searchOffsetFrom, int searchOffsetTo,
                               const char *outChannelList, int channelOrigin,
                               const char *inputWav, const char *outputPath);
/* Refuses a TSP length that is not a power of two of at least 4096, a
 * synchronous-addition count below 1 and an offset below 0. */
int velktool_checkTspParameters(int tspLength, int syncAddFreq,
                                int syncAddOffset);
/* Reads the reference TSP and computes its inverse spectrum (a reference
 * held by ref before is released first). */
int velktool_readTspReference(int tspOrgType, const char *path, int channel,
                              int signalMax, int samplingRate, int tspLength,
                              velktool_TspReference *ref);
void velktool_freeTspReference(velktool_TspReference *ref);
/* Everything after the reference: reads the recording, searches the offset
 * when searchOffsetFrom >= 0, adds the repetitions and writes the impulse
 * responses.  The work buffers of ref are kept for the next recording. */
int velktool_deconvolveTsp(velktool_TspReference *ref, int syncAddFreq,
                           int syncAddOffset, int searchOffsetFrom,
                           int searchOffsetTo, const char *outChannelList,
                           int channelOrigin, const char *inputWav,
                           velktool_FltOutput output);

/* The whole impulse response (tspLength samples) of one period of a
 * recording averaged over its repetitions (`average`, tspLength samples on
 * the full scale of 1.0): its spectrum divided by the reference's, as the
 * deconvolution above does before it keeps the first 4096 samples.  0, or
 * 1 when memory runs out. */
int velktool_deconvolvePeriod(const velktool_TspReference *ref,
                              const double *average, double *ir);

/* Suggested start of the TSP repetitions in recording (50 samples before
 * the correlation peak found in the window searchFrom .. searchTo-1), or 0
 * when no reliable peak was found.  The recording must hold at least
 * searchTo samples; samples of the reference at or beyond referenceLength
 * and of the recording at or beyond searchTo count as 0.  Prints
 * "searched offset = %d" and "suggest start offset = %d" on success. */
int corr_on_fft(const double *recording, const double *reference,
                int referenceLength, int searchFrom, int searchTo);

/* window[i] = 0.54 - 0.46 cos(2 pi i / (n - 1)), i = 0 .. n-1. */
void CalcHammingWindow(double *window, int n);

#endif /* VELKTOOL5_TSP_H */
