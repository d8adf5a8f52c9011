// The calcsysimp subcommand: impulse responses from one recorded TSP WAV
// file, one raw float file per selected channel.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "docout.h"
#include "tsp.h"
#include "velktool.h"

void helpForCalcSysImp(poptContext ctx, int status)
{
    if (hasParsedOpt)
        return;
    // popt converts help texts into the character set of the locale: the
    // no-break spaces (UTF-8) of the --outchannellist help would be lost in
    // the default "C" locale.  The usage screen ends the process.
    setlocale(LC_CTYPE, "C.UTF-8");
    velkopt_usage(ctx, status, "Function:\n", "  calcsysimp\n",
                  "  Calculate impluse responses from a recorded TSP wave\n",
                  "\n"
                  "Either of --tsporigflt or --tsporigwav should be given.\n"
                  "--inputwave and --outputpath should be given.\n");
}

namespace {

// Values of the options of one run.
struct SysImpOptions {
    int tspKind = -1;               // VELKTOOL_TSP_RAW / _WAV, -1 unset
    char *tspFlt = nullptr;
    char *tspWav = nullptr;
    int tspChannel = 0;
    int sigmax = 0;
    int sampleByFrame = 16384;
    int syncAddFreq = 16;
    int syncAddOffset = 16384;
    char *searchOffset = nullptr;
    char *outChannelList = nullptr;
    char *inputWave = nullptr;
    char *outputPath = nullptr;
    int chOrigin = 0;
    int samplingRate = 16000;       // of the reference TSP and the recording
    const char *logLevel = "E";
    int searchFrom = -1;
    int searchTo = -1;
    char channels[VELKTOOL_MAX_CHANNELS];
};

// A whole token as a base-10 number; 0 on success.
int parseLong(const char *token, long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtol(token, &end, 10);
    return (end == token || *end != '\0' || errno == ERANGE) ? 1 : 0;
}

} // namespace

// "START,END": the first two comma-separated tokens (more are ignored),
// 0 <= START <= END <= INT_MAX.
int velktool_parseSearchOffset(const char *textValue, int *from, int *to)
{
    std::string copy = textValue != nullptr ? textValue : "";
    char *save = nullptr;
    const char *first = strtok_r(copy.data(), ",", &save);
    const char *second = first != nullptr ? strtok_r(nullptr, ",", &save) : nullptr;
    long a = 0, b = 0;
    if (second == nullptr || parseLong(first, &a) != 0 ||
        parseLong(second, &b) != 0 || a < 0 || a > INT_MAX || b > INT_MAX ||
        a > b)
        return 1;
    *from = (int)a;
    *to = (int)b;
    return 0;
}

// Channels 0 .. 63 separated by commas or spaces; an empty list selects
// none.  The flags are only changed when the whole list is valid.
int velktool_parseChannelList(const char *textValue, char *flags)
{
    char chosen[VELKTOOL_MAX_CHANNELS] = {0};
    std::string copy = textValue != nullptr ? textValue : "";
    char *save = nullptr;
    for (const char *token = strtok_r(copy.data(), ", ", &save); token != nullptr;
         token = strtok_r(nullptr, ", ", &save)) {
        long c = 0;
        if (parseLong(token, &c) != 0 || c < 0 || c >= VELKTOOL_MAX_CHANNELS)
            return 1;
        chosen[c] = 1;
    }
    memcpy(flags, chosen, sizeof chosen);
    return 0;
}

namespace {

// The checks of one option handed back by popt: rc, or a popt error code.
int checkOption(poptContext, int rc, void *data)
{
    SysImpOptions &o = *static_cast<SysImpOptions *>(data);
    bool bad = false;
    switch (rc) {
    case 'F':
        o.tspKind = VELKTOOL_TSP_RAW;
        break;
    case 'W':
        o.tspKind = VELKTOOL_TSP_WAV;
        break;
    case 'r':
        bad = o.tspChannel < 0;
        break;
    case 'm':
        bad = o.sigmax <= 0;
        break;
    case 'n':
        bad = o.sampleByFrame <= 0;
        break;
    case 'f':
        bad = o.syncAddFreq <= 0;
        break;
    case 'a':
        bad = o.syncAddOffset < 0;
        break;
    case 'g':
        bad = o.chOrigin < 0;
        break;
    case 'R':
        bad = o.samplingRate <= 0;
        break;
    case 's':
        bad = velktool_parseSearchOffset(o.searchOffset, &o.searchFrom, &o.searchTo) != 0;
        break;
    case 'l':
        bad = velktool_parseChannelList(o.outChannelList, o.channels) != 0;
        break;
    default:
        break;
    }
    return bad ? POPT_ERROR_BADNUMBER : rc;
}

// Reports each missing mandatory option; 1 when one is missing.
int checkMandatory(const SysImpOptions &o)
{
    int missing = 0;
    if (o.tspKind < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --tsporigflt or --tsporigwav");
        missing = 1;
    }
    if (o.inputWave == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --inputwave");
        missing = 1;
    }
    if (o.outputPath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --outputpath");
        missing = 1;
    }
    return missing;
}

// The impulse-response files must be regular files or new, and must not
// replace the recording or the reference TSP they are computed from:
// "<prefix>_ch<n>.flt" is checked for every number the selected channels
// can get.  1 after the message.
int checkOutputsNotInputs(const SysImpOptions &o, const char *tspPath)
{
    int count = 0;
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS; c++)
        count += o.channels[c] != 0;
    for (int k = 0; k < count; k++) {
        std::string name = std::string(o.outputPath) + "_ch" +
                           std::to_string((long long)o.chOrigin + k) + ".flt";
        if (velkio_Output_check(name.c_str()) ||
            velk_outputIsInput(name.c_str(), o.inputWave) ||
            velk_outputIsInput(name.c_str(), tspPath))
            return 1;
    }
    return 0;
}

