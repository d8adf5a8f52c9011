// The archive checks: values, dead and inverted channels, delays, channel
// order, direction, gain and timing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "diagnose.h"
#include "fft.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
// A direct sound closer than this to the start of its impulse response
// loses the leading half of its band-limited pulse.
const double edgeMargin = 16.0;

// Appends value to a list of numbers, after sep unless it is the first.
void appendItem(std::string *list, const char *sep, int value)
{
    if (!list->empty())
        *list += sep;
    *list += std::to_string(value);
}

// "0, 3, 5" (at most `limit` items, then ", ...").
std::string joinIds(const std::vector<int> &ids, size_t limit = 12)
{
    std::string out;
    for (size_t i = 0; i < ids.size() && i < limit; i++)
        out += (i ? ", " : "") + std::to_string(ids[i]);
    if (ids.size() > limit)
        out += ", ...";
    return out;
}

int severityOf(double value, double limit)
{
    return value > limit ? DIAG_ERROR : value > limit / 2 ? DIAG_WARNING : DIAG_OK;
}

void add(diag_Result *r, int check, int severity, std::string subject, std::string text,
         std::vector<diag_Evidence> evidence, std::vector<int> sources = {},
         std::vector<int> channels = {})
{
    diag_Finding f;
    f.check = check;
    f.severity = severity;
    f.subject = std::move(subject);
    f.text = std::move(text);
    f.evidence = std::move(evidence);
    f.sources = std::move(sources);
    f.channels = std::move(channels);
    r->findings.push_back(std::move(f));
}

// What the per-source work of the checks shares.
struct Work {
    int k0 = 1, k1 = 1;
    std::vector<std::vector<double>> energy;   // [s][m] over all bins
    std::vector<std::vector<char>> silent;     // [s][m]
    std::vector<std::vector<char>> valid;      // [s][m] finite, not silent, in use
    std::vector<char> missed;                  // [s] the window missed the direct sound
    std::vector<char> setter;                  // [m] dead: its peaks moved windows
    std::vector<double> refArrival;            // [s] peak of the reference row in its window
    std::vector<std::vector<double>> delay;    // [s][m] delay against the reference row
    std::vector<std::vector<int>> sign;        // [s][m] polarity against the reference row
    std::vector<int> polarity;                 // [m] +1 or -1
    std::vector<std::vector<double>> pair;     // [s][m * M + n] delay of m against n
    std::vector<std::vector<double>> relative; // [s][m] arrival minus the mean (valid rows)
    std::vector<std::vector<double>> tau;      // [s][m] travel time in samples
};

double travel(const diag_Archive &a, const diag_Options &o, int s, int m)
{
    return diag_distance(a.src[(size_t)s], a.mic[(size_t)m]) * a.rate / o.speedOfSound;
}

// ---- values, dead channels, peaks ------------------------------------

void checkValues(const diag_Archive &a, diag_Result *r)
{
    r->checkRun[DIAG_VALUES] = 1;
    long total = a.nonFiniteLoc + a.nonFiniteSep;
    if (total == 0)
        return;
    add(r, DIAG_VALUES, DIAG_ERROR,
        diag_format("source %d, channel %d", a.firstNonFiniteSource, a.firstNonFiniteChannel),
        diag_format("%ld values of the transfer functions are NaN or Inf (%ld localization, %ld "
               "separation; the first in source %d, channel %d). Programs that read the "
               "archive cannot use them: make the archive again, and check the recording or "
               "impulse response of that source for such values.",
               total, a.nonFiniteLoc, a.nonFiniteSep, a.firstNonFiniteSource,
               a.firstNonFiniteChannel),
        {{"nonFiniteLocalization", (double)a.nonFiniteLoc},
         {"nonFiniteSeparation", (double)a.nonFiniteSep}},
        {a.firstNonFiniteSource}, {a.firstNonFiniteChannel});
}

// Silence of a row: zero; a mean power per bin below any recorder's noise
// floor (digital silence, or the rounding noise that the transforms leave
// in it); 100 dB below the typical row of the archive's loudest source; or
// 40 dB below the typical row of its own source (noise only).
const double digitalSilence = 1e-20;
const double belowArchive = 1e-10;
const double belowSource = 1e-4;

// Energies of the rows, and the rows that are finite and not silent.
void findValidRows(const diag_Archive &a, Work *w)
{
    const int M = a.nMic, B = a.bins;
    w->valid.assign((size_t)a.nSrc, std::vector<char>((size_t)M, 0));
    w->silent.assign((size_t)a.nSrc, std::vector<char>((size_t)M, 0));
    w->energy.assign((size_t)a.nSrc, std::vector<double>((size_t)M, 0.0));
    std::vector<double> typical((size_t)a.nSrc, 0.0);
    double scale = 0.0;
    for (int s = 0; s < a.nSrc; s++) {
        const diag_Complex *H = a.H[(size_t)s];
        auto &energy = w->energy[(size_t)s];
        std::vector<double> finite;
        for (int m = 0; m < M; m++) {
            double e = 0.0;
            for (int k = 0; k < B; k++)
                e += std::norm(std::complex<double>(H[(size_t)m * B + k]));
            energy[(size_t)m] = e;
            if (std::isfinite(e))
                finite.push_back(e);
        }
        double t = diag_median(finite);
        typical[(size_t)s] = std::isfinite(t) ? t : 0.0;
        scale = std::max(scale, typical[(size_t)s]);
    }
    for (int s = 0; s < a.nSrc; s++)
        for (int m = 0; m < M; m++) {
            double e = w->energy[(size_t)s][(size_t)m];
            bool finite = std::isfinite(e);
            bool silent = finite && (!(e > 0.0) || e < digitalSilence * B ||
                                     e < belowArchive * scale ||
                                     e < belowSource * typical[(size_t)s]);
            w->silent[(size_t)s][(size_t)m] = silent;
            w->valid[(size_t)s][(size_t)m] = finite && !silent;
        }
}

// Per source: the delay and polarity of every valid row against a
// reference row, and where the reference row's impulse response (its
// inverse transform) peaks in its window.  The reference is the first
// valid row not far quieter than the source's typical valid row, so that
// a row of mere noise never is.
void measureRows(const diag_Archive &a, Work *w)
{
    const int M = a.nMic, B = a.bins;
    w->refArrival.assign((size_t)a.nSrc, nan);
    w->delay.assign((size_t)a.nSrc, std::vector<double>((size_t)M, nan));
    w->sign.assign((size_t)a.nSrc, std::vector<int>((size_t)M, 0));
    std::vector<float> ir((size_t)a.nfft);
    for (int s = 0; s < a.nSrc; s++) {
        const diag_Complex *H = a.H[(size_t)s];
        auto &valid = w->valid[(size_t)s];
        const auto &energy = w->energy[(size_t)s];
        std::vector<double> levels;
        for (int m = 0; m < M; m++)
            if (valid[(size_t)m])
                levels.push_back(energy[(size_t)m]);
        if (levels.empty())
            continue;
        const double loudEnough = 0.1 * diag_median(levels);
        int ref = -1;
        for (int m = 0; m < M && ref < 0; m++)
            if (valid[(size_t)m] && energy[(size_t)m] >= loudEnough)
                ref = m;
        velktool_FFTImpl_fRealFFTInv(H + (size_t)ref * B, ir.data(), a.nfft);
        w->refArrival[(size_t)s] = diag_peakIndex(ir.data(), a.nfft, nullptr);
        for (int m = 0; m < M; m++) {
            if (!valid[(size_t)m])
                continue;
            if (m == ref) {
                w->delay[(size_t)s][(size_t)m] = 0.0;
                w->sign[(size_t)s][(size_t)m] = 1;
                continue;
            }
            int inverted = 0;
            double d = diag_pairDelay(H + (size_t)m * B, H + (size_t)ref * B, w->k0, w->k1,
                                      a.nfft, &inverted);
            if (!std::isfinite(d)) {
                valid[(size_t)m] = 0;
                continue;
            }
            w->delay[(size_t)s][(size_t)m] = d;
            w->sign[(size_t)s][(size_t)m] = inverted ? -1 : 1;
        }
    }
}

