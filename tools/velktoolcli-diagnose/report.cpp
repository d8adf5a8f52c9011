// The text and JSON reports, and the suggested microphone list.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "diagnose.h"
#include "docout.h"

namespace {

double bandHz(const diag_Archive &a, int bin)
{
    return (double)bin * a.rate / a.nfft;
}

struct Summary {
    std::string status; // "ok", "warning", "error", "not run"
    std::string text;
};

Summary summarize(int check, const diag_Archive &a, const diag_Options &o, const diag_Result &r)
{
    Summary s;
    if (!r.checkRun[check]) {
        s.status = "not run";
        s.text = check == DIAG_RECORDINGS ? "not checked (no --recordings)"
                                          : "not checked (fewer than two microphones)";
        return s;
    }
    s.status = diag_severityName(diag_worstSeverity(r, check));
    int n = 0, within = 0;
    double worst = 0;
    switch (check) {
    case DIAG_DIRECTION:
        for (const auto &sr : r.sources)
            if (sr.checked) {
                n++;
                within += sr.angularError <= o.maxDirectionError / 2;
                worst = std::max(worst, sr.angularError);
            }
        s.text = diag_format("%d of %d sources within %.1f degrees of the stated direction "
                        "(largest error %.1f degrees)",
                        within, n, o.maxDirectionError / 2, worst);
        break;
    case DIAG_DELAYS: {
        int worstMic = 0;
        for (size_t m = 0; m < r.mics.size(); m++)
            if (r.mics[m].medianResidual > r.mics[(size_t)worstMic].medianResidual)
                worstMic = (int)m;
        s.text = diag_format("largest median residual %.2f samples, channel %d (limit %.2f)%s",
                        r.mics.empty() ? 0.0 : r.mics[(size_t)worstMic].medianResidual,
                        a.micChannel.empty() ? 0 : a.micChannel[(size_t)worstMic],
                        o.maxDelayResidual,
                        r.permuted ? "; judged in the channel order that fits (wiring)" : "");
        break;
    }
    case DIAG_WIRING: {
        double gain = 0;
        for (const auto &m : r.mics)
            gain = std::max(gain, std::fabs(m.gainDb));
        s.text = r.permuted ? diag_format("another channel order fits the delays (RMS %.2f instead "
                                     "of %.2f samples)",
                                     r.costBest, r.costIdentity)
                            : diag_format("the listed channel order fits (RMS %.2f samples); "
                                     "largest gain deviation %.1f dB",
                                     r.costIdentity, gain);
        break;
    }
    case DIAG_TIMING: {
        for (const auto &sr : r.sources)
            if (sr.timed) {
                n++;
                worst = std::max(worst, std::fabs(sr.latency - r.latency));
            }
        if (n == 0) {
            s.text = "no source whose window holds the direct sound";
            break;
        }
        s.text = diag_format("latency %.1f samples (arrival in the impulse response minus travel "
                        "time), largest deviation %.1f samples (limit %.1f)",
                        r.latency, worst, o.maxTimingDeviation);
        break;
    }
    case DIAG_VALUES:
        s.text = a.nonFiniteLoc + a.nonFiniteSep == 0
                     ? "all values finite"
                     : diag_format("%ld values NaN or Inf", a.nonFiniteLoc + a.nonFiniteSep);
        break;
    case DIAG_RECORDINGS: {
        int channels = 0;
        for (const auto &rec : r.recordings)
            channels += (int)rec.channels.size();
        s.text = diag_format("%d %s recordings, %d channels checked", (int)r.recordings.size(),
                        r.recordingsAreTsp ? "TSP" : "impulse-response", channels);
        break;
    }
    }
    return s;
}

std::string jsonString(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            out += diag_format("\\u%04x", c);
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v)
{
    if (!std::isfinite(v))
        return "null";
    return diag_format("%.9g", v);
}

std::string jsonInts(const std::vector<int> &v)
{
    std::string out = "[";
    for (size_t i = 0; i < v.size(); i++)
        out += (i ? ", " : "") + std::to_string(v[i]);
    return out + "]";
}

std::string jsonVec(diag_Vec3 v)
{
    std::string out = "[";
    out += jsonNumber(v.x);
    out += ", ";
    out += jsonNumber(v.y);
    out += ", ";
    out += jsonNumber(v.z);
    out += "]";
    return out;
}

const char *kindOf(const diag_Archive &a)
{
    return a.fromSeparation ? "separation (conjugated)" : "localization";
}

} // namespace

