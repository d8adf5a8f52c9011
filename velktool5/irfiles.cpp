// Impulse-response files: raw float files, WAV files, the run's temporary
// directory tree and the two loaders that cut one localization and one
// separation impulse response per source position and microphone.
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "velktool.h"

namespace {

// Frames (or samples) moved per library call when reading and writing.
const long long BLOCK_FRAMES = 4096;

const char TMP_ROOT[] = ".velktool-temp";

// Logs a level-0 message under the calling routine's name and line and
// ends the run.
[[noreturn]] void fail(const char *routine, int line, const char *message)
{
    velkio_Log_printf_(VELKIO_LOG_ERROR, "%s", 0, routine, line, message);
    velktool_Exit(1);
}

long long clampToInt(long long n)
{
    return n > INT_MAX ? INT_MAX : n;
}

// Byte size of a stream opened with velkio_File_fopenRegular, or -1.
long long streamSize(FILE *fp)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (long long)st.st_size;
}

// out = dir + "/" + name; 1 when that does not fit into size bytes.
int joinPath(char *out, size_t size, const char *dir, const char *name)
{
    int n = snprintf(out, size, "%s/%s", dir, name);
    return (n < 0 || (size_t)n >= size) ? 1 : 0;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Raw float files                                                     */
/* ------------------------------------------------------------------ */

long long get_flt_size(const char *path)
{
    if (path == nullptr)
        return -1;
    FILE *fp = velkio_File_fopenRegular(path);
    if (fp == nullptr)
        return -1;
    long long size = streamSize(fp);
    fclose(fp);
    return size;
}

int read_flt(const char *path, double *values, long long byteSize,
             double *absMax)
{
    if (path == nullptr || values == nullptr || absMax == nullptr ||
        byteSize < 0 || byteSize % 4 != 0)
        return -1;
    FILE *fp = velkio_File_fopenRegular(path);
    if (fp == nullptr)
        return -1;
    setvbuf(fp, nullptr, _IOFBF, 8192);

    float block[BLOCK_FRAMES];
    long long count = byteSize / 4, done = 0;
    double peak = 0;
    while (done < count) {
        size_t want = (size_t)(count - done < BLOCK_FRAMES ? count - done
                                                           : BLOCK_FRAMES);
        if (fread(block, sizeof(float), want, fp) != want) {
            fclose(fp);
            return -1;
        }
        for (size_t i = 0; i < want; ++i) {
            values[done + i] = block[i];
            if (fabs(values[done + i]) > peak)
                peak = fabs(values[done + i]);
        }
        done += (long long)want;
    }
    fclose(fp);
    *absMax = peak;
    return 0;
}

namespace {

// Writes count samples as 32-bit floats to fp; 0 on success.  Buffered
// data reach the file only when the stream is closed, which the caller
// checks too.
template <typename Sample>
int writeFloats(FILE *fp, const Sample *values, long long count)
{
    setvbuf(fp, nullptr, _IOFBF, 8192);
    float block[BLOCK_FRAMES];
    int status = 0;
    for (long long done = 0; done < count && status == 0;) {
        size_t n = (size_t)(count - done < BLOCK_FRAMES ? count - done
                                                        : BLOCK_FRAMES);
        for (size_t i = 0; i < n; ++i)
            block[i] = (float)values[done + i];
        if (fwrite(block, sizeof(float), n, fp) != n)
            status = -1;
        done += (long long)n;
    }
    return status;
}

// A new file of the run's temporary tree: created exclusively under its
// last path component in the open directory, never through a link.
FILE *fopenInRunTree(int dir, const char *name)
{
    const char *slash = strrchr(name, '/');
    const char *file = slash != nullptr ? slash + 1 : name;
    int fd = openat(dir, file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "wb");
    if (fp == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return fp;
}

template <typename Sample>
int writeFlt(velktool_FltOutput output, const char *name, const Sample *values,
             long long count)
{
    if (name == nullptr || values == nullptr || count < 0)
        return -1;
    if (output.dir != AT_FDCWD) {
        FILE *fp = fopenInRunTree(output.dir, name);
        if (fp == nullptr)
            return -1;
        int status = writeFloats(fp, values, count);
        return fclose(fp) != 0 ? -1 : status;
    }
    velkio_Output *out = velkio_Output_open(name);
    FILE *fp = velkio_Output_stream(out);
    if (fp == nullptr) {
        velkio_Output_abort(out);
        return -1;
    }
    if (writeFloats(fp, values, count) != 0) {
        velkio_Output_abort(out);
        return -1;
    }
    return velkio_Output_commit(out) != 0 ? -1 : 0;
}

} // namespace

int write_flt(const char *path, const double *values, long long count)
{
    return writeFlt({path, AT_FDCWD}, path, values, count);
}

int velktool_writeFlt(velktool_FltOutput output, const char *name,
                      const double *values, long long count)
{
    return writeFlt(output, name, values, count);
}

int velktool_writeFlt(velktool_FltOutput output, const char *name,
                      const float *values, long long count)
{
    return writeFlt(output, name, values, count);
}

void velktool_SetFloatArray(float *values, long long byteSize,
                            const char *path)
{
    FILE *fp = velkio_File_fopenRegular(path);
    if (fp == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open file [%s]", path);
        velktool_Exit(1);
    }
    size_t count = byteSize > 0 ? (size_t)(byteSize / 4) : 0;
    if (fread(values, sizeof(float), count, fp) != count) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "fread error");
        fclose(fp);
        velktool_Exit(1);
    }
    fclose(fp);
}

