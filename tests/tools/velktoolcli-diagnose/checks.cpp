// The archive checks on archives built in memory from pure delays: 8
// microphones on a 5 cm circle, 36 sources on a 1.5 m circle, 16 kHz,
// nfft 512; each fault is found on its channel and nothing else is.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "diagnose.h"

namespace {

struct Synthetic {
    diag_Archive a;
    std::vector<std::vector<diag_Complex>> data;

    Synthetic()
    {
        a.nSrc = 36;
        a.nMic = 8;
        a.nfft = 512;
        a.rate = 16000;
        a.bins = 257;
        for (int m = 0; m < a.nMic; m++) {
            a.micChannel.push_back(m);
            a.mic.push_back(diag_fromDirection(45.0 * m, 0.0, 0.05));
        }
        for (int s = 0; s < a.nSrc; s++) {
            a.srcId.push_back(s);
            a.src.push_back(diag_fromDirection(10.0 * s, 0.0, 1.5));
        }
        a.offset.assign((size_t)a.nSrc, 0.0f);
        data.resize((size_t)a.nSrc);
        for (int s = 0; s < a.nSrc; s++) {
            data[(size_t)s].resize((size_t)a.nMic * a.bins);
            for (int m = 0; m < a.nMic; m++)
                setRow(s, m, a.mic[(size_t)m], 1.0);
        }
    }
    // Row m of source s: the direct sound from the source to `at`, 1/r.
    void setRow(int s, int m, diag_Vec3 at, double gain)
    {
        double d = diag_distance(a.src[(size_t)s], at);
        double tau = d * a.rate / 343.0;
        for (int k = 0; k < a.bins; k++)
            data[(size_t)s][(size_t)m * a.bins + k] =
                (diag_Complex)std::polar(gain / d, -6.283185307179586 * k * tau / a.nfft);
    }
    // Row m of source s: one pulse at sample `at` of the window.
    void setPulse(int s, int m, double at, double gain)
    {
        for (int k = 0; k < a.bins; k++)
            data[(size_t)s][(size_t)m * a.bins + k] =
                (diag_Complex)std::polar(gain, -6.283185307179586 * k * at / a.nfft);
    }
    diag_Result run()
    {
        a.H.clear();
        for (auto &d : data)
            a.H.push_back(d.data());
        diag_Result r;
        diag_checkArchive(a, diag_Options(), &r);
        diag_sortFindings(&r);
        return r;
    }
};

// The (check, channels) of every finding.
std::vector<std::pair<int, std::vector<int>>> found(const diag_Result &r)
{
    std::vector<std::pair<int, std::vector<int>>> out;
    for (const auto &f : r.findings)
        out.push_back({f.check, f.channels});
    return out;
}

TEST(DiagnoseChecks, CleanArchiveHasNoFinding)
{
    Synthetic x;
    diag_Result r = x.run();
    EXPECT_TRUE(r.findings.empty());
    EXPECT_EQ(r.bandHigh, 54); // 343 / (2 * 0.1 m) = 1715 Hz, 31.25 Hz a bin
    for (const auto &s : r.sources)
        EXPECT_LT(s.angularError, 0.1);
    EXPECT_NEAR(r.latency, 0.0, 0.05);
}

TEST(DiagnoseChecks, EachFaultIsFoundOnItsChannel)
{
    {
        Synthetic x; // cables of channels 2 and 5 exchanged
        for (int s = 0; s < x.a.nSrc; s++) {
            x.setRow(s, 2, x.a.mic[5], 1.0);
            x.setRow(s, 5, x.a.mic[2], 1.0);
        }
        diag_Result r = x.run();
        ASSERT_TRUE(r.permuted);
        EXPECT_EQ(r.permutation, (std::vector<int>{0, 1, 5, 3, 4, 2, 6, 7}));
        EXPECT_EQ(found(r).front(), std::make_pair((int)DIAG_WIRING, std::vector<int>{2, 5}));
        for (const auto &f : r.findings)
            EXPECT_NE(f.check, DIAG_DELAYS);
    }
    {
        Synthetic x; // channel 3 inverted
        for (auto &d : x.data)
            for (int k = 0; k < x.a.bins; k++)
                d[(size_t)3 * x.a.bins + k] *= -1.0f;
        diag_Result r = x.run();
        EXPECT_EQ(found(r), (std::vector<std::pair<int, std::vector<int>>>{{DIAG_WIRING, {3}}}));
        EXPECT_DOUBLE_EQ(r.mics[3].invertedFraction, 1.0);
    }
    {
        Synthetic x; // channel 1 12 dB loud, channel 4 dead
        for (int s = 0; s < x.a.nSrc; s++)
            x.setRow(s, 1, x.a.mic[1], 4.0);
        for (auto &d : x.data)
            for (int k = 0; k < x.a.bins; k++)
                d[(size_t)4 * x.a.bins + k] = 0.0f;
        diag_Result r = x.run();
        EXPECT_EQ(found(r), (std::vector<std::pair<int, std::vector<int>>>{{DIAG_WIRING, {4}},
                                                                           {DIAG_WIRING, {1}}}));
        EXPECT_NEAR(r.mics[1].gainDb, 20 * std::log10(4.0), 0.01);
    }
    {
        Synthetic x; // microphone 6 stands 4.2 cm from its listed place
        const diag_Vec3 truth = {0.03, -0.08, 0.0};
        for (int s = 0; s < x.a.nSrc; s++)
            x.setRow(s, 6, truth, 1.0);
        diag_Result r = x.run();
        ASSERT_EQ(r.findings.front().check, DIAG_DELAYS);
        EXPECT_EQ(r.findings.front().channels, std::vector<int>{6});
        EXPECT_EQ(r.findings.front().severity, DIAG_ERROR);
        ASSERT_TRUE(r.mics[6].fitted);
        EXPECT_LT(diag_distance(r.mics[6].estimate, truth), 1e-3);
        for (const auto &f : r.findings)
            EXPECT_TRUE(f.channels.empty() || f.channels == std::vector<int>{6});
    }
    {
        Synthetic x; // one NaN
        x.a.nonFiniteLoc = 1;
        x.a.firstNonFiniteSource = 7;
        x.a.firstNonFiniteChannel = 2;
        x.data[7][2 * 257 + 100] = std::numeric_limits<float>::quiet_NaN();
        diag_Result r = x.run();
        EXPECT_EQ(found(r), (std::vector<std::pair<int, std::vector<int>>>{{DIAG_VALUES, {2}}}));
    }
}

// Channel 4 carries only noise, and its largest noise peak placed the
// window of a source past the direct sound of all other channels (their
// rows silent, its own peak where the window was placed from, 479 samples
// in): one finding names channel 4 with those sources, whether or not some
// sources kept their direct sound.  A measurement in which only channel 4
// is alive keeps its peaks where the distances say: the others are dead.
TEST(DiagnoseChecks, DeadChannelThatMovedTheWindowsIsNamed)
{
    for (int kept : {6, 0}) {
        Synthetic x;
        std::vector<int> moved;
        for (int s = 0; s < x.a.nSrc; s++) {
            if (s < x.a.nSrc - kept) {
                for (int m = 0; m < x.a.nMic; m++)
                    x.setRow(s, m, x.a.mic[(size_t)m], 0.0);
                x.a.offset[(size_t)s] = (float)(600 + 97 * s);
                moved.push_back(s);
            }
            x.setPulse(s, 4, s < x.a.nSrc - kept ? 479.0 : 3.0 * s, 1e-6);
        }
        diag_Result r = x.run();
        ASSERT_EQ(found(r), (std::vector<std::pair<int, std::vector<int>>>{{DIAG_WIRING, {4}}}))
            << "kept " << kept;
        EXPECT_EQ(r.findings[0].sources, moved);
        EXPECT_DOUBLE_EQ(r.mics[4].deadFraction, 1.0);
        EXPECT_DOUBLE_EQ(r.mics[0].deadFraction, 0.0);
        for (int s = 0; s < x.a.nSrc; s++)
            EXPECT_EQ(r.sources[(size_t)s].checked, s >= x.a.nSrc - kept);
    }
    {
        Synthetic x;
        for (int s = 0; s < x.a.nSrc; s++)
            for (int m = 0; m < x.a.nMic; m++)
                if (m != 4)
                    x.setRow(s, m, x.a.mic[(size_t)m], 0.0);
        diag_Result r = x.run();
        ASSERT_EQ(r.findings.size(), 7u);
        for (const auto &f : r.findings) {
            EXPECT_EQ(f.check, DIAG_WIRING);
            EXPECT_NE(f.channels, std::vector<int>{4});
        }
    }
}

} // namespace
