/*
 * Inputs of the transfer-function subcommands (calctfimp, calctfgeo): the
 * source and microphone lists, the channel selection and the
 * configuration, with the checks that refuse unusable input before any
 * file or directory of the run is made.
 *
 * Every routine returns 0, or 1 after a level-0 message; the caller's work
 * routine then returns 1.
 */
#ifndef VELKTOOL5_TFINPUT_H
#define VELKTOOL5_TFINPUT_H

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

#include <sys/stat.h>

#include "docout.h"
#include "textutil.h"
#include "velktool.h"

/* --output-type: "LOC" or "loc" LOC, "SEP" or "sep" SEP, "LOC_SEP" or
 * "loc_sep" LOC_SEP; -1 for anything else. */
inline int velktool_parseOutputType(const char *text)
{
    if (text == nullptr)
        return -1;
    if (strcmp(text, "LOC") == 0 || strcmp(text, "loc") == 0)
        return LOC;
    if (strcmp(text, "SEP") == 0 || strcmp(text, "sep") == 0)
        return SEP;
    if (strcmp(text, "LOC_SEP") == 0 || strcmp(text, "loc_sep") == 0)
        return LOC_SEP;
    return -1;
}

/* The values a --normalize-* option accepts. */
inline bool velktool_isFlagValue(int value)
{
    return value == 0 || value == 1;
}

/* Reads the source list into g.srcXml and the microphone list into
 * g.micXml. */
inline int velktool_loadPositionLists(const char *srcList, const char *micList)
{
    g.srcXml = velkio_XML_newFromXML(srcList, "");
    if (g.srcXml == nullptr) {
        velkio_Log_FileOpenFailed(srcList);
        return 1;
    }
    g.micXml = velkio_XML_newFromXML(micList, "");
    if (g.micXml == nullptr) {
        velkio_Log_FileOpenFailed(micList);
        return 1;
    }
    return 0;
}

/* Marks the channels of the first source position's channel list in
 * `used` and makes their count nMic.  With resetMic the list goes into
 * the report text as "Original Microphone Channels 0,2,4\n".  A channel
 * outside 0 .. 63, a channel listed twice or an empty list is refused:
 * the table could not hold it, or micPosId would be left partly unset. */
inline int velktool_useChannelList(const velkio_Position *first, char *used,
                                   int resetMic, const char *srcList)
{
    int count = first->channels != nullptr ? first->numChannels : 0;
    if (count < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "the channel list of the first position in [%s] is empty",
                   srcList);
        return 1;
    }
    if (resetMic)
        cat_asprintf(&g.info, "Original Microphone Channels ");
    for (int i = 0; i < count; i++) {
        int c = first->channels[i];
        if (c < 0 || c >= VELKTOOL_MAX_CHANNELS) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "channel [%d] of the channel list in [%s] is outside 0 .. %d",
                       c, srcList, VELKTOOL_MAX_CHANNELS - 1);
            return 1;
        }
        if (used[c]) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "channel [%d] appears twice in the channel list in [%s]",
                       c, srcList);
            return 1;
        }
        VELKIO_LOG(VELKIO_LOG_DEBUG, "use channel %d", c);
        used[c] = 1;
        if (resetMic)
            cat_asprintf(&g.info, "%d,", c);
    }
    if (resetMic && g.info != nullptr && g.info[0] != '\0')
        g.info[strlen(g.info) - 1] = '\n';
    g.nMic = count;
    return 0;
}

/* Channel selection into `used` (VELKTOOL_MAX_CHANNELS flags, all 0):
 * the channel list of the first source position when it carries one,
 * else channels 0 .. nMic-1 of the microphone list.  nSrc and nMic hold
 * the list sizes on entry; nMic is the number of channels in use after. */
inline int velktool_selectChannels(char *used, int resetMic,
                                   const char *srcList, const char *micList)
{
    if (g.nSrc < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no source positions in [%s]", srcList);
        return 1;
    }
    if (g.nMic < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no microphone positions in [%s]",
                   micList);
        return 1;
    }
    const velkio_Position *first = g.srcXml->poses->list[0];
    if (first->useChannels == 1)
        return velktool_useChannelList(first, used, resetMic, srcList);

    if (g.nMic > VELKTOOL_MAX_CHANNELS) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%d microphones in [%s]: at most %d can be used without a "
                   "channel list in [%s]",
                   g.nMic, micList, VELKTOOL_MAX_CHANNELS, srcList);
        return 1;
    }
    VELKIO_LOG(VELKIO_LOG_DEBUG, "use all channels. NumCh=%d", g.nMic);
    for (int c = 0; c < g.nMic; c++)
        used[c] = 1;
    return 0;
}