// Arrival of the direct sound in source s's impulse responses minus its
// travel time (the median over the valid rows), and the earliest arrival
// after the window start with its travel time; NaN without valid rows.
double sourceLatency(const diag_Archive &a, const Work &w, int s, double *earliest,
                     double *earliestTravel)
{
    std::vector<double> v;
    double first = 1e30, firstTravel = 0.0;
    for (int m = 0; m < a.nMic; m++) {
        if (!w.valid[(size_t)s][(size_t)m])
            continue;
        double arrival =
            a.offset[(size_t)s] + w.refArrival[(size_t)s] + w.delay[(size_t)s][(size_t)m];
        v.push_back(arrival - w.tau[(size_t)s][(size_t)m]);
        if (arrival < first) {
            first = arrival;
            firstTravel = w.tau[(size_t)s][(size_t)m];
        }
    }
    if (earliest != nullptr) {
        *earliest = v.empty() ? 0.0 : first;
        *earliestTravel = firstTravel;
    }
    return diag_median(v);
}

// A channel whose signal has the opposite polarity of most other
// channels' in most sources is inverted.
void checkPolarity(const diag_Archive &a, Work *w, diag_Result *r)
{
    const int M = a.nMic;
    w->polarity.assign((size_t)M, 1);
    std::vector<int> opposite((size_t)M, 0), counted((size_t)M, 0);
    for (int s = 0; s < a.nSrc; s++) {
        int sum = 0, n = 0;
        for (int m = 0; m < M; m++)
            if (w->valid[(size_t)s][(size_t)m]) {
                sum += w->sign[(size_t)s][(size_t)m];
                n++;
            }
        if (n < 3 || sum == 0)
            continue;
        int majority = sum > 0 ? 1 : -1;
        for (int m = 0; m < M; m++)
            if (w->valid[(size_t)s][(size_t)m]) {
                counted[(size_t)m]++;
                opposite[(size_t)m] += w->sign[(size_t)s][(size_t)m] != majority;
            }
    }
    for (int m = 0; m < M; m++) {
        double f = counted[(size_t)m] ? (double)opposite[(size_t)m] / counted[(size_t)m] : 0.0;
        r->mics[(size_t)m].invertedFraction = f;
        if (f < 0.8)
            continue;
        w->polarity[(size_t)m] = -1;
        int c = a.micChannel[(size_t)m];
        add(r, DIAG_WIRING, DIAG_ERROR, diag_format("channel %d", c),
            diag_format("Channel %d is inverted in polarity: its signal has the opposite sign of "
                   "the other channels' in %.0f %% of the sources. Check the wiring of its "
                   "connector (the two signal wires are exchanged) or an inverting input, then "
                   "measure again. The other checks treat the channel as re-inverted.",
                   c, 100.0 * f),
            {{"invertedFraction", f}}, {}, {c});
    }
}

// ---- delays ------------------------------------------------------------

// Pair delays (differences of the rows' delays against the reference: the
// slope is a linear fit of the phase, so this is each pair's own fit), the
// arrivals relative to the rows' mean, and the travel times.
void measureDelays(const diag_Archive &a, const diag_Options &o, Work *w)
{
    const int M = a.nMic;
    w->pair.assign((size_t)a.nSrc, std::vector<double>((size_t)M * M, nan));
    w->relative.assign((size_t)a.nSrc, std::vector<double>((size_t)M, nan));
    w->tau.assign((size_t)a.nSrc, std::vector<double>((size_t)M, 0.0));
    for (int s = 0; s < a.nSrc; s++) {
        const auto &valid = w->valid[(size_t)s];
        const auto &d = w->delay[(size_t)s];
        auto &pair = w->pair[(size_t)s];
        int count = 0;
        double mean = 0.0;
        for (int m = 0; m < M; m++) {
            w->tau[(size_t)s][(size_t)m] = travel(a, o, s, m);
            if (valid[(size_t)m]) {
                count++;
                mean += d[(size_t)m];
            }
        }
        if (count < 2)
            continue;
        mean /= count;
        for (int m = 0; m < M; m++) {
            if (!valid[(size_t)m])
                continue;
            w->relative[(size_t)s][(size_t)m] = d[(size_t)m] - mean;
            for (int n = 0; n < M; n++)
                if (valid[(size_t)n])
                    pair[(size_t)m * M + n] = d[(size_t)m] - d[(size_t)n];
        }
    }
}

// ---- windows that missed the direct sound ------------------------------

