/*
 * Inputs of the transfer-function subcommands (calctfimp, calctfrec,
 * calctfgeo, calctfmouth): the source and microphone lists, the channel
 * selection and the configuration, with the checks that refuse unusable
 * input before any file or directory of the run is made.
 *
 * Every check returns 0, or 1 after a level-0 message; the caller's work
 * routine then returns 1.
 */
#ifndef VELKTOOL5_TFINPUT_H
#define VELKTOOL5_TFINPUT_H

#include "velktool.h"

/* --output-type: "LOC" or "loc" LOC, "SEP" or "sep" SEP, "LOC_SEP" or
 * "loc_sep" LOC_SEP; -1 for anything else. */
int velktool_parseOutputType(const char *text);

/* The values a --normalize-* option accepts. */
bool velktool_isFlagValue(int value);

/* Reads the source list into g.srcXml and the microphone list into
 * g.micXml. */
int velktool_loadPositionLists(const char *srcList, const char *micList);

/* Channel selection into `used` (VELKTOOL_MAX_CHANNELS flags, all 0):
 * the channel list of the first source position when it carries one,
 * else channels 0 .. nMic-1 of the microphone list.  nSrc and nMic hold
 * the list sizes on entry; nMic is the number of channels in use after. */
int velktool_selectChannels(char *used, int resetMic,
                            const char *srcList, const char *micList);

/* The configuration of the source list into g. */
int velktool_readConfig(void);

/* The checks common to the transfer-function subcommands, after the
 * channel selection and the configuration. */
int velktool_checkRunInputs(const char *used, const char *srcList,
                            const char *micList);

/* The header of the sound file of a source position into *info: 0, or 1
 * after a level-0 message when the position names no file ("no <what>
 * given for source position [id]") or the file cannot be opened as a sound
 * file (`cannotOpen`, a format taking the path). */
int velktool_sourceFileInfo(const velkio_Position *pos, const char *what,
                            const char *cannotOpen, SF_INFO *info)
    __attribute__((format(printf, 3, 0)));

/* The lowest channel in use that a file of `channels` channels lacks, or
 * -1 when it holds them all. */
int velktool_missingChannel(const char *used, int channels);

/* Refuses an output file that is one of the files the run reads: the file
 * of every source position (recordings, impulse-response files) and
 * `other` (the reference TSP; null for none).  The archive would replace
 * it.  The list documents are compared with the options already. */
int velktool_checkOutputNotInput(const char *outputFile,
                                 const char *other);

#endif /* VELKTOOL5_TFINPUT_H */
