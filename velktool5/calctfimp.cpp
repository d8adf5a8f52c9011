// The calctfimp subcommand: a transfer-function archive from measured
// impulse responses, one multichannel WAV file per source position.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sndfile.h>

#include "textutil.h"
#include "tfinput.h"
#include "velktool.h"

void helpForCalcTfImp(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "Function:\n", "  calctfimp\n",
                  "  Generate transfer function from impulse responses\n",
                  nullptr);
}

namespace {

// The window lengths in use must leave room in an nfft-sample window: a
// window start beyond the end of the signal would otherwise follow.
int checkWindowLengths(int tfType, int directLength, int reverbLength)
{
    if (tfType != SEP && directLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "--direct-length %d is not below nfft %d", directLength,
                   g.nfft);
        return 1;
    }
    if (tfType != LOC && reverbLength >= g.nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "--reverb-length %d is not below nfft %d", reverbLength,
                   g.nfft);
        return 1;
    }
    return 0;
}

// First sample examined by the direct-sound peak search: peakSearchFrom
// counts from 1; a range with a non-positive end searches from the start.
int peakSearchStart(void)
{
    if (g.peakSearchFrom - 1 < 0 || g.peakSearchTo - 1 < 0)
        return 0;
    return g.peakSearchFrom - 1;
}

// One impulse-response file: it opens, holds every channel in use and
// holds samples where the peak search starts.
int checkImpulseFile(const velkio_Position *pos, const char *used)
{
    if (pos->path == nullptr || pos->path[0] == '\0') {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "no impulse-response file given for source position [%d]",
                   pos->id);
        return 1;
    }
    SF_INFO info;
    memset(&info, 0, sizeof info);
    velktool_SoundFile file;
    if (velktool_openSoundFile(pos->path, &info, &file) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open wave file [%s]", pos->path);
        return 1;
    }
    velktool_closeSoundFile(&file);
    int missing = velktool_missingChannel(used, info.channels);
    if (missing >= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "impulse data not found: wav channel [%d] in file [%s]",
                   missing, pos->path);
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] holds %d channels", pos->path,
                   info.channels);
        return 1;
    }
    long long frames = info.frames;
    int start = peakSearchStart();
    if (start >= frames) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "the peak search starts at sample %d, beyond the %lld "
                   "samples of [%s]",
                   start + 1, frames, pos->path);
        return 1;
    }
    return 0;
}

// Every impulse-response file of the source list, before any work.
int checkImpulseFiles(const char *used)
{
    for (int i = 0; i < g.nSrc; i++) {
        if (checkImpulseFile(g.srcXml->poses->list[i], used) != 0)
            return 1;
    }
    return 0;
}

// The transfer-function matrices are the run's large arrays: one block of
// 16 KiB or so per source and kind, made (and zero-filled) one after the
// other; the heap is made ready for them first.
void prepareMatrixMemory(int tfType)
{
    const size_t kinds = tfType == LOC_SEP ? 2 : 1;
    const size_t perSource = (size_t)g.nMic * (size_t)(g.nfft / 2 + 1) *
                                 sizeof(velkio_Complex) + 256;
    velkio_Matrix_prepareHeap(kinds * perSource * (size_t)(g.nSrc > 0 ? g.nSrc : 0));
}

void allocateArrays(int tfType)
{
    velktool_new(VELKTOOL_FFTBUF);
    velktool_new(VELKTOOL_MICPOS);
    velktool_new(VELKTOOL_SRCPOS);
    velktool_new(VELKTOOL_POSID);
    velktool_new(VELKTOOL_TMPSRCDIR);
    prepareMatrixMemory(tfType);
    velktool_newSourceMatrices(tfType);
}

} // namespace

int velktoolcli_calctfimpExec(const char *impulseList, const char *micList,
                              int tfType, const char *outputFile,
                              int directLength, int reverbLength,
                              int normalizeSrc, int normalizeMic,
                              int normalizeFreq, bool resetMic)
{
    char used[VELKTOOL_MAX_CHANNELS] = {0};

    free(g.info);
    g.info = nullptr;
    if (velktool_loadPositionLists(impulseList, micList) != 0)
        return 1;
    g.inputMode = 2;
    g.nMic = velkio_Positions_getSize(g.micXml->poses);
    g.nSrc = velkio_Positions_getSize(g.srcXml->poses);
    if (velktool_selectChannels(used, resetMic, impulseList, micList) != 0 ||
        velktool_readConfig() != 0 ||
        velktool_checkRunInputs(used, impulseList, micList) != 0 ||
        checkWindowLengths(tfType, directLength, reverbLength) != 0 ||
        checkImpulseFiles(used) != 0 ||
        velktool_checkOutputNotInput(outputFile, nullptr) != 0)
        return 1;

    allocateArrays(tfType);
    velktool_createTmpPath();
    velktool_setMicPosId(used);
    velktool_setSrcPosId();

    std::vector<velktool_CutRangePair> ranges((size_t)g.nSrc);
    velktool_tfFromWav(tfType, directLength, reverbLength, ranges.data());
    if (tfType == LOC || tfType == LOC_SEP) {
        cat_asprintf(&g.info, "Direct sound Length  %d\n", directLength);
        cat_asprintf(&g.info, "Reverb sound Length  %d\n", reverbLength);
    }
    genTfFromMatrices(tfType, normalizeSrc, normalizeMic, normalizeFreq,
                      resetMic, outputFile, ranges.data());
    return 0;
}

int velktoolcli_calctfimp(int argc, char **argv)
{
    velktool_TfOptions o;
    struct poptOption table[] = {
        VELKTOOL_TF_LIST_ENTRIES(o, "impulse-list", "Impulse list file  (ex. impulse.xml)"),
        VELKTOOL_TF_REVERB_ENTRY(o),
        VELKTOOL_TF_NORMALIZE_ENTRIES(o),
        VELKOPT_COMMON_ENTRIES(o.logLevel),
        POPT_TABLEEND};

    poptContext ctx =
        poptGetContext(nullptr, argc, const_cast<const char **>(argv), table, 0);
    poptSetOtherOptionHelp(ctx, "calctfimp [OPTIONS]*");
    velktool_tfOptionLoop(ctx, o, helpForCalcTfImp, velktool_checkTfOption, __func__);
    if (velktool_checkTfMandatory(o, "--impulse-list") != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfimpExec start");
    int result = velktoolcli_calctfimpExec(
        o.sourceList, o.micList, o.tfType, o.outputFile, o.directLength,
        o.reverbLength, o.normalizeSrc, o.normalizeMic, o.normalizeFreq,
        o.resetMic);
    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfimpExec %s end",
               result == 0 ? "normal" : "error");
    poptFreeContext(ctx);
    velktool_Exit(result);
}
