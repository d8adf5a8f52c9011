// FFT engine (see fft.h): the per-length tables, the choice of kernels
// (fft_engine.h) and the public transforms.
#include "fft.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fft_engine.h"
#include "velkio.h"

namespace {

const double TWO_PI = 6.283185307179586;

using velk_fft::Cx;
using velk_fft::KernelSet;
using velk_fft::Plan;
using velk_fft::RealPlan;

[[noreturn]] void outOfMemory(const char *function)
{
    velkio_Log_printf_(VELKIO_LOG_ERROR, "malloc error", 0, function, __LINE__);
    exit(1);
}

// malloc of count elements of `size` bytes; a product that does not fit
// is treated like an exhausted heap.
void *allocOrExit(size_t count, size_t size, const char *function)
{
    if (size != 0 && count > SIZE_MAX / size)
        outOfMemory(function);
    void *p = malloc(count * size == 0 ? 1 : count * size);
    if (p == nullptr)
        outOfMemory(function);
    return p;
}

// A length the engine cannot handle is a programming error of the caller;
// stop rather than read or write outside the arrays.
void checkLength(int n, int minimum, const char *function)
{
    if (n == 0 && minimum <= 1)
        return;
    if (!velk_isFftLength(n, minimum)) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "invalid FFT length [%d]", 0,
                           function, __LINE__, n);
        exit(1);
    }
}

int log2Of(int n)
{
    int k = 0;
    while ((1 << k) < n)
        ++k;
    return k;
}

// cos and sin of 2 pi e / L (L a power of two), taken of an angle in the
// first octant and turned into place exactly, so that the table values
// keep the exact symmetries of the unit circle (w^(L/4) = -i and so on).
void rootOfUnity(long e, long L, double *c, double *s)
{
    if (L < 4) {
        e *= 4 / L;
        L = 4;
    }
    e &= L - 1;
    const long quarter = L / 4;
    const long quadrant = e / quarter, r = e % quarter;
    double cr, sr;
    if (2 * r <= quarter) {
        cr = cos(TWO_PI * (double)r / (double)L);
        sr = sin(TWO_PI * (double)r / (double)L);
    } else {
        cr = sin(TWO_PI * (double)(quarter - r) / (double)L);
        sr = cos(TWO_PI * (double)(quarter - r) / (double)L);
    }
    switch (quadrant) {
    case 0: *c = cr; *s = sr; break;
    case 1: *c = -sr; *s = cr; break;
    case 2: *c = -cr; *s = -sr; break;
    default: *c = sr; *s = -cr; break;
    }
}

// A block of `bytes` that starts half a page and a cache line past a page
// boundary.  Large blocks from malloc all start at the same place in their
// page, and so do the callers' arrays: a pass whose input and output lay
// at the same place in their pages would map the lines of its sixteen
// streams to the same few cache sets, which cannot hold them all.  Never
// released (tables live until the process ends).
void *offsetBlock(size_t bytes, const char *function)
{
    const size_t page = 4096, shift = page / 2 + 64;
    if (bytes > SIZE_MAX - page - shift)
        outOfMemory(function);
    char *raw = (char *)allocOrExit(bytes + page + shift, 1, function);
    uintptr_t start = ((uintptr_t)raw + page - 1) / page * page + shift;
    return raw + (start - (uintptr_t)raw);
}

// The plan of length n (see Plan in fft_engine.h), built on first use.
template <typename T> const Plan<T> *planFor(int n)
{
    static Plan<T> *plans[32];
    const int log2n = log2Of(n);
    if (plans[log2n] != nullptr)
        return plans[log2n];
    Plan<T> *plan = (Plan<T> *)allocOrExit(1, sizeof(Plan<T>), "planFor");
    memset((void *)plan, 0, sizeof *plan);
    plan->n = n;
    for (int e = log2n; e > 0; e -= 3)
        plan->radix[plan->passes++] = e >= 3 ? 8 : 1 << e;
    plan->work = (Cx<T> *)offsetBlock((size_t)n * sizeof(Cx<T>), "planFor");
    int L = n;
    for (int i = 0; i < plan->passes; L /= plan->radix[i], ++i) {
        if (plan->radix[i] != 8)
            continue;
        // Rows of the first pass are read side by side; two cache lines
        // between them keep long rows out of each other's cache sets.
        const int m = L / 8, row = m >= 64 ? m + 128 / (int)sizeof(Cx<T>) : m;
        Cx<T> *t = (Cx<T> *)allocOrExit(7 * (size_t)row, sizeof(Cx<T>), "planFor");
        for (int k = 1; k < 8; ++k) {
            for (int p = 0; p < m; ++p) {
                double c, s;
                rootOfUnity((long)p * k, L, &c, &s);
                t[(size_t)(k - 1) * row + p] = {(T)c, (T)-s};
            }
        }
        plan->twiddles[i] = t;
        plan->twiddleRow[i] = row;
    }
    plans[log2n] = plan;
    return plan;
}

