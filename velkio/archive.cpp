// Opening zip archives and reading their members under limits.
//
// Every member is untrusted: a few megabytes of deflated data can inflate
// to gigabytes, and the size a directory entry declares is only a claim.
// So the declared size is checked against the limit of the member's kind
// before anything is allocated, the bytes the decompressor really gives
// are counted against the declared size while they are read, and every
// member is read to its end, where libzip compares its checksum.
#include "velkio.h"

#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

// "archive: member name", or the member name alone when there is no path.
std::string where(const char *path, const char *name)
{
    return path != nullptr ? std::string(path) + ": member " + name
                           : std::string("member ") + name;
}

uint64_t limitOf(int kind)
{
    return kind == VELKIO_MEMBER_LABEL ? VELKIO_MAX_LABEL_BYTES : VELKIO_MAX_DOCUMENT_BYTES;
}

// Reads up to n bytes, fewer only at the end of the member.  The count
// read, or -1 on a read error.
zip_int64_t pull(zip_file_t *zf, unsigned char *to, zip_uint64_t n)
{
    zip_uint64_t got = 0;
    while (got < n) {
        zip_int64_t r = zip_fread(zf, to + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += (zip_uint64_t)r;
    }
    return (zip_int64_t)got;
}

// Reads the member from byte `from` to its declared end, into buf when it
// is not null (else through a scratch block), then asks for one byte more:
// libzip verifies the checksum when it reaches the end, and a member that
// gives more bytes than it declares is refused there.  0 on success.
int readToEnd(zip_file_t *zf, const std::string &what, unsigned char *buf,
              zip_uint64_t from, zip_uint64_t declared)
{
    unsigned char scratch[65536];
    zip_uint64_t at = from;
    while (at < declared) {
        zip_uint64_t n = declared - at;
        unsigned char *to = buf != nullptr ? buf + at : scratch;
        if (buf == nullptr && n > sizeof scratch)
            n = sizeof scratch;
        zip_int64_t r = pull(zf, to, n);
        if (r < 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s is damaged (%s)", what.c_str(),
                       zip_file_strerror(zf));
            return 1;
        }
        if ((zip_uint64_t)r < n) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s is damaged (%llu bytes where its directory entry declares %llu)",
                       what.c_str(), (unsigned long long)(at + (zip_uint64_t)r),
                       (unsigned long long)declared);
            return 1;
        }
        at += n;
    }
    unsigned char extra;
    zip_int64_t r = zip_fread(zf, &extra, 1);
    if (r < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s is damaged (%s)", what.c_str(), zip_file_strerror(zf));
        return 1;
    }
    if (r > 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s holds more than the %llu bytes its directory entry declares",
                   what.c_str(), (unsigned long long)declared);
        return 1;
    }
    return 0;
}

// The declared size of a member, checked against `limit`; 0 on success.
int declaredSize(zip_t *za, const std::string &what, const char *name, uint64_t limit,
                 zip_uint64_t *size)
{
    zip_stat_t st;
    zip_stat_init(&st);
    if (za == nullptr || name == nullptr || zip_stat(za, name, 0, &st) != 0 ||
        (st.valid & ZIP_STAT_SIZE) == 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s not found", what.c_str());
        return 1;
    }
    if (st.size > limit) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s is too large: %llu bytes, more than the %llu allowed",
                   what.c_str(), (unsigned long long)st.size, (unsigned long long)limit);
        return 1;
    }
    *size = st.size;
    return 0;
}

zip_file_t *openMember(zip_t *za, const std::string &what, const char *name)
{
    zip_file_t *zf = zip_fopen(za, name, 0);
    if (zf == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s can not be read (%s)", what.c_str(), zip_strerror(za));
    return zf;
}

unsigned char *allocate(const std::string &what, zip_uint64_t size)
{
    unsigned char *buf = size < SIZE_MAX ? (unsigned char *)malloc((size_t)size + 1) : nullptr;
    if (buf == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate %llu bytes for %s",
                   (unsigned long long)size, what.c_str());
    return buf;
}

} // namespace

