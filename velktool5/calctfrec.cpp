// The calctfrec subcommand: a transfer-function archive from TSP
// recordings, one multichannel WAV file per source position.  Each
// recording is deconvolved into 4096-sample impulse responses (raw float
// files in the run's temporary tree), which are then cut, transformed and
// archived as in calctfimp.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "textutil.h"
#include "tfinput.h"
#include "tsp.h"
#include "velktool.h"

void helpForCalcTfRec(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "Function:\n", "  calctfrec\n",
                  "  Generate transfer function from TSPs\n", nullptr);
}

namespace {

// The window lengths in use must leave room in an nfft-sample window.
int checkWindowLengths(int tfType, int directLength, int reverbLength)
{
    if (tfType != SEP && directLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--direct-length %d is not below nfft %d",
                   directLength, g.nfft);
        return 1;
    }
    if (tfType != LOC && reverbLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "--reverb-length %d is not below nfft %d",
                   reverbLength, g.nfft);
        return 1;
    }
    return 0;
}

// The TSP values of the configuration, and a peak search that starts
// inside the 4096-sample impulse responses.
int checkTspConfig(const char *tspList)
{
    if (velktool_checkTspParameters(g.tspLength, g.syncAverage, g.tspOffset) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "the TSP values of the configuration in [%s] can not be used",
                   tspList);
        return 1;
    }
    if (g.peakSearchFrom - 1 >= VELKTOOL_SYSIMP_LENGTH && g.peakSearchTo - 1 >= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "the peak search starts at sample %d, beyond the %d samples "
                   "of the impulse responses",
                   g.peakSearchFrom, VELKTOOL_SYSIMP_LENGTH);
        return 1;
    }
    return 0;
}

// Every recording opens and holds every channel in use, checked before any
// work: a channel the recording lacks would otherwise show only as an
// impulse-response file missing from the temporary tree.
int checkRecordings(const char *used)
{
    for (int i = 0; i < g.nSrc; i++) {
        const velkio_Position *pos = g.srcXml->poses->list[i];
        if (pos->path == nullptr || pos->path[0] == '\0') {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "no recording given for source position [%d]", pos->id);
            return 1;
        }
        SF_INFO info;
        memset(&info, 0, sizeof info);
        velktool_SoundFile file;
        if (velktool_openSoundFile(pos->path, &info, &file) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", pos->path);
            return 1;
        }
        velktool_closeSoundFile(&file);
        int missing = velktool_missingChannel(used, info.channels);
        if (missing >= 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "recording [%s] holds %d channels: channel [%d] in use "
                       "is missing",
                       pos->path, info.channels, missing);
            return 1;
        }
    }
    return 0;
}

// The reference TSP of the configuration: channel 0 of a WAV file.
int readReference(velktool_TspReference *ref)
{
    if (velktool_readTspReference(VELKTOOL_TSP_WAV, g.tspPath, 0, g.signalMax,
                                  g.samplingRate, g.tspLength, ref) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velktool_calcSysImp failed.");
        return 1;
    }
    return 0;
}

void allocateArrays(void)
{
    velktool_new(VELKTOOL_IRVECT);
    velktool_new(VELKTOOL_TMPIRVECT);
    velktool_new(VELKTOOL_TFVECT);
    velktool_new(VELKTOOL_TMPTFVECT);
    velktool_new(VELKTOOL_FFTBUF);
    velktool_new(VELKTOOL_MICPOS);
    velktool_new(VELKTOOL_SRCPOS);
    velktool_new(VELKTOOL_POSID);
    velktool_new(VELKTOOL_TMPSRCDIR);
    velktool_new(VELKTOOL_SRCBASENAME);
}

// Impulse responses of source s from its recording, into tmpFltPath.
int deconvolveSource(int s, velktool_TspReference *ref, const char *used)
{
    const velkio_Position *position =
        velkio_Positions_getById(g.srcXml->poses, g.srcPosId[s]);
    makeTempFltPath(s, position);
    const char *recording = position->path;
    velktool_logSysImpSummary(VELKTOOL_TSP_WAV, g.tspPath, 0, g.signalMax,
                              g.samplingRate, g.tspLength, g.syncAverage,
                              g.tspOffset, -1, -1, used, 0, recording,
                              g.tmpFltPath);
    if (velktool_deconvolveTsp(ref, g.syncAverage, g.tspOffset, -1, -1, used, 0,
                               recording,
                               {g.tmpFltPath, velktool_tmpFltDir()}) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "velktool_calcSysImp failed.");
        return 1;
    }
    return 0;
}

} // namespace