// Each source's window ends a fixed length after the latest peak of all
// its channels.  A channel whose largest peak is not its direct sound (a
// dead microphone's noise, a loud reflection) moves the window past the
// direct sound of the others: their rows are then silent, or hold the
// sound's end.  Such a source is missed when most of its rows are silent,
// or when its window starts after the direct sound that the other sources'
// latency puts at its distances; the row whose peak lies latest in the
// window placed it.  The sources count as derailed when those peaks do not
// arrive with the other sources' latency (or, without such sources, with
// one latency among themselves): a measurement with only some channels
// alive keeps its peaks where the distances say.  Derailed sources leave
// the other checks, and so do the rows that derailed many of them (they
// count as dead); returns 1 when rows left the checks.
int findMissedWindows(const diag_Archive &a, const diag_Options &o, Work *w, diag_Result *r)
{
    const int M = a.nMic, B = a.bins, S = a.nSrc;
    w->missed.assign((size_t)S, 0);
    if (M < 3)
        return 0;
    std::vector<double> lat;
    for (int s = 0; s < S; s++) {
        int silent = 0;
        for (int m = 0; m < M; m++)
            silent += w->silent[(size_t)s][(size_t)m];
        w->missed[(size_t)s] = 2 * silent > M;
        if (!w->missed[(size_t)s]) {
            double l = sourceLatency(a, *w, s, nullptr, nullptr);
            if (std::isfinite(l))
                lat.push_back(l);
        }
    }
    const double ref = diag_median(lat);
    const bool haveRef = std::isfinite(ref);
    for (int s = 0; s < S && haveRef; s++) {
        const auto &tau = w->tau[(size_t)s];
        double first = *std::min_element(tau.begin(), tau.end());
        if (a.offset[(size_t)s] > 0 && a.offset[(size_t)s] > ref + first)
            w->missed[(size_t)s] = 1;
    }
    std::vector<int> placer((size_t)S, -1);
    std::vector<double> peak((size_t)S, nan), implied((size_t)S, nan);
    std::vector<float> ir((size_t)a.nfft);
    for (int s = 0; s < S; s++) {
        if (!w->missed[(size_t)s])
            continue;
        for (int m = 0; m < M; m++) {
            double e = w->energy[(size_t)s][(size_t)m];
            if (!(e > 0.0) || !std::isfinite(e))
                continue;
            velktool_FFTImpl_fRealFFTInv(a.H[(size_t)s] + (size_t)m * B, ir.data(), a.nfft);
            double p = diag_peakIndex(ir.data(), a.nfft, nullptr);
            int best = placer[(size_t)s];
            if (best < 0 || p > peak[(size_t)s] + 0.5 ||
                (p > peak[(size_t)s] - 0.5 && e > w->energy[(size_t)s][(size_t)best])) {
                placer[(size_t)s] = m;
                peak[(size_t)s] = p;
            }
        }
        if (placer[(size_t)s] >= 0) {
            peak[(size_t)s] += a.offset[(size_t)s];
            implied[(size_t)s] = peak[(size_t)s] - w->tau[(size_t)s][(size_t)placer[(size_t)s]];
        }
    }
    double lo = 1e30, hi = -1e30;
    for (int s = 0; s < S; s++)
        if (std::isfinite(implied[(size_t)s])) {
            lo = std::min(lo, implied[(size_t)s]);
            hi = std::max(hi, implied[(size_t)s]);
        }
    std::vector<int> derailed, votes((size_t)M, 0);
    for (int s = 0; s < S; s++) {
        bool off = std::isfinite(implied[(size_t)s]) &&
                   (haveRef ? std::fabs(implied[(size_t)s] - ref) > o.maxTimingDeviation
                            : hi - lo > o.maxTimingDeviation);
        w->missed[(size_t)s] = off;
        if (off) {
            derailed.push_back(s);
            votes[(size_t)placer[(size_t)s]]++;
        }
    }
    if (derailed.empty())
        return 0;
    // The rows that placed a quarter of the derailed windows or more are
    // taken for dead (fewer than half of the rows, else none is).
    const int n = (int)derailed.size();
    w->setter.assign((size_t)M, 0);
    int named = 0;
    for (int m = 0; m < M; m++)
        if (votes[(size_t)m] > 0 && 4 * votes[(size_t)m] >= n) {
            w->setter[(size_t)m] = 1;
            named++;
        }
    if (2 * named >= M)
        w->setter.assign((size_t)M, 0);
    for (int s : derailed)
        for (int m = 0; m < M; m++)
            w->valid[(size_t)s][(size_t)m] = 0;
    for (int m = 0; m < M; m++)
        for (int s = 0; s < S && w->setter[(size_t)m]; s++)
            w->valid[(size_t)s][(size_t)m] = 0;

    // A peak-search range around the direct sound of every source, when the
    // latency is known (counted from 1, as the configuration counts).
    std::string range;
    if (haveRef) {
        double t0 = 1e30, t1 = -1e30;
        for (const auto &tau : w->tau) {
            t0 = std::min(t0, *std::min_element(tau.begin(), tau.end()));
            t1 = std::max(t1, *std::max_element(tau.begin(), tau.end()));
        }
        int from = std::max(1, (int)std::floor(ref + t0) - (int)edgeMargin + 1);
        int to = (int)std::ceil(ref + t1) + (int)edgeMargin + 1;
        range = diag_format(" (velktoolcli-genconfig --peak %d,%d)", from, to);
    }
    std::string keep, keepList;
    for (int m = 0; m < M; m++)
        if (!w->setter[(size_t)m]) {
            appendItem(&keep, ",", a.micChannel[(size_t)m]);
            appendItem(&keepList, " ", a.micChannel[(size_t)m]);
        }
    int others = 0;
    for (int s = 0; s < S; s++)
        others += !w->missed[(size_t)s];

    // One finding for the windows each dead row moved, one for those the
    // other rows moved: where the placing peaks lie, against where the
    // direct sound belongs.
    for (int row = -1; row < M; row++) {
        if (row >= 0 && !w->setter[(size_t)row])
            continue;
        std::vector<int> ids, placers;
        double pLo = 1e30, pHi = -1e30, tLo = 1e30, tHi = -1e30, aLo = 1e30, aHi = -1e30;
        for (int s : derailed) {
            int m = placer[(size_t)s];
            if (row >= 0 ? m != row : w->setter[(size_t)m] != 0)
                continue;
            ids.push_back(a.srcId[(size_t)s]);
            if (std::find(placers.begin(), placers.end(), a.micChannel[(size_t)m]) ==
                placers.end())
                placers.push_back(a.micChannel[(size_t)m]);
            pLo = std::min(pLo, peak[(size_t)s]);
            pHi = std::max(pHi, peak[(size_t)s]);
            double t = w->tau[(size_t)s][(size_t)m];
            tLo = std::min(tLo, t);
            tHi = std::max(tHi, t);
            aLo = std::min(aLo, ref + t);
            aHi = std::max(aHi, ref + t);
        }
        if (ids.empty())
            continue;
        std::sort(placers.begin(), placers.end());
        const int k = (int)ids.size();
        std::string against =
            haveRef ? diag_format("while the latency of the other sources puts the direct sound at "
                             "samples %.0f to %.0f",
                             aLo, aHi)
                    : diag_format("a spread of %.0f samples, while the travel times of these "
                             "sources differ by %.1f samples at most",
                             pHi - pLo, tHi - tLo);
        std::vector<diag_Evidence> ev = {
            {"sources", (double)k}, {"earliestPeak", pLo}, {"latestPeak", pHi}};
        if (haveRef)
            ev.push_back({"latencySamples", ref});
        if (row < 0) {
            add(r, DIAG_TIMING, DIAG_ERROR,
                k == 1 ? diag_format("source %d", ids[0]) : diag_format("%d sources", k),
                diag_format("The windows of %d of %d sources missed the direct sound (sources %s): "
                       "there the localization transfer functions of most channels are "
                       "silent or nearly so. A window ends a fixed length after the latest "
                       "peak of all channels, and these peaks (of channel%s %s) lie at samples "
                       "%.0f to %.0f of the impulse responses, %s. A channel that carries "
                       "only noise (a dead microphone) or a reflection louder than the direct "
                       "sound moves the windows; run with --recordings to find a dead channel. "
                       "Leave such a channel out (a channel list on the first position of the "
                       "TSP or impulse list) or set a peak-search range that holds only the "
                       "direct sound%s, and make the transfer functions again.",
                       k, S, joinIds(ids).c_str(), placers.size() > 1 ? "s" : "",
                       joinIds(placers).c_str(), pLo, pHi, against.c_str(), range.c_str()),
                ev, ids);
            continue;
        }
        const int c = a.micChannel[(size_t)row];
        int quiet = 0;
        for (int s = 0; s < S; s++)
            quiet += !w->missed[(size_t)s] && w->silent[(size_t)s][(size_t)row];
        std::string elsewhere =
            quiet == 0        ? std::string()
            : quiet == 1 && others == 1
                ? diag_format(" In the other source channel %d is silent.", c)
            : quiet == others ? diag_format(" In the other %d sources channel %d is silent.", others,
                                       c)
                              : diag_format(" In %d of the other %d sources channel %d is silent.",
                                       quiet, others, c);
        ev.push_back({"silentInOtherSources", (double)quiet});
        add(r, DIAG_WIRING, DIAG_ERROR, diag_format("channel %d", c),
            diag_format("Channel %d carries no direct sound, and its peaks moved the windows of %d "
                   "of %d sources past the direct sound (sources %s): there the localization "
                   "transfer functions of the other channels are silent or nearly so. A window "
                   "ends a fixed length after the latest peak of all channels; channel %d's "
                   "peaks lie at samples %.0f to %.0f of the impulse responses, %s. Channel %d "
                   "is probably dead (a broken cable, no power, a dead input) and the peak "
                   "search took its noise for the direct sound; the other channels are not at "
                   "fault.%s Repair the channel and measure again, or make the transfer "
                   "functions again without it: give the first position of the TSP or impulse "
                   "list the channel list %s (velktoolcli-genposxml --channels %s), or set a "
                   "peak-search range that holds only the direct sound%s.",
                   c, k, S, joinIds(ids).c_str(), c, pLo, pHi, against.c_str(), c,
                   elsewhere.c_str(), keepList.c_str(), keep.c_str(), range.c_str()),
            ev, ids, {c});
    }
    return 1;
}