SysImpOptions sysImp;

// The help text of --outchannellist keeps its words together with
// no-break spaces (UTF-8 C2 A0).
const char channelListHelp[] =
    "Select\xC2\xA0"
    "channel(s)\xC2\xA0"
    "to\xC2\xA0"
    "calculate. (zero-based,\xC2\xA0"
    "comma\xC2\xA0"
    "separated)";

struct poptOption table[] = {
    {"tsporigflt", '\0', POPT_ARG_STRING, &sysImp.tspFlt, 'F',
     "Original tsp filename (float-data format)", nullptr},
    {"tsporigwav", '\0', POPT_ARG_STRING, &sysImp.tspWav, 'W',
     "Original tsp filename (PCM-wave format)", nullptr},
    {"tsporigchannel", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &sysImp.tspChannel, 'r', "Channel number (for the PCM-wave tsp)", nullptr},
    {"sigmax", '\0', POPT_ARG_INT, &sysImp.sigmax, 'm',
     "Maximum signal value (for float-format tsp)", nullptr},
    {"samplebyframe", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &sysImp.sampleByFrame, 'n', "Number of samplings per frame", nullptr},
    {"syncaddfreq", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &sysImp.syncAddFreq, 'f', "Frequency of synchronous addition", nullptr},
    {"syncaddoffset", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &sysImp.syncAddOffset, 'a', "Start position of synchronous addition", nullptr},
    {"searchoffset", '\0', POPT_ARG_STRING, &sysImp.searchOffset, 's',
     "Start and end point of the search range. This enables to search a "
     "start position and use it.",
     "INT,INT"},
    {"outchannellist", '\0', POPT_ARG_STRING, &sysImp.outChannelList, 'l',
     channelListHelp, "INT,..."},
    {"inputwave", '\0', POPT_ARG_STRING, &sysImp.inputWave, 'i',
     "Recorded wav file", nullptr},
    {"outputpath", '\0', POPT_ARG_STRING, &sysImp.outputPath, 'o',
     "Path prefix for output impulse response files. Output file will be "
     "32bit float monaural raw data named '<prefix>_ch0.flt','<prefix>_ch1.flt',...",
     nullptr},
    {"ch-origin", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &sysImp.chOrigin, 'g',
     "Number of first channel. This is used as the channel number of "
     "output file name.",
     nullptr},
    {"rate", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &sysImp.samplingRate, 'R',
     "Sampling rate of the reference TSP (Hz)", nullptr},
    VELKOPT_COMMON_ENTRIES(sysImp.logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program calcsysimp_commandLine = {
    "velktool5 calcsysimp", table, "calcsysimp [OPTIONS]*", helpForCalcSysImp, checkOption,
    &sysImp, 0};

// Returns 1 when the command line is wrong; otherwise ends the process
// through velktool_Exit once the work is done.
int velktoolcli_calcsysimp(int argc, char **argv)
{
    SysImpOptions &o = sysImp;
    o = SysImpOptions();
    memset(o.channels, 1, sizeof o.channels);
    poptContext ctx =
        velkopt_getContext(&calcsysimp_commandLine, argc, const_cast<const char **>(argv));
    if (velkopt_parse(ctx, &calcsysimp_commandLine) != 0 || checkMandatory(o) != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    const char *tspPath = o.tspKind == VELKTOOL_TSP_RAW ? o.tspFlt : o.tspWav;
    if (checkOutputsNotInputs(o, tspPath) != 0) {
        poptFreeContext(ctx);
        return 1;
    }
    int result = velktool_calcSysImp(
        o.tspKind, tspPath, o.tspChannel, o.sigmax, o.samplingRate, o.sampleByFrame,
        o.syncAddFreq, o.syncAddOffset, o.searchFrom, o.searchTo, o.channels,
        o.chOrigin, o.inputWave, o.outputPath);
    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calcsysimp %s end",
               result == 0 ? "normal" : "error");
    poptFreeContext(ctx);
    velktool_Exit(result);
}
