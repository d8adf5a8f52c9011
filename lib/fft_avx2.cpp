// The FFT kernels on 32-byte vectors with fused multiply-add: four complex
// floats or two complex doubles per vector.  This unit alone is compiled
// for AVX2 and FMA; fft.cpp calls it only when the processor has both.
#include <immintrin.h>

#include "fft_engine.h"
#include "fft_kernels.h"

namespace {

struct Float4 {
    typedef float T;
    typedef __m256 V;
    enum { W = 4 };
    static V load(const Cx<T> *p) { return _mm256_loadu_ps(&p->re); }
    static void store(Cx<T> *p, V v) { _mm256_storeu_ps(&p->re, v); }
    static V splat(T a) { return _mm256_set1_ps(a); }
    static V swap(V v) { return _mm256_permute_ps(v, 0xB1); }
    static V conj(V v)
    {
        return _mm256_xor_ps(v, _mm256_setr_ps(0.f, -0.f, 0.f, -0.f, 0.f, -0.f, 0.f, -0.f));
    }
    static V negEven(V v)
    {
        return _mm256_xor_ps(v, _mm256_setr_ps(-0.f, 0.f, -0.f, 0.f, -0.f, 0.f, -0.f, 0.f));
    }
    // a + (-i) d: the swapped d added to the real parts and subtracted from
    // the imaginary ones (a * 1 + or - swap(d), exact in the product);
    // a + i d the other way round.
    static V addMinusI(V a, V d) { return _mm256_fmsubadd_ps(a, _mm256_set1_ps(1.f), swap(d)); }
    static V addPlusI(V a, V d) { return _mm256_addsub_ps(a, swap(d)); }
    static V dupRe(V v) { return _mm256_moveldup_ps(v); }
    static V dupIm(V v) { return _mm256_movehdup_ps(v); }
    static V bcastRe(const Cx<T> *p) { return _mm256_broadcast_ss(&p->re); }
    static V bcastIm(const Cx<T> *p) { return _mm256_broadcast_ss(&p->im); }
    // Even lanes (real parts) subtract the swapped product, odd lanes add
    // it: v * w in one fused step after one product.
    static V twIm(V wi) { return wi; }
    static V cmul(V v, V wr, V wi)
    {
        return _mm256_fmaddsub_ps(v, wr, _mm256_mul_ps(swap(v), wi));
    }
    static V cmulConj(V v, V wr, V wi)
    {
        return _mm256_fmsubadd_ps(v, wr, _mm256_mul_ps(swap(v), wi));
    }
    static V reverse(V v)
    {
        return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0x1B));
    }
    // A complex float is one 64-bit lane: a 4 x 4 transpose of doubles.
    static void transpose(V *v)
    {
        __m256d r0 = _mm256_castps_pd(v[0]), r1 = _mm256_castps_pd(v[1]);
        __m256d r2 = _mm256_castps_pd(v[2]), r3 = _mm256_castps_pd(v[3]);
        __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
        __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
        v[0] = _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x20));
        v[1] = _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x20));
        v[2] = _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x31));
        v[3] = _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x31));
    }
};

struct Double2 {
    typedef double T;
    typedef __m256d V;
    enum { W = 2 };
    static V load(const Cx<T> *p) { return _mm256_loadu_pd(&p->re); }
    static void store(Cx<T> *p, V v) { _mm256_storeu_pd(&p->re, v); }
    static V splat(T a) { return _mm256_set1_pd(a); }
    static V swap(V v) { return _mm256_permute_pd(v, 0x5); }
    static V conj(V v) { return _mm256_xor_pd(v, _mm256_setr_pd(0., -0., 0., -0.)); }
    static V negEven(V v) { return _mm256_xor_pd(v, _mm256_setr_pd(-0., 0., -0., 0.)); }
    static V addMinusI(V a, V d) { return _mm256_fmsubadd_pd(a, _mm256_set1_pd(1.), swap(d)); }
    static V addPlusI(V a, V d) { return _mm256_addsub_pd(a, swap(d)); }
    static V dupRe(V v) { return _mm256_movedup_pd(v); }
    static V dupIm(V v) { return _mm256_permute_pd(v, 0xF); }
    static V bcastRe(const Cx<T> *p) { return _mm256_broadcast_sd(&p->re); }
    static V bcastIm(const Cx<T> *p) { return _mm256_broadcast_sd(&p->im); }
    static V twIm(V wi) { return wi; }
    static V cmul(V v, V wr, V wi)
    {
        return _mm256_fmaddsub_pd(v, wr, _mm256_mul_pd(swap(v), wi));
    }
    static V cmulConj(V v, V wr, V wi)
    {
        return _mm256_fmsubadd_pd(v, wr, _mm256_mul_pd(swap(v), wi));
    }
    static V reverse(V v) { return _mm256_permute2f128_pd(v, v, 0x01); }
    static void transpose(V *v)
    {
        V a = v[0], b = v[1];
        v[0] = _mm256_permute2f128_pd(a, b, 0x20);
        v[1] = _mm256_permute2f128_pd(a, b, 0x31);
    }
};

} // namespace

constinit const velk_fft::KernelSet velk_fft::avx2Kernels =
    kernelSet<Float4, Float1, Double2, Double1>("avx2-fma");
