// velktool_delayTF, the bins of a pure delay (calctfgeo): every bin against
// the sine and cosine of its phase rounded to float, taken in long double
// and with cosf and sinf, and a delay of a quarter frame in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "velktool.h"

namespace {

float roundedPhase(float delay, int nfft, int k)
{
    return (float)(-((double)k * ((double)delay * 6.283185307179586) / (double)nfft));
}

TEST(DelayTF, EveryBinIsTheSineAndCosineOfItsRoundedPhase)
{
    const int lengths[] = {2, 8, 500, 512, 4096, 65536};
    const float delays[] = {0.0f,    1e-3f,     0.5f,   160.0f,    160.00002f, 480.0f,
                            511.75f, -37.3f, 3000.123f, 1e5f,      -2.5e6f};
    for (int nfft : lengths) {
        for (float delay : delays) {
            std::vector<velktool_ComplexFloat> bins((size_t)(nfft / 2 + 1));
            velktool_delayTF(delay, nfft, bins.data());
            double diff = 0, norm = 0;
            for (int k = 0; k <= nfft / 2; k++) {
                float phase = roundedPhase(delay, nfft, k);
                long double c = cosl(phase), s = sinl(phase);
                // Within one float step of the exact value.
                ASSERT_LE(fabsl(bins[k].real() - c), 6e-8L)
                    << "nfft " << nfft << " delay " << delay << " bin " << k;
                ASSERT_LE(fabsl(bins[k].imag() - s), 6e-8L)
                    << "nfft " << nfft << " delay " << delay << " bin " << k;
                if (phase == 0) {
                    EXPECT_EQ(bins[k].real(), 1.0f);
                    EXPECT_EQ(std::signbit(bins[k].imag()), std::signbit(phase));
                }
                diff += std::norm(std::complex<double>(bins[k]) -
                                  std::complex<double>(cosf(phase), sinf(phase)));
                norm += 1;
            }
            EXPECT_LE(sqrt(diff / norm), 2e-6) << "nfft " << nfft << " delay " << delay;
        }
    }
}

TEST(DelayTF, QuarterFrameTurnsByAQuarterPerBin)
{
    const int nfft = 4096;
    std::vector<velktool_ComplexFloat> bins(nfft / 2 + 1);
    velktool_delayTF(nfft / 4.0f, nfft, bins.data());
    const velktool_ComplexFloat turns[4] = {{1, 0}, {0, -1}, {-1, 0}, {0, 1}};
    for (int k = 0; k <= nfft / 2; k++) {
        // The float phase of bin k is within half a float step of -k pi/2.
        double tolerance = 1e-7 + k * M_PI / 2 * ldexp(1.0, -24);
        EXPECT_LE(std::abs(std::complex<double>(bins[k]) - std::complex<double>(turns[k % 4])),
                  tolerance)
            << "bin " << k;
    }
}

// The vector kernels the processor allows give the baseline kernels'
// values to the last bit, whatever the length (power of two or not, with a
// last block of fewer than eight bins) and the delay, so that an archive
// does not depend on the machine that made it.
TEST(DelayTF, EveryKernelGivesTheBaselineValues)
{
    const int lengths[] = {2, 8, 18, 500, 512, 1000, 4096};
    for (int nfft : lengths) {
        const size_t n = (size_t)(nfft / 2 + 1);
        std::vector<velktool_ComplexFloat> best(n), baseline(n);
        for (int t = 0; t < 2000; t++) {
            float delay = t == 0 ? -0.0f : (float)(t * 0.371 - 40.0);
            velktool_delayTFUseBaseline(0);
            velktool_delayTF(delay, nfft, best.data());
            velktool_delayTFUseBaseline(1);
            velktool_delayTF(delay, nfft, baseline.data());
            ASSERT_EQ(memcmp(best.data(), baseline.data(), n * sizeof best[0]), 0)
                << "nfft " << nfft << " delay " << delay;
        }
    }
    velktool_delayTFUseBaseline(0);
}

} // namespace
