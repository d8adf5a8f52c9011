// The recordings behind an archive: TSP recordings as calctfrec reads them
// (a TSP list) or impulse responses as calctfimp reads them (an impulse
// list), channel by channel: clipping, level, dead channels, the
// similarity of consecutive TSP periods, and the main peak and the SNR of
// each impulse response (TSP recordings deconvolved with the suite's own
// deconvolution).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnose.h"
#include "tsp.h"
#include "velktool.h"

namespace {

// Larger recordings are refused rather than read (samples of all channels).
const long long maxSamples = 1LL << 27;
const double fullScale = 0.9999;
const double edgeMargin = 16.0;

void add(diag_Result *r, int severity, std::string subject, std::string text,
         std::vector<diag_Evidence> evidence, std::vector<int> sources,
         std::vector<int> channels)
{
    diag_Finding f;
    f.check = DIAG_RECORDINGS;
    f.severity = severity;
    f.subject = std::move(subject);
    f.text = std::move(text);
    f.evidence = std::move(evidence);
    f.sources = std::move(sources);
    f.channels = std::move(channels);
    r->findings.push_back(std::move(f));
}

struct Inputs {
    velkio_XML *list = nullptr;
    velkio_XML *mics = nullptr;
    bool tsp = false;
    int rate = 0;
    std::vector<int> channels;         // recording channels checked
    std::vector<diag_Vec3> micPos;     // per checked channel
    velktool_TspReference ref{};
    ~Inputs()
    {
        velkio_XML_delete(&list);
        velkio_XML_delete(&mics);
        velktool_freeTspReference(&ref);
    }
};

int cartesian(const velkio_Position *p, diag_Vec3 *out)
{
    float c[3] = {p->coords[0], p->coords[1], p->coords[2]};
    if (!p->isCartesian && velkio_Position_Convert(p, c, 1) != 0)
        return 1;
    out->x = c[0];
    out->y = c[1];
    out->z = c[2];
    return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) ? 0 : 1;
}

int openInputs(const char *listPath, const char *micPath, const diag_Archive &a, Inputs *in)
{
    in->list = velkio_XML_newFromXML(listPath, "");
    if (in->list == nullptr) {
        velkio_Log_FileOpenFailed(listPath);
        return 1;
    }
    in->mics = velkio_XML_newFromXML(micPath, "");
    if (in->mics == nullptr) {
        velkio_Log_FileOpenFailed(micPath);
        return 1;
    }
    const velkio_Positions *pos = in->list->poses;
    const char *type = pos != nullptr && pos->type != nullptr ? pos->type : "";
    in->tsp = strcmp(type, "tsp") == 0;
    if (!in->tsp && strcmp(type, "impulse") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s is not a TSP or impulse list (position type [%s]); --recordings takes "
                   "the list that calctfrec or calctfimp read",
                   listPath, type);
        return 1;
    }
    if (velkio_Positions_getSize(pos) < 1 || velkio_Positions_getSize(in->mics->poses) < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s or %s holds no positions", listPath, micPath);
        return 1;
    }
    const velkio_Config *cfg = in->list->cfg;
    in->rate = cfg != nullptr && cfg->samplingRate > 0 ? cfg->samplingRate : a.rate;
    const velkio_Position *first = pos->list[0];
    if (first->useChannels == 1 && first->numChannels > 0) {
        in->channels.assign(first->channels, first->channels + first->numChannels);
        std::sort(in->channels.begin(), in->channels.end());
        in->channels.erase(std::unique(in->channels.begin(), in->channels.end()),
                           in->channels.end());
    } else {
        for (int c = 0; c < in->mics->poses->count; c++)
            in->channels.push_back(c);
    }
    for (int c : in->channels) {
        const velkio_Position *p = velkio_Positions_getById(in->mics->poses, c);
        diag_Vec3 v;
        if (c < 0 || c >= 64 || p == nullptr || cartesian(p, &v) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: no usable microphone position for channel %d",
                       micPath, c);
            return 1;
        }
        in->micPos.push_back(v);
    }
    if (!in->tsp)
        return 0;
    if (cfg == nullptr || cfg->tspPath == nullptr || cfg->synchronousAverage < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s: a TSP list needs its configuration (TSP path, length, synchronous "
                   "average)",
                   listPath);
        return 1;
    }
    if (velktool_checkTspParameters(cfg->tspLength, cfg->synchronousAverage, cfg->tspOffset) != 0)
        return 1;
    return velktool_readTspReference(VELKTOOL_TSP_WAV, cfg->tspPath, 0, cfg->signalMax,
                                     in->rate, cfg->tspLength, &in->ref);
}