std::string diag_textReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r)
{
    std::string out = diag_format("velktoolcli-diagnose: %s\n", path);
    out += diag_format("  %d sources x %d microphones, %d Hz, nfft %d; %s transfer functions\n",
                  a.nSrc, a.nMic, a.rate, a.nfft, kindOf(a));
    out += diag_format("  band %.0f - %.0f Hz (bins %d - %d); largest microphone spacing %.3f m\n\n",
                  bandHz(a, r.bandLow), bandHz(a, r.bandHigh), r.bandLow, r.bandHigh,
                  r.maxSpacing);
    for (int c = 0; c < DIAG_NCHECKS; c++) {
        Summary s = summarize(c, a, o, r);
        out += diag_format("%-11s %-8s %s\n", diag_checkName(c), s.status.c_str(), s.text.c_str());
    }
    int errors = 0, warnings = 0;
    for (const auto &f : r.findings) {
        errors += f.severity == DIAG_ERROR;
        warnings += f.severity == DIAG_WARNING;
    }
    if (r.findings.empty()) {
        out += "\nNo findings: the measurement fits its geometry.\n";
    } else {
        out += "\nFindings, worst first:\n";
        for (const auto &f : r.findings) {
            out += diag_format("\n[%s] %s, %s\n", diag_severityName(f.severity),
                          diag_checkName(f.check), f.subject.c_str());
            // Wrapped at 78 columns, indented by 2.
            std::string line;
            size_t at = 0;
            const std::string &t = f.text;
            while (at < t.size()) {
                size_t next = t.find(' ', at);
                if (next == std::string::npos)
                    next = t.size();
                std::string word = t.substr(at, next - at);
                if (!line.empty() && line.size() + 1 + word.size() > 76) {
                    out += "  " + line + "\n";
                    line.clear();
                }
                line += (line.empty() ? "" : " ") + word;
                at = next + 1;
            }
            if (!line.empty())
                out += "  " + line + "\n";
        }
    }
    out += diag_format("\nResult: %s (%d errors, %d warnings)\n",
                  diag_severityName(diag_worstSeverity(r, -1)), errors, warnings);
    return out;
}

