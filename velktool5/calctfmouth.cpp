// The calctfmouth subcommand: a transfer-function archive from mouth-TSP
// recordings, one multichannel WAV file per source position whose voice
// input channel carries the emitted TSP.  The impulse responses are
// estimated in the frequency domain, left as raw float files in the run's
// temporary directory and loaded back like those of calctfrec.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sndfile.h>

#include "mouth.h"
#include "textutil.h"
#include "tfcommand.h"
#include "velktool.h"

namespace {

// Samples written per impulse response by the estimator.
const int responseLength = 4096;

// The values of the run that shape the analysed segment.
struct Segment {
    int endPoint;   // end of the analysed segment (exclusive)
    int mch;        // voice-input channel
    int hop;        // frame shift
    int headmargin; // lead-in of the impulse responses
};

// --mch, --end and --headmargin against the microphone list and the
// configuration; every failure is reported, in this order.
int checkSegmentOptions(int micCount, int end, Segment *seg)
{
    int failed = 0;
    if (seg->mch >= micCount) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "--mch shuould not less than number of microphones (%d)",
                   micCount);
        failed = 1;
    }
    long long endPoint = (long long)g.tspOffset + g.tspLength;
    if (end > 0) {
        if (end < endPoint) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "--end shuould not less than TSPOffset + TSPLength (%lld)",
                       endPoint);
            failed = 1;
        } else {
            endPoint = end;
        }
    }
    if (seg->headmargin > g.tspOffset) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "--headmargin shuould not more than TSPOffset (%d)",
                   g.tspOffset);
        failed = 1;
    } else if (seg->headmargin < 0) {
        // The output channels' frames would end after the segment end.
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "--headmargin %d is negative: the impulse responses would "
                   "start after the direct sound",
                   seg->headmargin);
        failed = 1;
    }
    if (endPoint > INT_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "TSPOffset + TSPLength (%lld) is too large", endPoint);
        failed = 1;
    }
    seg->endPoint = failed ? 0 : (int)endPoint;
    return failed;
}

// The estimator writes responseLength samples per file out of tspLength
// computed ones, with an FFT of tspLength points; the segment starts at
// tspOffset.
int checkTspConfig(const char *tspList)
{
    if (g.tspLength < responseLength || (g.tspLength & (g.tspLength - 1)) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "TSP length [%d] of the configuration in [%s] is not a "
                   "power of two of at least %d (%d samples are written per "
                   "impulse response)",
                   g.tspLength, tspList, responseLength, responseLength);
        return 1;
    }
    if (g.tspOffset < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "TSP offset [%d] of the configuration in [%s] is negative",
                   g.tspOffset, tspList);
        return 1;
    }
    return 0;
}

// One recording: it opens and fits the segment, the voice input, the
// channels in use and the sampling rate, with the estimator's own checks.
int checkRecording(const velkio_Position *pos, const char *used,
                   const Segment &seg)
{
    SF_INFO info;
    if (velktool_sourceFileInfo(pos, "recording", "wavefile(%s) is not found.", &info) != 0)
        return 1;
    return velktool_mouthCheckRecording(
        pos->path, info.frames, info.channels, info.samplerate, g.tspOffset,
        seg.endPoint, seg.mch, used, g.tspLength, seg.hop, seg.headmargin,
        g.samplingRate);
}

// Every recording of the source list, before anything is written.
int checkRecordings(const char *used, const Segment &seg)
{
    for (int i = 0; i < g.nSrc; i++)
        if (checkRecording(g.srcXml->poses->list[i], used, seg) != 0)
            return 1;
    return 0;
}