int velktoolcli_calctfrecExec(const char *tspList, const char *micList,
                              int tfType, const char *outputFile,
                              int directLength, int reverbLength,
                              int normalizeSrc, int normalizeMic,
                              int normalizeFreq, bool resetMic)
{
    char used[VELKTOOL_MAX_CHANNELS] = {0};

    free(g.info);
    g.info = nullptr;
    if (velktool_loadPositionLists(tspList, micList) != 0)
        return 1;
    g.inputMode = 1;
    g.nMic = velkio_Positions_getSize(g.micXml->poses);
    g.nSrc = velkio_Positions_getSize(g.srcXml->poses);
    if (velktool_selectChannels(used, resetMic, tspList, micList) != 0 ||
        velktool_readConfig() != 0 ||
        velktool_checkRunInputs(used, tspList, micList) != 0 ||
        checkWindowLengths(tfType, directLength, reverbLength) != 0 ||
        checkTspConfig(tspList) != 0 || checkRecordings(used) != 0 ||
        velktool_checkOutputNotInput(outputFile, g.tspPath) != 0)
        return 1;
    // Read and transformed once for all positions, before anything is
    // written.
    velktool_TspReference ref{};
    if (readReference(&ref) != 0)
        return 1;

    allocateArrays();
    velktool_createTmpPath();
    velktool_setMicPosId(used);
    velktool_setSrcPosId();

    std::vector<velktool_CutRangePair> ranges((size_t)g.nSrc);
    int status = 0;
    for (int s = 0; s < g.nSrc; s++) {
        status = deconvolveSource(s, &ref, used);
        if (status != 0)
            break;   // files of earlier positions stay in the temporary tree
        velktool_setIRvectFromFlt(tfType, s, directLength, reverbLength,
                                  &ranges[(size_t)s]);
        printf(" progress:%d / %d\n", s + 1, g.nSrc);
        fflush(stdout);
    }
    velktool_freeTspReference(&ref);
    if (status != 0)
        return 1;

    if (tfType == LOC || tfType == LOC_SEP) {
        cat_asprintf(&g.info, "Direct sound Length  %d\n", directLength);
        cat_asprintf(&g.info, "Reverb sound Length  %d\n", reverbLength);
    }
    genTfFromIR(tfType, normalizeSrc, normalizeMic, normalizeFreq, resetMic,
                outputFile, ranges.data());
    return 0;
}

int velktoolcli_calctfrec(int argc, char **argv)
{
    velktool_TfOptions o;
    struct poptOption table[] = {
        VELKTOOL_TF_LIST_ENTRIES(o, "tsp-list", "TSP list file  (ex. tsp.xml)"),
        VELKTOOL_TF_REVERB_ENTRY(o),
        VELKTOOL_TF_NORMALIZE_ENTRIES(o),
        VELKOPT_COMMON_ENTRIES(o.logLevel),
        POPT_TABLEEND};

    poptContext ctx =
        poptGetContext(nullptr, argc, const_cast<const char **>(argv), table, 0);
    poptSetOtherOptionHelp(ctx, "calctfrec [OPTIONS]*");
    velktool_tfOptionLoop(ctx, o, helpForCalcTfRec, velktool_checkTfOption, __func__);
    if (velktool_checkTfMandatory(o, "--tsp-list") != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfrecExec start");
    int result = velktoolcli_calctfrecExec(
        o.sourceList, o.micList, o.tfType, o.outputFile, o.directLength,
        o.reverbLength, o.normalizeSrc, o.normalizeMic, o.normalizeFreq,
        o.resetMic);
    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfrecExec %s end",
               result == 0 ? "normal" : "error");
    poptFreeContext(ctx);
    velktool_Exit(result);
}
