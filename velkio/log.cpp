// The library logger: one line per message on standard error.
#include "velkio.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

int threshold = VELKIO_LOG_ERROR;

const char *levelTag(int level)
{
    static const char *const tags[] = {"E", "W", "I", "D", "T"};
    if (level >= 0 && level <= VELKIO_LOG_TRACE)
        return tags[level];
    return "?";
}

} // namespace

void velkio_Log_printf_(int level, const char *format, int arg,
                        const char *function, int line, ...)
{
    if (level == VELKIO_LOG_SET_LEVEL) {
        if (format != nullptr && format[0] == '\0')
            threshold = arg;
        return;
    }
    if (level > threshold || format == nullptr)
        return;

    // Build the whole line first so that one message is one write.
    char text[8192];
    va_list ap;
    va_start(ap, line);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n < 0)
        text[0] = '\0';
    // A message that already ends in a line end does not get a second one.
    size_t len = strlen(text);
    const char *end = (len > 0 && text[len - 1] == '\n') ? "" : "\n";
    fprintf(stderr, "[%s] %s(%d): %s%s", levelTag(level),
            function ? function : "?", line, text, end);
    fflush(stderr);
}

int velkio_Log_getLevel(void)
{
    return threshold;
}

void velkio_Log_FileOpenFailed(const char *path)
{
    int err = errno;
    velkio_Log_printf_(VELKIO_LOG_ERROR, "can not open file [%s]: %s", 0,
                       "velkio_Log_FileOpenFailed", __LINE__,
                       path ? path : "(null)",
                       err ? strerror(err) : "unknown reason");
}
