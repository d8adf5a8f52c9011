// A transfer-function archive from a SOFA file (see sofa2tf.h).  The run
// goes through velktool5's run state `g` and its routines: the peak
// search, the cut ranges and windows, the transforms and the archive
// writer are calctfimp's.
#include "sofa2tf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "docout.h"
#include "options.h"
#include "textutil.h"
#include "tfinput.h"
#include "velktool.h"

namespace {

// The most memory the transfer functions of one run may take.
const size_t MAX_TF_BYTES = (size_t)1 << 30;

bool withLoc(int tfType)
{
    return tfType == LOC || tfType == LOC_SEP;
}

bool withSep(int tfType)
{
    return tfType == SEP || tfType == LOC_SEP;
}

// nfft of the run, the window lengths and the size of the transfer
// functions; 0 with *nfft set, or 1 with a message.
int checkRun(const sofa_Input &in, const sofa2tf_Options &o, int *nfft)
{
    if (in.transferFunctions) {
        *nfft = in.nfft;
        if (o.nfftGiven && o.nfft != in.nfft) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds the bins of nfft %d, not of --nfft %d",
                       in.name.c_str(), in.nfft, o.nfft);
            return 1;
        }
    } else {
        *nfft = o.nfft;
        if (withLoc(o.tfType) && o.directLength >= *nfft) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "--direct-length %d is not below nfft %d",
                       o.directLength, *nfft);
            return 1;
        }
        if (withSep(o.tfType) && o.reverbLength >= *nfft) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "--reverb-length %d is not below nfft %d",
                       o.reverbLength, *nfft);
            return 1;
        }
    }
    size_t kinds = o.tfType == LOC_SEP ? 2 : 1;
    size_t perKind = MAX_TF_BYTES / kinds / sizeof(velkio_Complex);
    size_t bins = (size_t)(*nfft / 2 + 1);
    if (in.measurements * in.receivers > perKind / bins) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %zu measurements x %zu receivers x %zu bins are more "
                   "transfer functions than the %zu bytes an archive is built in",
                   in.name.c_str(), in.measurements, in.receivers, bins, MAX_TF_BYTES);
        return 1;
    }
    return 0;
}

velkio_Positions *positionList(const char *type, const std::vector<int> &ids,
                               const std::vector<float> &coords, bool cartesian)
{
    velkio_Positions *list = velkio_Positions_new(type, 0, 0, 0);
    for (size_t i = 0; list != nullptr && i < ids.size(); i++) {
        velkio_Position *p = velkio_Position_new(ids[i], cartesian ? 1 : 0, &coords[i * 3],
                                                 nullptr);
        if (p == nullptr || velkio_Positions_append(list, p) != 0) {
            velkio_Position_delete(&p);
            velkio_Positions_delete(&list);
        }
    }
    return list;
}

// The run state of g from the file: counts, configuration, documents and
// ids.  Sources are visited in ascending id order, as in every run;
// order[s] is the measurement of srcPosId[s].
int setUpRun(const sofa_Input &in, int nfft, std::vector<size_t> *order)
{
    g.nSrc = (int)in.measurements;
    g.nMic = (int)in.receivers;
    g.nfft = nfft;
    g.samplingRate = in.samplingRate;
    g.peakSearchFrom = 0; // the whole impulse response
    g.peakSearchTo = 0;
    g.inputMode = 2;

    velkio_Config *config = velkio_Config_new();
    std::string comment = "from a SOFA " + in.conventions + " file";
    velkio_Positions *sources =
        positionList(in.transferFunctions ? "soundsource" : "impulse", in.sourceIds,
                     in.sources, in.sourcesCartesian);
    velkio_Positions *mics = positionList("microphone", in.receiverIds, in.receiverPositions,
                                          in.receiversCartesian);
    if (config == nullptr || sources == nullptr || mics == nullptr ||
        velkio_Config_setNfft(config, nfft) != 0 ||
        velkio_Config_setSamplingRate(config, in.samplingRate) != 0 ||
        velkio_Config_setComment(config, comment.c_str()) != 0 ||
        (g.srcXml = velkio_XML_newFromData(sources, nullptr, config)) == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        velkio_Config_delete(&config);
        velkio_Positions_delete(&sources);
        velkio_Positions_delete(&mics);
        return 1;
    }
    if ((g.micXml = velkio_XML_newFromData(mics, nullptr, nullptr)) == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        velkio_Positions_delete(&mics);
        return 1;
    }
    velktool_new(VELKTOOL_POSID);
    std::vector<std::pair<int, size_t>> byId;
    for (size_t m = 0; m < in.measurements; m++)
        byId.emplace_back(in.sourceIds[m], m);
    std::sort(byId.begin(), byId.end());
    for (size_t s = 0; s < byId.size(); s++) {
        g.srcPosId[s] = byId[s].first;
        order->push_back(byId[s].second);
    }
    for (size_t j = 0; j < in.receivers; j++)
        g.micPosId[j] = in.receiverIds[j];
    return 0;
}