void velktool_getFileSize(const char *path, long long *size)
{
    long long n = get_flt_size(path);
    if (n < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not open file [%s]", path);
        velktool_Exit(1);
    }
    *size = n;
}

/* ------------------------------------------------------------------ */
/* WAV files                                                           */
/* ------------------------------------------------------------------ */

void velktool_freeWaveData(double **data)
{
    if (data == nullptr)
        return;
    free(data[0]);
    free(data);
}

int readwave(SNDFILE *file, const SF_INFO *info, long long frames,
             double ***data)
{
    *data = nullptr;
    const long long channels = info->channels > 0 ? info->channels : 0;
    if (frames < 0)
        frames = 0;
    double **rows = (double **)calloc(channels > 0 ? channels : 1,
                                      sizeof(double *));
    double *block = nullptr;
    double *buffer = nullptr;
    if (rows != nullptr && (channels == 0 || frames <= LLONG_MAX / 8 / channels))
        block = (double *)calloc(channels * frames > 0 ? channels * frames : 1,
                                 sizeof(double));
    if (block != nullptr)
        buffer = (double *)malloc(
            (channels > 0 ? channels : 1) * BLOCK_FRAMES * sizeof(double));
    if (buffer == nullptr) {
        perror("calloc");
        free(block);
        free(rows);
        return -1;
    }
    for (long long c = 0; c < channels; ++c)
        rows[c] = block + c * frames;
    rows[0] = block;

    // De-interleave block by block into one vector per channel.
    for (long long f = 0; f < frames && channels > 0;) {
        long long want = frames - f < BLOCK_FRAMES ? frames - f : BLOCK_FRAMES;
        sf_count_t got = sf_readf_double(file, buffer, want);
        if (got <= 0) {
            printf("cannot read frame=%lld\n", f);
            free(buffer);
            velktool_freeWaveData(rows);
            return -1;
        }
        for (long long i = 0; i < got; ++i)
            for (long long c = 0; c < channels; ++c)
                rows[c][f + i] = buffer[i * channels + c];
        f += got;
    }
    free(buffer);
    *data = rows;
    return 1;
}

int readwavfile(const char *path, double ***data, int *frames, int *channels,
                int *samplingRate)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    velktool_SoundFile file;
    if (velktool_openSoundFile(path, &info, &file) != 0)
        return -1;
    long long n = clampToInt(info.frames);
    int result = readwave(file.handle, &info, n, data);
    velktool_closeSoundFile(&file);
    *frames = (int)n;
    *channels = info.channels;
    *samplingRate = info.samplerate;
    return result;
}

int writewave(SNDFILE *file, const SF_INFO *info, long long frames,
              double **data)
{
    const long long channels = info->channels > 0 ? info->channels : 0;
    if (channels == 0 || frames <= 0)
        return 1;
    short *buffer = (short *)malloc(channels * BLOCK_FRAMES * sizeof(short));
    if (buffer == nullptr) {
        // The file is then not written (the caller discards it).
        perror("malloc");
        return -1;
    }
    int result = 1;
    for (long long f = 0; f < frames && result == 1;) {
        long long n = frames - f < BLOCK_FRAMES ? frames - f : BLOCK_FRAMES;
        for (long long i = 0; i < n; ++i) {
            for (long long c = 0; c < channels; ++c) {
                // Truncation toward zero; values beyond the 16-bit range are
                // clipped instead of wrapping round to the opposite sign.
                double v = trunc(data[c][f + i]);
                if (!(v > -32768.0))
                    v = std::isnan(v) ? 0.0 : -32768.0;
                else if (v > 32767.0)
                    v = 32767.0;
                buffer[i * channels + c] = (short)v;
            }
        }
        if (sf_writef_short(file, buffer, n) != n)
            result = -1;
        f += n;
    }
    free(buffer);
    return result;
}

int writewavfile(const char *path, double **data, int frames, int channels,
                 int samplingRate)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.samplerate = samplingRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    if (!sf_format_check(&info))
        return -1;
    velkio_Output *out = velkio_Output_open(path);
    SNDFILE *file = out != nullptr
                        ? sf_open_fd(velkio_Output_fd(out), SFM_WRITE, &info, SF_FALSE)
                        : nullptr;
    if (file == nullptr) {
        velkio_Output_abort(out);
        return -1;
    }
    int result = writewave(file, &info, frames, data);
    if (sf_close(file) != 0)
        result = -1;
    if (result != 1) {
        velkio_Output_abort(out);
        return -1;
    }
    return velkio_Output_commit(out) != 0 ? -1 : 1;
}

/* ------------------------------------------------------------------ */
/* Temporary directory tree                                            */
/* ------------------------------------------------------------------ */

void velktool_getLocaltime(char *buf)
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%4d%02d%02d%02d%02d%02d", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    size_t n = strlen(stamp) < 14 ? strlen(stamp) : 14;
    memcpy(buf, stamp, n);
    buf[n] = '\0';
}

