// Windowing of impulse responses: the direct-sound peak, the cut ranges,
// the cut itself, the energy normalization of the separation impulse
// responses, the normalizations of the transfer functions and the position
// and id tables of the run.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "textutil.h"
#include "velktool.h"

namespace {

const char *kindName(int isSep)
{
    return isSep == 0 ? "LOC" : "SEP";
}

int bins(void)
{
    return g.nfft / 2 + 1;
}

int clampInt(long long v)
{
    return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : (int)v);
}

} // namespace

/* ------------------------------------------------------------------ */
/* Peak search and cutting                                             */
/* ------------------------------------------------------------------ */

void getIrRange4FFT(int isSep, int peak, int length, int n, int s,
                    velktool_CutRange *range)
{
    long long shift = (long long)peak + length - g.nfft;
    long long from = shift >= 0 ? shift : 0;
    long long to = from + g.nfft < n ? from + g.nfft : n;
    // A window that starts beyond the end of the signal is empty.
    if (to < from)
        to = from;
    range->offset = (float)from;
    range->cutIndexFrom = clampInt(from);
    range->cutIndexTo = clampInt(to);

    int rate = g.samplingRate > 0 ? g.samplingRate : 16000;
    VELKIO_LOG(VELKIO_LOG_DEBUG, " %s offset=%d(%fsec), extract %d - %d",
               kindName(isSep), range->cutIndexFrom,
               (double)range->cutIndexFrom / rate, range->cutIndexFrom,
               range->cutIndexTo);
    if (shift > 0)
        VELKIO_LOG(VELKIO_LOG_INFO, "Src[%d] %s Cut Index %d - %d",
                   g.srcPosId[s], kindName(isSep), range->cutIndexFrom,
                   range->cutIndexTo);
}

void setIr4FFT(int isSep, int peak, const velktool_CutRange *range, int s,
               int j, int length, const float *src, float *dst)
{
    long long d = (long long)peak - range->cutIndexFrom;
    if (d < 0) {
        const char *what = isSep == 0 ? "direct" : "reverb";
        VELKIO_LOG(VELKIO_LOG_WARNING,
                   "The direct sound data may have lost on src[%d], mic[%d]. "
                   "Check the data or %s-length(%d).",
                   g.srcPosId[s], g.micPosId[j], what, length);
        cat_asprintf(&g.info,
                     "The direct sound data may have lost on src[%d], mic[%d]. "
                     "Check the data or %s-length(%d).\n",
                     g.srcPosId[s], g.micPosId[j], what, length);
    }

    long long count = (long long)range->cutIndexTo - range->cutIndexFrom;
    if (count > g.nfft)
        count = g.nfft;
    if (count > 0)
        memcpy(dst, src + range->cutIndexFrom, (size_t)count * sizeof(float));

    if (isSep == 0) {
        // Keep the direct sound up to `length` samples after this
        // microphone's own peak; a peak far before the window clears all.
        long long e = d + length + 1;
        if (e < 0)
            e = 0;
        for (long long k = e; k < g.nfft; ++k)
            dst[k] = 0;
    }
}

void showReverbSources(int s, int pmin, const int *peaks)
{
    const velkio_Position *position = velktool_sourcePosition(s);
    const char *path =
        (position != nullptr && position->path != nullptr) ? position->path : "";
    bool headed = false;
    for (int j = 0; j < g.nMic; ++j) {
        if ((long long)peaks[j] - pmin <= 199)
            continue;
        if (!headed) {
            printf("\n");
            printf("     ----------------------------------------------------------------------------\n");
            printf("            Direct sound < Reverberant sound                                     \n");
            printf("     ----------------------------------------------------------------------------\n");
            headed = true;
        }
        printf("[ %s ]  Mic:[%d]ch  Max Peak Index[%d]\n", path, g.micPosId[j],
               peaks[j]);
        cat_asprintf(&g.info,
                     "Direct sound < Reverberant sound  [ %s ]  Mic:[%d]ch  "
                     "Max Peak Index[%d]\n",
                     path, g.micPosId[j], peaks[j]);
    }
}

/* ------------------------------------------------------------------ */
/* Energy normalization of impulse responses                           */
/* ------------------------------------------------------------------ */

void velktool_powIR(float ***ir)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < g.nfft; ++k)
                ir[s][j][k] *= ir[s][j][k];
}

void velktool_copyTmpIRvectToTMP(float ***ir)
{
    if (g.tmpIRvect == nullptr)
        velktool_new(VELKTOOL_TMPIRVECT);
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            memcpy(g.tmpIRvect[s][j], ir[s][j], (size_t)g.nfft * sizeof(float));
}

