/*
 * FFT engine of the velk suite: transforms of power-of-two length, single
 * and double precision.
 *
 * Conventions: forward X[k] = sum_t x[t] e^(-2 pi i k t / n), natural order
 * in and out; every inverse uses e^(+2 pi i k t / n) and is unscaled, so a
 * forward transform followed by an inverse returns n times the input.
 *
 * Lengths: n must be a power of two (1, 2, 4, ...); the real inverses need
 * n >= 4.  Callers check their lengths with velk_isFftLength before
 * calling.  The complex transforms may work in place (in == out); for all
 * other calls the output must not overlap the input, which is left
 * unchanged.
 *
 * Twiddle tables are built once per length and kept until the process ends.
 * Running out of memory for a table or a work buffer logs "malloc error"
 * and ends the process with status 1.  Not for concurrent use from several
 * threads (the suite has none).
 *
 * The transforms run on the widest vectors that both the build and the
 * processor offer: on x86-64, 32-byte vectors with fused multiply-add when
 * the processor has AVX2 and FMA, else the 16-byte vectors every x86-64
 * processor has.  Results of the two differ by rounding only.
 */
#ifndef VELK_LIB_FFT_H
#define VELK_LIB_FFT_H

#include <complex>

/* 1 when n is a power of two not below `minimum`, else 0. */
int velk_isFftLength(long n, int minimum);

void velktool_FFTImpl_fFFT(const std::complex<float> *in,
                           std::complex<float> *out, int n);
void velktool_FFTImpl_fFFTInv(const std::complex<float> *in,
                              std::complex<float> *out, int n);
void velktool_FFTImpl_dFFT(const std::complex<double> *in,
                           std::complex<double> *out, int n);
void velktool_FFTImpl_dFFTInv(const std::complex<double> *in,
                              std::complex<double> *out, int n);

/* Forward transform of a real signal; writes all n bins (the full,
 * Hermitian-symmetric spectrum). */
void velktool_FFTImpl_fRealFFT(const float *in, std::complex<float> *out,
                               int n);
void velktool_FFTImpl_dRealFFT(const double *in, std::complex<double> *out,
                               int n);

/* Bins 0 .. n/2 (n/2 + 1 values) of the forward transform of a real signal:
 * the half spectrum, at about half the cost of the full one.  Bins 0 and
 * n/2 have imaginary part 0. */
void velktool_FFTImpl_fRealFFTHalf(const float *in, std::complex<float> *out,
                                   int n);
void velktool_FFTImpl_dRealFFTHalf(const double *in, std::complex<double> *out,
                                   int n);

/* Real signal of length n from the half spectrum in[0 .. n/2]; the imaginary
 * parts of bins 0 and n/2 are ignored.  Unscaled. */
void velktool_FFTImpl_fRealFFTInv(const std::complex<float> *in, float *out,
                                  int n);
void velktool_FFTImpl_dRealFFTInv(const std::complex<double> *in, double *out,
                                  int n);

/* Name of the kernels the transforms run on: "avx2-fma" or "baseline". */
const char *velk_fftKernelName(void);
/* With on = 1, later transforms run on the baseline kernels whatever the
 * processor offers, so that tests and benchmarks can check both; 0 returns
 * to the best kernels. */
void velk_fftUseBaselineKernels(int on);

void velktool_swapFloatComplex(std::complex<float> *a, std::complex<float> *b);
void velktool_swapDoubleComplex(std::complex<double> *a,
                                std::complex<double> *b);

/* Forward transform of the real signal x, split into real and imaginary
 * parts. */
void fft(const double *x, double *re, double *im, int n);
/* Unscaled inverse of the spectrum inRe + i inIm, split likewise. */
void ifft(const double *inRe, const double *inIm, double *outRe, double *outIm,
          int n);

#endif /* VELK_LIB_FFT_H */
