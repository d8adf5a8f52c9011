// Raw float files joined into one multichannel WAV file (see
// flt2multiwav.h).
#include "flt2multiwav.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sndfile.h>
#include <sys/stat.h>

#include "docout.h"
#include "options.h"
#include "velkio.h"

namespace {

/* Frames handed to libsndfile per call. */
const int64_t FRAMES_PER_BLOCK = 4096;

/* Writes all frames in blocks; 0 on success, else logged. */
int writeFrames(SNDFILE *sf, int channels, float *const *buffers, int64_t frames)
{
    std::vector<float> block((size_t)(FRAMES_PER_BLOCK * channels));
    for (int64_t start = 0; start < frames; start += FRAMES_PER_BLOCK) {
        int64_t length = std::min(FRAMES_PER_BLOCK, frames - start);
        for (int64_t i = 0; i < length; i++)
            for (int c = 0; c < channels; c++)
                block[(size_t)(i * channels + c)] = buffers[c][start + i];
        sf_count_t written = sf_writef_float(sf, block.data(), length);
        if (written != length) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "sf_write_float Error. frame=%lld",
                       (long long)(start + std::max<sf_count_t>(written, 0)));
            return 1;
        }
    }
    return 0;
}

/* Opens an input for reading when it is a regular file; null with a
 * message otherwise. */
FILE *openInput(const char *path)
{
    FILE *f = velkio_File_fopenRegular(path);
    // EINVAL: the path is not a regular file, which has been reported.
    if (f == nullptr && errno != EINVAL)
        velkio_Log_FileOpenFailed(path);
    return f;
}

/* The whole text of a list file, refused when larger than
 * FLT2WAV_MAX_LIST_BYTES (checked on its size and while reading, in case
 * it grows).  0 on success, 1 with a message. */
int readListText(const char *path, std::string *text)
{
    FILE *f = openInput(path);
    if (f == nullptr)
        return 1;
    struct stat st;
    bool tooLarge = fstat(fileno(f), &st) == 0 && st.st_size > FLT2WAV_MAX_LIST_BYTES;
    char chunk[65536];
    size_t n;
    while (!tooLarge && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        text->append(chunk, n);
        tooLarge = text->size() > FLT2WAV_MAX_LIST_BYTES;
    }
    int result = 0;
    if (tooLarge) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "list file [%s] is larger than %d bytes", path,
                   FLT2WAV_MAX_LIST_BYTES);
        result = 1;
    } else if (ferror(f)) {
        velkio_Log_FileOpenFailed(path);
        result = 1;
    }
    fclose(f);
    return result;
}

/* Warns when the inputs differ in length: the output keeps the shortest. */
void warnOfUnequalLengths(const std::vector<std::string> &inputs,
                          const std::vector<int64_t> &counts)
{
    size_t shortest = 0, longest = 0;
    for (size_t i = 1; i < counts.size(); i++) {
        if (counts[i] < counts[shortest])
            shortest = i;
        if (counts[i] > counts[longest])
            longest = i;
    }
    if (counts.empty() || counts[shortest] == counts[longest])
        return;
    VELKIO_LOG(VELKIO_LOG_WARNING,
               "inputs differ in length: every channel is cut to the shortest [%s] "
               "(%lld samples); the longest is [%s] (%lld samples)",
               inputs[shortest].c_str(), (long long)counts[shortest],
               inputs[longest].c_str(), (long long)counts[longest]);
}

} // namespace

float *readRaw(const char *path, int64_t *count)
{
    FILE *f = openInput(path);
    if (f == nullptr)
        return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        velkio_Log_FileOpenFailed(path);
        fclose(f);
        return nullptr;
    }
    // A size that is not a whole number of samples is a cut or foreign
    // file, not a signal of the main program: its tail would be lost.
    if (st.st_size % (off_t)sizeof(float) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] is %lld bytes long, not a whole number of 4-byte float samples", path,
                   (long long)st.st_size);
        fclose(f);
        return nullptr;
    }
    int64_t n = (int64_t)st.st_size / (int64_t)sizeof(float);
    VELKIO_LOG(VELKIO_LOG_DEBUG, "RAW file includes %ld samples.", (long)n);
    // One element at least, so that an empty file still gets a buffer.
    float *buffer = (float *)malloc(sizeof(float) * (size_t)std::max<int64_t>(n, 1));
    if (buffer == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        fclose(f);
        return nullptr;
    }
    errno = 0;
    size_t got = fread(buffer, sizeof(float), (size_t)n, f);
    fclose(f);
    if ((int64_t)got < n) {
        velkio_Log_FileOpenFailed(path);
        free(buffer);
        return nullptr;
    }
    *count = n;
    return buffer;
}