// Dead channels: silent in at least half of the sources whose windows hold
// the direct sound.  The rows that moved windows are dead too; their
// findings say so.
void reportDead(const diag_Archive &a, const Work &w, diag_Result *r)
{
    int kept = 0;
    for (int s = 0; s < a.nSrc; s++)
        kept += !w.missed[(size_t)s];
    for (int m = 0; m < a.nMic; m++) {
        int silent = 0, zero = 0;
        for (int s = 0; s < a.nSrc; s++)
            if (!w.missed[(size_t)s] && w.silent[(size_t)s][(size_t)m]) {
                silent++;
                zero += w.energy[(size_t)s][(size_t)m] < digitalSilence * a.bins;
            }
        const bool setter = !w.setter.empty() && w.setter[(size_t)m];
        double f = setter ? 1.0 : kept ? (double)silent / kept : 0.0;
        r->mics[(size_t)m].deadFraction = f;
        if (f < 0.5 || setter)
            continue;
        int c = a.micChannel[(size_t)m];
        std::string what = zero == silent ? "zero"
                                          : diag_format("zero or %.0f dB and more below the other "
                                                   "channels' (noise only)",
                                                   -10.0 * std::log10(belowSource));
        std::string keep;
        for (int n = 0; n < a.nMic; n++)
            if (n != m)
                appendItem(&keep, ",", a.micChannel[(size_t)n]);
        add(r, DIAG_WIRING, DIAG_ERROR, diag_format("channel %d", c),
            diag_format("Channel %d is dead: its transfer functions are %s in %.0f %% of the "
                   "sources. Check the microphone's cable, its power (phantom or plug-in "
                   "power) and the recorder input of channel %d, then measure again; or make "
                   "the transfer functions again without it (velktoolcli-genposxml --channels "
                   "%s for the TSP or impulse list).",
                   c, what.c_str(), 100.0 * f, c, keep.c_str()),
            {{"deadFraction", f}}, {}, {c});
    }
}

// Median of v[0 .. n-1] (reordered), NaN for none.
double medianOf(double *v, size_t n)
{
    if (n == 0)
        return nan;
    std::nth_element(v, v + n / 2, v + n);
    double upper = v[n / 2];
    if (n % 2 == 1)
        return upper;
    return 0.5 * (upper + *std::max_element(v, v + n / 2));
}

// Residual of channel m in source s against the positions `place` (row ->
// position row): the median over the other valid rows n of the measured
// minus the geometric delay of m against n.
double residualOf(const diag_Archive &a, const Work &w, int s, int m, const std::vector<int> &place)
{
    const int M = a.nMic;
    if (!w.valid[(size_t)s][(size_t)m])
        return nan;
    static thread_local std::vector<double> v;
    v.clear();
    const auto &tau = w.tau[(size_t)s];
    for (int n = 0; n < M; n++) {
        if (n == m || !w.valid[(size_t)s][(size_t)n])
            continue;
        double geo = tau[(size_t)place[(size_t)m]] - tau[(size_t)place[(size_t)n]];
        v.push_back(w.pair[(size_t)s][(size_t)m * M + n] - geo);
    }
    return medianOf(v.data(), v.size());
}

double medianAbsResidual(const diag_Archive &a, const Work &w, int m, const std::vector<int> &place)
{
    std::vector<double> v;
    for (int s = 0; s < a.nSrc; s++)
        v.push_back(std::fabs(residualOf(a, w, s, m, place)));
    return diag_median(v);
}

