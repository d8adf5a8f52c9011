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
#include "tfcommand.h"
#include "velktool.h"

namespace {

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
    SF_INFO info;
    if (velktool_sourceFileInfo(pos, "impulse-response file", "can not open wave file [%s]",
                                &info) != 0)
        return 1;
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

// Every impulse-response file of the source list, before any work; none
// of them may be the output file.
int checkImpulseFiles(const velktool_TfOptions &o, const char *used)
{
    for (int i = 0; i < g.nSrc; i++) {
        if (checkImpulseFile(g.srcXml->poses->list[i], used) != 0)
            return 1;
    }
    return velktool_checkOutputNotInput(o.outputFile, nullptr);
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

// The transfer functions of every source straight into the matrices, one
// source at a time, and the archive.
int work(const velktool_TfRun &run)
{
    const velktool_TfOptions &o = run.o;
    prepareMatrixMemory(o.tfType);
    velktool_newSourceMatrices(o.tfType);
    velktool_tfFromWav(o.tfType, o.directLength, o.reverbLength, run.ranges);
    velktool_reportWindowLengths(o);
    genTfFromMatrices(o.tfType, o.normalizeSrc, o.normalizeMic, o.normalizeFreq, o.resetMic,
                      o.outputFile, run.ranges);
    return 0;
}

const velktool_TfCommand command = {
    .name = "calctfimp",
    .listOption = "impulse-list",
    .listHelp = "Impulse list file  (ex. impulse.xml)",
    .description = "  Generate transfer function from impulse responses\n",
    .startName = "velktoolcli_calctfimpExec",
    .endName = "velktoolcli_calctfimpExec",
    .inputMode = 2,
    .windows = true,
    .arrays = VELKTOOL_SOURCE_RUN_ARRAYS,
    .checkFiles = checkImpulseFiles,
    .work = work};

} // namespace

int velktoolcli_calctfimp(int argc, char **argv)
{
    return velktool_runTfCommand(command, argc, argv);
}