struct zip *velkio_Archive_open(const char *path, int *code)
{
    *code = 0;
    int fd = velkio_File_openRegular(path);
    if (fd < 0) {
        *code = ZIP_ER_OPEN;
        return nullptr;
    }
    int err = 0;
    zip_t *za = zip_fdopen(fd, ZIP_RDONLY | ZIP_CHECKCONS, &err);
    if (za == nullptr) {
        // libzip keeps the descriptor only on success.
        int saved = errno;
        close(fd);
        errno = saved;
        *code = err;
    }
    return za;
}

int velkio_Archive_readMember(struct zip *archive, const char *path, const char *name,
                              int kind, unsigned char **data, size_t *size)
{
    std::string what = where(path, name != nullptr ? name : "(null)");
    if (data != nullptr)
        *data = nullptr;
    zip_uint64_t declared = 0;
    if (declaredSize(archive, what, name, limitOf(kind), &declared) != 0)
        return 1;
    bool keep = data != nullptr && kind != VELKIO_MEMBER_OTHER;
    unsigned char *buf = keep ? allocate(what, declared) : nullptr;
    if (keep && buf == nullptr)
        return 1;
    zip_file_t *zf = openMember(archive, what, name);
    int result = zf == nullptr || readToEnd(zf, what, buf, 0, declared) != 0;
    if (zf != nullptr)
        zip_fclose(zf);
    if (result != 0) {
        free(buf);
        return 1;
    }
    if (keep) {
        buf[declared] = 0;
        *data = buf;
    }
    if (size != nullptr)
        *size = (size_t)declared;
    return 0;
}

int velkio_Archive_readMatMember(struct zip *archive, const char *path, const char *name,
                                 int rows, int cols, unsigned char **data, size_t *size)
{
    std::string what = where(path, name != nullptr ? name : "(null)");
    *data = nullptr;
    // The limit comes from the header, read into a small fixed buffer:
    // nothing is allocated before the declared size has been checked
    // against the size the header calls for, which is no more than a
    // rows x cols matrix needs.
    zip_uint64_t declared = 0;
    if (declaredSize(archive, what, name, UINT64_MAX, &declared) != 0)
        return 1;
    zip_file_t *zf = openMember(archive, what, name);
    if (zf == nullptr)
        return 1;

    // The header first: what it says decides whether the rest is read.
    unsigned char head[VELKIO_MATFILE_HEADER_BYTES];
    zip_uint64_t n = declared < sizeof head ? declared : sizeof head;
    zip_int64_t got = pull(zf, head, n);
    int headRows = 0, headCols = 0;
    size_t total = 0;
    const char *why = nullptr;
    // Named as in the loader's other messages: "archive: member".
    std::string mat = path != nullptr ? std::string(path) + ": " + name : std::string(name);
    int result = 1;
    if (got < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s is damaged (%s)", what.c_str(), zip_file_strerror(zf));
    } else if (velkio_MatFile_readHeader(head, (size_t)got, &headRows, &headCols, &total,
                                         &why) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s", mat.c_str(), why);
    } else if (headRows != rows || headCols != cols) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "%s is a %d x %d matrix; expected %d x %d (microphones x nfft/2+1)",
                   mat.c_str(), headRows, headCols, rows, cols);
    } else if ((zip_uint64_t)total != declared) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %llu bytes where its MAT-file header calls for %llu",
                   mat.c_str(), (unsigned long long)declared, (unsigned long long)total);
    } else if ((*data = allocate(what, declared)) != nullptr) {
        memcpy(*data, head, (size_t)got);
        result = readToEnd(zf, what, *data, (zip_uint64_t)got, declared);
    }
    zip_fclose(zf);
    if (result != 0) {
        free(*data);
        *data = nullptr;
        return 1;
    }
    (*data)[declared] = 0;
    *size = (size_t)declared;
    return 0;
}