// The channels of one recording, each as floats on the full scale of 1.0;
// 0, or 1 after a message.
int readRecording(const char *path, const Inputs &in, std::vector<std::vector<float>> *data)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    velktool_SoundFile file{};
    if (path == nullptr || velktool_openSoundFile(path, &info, &file) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open the recording [%s]", path ? path : "");
        return 1;
    }
    int status = 0;
    if (info.samplerate != in.rate) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] has %d Hz; the list's configuration says %d Hz", path,
                   info.samplerate, in.rate);
        status = 1;
    } else if (info.channels < 1 || info.frames < 1 ||
               (long long)info.frames * info.channels > maxSamples) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s]: %lld frames of %d channels cannot be checked", path,
                   (long long)info.frames, info.channels);
        status = 1;
    } else if (in.channels.back() >= info.channels) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] has %d channels; channel %d is missing", path,
                   info.channels, in.channels.back());
        status = 1;
    }
    if (status == 0) {
        const long long frames = info.frames;
        const int C = info.channels;
        data->assign(in.channels.size(), std::vector<float>((size_t)frames));
        std::vector<float> block((size_t)4096 * C);
        for (long long f = 0; f < frames && status == 0;) {
            sf_count_t want = std::min<long long>(4096, frames - f);
            sf_count_t got = sf_readf_float(file.handle, block.data(), want);
            if (got <= 0) {
                VELKIO_LOG(VELKIO_LOG_ERROR, "[%s]: read error at frame %lld", path, f);
                status = 1;
                break;
            }
            for (size_t j = 0; j < in.channels.size(); j++) {
                float *out = (*data)[j].data() + f;
                for (sf_count_t i = 0; i < got; i++)
                    out[i] = block[(size_t)(i * C + in.channels[j])];
            }
            f += got;
        }
    }
    velktool_closeSoundFile(&file);
    return status;
}

double meanSquare(const double *x, long n)
{
    double e = 0.0;
    for (long i = 0; i < n; i++)
        e += x[i] * x[i];
    return n > 0 ? e / n : 0.0;
}

double db(double power)
{
    return power > 0 ? 10.0 * std::log10(power) : -300.0;
}

// Level, peak and clipping of one channel.  Clipped samples sit on a
// plateau at full scale: runs of two or more samples equal to the largest,
// which reaches the full scale (1.0, or the largest integer sample).  A
// float recording may exceed 1.0 without clipping; its largest sample then
// stands alone.
void levels(const std::vector<float> &x, diag_RecordingChannel *rc)
{
    double e = 0.0;
    float peak = 0.0f;
    for (float v : x) {
        e += (double)v * v;
        peak = std::max(peak, std::fabs(v));
    }
    long clipped = 0;
    const size_t n = x.size();
    if (peak >= fullScale)
        for (size_t i = 0; i < n; i++)
            clipped += std::fabs(x[i]) == peak &&
                       ((i > 0 && std::fabs(x[i - 1]) == peak) ||
                        (i + 1 < n && std::fabs(x[i + 1]) == peak));
    rc->levelDb = db(e / (double)n);
    rc->peakDb = db((double)peak * peak);
    rc->clippedPercent = 100.0 * (double)clipped / (double)n;
}

// Lowest correlation coefficient of consecutive periods from `offset` on.
double periodSimilarity(const std::vector<float> &x, int offset, int L, int periods)
{
    double lowest = 1.0;
    for (int p = 0; p + 1 < periods; p++) {
        const float *u = x.data() + offset + (size_t)p * L, *v = u + L;
        double uv = 0, uu = 0, vv = 0;
        for (int i = 0; i < L; i++) {
            uv += (double)u[i] * v[i];
            uu += (double)u[i] * u[i];
            vv += (double)v[i] * v[i];
        }
        double c = uu > 0 && vv > 0 ? uv / std::sqrt(uu * vv) : 0.0;
        lowest = std::min(lowest, c);
    }
    return lowest;
}

// Main peak (signed: a peak in the second half of a circular response lies
// before its start) and SNR against the mean square of noise[from .. to).
void peakAndSnr(const std::vector<double> &h, bool circular, long noiseFrom, long noiseTo,
                diag_RecordingChannel *rc)
{
    const long n = (long)h.size();
    long best = 0;
    for (long i = 1; i < n; i++)
        if (std::fabs(h[(size_t)i]) > std::fabs(h[(size_t)best]))
            best = i;
    rc->peakIndex = circular && best >= n / 2 ? (double)(best - n) : (double)best;
    double noise = noiseTo > noiseFrom ? meanSquare(h.data() + noiseFrom, noiseTo - noiseFrom) : 0.0;
    double peak = h[(size_t)best] * h[(size_t)best];
    rc->snrDb = noise > 0 ? db(peak / noise) : (peak > 0 ? 300.0 : 0.0);
}