/* The configuration of the source list into g. */
inline int velktool_readConfig(void)
{
    const velkio_Config *cfg = g.srcXml->cfg;
    if (cfg == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Config not found in source.xml");
        return 1;
    }
    g.nfft = velkio_Config_getNfft(cfg);
    g.tspLength = velkio_Config_getTSPLength(cfg);
    g.samplingRate = velkio_Config_getSamplingRate(cfg);
    g.signalMax = velkio_Config_getSignalMax(cfg);
    g.syncAverage = velkio_Config_getSynchronousAverage(cfg);
    g.tspPath = velkio_Config_getTSPpath(cfg);
    g.tspOffset = velkio_Config_getTSPoffset(cfg);
    g.peakSearchFrom = velkio_Config_getPeakSearchFrom(cfg);
    g.peakSearchTo = velkio_Config_getPeakSearchTo(cfg);
    return 0;
}

/* The transforms work on power-of-two lengths, and the readers of the
 * archive transform with its nfft too. */
inline int velktool_checkNfft(const char *srcList)
{
    if (g.nfft < 4 || (g.nfft & (g.nfft - 1)) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "nfft [%d] of the configuration in [%s] is not a power of "
                   "two of at least 4",
                   g.nfft, srcList);
        return 1;
    }
    return 0;
}

/* Every channel in use must be a microphone position of the microphone
 * list: its coordinates go into the archive. */
inline int velktool_checkChannelIds(const char *used, const char *micList)
{
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS; c++) {
        if (used[c] && velkio_Positions_getById(g.micXml->poses, c) == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "microphone channel [%d] is not a position id of [%s]",
                       c, micList);
            return 1;
        }
    }
    return 0;
}

/* Each source position gets its own member of the archive, named after
 * its id: two positions with the same id cannot both be kept. */
inline int velktool_checkSourceIds(const char *srcList)
{
    std::vector<int> ids;
    ids.reserve((size_t)g.nSrc);
    for (int i = 0; i < g.nSrc; i++)
        ids.push_back(g.srcXml->poses->list[i]->id);
    std::sort(ids.begin(), ids.end());
    auto twice = std::adjacent_find(ids.begin(), ids.end());
    if (twice != ids.end()) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "source position id [%d] appears twice in [%s]", *twice,
                   srcList);
        return 1;
    }
    return 0;
}

/* nIRvect and nTFvect of g; refused when the element count of one
 * impulse-response array does not fit the 32-bit counts of the run. */
inline int velktool_setVectorSizes(void)
{
    long long n = (long long)g.nSrc * g.nMic * g.nfft;
    if (n > INT_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "too many values: %d source positions x %d microphones x "
                   "nfft %d",
                   g.nSrc, g.nMic, g.nfft);
        return 1;
    }
    g.nIRvect = (int)n;
    g.nTFvect = g.nSrc * g.nMic * (g.nfft / 2 + 1);
    return 0;
}

/* The checks common to the transfer-function subcommands, after the
 * channel selection and the configuration. */
inline int velktool_checkRunInputs(const char *used, const char *srcList,
                                   const char *micList)
{
    if (velktool_checkNfft(srcList) != 0 ||
        velktool_checkChannelIds(used, micList) != 0 ||
        velktool_checkSourceIds(srcList) != 0)
        return 1;
    return velktool_setVectorSizes();
}

/* The lowest channel in use that a file of `channels` channels lacks, or
 * -1 when it holds them all. */
inline int velktool_missingChannel(const char *used, int channels)
{
    for (int c = channels < 0 ? 0 : channels; c < VELKTOOL_MAX_CHANNELS; c++) {
        if (used[c])
            return c;
    }
    return -1;
}

/* Refuses an output file that is one of the files the run reads: the file
 * of every source position (recordings, impulse-response files) and
 * `other` (the reference TSP; null for none).  The archive would replace
 * it.  The list documents are compared with the options already. */
inline int velktool_checkOutputNotInput(const char *outputFile,
                                        const char *other)
{
    struct stat st;
    if (outputFile == nullptr || stat(outputFile, &st) != 0)
        return 0;   // a new file is no input
    for (int i = 0; i < g.nSrc; i++) {
        if (velk_outputIsInput(outputFile, g.srcXml->poses->list[i]->path))
            return 1;
    }
    return velk_outputIsInput(outputFile, other);
}

/* The options shared by the transfer-function subcommands, with their
 * defaults; `sourceList` is --impulse-list or --tsp-list.  Each subcommand
 * keeps its own option table pointing into this record. */
