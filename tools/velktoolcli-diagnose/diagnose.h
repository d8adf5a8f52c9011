/*
 * velktoolcli-diagnose: checks a transfer-function archive against the
 * geometry it holds (and optionally the recordings it was made from) and
 * tells what is probably wrong with the measurement.
 *
 * Checks, each giving findings with a severity, evidence numbers and a
 * plain-language text that says what to do:
 *  - direction:  steered response (PHAT) of the localization TFs over the
 *                candidate directions, near-field at the stated radius,
 *                against the stated direction of each source;
 *  - delays:     per source and microphone pair the delay from the phase
 *                slope of the cross-spectrum against the geometric delay,
 *                per microphone the median residual; a misfit microphone's
 *                position estimated from all sources (least squares);
 *  - wiring:     a channel order that explains the delays clearly better
 *                (assignment on the delay residuals), inverted polarity,
 *                dead channels (with the windows whose direct sound a dead
 *                channel's noise peaks pushed out), gain deviations;
 *  - timing:     direct-sound arrival against distance across sources (a
 *                constant latency) and its distance from the window start;
 *  - values:     NaN or Inf anywhere;
 *  - recordings: clipping, level, dead channels, period similarity, the
 *                deconvolved impulse response's peak position and SNR.
 *
 * Geometry: metres, relative to the array origin; delays in samples at the
 * archive's sampling rate; angles in degrees.
 */
#ifndef VELK_DIAGNOSE_H
#define VELK_DIAGNOSE_H

#include <complex>
#include <string>
#include <vector>

#include "options.h"
#include "velkio.h"

typedef std::complex<float> diag_Complex;

struct diag_Vec3 {
    double x = 0, y = 0, z = 0;
};

/* Thresholds and options of one run. */
struct diag_Options {
    double speedOfSound = 343.0;     /* m/s */
    double maxDirectionError = 10.0; /* degrees: error above, warning above half */
    double maxDelayResidual = 1.0;   /* samples, per-microphone median */
    double maxGainDeviation = 6.0;   /* dB from the microphones' median */
    double maxTimingDeviation = 4.0; /* samples of latency between sources */
    double minSnr = 20.0;            /* dB: error below, warning below +10 dB */
    double maxClipped = 0.01;        /* percent of samples at full scale */
    double minSimilarity = 0.9;      /* consecutive TSP periods */
};

/* Severity of a finding, in increasing order. */
enum { DIAG_OK = 0, DIAG_WARNING = 1, DIAG_ERROR = 2 };

/* The checks, in report order. */
enum {
    DIAG_DIRECTION = 0,
    DIAG_DELAYS,
    DIAG_WIRING,
    DIAG_TIMING,
    DIAG_VALUES,
    DIAG_RECORDINGS,
    DIAG_NCHECKS
};
const char *diag_checkName(int check);
const char *diag_severityName(int severity);

struct diag_Evidence {
    std::string name;
    double value;
};

struct diag_Finding {
    int check = 0;
    int severity = DIAG_OK;
    std::string subject;     /* "source 3", "channel 2", "channels 1, 4" */
    std::vector<int> sources;  /* source ids concerned */
    std::vector<int> channels; /* microphone channels concerned */
    std::string text;        /* what is wrong and what to do */
    std::vector<diag_Evidence> evidence;
};

/* The archive as the checks see it: source s and matrix row m. */
struct diag_Archive {
    int nSrc = 0, nMic = 0, nfft = 0, rate = 0, bins = 0;
    int tspOffset = 0, tspLength = 0;
    int fromSeparation = 0;            /* no LOC TFs: conj(SEP) is used */
    std::vector<int> srcId;            /* in matrix order */
    std::vector<diag_Vec3> src;
    std::vector<int> micChannel;       /* row -> channel (= microphone id) */
    std::vector<diag_Vec3> mic;        /* row -> position */
    std::vector<float> offset;         /* window start (calcTF) per source */
    /* H[s]: rows x bins, row-major, finite or not as stored; points into
     * the loaded archive `tf` (or the caller's data) */
    std::vector<const diag_Complex *> H;
    velkio_TransferFunction *tf = nullptr;
    long nonFiniteLoc = 0, nonFiniteSep = 0;
    int firstNonFiniteSource = -1, firstNonFiniteChannel = -1;
};

/* Per-source results. */
struct diag_SourceResult {
    double statedAz = 0, statedEl = 0, radius = 0;
    double estAz = 0, estEl = 0, angularError = 0;
    int ambiguous = 0;    /* the stated direction fits as well as the best */
    int checked = 0;      /* enough valid channels for the direction */
    int timed = 0;        /* the latency below is known */
    double latency = 0;   /* arrival in the impulse response minus travel time */
    double earliest = 0;  /* earliest arrival after the window start (samples) */
    double earliestTravel = 0;
};

/* Per-channel results. */
struct diag_MicResult {
    double medianResidual = 0; /* |delay residual| median over sources, samples */
    double gainDb = 0;         /* level relative to the microphones' median */
    double invertedFraction = 0;
    double deadFraction = 0;
    int fitted = 0;            /* position estimated */
    diag_Vec3 estimate;
    double fitResidual = 0;    /* RMS, samples */
    std::vector<double> magnitudeDb; /* median |H| over sources per bin */
};

