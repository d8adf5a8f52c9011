// The HTML report: one self-contained page (no scripts, nothing fetched)
// with the summary, the findings and inline SVG pictures.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "diagnose.h"

namespace {

const char *colourOk = "#2e7d32", *colourWarning = "#d98e04", *colourError = "#c62828";

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

const char *colourOf(int severity)
{
    return severity == DIAG_ERROR ? colourError : severity == DIAG_WARNING ? colourWarning : colourOk;
}

// The worst severity of the findings that name a source or a channel.
struct Flags {
    int sourceSeverity(int id, const diag_Result &r) const
    {
        int worst = DIAG_OK;
        for (const auto &f : r.findings)
            if (std::find(f.sources.begin(), f.sources.end(), id) != f.sources.end())
                worst = std::max(worst, f.severity);
        return worst;
    }
    // A recording's finding concerns that recording, not the channel.
    int channelSeverity(int c, const diag_Result &r) const
    {
        int worst = DIAG_OK;
        for (const auto &f : r.findings)
            if (f.check != DIAG_RECORDINGS &&
                std::find(f.channels.begin(), f.channels.end(), c) != f.channels.end())
                worst = std::max(worst, f.severity);
        return worst;
    }
};

// A frame with a title; the plot area is (x0, y0) .. (x0 + w, y0 + h).
std::string frame(const char *id, const char *title, int width, int height)
{
    return diag_format("<svg id=\"%s\" class=\"picture\" xmlns=\"http://www.w3.org/2000/svg\" "
                  "width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">"
                  "<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>"
                  "<text x=\"10\" y=\"18\" class=\"title\">%s</text>",
                  id, width, height, width, height, width, height, title);
}

// The array and the sources seen from above: sources on the left (scaled
// to their largest distance), the microphones on the right (scaled to the
// array), flagged ones in colour; estimated microphone positions hollow.
std::string arrayPicture(const diag_Archive &a, const diag_Result &r)
{
    std::string s = frame("array", "Seen from above: sources (left) and microphones (right)", 500, 300);
    double rs = 1e-9, rm = 1e-9;
    for (const auto &p : a.src)
        rs = std::max(rs, std::hypot(p.x, p.y));
    for (const auto &p : a.mic)
        rm = std::max(rm, std::hypot(p.x, p.y));
    for (const auto &mr : r.mics)
        if (mr.fitted)
            rm = std::max(rm, std::hypot(mr.estimate.x, mr.estimate.y));
    const double cy = 160, cx1 = 125, cx2 = 375, R = 105;
    s += diag_format("<circle cx=\"%g\" cy=\"%g\" r=\"%g\" fill=\"none\" stroke=\"#ccc\"/>", cx1, cy, R);
    s += diag_format("<circle cx=\"%g\" cy=\"%g\" r=\"%g\" fill=\"none\" stroke=\"#ccc\"/>", cx2, cy, R);
    s += diag_format("<text x=\"%g\" y=\"292\" class=\"axis\" text-anchor=\"middle\">radius %.2f m</text>",
                cx1, rs);
    s += diag_format("<text x=\"%g\" y=\"292\" class=\"axis\" text-anchor=\"middle\">radius %.3f m</text>",
                cx2, rm);
    Flags fl;
    // Unflagged first, so flagged marks lie on top.
    for (int pass = 0; pass < 2; pass++)
        for (int i = 0; i < a.nSrc; i++) {
            int sev = fl.sourceSeverity(a.srcId[(size_t)i], r);
            if ((sev != DIAG_OK) != (pass == 1))
                continue;
            const diag_Vec3 &p = a.src[(size_t)i];
            s += diag_format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%s\" fill=\"%s\"><title>source %d"
                        "</title></circle>",
                        cx1 + p.x / rs * R, cy - p.y / rs * R, sev ? "3.5" : "2.5",
                        sev ? colourOf(sev) : "#555", a.srcId[(size_t)i]);
        }
    s += diag_format("<text x=\"%g\" y=\"%g\" class=\"axis\">x</text>", cx1 + R + 4, cy + 4);
    for (int m = 0; m < a.nMic; m++) {
        const diag_Vec3 &p = a.mic[(size_t)m];
        int c = a.micChannel[(size_t)m];
        int sev = fl.channelSeverity(c, r);
        double x = cx2 + p.x / rm * R, y = cy - p.y / rm * R;
        const diag_MicResult &mr = r.mics[(size_t)m];
        if (mr.fitted) {
            double ex = cx2 + mr.estimate.x / rm * R, ey = cy - mr.estimate.y / rm * R;
            s += diag_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                        "stroke-dasharray=\"3,2\"/><circle cx=\"%.1f\" cy=\"%.1f\" r=\"7\" "
                        "fill=\"none\" stroke=\"%s\" stroke-width=\"2\"><title>channel %d "
                        "estimated</title></circle>",
                        x, y, ex, ey, colourOf(sev), ex, ey, colourOf(sev), c);
        }
        s += diag_format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"7\" fill=\"%s\"><title>channel %d"
                    "</title></circle><text x=\"%.1f\" y=\"%.1f\" class=\"label\" "
                    "text-anchor=\"middle\">%d</text>",
                    x, y, sev ? colourOf(sev) : "#1565c0", c, x, y + 3.5, c);
    }
    return s + "</svg>";
}

