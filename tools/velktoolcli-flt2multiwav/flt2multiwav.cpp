// Raw float files joined into one multichannel WAV file (see
// flt2multiwav.h).
#include "flt2multiwav.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "docout.h"
#include "options.h"
#include "velkio.h"

namespace {

/* Frames handed to libsndfile per call. */
const int64_t FRAMES_PER_BLOCK = 4096;

/* Removes `path` when it names a regular file (never a device, a pipe or
 * what a symbolic link points to). */
void removeRegularFile(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode))
        unlink(path);
}

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

} // namespace

float *readRaw(const char *path, int64_t *count)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        velkio_Log_FileOpenFailed(path);
        return nullptr;
    }
    // Only a regular file has a size to go by (a directory opens too).
    struct stat st;
    off_t size = -1;
    if (fstat(fileno(f), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        else if (fseeko(f, 0, SEEK_END) == 0)
            size = ftello(f);
    }
    if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) {
        velkio_Log_FileOpenFailed(path);
        fclose(f);
        return nullptr;
    }
    int64_t n = (int64_t)size / (int64_t)sizeof(float);
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

    struct stat st;
    bool existed = lstat(path, &st) == 0;
    SNDFILE *sf = sf_open(path, SFM_WRITE, &info);
    if (sf == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open output file [%s]: %s", path,
                   sf_strerror(nullptr));
        if (!existed)
            removeRegularFile(path);
        return FLT2WAV_OPEN_FAILED;
    }
    int failed = writeFrames(sf, channels, buffers, frames);
    if (sf_close(sf) != 0 && !failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "sf_close error [%s]", path);
        failed = 1;
    }
    if (failed) {
        removeRegularFile(path);
        return FLT2WAV_WRITE_FAILED;
    }
    return FLT2WAV_SAVED;
}

int readListFile(const char *path, std::vector<std::string> *names)
{
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        velkio_Log_FileOpenFailed(path);
        return 1;
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, f)) != -1) {
        if ((int)names->size() == FLT2WAV_MAX_CHANNELS) {
            VELKIO_LOG(VELKIO_LOG_WARNING, "number of channes too large. channel max = %d",
                       FLT2WAV_MAX_CHANNELS);
            break;
        }
        if (length > 0 && line[length - 1] == '\n')
            length--;
        if (length > 0)
            names->push_back(std::string(line, (size_t)length));
    }
    int result = 0;
    if (ferror(f)) {
        velkio_Log_FileOpenFailed(path);
        result = 1;
    }
    free(line);
    fclose(f);
    return result;
}

int flt2multiwav_convert(const char *output, const std::vector<std::string> &inputs)
{
    std::vector<float *> buffers;
    int64_t frames = 0;
    int result = 0;
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
        frames = buffers.empty() ? count : std::min(frames, count);
        buffers.push_back(buffer);
    }
    if (result == 0) {
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
