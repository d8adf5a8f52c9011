// Opening input files: only regular files are read.  A FIFO, a device or a
// directory given as an input is refused before anything is read from it;
// the check is made with fstat on the very descriptor that is then read,
// so the file cannot be swapped between the check and the read.
#include "velkio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int velkio_File_openRegular(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait
    // for one forever.  It is cleared again for a regular file.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] is not a regular file", path);
        errno = EINVAL;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

FILE *velkio_File_fopenRegular(const char *path)
{
    int fd = velkio_File_openRegular(path);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}
