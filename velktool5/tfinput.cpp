// Inputs of the transfer-function subcommands: the source and microphone
// lists, the channel selection and the configuration, with the checks that
// refuse unusable input before any file or directory of the run is made.
#include "tfinput.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include "docout.h"
#include "textutil.h"

/* --output-type: "LOC" or "loc" LOC, "SEP" or "sep" SEP, "LOC_SEP" or
 * "loc_sep" LOC_SEP; -1 for anything else. */
int velktool_parseOutputType(const char *text)
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
bool velktool_isFlagValue(int value)
{
    return value == 0 || value == 1;
}

/* Reads the source list into g.srcXml and the microphone list into
 * g.micXml. */
int velktool_loadPositionLists(const char *srcList, const char *micList)
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

namespace {

/* Marks the channels of the first source position's channel list in
 * `used` and makes their count nMic.  With resetMic the list goes into
 * the report text as "Original Microphone Channels 0,2,4\n".  A channel
 * outside 0 .. 63, a channel listed twice or an empty list is refused:
 * the table could not hold it, or micPosId would be left partly unset. */
int velktool_useChannelList(const velkio_Position *first, char *used,
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

} // namespace

/* Channel selection into `used` (VELKTOOL_MAX_CHANNELS flags, all 0):
 * the channel list of the first source position when it carries one,
 * else channels 0 .. nMic-1 of the microphone list.  nSrc and nMic hold
 * the list sizes on entry; nMic is the number of channels in use after. */
int velktool_selectChannels(char *used, int resetMic,
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
int velktool_readConfig(void)
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

namespace {

/* The transforms work on power-of-two lengths, and the readers of the
 * archive transform with its nfft too. */
int velktool_checkNfft(const char *srcList)
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
int velktool_checkChannelIds(const char *used, const char *micList)
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
int velktool_checkSourceIds(const char *srcList)
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
int velktool_setVectorSizes(void)
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

} // namespace

/* The checks common to the transfer-function subcommands, after the
 * channel selection and the configuration. */
int velktool_checkRunInputs(const char *used, const char *srcList,
                            const char *micList)
{
    if (velktool_checkNfft(srcList) != 0 ||
        velktool_checkChannelIds(used, micList) != 0 ||
        velktool_checkSourceIds(srcList) != 0)
        return 1;
    return velktool_setVectorSizes();
}

/* The header of the sound file of a source position into *info. */
int velktool_sourceFileInfo(const velkio_Position *pos, const char *what,
                            const char *cannotOpen, SF_INFO *info)
{
    if (pos->path == nullptr || pos->path[0] == '\0') {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no %s given for source position [%d]", what, pos->id);
        return 1;
    }
    memset(info, 0, sizeof *info);
    velktool_SoundFile file;
    if (velktool_openSoundFile(pos->path, info, &file) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, cannotOpen, pos->path);
        return 1;
    }
    velktool_closeSoundFile(&file);
    return 0;
}

/* The lowest channel in use that a file of `channels` channels lacks, or
 * -1 when it holds them all. */
int velktool_missingChannel(const char *used, int channels)
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
int velktool_checkOutputNotInput(const char *outputFile,
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
