// The calctfgeo subcommand: transfer functions from the positions alone.
// Each source-to-microphone transfer function is the pure delay of the
// straight path at the speed of sound: unit magnitude, a phase linear in
// frequency.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "delay_kernels.h"
#include "textutil.h"
#include "tfcommand.h"
#include "velktool.h"

namespace {

// The normalization block of the report text.  The geometric transfer
// functions have unit magnitude, so they count as normalized in every
// respect whatever the options say; a request to disable one is ignored
// with a warning.
void writeNormalizeInfo(int normalizeSrc, int normalizeMic, int normalizeFreq)
{
    cat_asprintf(&g.info, "%s \n%s[%d]\n%s[%d]\n%s[%d]\n",
                 "Normalization Type", "- Source     ", 1, "- Microphone ", 1,
                 "- Frequency  ", 1);
    if (normalizeSrc == 0 || normalizeMic == 0 || normalizeFreq == 0)
        VELKIO_LOG(VELKIO_LOG_WARNING,
                   "ignored --normalize*=0 option. calctfgeo always generates "
                   "normalized value.");
}

// Speed of sound in metres per second.
const float speedOfSound = 343.0f;

// Delay in samples from source s to every microphone (into delay[m]) and
// the largest of them (into *maxDelay).  Positions too far apart for a
// single-precision distance (a square or the delay overflows) have no
// delay: 1 after a level-0 message naming both positions.
int sourceDelays(int s, float *delay, float *maxDelay)
{
    float samplesPerMetre = (float)g.samplingRate / speedOfSound;
    *maxDelay = 0;
    for (int m = 0; m < g.nMic; m++) {
        const float *src = g.srcPos[s], *mic = g.micPos[m];
        float dx = src[0] - mic[0];
        float dy = src[1] - mic[1];
        float dz = src[2] - mic[2];
        float norm = sqrtf((dx * dx + dy * dy) + dz * dz);
        delay[m] = norm * samplesPerMetre;
        VELKIO_LOG(VELKIO_LOG_DEBUG, "mic [%d] : norm_2=%f : srcDelta=%f",
                   g.micPosId[m], norm, delay[m]);
        if (!std::isfinite(delay[m])) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "delay from source position [%d] (%g, %g, %g) to "
                       "microphone [%d] (%g, %g, %g) is not a finite number",
                       g.srcPosId[s], src[0], src[1], src[2], g.micPosId[m],
                       mic[0], mic[1], mic[2]);
            return 1;
        }
        if (delay[m] > *maxDelay)
            *maxDelay = delay[m];
    }
    return 0;
}

// Shift of a source's delays: the farthest microphone's direct sound of
// directLength samples ends exactly at the end of the nfft-sample frame;
// no shift when everything already fits.
float sourceOffset(float maxDelay, int directLength)
{
    float offset = maxDelay + directLength - g.nfft;
    return offset < 0 ? 0 : offset;
}

// The shifted delays (delay - offset) of every source and microphone,
// [nSrc][nMic]: all the transfer functions are made from them when the
// archive is written (geometricTF, madeTF).
std::vector<float> shiftedDelays;

// The transfer functions of source s for the archive: row m is the pure
// delay of microphone m, conjugated for the separation kind.
void madeTF(int kind, int s, velkio_Complex *values)
{
    const size_t cols = (size_t)(g.nfft / 2 + 1);
    for (int m = 0; m < g.nMic; m++) {
        velkio_Complex *row = values + (size_t)m * cols;
        velktool_delayTF(shiftedDelays[(size_t)s * g.nMic + m], g.nfft, row);
        if (kind == SEP)
            for (size_t k = 0; k < cols; k++)
                row[k] = std::conj(row[k]);
    }
}

// The delays of every source with the offsets into the cut ranges (the
// annotation of the archive); 1 when a source has no finite delay.
int geometricTF(int directLength, velktool_CutRangePair *ranges)
{
    std::vector<float> delay((size_t)g.nMic);
    shiftedDelays.assign((size_t)g.nSrc * g.nMic, 0.0f);
    for (int s = 0; s < g.nSrc; s++) {
        printf(" progress:%d / %d\n", s + 1, g.nSrc);
        fflush(stdout);
        float maxDelay;
        if (sourceDelays(s, delay.data(), &maxDelay) != 0)
            return 1;
        float offset = sourceOffset(maxDelay, directLength);
        ranges[s].loc.offset = offset;
        ranges[s].sep.offset = offset;
        VELKIO_LOG(VELKIO_LOG_DEBUG, "GEO IR[%d] offset=%f(%fsec)",
                   g.srcPosId[s], offset,
                   offset / (g.samplingRate < 1 ? 16000 : g.samplingRate));
        const size_t at = (size_t)s * g.nMic;
        for (int m = 0; m < g.nMic; m++)
            shiftedDelays[at + m] = delay[m] - offset;
    }
    return 0;
}