// Dead channels of one recording: silent, or noise alone: far below the
// other channels, with no impulse response standing out of it where the
// others' do (and, for TSP recordings, periods that do not repeat).
const double silentLevel = -100.0; // dB full scale
const double belowOthers = 20.0;   // dB

void markDead(bool tsp, const diag_Options &o, std::vector<diag_RecordingChannel> *channels)
{
    std::vector<double> level, snr;
    for (const auto &rc : *channels) {
        level.push_back(rc.levelDb);
        snr.push_back(rc.snrDb);
    }
    const double typicalLevel = diag_median(level), typicalSnr = diag_median(snr);
    for (auto &rc : *channels)
        rc.dead = rc.levelDb < silentLevel ||
                  (rc.levelDb < typicalLevel - belowOthers && rc.snrDb < o.minSnr &&
                   typicalSnr >= o.minSnr && (!tsp || rc.similarity < o.minSimilarity));
}

// Checks one recording; `latency` receives the channels' peak minus their
// travel time (TSP and impulse recordings alike).
int checkOne(const velkio_Position *p, const Inputs &in, const diag_Options &o,
             diag_Recording *rec, std::vector<double> *latency)
{
    std::vector<std::vector<float>> data;
    if (readRecording(p->path, in, &data) != 0)
        return 1;
    diag_Vec3 src;
    bool haveSrc = cartesian(p, &src) == 0;
    const velkio_Config *cfg = in.list->cfg;
    const int L = in.tsp ? cfg->tspLength : 0;
    const int sync = in.tsp ? cfg->synchronousAverage : 0;
    const int offset = in.tsp ? cfg->tspOffset : 0;
    const long frames = (long)data[0].size();
    // calctfrec refuses such a recording too: it cannot be behind the archive.
    if (in.tsp && (long)offset + (long)L * sync > frames) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] holds %ld frames, fewer than the TSP offset %d plus %d periods of %d "
                   "samples",
                   p->path, frames, offset, sync, L);
        return 1;
    }
    std::vector<double> h, avg;
    for (size_t j = 0; j < in.channels.size(); j++) {
        const std::vector<float> &x = data[j];
        diag_RecordingChannel rc;
        rc.channel = in.channels[j];
        levels(x, &rc);
        rc.similarity = 1.0;
        if (in.tsp) {
            rc.similarity = sync > 1 ? periodSimilarity(x, offset, L, sync) : 1.0;
            avg.assign((size_t)L, 0.0);
            for (int q = 0; q < sync; q++)
                for (int i = 0; i < L; i++)
                    avg[(size_t)i] += x[(size_t)offset + (size_t)q * L + i];
            for (double &v : avg)
                v /= sync;
            h.assign((size_t)L, 0.0);
            if (velktool_deconvolvePeriod(&in.ref, avg.data(), h.data()) != 0)
                return 1;
            peakAndSnr(h, true, L / 2, 3L * L / 4, &rc);
        } else {
            h.assign(x.begin(), x.end());
            peakAndSnr(h, false, frames - frames / 4, frames, &rc);
        }
        rec->channels.push_back(rc);
    }
    markDead(in.tsp, o, &rec->channels);
    for (size_t j = 0; j < in.channels.size() && haveSrc; j++)
        if (!rec->channels[j].dead)
            latency->push_back(rec->channels[j].peakIndex -
                               diag_distance(src, in.micPos[j]) * in.rate / o.speedOfSound);
    return 0;
}

std::string joinIds(const std::vector<int> &ids)
{
    std::string out;
    for (size_t i = 0; i < ids.size() && i < 12; i++)
        out += (i ? ", " : "") + std::to_string(ids[i]);
    return out + (ids.size() > 12 ? ", ..." : "");
}

