// The archive as the checks see it: loaded with the library's loader,
// source positions in matrix order, matrix rows mapped to microphone
// positions through the channel list, and the window starts of the calcTF
// annotations.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "diagnose.h"
#include "fft.h"
#include "calctf.h"

namespace {

// Cartesian coordinates of a position; 1 when they cannot be had.
int cartesian(const velkio_Position *p, diag_Vec3 *out)
{
    float c[3];
    if (p->isCartesian) {
        c[0] = p->coords[0];
        c[1] = p->coords[1];
        c[2] = p->coords[2];
    } else if (velkio_Position_Convert(p, c, 1) != 0) {
        return 1;
    }
    if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2]))
        return 1;
    out->x = c[0];
    out->y = c[1];
    out->z = c[2];
    return 0;
}

// The channel of every matrix row: the sorted channel list of the first
// source position when it carries one (the generators take the channels
// in ascending order), else 0 .. rows-1.
int rowChannels(const char *path, const velkio_TransferFunction *tf, int rows,
                std::vector<int> *channels)
{
    const velkio_Position *first = tf->positions->list[0];
    channels->clear();
    if (first->useChannels == 1 && first->numChannels > 0) {
        channels->assign(first->channels, first->channels + first->numChannels);
        std::sort(channels->begin(), channels->end());
        if (std::adjacent_find(channels->begin(), channels->end()) != channels->end() ||
            channels->front() < 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s: the channel list of source position %d names a channel twice or "
                       "a negative channel; the rows cannot be matched with microphones",
                       path, first->id);
            return 1;
        }
    } else {
        for (int m = 0; m < rows; m++)
            channels->push_back(m);
    }
    if ((int)channels->size() != rows) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %d matrix rows for %d channels", path, rows,
                   (int)channels->size());
        return 1;
    }
    return 0;
}

// A float whose exponent bits are all set is Inf or NaN.
bool nonFinite(float v)
{
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7f800000u) == 0x7f800000u;
}

// The values of one matrix (source index `i`) that are NaN or Inf; the
// first one of the archive sets *firstSource and *firstRow.
long countNonFinite(const velkio_Matrix *m, int i, int *firstSource, int *firstRow)
{
    long count = 0;
    const float *x = reinterpret_cast<const float *>(m->data);
    const long values = 2L * m->rows * m->cols;
    // A quick pass over the bits first; the matrix is counted only
    // when it holds such a value.
    // (v * 0 is 0 for every finite v, NaN for Inf and NaN; four at a
    // time.)
    typedef float V4 __attribute__((vector_size(16)));
    typedef int I4 __attribute__((vector_size(16)));
    I4 notZero = {0, 0, 0, 0};
    const V4 zero = {0, 0, 0, 0};
    long j = 0;
    for (; j + 4 <= values; j += 4) {
        V4 v;
        memcpy(&v, x + j, sizeof v);
        notZero |= (v * zero != zero);
    }
    int any = notZero[0] | notZero[1] | notZero[2] | notZero[3];
    for (; j < values; j++)
        any |= !(x[j] * 0.0f == 0.0f);
    if (!any)
        return 0;
    for (long j = 0; j < values; j++)
        if (nonFinite(x[j])) {
            if (count == 0 && *firstSource < 0) {
                *firstSource = i;
                *firstRow = (int)(j / 2 / m->cols);
            }
            count++;
        }
    return count;
}

// Counts the non-finite values of every TF matrix as the loader reads it,
// those of the kind that is not held included.
int countVisitor(int kind, int source, const velkio_Matrix *m, void *context)
{
    diag_Archive *a = static_cast<diag_Archive *>(context);
    long n = countNonFinite(m, source, &a->firstNonFiniteSource, &a->firstNonFiniteChannel);
    if (kind == VELKIO_TF_LOC)
        a->nonFiniteLoc += n;
    else
        a->nonFiniteSep += n;
    return 0;
}

} // namespace

int diag_loadArchive(const char *path, diag_Archive *a)
{
    // The checks need one kind; the other is read, checked and counted but
    // not held.
    a->nonFiniteLoc = a->nonFiniteSep = 0;
    a->firstNonFiniteSource = a->firstNonFiniteChannel = -1;
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFileKeeping(
        path, "transfer function", VELKIO_TF_KEEP_ONE, countVisitor, a);
    if (tf == nullptr)
        return 1;
    a->tf = tf;
    const velkio_Config *cfg = tf->config;
    a->nfft = cfg != nullptr ? cfg->nfft : 0;
    a->rate = cfg != nullptr ? cfg->samplingRate : 0;
    if (!velk_isFftLength(a->nfft, 8) || a->nfft > (1 << 20) || a->rate < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s: the configuration gives nfft %d and sampling rate %d; the checks need "
                   "a power of two from 8 to 1048576 and a positive rate",
                   path, a->nfft, a->rate);
        return 1;
    }
    a->bins = a->nfft / 2 + 1;
    a->tspOffset = cfg->tspOffset;
    a->tspLength = cfg->tspLength;
    a->nSrc = velkio_Positions_getSize(tf->positions);
    velkio_Matrix **tfs = tf->nLocTFs > 0 ? tf->locTFs : tf->sepTFs;
    if (a->nSrc < 1 || tfs == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds no transfer functions to check", path);
        return 1;
    }
    a->fromSeparation = tf->nLocTFs > 0 ? 0 : 1;
    a->nMic = tfs[0]->rows;
    for (int s = 0; s < a->nSrc; s++) {
        const velkio_Position *p = tf->positions->list[s];
        diag_Vec3 v;
        if (cartesian(p, &v) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: source position %d has no usable coordinates",
                       path, p->id);
            return 1;
        }
        a->srcId.push_back(p->id);
        a->src.push_back(v);
    }
    if (rowChannels(path, tf, a->nMic, &a->micChannel) != 0)
        return 1;
    for (int m = 0; m < a->nMic; m++) {
        const velkio_Position *p = velkio_Positions_getById(tf->microphones, a->micChannel[m]);
        diag_Vec3 v;
        if (p == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s: microphones.xml has no position with id %d for channel %d", path,
                       a->micChannel[m], a->micChannel[m]);
            return 1;
        }
        if (cartesian(p, &v) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: microphone %d has no usable coordinates", path,
                       p->id);
            return 1;
        }
        a->mic.push_back(v);
    }
    if (a->firstNonFiniteSource >= 0) {
        a->firstNonFiniteSource = a->srcId[(size_t)a->firstNonFiniteSource];
        a->firstNonFiniteChannel = a->micChannel[(size_t)a->firstNonFiniteChannel];
    }
    a->offset.assign((size_t)a->nSrc, 0.0f);
    if (velk_readCalcTFOffsets(tf->archive, tf->positions,
                               a->fromSeparation ? "separation" : "localization",
                               a->offset.data()) != 0)
        return 1;
    for (int s = 0; s < a->nSrc; s++) {
        velkio_Matrix *m = tfs[s];
        // Separation TFs are conjugated spectra of the impulse responses.
        if (a->fromSeparation)
            for (int j = 0; j < m->rows * m->cols; j++)
                m->data[j] = std::conj(m->data[j]);
        a->H.push_back(m->data);
    }
    return 0;
}

void diag_freeArchive(diag_Archive *a)
{
    velkio_TransferFunction_delete(&a->tf);
    a->H.clear();
}