// The transfer functions go to the library as the output type asks: LOC
// as they are, SEP conjugated, LOC_SEP both.  They are made source by
// source while the archive is written, so they are never all held.
void handOver(int outputType, int normalizeSrc, int normalizeMic,
              int normalizeFreq)
{
    if (outputType == SEP || outputType == LOC_SEP)
        writeNormalizeInfo(normalizeSrc, normalizeMic, normalizeFreq);
    g.sourceTF = madeTF;
}

int work(const velktool_TfRun &run)
{
    const velktool_TfOptions &o = run.o;
    velktool_setMicPos();
    velktool_setSrcPos();
    if (geometricTF(o.directLength, run.ranges) != 0)
        return 1;
    // Nothing goes into the run's temporary directory; it is made once the
    // positions have given their transfer functions, so that a refused run
    // leaves nothing behind.
    velktool_createTmpPath();
    handOver(o.tfType, o.normalizeSrc, o.normalizeMic, o.normalizeFreq);
    cat_asprintf(&g.info, "Direct sound Length  %d\n", o.directLength);
    // The archive is written once, with the README and the annotated
    // source positions.
    writeTFWithReport(o.tfType, o.outputFile, o.resetMic, run.ranges);
    return 0;
}

const velktool_TfCommand command = {
    .name = "calctfgeo",
    .listOption = "tsp-list",
    .listHelp = "TSP list file  (ex. tsp.xml)",
    .description = "  Generate transfer function by geometric calculation\n",
    .startName = "velktoolcli_calctfgeoExec",
    .endName = "velktoolcli_calctfgeoExec",
    .inputMode = 1,
    .lateTmpPath = true,
    .arrays = VELKTOOL_SOURCE_RUN_ARRAYS | VELKTOOL_ARRAY(VELKTOOL_SRCBASENAME),
    .work = work};

} // namespace

namespace {

bool baselineOnly = false;

#if defined(VELK_DELAY_AVX)
bool hasAvx()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}
#endif

// The bins on the widest vectors the processor allows.
void delayBins(double turn, int nfft, int n, const double *wr, const double *wi,
               velktool_ComplexFloat *bins)
{
#if defined(VELK_DELAY_AVX)
    static const bool avx = hasAvx();
    if (avx && !baselineOnly) {
        velk_delay::delayBinsAvx(turn, nfft, n, wr, wi, bins);
        return;
    }
#endif
    velk_delay::delayBins<velk_delay::Two>(turn, nfft, n, wr, wi, bins);
}

} // namespace

void velktool_delayTFUseBaseline(int on)
{
    baselineOnly = on != 0;
}

// Bins 0 .. nfft/2 of a pure delay of `delay` samples: bins[k] = e^(i
// phase), with phase = -(k * (delay * 2 pi)) / nfft worked out in double
// precision and rounded to float, as cosf and sinf of that float phase
// give it, to single-precision rounding.  Instead of a sine and cosine per
// bin, e^(i phase) comes in double precision from rotations by multiples
// of the step angle, re-seeded with an exact sine and cosine every 64
// bins; the float phase differs from the double one by d, at most half a
// float step of the phase, and the rotation by d is applied by its power
// series (exact to double rounding while |phase| < 2^20, where |d| <=
// 2^-4).  Larger phases, far beyond the delays of an nfft-sample frame,
// take cosf and sinf as they are.  The bins are made eight at a time,
// each from the block's first bin, in vector steps (delay_kernels.h).
void velktool_delayTF(float delay, int nfft, velktool_ComplexFloat *bins)
{
    const double twoPi = 6.283185307179586;
    const int n = nfft / 2 + 1;
    const int blocks = (n + 7) / 8;
    const double turn = (double)delay * twoPi;
    if (!(fabs((double)(8 * blocks - 1) * turn / nfft) < 1048576.0)) {
        for (int k = 0; k < n; k++) {
            float phase = (float)(-((double)k * turn / nfft));
            bins[k] = velktool_ComplexFloat(cosf(phase), sinf(phase));
        }
        return;
    }
    // e^(i j step) for j = 0 .. 8.
    double wr[9], wi[9];
    wr[0] = 1;
    wi[0] = 0;
    sincos(-turn / nfft, &wi[1], &wr[1]);
    for (int j = 2; j <= 8; j++) {
        wr[j] = wr[j - 1] * wr[1] - wi[j - 1] * wi[1];
        wi[j] = wr[j - 1] * wi[1] + wi[j - 1] * wr[1];
    }
    delayBins(turn, nfft, n, wr, wi, bins);
}

int velktoolcli_calctfgeo(int argc, char **argv)
{
    return velktool_runTfCommand(command, argc, argv);
}