// Clipping: one finding per recording, for all its clipped channels.
void judgeClipping(const diag_Recording &rec, const diag_Options &o, diag_Result *r)
{
    std::vector<int> clipped;
    double most = 0;
    for (const diag_RecordingChannel &rc : rec.channels)
        if (rc.clippedPercent > 0) {
            clipped.push_back(rc.channel);
            most = std::max(most, rc.clippedPercent);
        }
    if (clipped.empty())
        return;
    std::string names = joinIds(clipped);
    const char *plural = clipped.size() > 1 ? "s" : "";
    add(r, most > o.maxClipped ? DIAG_ERROR : DIAG_WARNING,
        diag_format("recording %d, channel%s %s", rec.id, plural, names.c_str()),
        diag_format("Recording %s (source %d) is clipped on channel%s %s: up to %.3f %% of the "
               "samples are at full scale (limit %.3f %%). Clipping spreads the TSP's energy "
               "over all frequencies and corrupts the impulse response. Lower the playback "
               "level or the input gain by at least %.0f dB and record again.",
               rec.path.c_str(), rec.id, plural, names.c_str(), most, o.maxClipped,
               most < 0.1 ? 3.0 : most < 10.0 ? 10.0 : 20.0),
        {{"clippedPercent", most}, {"channels", (double)clipped.size()}}, {rec.id}, clipped);
}

// Silence, dissimilar periods and a low SNR: one finding per channel and
// kind, naming the recordings concerned.
void judgeChannels(const std::vector<diag_Recording> &recs, bool tsp, const diag_Options &o,
                   diag_Result *r)
{
    std::vector<int> channels;
    for (const auto &rec : recs)
        for (const auto &rc : rec.channels)
            if (std::find(channels.begin(), channels.end(), rc.channel) == channels.end())
                channels.push_back(rc.channel);
    std::sort(channels.begin(), channels.end());
    for (int c : channels) {
        std::vector<int> silent, unlike, noisy;
        double worstSim = 1.0, worstSnr = 1e30, level = -300.0, below = 1e30;
        int noiseOnly = 0;
        for (const auto &rec : recs)
            for (const auto &rc : rec.channels) {
                if (rc.channel != c)
                    continue;
                if (rc.dead) {
                    silent.push_back(rec.id);
                    level = std::max(level, rc.levelDb);
                    if (rc.levelDb >= silentLevel) {
                        noiseOnly++;
                        std::vector<double> others;
                        for (const auto &x : rec.channels)
                            if (!x.dead)
                                others.push_back(x.levelDb);
                        double m = diag_median(others);
                        if (std::isfinite(m))
                            below = std::min(below, m - rc.levelDb);
                    }
                    continue;
                }
                if (tsp && rc.similarity < o.minSimilarity) {
                    unlike.push_back(rec.id);
                    worstSim = std::min(worstSim, rc.similarity);
                }
                if (rc.snrDb < o.minSnr + 10.0) {
                    noisy.push_back(rec.id);
                    worstSnr = std::min(worstSnr, rc.snrDb);
                }
            }
        std::string where = diag_format("channel %d", c);
        if (noiseOnly > 0)
            add(r, DIAG_ERROR, where,
                diag_format("Channel %d carries only noise in %d of %d recordings (sources %s): its "
                       "level is up to %.0f dB full scale, %.0f dB and more below the other "
                       "channels, and no impulse response stands out of it. The microphone or "
                       "its input is dead (a broken cable, no power, a dead input). Check its "
                       "cable, power and recorder input, then record again; or make the "
                       "transfer functions without it (a channel list on the first position "
                       "of the list).",
                       c, (int)silent.size(), (int)recs.size(), joinIds(silent).c_str(), level,
                       below),
                {{"recordings", (double)silent.size()},
                 {"levelDbfs", level},
                 {"belowOthersDb", below}},
                silent, {c});
        else if (!silent.empty())
            add(r, DIAG_ERROR, where,
                diag_format("Channel %d is silent (level %.0f dB full scale) in %d of %d recordings "
                       "(sources %s): the microphone or its input is dead. Check its cable, "
                       "power and recorder input, then record again; or make the transfer "
                       "functions without it (a channel list on the first position of the "
                       "list).",
                       c, level, (int)silent.size(), (int)recs.size(), joinIds(silent).c_str()),
                {{"recordings", (double)silent.size()}, {"levelDbfs", level}}, silent, {c});
        if (!unlike.empty())
            add(r, worstSim < 0.5 ? DIAG_ERROR : DIAG_WARNING, where,
                diag_format("The TSP periods of channel %d differ from one to the next in %d "
                       "recordings (sources %s; lowest correlation %.3f, limit %.3f): the "
                       "offset may start in silence, or noise or a disturbance hit the "
                       "recording. Check the TSP offset and record again.",
                       c, (int)unlike.size(), joinIds(unlike).c_str(), worstSim, o.minSimilarity),
                {{"recordings", (double)unlike.size()}, {"similarity", worstSim}}, unlike, {c});
        if (!noisy.empty()) {
            int sev = worstSnr < o.minSnr ? DIAG_ERROR : DIAG_WARNING;
            add(r, sev, where,
                diag_format("The impulse responses of channel %d stand only %.1f dB above the noise "
                       "of their tail in %d recordings (sources %s; limit %.1f dB). Play "
                       "louder, add TSP periods, or lower the background noise, and record "
                       "again.",
                       c, worstSnr, (int)noisy.size(), joinIds(noisy).c_str(),
                       sev == DIAG_ERROR ? o.minSnr : o.minSnr + 10.0),
                {{"recordings", (double)noisy.size()}, {"snrDb", worstSnr}}, noisy, {c});
        }
    }
}

} // namespace