// Impulse responses: each measurement's receivers delayed by their
// Data.Delay, then cut and transformed as calctfimp does.
int impulseResponses(const sofa_Input &in, const sofa2tf_Options &o,
                     const std::vector<size_t> &order, velktool_CutRangePair *ranges)
{
    const size_t R = in.receivers, N = in.length;
    const int n = (int)(N + (size_t)in.maxDelay);
    std::vector<float> rows(R * N);
    float **signals = velktool_newFloatTwoDim(g.nMic, n);
    float **loc = velktool_newFloatTwoDim(g.nMic, g.nfft);
    float **sep = velktool_newFloatTwoDim(g.nMic, g.nfft);
    int result = 0;
    for (int s = 0; s < g.nSrc && result == 0; s++) {
        const size_t m = order[(size_t)s];
        result = sofa_readImpulseResponses(in, m, rows.data());
        if (result != 0)
            break;
        for (size_t j = 0; j < R; j++) {
            int d = in.delays[in.delayPerMeasurement ? m * R + j : j];
            memset(signals[j], 0, (size_t)n * sizeof(float));
            memcpy(signals[j] + d, &rows[j * N], N * sizeof(float));
        }
        memset(loc[0], 0, R * (size_t)g.nfft * sizeof(float));
        memset(sep[0], 0, R * (size_t)g.nfft * sizeof(float));
        velktool_cutSignals(o.tfType, s, o.directLength, o.reverbLength, signals, n, &ranges[s],
                            loc, sep);
        velktool_transformSource(o.tfType, s, loc, sep);
    }
    velktool_freeFloatTwoDim(signals);
    velktool_freeFloatTwoDim(loc);
    velktool_freeFloatTwoDim(sep);
    return result;
}

// Transfer functions: localization as stored, separation conjugated (the
// archive stores the conjugates; velktoolcli-tfexport conjugates them
// back).
int transferFunctions(const sofa_Input &in, int tfType, const std::vector<size_t> &order)
{
    const size_t n = in.receivers * in.length;
    std::vector<velkio_Complex> rows(n);
    for (int s = 0; s < g.nSrc; s++) {
        if (sofa_readTransferFunctions(in, order[(size_t)s], rows.data()) != 0)
            return 1;
        for (size_t i = 0; i < n; i++) {
            if (withLoc(tfType))
                g.loctf[s]->data[i] = rows[i];
            if (withSep(tfType))
                g.septf[s]->data[i] = std::conj(rows[i]);
        }
    }
    return 0;
}

int convertOpen(sofa_Input &in, const char *input, const char *output,
                const sofa2tf_Options &o)
{
    int nfft = 0;
    std::vector<size_t> order;
    if (checkRun(in, o, &nfft) != 0 || setUpRun(in, nfft, &order) != 0)
        return 1;
    velktool_newSourceMatrices(o.tfType);
    std::vector<velktool_CutRangePair> ranges((size_t)g.nSrc);
    int result = in.transferFunctions ? transferFunctions(in, o.tfType, order)
                                      : impulseResponses(in, o, order, ranges.data());
    // No call into the netCDF library follows: the file is closed before
    // the archive is written.
    sofa_close(&in);
    if (result != 0)
        return 1;
    cat_asprintf(&g.info, "SOFA file  %s\n", input);
    cat_asprintf(&g.info, "SOFA conventions  %s %.32s\n", in.conventions.c_str(),
                 in.conventionsVersion.c_str());
    if (!in.transferFunctions && withLoc(o.tfType)) {
        cat_asprintf(&g.info, "Direct sound Length  %d\n", o.directLength);
        cat_asprintf(&g.info, "Reverb sound Length  %d\n", o.reverbLength);
    }
    genTfFromMatrices(o.tfType, 0, 0, 0, 0, output, ranges.data());
    return 0;
}

} // namespace