int velktool_CheckDir(const char *path)
{
    struct stat st;
    if (path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return 1;
}

int velktool_createDir(const char *path)
{
    return (path != nullptr && mkdir(path, 0755) == 0) ? 0 : 1;
}

namespace {

// The run's own directories, open while the run lasts: every directory and
// file of the tree below the run directory is made relative to them, so
// that a name swapped in the working directory meanwhile cannot lead the
// run elsewhere.
int tspDirFd = -1;    // tmpTspDir
int fltDirFd = -1;    // the directory of tmpFltPath

void closeFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// The directory `name` of dir, opened without following a symbolic link;
// -1 (errno set) when it cannot be opened or is not a directory.
int openDirAt(int dir, const char *name)
{
    return openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Why ".velktool-temp" cannot be used, at level 0, after the headline.
void refuseRoot(const char *reason, ...) __attribute__((format(printf, 1, 2)));
void refuseRoot(const char *reason, ...)
{
    char text[512];
    va_list args;
    va_start(args, reason);
    vsnprintf(text, sizeof text, reason, args);
    va_end(args);
    velkio_Log_printf_(VELKIO_LOG_ERROR, "Cannot create directory", 0,
                       __func__, __LINE__);
    velkio_Log_printf_(VELKIO_LOG_ERROR, "%s", 0, __func__,
                       __LINE__, text);
}

// ".velktool-temp" of the working directory, made if missing and opened.
// It holds the runs of everyone who works here, so it must be a real
// directory of the user running the program that nobody else can write
// to: another user could otherwise put files or links where a run is
// about to write.  -1 after the reason was logged.
int openTmpRoot(void)
{
    if (mkdir(TMP_ROOT, 0755) != 0 && errno != EEXIST) {
        refuseRoot("[%s]: %s", TMP_ROOT, strerror(errno));
        return -1;
    }
    int fd = openDirAt(AT_FDCWD, TMP_ROOT);
    struct stat st;
    if (fd < 0) {
        int error = errno;
        if (lstat(TMP_ROOT, &st) == 0 && S_ISLNK(st.st_mode))
            refuseRoot("[%s] is a symbolic link; remove it, or run in another "
                       "directory", TMP_ROOT);
        else if (error == ENOTDIR)
            refuseRoot("[%s] is not a directory; remove it, or run in another "
                       "directory", TMP_ROOT);
        else
            refuseRoot("[%s]: %s", TMP_ROOT, strerror(error));
        return -1;
    }
    // Checked on the directory opened, not on the name.
    if (fstat(fd, &st) != 0)
        refuseRoot("[%s]: %s", TMP_ROOT, strerror(errno));
    else if (st.st_uid != geteuid())
        refuseRoot("[%s] belongs to user id %u, not to the user running this "
                   "program (%u); remove it, or run in another directory",
                   TMP_ROOT, (unsigned)st.st_uid, (unsigned)geteuid());
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        refuseRoot("[%s] can be written by group or others (mode %04o); make "
                   "it private with: chmod go-w %s",
                   TMP_ROOT, (unsigned)(st.st_mode & 07777), TMP_ROOT);
    else
        return fd;
    close(fd);
    return -1;
}

// A directory of the run tree (name below ".velktool-temp") cannot be
// made or opened: the run ends.
[[noreturn]] void failRunDir(const char *routine, int line, const char *name, int error)
{
    velkio_Log_printf_(VELKIO_LOG_ERROR, "can not create directory", 0, routine, line);
    velkio_Log_printf_(VELKIO_LOG_ERROR, "[%s/%s]: %s", 0, routine, line, TMP_ROOT, name,
                       strerror(error));
    velktool_Exit(1);
}

// Makes the directory `name` in dir, or else the first free one of
// name_1, name_2, ...: mkdir fails for a name that exists, so the
// directory made is always a new one.  Its name goes to out (size bytes);
// -1 (errno set) when none can be made.
int makeNewDir(int dir, const char *name, char *out, size_t size)
{
    snprintf(out, size, "%s", name);
    if (mkdirat(dir, out, 0755) == 0)
        return 0;
    for (int n = 1; errno == EEXIST && n <= 100000; ++n) {
        if ((size_t)snprintf(out, size, "%s_%d", name, n) >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (mkdirat(dir, out, 0755) == 0)
            return 0;
    }
    return -1;
}

// The run directory in root: the time stamp of now, taken again each
// second while another run holds it (six attempts); after that a new
// directory named by the stamp and a suffix.  Its name goes to g.tmpStamp.
void makeRunDir(int root)
{
    for (int attempt = 0; attempt < 6; ++attempt) {
        velktool_getLocaltime(g.tmpStamp);
        if (mkdirat(root, g.tmpStamp, 0755) == 0)
            return;
        // Another run took this second's directory: wait for the next one.
        sleep(1);
        printf("<< retry create directory >>\n");
    }
    char stamp[sizeof g.tmpStamp];
    snprintf(stamp, sizeof stamp, "%s", g.tmpStamp);
    if (makeNewDir(root, stamp, g.tmpStamp, sizeof g.tmpStamp) != 0)
        failRunDir(__func__, __LINE__, g.tmpStamp, errno);
    velkio_Log_printf_(VELKIO_LOG_INFO, "run directory %s/%s", 0, __func__,
                       __LINE__, TMP_ROOT, g.tmpStamp);
}

} // namespace

void velktool_createTmpPath(void)
{
    int root = openTmpRoot();
    if (root < 0)
        velktool_Exit(1);
    createTmpRunDir(root);
    close(root);
}

void createTmpRunDir(int root)
{
    makeRunDir(root);
    int run = openDirAt(root, g.tmpStamp);
    if (run < 0)
        failRunDir(__func__, __LINE__, g.tmpStamp, errno);
    const char *names[] = {"tsp", "imp", "tf"};
    for (const char *name : names) {
        if (mkdirat(run, name, 0755) != 0) {
            int error = errno;
            char shown[sizeof g.tmpStamp + 8];
            snprintf(shown, sizeof shown, "%s/%s", g.tmpStamp, name);
            failRunDir(__func__, __LINE__, shown, error);
        }
    }
    closeFd(&tspDirFd);
    closeFd(&fltDirFd);
    tspDirFd = openDirAt(run, "tsp");
    int error = errno;
    close(run);
    if (tspDirFd < 0)
        failRunDir(__func__, __LINE__, g.tmpStamp, error);

    snprintf(g.tmpTspDir, sizeof g.tmpTspDir, "%s/%.64s/tsp", TMP_ROOT, g.tmpStamp);
    snprintf(g.tmpImpDir, sizeof g.tmpImpDir, "%s/%.64s/imp", TMP_ROOT, g.tmpStamp);
    snprintf(g.tmpTfDir, sizeof g.tmpTfDir, "%s/%.64s/tf", TMP_ROOT, g.tmpStamp);
}

void makeTempFltPath(int s, const velkio_Position *position)
{
    const char *path = position != nullptr ? position->path : nullptr;
    const char *slash = path != nullptr ? strrchr(path, '/') : nullptr;
    if (slash == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not get path [%s] ",
                   path != nullptr ? path : "");
        velktool_Exit(1);
    }
    const char *base = slash + 1;
    if (strlen(base) >= VELKTOOL_PATH_LEN) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not get path [%s] ", path);
        velktool_Exit(1);
    }
    strcpy(g.srcBaseName[s], base);
    // The directory is named after the recording; a second recording of
    // the same name in this run gets a name of its own (name_1, ...), so
    // that neither overwrites the other's impulse responses.
    char name[VELKTOOL_PATH_LEN];
    char shown[VELKTOOL_PATH_LEN + 160];
    snprintf(shown, sizeof shown, "%s/tsp/%s", g.tmpStamp, base);
    if (tspDirFd < 0)
        failRunDir(__func__, __LINE__, shown, EBADF);
    if (makeNewDir(tspDirFd, base, name, sizeof name) != 0)
        failRunDir(__func__, __LINE__, shown, errno);
    if (strcmp(name, base) != 0)
        VELKIO_LOG(VELKIO_LOG_WARNING,
                   "another recording of this run is named [%s]: the impulse "
                   "responses of [%s] go to [%s/%s]",
                   base, path, g.tmpTspDir, name);
    if (joinPath(g.tmpSrcDir[s], VELKTOOL_PATH_LEN, g.tmpTspDir, name) != 0 ||
        joinPath(g.tmpFltPath, sizeof g.tmpFltPath, g.tmpSrcDir[s], "float") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not get path [%s] ", path);
        velktool_Exit(1);
    }
    closeFd(&fltDirFd);
    fltDirFd = openDirAt(tspDirFd, name);
    if (fltDirFd < 0)
        failRunDir(__func__, __LINE__, shown, errno);
}

int velktool_tmpFltDir(void)
{
    return fltDirFd;
}

/* ------------------------------------------------------------------ */
/* Sound files read through a window of their first bytes              */
/* ------------------------------------------------------------------ */

namespace {

// libsndfile parses a header with many small reads and seeks, one system
// call each on a plain file; here they are served from the file's first
// bytes, read once, and every larger read goes straight to the file.
const size_t SOUND_HEAD_BYTES = 8192;

struct SoundSource {
    int fd;
    sf_count_t size;
    sf_count_t position;
    size_t headLength;
    unsigned char head[SOUND_HEAD_BYTES];
};

sf_count_t soundLength(void *user)
{
    return ((SoundSource *)user)->size;
}

sf_count_t soundSeek(sf_count_t offset, int whence, void *user)
{
    SoundSource *s = (SoundSource *)user;
    sf_count_t base = whence == SEEK_SET   ? 0
                      : whence == SEEK_CUR ? s->position
                      : whence == SEEK_END ? s->size
                                           : -1;
    if (base < 0 || (offset < 0 && -offset > base))
        return -1;
    s->position = base + offset;
    return s->position;
}

sf_count_t soundRead(void *ptr, sf_count_t count, void *user)
{
    SoundSource *s = (SoundSource *)user;
    unsigned char *out = (unsigned char *)ptr;
    sf_count_t done = 0;
    if (count > 0 && s->position < (sf_count_t)s->headLength) {
        sf_count_t n = (sf_count_t)s->headLength - s->position;
        if (n > count)
            n = count;
        memcpy(out, s->head + s->position, (size_t)n);
        done = n;
        s->position += n;
    }
    while (done < count) {
        ssize_t got = pread(s->fd, out + done, (size_t)(count - done), (off_t)s->position);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
        s->position += got;
    }
    return done;
}

sf_count_t soundWrite(const void *, sf_count_t, void *)
{
    return 0;
}

sf_count_t soundTell(void *user)
{
    return ((SoundSource *)user)->position;
}

// A regular file opened through the window: one open, checked with fstat
// on the same descriptor (velkio_File_openRegular); null (errno set) when
// it is not a regular file or cannot be opened.
SoundSource *openSoundSource(const char *path)
{
    int fd = velkio_File_openRegular(path);
    if (fd < 0)
        return nullptr;
    struct stat st;
    SoundSource *s = nullptr;
    if (fstat(fd, &st) == 0)
        s = (SoundSource *)malloc(sizeof *s);
    if (s == nullptr) {
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    s->size = (sf_count_t)st.st_size;
    s->position = 0;
    ssize_t got = pread(fd, s->head, sizeof s->head, 0);
    s->headLength = got > 0 ? (size_t)got : 0;
    return s;
}

void closeSoundSource(SoundSource *s)
{
    if (s == nullptr)
        return;
    close(s->fd);
    free(s);
}

} // namespace

int velktool_openSoundFile(const char *path, SF_INFO *info, velktool_SoundFile *file)
{
    file->handle = nullptr;
    file->source = nullptr;
    SoundSource *source = openSoundSource(path);
    if (source == nullptr)
        return 1;
    SF_VIRTUAL_IO io = {soundLength, soundSeek, soundRead, soundWrite, soundTell};
    file->handle = sf_open_virtual(&io, SFM_READ, info, source);
    if (file->handle == nullptr) {
        closeSoundSource(source);
        return 1;
    }
    file->source = source;
    return 0;
}

void velktool_closeSoundFile(velktool_SoundFile *file)
{
    if (file->handle != nullptr)
        sf_close(file->handle);
    closeSoundSource((SoundSource *)file->source);
    file->handle = nullptr;
    file->source = nullptr;
}

/* ------------------------------------------------------------------ */
/* Loading impulse responses                                           */
/* ------------------------------------------------------------------ */

namespace {

// wavData as allocated here, and how many frames each of its rows holds:
// a later file with more frames gets a larger array.
float **wavDataAllocated = nullptr;
long long wavDataFrames = 0;

void ensureWavData(long long frames)
{
    if (g.wavData != nullptr && g.wavData == wavDataAllocated &&
        frames <= wavDataFrames)
        return;
    velktool_delete(VELKTOOL_WAVDATA);
    g.wavData = velktool_newFloatTwoDim(g.nMic, (int)frames);
    wavDataAllocated = g.wavData;
    wavDataFrames = frames;
}

// Opens an impulse-response file and checks that it holds every channel in
// use; ends the run otherwise (messages under velktool_getWavDataFromFile).
velktool_SoundFile openImpulseFile(const char *path, SF_INFO *info)
{
    memset(info, 0, sizeof *info);
    velktool_SoundFile file;
    if (velktool_openSoundFile(path, info, &file) != 0) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "can not open wave file [%s]", 0,
                           __func__, __LINE__, path);
        velktool_Exit(1);
    }
    for (int j = 0; j < g.nMic; ++j) {
        if (g.micPosId[j] < 0 || g.micPosId[j] >= info->channels) {
            velktool_closeSoundFile(&file);
            velkio_Log_printf_(VELKIO_LOG_ERROR,
                               "impulse data not found: wav channel [%d] in file [%s]",
                               0, __func__, __LINE__,
                               g.micPosId[j], path);
            velktool_Exit(1);
        }
    }
    return file;
}

// The whole of the latest impulse-response file, interleaved as stored: a
// buffer kept for the run and enlarged only for a larger file.
float *fileSamples = nullptr;
size_t fileSamplesSize = 0;

void releaseFileSamples(void)
{
    free(fileSamples);
    fileSamples = nullptr;
    fileSamplesSize = 0;
}

float *samplesFor(size_t count)
{
    if (count <= fileSamplesSize && fileSamples != nullptr)
        return fileSamples;
    releaseFileSamples();
    fileSamples = (float *)malloc(count > 0 ? count * sizeof(float) : 1);
    if (fileSamples == nullptr)
        return nullptr;
    static bool registered = false;
    if (!registered)
        registered = atexit(releaseFileSamples) == 0;
    fileSamplesSize = count;
    return fileSamples;
}

struct ImpulseFile {
    const float *samples; // frames x channels, interleaved
    long long channels;
    int frames;
    int samplingRate;
};

// Reads an impulse-response file whole (checks and messages as
// velktool_getWavDataFromFile); ends the run on failure.
ImpulseFile readImpulseFile(const char *path)
{
    SF_INFO info;
    velktool_SoundFile file = openImpulseFile(path, &info);
    const long long n = clampToInt(info.frames);
    const long long channels = info.channels;
    float *samples = samplesFor((size_t)n * (size_t)channels);
    if (samples == nullptr) {
        velktool_closeSoundFile(&file);
        fail(__func__, __LINE__, "can not allocated memory");
    }
    // As many frames per call as the library gives: the whole file when it
    // can (one read for a float file), the rest on the next call.
    for (long long f = 0; f < n;) {
        long long want = n - f;
        sf_count_t got = sf_readf_float(file.handle, samples + f * channels, want);
        if (got <= 0) {
            velkio_Log_printf_(VELKIO_LOG_ERROR,
                               "read count different. read_num=%d count=%d", 0,
                               __func__, __LINE__,
                               (int)got, (int)want);
            velktool_closeSoundFile(&file);
            velktool_Exit(1);
        }
        f += got;
    }
    velktool_closeSoundFile(&file);
    return {samples, channels, (int)n, info.samplerate};
}

} // namespace

