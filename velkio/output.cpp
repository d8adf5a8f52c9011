// Output files, complete or nothing.
//
// Every file a program of the suite writes goes first into a temporary
// file beside its target, "<name>.tmp.XXXXXX" in the same directory,
// created exclusively (never through a symbolic link).  Only when the whole
// content was written and the file closed without error is it renamed onto
// the target, so that a reader, a failed run or an interrupted one never
// sees or leaves a partial file, and an existing target keeps its bytes
// until it is replaced by a whole new file.
//
// The temporary files of the outputs that are open are kept in a list that
// the handler of SIGINT, SIGTERM and SIGHUP (and an exit before the output
// is completed) removes; the handler then ends the process by the same
// signal.  The list is changed only with these signals blocked.
#include "velkio.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

struct velkio_Output {
    std::string target;  // the file that is replaced (a link's destination)
    char *temp = nullptr; // malloc'd: the signal handler reads it
    int fd = -1;
    FILE *stream = nullptr;
    bool failed = false; // a write failed: the file is never renamed
    int error = 0;       // errno of the failure
    velkio_Output *next = nullptr;
};

namespace {

const char tempInfix[] = ".tmp.";
const int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The outputs whose temporary file exists; read by the signal handler.
velkio_Output *openOutputs = nullptr;

extern "C" void removeTemporaries(int sig)
{
    int saved = errno;
    for (velkio_Output *o = openOutputs; o != nullptr; o = o->next)
        unlink(o->temp);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Delivered, with its default action, once the handler returns.
    raise(sig);
    errno = saved;
}

extern "C" void removeTemporariesAtExit(void)
{
    for (velkio_Output *o = openOutputs; o != nullptr; o = o->next)
        unlink(o->temp);
}

// Installs the handlers once, for the signals whose action is still the
// default one (a signal the caller ignores, as under nohup, stays
// ignored).
void installHandlers(void)
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = removeTemporaries;
    sigemptyset(&act.sa_mask);
    for (int sig : cleanupSignals)
        sigaddset(&act.sa_mask, sig);
    for (int sig : cleanupSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
            old.sa_handler == SIG_DFL)
            sigaction(sig, &act, nullptr);
    }
    atexit(removeTemporariesAtExit);
}

// Blocks the cleanup signals while the list and the files change.
struct SignalBlock {
    sigset_t old;
    SignalBlock()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : cleanupSignals)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

void unlist(velkio_Output *out)
{
    velkio_Output **at = &openOutputs;
    while (*at != nullptr && *at != out)
        at = &(*at)->next;
    if (*at == out)
        *at = out->next;
}

// Marks the output failed with the reason errno gives.
void setFailed(velkio_Output *out)
{
    if (!out->failed)
        out->error = errno != 0 ? errno : EIO;
    out->failed = true;
}

// Closes the output's descriptor; a buffered write or the close that
// failed marks the output failed.
void closeOutput(velkio_Output *out)
{
    if (out->stream != nullptr) {
        if (ferror(out->stream))
            setFailed(out);
        if (fclose(out->stream) != 0)
            setFailed(out);
    } else if (out->fd >= 0 && close(out->fd) != 0 && errno != EINTR) {
        setFailed(out);
    }
    out->stream = nullptr;
    out->fd = -1;
}

// Removes the temporary file and releases the record; errno is kept.
void discard(velkio_Output *out)
{
    int err = errno;
    closeOutput(out);
    {
        SignalBlock block;
        unlink(out->temp);
        unlist(out);
    }
    free(out->temp);
    delete out;
    errno = err;
}

// What the output path stands for: 0 with *target the file to replace
// (the path itself, or the regular file a symbolic link leads to) and
// *exists; 1 for an existing path that is not a regular file, or a
// symbolic link that leads to none (logged); -1 when the path cannot be
// looked at (errno set).
int resolveTarget(const char *path, std::string *target, struct stat *st, bool *exists)
{
    *target = path;
    *exists = false;
    if (lstat(path, st) != 0)
        return errno == ENOENT ? 0 : -1;
    bool link = S_ISLNK(st->st_mode);
    if ((link && stat(path, st) != 0) || !S_ISREG(st->st_mode)) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "output file [%s] is not a regular file", 0,
                           "velkio_Output_check", __LINE__, path);
        errno = EINVAL;
        return 1;
    }
    *exists = true;
    if (link) {
        char *real = realpath(path, nullptr);
        if (real == nullptr)
            return -1;
        *target = real;
        free(real);
    }
    return 0;
}

