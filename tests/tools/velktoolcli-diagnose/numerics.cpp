// The numerical routines of velktoolcli-diagnose against closed forms,
// brute force and direct sums in double precision.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "diagnose.h"

namespace {

const double twoPi = 6.283185307179586;

// The spectrum of a pure delay of tau samples, bins 0 .. nfft/2.
std::vector<diag_Complex> delayed(double tau, int nfft, double gain = 1.0)
{
    std::vector<diag_Complex> h((size_t)nfft / 2 + 1);
    for (int k = 0; k <= nfft / 2; k++)
        h[(size_t)k] = (diag_Complex)std::polar(gain, -twoPi * k * tau / nfft);
    return h;
}

TEST(Diagnose, PairDelayIsThePhaseSlope)
{
    // Fractional delays on either side, and one whose phase at the band's
    // top passes pi (unwrapped bin by bin).
    const double cases[][2] = {{3.25, 1.0}, {0.0, 2.7}, {-4.4, 6.9}, {40.5, 0.0}};
    for (const auto &c : cases) {
        auto a = delayed(c[0], 512, 0.3), b = delayed(c[1], 512, 2.0);
        EXPECT_NEAR(diag_pairDelay(a.data(), b.data(), 1, 60, 512), c[0] - c[1], 1e-4);
    }
    // One signal inverted: found, and the delay is the same.
    auto a = delayed(2.5, 512), b = delayed(-1.0, 512);
    for (auto &v : b)
        v = -v;
    int inverted = 0;
    EXPECT_NEAR(diag_pairDelay(a.data(), b.data(), 1, 60, 512, &inverted), 3.5, 1e-4);
    EXPECT_EQ(inverted, 1);
    EXPECT_NEAR(diag_pairDelay(a.data(), a.data(), 1, 60, 512, &inverted), 0.0, 1e-9);
    EXPECT_EQ(inverted, 0);
    // No usable bin.
    std::vector<diag_Complex> zero(257);
    EXPECT_TRUE(std::isnan(diag_pairDelay(zero.data(), zero.data(), 1, 60, 512)));
}

TEST(Diagnose, SteeredPowerMatchesADirectSum)
{
    // Random rows of any magnitude: the PHAT weighting and the routine's
    // four-lane rotation against exp() per bin in double precision, over a
    // band whose width is not a multiple of 4.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-3.14159, 3.14159);
    const int rows = 5, nfft = 256, B = nfft / 2 + 1, k0 = 2, k1 = 40;
    std::vector<diag_Complex> x((size_t)rows * B);
    for (auto &v : x)
        v = (diag_Complex)std::polar(1.0 + u(rng) / 4, u(rng));
    int used[rows] = {1, 1, 0, 1, 1};
    int polarity[rows] = {1, -1, 1, 1, 1};
    double tau[rows] = {1.5, -2.25, 9.0, 0.125, 3.0};
    double direct = 0.0;
    for (int k = k0; k <= k1; k++) {
        std::complex<double> sum = 0.0;
        for (int m = 0; m < rows; m++)
            if (used[m]) {
                std::complex<double> v(x[(size_t)m * B + k]);
                sum += (double)polarity[m] * v / std::abs(v) *
                       std::exp(std::complex<double>(0, twoPi * k * tau[m] / nfft));
            }
        direct += std::norm(sum);
    }
    direct /= 4.0 * 4.0 * (k1 - k0 + 1);
    diag_Phat phat;
    diag_phatRows(x.data(), B, rows, used, polarity, k0, k1, &phat);
    EXPECT_NEAR(diag_steeredPower(phat, used, tau, nfft), direct, 1e-5);

    // Rows that are pure delays, steered with their own delays: power 1.
    for (int m = 0; m < rows; m++) {
        auto h = delayed(tau[m], nfft);
        std::copy(h.begin(), h.end(), x.begin() + (long)m * B);
    }
    diag_phatRows(x.data(), B, rows, used, nullptr, 1, 100, &phat);
    EXPECT_NEAR(diag_steeredPower(phat, used, tau, nfft), 1.0, 1e-5);
}

TEST(Diagnose, AssignmentIsTheCheapestPermutation)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 10.0);
    for (int trial = 0; trial < 20; trial++) {
        const int n = 6;
        std::vector<double> cost((size_t)n * n);
        for (auto &c : cost)
            c = u(rng);
        std::vector<int> perm(n), got;
        std::iota(perm.begin(), perm.end(), 0);
        double best = 1e300;
        do {
            double c = 0;
            for (int i = 0; i < n; i++)
                c += cost[(size_t)i * n + perm[(size_t)i]];
            best = std::min(best, c);
        } while (std::next_permutation(perm.begin(), perm.end()));
        diag_assign(cost, n, &got);
        std::vector<int> sorted = got;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < n; i++)
            ASSERT_EQ(sorted[(size_t)i], i);
        double c = 0;
        for (int i = 0; i < n; i++)
            c += cost[(size_t)i * n + got[(size_t)i]];
        EXPECT_NEAR(c, best, 1e-9);
    }
}