void velktool_getWavDataFromFile(const char *path, int *frames,
                                 int *samplingRate)
{
    ImpulseFile file = readImpulseFile(path);
    *samplingRate = file.samplingRate;
    *frames = file.frames;
    ensureWavData(file.frames);
    for (int j = 0; j < g.nMic; ++j) {
        float *row = g.wavData[j];
        const float *sample = file.samples + g.micPosId[j];
        for (long long f = 0; f < file.frames; ++f)
            row[f] = sample[f * file.channels];
    }
}

namespace {

void peakRange(const int *peaks, int n, int *pmin, int *pmax)
{
    *pmin = n > 0 ? peaks[0] : 0;
    *pmax = *pmin;
    for (int j = 1; j < n; ++j) {
        if (peaks[j] < *pmin)
            *pmin = peaks[j];
        if (peaks[j] > *pmax)
            *pmax = peaks[j];
    }
}

int peakOf(const float *signal, int n)
{
    return searchPeak(signal, n, g.peakSearchFrom - 1, g.peakSearchTo - 1);
}

// Cut ranges of source s from the latest peak (pmax) in a signal of n
// samples.
void cutRanges(int tfType, int s, int directLength, int reverbLength,
               int pmax, int n, velktool_CutRangePair *pair)
{
    if (tfType == LOC || tfType == LOC_SEP)
        getIrRange4FFT(0, pmax, directLength + 1, n, s, &pair->loc);
    if (tfType == SEP || tfType == LOC_SEP)
        getIrRange4FFT(1, pmax, reverbLength + 1, n, s, &pair->sep);
}

// The windows of the cut ranges for every microphone, from signals[j],
// into loc[j] and sep[j] (the rows of the kinds in use).
void cutWindows(int tfType, int s, int directLength, int reverbLength,
                const int *peaks, float *const *signals,
                const velktool_CutRangePair *pair, float *const *loc,
                float *const *sep)
{
    const bool withLoc = tfType == LOC || tfType == LOC_SEP;
    const bool withSep = tfType == SEP || tfType == LOC_SEP;
    for (int j = 0; j < g.nMic; ++j) {
        if (withLoc)
            setIr4FFT(0, peaks[j], &pair->loc, s, j, directLength, signals[j],
                      loc[j]);
        if (withSep)
            setIr4FFT(1, peaks[j], &pair->sep, s, j, reverbLength, signals[j],
                      sep[j]);
    }
}

// The rows of source s in IRvectLoc / IRvectSep (null for a kind without
// its array).
float *const *irRows(float ***irs, int s)
{
    return irs != nullptr ? irs[s] : nullptr;
}

void cutSource(int tfType, int s, int directLength, int reverbLength,
               const int *peaks, int pmax, int n, float *const *signals,
               velktool_CutRangePair *pair)
{
    cutRanges(tfType, s, directLength, reverbLength, pmax, n, pair);
    cutWindows(tfType, s, directLength, reverbLength, peaks, signals, pair,
               irRows(g.IRvectLoc, s), irRows(g.IRvectSep, s));
}

// Four floats (or ints) side by side, the compiler's portable vectors.
typedef float Float4 __attribute__((vector_size(16)));
typedef int Int4 __attribute__((vector_size(16)));

// The peaks of the microphones in use, the peaks of every channel of the
// latest file and the work arrays of their search: kept across the
// sources of a run.
struct PeakBuffers {
    int *peaks;
    std::vector<int> channelPeaks;
    std::vector<float> largest;
    std::vector<char> found;
};

const Int4 ABS_MASK = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};