std::string diag_jsonReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r)
{
    std::string j = "{\n";
    j += "  \"archive\": " + jsonString(path) + ",\n";
    j += "  \"status\": " + jsonString(diag_severityName(diag_worstSeverity(r, -1))) + ",\n";
    j += diag_format("  \"sources\": %d,\n  \"microphones\": %d,\n  \"samplingRate\": %d,\n"
                "  \"nfft\": %d,\n",
                a.nSrc, a.nMic, a.rate, a.nfft);
    j += "  \"transferFunctions\": " + jsonString(a.fromSeparation ? "separation" : "localization") + ",\n";
    j += "  \"band\": {\"lowBin\": " + std::to_string(r.bandLow) +
         ", \"highBin\": " + std::to_string(r.bandHigh) +
         ", \"lowHz\": " + jsonNumber(bandHz(a, r.bandLow)) +
         ", \"highHz\": " + jsonNumber(bandHz(a, r.bandHigh)) +
         ", \"maxSpacing\": " + jsonNumber(r.maxSpacing) + "},\n";
    j += "  \"thresholds\": {\"speedOfSound\": " + jsonNumber(o.speedOfSound) +
         ", \"maxDirectionError\": " + jsonNumber(o.maxDirectionError) +
         ", \"maxDelayResidual\": " + jsonNumber(o.maxDelayResidual) +
         ", \"maxGainDeviation\": " + jsonNumber(o.maxGainDeviation) +
         ", \"maxTimingDeviation\": " + jsonNumber(o.maxTimingDeviation) +
         ", \"minSnr\": " + jsonNumber(o.minSnr) +
         ", \"maxClipped\": " + jsonNumber(o.maxClipped) +
         ", \"minSimilarity\": " + jsonNumber(o.minSimilarity) + "},\n";
    j += "  \"checks\": [\n";
    for (int c = 0; c < DIAG_NCHECKS; c++) {
        Summary s = summarize(c, a, o, r);
        j += "    {\"name\": " + jsonString(diag_checkName(c)) + ", \"status\": " +
             jsonString(s.status) + ", \"summary\": " + jsonString(s.text) + "}" +
             (c + 1 < DIAG_NCHECKS ? ",\n" : "\n");
    }
    j += "  ],\n  \"findings\": [\n";
    for (size_t i = 0; i < r.findings.size(); i++) {
        const diag_Finding &f = r.findings[i];
        j += "    {\"check\": " + jsonString(diag_checkName(f.check)) +
             ", \"severity\": " + jsonString(diag_severityName(f.severity)) +
             ", \"subject\": " + jsonString(f.subject) + ", \"sources\": " + jsonInts(f.sources) +
             ", \"channels\": " + jsonInts(f.channels) + ",\n     \"text\": " +
             jsonString(f.text) + ",\n     \"evidence\": {";
        for (size_t e = 0; e < f.evidence.size(); e++)
            j += (e ? ", " : "") + jsonString(f.evidence[e].name) + ": " +
                 jsonNumber(f.evidence[e].value);
        j += std::string("}}") + (i + 1 < r.findings.size() ? ",\n" : "\n");
    }
    j += "  ],\n";
    j += "  \"latency\": " + jsonNumber(r.latency) + ",\n";
    j += "  \"suggestedTspOffset\": " +
         (r.haveSuggestOffset ? std::to_string(r.suggestOffset) : std::string("null")) + ",\n";
    j += "  \"channelOrder\": {\"permuted\": " + std::string(r.permuted ? "true" : "false") +
         ", \"rmsListed\": " + jsonNumber(r.costIdentity) +
         ", \"rmsFitting\": " + jsonNumber(r.costBest) + ", \"fitsPositionOf\": [";
    for (size_t m = 0; m < r.permutation.size(); m++)
        j += (m ? ", " : "") + std::to_string(a.micChannel[(size_t)r.permutation[m]]);
    j += "]},\n  \"sourceResults\": [\n";
    for (int s = 0; s < a.nSrc; s++) {
        const diag_SourceResult &sr = r.sources[(size_t)s];
        j += "    {\"id\": " + std::to_string(a.srcId[(size_t)s]) +
             ", \"azimuth\": " + jsonNumber(sr.statedAz) + ", \"elevation\": " +
             jsonNumber(sr.statedEl) + ", \"radius\": " + jsonNumber(sr.radius) +
             ", \"estimatedAzimuth\": " + (sr.checked ? jsonNumber(sr.estAz) : "null") +
             ", \"estimatedElevation\": " + (sr.checked ? jsonNumber(sr.estEl) : "null") +
             ", \"angularError\": " + (sr.checked ? jsonNumber(sr.angularError) : "null") +
             ", \"ambiguous\": " + (sr.ambiguous ? "true" : "false") +
             ", \"latency\": " + jsonNumber(sr.latency) + ", \"residuals\": [";
        for (int m = 0; m < a.nMic; m++)
            j += (m ? ", " : "") +
                 jsonNumber(r.residual.empty() ? NAN : r.residual[(size_t)s][(size_t)m]);
        j += std::string("]}") + (s + 1 < a.nSrc ? ",\n" : "\n");
    }
    j += "  ],\n  \"microphoneResults\": [\n";
    for (int m = 0; m < a.nMic; m++) {
        const diag_MicResult &mr = r.mics[(size_t)m];
        j += "    {\"channel\": " + std::to_string(a.micChannel[(size_t)m]) +
             ", \"position\": " + jsonVec(a.mic[(size_t)m]) +
             ", \"medianResidual\": " + jsonNumber(mr.medianResidual) +
             ", \"gainDb\": " + jsonNumber(mr.gainDb) +
             ", \"invertedFraction\": " + jsonNumber(mr.invertedFraction) +
             ", \"deadFraction\": " + jsonNumber(mr.deadFraction) +
             ", \"estimatedPosition\": " + (mr.fitted ? jsonVec(mr.estimate) : "null") +
             ", \"fitResidual\": " + (mr.fitted ? jsonNumber(mr.fitResidual) : "null") + "}" +
             (m + 1 < a.nMic ? ",\n" : "\n");
    }
    j += "  ],\n  \"recordings\": ";
    if (!r.recordingsChecked) {
        j += "null\n";
    } else {
        j += std::string("{\"kind\": ") + (r.recordingsAreTsp ? "\"tsp\"" : "\"impulse\"") +
             ", \"list\": [\n";
        for (size_t i = 0; i < r.recordings.size(); i++) {
            const diag_Recording &rec = r.recordings[i];
            j += "    {\"id\": " + std::to_string(rec.id) + ", \"path\": " + jsonString(rec.path) +
                 ", \"channels\": [";
            for (size_t c = 0; c < rec.channels.size(); c++) {
                const diag_RecordingChannel &rc = rec.channels[c];
                j += std::string(c ? ",\n      " : "\n      ") +
                     "{\"channel\": " + std::to_string(rc.channel) +
                     ", \"levelDbfs\": " + jsonNumber(rc.levelDb) +
                     ", \"peakDbfs\": " + jsonNumber(rc.peakDb) +
                     ", \"clippedPercent\": " + jsonNumber(rc.clippedPercent) +
                     ", \"similarity\": " + jsonNumber(rc.similarity) +
                     ", \"peakIndex\": " + jsonNumber(rc.peakIndex) +
                     ", \"snrDb\": " + jsonNumber(rc.snrDb) + "}";
            }
            j += std::string("]}") + (i + 1 < r.recordings.size() ? ",\n" : "\n");
        }
        j += "  ]}\n";
    }
    j += "}\n";
    return j;
}