// Stated against estimated azimuth per source.
std::string directionPicture(const diag_Archive &a, const diag_Result &r)
{
    const int W = 500, H = 300, x0 = 50, y0 = 30, w = 430, h = 230;
    std::string s = frame("direction", "Direction: stated (x) against estimated azimuth (y), degrees", W, H);
    s += diag_format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999\"/>",
                x0, y0, w, h);
    for (int t = -180; t <= 180; t += 90) {
        double x = x0 + (t + 180) / 360.0 * w, y = y0 + h - (t + 180) / 360.0 * h;
        s += diag_format("<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%d</text>",
                    x, y0 + h + 14, t);
        s += diag_format("<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%d</text>",
                    x0 - 4, y + 4, t);
    }
    s += diag_format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#bbb\"/>", x0, y0 + h,
                x0 + w, y0);
    Flags fl;
    for (int i = 0; i < a.nSrc; i++) {
        const diag_SourceResult &sr = r.sources[(size_t)i];
        if (!sr.checked)
            continue;
        int sev = fl.sourceSeverity(a.srcId[(size_t)i], r);
        double sx = x0 + (std::remainder(sr.statedAz, 360.0) + 180) / 360.0 * w;
        double ey = y0 + h - (std::remainder(sr.estAz, 360.0) + 180) / 360.0 * h;
        s += diag_format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"><title>source %d: "
                    "%.1f / %.1f, error %.1f degrees</title></circle>",
                    sx, ey, sev ? colourOf(sev) : "#1565c0", a.srcId[(size_t)i], sr.statedAz,
                    sr.estAz, sr.angularError);
    }
    return s + "</svg>";
}

// Delay residual per source (rows, grouped when there are many) and
// channel (columns): blue early, red late.
std::string residualPicture(const diag_Archive &a, const diag_Options &o, const diag_Result &r)
{
    const int W = 500, H = 300, x0 = 60, y0 = 30, w = 360, h = 230;
    std::string s = frame("residuals", "Delay residual (samples): sources x channels", W, H);
    const int rows = std::min(a.nSrc, 115), M = a.nMic;
    const double limit = 2 * o.maxDelayResidual;
    for (int i = 0; i < rows; i++) {
        int s0 = (int)((long)i * a.nSrc / rows), s1 = (int)((long)(i + 1) * a.nSrc / rows);
        for (int m = 0; m < M; m++) {
            double sum = 0;
            int n = 0;
            for (int k = s0; k < s1; k++) {
                double v = r.residual.empty() ? NAN : r.residual[(size_t)k][(size_t)m];
                if (std::isfinite(v)) {
                    sum += v;
                    n++;
                }
            }
            std::string fill = "#ddd";
            if (n > 0) {
                double t = std::max(-1.0, std::min(1.0, sum / n / limit));
                int shade = (int)std::lround(255 * (1 - std::fabs(t)));
                fill = t >= 0 ? diag_format("rgb(255,%d,%d)", shade, shade)
                              : diag_format("rgb(%d,%d,255)", shade, shade);
            }
            s += diag_format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\"/>",
                        x0 + (double)m * w / M, y0 + (double)i * h / rows, (double)w / M + 0.3,
                        (double)h / rows + 0.3, fill.c_str());
        }
    }
    s += diag_format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999\"/>",
                x0, y0, w, h);
    for (int m = 0; m < M; m++)
        if (M <= 24 || m % (M / 16 + 1) == 0)
            s += diag_format("<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%d</text>",
                        x0 + (m + 0.5) * w / M, y0 + h + 14, a.micChannel[(size_t)m]);
    s += diag_format("<text x=\"%d\" y=\"%d\" class=\"axis\" text-anchor=\"end\">%d</text>", x0 - 4,
                y0 + 10, a.srcId.front());
    s += diag_format("<text x=\"%d\" y=\"%d\" class=\"axis\" text-anchor=\"end\">%d</text>", x0 - 4,
                y0 + h, a.srcId.back());
    // Colour scale.
    for (int i = 0; i <= 20; i++) {
        double t = 1 - i / 10.0;
        int shade = (int)std::lround(255 * (1 - std::fabs(t)));
        std::string fill = t >= 0 ? diag_format("rgb(255,%d,%d)", shade, shade)
                                  : diag_format("rgb(%d,%d,255)", shade, shade);
        s += diag_format("<rect x=\"%d\" y=\"%.1f\" width=\"14\" height=\"%.1f\" fill=\"%s\"/>",
                    x0 + w + 20, y0 + i * h / 21.0, h / 21.0 + 0.3, fill.c_str());
    }
    s += diag_format("<text x=\"%d\" y=\"%d\" class=\"axis\">+%.1f</text>", x0 + w + 38, y0 + 10, limit);
    s += diag_format("<text x=\"%d\" y=\"%d\" class=\"axis\">0</text>", x0 + w + 38, y0 + h / 2 + 4);
    s += diag_format("<text x=\"%d\" y=\"%d\" class=\"axis\">-%.1f</text>", x0 + w + 38, y0 + h, limit);
    return s + "</svg>";
}