Float4 magnitudes4(const float *x)
{
    Float4 v;
    memcpy(&v, x, sizeof v);
    return (Float4)((Int4)v & ABS_MASK);
}

// The largest magnitudes of the G groups of four channels from channel c0
// over frames start .. end-1 (start < end), as searchPeak's scan finds
// them: the value at start, replaced only by a strictly larger one, so that
// a NaN never wins and a channel that starts with NaN keeps it.  The even
// and odd frames go to separate accumulators (merged by the same rule), so
// that the maxima of consecutive frames do not wait for each other; G is a
// constant, so that the accumulators stay in registers.
template <int G>
void largestOfGroups(const ImpulseFile &file, size_t c0, int start, int end,
                     float *largest)
{
    const size_t channels = (size_t)file.channels;
    const float *x = file.samples + c0;
    Float4 even[G], odd[G];
    for (int q = 0; q < G; ++q)
        even[q] = odd[q] = magnitudes4(x + (size_t)start * channels + 4 * q);
    int i = start + 1;
    for (; i + 1 < end; i += 2) {
        const float *a = x + (size_t)i * channels;
        const float *b = a + channels;
        for (int q = 0; q < G; ++q) {
            Float4 va = magnitudes4(a + 4 * q), vb = magnitudes4(b + 4 * q);
            even[q] = va > even[q] ? va : even[q];
            odd[q] = vb > odd[q] ? vb : odd[q];
        }
    }
    if (i < end) {
        const float *a = x + (size_t)i * channels;
        for (int q = 0; q < G; ++q) {
            Float4 va = magnitudes4(a + 4 * q);
            even[q] = va > even[q] ? va : even[q];
        }
    }
    for (int q = 0; q < G; ++q) {
        Float4 m = odd[q] > even[q] ? odd[q] : even[q];
        memcpy(largest + c0 + 4 * q, &m, sizeof m);
    }
}