/* One checked recording channel. */
struct diag_RecordingChannel {
    int channel = 0;
    double levelDb = -300;     /* RMS, dB full scale */
    double peakDb = -300;
    double clippedPercent = 0;
    double similarity = 1;     /* lowest of consecutive periods (TSP) */
    double peakIndex = 0;      /* main peak of the impulse response (signed) */
    double snrDb = 0;
    int dead = 0;              /* silent, or noise without a response */
};

struct diag_Recording {
    int id = 0;
    std::string path;
    std::vector<diag_RecordingChannel> channels;
};

/* Everything one run found. */
struct diag_Result {
    int bandLow = 0, bandHigh = 0;   /* bins used, inclusive */
    double maxSpacing = 0;
    std::vector<diag_SourceResult> sources;
    std::vector<diag_MicResult> mics;
    std::vector<std::vector<double>> residual; /* [s][m], NaN where unknown */
    std::vector<int> permutation;    /* row m fits position permutation[m] */
    int permuted = 0;
    double costIdentity = 0, costBest = 0;
    double latency = 0;
    int suggestOffset = 0, haveSuggestOffset = 0;
    int recordingsChecked = 0, recordingsAreTsp = 0;
    std::vector<diag_Recording> recordings;
    std::vector<diag_Finding> findings;
    int checkRun[DIAG_NCHECKS] = {0};
};

/* ---- numerical routines (numerics.cpp) ---- */

/* Delay of a relative to b in samples (positive: a later) from the phase
 * slope of a * conj(b) over bins k0 .. k1, the phase unwrapped bin by bin
 * and the line fitted through the origin.  With `inverted` not null, the
 * phase's intercept at bin 0 tells whether one of the two is inverted
 * (*inverted 1: then pi is taken off the phase before the fit).  NaN when
 * no bin is usable. */
double diag_pairDelay(const diag_Complex *a, const diag_Complex *b, int k0, int k1, int nfft,
                      int *inverted = nullptr);

/* Rows of transfer functions weighted for the steered response (PHAT:
 * unit magnitude, 0 for unusable bins), bins k0 .. k1 of each row in
 * `stride` floats (a multiple of 4, zero-padded), real and imaginary parts
 * apart. */
struct diag_Phat {
    int rows = 0, k0 = 1, K = 0, stride = 0;
    std::vector<float> re, im;
};
/* Rows m with used[m] of h (rows x bins), each multiplied by polarity[m]
 * (null: +1). */
void diag_phatRows(const diag_Complex *h, int bins, int rows, const int *used,
                   const int *polarity, int k0, int k1, diag_Phat *out);

/* Normalised steered response power (0 .. 1) of the rows m with used[m]
 * for arrival delays tau[m] in samples: the sum over the bins of
 * |sum over rows of x[m][k] e^(2 pi i k tau[m] / nfft)|^2, divided by
 * rows^2 times the bins. */
double diag_steeredPower(const diag_Phat &x, const int *used, const double *tau, int nfft);

/* Assignment of n rows to n columns of minimum total cost (row-major n x n
 * costs): assignment[i] = column of row i.  Hungarian method, O(n^3). */
void diag_assign(const std::vector<double> &cost, int n, std::vector<int> *assignment);

/* The position p minimising sum over i of (|s_i - p| - |s_i - q_i| - d_i)^2
 * (all in metres): the point whose path differences to sources s_i against
 * reference microphones q_i are d_i.  Gauss-Newton with damping from
 * `start`; directions the sources do not determine keep start's value.
 * Returns the RMS of the final residuals (metres). */
double diag_locate(const std::vector<diag_Vec3> &s, const std::vector<diag_Vec3> &q,
                   const std::vector<double> &d, diag_Vec3 start, diag_Vec3 *out);

/* Index of the largest |x[i]|, refined by a parabola through its
 * neighbours (circular). */
double diag_peakIndex(const float *x, int n, int *sign);

double diag_distance(diag_Vec3 a, diag_Vec3 b);
/* Azimuth and elevation (degrees) of a point seen from the origin. */
void diag_direction(diag_Vec3 p, double *az, double *el);
diag_Vec3 diag_fromDirection(double az, double el, double r);
/* Angle between two directions, degrees. */
double diag_angle(double az1, double el1, double az2, double el2);
double diag_median(std::vector<double> v);

/* ---- the checks ---- */

/* Loads and maps the archive (archive.cpp); 0, or 1 after a message. */
int diag_loadArchive(const char *path, diag_Archive *a);
void diag_freeArchive(diag_Archive *a);

/* Runs the archive checks (checks.cpp). */
void diag_checkArchive(const diag_Archive &a, const diag_Options &o, diag_Result *r);

/* Checks the recordings of a TSP or impulse list (recordings.cpp);
 * 0, or 1 when the inputs cannot be read (after a message). */
int diag_checkRecordings(const diag_Archive &a, const char *listPath, const char *micPath,
                         const diag_Options &o, diag_Result *r);

/* Sorts the findings worst first (stable within a severity). */
void diag_sortFindings(diag_Result *r);
int diag_worstSeverity(const diag_Result &r, int check);

/* ---- output (report.cpp, html.cpp) ---- */

// printf into a string, whatever its length.
std::string diag_format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string diag_textReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r);
std::string diag_jsonReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r);
std::string diag_htmlReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r);
/* The microphone list with estimated positions and the fitting channel
 * order, written complete or not at all; 0 or 1. */
int diag_writeMicList(const char *archivePath, const diag_Archive &a, const diag_Result &r,
                      const char *outPath);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program diagnose_commandLine;
int diagnose_main(int argc, const char **argv);

#endif /* VELK_DIAGNOSE_H */
