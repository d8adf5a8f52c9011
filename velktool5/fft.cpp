// Impulse responses to transfer functions through the FFT engine.
#include "fft.h"
#include "velktool.h"

void velktool_FFTBins(const float *in, velktool_ComplexFloat *bins)
{
    velktool_FFTImpl_fRealFFT(in, g.fftOut, g.nfft);
    for (int k = 0; k <= g.nfft / 2; ++k)
        bins[k] = g.fftOut[k];
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
}
