/*
 * velktoolcli-flt2multiwav: raw single-channel signal files (headerless
 * 32-bit floats) joined into one multichannel WAV file of 32-bit float
 * samples; input n becomes channel n, every channel is cut to the length of
 * the shortest input.
 */
#ifndef VELK_FLT2MULTIWAV_H
#define VELK_FLT2MULTIWAV_H

#include <cstdint>
#include <string>
#include <vector>

#include <popt.h>

#include "options.h"

/* At most this many names are taken from a list file. */
enum { FLT2WAV_MAX_CHANNELS = 64 };

/* A list-file line names a file, so it is at most as long as a path can
 * be (PATH_MAX less the terminating NUL). */
enum { FLT2WAV_MAX_NAME_LENGTH = 4095 };

/* List files larger than this are refused unread: 64 names of the longest
 * kind take a quarter of it. */
enum { FLT2WAV_MAX_LIST_BYTES = 1 << 20 };

/* Sample rate of the written file, Hz. */
enum { FLT2WAV_SAMPLE_RATE = 16000 };

/* Results of savemultiwave. */
enum {
    FLT2WAV_SAVED = 0,
    FLT2WAV_WRITE_FAILED = 1, /* a block of frames could not be written */
    FLT2WAV_OPEN_FAILED = 2   /* the output could not be created (reported) */
};

/* Reads a raw file of 32-bit floats in the machine's byte order: returns a
 * new buffer (the caller frees it) and stores the sample count (size / 4),
 * or returns null with a message.  Anything but a regular file, and a file
 * whose size is not a multiple of 4, is refused. */
float *readRaw(const char *path, int64_t *count);

/* Writes `channels` buffers of `frames` samples each, interleaved in
 * channel order, as a WAV file of 32-bit floats, through velkio_Output: an
 * existing file is replaced only by a complete one.  Returns one of the
 * results above. */
int savemultiwave(int channels, float *const *buffers, int64_t frames, int sampleRate,
                  const char *path);

/* Reads the input names of a list file: one per line, newline removed,
 * empty lines skipped, each line verbatim; at most FLT2WAV_MAX_CHANNELS
 * names, with a warning when more lines follow.  0 on success, 1 (reported)
 * when the file is not a regular file, cannot be read, is larger than
 * FLT2WAV_MAX_LIST_BYTES, or has a line of more than
 * FLT2WAV_MAX_NAME_LENGTH characters or with a NUL byte among those read. */
int readListFile(const char *path, std::vector<std::string> *names);

/* The whole conversion of the named inputs into `output`; inputs of
 * different lengths are cut to the shortest, with a warning naming the
 * shortest and the longest.  Prints "SUCCESS" and the output path on
 * standard error on success.  0 on success, 1 on failure. */
int flt2multiwav_convert(const char *output, const std::vector<std::string> &inputs);

/* The usage printer: prints the usage and ends the process with `status`,
 * unless an option has already been parsed. */
void help(poptContext ctx, int status);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program flt2multiwav_commandLine;
int flt2multiwav_main(int argc, const char **argv);

#endif /* VELK_FLT2MULTIWAV_H */
