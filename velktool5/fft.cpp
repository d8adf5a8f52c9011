// Impulse responses to transfer functions through the FFT engine.
#include "fft.h"
#include "velktool.h"

void velktool_FFTBins(const float *in, velktool_ComplexFloat *bins)
{
    velktool_FFTImpl_fRealFFTHalf(in, bins, g.nfft);
}

void velktool_FFT(float ***irs)
{
    if (g.fftOut == nullptr)
        velktool_new(VELKTOOL_FFTBUF);
    for (int k = 0; k < g.nfft; ++k)
        g.fftOut[k] = 0;

    for (int s = 0; s < g.nSrc; ++s)
        for (int c = 0; c < g.nMic; ++c)
            velktool_FFTBins(irs[s][c], g.TFvect[s][c]);

    // fftOut is left holding the full spectrum of the last response.
    if (g.nSrc > 0 && g.nMic > 0) {
        const velktool_ComplexFloat *last = g.TFvect[g.nSrc - 1][g.nMic - 1];
        for (int k = 0; k < g.nfft; ++k)
            g.fftOut[k] = k <= g.nfft / 2 ? last[k] : std::conj(last[g.nfft - k]);
    }
}