// Impulse responses of every source: estimated into the source's raw float
// files, then loaded and cut.  A failed estimate ends the run: the files
// of an earlier source with the same file name would otherwise be loaded.
int estimateSources(int tfType, int directLength, int reverbLength,
                    const char *used, const Segment &seg,
                    velktool_CutRangePair *ranges)
{
    for (int s = 0; s < g.nSrc; s++) {
        printf(" progress:%d / %d\n", s + 1, g.nSrc);
        fflush(stdout);
        const velkio_Position *position =
            velktool_sourcePosition(s);
        makeTempFltPath(s, position);
        if (velktool_mouthTspFD(position->path,
                                {g.tmpFltPath, velktool_tmpFltDir()}, g.tspOffset,
                                seg.endPoint, seg.mch, used, responseLength,
                                g.tspLength, seg.hop, seg.headmargin, false,
                                0.0, g.samplingRate) != 0)
            return 1;
        velktool_setIRvectFromFlt(tfType, s, directLength, reverbLength,
                                  &ranges[s]);
        VELKIO_LOG(VELKIO_LOG_INFO, "progress:%d / %d", s + 1, g.nSrc);
    }
    return 0;
}

// Values of the subcommand's own options.
struct MouthOptions {
    int end = 0;
    int mch = 0;
    int hop = 1000;
    int headmargin = 0;
};
MouthOptions own;

// The analysed segment of the run, once checked.
Segment segment;

// The checks of the subcommand's own options handed back by popt: rc, or
// a popt error code.
int checkOwnOption(poptContext, int rc)
{
    switch (rc) {
    case 'e':
        return own.end <= 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'c':
        return own.mch < 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'h':
        return own.hop < 10 ? POPT_ERROR_BADNUMBER : rc;
    default:
        return rc;
    }
}

const struct poptOption ownOptions[] = {
    {"end", '\0', POPT_ARG_INT, &own.end, 'e',
     "End point for TF calculation in sample (default TSPOffset+TSPLength)", nullptr},
    {"mch", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &own.mch, 'c',
     "Channel index of the voice input", nullptr},
    {"hop", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &own.hop, 'h',
     "Shift length for TF calculation (Minimum 10)", nullptr},
    {"headmargin", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &own.headmargin, 'a',
     "Head margin of impulse responces in samples", nullptr},
    POPT_TABLEEND};

// The segment options against the microphone list (all of its positions)
// and the configuration, then the TSP values.
int checkConfig(const velktool_TfOptions &o)
{
    segment = Segment{0, own.mch, own.hop, own.headmargin};
    return checkSegmentOptions(velkio_Positions_getSize(g.micXml->poses), own.end, &segment) ||
           checkTspConfig(o.sourceList);
}

int checkFiles(const velktool_TfOptions &o, const char *used)
{
    if (checkRecordings(used, segment) != 0)
        return 1;
    return velktool_checkOutputNotInput(o.outputFile, nullptr);
}

int work(const velktool_TfRun &run)
{
    const velktool_TfOptions &o = run.o;
    const Segment &seg = segment;
    if (estimateSources(o.tfType, o.directLength, o.reverbLength, run.used, seg,
                        run.ranges) != 0)
        return 1;
    velktool_reportWindowLengths(o);
    cat_asprintf(&g.info,
                 "Mouth TSP Info\n- start %d  end %d\n- mch %d\n- hop %d\n"
                 "- headmargin %d\n",
                 g.tspOffset, seg.endPoint, seg.mch, seg.hop, seg.headmargin);
    genTfFromIR(o.tfType, o.normalizeSrc, o.normalizeMic, o.normalizeFreq, o.resetMic,
                o.outputFile, run.ranges);
    return 0;
}

// The start line of the run has always carried this spelling; log readers
// may look for it.
const velktool_TfCommand command = {
    .name = "calctfmouth",
    .listOption = "tsp-list",
    .listHelp = "TSP list file  (ex. tsp.xml)",
    .description = "  Generate transfer function from mouth TSPs\n",
    .startName = "velktoolcli_calctfmoutnExec",
    .endName = "velktoolcli_calctfmouthExec",
    .inputMode = 1,
    .windows = true,
    .arrays = VELKTOOL_IR_RUN_ARRAYS,
    .ownOptions = ownOptions,
    .checkOwnOption = checkOwnOption,
    .checkConfig = checkConfig,
    .checkFiles = checkFiles,
    .work = work};

} // namespace

int velktoolcli_calctfmouth(int argc, char **argv)
{
    return velktool_runTfCommand(command, argc, argv);
}