// The same for one channel c.
void largestOfChannel(const ImpulseFile &file, size_t c, int start, int end,
                      float *largest)
{
    const size_t channels = (size_t)file.channels;
    const float *x = file.samples + c;
    float m = fabsf(x[(size_t)start * channels]);
    for (int i = start + 1; i < end; ++i) {
        float v = fabsf(x[(size_t)i * channels]);
        m = v > m ? v : m;
    }
    largest[c] = m;
}

// The largest magnitude of every channel of the file over frames start ..
// end-1: sixteen channels per pass over the frames (eight channels, the
// usual array, in one pass), the channels beyond the groups of four one by
// one.
void largestMagnitudes(const ImpulseFile &file, int start, int end,
                       float *largest)
{
    const size_t channels = (size_t)file.channels;
    size_t c = 0;
    for (; c + 16 <= channels; c += 16)
        largestOfGroups<4>(file, c, start, end, largest);
    switch ((channels - c) / 4) {
    case 3:
        largestOfGroups<3>(file, c, start, end, largest);
        break;
    case 2:
        largestOfGroups<2>(file, c, start, end, largest);
        break;
    case 1:
        largestOfGroups<1>(file, c, start, end, largest);
        break;
    default:
        break;
    }
    for (c = channels - channels % 4; c < channels; ++c)
        largestOfChannel(file, c, start, end, largest);
}

