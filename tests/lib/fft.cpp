// The FFT engine against a direct DFT computed in long double, on each of
// its kernel sets.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "fft.h"

namespace {

typedef std::complex<long double> cld;
const long double PI_L = 3.141592653589793238462643383279502884L;

// The bins compared: all of them up to n = 1024, else 512 bins spread over
// the whole range (a direct DFT of every bin would be too slow).
std::vector<size_t> checkedBins(size_t n)
{
    std::vector<size_t> bins;
    if (n <= 1024) {
        for (size_t k = 0; k < n; ++k)
            bins.push_back(k);
        return bins;
    }
    size_t stride = n / 512;
    for (size_t i = 0; i < 512; ++i)
        bins.push_back(i * stride + (i * 37) % stride);
    return bins;
}

// Direct DFT with the exponent sign `sign` (-1 forward, +1 inverse),
// unscaled, with exact twiddles e^(sign 2 pi i m / n); the value of every
// bin of checkedBins(n), in that order.
template <typename T>
std::vector<cld> directDft(const std::vector<std::complex<T>> &x, int sign)
{
    const size_t n = x.size();
    std::vector<long double> wr(n), wi(n), xr(n), xi(n);
    for (size_t m = 0; m < n; ++m) {
        wr[m] = cosl(2 * PI_L * m / n);
        wi[m] = sign * sinl(2 * PI_L * m / n);
        xr[m] = x[m].real();
        xi[m] = x[m].imag();
    }
    std::vector<cld> out;
    for (size_t k : checkedBins(n)) {
        long double sr = 0, si = 0;
        size_t m = 0; // k * t mod n
        for (size_t t = 0; t < n; ++t) {
            sr += xr[t] * wr[m] - xi[t] * wi[m];
            si += xr[t] * wi[m] + xi[t] * wr[m];
            m += k;
            if (m >= n)
                m -= n;
        }
        out.push_back(cld(sr, si));
    }
    return out;
}

// Relative RMS difference between a result and the reference, over the
// checked bins.
template <typename T>
double relRms(const std::vector<std::complex<T>> &got,
              const std::vector<cld> &ref)
{
    std::vector<size_t> bins = checkedBins(got.size());
    long double err = 0, norm = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const std::complex<T> &v = got[bins[i]];
        err += std::norm(cld(v.real(), v.imag()) - ref[i]);
        norm += std::norm(ref[i]);
    }
    return norm == 0 ? std::sqrt((double)err) : std::sqrt((double)(err / norm));
}

template <typename T> std::vector<std::complex<T>> randomSignal(int n, bool real)
{
    std::mt19937 rng(1234u + n);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<std::complex<T>> x(n);
    for (auto &v : x)
        v = std::complex<T>((T)u(rng), real ? 0 : (T)u(rng));
    return x;
}

template <typename T> double tolerance();
template <> double tolerance<float>() { return 2e-6; }
template <> double tolerance<double>() { return 1e-14; }

void complexFFT(const std::complex<float> *in, std::complex<float> *out, int n, bool inv)
{
    inv ? velktool_FFTImpl_fFFTInv(in, out, n) : velktool_FFTImpl_fFFT(in, out, n);
}
void complexFFT(const std::complex<double> *in, std::complex<double> *out, int n, bool inv)
{
    inv ? velktool_FFTImpl_dFFTInv(in, out, n) : velktool_FFTImpl_dFFT(in, out, n);
}
void realFFT(const float *in, std::complex<float> *out, int n) { velktool_FFTImpl_fRealFFT(in, out, n); }
void realFFT(const double *in, std::complex<double> *out, int n) { velktool_FFTImpl_dRealFFT(in, out, n); }
void realFFTInv(const std::complex<float> *in, float *out, int n) { velktool_FFTImpl_fRealFFTInv(in, out, n); }
void realFFTInv(const std::complex<double> *in, double *out, int n) { velktool_FFTImpl_dRealFFTInv(in, out, n); }

void realFFTHalf(const float *in, std::complex<float> *out, int n) { velktool_FFTImpl_fRealFFTHalf(in, out, n); }
void realFFTHalf(const double *in, std::complex<double> *out, int n) { velktool_FFTImpl_dRealFFTHalf(in, out, n); }

// Runs check on the baseline kernels and on the best ones the processor
// offers (the same set twice where it offers nothing wider).
template <typename F> void onEachKernelSet(F check)
{
    for (int baseline : {1, 0}) {
        velk_fftUseBaselineKernels(baseline);
        SCOPED_TRACE(velk_fftKernelName());
        check();
    }
}

template <typename T> class FftTest : public ::testing::Test {};
typedef ::testing::Types<float, double> Precisions;
TYPED_TEST_SUITE(FftTest, Precisions);

TYPED_TEST(FftTest, ComplexTransformsMatchDirectDft)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        for (int n = 4; n <= 4096; n *= 2) {
            auto x = randomSignal<T>(n, false);
            for (bool inv : {false, true}) {
                std::vector<std::complex<T>> out(n);
                complexFFT(x.data(), out.data(), n, inv);
                EXPECT_LE(relRms(out, directDft(x, inv ? +1 : -1)), tolerance<T>())
                    << "n=" << n << " inverse=" << inv;
                // In place gives the same values as out of place.
                std::vector<std::complex<T>> inPlace = x;
                complexFFT(inPlace.data(), inPlace.data(), n, inv);
                EXPECT_EQ(inPlace, out) << "n=" << n;
            }
        }
    });
}

