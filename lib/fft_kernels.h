/*
 * The transforms of the FFT engine, written once over a "vector kind" P and
 * compiled by each kernel unit for its own instruction set.  Everything here
 * lies in an unnamed namespace and includes no other header with code, so
 * that each unit keeps its own copy: a copy compiled for AVX2 must never
 * stand in for the baseline one.
 *
 * A vector kind holds P::W complex values of type P::T, interleaved as in
 * memory, in a vector P::V that supports + - * lane by lane, and provides:
 *   load, store        W values from or to any address aligned for T
 *   splat(a)           a in every lane
 *   swap(v)            real and imaginary part of every value exchanged
 *   conj(v), negEven(v) imaginary, respectively real, parts negated
 *   addMinusI(a, d), addPlusI(a, d)  a + (-i) d, a + i d
 *   dupRe(v), dupIm(v) each value's real (imaginary) part in both its lanes
 *   bcastRe(p), bcastIm(p)  the real (imaginary) part of *p in every lane
 *   twIm(wi)           dupIm(w) prepared for cmul
 *   cmul(v, wr, wi)    v * w, w given as dupRe(w) and twIm(dupIm(w))
 *   cmulConj(v, wr, wi) v * conj(w)
 *   reverse(v)         the W values in reverse order
 *   transpose(v)       v[0 .. W-1] as a W x W matrix of complex values,
 *                      transposed
 */
#ifndef VELK_LIB_FFT_KERNELS_H
#define VELK_LIB_FFT_KERNELS_H

#include "fft_engine.h"