// The plan of a real transform of length n >= 2 (see RealPlan).
template <typename T> const RealPlan<T> *realPlanFor(int n)
{
    static RealPlan<T> *plans[32];
    const int log2n = log2Of(n);
    if (plans[log2n] != nullptr)
        return plans[log2n];
    RealPlan<T> *plan = (RealPlan<T> *)allocOrExit(1, sizeof(RealPlan<T>), "realPlanFor");
    plan->n = n;
    plan->half = planFor<T>(n / 2);
    plan->u = (Cx<T> *)allocOrExit((size_t)n / 4 + 1, sizeof(Cx<T>), "realPlanFor");
    plan->fold = (Cx<T> *)allocOrExit((size_t)n / 2, sizeof(Cx<T>), "realPlanFor");
    for (int k = 0; k <= n / 4; ++k) {
        double c, s;
        rootOfUnity(k, n, &c, &s);
        plan->u[k] = {(T)-s, (T)-c}; // -i e^(-2 pi i k / n)
    }
    plans[log2n] = plan;
    return plan;
}

bool baselineOnly = false;

const KernelSet *bestKernels()
{
#if defined(VELK_FFT_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return &velk_fft::avx2Kernels;
#endif
    return &velk_fft::baselineKernels;
}

const KernelSet *kernels()
{
    static const KernelSet *best = bestKernels();
    return baselineOnly ? &velk_fft::baselineKernels : best;
}

void transform(const std::complex<float> *in, std::complex<float> *out, int n,
               int inverse)
{
    kernels()->fTransform(planFor<float>(n), reinterpret_cast<const Cx<float> *>(in),
                          reinterpret_cast<Cx<float> *>(out), inverse);
}

void transform(const std::complex<double> *in, std::complex<double> *out, int n,
               int inverse)
{
    kernels()->dTransform(planFor<double>(n), reinterpret_cast<const Cx<double> *>(in),
                          reinterpret_cast<Cx<double> *>(out), inverse);
}

void realForward(const float *in, std::complex<float> *out, int n)
{
    kernels()->fRealForward(realPlanFor<float>(n), in, reinterpret_cast<Cx<float> *>(out));
}

void realForward(const double *in, std::complex<double> *out, int n)
{
    kernels()->dRealForward(realPlanFor<double>(n), in, reinterpret_cast<Cx<double> *>(out));
}

void realInverse(const std::complex<float> *in, float *out, int n)
{
    kernels()->fRealInverse(realPlanFor<float>(n), reinterpret_cast<const Cx<float> *>(in), out);
}

void realInverse(const std::complex<double> *in, double *out, int n)
{
    kernels()->dRealInverse(realPlanFor<double>(n), reinterpret_cast<const Cx<double> *>(in), out);
}

template <typename T>
void complexTransform(const std::complex<T> *in, std::complex<T> *out, int n,
                      int inverse, const char *function)
{
    checkLength(n, 1, function);
    if (n > 0)
        transform(in, out, n, inverse);
}

// Bins 0 .. n/2 of the transform of the real signal in.
template <typename T>
void realHalf(const T *in, std::complex<T> *out, int n, const char *function)
{
    checkLength(n, 1, function);
    if (n == 1)
        out[0] = in[0];
    else if (n > 1)
        realForward(in, out, n);
}