TEST(Diagnose, LocateFindsThePointOfExactPathDifferences)
{
    // Sources on a circle in the plane z = 0 around a 5 cm array; the
    // microphone is at `truth`.  Its height is not determined by sources in
    // its plane and stays at the start value.
    const diag_Vec3 truth = {0.03, -0.08, 0.0};
    const diag_Vec3 refs[] = {{0.05, 0, 0}, {0, 0.05, 0}, {-0.05, 0, 0}};
    std::vector<diag_Vec3> s, q;
    std::vector<double> d;
    for (int i = 0; i < 36; i++) {
        diag_Vec3 src = diag_fromDirection(i * 10.0, 0.0, 1.5);
        for (const auto &ref : refs) {
            s.push_back(src);
            q.push_back(ref);
            d.push_back(diag_distance(src, truth) - diag_distance(src, ref));
        }
    }
    diag_Vec3 out;
    double rms = diag_locate(s, q, d, {0.0, -0.05, 0.0}, &out);
    EXPECT_NEAR(out.x, truth.x, 1e-6);
    EXPECT_NEAR(out.y, truth.y, 1e-6);
    EXPECT_NEAR(out.z, 0.0, 1e-9);
    EXPECT_LT(rms, 1e-8);
    // With sources above and below the plane the height is found too.
    const diag_Vec3 high = {0.01, 0.02, 0.04};
    for (size_t i = 0; i < s.size(); i++) {
        s[i].z = i % 2 ? 0.8 : -0.8;
        d[i] = diag_distance(s[i], high) - diag_distance(s[i], q[i]);
    }
    diag_locate(s, q, d, {0.0, 0.0, 0.0}, &out);
    EXPECT_NEAR(diag_distance(out, high), 0.0, 1e-6);
}

TEST(Diagnose, PeakIndexIsRefinedByAParabola)
{
    // Samples of -(t - 10.3)^2 + 5 around the top: the vertex is exact.
    std::vector<float> x(32, 0.0f);
    for (int t = 8; t <= 12; t++)
        x[(size_t)t] = (float)(5.0 - (t - 10.3) * (t - 10.3));
    int sign = 0;
    EXPECT_NEAR(diag_peakIndex(x.data(), 32, &sign), 10.3, 1e-5);
    EXPECT_EQ(sign, 1);
    for (auto &v : x)
        v = -v;
    diag_peakIndex(x.data(), 32, &sign);
    EXPECT_EQ(sign, -1);
}

TEST(Diagnose, DirectionsAndAngles)
{
    double az, el;
    diag_direction({0.0, 2.0, 2.0}, &az, &el);
    EXPECT_NEAR(az, 90.0, 1e-9);
    EXPECT_NEAR(el, 45.0, 1e-9);
    diag_Vec3 p = diag_fromDirection(az, el, std::sqrt(8.0));
    EXPECT_NEAR(p.y, 2.0, 1e-9);
    EXPECT_NEAR(p.z, 2.0, 1e-9);
    EXPECT_NEAR(diag_angle(10, 0, 350, 0), 20.0, 1e-9);
    EXPECT_NEAR(diag_angle(0, 90, 123, 90), 0.0, 1e-6);
    EXPECT_NEAR(diag_angle(0, 0, 180, 0), 180.0, 1e-6);
    EXPECT_NEAR(diag_angle(0.0, 0.0, 0.001, 0.0), 0.001, 1e-9);
    EXPECT_DOUBLE_EQ(diag_median({3, 1, NAN, 2, 10}), 2.5);
    EXPECT_DOUBLE_EQ(diag_median({5, 1, 3}), 3.0);
}

} // namespace