// A channel order that fits the delays clearly better than the listed one.
void checkOrder(const diag_Archive &a, const diag_Options &o, const Work &w, diag_Result *r)
{
    const int M = a.nMic;
    std::vector<int> active;
    for (int m = 0; m < M; m++)
        if (r->mics[(size_t)m].deadFraction < 0.5)
            active.push_back(m);
    const int n = (int)active.size();
    r->permutation.resize((size_t)M);
    for (int m = 0; m < M; m++)
        r->permutation[(size_t)m] = m;
    if (n < 3)
        return;
    std::vector<double> cost((size_t)n * n, 0.0);
    int used = 0;
    std::vector<double> geo((size_t)n);
    for (int s = 0; s < a.nSrc; s++) {
        bool all = true;
        for (int i : active)
            all = all && w.valid[(size_t)s][(size_t)i];
        if (!all)
            continue;
        used++;
        double mean = 0.0;
        for (int j = 0; j < n; j++)
            mean += w.tau[(size_t)s][(size_t)active[(size_t)j]];
        mean /= n;
        for (int j = 0; j < n; j++)
            geo[(size_t)j] = w.tau[(size_t)s][(size_t)active[(size_t)j]] - mean;
        for (int i = 0; i < n; i++) {
            double e = w.relative[(size_t)s][(size_t)active[(size_t)i]];
            for (int j = 0; j < n; j++) {
                double d = e - geo[(size_t)j];
                cost[(size_t)i * n + j] += d * d;
            }
        }
    }
    if (used == 0)
        return;
    std::vector<int> best;
    diag_assign(cost, n, &best);
    double identity = 0.0, fitted = 0.0;
    for (int i = 0; i < n; i++) {
        identity += cost[(size_t)i * n + i];
        fitted += cost[(size_t)i * n + best[(size_t)i]];
    }
    r->costIdentity = std::sqrt(identity / ((double)used * n));
    r->costBest = std::sqrt(fitted / ((double)used * n));
    bool moved = false;
    for (int i = 0; i < n; i++)
        moved = moved || best[(size_t)i] != i;
    // Clearly better: half the RMS error or less, and the listed order is
    // off by more than the warning level of the delay residual.
    if (!moved || !(r->costBest < 0.5 * r->costIdentity) ||
        !(r->costIdentity > o.maxDelayResidual / 2))
        return;
    r->permuted = 1;
    for (int i = 0; i < n; i++)
        r->permutation[(size_t)active[(size_t)i]] = active[(size_t)best[(size_t)i]];
    // One finding per cycle of the permutation.
    std::vector<char> seen((size_t)M, 0);
    for (int m = 0; m < M; m++) {
        if (seen[(size_t)m] || r->permutation[(size_t)m] == m)
            continue;
        std::vector<int> cycle;
        for (int x = m; !seen[(size_t)x]; x = r->permutation[(size_t)x]) {
            seen[(size_t)x] = 1;
            cycle.push_back(x);
        }
        std::vector<int> channels;
        std::string fits;
        for (int x : cycle) {
            channels.push_back(a.micChannel[(size_t)x]);
            fits += diag_format("%schannel %d fits the position listed for channel %d",
                           fits.empty() ? "" : ", ", a.micChannel[(size_t)x],
                           a.micChannel[(size_t)r->permutation[(size_t)x]]);
        }
        std::string what =
            cycle.size() == 2
                ? diag_format("Channels %d and %d appear swapped", channels[0], channels[1])
                : diag_format("Channels %s appear connected in a rotated order",
                         joinIds(channels).c_str());
        add(r, DIAG_WIRING, DIAG_ERROR, "channels " + joinIds(channels),
            diag_format("%s: %s. With that order the delays misfit by %.2f samples (RMS) instead "
                   "of %.2f. Check which microphone is plugged into which recorder input and "
                   "measure again, or rerun the transfer functions with a microphone list in "
                   "that order (--suggest-mic-list writes one).",
                   what.c_str(), fits.c_str(), r->costBest, r->costIdentity),
            {{"rmsListedOrder", r->costIdentity}, {"rmsFittingOrder", r->costBest}}, {},
            channels);
    }
}

// Per-channel residuals, the residual map and the misfit channels with
// their estimated positions.
void checkDelays(const diag_Archive &a, const diag_Options &o, const Work &w, diag_Result *r)
{
    const int M = a.nMic;
    r->checkRun[DIAG_DELAYS] = 1;
    std::vector<int> listed((size_t)M);
    for (int m = 0; m < M; m++)
        listed[(size_t)m] = m;
    r->residual.assign((size_t)a.nSrc, std::vector<double>((size_t)M, nan));
    for (int s = 0; s < a.nSrc; s++)
        for (int m = 0; m < M; m++)
            r->residual[(size_t)s][(size_t)m] = residualOf(a, w, s, m, listed);
    std::vector<int> misfit;
    std::vector<double> misfitResidual;
    for (int m = 0; m < M; m++) {
        diag_MicResult &mr = r->mics[(size_t)m];
        std::vector<double> v;
        for (int s = 0; s < a.nSrc; s++)
            v.push_back(std::fabs(r->residual[(size_t)s][(size_t)m]));
        mr.medianResidual = diag_median(v);
        if (!std::isfinite(mr.medianResidual))
            mr.medianResidual = 0.0;
        // Judged in the channel order that fits: a swap is reported once,
        // by the wiring check.
        double judged = r->permuted ? medianAbsResidual(a, w, m, r->permutation)
                                    : mr.medianResidual;
        if (severityOf(judged, o.maxDelayResidual) != DIAG_OK) {
            misfit.push_back(m);
            misfitResidual.push_back(judged);
        }
    }
    const double metresPerSample = o.speedOfSound / a.rate;
    // When most channels misfit, the transfer functions rather than the
    // microphones are wrong: one finding says so.
    if (M >= 3 && (int)misfit.size() > M / 2) {
        std::vector<int> channels;
        double worst = 0;
        for (size_t i = 0; i < misfit.size(); i++) {
            channels.push_back(a.micChannel[(size_t)misfit[i]]);
            worst = std::max(worst, misfitResidual[i]);
        }
        add(r, DIAG_DELAYS, severityOf(worst, o.maxDelayResidual),
            diag_format("%d channels", (int)misfit.size()),
            diag_format("The delays of %d of %d channels do not fit the array's geometry (median "
                   "residuals up to %.2f samples; limit %.2f). So many misfits point at the "
                   "transfer functions rather than the microphones: their windows may hold "
                   "reflections instead of the direct sound (with TSP recordings a late TSP "
                   "offset; run with --recordings), or the microphone list belongs to "
                   "another array.",
                   (int)misfit.size(), M, worst, o.maxDelayResidual),
            {{"channels", (double)misfit.size()}, {"worstMedianResidualSamples", worst}}, {},
            channels);
        return;
    }
    for (size_t i = 0; i < misfit.size(); i++) {
        int m = misfit[i];
        diag_MicResult &mr = r->mics[(size_t)m];
        int c = a.micChannel[(size_t)m];
        int placeRow = r->permutation[(size_t)m];
        // Path differences against every channel that fits.
        std::vector<diag_Vec3> srcs, refs;
        std::vector<double> diffs;
        for (int s = 0; s < a.nSrc; s++)
            for (int n = 0; n < M; n++) {
                if (n == m || !w.valid[(size_t)s][(size_t)m] || !w.valid[(size_t)s][(size_t)n] ||
                    std::find(misfit.begin(), misfit.end(), n) != misfit.end())
                    continue;
                srcs.push_back(a.src[(size_t)s]);
                refs.push_back(a.mic[(size_t)r->permutation[(size_t)n]]);
                diffs.push_back(w.pair[(size_t)s][(size_t)m * M + n] * metresPerSample);
            }
        diag_Vec3 listedPos = a.mic[(size_t)placeRow];
        std::string where;
        if (srcs.size() >= 3) {
            mr.fitResidual = diag_locate(srcs, refs, diffs, listedPos, &mr.estimate) /
                             metresPerSample;
            mr.fitted = 1;
            where = diag_format(" Its position estimated from the delays of all sources is "
                           "(%.4f, %.4f, %.4f) m, %.1f cm from the listed (%.4f, %.4f, %.4f) m "
                           "(fit residual %.2f samples).",
                           mr.estimate.x, mr.estimate.y, mr.estimate.z,
                           100.0 * diag_distance(mr.estimate, listedPos), listedPos.x,
                           listedPos.y, listedPos.z, mr.fitResidual);
        }
        int sev = severityOf(misfitResidual[i], o.maxDelayResidual);
        std::vector<diag_Evidence> ev = {{"medianResidualSamples", misfitResidual[i]},
                                         {"medianResidualMetres",
                                          misfitResidual[i] * metresPerSample}};
        if (mr.fitted) {
            ev.push_back({"estimatedX", mr.estimate.x});
            ev.push_back({"estimatedY", mr.estimate.y});
            ev.push_back({"estimatedZ", mr.estimate.z});
            ev.push_back({"distanceFromListed", diag_distance(mr.estimate, listedPos)});
            ev.push_back({"fitResidualSamples", mr.fitResidual});
        }
        add(r, DIAG_DELAYS, sev, diag_format("channel %d", c),
            diag_format("The delays of channel %d do not fit its listed position: median residual "
                   "%.2f samples (%.1f mm of path; limit %.2f samples).%s Measure the "
                   "microphone's position again, or use the estimated one (--suggest-mic-list "
                   "writes a microphone list with it).",
                   c, misfitResidual[i], 1000.0 * misfitResidual[i] * metresPerSample,
                   o.maxDelayResidual, where.c_str()),
            ev, {}, {c});
    }
}

