// The bins of a pure delay (velktool_delayTF) in vector steps: one template
// for every vector width, so that each width gives the same values to the
// last bit (element-wise IEEE operations in the same order, no fused
// multiply-add).  calctfgeo.cpp instantiates it on two doubles per vector
// (any x86-64 processor), delay_avx.cpp on four (AVX).
#ifndef VELKTOOL_DELAY_KERNELS_H
#define VELKTOOL_DELAY_KERNELS_H

#include <cmath>
#include <cstring>

#include "velktool.h"

namespace velk_delay {

typedef double Double2 __attribute__((vector_size(16)));
typedef float Float2 __attribute__((vector_size(8)));
typedef float Float4 __attribute__((vector_size(16)));

// A vector width: D holds the bins' doubles, F their floats, Pair the
// complex floats of the lanes side by side as stored (the four-double width
// is delay_avx.cpp's own).
struct Two {
    typedef Double2 D;
    typedef Float2 F;
    typedef Float4 Pair;
    enum { lanes = 2 };
    static D splat(double x) { return D{x, x}; }
    static D iota() { return D{0, 1}; }
    static Pair interleave(F re, F im) { return __builtin_shufflevector(re, im, 0, 2, 1, 3); }
};

// The lanes' bins kk of a block whose first bin is e^(i phase) = sr + i si
// and whose bins are w = wr + i wi times that: the phase in double precision
// (its division by nfft is a multiplication by the exact 1/nfft when nfft
// is a power of two), its rounding to float, and the rotation by the
// rounding difference d by its power series.
template <typename W, bool PowerOfTwo>
__attribute__((always_inline)) inline typename W::Pair
laneBins(const typename W::D &kk, const typename W::D &turn, const typename W::D &nfft,
         const typename W::D &inverse, const typename W::D &sr, const typename W::D &si,
         const typename W::D &wr, const typename W::D &wi)
{
    typedef typename W::D D;
    typedef typename W::F F;
    D phase = PowerOfTwo ? -((kk * turn) * inverse) : -((kk * turn) / nfft);
    D rounded = __builtin_convertvector(__builtin_convertvector(phase, F), D);
    D d = rounded - phase, d2 = d * d;
    D c = 1 - d2 * (1.0 / 2 - d2 * (1.0 / 24 - d2 * (1.0 / 720)));
    D s = d * (1 - d2 * (1.0 / 6 - d2 * (1.0 / 120)));
    D zr = sr * wr - si * wi, zi = sr * wi + si * wr;
    // A phase of zero (bin 0, or no delay) is 1 with the zero's sign as the
    // sine part, as sinf gives it.
    auto zero = rounded == 0;
    D re = zero ? W::splat(1) : zr * c - zi * s;
    D im = zero ? rounded : zi * c + zr * s;
    return W::interleave(__builtin_convertvector(re, F), __builtin_convertvector(im, F));
}

// Bins 0 .. n-1 in blocks of eight: the first bin of each block by
// rotations of the previous one by e^(8 i step), re-seeded with an exact
// sine and cosine every 64 bins; w[j] = e^(i j step), j = 0 .. 8.
template <typename W, bool PowerOfTwo>
__attribute__((always_inline)) inline void blocks(double turn, int nfft, int n, const double *wr,
                                                  const double *wi, velktool_ComplexFloat *bins)
{
    typedef typename W::D D;
    enum { groups = 8 / W::lanes };
    const D vturn = W::splat(turn), vnfft = W::splat((double)nfft);
    const D inverse = W::splat(1.0 / nfft);
    D vwr[groups], vwi[groups];
    memcpy((void *)vwr, wr, sizeof vwr);
    memcpy((void *)vwi, wi, sizeof vwi);
    const D w8r = W::splat(wr[8]), w8i = W::splat(wi[8]), step = W::splat(W::lanes);
    D sr = W::splat(1), si = W::splat(0), kk = W::iota();
    for (int k0 = 0; k0 < n; k0 += 8) {
        if (k0 % 64 == 0) {
            double s, c;
            sincos(-((double)k0 * turn / nfft), &s, &c);
            sr = W::splat(c);
            si = W::splat(s);
        }
        typename W::Pair out[groups];
        for (int q = 0; q < groups; q++) {
            out[q] = laneBins<W, PowerOfTwo>(kk, vturn, vnfft, inverse, sr, si, vwr[q], vwi[q]);
            kk += step;
        }
        const int count = n - k0 < 8 ? n - k0 : 8;
        memcpy((void *)(bins + k0), out, (size_t)count * sizeof *bins);
        D next = sr * w8r - si * w8i;
        si = sr * w8i + si * w8r;
        sr = next;
    }
}

template <typename W>
__attribute__((always_inline)) inline void delayBins(double turn, int nfft, int n,
                                                     const double *wr, const double *wi,
                                                     velktool_ComplexFloat *bins)
{
    if ((nfft & (nfft - 1)) == 0)
        blocks<W, true>(turn, nfft, n, wr, wi, bins);
    else
        blocks<W, false>(turn, nfft, n, wr, wi, bins);
}

// The AVX instantiation (delay_avx.cpp).
void delayBinsAvx(double turn, int nfft, int n, const double *wr, const double *wi,
                  velktool_ComplexFloat *bins);

} // namespace velk_delay

#endif