// The peak of every channel of the file, searched between from and to as
// searchPeak searches one channel: the earliest sample of the largest
// magnitude.  A second pass finds the first sample of each largest
// magnitude, which lies near the start in an impulse response; a channel
// whose largest magnitude is NaN keeps its start.
void interleavedPeaks(const ImpulseFile &file, int from, int to,
                      PeakBuffers &b)
{
    const int n = file.frames;
    const size_t channels = (size_t)file.channels;
    int *peaks = b.channelPeaks.data();
    int start = 0, end = n;
    if (from >= 0 && to >= 0) {
        start = from < n ? from : n;
        end = to < n ? to : n;
    }
    if (n <= 0 || start >= n) {
        for (size_t c = 0; c < channels; ++c)
            peaks[c] = n <= 0 ? 0 : n - 1;
        return;
    }
    for (size_t c = 0; c < channels; ++c)
        peaks[c] = start;
    if (end <= start + 1)
        return;
    float *largest = b.largest.data();
    largestMagnitudes(file, start, end, largest);
    size_t pending = 0;
    for (size_t c = 0; c < channels; ++c) {
        b.found[c] = std::isnan(largest[c]);
        pending += b.found[c] ? 0 : 1;
    }
    for (int i = start; i < end && pending > 0; ++i) {
        const float *frame = file.samples + (size_t)i * channels;
        for (size_t c = 0; c < channels; ++c) {
            if (!b.found[c] && fabsf(frame[c]) == largest[c]) {
                peaks[c] = i;
                b.found[c] = 1;
                --pending;
            }
        }
    }
}

} // namespace

// One signal is searched as a file of one channel: a single peak search
// serves both.
int searchPeak(const float *x, int n, int from, int to)
{
    const ImpulseFile signal = {x, 1, n, 0};
    PeakBuffers b = {nullptr, std::vector<int>(1), std::vector<float>(1),
                     std::vector<char>(1)};
    interleavedPeaks(signal, from, to, b);
    return b.channelPeaks[0];
}

namespace {

// Copies the samples of the cut windows of one source, channels in use,
// into the rows of wavData (at their own indices).
void copyWindows(const ImpulseFile &file, int tfType,
                 const velktool_CutRangePair &pair)
{
    ensureWavData(file.frames);
    long long from = LLONG_MAX, to = 0;
    if (tfType == LOC || tfType == LOC_SEP) {
        from = pair.loc.cutIndexFrom;
        to = pair.loc.cutIndexTo;
    }
    if (tfType == SEP || tfType == LOC_SEP) {
        if (pair.sep.cutIndexFrom < from)
            from = pair.sep.cutIndexFrom;
        if (pair.sep.cutIndexTo > to)
            to = pair.sep.cutIndexTo;
    }
    if (from < 0)
        from = 0;
    if (to > file.frames)
        to = file.frames;
    for (int j = 0; j < g.nMic; ++j) {
        float *row = g.wavData[j];
        const float *sample = file.samples + g.micPosId[j];
        for (long long f = from; f < to; ++f)
            row[f] = sample[f * file.channels];
    }
}

int *newPeaks()
{
    int *peaks = (int *)calloc(g.nMic > 0 ? g.nMic : 1, sizeof(int));
    if (peaks == nullptr)
        fail(__func__, __LINE__, "can not allocated memory");
    return peaks;
}

// The samples of one raw float impulse-response file (size/4 of them, the
// size clamped to INT_MAX bytes) in a new buffer, the file opened once;
// ends the run with the messages of velktool_getFileSize,
// velktool_setIRvectFromFlt and velktool_SetFloatArray.
float *readImpulseResponseFile(const char *path, int *count)
{
    FILE *fp = velkio_File_fopenRegular(path);
    long long size = fp != nullptr ? streamSize(fp) : -1;
    if (size < 0) {
        if (fp != nullptr)
            fclose(fp);
        velkio_Log_printf_(VELKIO_LOG_ERROR, "can not open file [%s]", 0,
                           __func__, __LINE__, path);
        velktool_Exit(1);
    }
    // Whole files only: nothing to gain from the stream's buffer.
    setvbuf(fp, nullptr, _IONBF, 0);
    const int n = (int)(clampToInt(size) / 4);
    float *samples = (float *)malloc((size_t)(n > 0 ? n : 1) * sizeof(float));
    if (samples == nullptr) {
        fclose(fp);
        fail(__func__, __LINE__, "can not allocated memory");
    }
    if (fread(samples, sizeof(float), (size_t)n, fp) != (size_t)n) {
        fclose(fp);
        free(samples);
        fail(__func__, __LINE__, "fread error");
    }
    fclose(fp);
    *count = n;
    return samples;
}

} // namespace