// ---- direction -----------------------------------------------------------

struct Span {
    double az0 = -180, az1 = 180; // degrees, az1 - az0 <= 360
    double el0 = 0, el1 = 0;
    bool fullCircle = true;
};

// The directions the sources span, widened where the array can tell.
Span searchSpan(const diag_Archive &a, const std::vector<diag_SourceResult> &src)
{
    Span sp;
    std::vector<double> az;
    sp.el0 = 90;
    sp.el1 = -90;
    for (const auto &s : src) {
        az.push_back(s.statedAz);
        sp.el0 = std::min(sp.el0, s.statedEl);
        sp.el1 = std::max(sp.el1, s.statedEl);
    }
    std::sort(az.begin(), az.end());
    double gap = 360.0 - (az.back() - az.front());
    double gapEnd = az.front();
    for (size_t i = 1; i < az.size(); i++)
        if (az[i] - az[i - 1] > gap) {
            gap = az[i] - az[i - 1];
            gapEnd = az[i];
        }
    const double margin = 30.0;
    if (360.0 - gap + 2 * margin < 360.0) {
        sp.fullCircle = false;
        sp.az0 = gapEnd - margin;
        sp.az1 = gapEnd + (360.0 - gap) + margin;
    }
    double zMin = 1e30, zMax = -1e30;
    for (const auto &m : a.mic) {
        zMin = std::min(zMin, m.z);
        zMax = std::max(zMax, m.z);
    }
    // An array without height cannot tell elevations near its plane (nor
    // above from below): the search keeps to the elevations of the list.
    if (zMax - zMin > 1e-3) {
        sp.el0 = std::max(-90.0, sp.el0 - margin);
        sp.el1 = std::min(90.0, sp.el1 + margin);
    }
    return sp;
}

struct Steering {
    const diag_Archive *a;
    const diag_Options *o;
    const diag_Phat *phat;
    const int *used;
    double radius;
    mutable std::vector<double> tau;

    double power(double az, double el) const
    {
        diag_Vec3 q = diag_fromDirection(az, el, radius);
        for (int m = 0; m < a->nMic; m++)
            tau[(size_t)m] = diag_distance(q, a->mic[(size_t)m]) * a->rate / o->speedOfSound;
        return diag_steeredPower(*phat, used, tau.data(), a->nfft);
    }
};

// The largest power along one coordinate (azimuth or elevation) within
// `half` degrees of its value: golden-section steps down to a bracket of
// half a degree, then the vertex of the parabola through the three best
// points (the response is smooth at its peak).  Returns the best power
// evaluated.
double golden(const Steering &st, const Span &sp, bool elevation, double half, double *az,
              double *el)
{
    const double r = 0.6180339887498949;
    double *x = elevation ? el : az;
    double lo = *x - half, hi = *x + half;
    if (elevation) {
        lo = std::max(lo, sp.el0);
        hi = std::min(hi, sp.el1);
    } else if (!sp.fullCircle) {
        lo = std::max(lo, sp.az0);
        hi = std::min(hi, sp.az1);
    }
    auto power = [&](double v) {
        return elevation ? st.power(*az, v) : st.power(v, *el);
    };
    double c = hi - r * (hi - lo), d = lo + r * (hi - lo);
    double pc = power(c), pd = power(d);
    double last = lo, plast = -1.0; // the point dropped last, for the parabola
    while (hi - lo > 0.5) {
        if (pc >= pd) {
            last = d;
            plast = pd;
            hi = d;
            d = c;
            pd = pc;
            c = hi - r * (hi - lo);
            pc = power(c);
        } else {
            last = c;
            plast = pc;
            lo = c;
            c = d;
            pc = pd;
            d = lo + r * (hi - lo);
            pd = power(d);
        }
    }
    double best = std::max(pc, pd);
    *x = pc >= pd ? c : d;
    if (plast >= 0.0) {
        // Vertex of the parabola through (c, pc), (d, pd), (last, plast).
        double x1 = c, x2 = d, x3 = last, y1 = pc, y2 = pd, y3 = plast;
        double den = (x1 - x2) * (x1 - x3) * (x2 - x3);
        double A = (x3 * (y2 - y1) + x2 * (y1 - y3) + x1 * (y3 - y2)) / den;
        double B = (x3 * x3 * (y1 - y2) + x2 * x2 * (y3 - y1) + x1 * x1 * (y2 - y3)) / den;
        if (A < 0 && std::isfinite(B / A)) {
            double v = -B / (2 * A);
            if (v >= std::min({x1, x2, x3}) && v <= std::max({x1, x2, x3}))
                *x = v;
        }
    }
    return best;
}

// The peak near (az, el): azimuth, then elevation when the span has
// height, twice with a narrower window the second time.
double refine(const Steering &st, const Span &sp, double step, double *az, double *el)
{
    bool elFree = sp.el1 > sp.el0;
    double best = golden(st, sp, false, step, az, el);
    if (elFree) {
        golden(st, sp, true, step, az, el);
        golden(st, sp, false, step / 4, az, el);
        best = golden(st, sp, true, step / 4, az, el);
    }
    return best;
}

