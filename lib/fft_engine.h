/*
 * Inside of the FFT engine (see fft.h), shared by lib/fft.cpp, which builds
 * the per-length tables and picks the kernels, and by the kernel units
 * (fft_baseline.cpp, fft_avx2.cpp), which run the transforms.  Plain data
 * only: the kernel units are compiled for different instruction sets, and
 * code shared between them could end up in the wrong one.
 */
#ifndef VELK_LIB_FFT_ENGINE_H
#define VELK_LIB_FFT_ENGINE_H

namespace velk_fft {

// Interleaved complex value; same layout as std::complex<T>.
template <typename T> struct Cx {
    T re;
    T im;
};

enum { MAX_PASSES = 16 };

// A complex transform of length n as self-sorting (Stockham) passes of
// radix 8, and a last pass of radix 4 or 2 when log2(n) is not a multiple
// of three.  A pass of radix r on sub-transforms of length L with stride s
// (L * s = n, m = L / r) maps, for p < m and q < s, the r values
// x[q + s (p + j m)], j < r, to y[q + s (r p + k)], k < r:
//   y[q + s (r p + k)] = w^(p k) sum_j x[q + s (p + j m)] e^(-2 pi i j k / r)
// with w = e^(-2 pi i / L) (the inverse conjugates every exponential).  The
// first pass has L = n; the output of the last one is in natural order.
template <typename T> struct Plan {
    int n;
    int passes;
    int radix[MAX_PASSES];
    // Radix-8 passes: w^(p k) at twiddles[pass][(k - 1) row + p], k = 1 .. 7,
    // p < m, with row = twiddleRow[pass] >= m.  The last pass of radix 4 or
    // 2 has m = 1 and needs none.
    const Cx<T> *twiddles[MAX_PASSES];
    int twiddleRow[MAX_PASSES];
    // Work buffer of n values.  A transform runs to its end before the next
    // one starts (the suite has no threads), so one buffer per length serves
    // every call.
    Cx<T> *work;
};

// A transform of a real signal of length n (n >= 2) through the complex
// transform of length n/2 of the signal's even samples in the real parts
// and its odd samples in the imaginary parts (z = x[2t] + i x[2t+1]).  With
// Z that transform, H = n/2 and, for 0 <= k <= n/4, u[k] = -i e^(-2 pi i k / n):
//   F = Z[k] + conj(Z[H-k]),  G = Z[k] - conj(Z[H-k])
//   X[k] = (F + u[k] G) / 2,  X[H-k] = conj(F - u[k] G) / 2
// and X[0] = Re Z[0] + Im Z[0], X[H] = Re Z[0] - Im Z[0].  The inverse
// folds the half spectrum back the same way into 2 Z, with conj(u[k]).
template <typename T> struct RealPlan {
    int n;
    const Plan<T> *half; // the complex transform of length n/2
    Cx<T> *u;            // n/4 + 1 values
    Cx<T> *fold;         // n/2 values: 2 Z of the inverse
};

// One set of kernels, compiled for one instruction set.  `inverse` selects
// the unscaled inverse transform.  The complex transform may run in place
// (in == out).
struct KernelSet {
    const char *name;
    void (*fTransform)(const Plan<float> *plan, const Cx<float> *in,
                       Cx<float> *out, int inverse);
    void (*dTransform)(const Plan<double> *plan, const Cx<double> *in,
                       Cx<double> *out, int inverse);
    // Bins 0 .. n/2 of the transform of the real signal in[0 .. n-1].
    void (*fRealForward)(const RealPlan<float> *plan, const float *in,
                         Cx<float> *out);
    void (*dRealForward)(const RealPlan<double> *plan, const double *in,
                         Cx<double> *out);
    // The real signal out[0 .. n-1] of the half spectrum in[0 .. n/2].
    void (*fRealInverse)(const RealPlan<float> *plan, const Cx<float> *in,
                         float *out);
    void (*dRealInverse)(const RealPlan<double> *plan, const Cx<double> *in,
                         double *out);
};

// The kernels every build has: the vectors of the build's baseline (16
// bytes on x86-64).
extern const KernelSet baselineKernels;
// 32-byte vectors with fused multiply-add, for processors with AVX2 and FMA
// (x86-64 builds only, where VELK_FFT_AVX2 is defined).
extern const KernelSet avx2Kernels;

} // namespace velk_fft

#endif /* VELK_LIB_FFT_ENGINE_H */