// Each channel's mean magnitude over the sources, dB against frequency.
std::string magnitudePicture(const diag_Archive &a, const diag_Result &r)
{
    const int W = 500, H = 300, x0 = 50, y0 = 30, w = 430, h = 230;
    std::string s = frame("magnitude", "Magnitude response per channel (dB, mean over sources)", W, H);
    double top = -1e30;
    for (const auto &mr : r.mics)
        for (double v : mr.magnitudeDb)
            top = std::max(top, v);
    if (top < -200)
        top = 0;
    top = 10 * std::ceil(top / 10);
    const double range = 60;
    s += diag_format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999\"/>",
                x0, y0, w, h);
    for (int d = 0; d <= 60; d += 20)
        s += diag_format("<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%.0f</text>",
                    x0 - 4, y0 + d / range * h + 4, top - d + 0.0);
    double nyq = a.rate / 2.0;
    for (int i = 0; i <= 4; i++)
        s += diag_format("<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%.0f Hz</text>",
                    x0 + i * w / 4.0, y0 + h + 14, nyq * i / 4);
    double bx = x0 + (double)r.bandHigh / (a.bins - 1) * w;
    s += diag_format("<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"#1565c0\" "
                "fill-opacity=\"0.06\"><title>band of the delay and direction checks</title></rect>",
                x0, y0, bx - x0, h);
    Flags fl;
    for (int pass = 0; pass < 2; pass++)
        for (int m = 0; m < a.nMic; m++) {
            int c = a.micChannel[(size_t)m];
            int sev = fl.channelSeverity(c, r);
            if ((sev != DIAG_OK) != (pass == 1))
                continue;
            std::string pts;
            const auto &mag = r.mics[(size_t)m].magnitudeDb;
            for (size_t k = 0; k < mag.size(); k++) {
                double v = std::max(top - range, std::min(top, mag[k]));
                pts += diag_format("%.1f,%.1f ", x0 + (double)k / (a.bins - 1) * w,
                              y0 + (top - v) / range * h);
            }
            s += diag_format("<polyline points=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"%s\">"
                        "<title>channel %d</title></polyline>",
                        pts.c_str(), sev ? colourOf(sev) : "#78909c", sev ? "2" : "1", c);
        }
    return s + "</svg>";
}