int savemultiwave(int channels, float *const *buffers, int64_t frames, int sampleRate,
                  const char *path)
{
    SF_INFO info = {};
    info.frames = frames;
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    if (!sf_format_check(&info))
        VELKIO_LOG(VELKIO_LOG_ERROR, "Format Error.");

    velkio_Output *out = velkio_Output_open(path);
    SNDFILE *sf = out != nullptr
                      ? sf_open_fd(velkio_Output_fd(out), SFM_WRITE, &info, SF_FALSE)
                      : nullptr;
    if (sf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open output file [%s]: %s", path,
                   out != nullptr ? sf_strerror(nullptr) : strerror(errno));
        velkio_Output_abort(out);
        return FLT2WAV_OPEN_FAILED;
    }
    int failed = writeFrames(sf, channels, buffers, frames);
    if (sf_close(sf) != 0 && !failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "sf_close error [%s]", path);
        failed = 1;
    }
    if (failed) {
        velkio_Output_abort(out);
        return FLT2WAV_WRITE_FAILED;
    }
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write output file [%s]: %s", path,
                   strerror(errno));
        return FLT2WAV_WRITE_FAILED;
    }
    return FLT2WAV_SAVED;
}

int readListFile(const char *path, std::vector<std::string> *names)
{
    std::string text;
    if (readListText(path, &text) != 0)
        return 1;
    size_t at = 0;
    for (int line = 1; at < text.size(); line++) {
        if ((int)names->size() == FLT2WAV_MAX_CHANNELS) {
            VELKIO_LOG(VELKIO_LOG_WARNING, "number of channes too large. channel max = %d",
                       FLT2WAV_MAX_CHANNELS);
            break;
        }
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string name = text.substr(at, end - at);
        at = end + 1;
        if (name.size() > FLT2WAV_MAX_NAME_LENGTH) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "list file [%s] line %d is longer than %d characters",
                       path, line, FLT2WAV_MAX_NAME_LENGTH);
            return 1;
        }
        if (name.find('\0') != std::string::npos) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "list file [%s] line %d holds a NUL byte", path, line);
            return 1;
        }
        if (!name.empty())
            names->push_back(name);
    }
    return 0;
}

int flt2multiwav_convert(const char *output, const std::vector<std::string> &inputs)
{
    std::vector<float *> buffers;
    std::vector<int64_t> counts;
    int result = velkio_Output_check(output);
    for (size_t i = 0; i < inputs.size() && result == 0; i++)
        result = velk_outputIsInput(output, inputs[i].c_str());
    for (const std::string &input : inputs) {
        if (result != 0)
            break;
        int64_t count = 0;
        float *buffer = readRaw(input.c_str(), &count);
        if (buffer == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "Reading raw file failed.");
            result = 1;
            break;
        }
        buffers.push_back(buffer);
        counts.push_back(count);
    }
    if (result == 0) {
        warnOfUnequalLengths(inputs, counts);
        int64_t frames = counts.empty() ? 0 : *std::min_element(counts.begin(), counts.end());
        int saved = savemultiwave((int)buffers.size(), buffers.data(), frames,
                                  FLT2WAV_SAMPLE_RATE, output);
        if (saved == FLT2WAV_WRITE_FAILED)
            VELKIO_LOG(VELKIO_LOG_ERROR, "Save file failed");
        result = saved == FLT2WAV_SAVED ? 0 : 1;
    }
    for (float *buffer : buffers)
        free(buffer);
    if (result == 0)
        fprintf(stderr, "SUCCESS\n output file : %s\n", output);
    return result;
}

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-flt2multiwav\n",
                  "  Convert the multiple raw data (32bit float wave) to a multi channel wave file.\n",
                  "      input_raw_filenames and -l are exclusive.\n");
}