int diag_checkRecordings(const diag_Archive &a, const char *listPath, const char *micPath,
                         const diag_Options &o, diag_Result *r)
{
    Inputs in;
    if (openInputs(listPath, micPath, a, &in) != 0)
        return 1;
    r->checkRun[DIAG_RECORDINGS] = 1;
    r->recordingsChecked = 1;
    r->recordingsAreTsp = in.tsp;
    const velkio_Positions *pos = in.list->poses;
    std::vector<double> latency;
    std::vector<std::vector<double>> perRecording;
    for (int i = 0; i < pos->count; i++) {
        const velkio_Position *p = pos->list[i];
        diag_Recording rec;
        rec.id = p->id;
        rec.path = p->path != nullptr ? p->path : "";
        std::vector<double> lat;
        if (checkOne(p, in, o, &rec, &lat) != 0)
            return 1;
        judgeClipping(rec, o, r);
        perRecording.push_back(lat);
        latency.insert(latency.end(), lat.begin(), lat.end());
        r->recordings.push_back(std::move(rec));
    }
    judgeChannels(r->recordings, in.tsp, o, r);
    // Where the direct sound lies in the impulse responses.
    double shared = diag_median(latency);
    int offset = in.tsp ? in.list->cfg->tspOffset : 0;
    int suggested = offset + (int)std::lround(std::isfinite(shared) ? shared : 0.0);
    std::vector<int> wrapped, near;
    double worst = 1e30;
    for (size_t i = 0; i < r->recordings.size(); i++) {
        std::vector<double> peaks;
        for (const auto &rc : r->recordings[i].channels)
            if (!rc.dead)
                peaks.push_back(rc.peakIndex);
        double first = peaks.empty() ? 1e30 : *std::min_element(peaks.begin(), peaks.end());
        double mid = diag_median(peaks);
        if (!std::isfinite(mid))
            continue;
        if (mid < 0)
            wrapped.push_back(r->recordings[i].id);
        else if (first < edgeMargin)
            near.push_back(r->recordings[i].id);
        worst = std::min(worst, first);
    }
    if (in.tsp) {
        r->suggestOffset = suggested;
        r->haveSuggestOffset = 1;
    }
    if (!wrapped.empty())
        add(r, DIAG_ERROR,
            wrapped.size() == 1 ? diag_format("recording %d", wrapped[0])
                                : diag_format("%d recordings", (int)wrapped.size()),
            diag_format("In %d recordings (sources %s) the main peak of the deconvolved impulse "
                   "response lies at the end of the period, %.0f samples before its start: the "
                   "TSP offset %d is late, and the direct sound wraps around to the end, where "
                   "the transfer functions never see it. A TSP offset of %d puts the direct "
                   "sound at its travel time from the source; make the transfer functions "
                   "again with it.",
                   (int)wrapped.size(), joinIds(wrapped).c_str(), -worst, offset, suggested),
            {{"recordings", (double)wrapped.size()},
             {"tspOffset", (double)offset},
             {"suggestedOffset", (double)suggested},
             {"earliestPeak", worst}},
            wrapped, {});
    else if (!near.empty())
        add(r, DIAG_WARNING,
            near.size() == 1 ? diag_format("recording %d", near[0]) : diag_format("%d recordings", (int)near.size()),
            diag_format("In %d recordings (sources %s) the direct sound lies within %.0f samples "
                   "of the start of the impulse response (earliest at sample %.1f): a slightly "
                   "later TSP offset would lose it.%s",
                   (int)near.size(), joinIds(near).c_str(), edgeMargin, worst,
                   in.tsp ? diag_format(" A TSP offset of %d instead of %d puts the direct sound at "
                                   "its travel time from the source.",
                                   suggested, offset)
                                .c_str()
                          : ""),
            {{"recordings", (double)near.size()}, {"earliestPeak", worst}}, near, {});
    return 0;
}