int diag_writeMicList(const char *archivePath, const diag_Archive &a, const diag_Result &r,
                      const char *outPath)
{
    velkio_Positions *mics = velkio_Positions_copy(a.tf->microphones);
    if (mics == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: no microphone list to start from", archivePath);
        return 1;
    }
    for (int m = 0; m < a.nMic; m++) {
        const diag_MicResult &mr = r.mics[(size_t)m];
        // The channel gets the position that its signal fits: the estimate,
        // or the listed position of the channel whose place it holds.
        diag_Vec3 v = mr.fitted ? mr.estimate : a.mic[(size_t)r.permutation[(size_t)m]];
        if (!mr.fitted && r.permutation[(size_t)m] == m)
            continue;
        velkio_Position *p = velkio_Positions_getById(mics, a.micChannel[(size_t)m]);
        if (p == nullptr)
            continue;
        p->isCartesian = 1;
        p->coords[0] = (float)v.x;
        p->coords[1] = (float)v.y;
        p->coords[2] = (float)v.z;
    }
    velkio_XML *doc = velkio_XML_newFromData(mics, nullptr, nullptr);
    if (doc == nullptr) {
        velkio_Positions_delete(&mics);
        VELKIO_LOG(VELKIO_LOG_ERROR, "no memory for the microphone list");
        return 1;
    }
    int status = velk_writeDocument(doc, outPath, nullptr);
    velkio_XML_delete(&doc);
    return status;
}

std::string diag_format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize((size_t)n + 1);
        vsnprintf(&out[0], out.size(), fmt, again);
        out.resize((size_t)n);
    }
    va_end(again);
    return out;
}
