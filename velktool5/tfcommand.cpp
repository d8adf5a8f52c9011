// The command skeleton of the transfer-function subcommands: the option
// table, the front end, the preamble of every run and the arrays it makes.
#include "tfcommand.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "docout.h"
#include "textutil.h"

namespace {

// The subcommand being run, for the usage printer (which popt calls
// without any context of ours).
const velktool_TfCommand *current = nullptr;

void usage(poptContext ctx, int status)
{
    std::string name = std::string("  ") + current->name + "\n";
    velkopt_usage(ctx, status, "Function:\n", name.c_str(), current->description,
                  nullptr);
}

// The option table: the source list, the microphone list, the output type
// and file and the direct length; the reverb length where the subcommand
// cuts a reverberant window; the three normalizations and --reset-mic; the
// subcommand's own options; --logLevel and --help.
std::vector<poptOption> optionTable(const velktool_TfCommand &cmd, velktool_TfOptions &o)
{
    std::vector<poptOption> table = {
        {cmd.listOption, '\0', POPT_ARG_STRING, &o.sourceList, 'i', cmd.listHelp, nullptr},
        {"mic-list", '\0', POPT_ARG_STRING, &o.micList, 'm',
         "Microphone list file  (ex. microphone.xml)", nullptr},
        {"output-type", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &o.outputType, 't',
         "Transfer function type  LOC=Localization,SEP=Separation,LOC_SEP=LOC&SEP",
         "LOC|SEP|LOC_SEP"},
        {"output-file", '\0', POPT_ARG_STRING, &o.outputFile, 'o',
         "Output transfer function zip file path  (ex. /path/to/transfer.zip)", nullptr},
        {"direct-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.directLength, 'd',
         "Direct sound length", nullptr}};
    if (cmd.windows)
        table.push_back({"reverb-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
                         &o.reverbLength, 'r', "Reverb sound length", nullptr});
    const std::vector<poptOption> normalize = {
        {"normalize-src", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.normalizeSrc, 'S',
         "Normalize by src  0=disable,1=enable", "0|1"},
        {"normalize-mic", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.normalizeMic, 'M',
         "Normalize by mic  0=disable,1=enable", "0|1"},
        {"normalize-freq", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.normalizeFreq,
         'F', "Normalize by frequency  0=disable,1=enable", "0|1"},
        {"reset-mic", '\0', POPT_ARG_NONE, nullptr, 'R',
         "Remove unused channels from microphones.xml and reset their ids. "
         "(for VELKTOOL4 compatible)",
         nullptr}};
    table.insert(table.end(), normalize.begin(), normalize.end());
    for (const poptOption *own = cmd.ownOptions; own != nullptr && own->longName != nullptr;
         ++own)
        table.push_back(*own);
    const std::vector<poptOption> common = {VELKOPT_COMMON_ENTRIES(o.logLevel), POPT_TABLEEND};
    table.insert(table.end(), common.begin(), common.end());
    return table;
}

// The value checks of the shared options: rc, POPT_ERROR_BADNUMBER for a
// value out of range, or VELKOPT_REPORTED for an unknown output type; the
// subcommand's own options go to its own checks.
int checkOption(poptContext ctx, int rc, void *data)
{
    velktool_TfOptions &o = *(velktool_TfOptions *)data;
    switch (rc) {
    case 't':
        o.tfType = velktool_parseOutputType(o.outputType);
        if (o.tfType < 0) {
            VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
            return VELKOPT_REPORTED;
        }
        return rc;
    case 'd':
        return o.directLength < 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'r':
        return o.reverbLength < 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'S':
        return velktool_isFlagValue(o.normalizeSrc) ? rc : POPT_ERROR_BADNUMBER;
    case 'M':
        return velktool_isFlagValue(o.normalizeMic) ? rc : POPT_ERROR_BADNUMBER;
    case 'F':
        return velktool_isFlagValue(o.normalizeFreq) ? rc : POPT_ERROR_BADNUMBER;
    case 'R':
        o.resetMic = 1;
        return rc;
    default:
        return current->checkOwnOption != nullptr ? current->checkOwnOption(ctx, rc) : rc;
    }
}

// Reports each missing mandatory option in table order; 1 when one is
// missing, or when the output file exists and is not a regular file or is
// one of the two lists.
int checkMandatory(const velktool_TfCommand &cmd, const velktool_TfOptions &o)
{
    int missing = 0;
    if (o.sourceList == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --%s", cmd.listOption);
        missing = 1;
    }
    if (o.micList == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --mic-list");
        missing = 1;
    }
    if (o.outputFile == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing --output-file");
        missing = 1;
    }
    if (missing == 0 && (velkio_Output_check(o.outputFile) ||
                         velk_outputIsInput(o.outputFile, o.sourceList) ||
                         velk_outputIsInput(o.outputFile, o.micList)))
        return 1;
    return missing;
}

// The window lengths in use must leave room in an nfft-sample window: a
// window start beyond the end of the signal would otherwise follow.
int checkWindowLengths(const velktool_TfOptions &o)
{
    if (o.tfType != SEP && o.directLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--direct-length %d is not below nfft %d",
                   o.directLength, g.nfft);
        return 1;
    }
    if (o.tfType != LOC && o.reverbLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--reverb-length %d is not below nfft %d",
                   o.reverbLength, g.nfft);
        return 1;
    }
    return 0;
}