float velktool_sumAll(int s, int flag, float ***ir)
{
    if (flag != 0)
        return 0;
    float sum = 0;
    for (int j = 0; j < g.nMic; ++j)
        for (int k = 0; k < g.nfft; ++k)
            sum += ir[s][j][k];
    return sum;
}

float velktool_divAll(int s, int flag, float ***ir, float x)
{
    if (flag == 0)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < g.nfft; ++k)
                ir[s][j][k] /= x;
    return x;
}

namespace {

// The float sum of the squared samples of one source (rows[j], nfft
// samples each), microphones in order and samples in order: the sum
// velktool_sumAll forms over the squares velktool_powIR leaves in
// tmpIRvect, without filling that array.
float sourceEnergy(const float *const *rows)
{
    float sum = 0;
    for (int j = 0; j < g.nMic; ++j) {
        const float *x = rows[j];
        for (int k = 0; k < g.nfft; ++k) {
            float square = x[k] * x[k];
            sum += square;
        }
    }
    return sum;
}

} // namespace

void velktool_normalizeSourceIR(float **rows, int s)
{
    float energy = sourceEnergy(rows);
    if (energy != 0) {
        float **one[1] = {rows}; // the source alone, as source 0
        velktool_divAll(0, 0, one, energy);
        return;
    }
    // No energy (silence, or samples so small that their squares vanish in
    // single precision): the source stays zero instead of turning into
    // divisions by zero.
    VELKIO_LOG(VELKIO_LOG_WARNING,
               "src[%d] has no energy: its separation impulse responses "
               "are left zero",
               g.srcPosId != nullptr ? g.srcPosId[s] : s);
    for (int j = 0; j < g.nMic; ++j)
        memset(rows[j], 0, (size_t)g.nfft * sizeof(float));
}

void velktool_normalizeIR(float ***ir)
{
    for (int s = 0; s < g.nSrc; ++s)
        velktool_normalizeSourceIR(ir[s], s);
}

/* ------------------------------------------------------------------ */
/* Transfer-function operations                                        */
/* ------------------------------------------------------------------ */

void velktool_conjTF(void)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < bins(); ++k)
                g.TFvect[s][j][k] = std::conj(g.TFvect[s][j][k]);
}

void velktool_setZeroToTFvect(void)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            g.TFvect[s][j][g.nfft / 2] = 0;
}

void velktool_copyTmpTFvectFromTFvect(velktool_ComplexFloat *const *const *tf)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < bins(); ++k)
                g.tmpTFvect[s][j][k] = tf[s][j][k];
}

void velktool_absTF(void)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < bins(); ++k)
                g.tmpTFvect[s][j][k] = std::abs(g.tmpTFvect[s][j][k]);
}

void velktool_powTF(void)
{
    for (int s = 0; s < g.nSrc; ++s)
        for (int j = 0; j < g.nMic; ++j)
            for (int k = 0; k < bins(); ++k)
                g.tmpTFvect[s][j][k] *= g.tmpTFvect[s][j][k];
}

namespace {

// The normalizations divide by the root of powers summed over one index;
// the powers (real parts of tmpTFvect) are those before any normalization.
float power(int s, int j, int k)
{
    return g.tmpTFvect[s][j][k].real();
}

bool usableDivisor(float e)
{
    return std::isfinite(e) && e != 0;
}

} // namespace

void velktool_normalizeSRC(velktool_ComplexFloat *const *const *tf)
{
    for (int j = 0; j < g.nMic; ++j) {
        for (int k = 0; k < bins(); ++k) {
            float sum = 0;
            for (int s = 0; s < g.nSrc; ++s)
                sum += power(s, j, k);
            float e = sqrtf(sum);
            if (usableDivisor(e))
                for (int s = 0; s < g.nSrc; ++s)
                    tf[s][j][k] /= e;
        }
    }
}

void velktool_normalizeMIC(velktool_ComplexFloat *const *const *tf)
{
    for (int s = 0; s < g.nSrc; ++s) {
        for (int k = 0; k < bins(); ++k) {
            float sum = 0;
            for (int j = 0; j < g.nMic; ++j)
                sum += power(s, j, k);
            float e = sqrtf(sum);
            if (usableDivisor(e))
                for (int j = 0; j < g.nMic; ++j)
                    tf[s][j][k] /= e;
        }
    }
}

void velktool_normalizeFREQ(velktool_ComplexFloat *const *const *tf)
{
    for (int s = 0; s < g.nSrc; ++s) {
        for (int j = 0; j < g.nMic; ++j) {
            float sum = 0;
            for (int k = 0; k < bins(); ++k)
                sum += power(s, j, k);
            float e = sqrtf(sum);
            if (usableDivisor(e))
                for (int k = 0; k < bins(); ++k)
                    tf[s][j][k] /= e;
        }
    }
}

