// velktoolcli-diagnose: the command line.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <popt.h>

#include "diagnose.h"
#include "docout.h"
#include "options.h"
#include "velkio.h"

namespace {

const char *logLevel = "E";
const char *recordings = nullptr;
const char *micList = nullptr;
const char *reportPath = nullptr;
const char *suggestPath = nullptr;
int jsonMode = 0;
diag_Options opts;

void helpForDiagnose(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-diagnose\n",
                  "  Check a transfer-function archive against its own geometry (and the\n"
                  "  recordings it was made from) and tell what is wrong with the measurement\n",
                  "\nExit status: 0 nothing is an error, 2 a finding is an error, 1 the inputs\n"
                  "cannot be checked.");
}

// Return values of the options whose value is checked.
enum {
    OPT_SPEED = 1000,
    OPT_DIRECTION,
    OPT_DELAY,
    OPT_GAIN,
    OPT_TIMING,
    OPT_SNR,
    OPT_CLIPPED,
    OPT_SIMILARITY
};

// The range of each checked option's value.
struct Range {
    int code;
    const double *value;
    double low, high; // low exclusive, high inclusive
};

const Range ranges[] = {
    {OPT_SPEED, &opts.speedOfSound, 0.0, 10000.0},
    {OPT_DIRECTION, &opts.maxDirectionError, 0.0, 180.0},
    {OPT_DELAY, &opts.maxDelayResidual, 0.0, 1e6},
    {OPT_GAIN, &opts.maxGainDeviation, 0.0, 200.0},
    {OPT_TIMING, &opts.maxTimingDeviation, 0.0, 1e6},
    {OPT_SNR, &opts.minSnr, -200.0, 300.0},
    {OPT_CLIPPED, &opts.maxClipped, -1e-300, 100.0},
    {OPT_SIMILARITY, &opts.minSimilarity, -1.0, 1.0},
};

// The range check of an option's value: rc, or POPT_ERROR_BADNUMBER.
int checkRange(poptContext, int rc, void *)
{
    for (const Range &r : ranges)
        if (r.code == rc && !(*r.value > r.low && *r.value <= r.high))
            return POPT_ERROR_BADNUMBER;
    return rc;
}

// An output must not overwrite one of the inputs.
int outputsAreSafe(const char *archive)
{
    const char *outputs[] = {reportPath, suggestPath};
    const char *inputs[] = {archive, recordings, micList};
    for (const char *out : outputs)
        if (velkio_Output_check(out))
            return 0;
    for (const char *out : outputs)
        for (const char *in : inputs)
            if (out != nullptr && in != nullptr && velk_outputIsInput(out, in))
                return 0;
    if (reportPath != nullptr && suggestPath != nullptr &&
        strcmp(reportPath, suggestPath) == 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--report and --suggest-mic-list name the same file [%s]",
                   reportPath);
        return 0;
    }
    return 1;
}

int diagnose(const char *archive)
{
    if (!outputsAreSafe(archive))
        return 1;
    if ((recordings == nullptr) != (micList == nullptr)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--recordings and --mic-list go together");
        return 1;
    }
    diag_Archive a;
    diag_Result r;
    int status = diag_loadArchive(archive, &a);
    if (status == 0) {
        diag_checkArchive(a, opts, &r);
        if (recordings != nullptr)
            status = diag_checkRecordings(a, recordings, micList, opts, &r);
    }
    if (status == 0) {
        diag_sortFindings(&r);
        if (reportPath != nullptr) {
            std::string html = diag_htmlReport(archive, a, opts, r);
            status = velk_writeText(html.data(), html.size(), reportPath, nullptr);
        }
    }
    if (status == 0 && suggestPath != nullptr)
        status = diag_writeMicList(archive, a, r, suggestPath);
    if (status == 0) {
        std::string text = jsonMode ? diag_jsonReport(archive, a, opts, r)
                                    : diag_textReport(archive, a, opts, r);
        status = velk_writeText(text.data(), text.size(), nullptr, nullptr);
    }
    if (status == 0 && diag_worstSeverity(r, -1) == DIAG_ERROR)
        status = 2;
    diag_freeArchive(&a);
    return status;
}

struct poptOption table[] = {
    {"recordings", '\0', POPT_ARG_STRING, &recordings, 0,
     "TSP or impulse list of the recordings the archive was made from", "LIST.xml"},
    {"mic-list", '\0', POPT_ARG_STRING, &micList, 0,
     "Microphone list of the recordings (with --recordings)", "FILE.xml"},
    {"json", '\0', POPT_ARG_NONE, &jsonMode, 0,
     "Write the report as one JSON document", nullptr},
    {"report", '\0', POPT_ARG_STRING, &reportPath, 0,
     "Write an HTML report with pictures to this file", "FILE.html"},
    {"suggest-mic-list", '\0', POPT_ARG_STRING, &suggestPath, 0,
     "Write a microphone list with the estimated positions and channel order", "FILE.xml"},
    {"speed-of-sound", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.speedOfSound, OPT_SPEED, "Speed of sound (m/s)", nullptr},
    {"max-direction-error", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.maxDirectionError, OPT_DIRECTION,
     "Direction error that is an error (degrees; half is a warning)", nullptr},
    {"max-delay-residual", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.maxDelayResidual, OPT_DELAY,
     "Median delay residual of a channel that is an error (samples)", nullptr},
    {"max-gain-deviation", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.maxGainDeviation, OPT_GAIN,
     "Gain deviation from the channels' median that is an error (dB)", nullptr},
    {"max-timing-deviation", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.maxTimingDeviation, OPT_TIMING,
     "Latency deviation of a source that is an error (samples)", nullptr},
    {"min-snr", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &opts.minSnr, OPT_SNR,
     "Impulse-response SNR below which it is an error (dB)", nullptr},
    {"max-clipped", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &opts.maxClipped,
     OPT_CLIPPED, "Share of clipped samples that is an error (percent)", nullptr},
    {"min-similarity", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT,
     &opts.minSimilarity, OPT_SIMILARITY,
     "Correlation of consecutive TSP periods below which it is a warning", nullptr},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program diagnose_commandLine = {
    "velktoolcli-diagnose", table, "[OPTIONS]* ARCHIVE(zip)", helpForDiagnose, checkRange,
    nullptr, 0};

int diagnose_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&diagnose_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &diagnose_commandLine);
    if (result == 0) {
        const char *path = poptGetArg(ctx);
        if (path == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing ARCHIVE");
            result = 1;
        } else if (poptPeekArg(ctx) != nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "unexpected argument [%s]", poptPeekArg(ctx));
            result = 1;
        } else {
            result = diagnose(path);
        }
    }
    poptFreeContext(ctx);
    return result;
}