// The run-state arrays of the `arrays` bits, always in this order.
void allocateArrays(unsigned arrays)
{
    static const int order[] = {VELKTOOL_IRVECT,  VELKTOOL_TMPIRVECT, VELKTOOL_TFVECT,
                                VELKTOOL_TMPTFVECT, VELKTOOL_FFTBUF,  VELKTOOL_MICPOS,
                                VELKTOOL_SRCPOS,  VELKTOOL_POSID,     VELKTOOL_TMPSRCDIR,
                                VELKTOOL_SRCBASENAME};
    for (int kind : order)
        if (arrays & VELKTOOL_ARRAY(kind))
            velktool_new(kind);
}

// The preamble of every run: the lists, the channels in use and the
// configuration into g, every check (the subcommand's among them) before
// anything is made; then the arrays, the temporary tree and the id
// tables, and the work.
int runWork(const velktool_TfCommand &cmd, const velktool_TfOptions &o)
{
    char used[VELKTOOL_MAX_CHANNELS] = {0};

    free(g.info);
    g.info = nullptr;
    if (velktool_loadPositionLists(o.sourceList, o.micList) != 0)
        return 1;
    g.inputMode = cmd.inputMode;
    g.nMic = velkio_Positions_getSize(g.micXml->poses);
    g.nSrc = velkio_Positions_getSize(g.srcXml->poses);
    if (velktool_selectChannels(used, o.resetMic, o.sourceList, o.micList) != 0 ||
        velktool_readConfig() != 0 || (cmd.checkConfig != nullptr && cmd.checkConfig(o) != 0) ||
        velktool_checkRunInputs(used, o.sourceList, o.micList) != 0 ||
        (cmd.windows && checkWindowLengths(o) != 0) ||
        (cmd.checkFiles != nullptr && cmd.checkFiles(o, used) != 0))
        return 1;

    allocateArrays(cmd.arrays);
    if (!cmd.lateTmpPath)
        velktool_createTmpPath();
    velktool_setMicPosId(used);
    velktool_setSrcPosId();
    std::vector<velktool_CutRangePair> ranges((size_t)g.nSrc);
    return cmd.work(velktool_TfRun{o, used, ranges.data()});
}

} // namespace

int velktool_runTfCommand(const velktool_TfCommand &command, int argc, char **argv)
{
    current = &command;
    velktool_TfOptions o;
    std::vector<poptOption> table = optionTable(command, o);
    const std::string name = std::string("velktool5 ") + command.name;
    const std::string otherHelp = std::string(command.name) + " [OPTIONS]*";
    const velkopt_Program program = {name.c_str(), table.data(), otherHelp.c_str(), usage,
                                     checkOption,  &o,           0};
    poptContext ctx = velkopt_getContext(&program, argc, const_cast<const char **>(argv));
    if (velkopt_parse(ctx, &program) != 0 || checkMandatory(command, o) != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    VELKIO_LOG(VELKIO_LOG_INFO, "@ %s start", command.startName);
    int result = runWork(command, o);
    VELKIO_LOG(VELKIO_LOG_INFO, "@ %s %s end", command.endName,
               result == 0 ? "normal" : "error");
    poptFreeContext(ctx);
    velktool_Exit(result);
}

void velktool_reportWindowLengths(const velktool_TfOptions &o)
{
    if (o.tfType == LOC || o.tfType == LOC_SEP) {
        cat_asprintf(&g.info, "Direct sound Length  %d\n", o.directLength);
        cat_asprintf(&g.info, "Reverb sound Length  %d\n", o.reverbLength);
    }
}