TYPED_TEST(FftTest, RealForwardGivesFullHermitianSpectrum)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        for (int n = 4; n <= 4096; n *= 2) {
            auto x = randomSignal<T>(n, true);
            std::vector<T> real(n);
            for (int t = 0; t < n; ++t)
                real[t] = x[t].real();
            std::vector<std::complex<T>> out(n);
            realFFT(real.data(), out.data(), n);
            EXPECT_LE(relRms(out, directDft(x, -1)), tolerance<T>()) << "n=" << n;
            for (int k = 1; k < n; ++k) {
                EXPECT_NEAR(out[n - k].real(), out[k].real(), 1e2 * tolerance<T>());
                EXPECT_NEAR(out[n - k].imag(), -out[k].imag(), 1e2 * tolerance<T>());
            }
        }
    });
}

TYPED_TEST(FftTest, RealHalfSpectrumWritesBinsUpToHalfOnly)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        for (int n = 1; n <= 4096; n *= 2) {
            auto x = randomSignal<T>(n, true);
            std::vector<T> real(n);
            for (int t = 0; t < n; ++t)
                real[t] = x[t].real();
            const std::vector<T> input = real;
            // One value more than the n/2 + 1 bins: it must keep its value.
            const std::complex<T> guard(7, -7);
            std::vector<std::complex<T>> half(n / 2 + 2, guard);
            realFFTHalf(real.data(), half.data(), n);
            EXPECT_EQ(half[n / 2 + 1], guard) << "n=" << n;
            EXPECT_EQ(real, input) << "n=" << n;
            EXPECT_EQ(half[0].imag(), 0) << "n=" << n;
            EXPECT_EQ(half[n / 2].imag(), 0) << "n=" << n;
            std::vector<std::complex<T>> full(n);
            for (int k = 0; k < n; ++k)
                full[k] = k <= n / 2 ? half[k] : std::conj(half[n - k]);
            EXPECT_LE(relRms(full, directDft(x, -1)), tolerance<T>()) << "n=" << n;
        }
    });
}

TYPED_TEST(FftTest, RealInverseUsesHalfSpectrumOnly)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        for (int n = 4; n <= 4096; n *= 2) {
            const int h = n / 2;
            // Random bins 0 .. n/2, imaginary parts of 0 and n/2 included.
            auto half = randomSignal<T>(h + 1, false);
            // Reference: the Hermitian extension, whose bins 0 and n/2 are real.
            std::vector<std::complex<T>> full(n);
            full[0] = half[0].real();
            full[h] = half[h].real();
            for (int k = 1; k < h; ++k) {
                full[k] = half[k];
                full[n - k] = std::conj(half[k]);
            }
            std::vector<cld> ref = directDft(full, +1);

            // Bins above n/2 must not be read: pad with values that would show.
            std::vector<std::complex<T>> in(half);
            in.resize(n, std::complex<T>(1e6, -1e6));
            std::vector<T> out(n);
            realFFTInv(in.data(), out.data(), n);
            std::vector<std::complex<T>> got(out.begin(), out.end());
            EXPECT_LE(relRms(got, ref), tolerance<T>()) << "n=" << n;
        }
    });
}

TYPED_TEST(FftTest, RealRoundTripIgnoresImaginaryOfEdgeBins)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        const int n = 64;
        auto x = randomSignal<T>(n, true);
        std::vector<T> real(n), back(n), back2(n);
        for (int t = 0; t < n; ++t)
            real[t] = x[t].real();
        std::vector<std::complex<T>> spectrum(n);
        realFFT(real.data(), spectrum.data(), n);
        realFFTInv(spectrum.data(), back.data(), n);
        for (int t = 0; t < n; ++t)
            EXPECT_NEAR(back[t], n * real[t], n * 1e3 * tolerance<T>());
        spectrum[0].imag(5);
        spectrum[n / 2].imag(-7);
        realFFTInv(spectrum.data(), back2.data(), n);
        EXPECT_EQ(back, back2);
    });
}

TYPED_TEST(FftTest, ForwardThenInverseIsNTimesInput)
{
    typedef TypeParam T;
    onEachKernelSet([&] {
        for (int n : {1, 2, 8, 1024}) {
            auto x = randomSignal<T>(n, false);
            std::vector<std::complex<T>> y(n), z(n);
            complexFFT(x.data(), y.data(), n, false);
            complexFFT(y.data(), z.data(), n, true);
            for (int t = 0; t < n; ++t) {
                EXPECT_NEAR(z[t].real(), n * x[t].real(), n * 1e2 * tolerance<T>());
                EXPECT_NEAR(z[t].imag(), n * x[t].imag(), n * 1e2 * tolerance<T>());
            }
        }
    });
}