// "<dir>/<name>.tmp.XXXXXX" for the target "<dir>/<name>"; a long name is
// shortened so that the temporary name stays within NAME_MAX.
std::string tempTemplate(const std::string &target)
{
    size_t slash = target.rfind('/');
    size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    std::string name = target.substr(nameAt);
    const size_t room = NAME_MAX - (sizeof tempInfix - 1) - 6;
    if (name.size() > room)
        name.resize(room);
    return target.substr(0, nameAt) + name + tempInfix + "XXXXXX";
}

// The mode and owner the new file gets: those of the file it replaces
// (permission bits only), or the mode a newly created file has.
void setModeAndOwner(int fd, const char *name, const struct stat &old, bool exists)
{
    mode_t mode;
    if (exists) {
        if (old.st_uid != geteuid() || old.st_gid != getegid())
            (void)!fchown(fd, old.st_uid, old.st_gid);
        mode = old.st_mode & 0777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0)
        VELKIO_LOG(VELKIO_LOG_WARNING, "can not set the mode of [%s]: %s", name,
                   strerror(errno));
}

} // namespace

int velkio_Output_check(const char *path)
{
    if (path == nullptr)
        return 0;
    std::string target;
    struct stat st;
    bool exists;
    return resolveTarget(path, &target, &st, &exists) == 1 ? 1 : 0;
}

velkio_Output *velkio_Output_open(const char *path)
{
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return nullptr;
    }
    std::string target;
    struct stat st;
    bool exists;
    if (resolveTarget(path, &target, &st, &exists) != 0)
        return nullptr;
    // A file its owner made read-only is not replaced, as it would not be
    // written to in place.
    if (exists && access(target.c_str(), W_OK) != 0)
        return nullptr;
    std::string name = tempTemplate(target);
    velkio_Output *out = new velkio_Output;
    out->target = target;
    out->temp = strdup(name.c_str());
    if (out->temp == nullptr) {
        delete out;
        errno = ENOMEM;
        return nullptr;
    }
    installHandlers();
    {
        SignalBlock block;
        out->fd = mkostemp(out->temp, O_CLOEXEC);
        if (out->fd >= 0) {
            out->next = openOutputs;
            openOutputs = out;
        }
    }
    if (out->fd < 0) {
        int err = errno;
        free(out->temp);
        delete out;
        errno = err;
        return nullptr;
    }
    setModeAndOwner(out->fd, out->temp, st, exists);
    return out;
}

int velkio_Output_fd(const velkio_Output *out)
{
    return out != nullptr ? out->fd : -1;
}

const char *velkio_Output_tempPath(const velkio_Output *out)
{
    return out != nullptr ? out->temp : nullptr;
}

FILE *velkio_Output_stream(velkio_Output *out)
{
    if (out == nullptr)
        return nullptr;
    if (out->stream == nullptr && out->fd >= 0) {
        out->stream = fdopen(out->fd, "wb");
        if (out->stream == nullptr)
            setFailed(out);
    }
    return out->stream;
}

int velkio_Output_write(velkio_Output *out, const void *data, size_t size)
{
    if (out == nullptr || out->failed)
        return 1;
    if (out->stream != nullptr) {
        if (fwrite(data, 1, size, out->stream) != size)
            setFailed(out);
        return out->failed ? 1 : 0;
    }
    const char *bytes = (const char *)data;
    while (size > 0) {
        ssize_t done = write(out->fd, bytes, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            setFailed(out);
            return 1;
        }
        bytes += done;
        size -= (size_t)done;
    }
    return 0;
}

int velkio_Output_commit(velkio_Output *out)
{
    if (out == nullptr) {
        errno = EINVAL;
        return 1;
    }
    closeOutput(out);
    // The target may have been replaced by something else meanwhile.
    std::string target;
    struct stat st;
    bool exists;
    if (!out->failed && resolveTarget(out->target.c_str(), &target, &st, &exists) == 1)
        setFailed(out);
    if (!out->failed) {
        SignalBlock block;
        if (rename(out->temp, out->target.c_str()) == 0) {
            unlist(out);
            free(out->temp);
            delete out;
            return 0;
        }
        setFailed(out);
    }
    int err = out->error;
    discard(out);
    errno = err;
    return 1;
}

void velkio_Output_abort(velkio_Output *out)
{
    if (out != nullptr)
        discard(out);
}
