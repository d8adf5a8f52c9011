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
#include "tfinput.h"
#include "velktool.h"

void helpForCalcTfMouth(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "Function:\n", "  calctfmouth\n",
                  "  Generate transfer function from mouth TSPs\n", nullptr);
}

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

// The window lengths in use must leave room in an nfft-sample window.
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

// One recording: it opens and fits the segment, the voice input, the
// channels in use and the sampling rate, with the estimator's own checks.
int checkRecording(const velkio_Position *pos, const char *used,
                   const Segment &seg)
{
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
            velkio_Positions_getById(g.srcXml->poses, g.srcPosId[s]);
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

} // namespace

int velktoolcli_calctfmouthExec(const char *tspList, const char *micList,
                                int outputType, const char *outputFile,
                                int directLength, int reverbLength,
                                int normalizeSrc, int normalizeMic,
                                int normalizeFreq, char resetMic, int end,
                                int mch, int hop, int headmargin)
{
    char used[VELKTOOL_MAX_CHANNELS] = {0};
    Segment seg = {0, mch, hop, headmargin};

    free(g.info);
    g.info = nullptr;
    if (velktool_loadPositionLists(tspList, micList) != 0)
        return 1;
    g.inputMode = 1;
    g.nMic = velkio_Positions_getSize(g.micXml->poses);
    g.nSrc = velkio_Positions_getSize(g.srcXml->poses);
    int micCount = g.nMic;
    if (velktool_selectChannels(used, resetMic, tspList, micList) != 0 ||
        velktool_readConfig() != 0 ||
        checkSegmentOptions(micCount, end, &seg) != 0 ||
        checkTspConfig(tspList) != 0 ||
        velktool_checkRunInputs(used, tspList, micList) != 0 ||
        checkWindowLengths(outputType, directLength, reverbLength) != 0 ||
        checkRecordings(used, seg) != 0 ||
        velktool_checkOutputNotInput(outputFile, nullptr) != 0)
        return 1;

    allocateArrays();
    velktool_createTmpPath();
    velktool_setMicPosId(used);
    velktool_setSrcPosId();

    std::vector<velktool_CutRangePair> ranges((size_t)g.nSrc);
    if (estimateSources(outputType, directLength, reverbLength, used, seg,
                        ranges.data()) != 0)
        return 1;
    if (outputType == LOC || outputType == LOC_SEP) {
        cat_asprintf(&g.info, "Direct sound Length  %d\n", directLength);
        cat_asprintf(&g.info, "Reverb sound Length  %d\n", reverbLength);
    }
    cat_asprintf(&g.info,
                 "Mouth TSP Info\n- start %d  end %d\n- mch %d\n- hop %d\n"
                 "- headmargin %d\n",
                 g.tspOffset, seg.endPoint, seg.mch, seg.hop, seg.headmargin);
    genTfFromIR(outputType, normalizeSrc, normalizeMic, normalizeFreq, resetMic,
                outputFile, ranges.data());
    return 0;
}

namespace {

// Values of the options of one run.
struct MouthOptions : velktool_TfOptions {
    int end = 0;
    int mch = 0;
    int hop = 1000;
    int headmargin = 0;
};

// The checks of one option handed back by popt: rc, or a popt error code.
int checkOption(poptContext ctx, int rc, MouthOptions &o)
{
    switch (rc) {
    case 'e':
        return o.end <= 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'c':
        return o.mch < 0 ? POPT_ERROR_BADNUMBER : rc;
    case 'h':
        return o.hop < 10 ? POPT_ERROR_BADNUMBER : rc;
    default:
        return velktool_checkTfOption(ctx, rc, o);
    }
}

} // namespace

int velktoolcli_calctfmouth(int argc, char **argv)
{
    MouthOptions o;
    struct poptOption table[] = {
        VELKTOOL_TF_LIST_ENTRIES(o, "tsp-list", "TSP list file  (ex. tsp.xml)"),
        VELKTOOL_TF_REVERB_ENTRY(o),
        VELKTOOL_TF_NORMALIZE_ENTRIES(o),
        {"end", '\0', POPT_ARG_INT, &o.end, 'e',
         "End point for TF calculation in sample (default TSPOffset+TSPLength)",
         nullptr},
        {"mch", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.mch, 'c',
         "Channel index of the voice input", nullptr},
        {"hop", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &o.hop, 'h',
         "Shift length for TF calculation (Minimum 10)", nullptr},
        {"headmargin", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,
         &o.headmargin, 'a', "Head margin of impulse responces in samples",
         nullptr},
        VELKOPT_COMMON_ENTRIES(o.logLevel),
        POPT_TABLEEND};

    poptContext ctx =
        poptGetContext(nullptr, argc, const_cast<const char **>(argv), table, 0);
    poptSetOtherOptionHelp(ctx, "calctfmouth [OPTIONS]*");
    velktool_tfOptionLoop(ctx, o, helpForCalcTfMouth, checkOption, __func__);
    if (velktool_checkTfMandatory(o, "--tsp-list") != 0) {
        poptFreeContext(ctx);
        return 1;
    }

    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfmoutnExec start");
    int result = velktoolcli_calctfmouthExec(
        o.sourceList, o.micList, o.tfType, o.outputFile, o.directLength,
        o.reverbLength, o.normalizeSrc, o.normalizeMic, o.normalizeFreq,
        o.resetMic, o.end, o.mch, o.hop, o.headmargin);
    VELKIO_LOG(VELKIO_LOG_INFO, "@ velktoolcli_calctfmouthExec %s end",
               result == 0 ? "normal" : "error");
    poptFreeContext(ctx);
    velktool_Exit(result);
}