TYPED_TEST(FftTest, SmallLengthsAndImpulses)
{
    typedef TypeParam T;
    typedef std::complex<T> C;
    for (bool inv : {false, true}) {
        C one[1] = {C(3, -2)}, oneOut[1];
        complexFFT(one, oneOut, 1, inv);
        EXPECT_EQ(oneOut[0], one[0]);
        C two[2] = {C(1, 2), C(5, -1)}, twoOut[2];
        complexFFT(two, twoOut, 2, inv);
        EXPECT_EQ(twoOut[0], C(6, 1));
        EXPECT_EQ(twoOut[1], C(-4, 3));
    }
    const int n = 16;
    std::vector<C> imp0(n), imp1(n), out(n);
    imp0[0] = 1;
    imp1[1] = 1;
    complexFFT(imp0.data(), out.data(), n, false);
    for (int k = 0; k < n; ++k)
        EXPECT_EQ(out[k], C(1, 0));
    complexFFT(imp1.data(), out.data(), n, false);
    for (int k = 0; k < n; ++k) {
        double angle = -2 * M_PI * k / n;
        EXPECT_NEAR(out[k].real(), cos(angle), 1e-6);
        EXPECT_NEAR(out[k].imag(), sin(angle), 1e-6);
    }
}

TEST(FftAccuracy, LongTransforms)
{
    const int n = 16384;
    onEachKernelSet([&] {
        auto xf = randomSignal<float>(n, false);
        std::vector<std::complex<float>> of(n);
        velktool_FFTImpl_fFFT(xf.data(), of.data(), n);
        EXPECT_LE(relRms(of, directDft(xf, -1)), 2e-6);
        auto xd = randomSignal<double>(n, false);
        std::vector<std::complex<double>> od(n);
        velktool_FFTImpl_dFFT(xd.data(), od.data(), n);
        EXPECT_LE(relRms(od, directDft(xd, -1)), 1e-14);
        // Real input: the real parts of xf, through the half-length transform.
        std::vector<float> rf(n);
        for (int t = 0; t < n; ++t) {
            rf[t] = xf[t].real();
            xf[t].imag(0);
        }
        velktool_FFTImpl_fRealFFT(rf.data(), of.data(), n);
        EXPECT_LE(relRms(of, directDft(xf, -1)), 2e-6);
    });
}

TEST(FftAdapters, SplitForwardAndInverse)
{
    const int n = 32;
    auto x = randomSignal<double>(n, true);
    std::vector<double> real(n), re(n), im(n), backRe(n), backIm(n);
    for (int t = 0; t < n; ++t)
        real[t] = x[t].real();
    fft(real.data(), re.data(), im.data(), n);
    std::vector<cld> ref = directDft(x, -1);
    for (int k = 0; k < n; ++k) {
        EXPECT_NEAR(re[k], (double)ref[k].real(), 1e-12);
        EXPECT_NEAR(im[k], (double)ref[k].imag(), 1e-12);
    }
    ifft(re.data(), im.data(), backRe.data(), backIm.data(), n);
    for (int t = 0; t < n; ++t) {
        EXPECT_NEAR(backRe[t], n * real[t], 1e-12);
        EXPECT_NEAR(backIm[t], 0.0, 1e-12);
    }
    fft(nullptr, nullptr, nullptr, 0); // length 0: nothing to touch
    ifft(nullptr, nullptr, nullptr, nullptr, 0);
}

TEST(FftSwap, ExchangesBothParts)
{
    std::complex<float> a(1, 2), b(-3, 4);
    velktool_swapFloatComplex(&a, &b);
    EXPECT_EQ(a, std::complex<float>(-3, 4));
    EXPECT_EQ(b, std::complex<float>(1, 2));
    std::complex<double> c(0.5, -0.25), d(7, 8);
    velktool_swapDoubleComplex(&c, &d);
    EXPECT_EQ(c, std::complex<double>(7, 8));
    EXPECT_EQ(d, std::complex<double>(0.5, -0.25));
    velktool_swapDoubleComplex(&c, &c);
    EXPECT_EQ(c, std::complex<double>(7, 8));
}

TEST(FftLength, PowersOfTwoOnly)
{
    EXPECT_TRUE(velk_isFftLength(1, 1));
    EXPECT_TRUE(velk_isFftLength(4096, 4));
    EXPECT_FALSE(velk_isFftLength(2, 4));
    EXPECT_FALSE(velk_isFftLength(0, 1));
    EXPECT_FALSE(velk_isFftLength(-8, 1));
    EXPECT_FALSE(velk_isFftLength(12, 1));
    EXPECT_FALSE(velk_isFftLength(1L << 31, 1));
}

TEST(FftLengthDeathTest, InvalidLengthStopsTheProcess)
{
    std::vector<std::complex<float>> x(12);
    EXPECT_EXIT(velktool_FFTImpl_fFFT(x.data(), x.data(), 12),
                ::testing::ExitedWithCode(1), "invalid FFT length \\[12\\]");
    std::vector<float> out(2);
    EXPECT_EXIT(velktool_FFTImpl_fRealFFTInv(x.data(), out.data(), 2),
                ::testing::ExitedWithCode(1), "invalid FFT length \\[2\\]");
}

} // namespace