namespace {

// The messages of the WAV loader are reported under its name, whichever
// path of calctfimp runs it.

// Source s from its WAV file: progress line, peaks, cut ranges (*pair) and
// the windows of every microphone in loc[j] / sep[j].  The file is read
// whole, as stored; the peaks are searched in the interleaved samples, and
// only the samples of the cut windows are copied into the rows of wavData.
void cutWavSource(int tfType, int s, int directLength, int reverbLength,
                  PeakBuffers &b, velktool_CutRangePair *pair,
                  float *const *loc, float *const *sep)
{
    printf(" progress:%d / %d\n", s + 1, g.nSrc);
    fflush(stdout);
    const velkio_Position *position = velktool_sourcePosition(s);
    if (position == nullptr || position->path == nullptr) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "can not open wave file [%s]", 0,
                           __func__, __LINE__,
                           position == nullptr ? "" : "(no path)");
        velktool_Exit(1);
    }
    ImpulseFile file = readImpulseFile(position->path);
    b.channelPeaks.resize((size_t)file.channels);
    b.largest.resize((size_t)file.channels);
    b.found.resize((size_t)file.channels);
    interleavedPeaks(file, g.peakSearchFrom - 1, g.peakSearchTo - 1, b);
    for (int j = 0; j < g.nMic; ++j)
        b.peaks[j] = b.channelPeaks[(size_t)g.micPosId[j]];
    int pmin, pmax;
    peakRange(b.peaks, g.nMic, &pmin, &pmax);
    velkio_Log_printf_(VELKIO_LOG_DEBUG, "WAV IR[%d] peak=%d to %d", 0,
                       __func__, __LINE__, g.srcPosId[s], pmin, pmax);
    showReverbSources(s, pmin, b.peaks);
    cutRanges(tfType, s, directLength, reverbLength, pmax, file.frames, pair);
    copyWindows(file, tfType, *pair);
    cutWindows(tfType, s, directLength, reverbLength, b.peaks, g.wavData, pair,
               loc, sep);
}

} // namespace

void velktool_setIRvectFromWav(int tfType, int directLength, int reverbLength,
                               velktool_CutRangePair *ranges)
{
    PeakBuffers b = {newPeaks(), {}, {}, {}};
    for (int s = 0; s < g.nSrc; ++s)
        cutWavSource(tfType, s, directLength, reverbLength, b, &ranges[s],
                     irRows(g.IRvectLoc, s), irRows(g.IRvectSep, s));
    free(b.peaks);
}

void velktool_tfFromWav(int tfType, int directLength, int reverbLength,
                        velktool_CutRangePair *ranges)
{
    PeakBuffers b = {newPeaks(), {}, {}, {}};
    // The windows of one source: every sample is rewritten for each source,
    // as the rows of a fresh IRvect would start from zero.
    float **loc = velktool_newFloatTwoDim(g.nMic, g.nfft);
    float **sep = velktool_newFloatTwoDim(g.nMic, g.nfft);
    const size_t bytes = (size_t)g.nMic * (size_t)g.nfft * sizeof(float);
    for (int s = 0; s < g.nSrc; ++s) {
        memset(loc[0], 0, bytes);
        memset(sep[0], 0, bytes);
        cutWavSource(tfType, s, directLength, reverbLength, b, &ranges[s], loc,
                     sep);
        velktool_transformSource(tfType, s, loc, sep);
    }
    velktool_freeFloatTwoDim(loc);
    velktool_freeFloatTwoDim(sep);
    free(b.peaks);
}

void velktool_setIRvectFromFlt(int tfType, int s, int directLength,
                               int reverbLength, velktool_CutRangePair *range)
{
    int nMic = g.nMic > 0 ? g.nMic : 0;
    int *peaks = newPeaks();
    float **buffers = (float **)calloc(nMic > 0 ? nMic : 1, sizeof(float *));
    if (buffers == nullptr)
        fail(__func__, __LINE__, "can not allocated memory");
    int nmin = INT_MAX;
    for (int j = 0; j < nMic; ++j) {
        char path[VELKTOOL_PATH_LEN + 32];
        snprintf(path, sizeof path, "%s/float_ch%d.flt", g.tmpSrcDir[s], j);
        int n = 0;
        buffers[j] = readImpulseResponseFile(path, &n);
        peaks[j] = peakOf(buffers[j], n);
        if (n < nmin)
            nmin = n;
    }
    if (nMic == 0)
        nmin = 0;
    int pmin, pmax;
    peakRange(peaks, nMic, &pmin, &pmax);
    VELKIO_LOG(VELKIO_LOG_DEBUG, "FLT IR[%d] peak=%d to %d", g.srcPosId[s], pmin,
               pmax);
    showReverbSources(s, pmin, peaks);
    cutSource(tfType, s, directLength, reverbLength, peaks, pmax, nmin, buffers,
              range);
    for (int j = 0; j < nMic; ++j)
        free(buffers[j]);
    free(buffers);
    free(peaks);
}

void velktool_cutSignals(int tfType, int s, int directLength, int reverbLength,
                         float *const *signals, int n, velktool_CutRangePair *pair,
                         float *const *loc, float *const *sep)
{
    int *peaks = newPeaks();
    for (int j = 0; j < g.nMic; ++j)
        peaks[j] = peakOf(signals[j], n);
    int pmin, pmax;
    peakRange(peaks, g.nMic, &pmin, &pmax);
    VELKIO_LOG(VELKIO_LOG_DEBUG, "IR[%d] peak=%d to %d", g.srcPosId[s], pmin, pmax);
    showReverbSources(s, pmin, peaks);
    cutRanges(tfType, s, directLength, reverbLength, pmax, n, pair);
    cutWindows(tfType, s, directLength, reverbLength, peaks, signals, pair, loc, sep);
    free(peaks);
}