namespace {

using velk_fft::Cx;
using velk_fft::Plan;
using velk_fft::RealPlan;

const double SQRT_HALF = 0.70710678118654752440;

// ---------------------------------------------------------------------------
// Vector kinds through the compiler's portable vector extension, for every
// instruction set: two complex floats in 16 bytes, one complex float in 8,
// one complex double in 16.

struct Float2 {
    typedef float T;
    typedef float V __attribute__((vector_size(16)));
    typedef float VU __attribute__((vector_size(16), aligned(4), may_alias));
    typedef int I __attribute__((vector_size(16)));
    enum { W = 2 };
    static V load(const Cx<T> *p) { return *(const VU *)p; }
    static void store(Cx<T> *p, V v) { *(VU *)p = v; }
    static V splat(T a) { return V{a, a, a, a}; }
    static V swap(V v) { return __builtin_shufflevector(v, v, 1, 0, 3, 2); }
    static V flip(V v, I mask) { return (V)((I)v ^ mask); }
    static V conj(V v) { return flip(v, I{0, -0x7fffffff - 1, 0, -0x7fffffff - 1}); }
    static V negEven(V v) { return flip(v, I{-0x7fffffff - 1, 0, -0x7fffffff - 1, 0}); }
    static V addMinusI(V a, V d) { return a + conj(swap(d)); }
    static V addPlusI(V a, V d) { return a + negEven(swap(d)); }
    static V dupRe(V v) { return __builtin_shufflevector(v, v, 0, 0, 2, 2); }
    static V dupIm(V v) { return __builtin_shufflevector(v, v, 1, 1, 3, 3); }
    static V bcastRe(const Cx<T> *p) { return splat(p->re); }
    static V bcastIm(const Cx<T> *p) { return splat(p->im); }
    static V twIm(V wi) { return negEven(wi); }
    static V cmul(V v, V wr, V wi) { return v * wr + swap(v) * wi; }
    static V cmulConj(V v, V wr, V wi) { return v * wr - swap(v) * wi; }
    static V reverse(V v) { return __builtin_shufflevector(v, v, 2, 3, 0, 1); }
    static void transpose(V *v)
    {
        V a = v[0], b = v[1];
        v[0] = __builtin_shufflevector(a, b, 0, 1, 4, 5);
        v[1] = __builtin_shufflevector(a, b, 2, 3, 6, 7);
    }
};

// One complex value per vector: the kernels for strides and lengths too
// small for the wider kinds.
template <typename Scalar, typename Vec, typename Bits, typename BitsVec>
struct One {
    typedef Scalar T;
    typedef Vec V;
    typedef Vec VU __attribute__((aligned(sizeof(Scalar)), may_alias));
    enum { W = 1 };
    static const Bits SIGN = (Bits)1 << (8 * sizeof(Bits) - 1);
    static V load(const Cx<T> *p) { return *(const VU *)p; }
    static void store(Cx<T> *p, V v) { *(VU *)p = v; }
    static V splat(T a) { return V{a, a}; }
    static V swap(V v) { return __builtin_shufflevector(v, v, 1, 0); }
    static V flip(V v, BitsVec mask) { return (V)((BitsVec)v ^ mask); }
    static V conj(V v) { return flip(v, BitsVec{0, SIGN}); }
    static V negEven(V v) { return flip(v, BitsVec{SIGN, 0}); }
    static V addMinusI(V a, V d) { return a + conj(swap(d)); }
    static V addPlusI(V a, V d) { return a + negEven(swap(d)); }
    static V dupRe(V v) { return __builtin_shufflevector(v, v, 0, 0); }
    static V dupIm(V v) { return __builtin_shufflevector(v, v, 1, 1); }
    static V bcastRe(const Cx<T> *p) { return splat(p->re); }
    static V bcastIm(const Cx<T> *p) { return splat(p->im); }
    static V twIm(V wi) { return negEven(wi); }
    static V cmul(V v, V wr, V wi) { return v * wr + swap(v) * wi; }
    static V cmulConj(V v, V wr, V wi) { return v * wr - swap(v) * wi; }
    static V reverse(V v) { return v; }
    static void transpose(V *) {}
};

typedef float VFloat1 __attribute__((vector_size(8)));
typedef unsigned VFloat1Bits __attribute__((vector_size(8)));
typedef double VDouble1 __attribute__((vector_size(16)));
typedef unsigned long long VDouble1Bits __attribute__((vector_size(16)));
typedef One<float, VFloat1, unsigned, VFloat1Bits> Float1;
typedef One<double, VDouble1, unsigned long long, VDouble1Bits> Double1;

// ---------------------------------------------------------------------------
// Butterflies.  j stands for e^(-2 pi i / 4) = -i in a forward transform
// and for +i in an inverse one.

template <class P, bool inverse> struct Butterfly {
    typedef typename P::V V;

    // a + j d and a - j d.
    static V addJ(V a, V d) { return inverse ? P::addPlusI(a, d) : P::addMinusI(a, d); }
    static V subJ(V a, V d) { return inverse ? P::addMinusI(a, d) : P::addPlusI(a, d); }

    static V twiddle(V v, V wr, V wi)
    {
        return inverse ? P::cmulConj(v, wr, wi) : P::cmul(v, wr, wi);
    }

    // x0 .. x3 become the four outputs, in natural order.
    static void radix4(V &x0, V &x1, V &x2, V &x3)
    {
        V t0 = x0 + x2, t1 = x0 - x2, t2 = x1 + x3, d = x1 - x3;
        x0 = t0 + t2;
        x1 = addJ(t1, d);
        x2 = t0 - t2;
        x3 = subJ(t1, d);
    }

    // x[0 .. 7] become the eight outputs, in natural order: radix-4
    // butterflies on the sums a and on the differences b of x[j] and
    // x[j+4], the differences rotated by e^(-2 pi i j / 8) first (j b2, and
    // (1 + j) b1 / sqrt(2) and (j - 1) b3 / sqrt(2) with h = 1/sqrt(2)).
    static void radix8(V *x, V h)
    {
        V a0 = x[0] + x[4], a1 = x[1] + x[5], a2 = x[2] + x[6], a3 = x[3] + x[7];
        V b0 = x[0] - x[4], b1 = x[1] - x[5], b2 = x[2] - x[6], b3 = x[3] - x[7];
        radix4(a0, a1, a2, a3);
        V c1 = addJ(b1, b1) * h, c3 = subJ(b3, b3) * -h;
        V t0 = addJ(b0, b2), t1 = subJ(b0, b2), t2 = c1 + c3, d = c1 - c3;
        x[0] = a0;
        x[1] = t0 + t2;
        x[2] = a1;
        x[3] = addJ(t1, d);
        x[4] = a2;
        x[5] = t0 - t2;
        x[6] = a3;
        x[7] = subJ(t1, d);
    }
};

// ---------------------------------------------------------------------------
// Passes (see Plan in fft_engine.h for the indexing).

// The butterflies of one p with the vectors along q (s a multiple of
// P::W), the twiddles of p in every lane of wr[k], wi[k]; without them
// where they are all 1 (p = 0).
template <class P, bool inverse, bool twiddled>
void radix8Row(const Cx<typename P::T> *xp, Cx<typename P::T> *yp, int s,
               long sm, const typename P::V *wr, const typename P::V *wi)
{
    typedef Butterfly<P, inverse> B;
    typedef typename P::V V;
    const V h = P::splat((typename P::T)SQRT_HALF);
    for (int q = 0; q < s; q += P::W) {
        V v[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            v[j] = P::load(xp + q + j * sm);
        B::radix8(v, h);
        P::store(yp + q, v[0]);
#pragma GCC unroll 8
        for (int k = 1; k < 8; ++k)
            P::store(yp + q + (long)k * s,
                     twiddled ? B::twiddle(v[k], wr[k], wi[k]) : v[k]);
    }
}

// Radix 8 with the vectors along q: s a multiple of P::W.
template <class P, bool inverse>
void radix8AlongQ(const Cx<typename P::T> *x, Cx<typename P::T> *y, int L,
                  int s, const Cx<typename P::T> *tw, int row)
{
    typedef typename P::V V;
    const int m = L / 8;
    const long sm = (long)s * m;
    radix8Row<P, inverse, false>(x, y, s, sm, nullptr, nullptr);
    for (int p = 1; p < m; ++p) {
        V wr[8], wi[8];
#pragma GCC unroll 8
        for (int k = 1; k < 8; ++k) {
            wr[k] = P::bcastRe(tw + (long)(k - 1) * row + p);
            wi[k] = P::twIm(P::bcastIm(tw + (long)(k - 1) * row + p));
        }
        radix8Row<P, inverse, true>(x + (long)s * p, y + (long)s * 8 * p, s, sm, wr, wi);
    }
}

// Radix 8 of the first pass (s = 1) with the vectors along p, W values of
// p at a time (m a multiple of W); each lane's eight outputs are
// contiguous, so the results are transposed before they are stored.
template <class P, bool inverse>
void radix8AlongP(const Cx<typename P::T> *x, Cx<typename P::T> *y, int L,
                  const Cx<typename P::T> *tw, int row)
{
    typedef Butterfly<P, inverse> B;
    typedef typename P::V V;
    const int m = L / 8;
    const V h = P::splat((typename P::T)SQRT_HALF);
    for (int p = 0; p < m; p += P::W) {
        V v[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            v[j] = P::load(x + p + (long)j * m);
        B::radix8(v, h);
#pragma GCC unroll 8
        for (int k = 1; k < 8; ++k) {
            V t = P::load(tw + (long)(k - 1) * row + p);
            v[k] = B::twiddle(v[k], P::dupRe(t), P::twIm(P::dupIm(t)));
        }
#pragma GCC unroll 8
        for (int c = 0; c < 8; c += P::W) {
            P::transpose(v + c);
#pragma GCC unroll 8
            for (int l = 0; l < P::W; ++l)
                P::store(y + 8L * (p + l) + c, v[c + l]);
        }
    }
}

// The last pass when log2(n) is not a multiple of three: radix 4 or 2 with
// m = 1 (no twiddles), s = n / radix a multiple of P::W.
template <class P, bool inverse>
void radix4Last(const Cx<typename P::T> *x, Cx<typename P::T> *y, int s)
{
    typedef typename P::V V;
    for (int q = 0; q < s; q += P::W) {
        V a = P::load(x + q), b = P::load(x + q + s);
        V c = P::load(x + q + 2L * s), d = P::load(x + q + 3L * s);
        Butterfly<P, inverse>::radix4(a, b, c, d);
        P::store(y + q, a);
        P::store(y + q + s, b);
        P::store(y + q + 2L * s, c);
        P::store(y + q + 3L * s, d);
    }
}

template <class P>
void radix2Last(const Cx<typename P::T> *x, Cx<typename P::T> *y, int s)
{
    typedef typename P::V V;
    for (int q = 0; q < s; q += P::W) {
        V a = P::load(x + q), b = P::load(x + q + s);
        P::store(y + q, a + b);
        P::store(y + q + s, a - b);
    }
}

// ---------------------------------------------------------------------------
// Transforms over the vector kind P, with P1 (one value per vector) where
// P does not fit.

template <class P, class P1> struct Engine {
    typedef typename P::T T;
    typedef typename P::V V;

    template <bool inverse>
    static void pass(int radix, const Cx<T> *x, Cx<T> *y, int L, int s,
                     const Cx<T> *tw, int row)
    {
        const bool wide = s % P::W == 0;
        if (radix == 8) {
            if (wide)
                radix8AlongQ<P, inverse>(x, y, L, s, tw, row);
            else if (s == 1 && (L / 8) % P::W == 0)
                radix8AlongP<P, inverse>(x, y, L, tw, row);
            else
                radix8AlongQ<P1, inverse>(x, y, L, s, tw, row);
        } else if (radix == 4) {
            wide ? radix4Last<P, inverse>(x, y, s) : radix4Last<P1, inverse>(x, y, s);
        } else {
            wide ? radix2Last<P>(x, y, s) : radix2Last<P1>(x, y, s);
        }
    }

    // in may be out.  The passes alternate between out and the plan's work
    // buffer so that the last one writes out; a pass never reads the buffer
    // it writes.
    template <bool inverse>
    static void run(const Plan<T> *plan, const Cx<T> *in, Cx<T> *out)
    {
        const int n = plan->n;
        if (n == 1) {
            out[0] = in[0];
            return;
        }
        Cx<T> *work = plan->work;
        const Cx<T> *x = in;
        if (plan->passes % 2 == 1 && in == out) {
            __builtin_memcpy(work, in, (unsigned long)n * sizeof(Cx<T>));
            x = work;
        }
        int L = n, s = 1;
        for (int i = 0; i < plan->passes; ++i) {
            Cx<T> *y = (plan->passes - 1 - i) % 2 == 0 ? out : work;
            const int radix = plan->radix[i];
            pass<inverse>(radix, x, y, L, s, plan->twiddles[i], plan->twiddleRow[i]);
            x = y;
            L /= radix;
            s *= radix;
        }
    }

    static void transform(const Plan<T> *plan, const Cx<T> *in, Cx<T> *out,
                          int inverse)
    {
        inverse ? run<true>(plan, in, out) : run<false>(plan, in, out);
    }

    // The pair k, H-k of the split or fold step (see RealPlan); K is the
    // vector kind, k the first of its W values of k, j the first of the W
    // values of H-k, in reverse order.
    template <class K, bool inverse>
    static void splitPair(const Cx<T> *in, Cx<T> *out, const Cx<T> *u, int k,
                          int j, typename K::V scale)
    {
        typedef typename K::V KV;
        KV a = K::load(in + k), b = K::conj(K::reverse(K::load(in + j)));
        KV f = a + b, g = a - b;
        KV w = K::load(u + k);
        KV wr = K::dupRe(w), wi = K::twIm(K::dupIm(w));
        KV t = inverse ? K::cmulConj(g, wr, wi) : K::cmul(g, wr, wi);
        K::store(out + k, (f + t) * scale);
        K::store(out + j, K::reverse(K::conj((f - t) * scale)));
    }

    // Every pair k, H-k for k = 1 .. H/2, from in into out (which may be
    // in): vectors while the blocks at k and at H-k stay apart, then one
    // value at a time.
    template <bool inverse>
    static void splitPairs(const Cx<T> *in, Cx<T> *out, const Cx<T> *u, int H,
                           T scale)
    {
        int k = 1;
        const V vs = P::splat(scale);
        for (; 2 * k + 2 * P::W - 2 < H; k += P::W)
            splitPair<P, inverse>(in, out, u, k, H - k - P::W + 1, vs);
        const typename P1::V vs1 = P1::splat(scale);
        for (; 2 * k <= H; ++k)
            splitPair<P1, inverse>(in, out, u, k, H - k, vs1);
    }

    static void realForward(const RealPlan<T> *plan, const T *in, Cx<T> *out)
    {
        const int H = plan->n / 2;
        run<false>(plan->half, reinterpret_cast<const Cx<T> *>(in), out);
        const Cx<T> z0 = out[0];
        out[0] = {z0.re + z0.im, 0};
        out[H] = {z0.re - z0.im, 0};
        splitPairs<false>(out, out, plan->u, H, (T)0.5);
    }

    static void realInverse(const RealPlan<T> *plan, const Cx<T> *in, T *out)
    {
        const int H = plan->n / 2;
        Cx<T> *fold = plan->fold;
        fold[0] = {in[0].re + in[H].re, in[0].re - in[H].re};
        splitPairs<true>(in, fold, plan->u, H, (T)1);
        run<true>(plan->half, fold, reinterpret_cast<Cx<T> *>(out));
    }
};

// The kernel set of the float kinds F, F1 and the double kinds D, D1.
template <class F, class F1, class D, class D1>
constexpr velk_fft::KernelSet kernelSet(const char *name)
{
    return {name,
            Engine<F, F1>::transform,
            Engine<D, D1>::transform,
            Engine<F, F1>::realForward,
            Engine<D, D1>::realForward,
            Engine<F, F1>::realInverse,
            Engine<D, D1>::realInverse};
}

} // namespace

#endif /* VELK_LIB_FFT_KERNELS_H */