void normalizeTF(velktool_ComplexFloat *const *const *tf, int src, int mic, int freq)
{
    if (g.tmpTFvect == nullptr)
        velktool_new(VELKTOOL_TMPTFVECT);
    velktool_initArray(VELKTOOL_TMPTFVECT);
    velktool_copyTmpTFvectFromTFvect(tf);
    velktool_absTF();
    velktool_powTF();
    if (src == 1)
        velktool_normalizeSRC(tf);
    if (mic == 1)
        velktool_normalizeMIC(tf);
    if (freq == 1)
        velktool_normalizeFREQ(tf);
}

/* ------------------------------------------------------------------ */
/* Position and id tables                                              */
/* ------------------------------------------------------------------ */

namespace {

// The place in the list of the first position of each id, as
// velkio_Positions_getById finds it: one pass for any number of lookups.
std::unordered_map<int, int> firstPlaceOfId(const velkio_Positions *list)
{
    std::unordered_map<int, int> places;
    for (int i = 0; list != nullptr && i < list->count; ++i)
        if (list->list[i] != nullptr)
            places.emplace(list->list[i]->id, i);
    return places;
}

// The place in the source list of the position of srcPosId[s], for every
// s (-1 for an id without a position); made by velktool_setSrcPosId.
std::vector<int> sourcePlaces;

} // namespace

int setPos(const velkio_Positions *positions, const int *ids, int count,
           float **out)
{
    const std::unordered_map<int, int> places = firstPlaceOfId(positions);
    for (int i = 0; i < count; ++i) {
        auto found = places.find(ids[i]);
        const velkio_Position *p =
            found != places.end() ? positions->list[found->second] : nullptr;
        if (p == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "position id [%d] not found", ids[i]);
            return 1;
        }
        if (p->isCartesian != 0) {
            for (int c = 0; c < 3; ++c)
                out[i][c] = p->coords[c];
        } else if (velkio_Position_Convert(p, out[i], 1) == 1) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Position_Convert error");
            return 1;
        }
    }
    return 0;
}

void velktool_setMicPos(void)
{
    if (setPos(g.micXml != nullptr ? g.micXml->poses : nullptr, g.micPosId,
               g.nMic, g.micPos) == 1)
        velktool_Exit(1);
}

void velktool_setSrcPos(void)
{
    if (setPos(g.srcXml != nullptr ? g.srcXml->poses : nullptr, g.srcPosId,
               g.nSrc, g.srcPos) == 1)
        velktool_Exit(1);
}

void velktool_setMicPosId(const char *used)
{
    int j = 0;
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS && j < g.nMic; ++c)
        if (used[c] != 0)
            g.micPosId[j++] = c;
}

void velktool_setSrcPosId(void)
{
    const velkio_Positions *list = g.srcXml != nullptr ? g.srcXml->poses : nullptr;
    int count = velkio_Positions_getSize(list);
    for (int i = 0; i < g.nSrc && i < count; ++i)
        g.srcPosId[i] = list->list[i]->id;
    velktool_BubSort(g.srcPosId, g.nSrc);
    const std::unordered_map<int, int> places = firstPlaceOfId(list);
    sourcePlaces.assign((size_t)(g.nSrc > 0 ? g.nSrc : 0), -1);
    for (int s = 0; s < g.nSrc; ++s) {
        auto found = places.find(g.srcPosId[s]);
        if (found != places.end())
            sourcePlaces[(size_t)s] = found->second;
    }
}

const velkio_Position *velktool_sourcePosition(int s)
{
    const velkio_Positions *list = g.srcXml != nullptr ? g.srcXml->poses : nullptr;
    if (list == nullptr || g.srcPosId == nullptr || s < 0)
        return nullptr;
    const int id = g.srcPosId[s];
    // The place found by velktool_setSrcPosId, when it still holds the id
    // (a list changed since is looked up anew).
    if ((size_t)s < sourcePlaces.size()) {
        int place = sourcePlaces[(size_t)s];
        if (place >= 0 && place < list->count && list->list[place] != nullptr &&
            list->list[place]->id == id)
            return list->list[place];
    }
    return velkio_Positions_getById(list, id);
}

// Ascending, as the exchange sort of earlier releases left them (equal ints
// are indistinguishable, so any sort gives the same array), in n log n
// steps: a list of 100,000 positions no longer costs 5 * 10^9 comparisons.
void velktool_BubSort(int *v, int n)
{
    if (n > 1)
        std::sort(v, v + n);
    velktool_ShowData(v, n);
}

void velktool_ShowData(const int *v, int n)
{
    for (int i = 0; i < n; ++i)
        VELKIO_LOG(VELKIO_LOG_DEBUG, "x[%d]=%d ", i, v[i]);
}
