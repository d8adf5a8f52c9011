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
#include "tfcommand.h"
#include "tsp.h"
#include "velktool.h"

namespace {

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
        SF_INFO info;
        if (velktool_sourceFileInfo(pos, "recording", "wavefile(%s) is not found.", &info) != 0)
            return 1;
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

// Impulse responses of source s from its recording, into tmpFltPath.
int deconvolveSource(int s, velktool_TspReference *ref, const char *used)
{
    const velkio_Position *position =
        velktool_sourcePosition(s);
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

// The reference TSP, read once the inputs passed their checks and
// transformed once for all positions, before anything is written.
velktool_TspReference reference{};

// The TSP values, every recording and the output file, then the reference.
int checkFiles(const velktool_TfOptions &o, const char *used)
{
    if (checkTspConfig(o.sourceList) != 0 || checkRecordings(used) != 0 ||
        velktool_checkOutputNotInput(o.outputFile, g.tspPath) != 0)
        return 1;
    return readReference(&reference);
}

int work(const velktool_TfRun &run)
{
    const velktool_TfOptions &o = run.o;
    int status = 0;
    for (int s = 0; s < g.nSrc; s++) {
        status = deconvolveSource(s, &reference, run.used);
        if (status != 0)
            break; // files of earlier positions stay in the temporary tree
        velktool_setIRvectFromFlt(o.tfType, s, o.directLength, o.reverbLength,
                                  &run.ranges[(size_t)s]);
        printf(" progress:%d / %d\n", s + 1, g.nSrc);
        fflush(stdout);
    }
    velktool_freeTspReference(&reference);
    if (status != 0)
        return 1;

    velktool_reportWindowLengths(o);
    genTfFromIR(o.tfType, o.normalizeSrc, o.normalizeMic, o.normalizeFreq, o.resetMic,
                o.outputFile, run.ranges);
    return 0;
}

const velktool_TfCommand command = {
    .name = "calctfrec",
    .listOption = "tsp-list",
    .listHelp = "TSP list file  (ex. tsp.xml)",
    .description = "  Generate transfer function from TSPs\n",
    .startName = "velktoolcli_calctfrecExec",
    .endName = "velktoolcli_calctfrecExec",
    .inputMode = 1,
    .windows = true,
    .arrays = VELKTOOL_IR_RUN_ARRAYS,
    .checkFiles = checkFiles,
    .work = work};

} // namespace

int velktoolcli_calctfrec(int argc, char **argv)
{
    return velktool_runTfCommand(command, argc, argv);
}
