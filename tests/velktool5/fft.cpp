// velktool_FFT: impulse responses of the run state into transfer functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

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
    const size_t samples = (size_t)g.nSrc * g.nMic * g.nfft; // one contiguous block
    const std::vector<float> input(g.IRvectLoc[0][0], g.IRvectLoc[0][0] + samples);

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
    // The impulse responses are left as they were.
    EXPECT_TRUE(std::equal(input.begin(), input.end(), g.IRvectLoc[0][0]));
}

TEST_F(RunFFT, NoSourcesMakeNoTransferFunctions)
{
    // No source: nothing is read from the (absent) responses and no
    // transfer function is written.
    g.nSrc = 0;
    g.nMic = 2;
    g.nfft = 8;
    velktool_FFT(nullptr);
    EXPECT_EQ(g.TFvect, nullptr);
    // No microphone either, with responses and transfer functions there.
    g.nSrc = 1;
    g.nMic = 0;
    velktool_new(VELKTOOL_TFVECT);
    velktool_new(VELKTOOL_IRVECT);
    velktool_FFT(g.IRvectLoc);
    SUCCEED();
}

} // namespace
