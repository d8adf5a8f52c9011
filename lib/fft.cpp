// FFT engine (see fft.h): self-sorting radix-4 passes (plus one radix-2
// pass for odd powers of two) over 16-byte vectors, with per-length twiddle
// tables and work buffers built once per length.
#include "fft.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velkio.h"

namespace {

const double TWO_PI = 6.283185307179586;

// Interleaved complex value; same layout as std::complex<T>.
template <typename T> struct Cx {
    T re;
    T im;
};

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

// 16-byte vectors through the compiler's portable vector extension: two
// complex floats or one complex double per vector, interleaved as in memory.
template <typename T> struct Simd;

template <> struct Simd<float> {
    typedef float V __attribute__((vector_size(16)));
    typedef float VU __attribute__((vector_size(16), aligned(4)));
    typedef int Mask __attribute__((vector_size(16)));
    enum { PER = 2 }; // complex values per vector
    static V swap(V v) { return __builtin_shuffle(v, Mask{1, 0, 3, 2}); }
    static V alternate(float even, float odd) { return V{even, odd, even, odd}; }
    static V realParts(V w) { return __builtin_shuffle(w, Mask{0, 0, 2, 2}); }
    static V imagParts(V w) { return __builtin_shuffle(w, Mask{1, 1, 3, 3}); }
};

template <> struct Simd<double> {
    typedef double V __attribute__((vector_size(16)));
    typedef double VU __attribute__((vector_size(16), aligned(8)));
    typedef long long Mask __attribute__((vector_size(16)));
    enum { PER = 1 };
    static V swap(V v) { return __builtin_shuffle(v, Mask{1, 0}); }
    static V alternate(double even, double odd) { return V{even, odd}; }
    static V realParts(V w) { return __builtin_shuffle(w, Mask{0, 0}); }
    static V imagParts(V w) { return __builtin_shuffle(w, Mask{1, 1}); }
};

template <typename T> inline typename Simd<T>::V load(const Cx<T> *p)
{
    return *(const typename Simd<T>::VU *)p;
}

template <typename T> inline void store(Cx<T> *p, typename Simd<T>::V v)
{
    *(typename Simd<T>::VU *)p = v;
}

// Complex products v * w, lane by lane, with w given by its real parts
// duplicated (wr) and its imaginary parts as (-im, +im) (wi).
template <typename T>
inline typename Simd<T>::V cmul(typename Simd<T>::V v, typename Simd<T>::V wr,
                                typename Simd<T>::V wi)
{
    return v * wr + Simd<T>::swap(v) * wi;
}

// Multiplication by +i (forward) or -i (inverse), lane by lane.
template <typename T, bool inverse>
inline typename Simd<T>::V rotate(typename Simd<T>::V v)
{
    return Simd<T>::swap(v) *
           (inverse ? Simd<T>::alternate(1, -1) : Simd<T>::alternate(-1, 1));
}

template <typename T, bool inverse> inline Cx<T> rotate(Cx<T> a)
{
    return inverse ? Cx<T>{a.im, -a.re} : Cx<T>{-a.im, a.re};
}

template <typename T> inline Cx<T> operator+(Cx<T> a, Cx<T> b)
{
    return {a.re + b.re, a.im + b.im};
}

template <typename T> inline Cx<T> operator-(Cx<T> a, Cx<T> b)
{
    return {a.re - b.re, a.im - b.im};
}

template <typename T, bool inverse> inline Cx<T> twiddle(Cx<T> v, Cx<T> w)
{
    T wi = inverse ? -w.im : w.im;
    return {v.re * w.re - v.im * wi, v.re * wi + v.im * w.re};
}

// The transform runs as a sequence of self-sorting (Stockham) passes that
// read one buffer and write the other.  A radix-4 pass on sub-transforms of
// length L with stride s (L * s = n, m = L / 4) maps, for p < m and q < s,
//   a = x[q + s p], b = x[q + s (p+m)], c = x[q + s (p+2m)], d = x[q + s (p+3m)]
// to
//   y[q + s 4p]     = (a + c) + (b + d)
//   y[q + s (4p+1)] = w^p  ((a - c) - i (b - d))
//   y[q + s (4p+2)] = w^2p ((a + c) - (b + d))
//   y[q + s (4p+3)] = w^3p ((a - c) + i (b - d))
// with w = e^(-2 pi i / L) (forward; the inverse conjugates i and w).  The
// passes run with L = n, n/4, ... while L >= 4; when log2(n) is odd a last
// radix-2 pass with L = 2 follows.  The output is in natural order.

// Twiddles of the radix-4 passes, one pass after the other: for the pass
// of length L, w^p, then w^2p, then w^3p for p < L/4.
// Each plan also keeps the work buffer of its length: a transform runs to
// its end before the next one starts (the suite has no threads), so one
// buffer per length serves every call without an allocation per call.
template <typename T> struct Plan {
    int passes; // all passes, the radix-2 one included
    Cx<T> *twiddles;
    Cx<T> *work; // n values
};

template <typename T> const Plan<T> *planFor(int n)
{
    static Plan<T> *plans[32];
    int log2n = log2Of(n);
    if (plans[log2n] == nullptr) {
        Plan<T> *plan = (Plan<T> *)allocOrExit(1, sizeof(Plan<T>), "planFor");
        size_t entries = 0;
        plan->passes = 0;
        for (int L = n; L >= 4; L /= 4) {
            entries += 3 * (size_t)(L / 4);
            plan->passes += 1;
        }
        if (log2n % 2 == 1)
            plan->passes += 1;
        plan->twiddles = (Cx<T> *)allocOrExit(entries, sizeof(Cx<T>), "planFor");
        plan->work = (Cx<T> *)allocOrExit((size_t)n, sizeof(Cx<T>), "planFor");
        Cx<T> *t = plan->twiddles;
        for (int L = n; L >= 4; L /= 4) {
            const int m = L / 4;
            for (int k = 1; k <= 3; ++k) {
                for (int p = 0; p < m; ++p) {
                    double angle = (double)k * p * TWO_PI / L;
                    t[(k - 1) * m + p] = {(T)cos(angle), (T)-sin(angle)};
                }
            }
            t += 3 * m;
        }
        plans[log2n] = plan;
    }
    return plans[log2n];
}

// A radix-4 pass, one complex value at a time (any stride).
template <typename T, bool inverse>
void radix4Scalar(const Cx<T> *x, Cx<T> *y, int L, int s, const Cx<T> *tw)
{
    const int m = L / 4;
    for (int p = 0; p < m; ++p) {
        for (int q = 0; q < s; ++q) {
            Cx<T> a = x[q + s * p], b = x[q + s * (p + m)];
            Cx<T> c = x[q + s * (p + 2 * m)], d = x[q + s * (p + 3 * m)];
            Cx<T> apc = a + c, amc = a - c, bpd = b + d;
            Cx<T> jbmd = rotate<T, inverse>(b - d);
            y[q + s * 4 * p] = apc + bpd;
            y[q + s * (4 * p + 1)] = twiddle<T, inverse>(amc - jbmd, tw[p]);
            y[q + s * (4 * p + 2)] = twiddle<T, inverse>(apc - bpd, tw[m + p]);
            y[q + s * (4 * p + 3)] = twiddle<T, inverse>(amc + jbmd, tw[2 * m + p]);
        }
    }
}

// A radix-4 pass with a stride that is a multiple of the values per vector:
// vectors run along q, sharing one twiddle.
template <typename T, bool inverse>
void radix4AlongQ(const Cx<T> *x, Cx<T> *y, int L, int s, const Cx<T> *tw)
{
    typedef Simd<T> S;
    typedef typename S::V V;
    const int m = L / 4;
    const T sign = inverse ? 1 : -1; // (-im, +im), conjugated for the inverse
    for (int p = 0; p < m; ++p) {
        const Cx<T> t1 = tw[p], t2 = tw[m + p], t3 = tw[2 * m + p];
        const V w1r = S::alternate(t1.re, t1.re), w1i = S::alternate(sign * t1.im, -sign * t1.im);
        const V w2r = S::alternate(t2.re, t2.re), w2i = S::alternate(sign * t2.im, -sign * t2.im);
        const V w3r = S::alternate(t3.re, t3.re), w3i = S::alternate(sign * t3.im, -sign * t3.im);
        const Cx<T> *xa = x + s * p, *xb = x + s * (p + m);
        const Cx<T> *xc = x + s * (p + 2 * m), *xd = x + s * (p + 3 * m);
        Cx<T> *y0 = y + s * 4 * p, *y1 = y0 + s, *y2 = y1 + s, *y3 = y2 + s;
        for (int q = 0; q < s; q += S::PER) {
            V a = load(xa + q), b = load(xb + q), c = load(xc + q), d = load(xd + q);
            V apc = a + c, amc = a - c, bpd = b + d;
            V jbmd = rotate<T, inverse>(b - d);
            store(y0 + q, apc + bpd);
            store(y1 + q, cmul<T>(amc - jbmd, w1r, w1i));
            store(y2 + q, cmul<T>(apc - bpd, w2r, w2i));
            store(y3 + q, cmul<T>(amc + jbmd, w3r, w3i));
        }
    }
}

// The first radix-4 pass in single precision (stride 1): vectors run along
// p, two values of p at a time, and the results are interleaved back.
template <bool inverse>
void radix4AlongP(const Cx<float> *x, Cx<float> *y, int L, const Cx<float> *tw)
{
    typedef Simd<float> S;
    typedef S::V V;
    const int m = L / 4;
    const V imSign = inverse ? S::alternate(1, -1) : S::alternate(-1, 1);
    for (int p = 0; p < m; p += 2) {
        V a = load(x + p), b = load(x + p + m);
        V c = load(x + p + 2 * m), d = load(x + p + 3 * m);
        V apc = a + c, amc = a - c, bpd = b + d;
        V jbmd = rotate<float, inverse>(b - d);
        V t1 = load(tw + p), t2 = load(tw + m + p), t3 = load(tw + 2 * m + p);
        V x0 = apc + bpd;
        V x1 = cmul<float>(amc - jbmd, S::realParts(t1), S::imagParts(t1) * imSign);
        V x2 = cmul<float>(apc - bpd, S::realParts(t2), S::imagParts(t2) * imSign);
        V x3 = cmul<float>(amc + jbmd, S::realParts(t3), S::imagParts(t3) * imSign);
        store(y + 4 * p, __builtin_shuffle(x0, x1, S::Mask{0, 1, 4, 5}));
        store(y + 4 * p + 2, __builtin_shuffle(x2, x3, S::Mask{0, 1, 4, 5}));
        store(y + 4 * p + 4, __builtin_shuffle(x0, x1, S::Mask{2, 3, 6, 7}));
        store(y + 4 * p + 6, __builtin_shuffle(x2, x3, S::Mask{2, 3, 6, 7}));
    }
}

template <typename T, bool inverse>
void radix4Pass(const Cx<T> *x, Cx<T> *y, int L, int s, const Cx<T> *tw)
{
    if (s % Simd<T>::PER == 0) {
        radix4AlongQ<T, inverse>(x, y, L, s, tw);
        return;
    }
    if constexpr (Simd<T>::PER == 2) {
        if (s == 1 && L >= 8) {
            radix4AlongP<inverse>(x, y, L, tw);
            return;
        }
    }
    radix4Scalar<T, inverse>(x, y, L, s, tw);
}

// The last pass of an odd log2(n): L = 2, stride s = n / 2.
template <typename T> void radix2Pass(const Cx<T> *x, Cx<T> *y, int s)
{
    int q = 0;
    if (s % Simd<T>::PER == 0) {
        for (; q < s; q += Simd<T>::PER) {
            typename Simd<T>::V a = load(x + q), b = load(x + q + s);
            store(y + q, a + b);
            store(y + q + s, a - b);
        }
    }
    for (; q < s; ++q) {
        Cx<T> a = x[q], b = x[q + s];
        y[q] = a + b;
        y[q + s] = a - b;
    }
}

// Transform of src[0 .. n-1] into out (src may be out); n a power of two.
// `inverse` conjugates every twiddle and does not scale.
template <typename T, bool inverse>
void transformInto(const Cx<T> *src, Cx<T> *out, int n)
{
    if (n < 2) {
        if (n == 1)
            out[0] = src[0];
        return;
    }
    const Plan<T> *plan = planFor<T>(n);
    Cx<T> *work = plan->work;

    // Passes alternate between out and work so that the last one writes
    // out; a pass never reads the buffer it writes.
    int pass = 0;
    auto target = [&](int k) { return (plan->passes - 1 - k) % 2 == 0 ? out : work; };
    const Cx<T> *x = src;
    if (x == target(0)) {
        memcpy(work, src, (size_t)n * sizeof(Cx<T>));
        x = work;
    }
    const Cx<T> *tw = plan->twiddles;
    int L = n, s = 1;
    for (; L >= 4; L /= 4, s *= 4, ++pass) {
        Cx<T> *y = target(pass);
        radix4Pass<T, inverse>(x, y, L, s, tw);
        tw += 3 * (L / 4);
        x = y;
    }
    if (L == 2)
        radix2Pass(x, target(pass), s);
}

// In-place transform of x[0 .. n-1].
template <typename T, bool inverse> void transform(Cx<T> *x, int n)
{
    transformInto<T, inverse>(x, x, n);
}

template <typename T, bool inverse>
void complexTransform(const std::complex<T> *in, std::complex<T> *out, int n,
                      const char *function)
{
    checkLength(n, 1, function);
    transformInto<T, inverse>(reinterpret_cast<const Cx<T> *>(in),
                              reinterpret_cast<Cx<T> *>(out), n);
}

template <typename T>
void realForward(const T *in, std::complex<T> *out, int n,
                 const char *function)
{
    checkLength(n, 1, function);
    for (int t = 0; t < n; ++t)
        out[t] = std::complex<T>(in[t], 0);
    transform<T, false>(reinterpret_cast<Cx<T> *>(out), n);
}

// sin and cos of 2 pi k / n: the single-precision member takes them of the
// angle rounded to float, in single precision.
inline void halfAngle(float, int k, int n, double *s, double *c)
{
    float theta = (float)(k * TWO_PI / n);
    *s = sinf(theta);
    *c = cosf(theta);
}

inline void halfAngle(double, int k, int n, double *s, double *c)
{
    double theta = k * TWO_PI / n;
    *s = sin(theta);
    *c = cos(theta);
}

// Real signal from the half spectrum X[0 .. n/2] through one complex
// transform of length n/2: the bins are folded into Z so that the
// even-indexed samples land in the real parts and the odd-indexed ones in
// the imaginary parts.
template <typename T>
void realInverse(const std::complex<T> *X, T *out, int n, const char *function)
{
    checkLength(n, 4, function);
    const int H = n / 2, Q = n / 4;
    Cx<T> *Z = (Cx<T> *)allocOrExit((size_t)H, sizeof(Cx<T>), function);

    Z[0] = {(T)(0.5 * (X[0].real() + X[H].real())),
            (T)(0.5 * (X[0].real() - X[H].real()))};
    Z[Q] = {X[Q].real(), -X[Q].imag()};
    for (int k = 1; k < Q; ++k) {
        int j = H - k;
        double s, c;
        halfAngle(T(), k, n, &s, &c);
        double a = 0.5 * (1.0 - s), b = 0.5 * c;
        T d = X[k].real() - X[j].real();
        T e = X[k].imag() + X[j].imag();
        T Dr = (T)(a * d - b * e);
        T Di = (T)(a * e + b * d);
        Z[k] = {X[j].real() + Dr, Di - X[j].imag()};
        Z[j] = {X[k].real() - Dr, Di - X[k].imag()};
    }

    transform<T, true>(Z, H);
    for (int t = 0; t < H; ++t) {
        out[2 * t] = 2 * Z[t].re;
        out[2 * t + 1] = 2 * Z[t].im;
    }
    free(Z);
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
    complexTransform<float, false>(in, out, n, __func__);
}

void velktool_FFTImpl_fFFTInv(const std::complex<float> *in,
                              std::complex<float> *out, int n)
{
    complexTransform<float, true>(in, out, n, __func__);
}

void velktool_FFTImpl_dFFT(const std::complex<double> *in,
                           std::complex<double> *out, int n)
{
    complexTransform<double, false>(in, out, n, __func__);
}

void velktool_FFTImpl_dFFTInv(const std::complex<double> *in,
                              std::complex<double> *out, int n)
{
    complexTransform<double, true>(in, out, n, __func__);
}

void velktool_FFTImpl_fRealFFT(const float *in, std::complex<float> *out,
                               int n)
{
    realForward(in, out, n, __func__);
}

void velktool_FFTImpl_dRealFFT(const double *in, std::complex<double> *out,
                               int n)
{
    realForward(in, out, n, __func__);
}

void velktool_FFTImpl_fRealFFTInv(const std::complex<float> *in, float *out,
                                  int n)
{
    realInverse(in, out, n, __func__);
}

void velktool_FFTImpl_dRealFFTInv(const std::complex<double> *in, double *out,
                                  int n)
{
    realInverse(in, out, n, __func__);
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
    std::complex<double> *buf = (std::complex<double> *)allocOrExit(
        (size_t)n, sizeof(std::complex<double>), __func__);
    memset((void *)buf, 0, (size_t)n * sizeof *buf);
    velktool_FFTImpl_dRealFFT(x, buf, n);
    for (int k = 0; k < n; ++k) {
        re[k] = buf[k].real();
        im[k] = buf[k].imag();
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