namespace {

struct Job {
    const char *input;
    const char *output;
    const sofa2tf_Options *options;
};

// The whole conversion, in the reader's process.
int convertJob(void *arg)
{
    const Job &job = *(const Job *)arg;
    std::vector<unsigned char> bytes;
    sofa_Input in;
    if (sofa_readFile(job.input, &bytes) != 0 ||
        sofa_open(bytes.data(), bytes.size(), job.input, &in) != 0)
        return 1;
    int result = convertOpen(in, job.input, job.output, *job.options);
    sofa_close(&in);
    velktool_freeMemory();
    return result;
}

} // namespace

int sofa2tf_convert(const char *input, const char *output, const sofa2tf_Options &o)
{
    Job job = {input, output, &o};
    return sofa_isolate(input, convertJob, &job);
}

/* ------------------------------------------------------------------ */
/* Command line                                                        */
/* ------------------------------------------------------------------ */

namespace {

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-sofa2tf\n",
                  "  Makes a transfer-function archive from a SOFA file of impulse responses\n"
                  "  (SimpleFreeFieldHRIR, GeneralFIR, SingleRoomSRIR), cut and transformed\n"
                  "  as velktool5 calctfimp does, or of transfer functions (GeneralTF).\n",
                  NULL);
}

struct Options {
    sofa2tf_Options run;
    const char *outputType = "LOC_SEP";
    const char *logLevel = "E";
};

bool validNfft(int n)
{
    return n >= 4 && n <= SOFA_MAX_NFFT && (n & (n - 1)) == 0;
}

Options options;

/* The value checks: rc, POPT_ERROR_BADNUMBER for a length out of range,
 * or VELKOPT_REPORTED for an unknown output type. */
int handleOption(poptContext ctx, int rc, void *data)
{
    Options *o = static_cast<Options *>(data);
    if ((rc == 'd' && o->run.directLength < 0) || (rc == 'r' && o->run.reverbLength < 0) ||
        (rc == 'n' && !validNfft(o->run.nfft)))
        return POPT_ERROR_BADNUMBER;
    o->run.nfftGiven |= rc == 'n';
    if (rc == 't' && (o->run.tfType = velktool_parseOutputType(o->outputType)) < 0) {
        VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
        return VELKOPT_REPORTED;
    }
    return rc;
}

struct poptOption table[] = {
    {"direct-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &options.run.directLength, 'd', "Direct sound length", nullptr},
    {"reverb-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
     &options.run.reverbLength, 'r', "Reverb sound length", nullptr},
    {"nfft", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &options.run.nfft, 'n',
     "FFT length of impulse responses (a power of two)", nullptr},
    {"output-type", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &options.outputType,
     't', "Transfer function type  LOC=Localization,SEP=Separation,LOC_SEP=LOC&SEP",
     "LOC|SEP|LOC_SEP"},
    VELKOPT_COMMON_ENTRIES(options.logLevel),
    POPT_TABLEEND};

int run(poptContext ctx, const Options &o)
{
    const char *input = poptGetArg(ctx);
    const char *output = poptGetArg(ctx);
    const char *extra = poptGetArg(ctx);
    if (input == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing INPUT.sofa");
    if (output == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing ARCHIVE");
    if (extra != nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "unexpected argument [%s]", extra);
    if (input == nullptr || output == nullptr || extra != nullptr ||
        velkio_Output_check(output) || velk_outputIsInput(output, input))
        return 1;
    if (sofa2tf_convert(input, output, o.run) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] not written", output);
        return 1;
    }
    fputs("SUCCESS\n", stderr);
    fprintf(stderr, " output file : %s\n", output);
    return 0;
}

} // namespace

const velkopt_Program sofa2tf_commandLine = {
    "velktoolcli-sofa2tf", table, "[OPTIONS]* INPUT.sofa ARCHIVE", help, handleOption,
    &options, VELKOPT_NEEDS_ARGUMENTS};

int sofa2tf_main(int argc, const char **argv)
{
    Options &o = options;
    o = Options();
    const char *const defaultType = o.outputType;
    poptContext ctx = velkopt_getContext(&sofa2tf_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &sofa2tf_commandLine);
    if (result == 0)
        result = run(ctx, o);
    poptFreeContext(ctx);
    if (o.outputType != defaultType)
        free(const_cast<char *>(o.outputType));
    return result;
}