void checkDirection(const diag_Archive &a, const diag_Options &o, const Work &w, diag_Result *r)
{
    const int M = a.nMic, B = a.bins;
    r->checkRun[DIAG_DIRECTION] = 1;
    Span sp = searchSpan(a, r->sources);
    // Coarse steps of a third of the beam width at the band's top: the
    // best of them lies inside the main lobe.
    double fTop = (double)w.k1 * a.rate / a.nfft;
    double beam = r->maxSpacing > 0 ? o.speedOfSound / (fTop * r->maxSpacing) * 57.29577951 : 90;
    double step = std::min(40.0, std::max(2.0, beam / 3));
    diag_Phat phat;
    std::vector<int> used((size_t)M);
    Steering st{&a, &o, &phat, used.data(), 0.0, std::vector<double>((size_t)M)};
    for (int s = 0; s < a.nSrc; s++) {
        diag_SourceResult &sr = r->sources[(size_t)s];
        int count = 0;
        for (int m = 0; m < M; m++) {
            used[(size_t)m] = w.valid[(size_t)s][(size_t)m];
            count += used[(size_t)m];
        }
        diag_phatRows(a.H[(size_t)s], B, M, used.data(), w.polarity.data(), w.k0, w.k1, &phat);
        if (count < 2 || !(sr.radius > 0))
            continue;
        sr.checked = 1;
        st.radius = sr.radius;
        double bestAz = sr.statedAz, bestEl = sr.statedEl, best = -1;
        double span = sp.fullCircle ? 360.0 : sp.az1 - sp.az0;
        int nAz = std::max(1, (int)std::ceil(span / step));
        int nEl = sp.el1 > sp.el0 ? std::max(1, (int)std::ceil((sp.el1 - sp.el0) / step)) : 0;
        for (int i = 0; i < nAz + (sp.fullCircle ? 0 : 1); i++)
            for (int j = 0; j <= nEl; j++) {
                double az = sp.az0 + i * span / nAz;
                double el = nEl ? sp.el0 + j * (sp.el1 - sp.el0) / nEl : sp.el0;
                double p = st.power(az, el);
                if (p > best) {
                    best = p;
                    bestAz = az;
                    bestEl = el;
                }
            }
        best = refine(st, sp, step, &bestAz, &bestEl);
        double err = diag_angle(sr.statedAz, sr.statedEl, bestAz, bestEl);
        if (err > o.maxDirectionError / 2) {
            // An array that cannot tell two directions apart (a line, a
            // plane) may find the mirror image: the stated direction's own
            // peak counts when it is as strong.
            double az2 = sr.statedAz, el2 = std::min(sp.el1, std::max(sp.el0, sr.statedEl));
            double p2 = refine(st, sp, step, &az2, &el2);
            if (p2 >= 0.98 * best) {
                bestAz = az2;
                bestEl = el2;
                sr.ambiguous = 1;
                err = diag_angle(sr.statedAz, sr.statedEl, bestAz, bestEl);
            }
        }
        sr.estAz = std::remainder(bestAz, 360.0);
        sr.estEl = bestEl;
        sr.angularError = err;
    }
    for (int sev = DIAG_ERROR; sev >= DIAG_WARNING; sev--) {
        std::vector<int> ids;
        int worst = -1;
        for (int s = 0; s < a.nSrc; s++) {
            const diag_SourceResult &sr = r->sources[(size_t)s];
            if (!sr.checked || severityOf(sr.angularError, o.maxDirectionError) != sev)
                continue;
            ids.push_back(a.srcId[(size_t)s]);
            if (worst < 0 || sr.angularError > r->sources[(size_t)worst].angularError)
                worst = s;
        }
        if (ids.empty())
            continue;
        const diag_SourceResult &ws = r->sources[(size_t)worst];
        bool misfit = false;
        for (const auto &f : r->findings)
            misfit = misfit || (f.check == DIAG_DELAYS && f.channels.size() == 1);
        std::string cause =
            r->permuted ? " The channel order found by the wiring check probably explains it."
            : misfit    ? " The channel whose delays misfit (delays check) probably explains it."
                        : " Check the source positions of the list and the microphone channel "
                          "order; with TSP recordings a late TSP offset is a common cause "
                          "(run with --recordings to check the recordings).";
        add(r, DIAG_DIRECTION, sev,
            ids.size() == 1 ? diag_format("source %d", ids[0]) : diag_format("%d sources", (int)ids.size()),
            diag_format("The localization transfer functions of %d of %d sources point away from "
                   "the stated direction by more than %.1f degrees (sources %s). The worst, "
                   "source %d, is stated at azimuth %.1f, elevation %.1f, and its transfer "
                   "functions point at azimuth %.1f, elevation %.1f: %.1f degrees off.%s",
                   (int)ids.size(), a.nSrc,
                   sev == DIAG_ERROR ? o.maxDirectionError : o.maxDirectionError / 2,
                   joinIds(ids).c_str(), a.srcId[(size_t)worst], ws.statedAz, ws.statedEl,
                   ws.estAz, ws.estEl, ws.angularError, cause.c_str()),
            {{"sources", (double)ids.size()},
             {"worstSource", (double)a.srcId[(size_t)worst]},
             {"worstErrorDegrees", ws.angularError}},
            ids);
    }
}

// ---- gain ----------------------------------------------------------------

void checkGain(const diag_Archive &a, const diag_Options &o, const Work &w, diag_Result *r)
{
    const int M = a.nMic, B = a.bins;
    std::vector<std::vector<double>> rel((size_t)M);
    std::vector<double> level((size_t)M);
    for (int m = 0; m < M; m++)
        r->mics[(size_t)m].magnitudeDb.assign((size_t)B, 0.0);
    std::vector<std::vector<double>> power((size_t)M, std::vector<double>((size_t)B, 0.0));
    std::vector<int> counted((size_t)M, 0);
    for (int s = 0; s < a.nSrc; s++) {
        const diag_Complex *H = a.H[(size_t)s];
        for (int m = 0; m < M; m++) {
            level[(size_t)m] = nan;
            if (!w.valid[(size_t)s][(size_t)m])
                continue;
            counted[(size_t)m]++;
            double e = 0.0;
            for (int k = 0; k < B; k++) {
                double p = std::norm(std::complex<double>(H[(size_t)m * B + k]));
                power[(size_t)m][(size_t)k] += p;
                if (k >= w.k0 && k <= w.k1)
                    e += p;
            }
            // The level a microphone would have at 1 m from the source.
            double d = diag_distance(a.src[(size_t)s], a.mic[(size_t)m]);
            level[(size_t)m] = 10.0 * std::log10(e / (w.k1 - w.k0 + 1)) + 20.0 * std::log10(d);
        }
        double typical = diag_median(level);
        for (int m = 0; m < M; m++)
            if (std::isfinite(level[(size_t)m]))
                rel[(size_t)m].push_back(level[(size_t)m] - typical);
    }
    for (int m = 0; m < M; m++) {
        for (int k = 0; k < B; k++)
            r->mics[(size_t)m].magnitudeDb[(size_t)k] =
                counted[(size_t)m] ? 10.0 * std::log10(power[(size_t)m][(size_t)k] /
                                                       counted[(size_t)m] + 1e-30)
                                   : -300.0;
        double g = diag_median(rel[(size_t)m]);
        r->mics[(size_t)m].gainDb = std::isfinite(g) ? g : 0.0;
    }
    // Separation-only archives may be normalized: their levels mean nothing.
    if (a.fromSeparation)
        return;
    for (int m = 0; m < M; m++) {
        double g = r->mics[(size_t)m].gainDb;
        int sev = severityOf(std::fabs(g), o.maxGainDeviation);
        if (sev == DIAG_OK || r->mics[(size_t)m].deadFraction >= 0.5)
            continue;
        int c = a.micChannel[(size_t)m];
        add(r, DIAG_WIRING, sev, diag_format("channel %d", c),
            diag_format("Channel %d is %.1f dB %s than the median of the channels (limit %.1f dB). "
                   "Check its preamplifier gain and the microphone; set the gain to match the "
                   "others and measure again.",
                   c, std::fabs(g), g > 0 ? "louder" : "quieter",
                   sev == DIAG_ERROR ? o.maxGainDeviation : o.maxGainDeviation / 2),
            {{"gainDb", g}}, {}, {c});
    }
}

// ---- timing ----------------------------------------------------------------