// All n bins: the half spectrum and its mirror image.
template <typename T>
void realFull(const T *in, std::complex<T> *out, int n, const char *function)
{
    realHalf(in, out, n, function);
    for (int k = n / 2 + 1; k < n; ++k)
        out[k] = std::conj(out[n - k]);
}

template <typename T>
void realInverseChecked(const std::complex<T> *in, T *out, int n,
                        const char *function)
{
    checkLength(n, 4, function);
    realInverse(in, out, n);
}

} // namespace

int velk_isFftLength(long n, int minimum)
{
    if (n < 1 || n < minimum || n > (1L << 30))
        return 0;
    return (n & (n - 1)) == 0;
}

void velktool_FFTImpl_fFFT(const std::complex<float> *in,
                           std::complex<float> *out, int n)
{
    complexTransform(in, out, n, 0, __func__);
}

void velktool_FFTImpl_fFFTInv(const std::complex<float> *in,
                              std::complex<float> *out, int n)
{
    complexTransform(in, out, n, 1, __func__);
}

void velktool_FFTImpl_dFFT(const std::complex<double> *in,
                           std::complex<double> *out, int n)
{
    complexTransform(in, out, n, 0, __func__);
}

void velktool_FFTImpl_dFFTInv(const std::complex<double> *in,
                              std::complex<double> *out, int n)
{
    complexTransform(in, out, n, 1, __func__);
}

void velktool_FFTImpl_fRealFFT(const float *in, std::complex<float> *out,
                               int n)
{
    realFull(in, out, n, __func__);
}

void velktool_FFTImpl_dRealFFT(const double *in, std::complex<double> *out,
                               int n)
{
    realFull(in, out, n, __func__);
}

void velktool_FFTImpl_fRealFFTHalf(const float *in, std::complex<float> *out,
                                   int n)
{
    realHalf(in, out, n, __func__);
}

void velktool_FFTImpl_dRealFFTHalf(const double *in, std::complex<double> *out,
                                   int n)
{
    realHalf(in, out, n, __func__);
}

void velktool_FFTImpl_fRealFFTInv(const std::complex<float> *in, float *out,
                                  int n)
{
    realInverseChecked(in, out, n, __func__);
}

void velktool_FFTImpl_dRealFFTInv(const std::complex<double> *in, double *out,
                                  int n)
{
    realInverseChecked(in, out, n, __func__);
}

void velk_fftUseBaselineKernels(int on)
{
    baselineOnly = on != 0;
}

const char *velk_fftKernelName(void)
{
    return kernels()->name;
}

void velktool_swapFloatComplex(std::complex<float> *a, std::complex<float> *b)
{
    std::complex<float> t = *a;
    *a = *b;
    *b = t;
}

void velktool_swapDoubleComplex(std::complex<double> *a,
                                std::complex<double> *b)
{
    std::complex<double> t = *a;
    *a = *b;
    *b = t;
}

void fft(const double *x, double *re, double *im, int n)
{
    checkLength(n, 1, __func__);
    if (n == 0)
        return;
    std::complex<double> *buf = (std::complex<double> *)allocOrExit(
        (size_t)n / 2 + 1, sizeof(std::complex<double>), __func__);
    velktool_FFTImpl_dRealFFTHalf(x, buf, n);
    for (int k = 0; k < n; ++k) {
        std::complex<double> v = k <= n / 2 ? buf[k] : std::conj(buf[n - k]);
        re[k] = v.real();
        im[k] = v.imag();
    }
    free(buf);
}

void ifft(const double *inRe, const double *inIm, double *outRe, double *outIm,
          int n)
{
    checkLength(n, 1, __func__);
    std::complex<double> *buf = (std::complex<double> *)allocOrExit(
        (size_t)n, sizeof(std::complex<double>), __func__);
    memset((void *)buf, 0, (size_t)n * sizeof *buf);
    for (int k = 0; k < n; ++k)
        buf[k] = std::complex<double>(inRe[k], inIm[k]);
    velktool_FFTImpl_dFFTInv(buf, buf, n);
    for (int t = 0; t < n; ++t) {
        outRe[t] = buf[t].real();
        outIm[t] = buf[t].imag();
    }
    free(buf);
}
