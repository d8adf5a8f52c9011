/*
 * Reading SOFA files (AES69: netCDF-4 files of a convention) of impulse
 * responses (SimpleFreeFieldHRIR, GeneralFIR, SingleRoomSRIR; DataType
 * FIR) and of transfer functions (GeneralTF; DataType TF), as far as a
 * transfer-function archive can hold them: one emitter, a listener that
 * stays in place, at most 64 receivers that stay in place, an integer
 * sampling rate.
 *
 * A SOFA file is untrusted.  It is read into memory through one checked
 * descriptor (a regular file, at most SOFA_MAX_FILE_BYTES) and opened from
 * there, so that nothing else is opened by its name; every dimension,
 * attribute and variable is checked before it is used, and the values are
 * read one measurement at a time within fixed bounds.
 *
 * The netCDF library reads the file through the HDF5 library, which can
 * crash or loop for ever on a damaged file before any check of ours can
 * see it.  The program therefore calls into them only inside
 * sofa_isolate: in a child process, where every call is also limited in
 * time, so that such a fault ends the child and is reported as a damaged
 * file.
 */
#ifndef VELK_SOFAREAD_H
#define VELK_SOFAREAD_H

#include <cstddef>
#include <string>
#include <vector>

#include "velkio.h"

/* The largest SOFA file read. */
constexpr size_t SOFA_MAX_FILE_BYTES = (size_t)1 << 30;
/* The most measurements (source positions) and receivers taken. */
constexpr size_t SOFA_MAX_MEASUREMENTS = 100000;
constexpr size_t SOFA_MAX_RECEIVERS = 64;
/* The most values of one measurement (receivers x samples, delays
 * included) and the largest chunk of compressed data inflated at once. */
constexpr size_t SOFA_MAX_MEASUREMENT_VALUES = (size_t)1 << 26;
constexpr size_t SOFA_MAX_CHUNK_BYTES = (size_t)256 << 20;
/* The longest delay (Data.Delay, samples) and the largest nfft of a
 * transfer-function file (N = nfft/2+1 bins). */
constexpr int SOFA_MAX_DELAY = 1 << 20;
constexpr int SOFA_MAX_NFFT = 1 << 24;

struct sofa_Input {
    int ncid = -1;
    std::string name;                 /* the file, for messages */
    std::string conventions;          /* SOFAConventions */
    std::string conventionsVersion;
    bool transferFunctions = false;   /* DataType TF; else FIR */
    size_t measurements = 0;          /* M */
    size_t receivers = 0;             /* R */
    size_t length = 0;                /* N: samples, or bins */
    int samplingRate = 0;             /* Hz */
    int nfft = 0;                     /* transfer functions: 2 (N - 1) */
    std::vector<int> delays;          /* receivers, or measurements x receivers */
    bool delayPerMeasurement = false;
    int maxDelay = 0;
    /* Positions as the archive holds them: polar (azimuth, elevation in
     * degrees, radius) or Cartesian x, y, z in metres, relative to the
     * listener and in its frame. */
    bool sourcesCartesian = true;
    bool receiversCartesian = true;
    std::vector<float> sources;       /* measurements x 3 */
    std::vector<float> receiverPositions; /* receivers x 3 */
    std::vector<int> sourceIds;       /* measurements */
    std::vector<int> receiverIds;     /* receivers: channel numbers 0 .. 63 */
    int dataVar = -1;                 /* Data.IR, or Data.Real */
    int imagVar = -1;                 /* Data.Imag */
};

/* Runs fn(arg) in a child process and returns its result (0, or 1 for
 * any other).  A child that a signal ends (a crash of the libraries, or
 * one call into them that took more than sofa_librarySeconds) gives 1
 * after the level-0 message "<name>: the netCDF-4 library failed on this
 * file (<signal>): the file is damaged" (or "... took more than N s ...").
 * A child ended by SIGKILL, SIGTERM, SIGINT or SIGHUP was stopped from
 * outside: the calling process then ends by the same signal.
 * The child ends with _exit once fn returns; standard output and error
 * are flushed first. */
int sofa_isolate(const char *name, int (*fn)(void *), void *arg);
/* The time one call of the readers below may take inside sofa_isolate
 * (seconds; 0: no limit).  Outside sofa_isolate no limit is set. */
extern unsigned sofa_librarySeconds;

/* Reads the file at `path` into `bytes`: a regular file (checked on the
 * descriptor it is read from) of at most SOFA_MAX_FILE_BYTES.  0, or 1
 * with a level-0 message. */
int sofa_readFile(const char *path, std::vector<unsigned char> *bytes);

/* Opens a SOFA file held in memory (`bytes` must stay alive until
 * sofa_close) and checks and reads everything but the data.  `name`
 * names it in messages.  0, or 1 with a level-0 message saying what the
 * file holds that cannot be taken (in->ncid is then closed). */
int sofa_open(const unsigned char *bytes, size_t size, const char *name, sofa_Input *in);

/* The impulse responses of measurement m (0 .. M-1): R rows of N samples,
 * receiver by receiver, into `rows`.  0, or 1 with a level-0 message (a
 * read error, a value that is not a finite single-precision number). */
int sofa_readImpulseResponses(const sofa_Input &in, size_t m, float *rows);

/* The transfer functions of measurement m: R rows of N bins. */
int sofa_readTransferFunctions(const sofa_Input &in, size_t m, velkio_Complex *rows);

void sofa_close(sofa_Input *in);

#endif /* VELK_SOFAREAD_H */
