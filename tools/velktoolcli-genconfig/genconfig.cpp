// velktoolcli-genconfig: options, the configuration record and the writing
// of its document.
#include "genconfig.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>


#include "docout.h"
#include "options.h"
#include "velkio.h"

namespace {

// One bound of the peak range: a whole decimal number in 0 .. INT_MAX.
int parseBound(const char *token, int *value)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(token, &end, 10);
    if (end == token || *end != '\0' || errno != 0 || n < 0 || n > INT_MAX)
        return 1;
    *value = (int)n;
    return 0;
}

velkio_Config *buildConfig(const GenConfigValues *v)
{
    velkio_Config *config = velkio_Config_new();
    if (config == nullptr)
        return nullptr;
    velkio_Config_setComment(config, v->comment);
    velkio_Config_setSynchronousAverage(config, v->syncAverage);
    velkio_Config_setTSPoffset(config, v->tspOffset);
    velkio_Config_setPeakSearchFrom(config, v->peakSearchFrom);
    velkio_Config_setPeakSearchTo(config, v->peakSearchTo);
    velkio_Config_setNfft(config, v->nfft);
    velkio_Config_setTSPpath(config, v->tspPath);
    velkio_Config_setSamplingRate(config, v->samplingRate);
    velkio_Config_setSignalMax(config, v->signalMax);
    velkio_Config_setTSPlength(config, v->tspLength);
    return config;
}

// Writes the document of the configuration (which it takes over).
int writeConfigDocument(velkio_Config *config, const char *path)
{
    velkio_XML *doc = velkio_XML_newFromData(nullptr, nullptr, config);
    if (doc == nullptr) {
        VELKIO_LOG(0, "can not velkio_XML_newFromData");
        velkio_Config_delete(&config);
        return 1;
    }
    int rc = velk_writeDocument(doc, path, nullptr);
    velkio_XML_delete(&doc);
    return rc;
}

} // namespace

void initGenConfigValues(GenConfigValues *values)
{
    values->comment = "comment";
    values->syncAverage = 16;
    values->tspOffset = 0;
    values->peakSearchFrom = 0;
    values->peakSearchTo = 0;
    values->nfft = 512;
    values->tspPath = "/usr/share/velk/16384.little_endian.wav";
    values->samplingRate = 16000;
    values->signalMax = 32768;
    values->tspLength = 16384;
}

int parsePeakRange(const char *text, int *from, int *to)
{
    std::string copy = text != nullptr ? text : "";
    char *save = nullptr;
    const char *first = strtok_r(copy.data(), ",", &save);
    const char *second = first ? strtok_r(nullptr, ",", &save) : nullptr;
    int a = 0, b = 0;
    if (second == nullptr || parseBound(first, &a) != 0 ||
        parseBound(second, &b) != 0)
        return 1;
    *from = a;
    *to = b;
    return 0;
}

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-genconfig\n",
                  "  The command creates a xml file that contians a config tag\n",
                  nullptr);
}

namespace {

GenConfigValues values;
const char *peakText = "0,0";
const char *logLevel = "E";
const int shown = POPT_ARGFLAG_SHOW_DEFAULT;

struct poptOption table[] = {
    {"comment", 'c', POPT_ARG_STRING | shown, &values.comment, 'c', "Comment", NULL},
    {"sync", 's', POPT_ARG_INT | shown, &values.syncAverage, 's',
     "Number of TSPs in the recorded wav", NULL},
    {"offset", 'o', POPT_ARG_INT | shown, &values.tspOffset, 'o', "Offset of the TSP", NULL},
    {"peak", 'p', POPT_ARG_STRING | shown, &peakText, 'p',
     "Range for peak search (1-based, 0 means all range)", "INT,INT"},
    {"nfft", 'n', POPT_ARG_INT | shown, &values.nfft, 'n', "NFFT of convolution", NULL},
    {"rate", 'r', POPT_ARG_INT | shown, &values.samplingRate, 'r', "SamplingRate", NULL},
    {"max", 'm', POPT_ARG_INT | shown, &values.signalMax, 'm', "SignalMax", NULL},
    {"length", 'l', POPT_ARG_INT | shown, &values.tspLength, 'l', "TSPlength", NULL},
    {"tsp-path", 't', POPT_ARG_STRING | shown, &values.tspPath, 't',
     "Path to the original TSP", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

// --peak: both bounds, or POPT_ERROR_BADNUMBER.
int handleOption(poptContext, int rc, void *)
{
    if (rc == 'p' &&
        parsePeakRange(peakText, &values.peakSearchFrom, &values.peakSearchTo) != 0)
        return POPT_ERROR_BADNUMBER;
    return rc;
}

} // namespace

const velkopt_Program genconfig_commandLine = {
    "velktoolcli-genconfig", table, "[OPTIONS]* [output_filename]", help, handleOption,
    nullptr, 0};

int velktoolcli_genconfig(int argc, char **argv)
{
    initGenConfigValues(&values);
    peakText = "0,0";
    logLevel = "E";
    poptContext ctx = velkopt_getContext(&genconfig_commandLine, argc, (const char **)argv);
    if (velkopt_parse(ctx, &genconfig_commandLine) != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    const char *outputPath = poptGetArg(ctx);
    int status = velkio_Output_check(outputPath);
    velkio_Config *config = status == 0 ? buildConfig(&values) : nullptr;
    if (status == 0 && config == nullptr) {
        VELKIO_LOG(0, "can not velkio_Config_new");
        status = 1;
    } else if (status == 0) {
        velkio_Config_print(config);
        status = writeConfigDocument(config, outputPath);
    }
    if (status == 0) {
        fprintf(stderr, "SUCCESS\n");
        if (outputPath != nullptr)
            fprintf(stderr, " output file : %s\n", outputPath);
    }
    poptFreeContext(ctx);
    return status;
}