struct velktool_TfOptions {
    char *sourceList = nullptr;
    char *micList = nullptr;
    char *outputType = const_cast<char *>("LOC_SEP");
    char *outputFile = nullptr;
    int directLength = 32;
    int reverbLength = 256;
    int normalizeSrc = 0;
    int normalizeMic = 0;
    int normalizeFreq = 0;
    const char *logLevel = "E";
    int tfType = LOC_SEP;
    char resetMic = 0;
};

/* Option-table entries of the shared options, in the order every
 * transfer-function subcommand lists them: the source list (named and
 * described by the subcommand), the microphone list, the output type and
 * file, and the direct length; then the reverb length where the subcommand
 * cuts a reverberant window; then the three normalizations and --reset-mic. */
#define VELKTOOL_TF_LIST_ENTRIES(o, sourceName, sourceHelp)                    \
    {sourceName, '\0', POPT_ARG_STRING, &(o).sourceList, 'i', sourceHelp,     \
     nullptr},                                                                 \
    {"mic-list", '\0', POPT_ARG_STRING, &(o).micList, 'm',                    \
     "Microphone list file  (ex. microphone.xml)", nullptr},                  \
    {"output-type", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT,        \
     &(o).outputType, 't',                                                     \
     "Transfer function type  LOC=Localization,SEP=Separation,LOC_SEP=LOC&SEP",\
     "LOC|SEP|LOC_SEP"},                                                       \
    {"output-file", '\0', POPT_ARG_STRING, &(o).outputFile, 'o',              \
     "Output transfer function zip file path  (ex. /path/to/transfer.zip)",    \
     nullptr},                                                                 \
    {"direct-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,         \
     &(o).directLength, 'd', "Direct sound length", nullptr}

#define VELKTOOL_TF_REVERB_ENTRY(o)                                            \
    {"reverb-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,         \
     &(o).reverbLength, 'r', "Reverb sound length", nullptr}

#define VELKTOOL_TF_NORMALIZE_ENTRIES(o)                                       \
    {"normalize-src", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,         \
     &(o).normalizeSrc, 'S', "Normalize by src  0=disable,1=enable", "0|1"},   \
    {"normalize-mic", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,         \
     &(o).normalizeMic, 'M', "Normalize by mic  0=disable,1=enable", "0|1"},   \
    {"normalize-freq", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT,        \
     &(o).normalizeFreq, 'F', "Normalize by frequency  0=disable,1=enable",    \
     "0|1"},                                                                   \
    {"reset-mic", '\0', POPT_ARG_NONE, nullptr, 'R',                          \
     "Remove unused channels from microphones.xml and reset their ids. "       \
     "(for VELKTOOL4 compatible)",                                             \
     nullptr}

/* The value checks of the shared options handed back by popt ('t', 'd',
 * 'r', 'S', 'M', 'F', 'R'): rc, or POPT_ERROR_BADNUMBER for a value out of
 * range; an unknown output type ends the process.  Other values are
 * returned unchanged. */
inline int velktool_checkTfOption(poptContext ctx, int rc, velktool_TfOptions &o)
{
    switch (rc) {
    case 't':
        o.tfType = velktool_parseOutputType(o.outputType);
        if (o.tfType < 0) {
            VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
            exit(1);
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
        return rc;
    }
}

/* Reports each missing mandatory option in table order (`listOption` is
 * "--impulse-list" or "--tsp-list"); 1 when one is missing, or when the
 * output file exists and is not a regular file or is one of the two
 * lists. */
inline int velktool_checkTfMandatory(const velktool_TfOptions &o,
                                     const char *listOption)
{
    int missing = 0;
    if (o.sourceList == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing %s", listOption);
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

/* The option loop of a transfer-function subcommand: each option popt hands
 * back goes to the common handling (--logLevel, --help), then to `check`;
 * hasParsedOpt is set after each one.  A popt error or a failed check is
 * logged as "%s: %s" under `function` and ends the process with status 1. */
template <class Options, class Check>
void velktool_tfOptionLoop(poptContext ctx, Options &o, velkopt_UsageFn usage,
                           Check check, const char *function)
{
    // "velktoolcli_calctfimp" names the subcommand "velktool5 calctfimp".
    const std::string name = std::string("velktool5 ") + (function + strlen("velktoolcli_"));
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        if (!velkopt_handleCommon(ctx, rc, o.logLevel, usage, name.c_str()))
            rc = check(ctx, rc, o);
        if (rc < 0)
            break;
        hasParsedOpt = 1;
    }
    if (rc < -1) {
        velkopt_logBadOption(ctx, poptStrerror(rc), function, __LINE__);
        poptFreeContext(ctx);
        exit(1);
    }
}

#endif /* VELKTOOL5_TFINPUT_H */
