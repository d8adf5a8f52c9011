// Impulse responses to transfer functions through the FFT engine.
#include "fft.h"
#include "velktool.h"

void velktool_FFT(float ***irs)
{
    if (g.fftOut == nullptr)
        velktool_new(VELKTOOL_FFTBUF);
    for (int k = 0; k < g.nfft; ++k)
        g.fftOut[k] = 0;

    const int bins = g.nfft / 2 + 1;
    for (int s = 0; s < g.nSrc; ++s) {
        for (int c = 0; c < g.nMic; ++c) {
            velktool_FFTImpl_fRealFFT(irs[s][c], g.fftOut, g.nfft);
            for (int k = 0; k < bins; ++k)
                g.TFvect[s][c][k] = g.fftOut[k];
        }
    }
}