std::string recordingsTable(const diag_Options &o, const diag_Result &r)
{
    std::string s = "<h2>Recordings</h2><table id=\"recordings\" class=\"picture\"><tr>"
                    "<th>source</th><th>file</th>";
    size_t channels = r.recordings.empty() ? 0 : r.recordings[0].channels.size();
    for (size_t c = 0; c < channels; c++)
        s += diag_format("<th>ch %d</th>", r.recordings[0].channels[c].channel);
    s += "</tr>";
    size_t shown = 0;
    for (const auto &rec : r.recordings) {
        if (++shown > 400)
            break;
        s += diag_format("<tr><td>%d</td><td>%s</td>", rec.id, escape(rec.path).c_str());
        for (const auto &rc : rec.channels) {
            int sev = rc.dead || rc.clippedPercent > o.maxClipped || rc.snrDb < o.minSnr
                          ? DIAG_ERROR
                      : rc.clippedPercent > 0 || rc.snrDb < o.minSnr + 10 ? DIAG_WARNING
                                                                           : DIAG_OK;
            s += diag_format("<td style=\"background:%s\" title=\"SNR %.1f dB, peak at %.1f\">%.1f dB"
                        "%s</td>",
                        sev == DIAG_ERROR ? "#ffcdd2" : sev == DIAG_WARNING ? "#ffe0a0" : "#e8f5e9",
                        rc.snrDb, rc.peakIndex, rc.levelDb,
                        rc.clippedPercent > 0 ? diag_format("<br>%.2f %% clipped", rc.clippedPercent).c_str()
                                              : "");
        }
        s += "</tr>";
    }
    s += "</table>";
    if (r.recordings.size() > 400)
        s += diag_format("<p>(the first 400 of %d recordings)</p>", (int)r.recordings.size());
    return s;
}

} // namespace

std::string diag_htmlReport(const char *path, const diag_Archive &a, const diag_Options &o,
                            const diag_Result &r)
{
    int worst = diag_worstSeverity(r, -1);
    std::string h =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>velktoolcli-diagnose: " + escape(path) + "</title><style>"
        "body{font-family:sans-serif;margin:20px;color:#222;max-width:1040px}"
        "h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:18px 0 6px}"
        "p.meta{color:#555;margin:0 0 10px;font-size:13px}"
        "table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #ccc;padding:3px 7px;"
        "text-align:left;vertical-align:top}"
        ".sev{color:#fff;font-weight:bold;border-radius:3px;padding:1px 6px}"
        ".pics{display:flex;flex-wrap:wrap;gap:12px}"
        ".pics svg{border:1px solid #ddd}"
        "svg .title{font-size:13px;font-weight:bold;fill:#333}"
        "svg .axis{font-size:10px;fill:#555}svg .label{font-size:9px;fill:#fff;font-weight:bold}"
        "ul.findings{padding-left:18px;font-size:13px}ul.findings li{margin-bottom:6px}"
        "</style></head><body>\n";
    h += "<h1>Measurement diagnosis: " + escape(path) + "</h1>";
    h += diag_format("<p class=\"meta\">%d sources &times; %d microphones, %d Hz, nfft %d; band %.0f &ndash; "
                "%.0f Hz. Result: <span class=\"sev\" style=\"background:%s\">%s</span></p>\n",
                a.nSrc, a.nMic, a.rate, a.nfft, (double)r.bandLow * a.rate / a.nfft,
                (double)r.bandHigh * a.rate / a.nfft, colourOf(worst), diag_severityName(worst));
    h += "<table id=\"summary\"><tr><th>check</th><th>status</th></tr>";
    for (int c = 0; c < DIAG_NCHECKS; c++) {
        int sev = diag_worstSeverity(r, c);
        h += diag_format("<tr><td>%s</td><td>%s</td></tr>", diag_checkName(c),
                    r.checkRun[c] ? diag_format("<span class=\"sev\" style=\"background:%s\">%s</span>",
                                           colourOf(sev), diag_severityName(sev))
                                        .c_str()
                                  : "not run");
    }
    h += "</table>\n<h2>Findings, worst first</h2>";
    if (r.findings.empty()) {
        h += "<p>No findings: the measurement fits its geometry.</p>";
    } else {
        h += "<ul class=\"findings\">";
        for (const auto &f : r.findings)
            h += diag_format("<li><span class=\"sev\" style=\"background:%s\">%s</span> <b>%s, %s</b>: ",
                        colourOf(f.severity), diag_severityName(f.severity),
                        diag_checkName(f.check), escape(f.subject).c_str()) +
                 escape(f.text) + "</li>";
        h += "</ul>";
    }
    h += "\n<h2>Pictures</h2><div class=\"pics\">\n";
    h += arrayPicture(a, r) + "\n" + directionPicture(a, r) + "\n" + residualPicture(a, o, r) +
         "\n" + magnitudePicture(a, r) + "\n</div>\n";
    if (r.recordingsChecked)
        h += recordingsTable(o, r);
    h += "</body></html>\n";
    return h;
}