void checkTiming(const diag_Archive &a, const diag_Options &o, const Work &w, diag_Result *r)
{
    r->checkRun[DIAG_TIMING] = 1;
    std::vector<double> lat;
    std::vector<char> have((size_t)a.nSrc, 0);
    for (int s = 0; s < a.nSrc; s++) {
        diag_SourceResult &sr = r->sources[(size_t)s];
        double l = sourceLatency(a, w, s, &sr.earliest, &sr.earliestTravel);
        if (!std::isfinite(l))
            continue;
        sr.latency = l;
        sr.timed = 1;
        have[(size_t)s] = 1;
        lat.push_back(l);
    }
    if (lat.empty())
        return;
    r->latency = diag_median(lat);
    std::vector<int> off[3], edge;
    int worst = -1, worstEdge = -1;
    for (int s = 0; s < a.nSrc; s++) {
        if (!have[(size_t)s])
            continue;
        const diag_SourceResult &sr = r->sources[(size_t)s];
        double dev = std::fabs(sr.latency - r->latency);
        int sev = severityOf(dev, o.maxTimingDeviation);
        off[sev].push_back(a.srcId[(size_t)s]);
        if (sev != DIAG_OK &&
            (worst < 0 || dev > std::fabs(r->sources[(size_t)worst].latency - r->latency)))
            worst = s;
        if (sr.earliest < edgeMargin && sr.earliest < sr.earliestTravel - 1.0) {
            edge.push_back(a.srcId[(size_t)s]);
            if (worstEdge < 0 || sr.earliest < r->sources[(size_t)worstEdge].earliest)
                worstEdge = s;
        }
    }
    const bool tsp = a.tspLength > 0;
    if (tsp) {
        r->suggestOffset = a.tspOffset + (int)std::lround(r->latency);
        r->haveSuggestOffset = 1;
    }
    for (int sev = DIAG_ERROR; sev >= DIAG_WARNING; sev--) {
        if (off[sev].empty())
            continue;
        const diag_SourceResult &ws = r->sources[(size_t)worst];
        add(r, DIAG_TIMING, sev,
            off[sev].size() == 1 ? diag_format("source %d", off[sev][0])
                                 : diag_format("%d sources", (int)off[sev].size()),
            diag_format("The direct sound of %d sources does not arrive when their distances say "
                   "(sources %s): the others share a latency of %.1f samples, source %d has "
                   "%.1f. The window may hold a reflection instead of the direct sound (a "
                   "source hidden from the array, or the direct sound lost to a late TSP "
                   "offset), or the stated distance is wrong. Check the position of these "
                   "sources and their recordings.",
                   (int)off[sev].size(), joinIds(off[sev]).c_str(), r->latency,
                   a.srcId[(size_t)worst], ws.latency),
            {{"sources", (double)off[sev].size()},
             {"latencySamples", r->latency},
             {"worstLatencySamples", ws.latency}},
            off[sev]);
    }
    if (!edge.empty()) {
        const diag_SourceResult &ws = r->sources[(size_t)worstEdge];
        std::string fix =
            !tsp ? std::string(" Start the impulse responses earlier.")
            : r->suggestOffset < a.tspOffset
                ? diag_format(" A TSP offset of %d instead of %d puts the direct sound at its "
                         "travel time from the source; make the transfer functions again "
                         "with it.",
                         r->suggestOffset, a.tspOffset)
                : std::string(" The direct sound may already be lost: run with --recordings "
                              "to find the TSP offset that fits.");
        add(r, DIAG_TIMING, DIAG_WARNING,
            edge.size() == 1 ? diag_format("source %d", edge[0]) : diag_format("%d sources", (int)edge.size()),
            diag_format("The direct sound of %d sources arrives within %.0f samples of the start of "
                   "the impulse response (sources %s; source %d: sample %.1f, while its travel "
                   "time is %.1f samples). Part of it may be lost, and a slightly later TSP "
                   "offset loses all of it.%s",
                   (int)edge.size(), edgeMargin, joinIds(edge).c_str(), a.srcId[(size_t)worstEdge],
                   ws.earliest, ws.earliestTravel, fix.c_str()),
            {{"sources", (double)edge.size()},
             {"earliestArrivalSamples", ws.earliest},
             {"travelSamples", ws.earliestTravel}},
            edge);
    }
}

} // namespace

const char *diag_checkName(int check)
{
    static const char *names[DIAG_NCHECKS] = {"direction", "delays", "wiring",
                                              "timing",    "values", "recordings"};
    return check >= 0 && check < DIAG_NCHECKS ? names[check] : "?";
}

const char *diag_severityName(int severity)
{
    return severity == DIAG_ERROR ? "error" : severity == DIAG_WARNING ? "warning" : "ok";
}

void diag_checkArchive(const diag_Archive &a, const diag_Options &o, diag_Result *r)
{
    const int M = a.nMic;
    r->sources.assign((size_t)a.nSrc, diag_SourceResult());
    r->mics.assign((size_t)M, diag_MicResult());
    for (int s = 0; s < a.nSrc; s++) {
        diag_SourceResult &sr = r->sources[(size_t)s];
        diag_direction(a.src[(size_t)s], &sr.statedAz, &sr.statedEl);
        sr.radius = diag_distance(a.src[(size_t)s], diag_Vec3());
    }
    checkValues(a, r);
    Work w;
    // The band: up to the frequency where the array starts to alias, at
    // least 16 bins, never the highest bin (cleared in separation TFs).
    for (int m = 0; m < M; m++)
        for (int n = m + 1; n < M; n++)
            r->maxSpacing = std::max(r->maxSpacing, diag_distance(a.mic[(size_t)m], a.mic[(size_t)n]));
    int top = a.bins - 2;
    int k1 = r->maxSpacing > 0
                 ? (int)std::floor(o.speedOfSound / (2 * r->maxSpacing) * a.nfft / a.rate)
                 : top;
    w.k0 = 1;
    w.k1 = std::min(top, std::max(k1, std::min(16, top)));
    r->bandLow = w.k0;
    r->bandHigh = w.k1;
    r->checkRun[DIAG_WIRING] = 1;
    findValidRows(a, &w);
    measureRows(a, &w);
    measureDelays(a, o, &w);
    if (findMissedWindows(a, o, &w, r) != 0) {
        measureRows(a, &w);
        measureDelays(a, o, &w);
    }
    reportDead(a, w, r);
    checkPolarity(a, &w, r);
    checkOrder(a, o, w, r);
    if (M >= 2) {
        checkDelays(a, o, w, r);
        checkDirection(a, o, w, r);
    }
    checkGain(a, o, w, r);
    checkTiming(a, o, w, r);
}

int diag_worstSeverity(const diag_Result &r, int check)
{
    int worst = DIAG_OK;
    for (const auto &f : r.findings)
        if (check < 0 || f.check == check)
            worst = std::max(worst, f.severity);
    return worst;
}

void diag_sortFindings(diag_Result *r)
{
    std::stable_sort(r->findings.begin(), r->findings.end(),
                     [](const diag_Finding &x, const diag_Finding &y) {
                         return x.severity > y.severity;
                     });
}
