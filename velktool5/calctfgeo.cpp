// The calctfgeo subcommand: transfer functions from the positions alone.
// Each source-to-microphone transfer function is the pure delay of the
// straight path at the speed of sound: unit magnitude, a phase linear in
// frequency.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// TFvect[s][m][k] = e^(i * phase), phase = -k * 2 pi * (delay - offset) / nfft.
void fillDelayTF(int s, const float *delay, float offset)
{
    const double twoPi = 6.283185307179586;
    for (int m = 0; m < g.nMic; m++) {
        float shifted = delay[m] - offset;
        for (int k = 0; k <= g.nfft / 2; k++) {
            float phase = (float)(-((double)k * ((double)shifted * twoPi) /
                                    (double)g.nfft));
            g.TFvect[s][m][k] = velktool_ComplexFloat(cosf(phase), sinf(phase));
        }
    }
}

// The geometric transfer functions of every source into TFvect, with the
// offsets into the cut ranges (the annotation of the archive); 1 when a
// source has no finite delay.
int geometricTF(int directLength, velktool_CutRangePair *ranges)
{
    std::vector<float> delay((size_t)g.nMic);
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
        fillDelayTF(s, delay.data(), offset);
    }
    return 0;
}

// Separation transfer functions are the complex conjugates.
void conjugateTF(void)
{
    for (int s = 0; s < g.nSrc; s++)
        for (int m = 0; m < g.nMic; m++)
            for (int k = 0; k <= g.nfft / 2; k++)
                g.TFvect[s][m][k] = std::conj(g.TFvect[s][m][k]);
}

// The separation matrices of a LOC_SEP run: the conjugates of the
// localization matrices, which hold TFvect's values exactly.
velkio_Matrix **conjugatedCopies(velkio_Matrix *const *loc)
{
    velkio_Matrix **sep =
        (velkio_Matrix **)calloc(g.nSrc > 0 ? (size_t)g.nSrc : 1, sizeof *sep);
    if (sep == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "malloc Failed");
        velktool_Exit(1);
    }
    for (int s = 0; s < g.nSrc; s++) {
        sep[s] = velkio_Matrix_new("complex", loc[s]->rows, loc[s]->cols);
        if (sep[s] == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Matrix_new Failed");
            for (int i = 0; i < s; i++)
                velkio_Matrix_delete(&sep[i]);
            free(sep);
            velktool_Exit(1);
        }
        const size_t n = (size_t)loc[s]->rows * (size_t)loc[s]->cols;
        for (size_t i = 0; i < n; i++)
            sep[s]->data[i] = std::conj(loc[s]->data[i]);
    }
    return sep;
}

// Hands TFvect to the library as the output type asks: LOC as is, SEP
// conjugated, LOC_SEP both (LOC first).  For LOC_SEP, TFvect is released
// once the localization matrices hold its values and the separation
// matrices are their conjugates: the run never holds the transfer
// functions three times.
void handOver(int outputType, int normalizeSrc, int normalizeMic,
              int normalizeFreq)
{
    if (outputType == LOC || outputType == LOC_SEP)
        velktool_setLoctfFromArray();
    if (outputType == SEP || outputType == LOC_SEP)
        writeNormalizeInfo(normalizeSrc, normalizeMic, normalizeFreq);
    if (outputType == SEP) {
        conjugateTF();
        velktool_setSeptfFromArray();
    } else if (outputType == LOC_SEP) {
        velktool_delete(VELKTOOL_TFVECT);
        g.septf = conjugatedCopies(g.loctf);
    }
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
    .arrays = VELKTOOL_TF_RUN_ARRAYS,
    .work = work};

} // namespace

int velktoolcli_calctfgeo(int argc, char **argv)
{
    return velktool_runTfCommand(command, argc, argv);
}
