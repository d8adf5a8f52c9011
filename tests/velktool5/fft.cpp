// velktool_FFT: impulse responses of the run state into transfer functions.
#include <gtest/gtest.h>

#include <cmath>

#include "velktool.h"

namespace {

class RunFFT : public ::testing::Test {
protected:
    void TearDown() override { velktool_freeMemory(); }
};

TEST_F(RunFFT, EveryResponseBecomesItsHalfSpectrum)
{
    g.nSrc = 2;
    g.nMic = 3;
    g.nfft = 32;
    velktool_new(VELKTOOL_TFVECT);
    velktool_new(VELKTOOL_IRVECT);
    velktool_new(VELKTOOL_FFTBUF);
    for (int s = 0; s < g.nSrc; ++s)
        for (int c = 0; c < g.nMic; ++c)
            for (int t = 0; t < g.nfft; ++t)
                g.IRvectLoc[s][c][t] = (float)sin(0.3 * t + s) * (c + 1) / (t + 1);

    velktool_FFT(g.IRvectLoc);

    for (int s = 0; s < g.nSrc; ++s)
        for (int c = 0; c < g.nMic; ++c)
            for (int k = 0; k <= g.nfft / 2; ++k) {
                double re = 0, im = 0;
                for (int t = 0; t < g.nfft; ++t) {
                    double a = -2 * M_PI * k * t / g.nfft;
                    re += g.IRvectLoc[s][c][t] * cos(a);
                    im += g.IRvectLoc[s][c][t] * sin(a);
                }
                EXPECT_NEAR(g.TFvect[s][c][k].real(), re, 1e-5);
                EXPECT_NEAR(g.TFvect[s][c][k].imag(), im, 1e-5);
            }
    // The work buffer holds the full spectrum of the last response.
    EXPECT_EQ(g.fftOut[g.nfft / 2], g.TFvect[1][2][g.nfft / 2]);
    EXPECT_NEAR(g.fftOut[g.nfft - 1].real(), g.TFvect[1][2][1].real(), 1e-6);
    EXPECT_NEAR(g.fftOut[g.nfft - 1].imag(), -g.TFvect[1][2][1].imag(), 1e-6);
}

TEST_F(RunFFT, NoResponsesOnlyClearsTheWorkBuffer)
{
    g.nSrc = 0;
    g.nMic = 2;
    g.nfft = 8;
    velktool_new(VELKTOOL_FFTBUF);
    for (int k = 0; k < g.nfft; ++k)
        g.fftOut[k] = velktool_ComplexFloat(1, 1);
    velktool_FFT(nullptr);
    for (int k = 0; k < g.nfft; ++k)
        EXPECT_EQ(g.fftOut[k], velktool_ComplexFloat(0, 0));
}

} // namespace
