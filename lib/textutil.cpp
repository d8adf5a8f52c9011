// Growable report text (see textutil.h).
#include "textutil.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velkio.h"

int cat_asprintf(char **text, const char *format, ...)
{
    if (text == nullptr)
        return 0;

    char *piece = nullptr;
    va_list ap;
    va_start(ap, format);
    int pieceLength = vasprintf(&piece, format, ap);
    va_end(ap);
    if (pieceLength < 0)
        return pieceLength;

    if (*text == nullptr) {
        *text = piece;
        return pieceLength;
    }

    size_t oldLength = strlen(*text);
    // The total must still be reported as an int.
    char *grown = nullptr;
    if (oldLength <= (size_t)(INT_MAX - pieceLength))
        grown = (char *)realloc(*text, oldLength + (size_t)pieceLength + 1);
    if (grown == nullptr) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "realloc error", 0, "cat_asprintf",
                           __LINE__);
        free(piece);
        return -1;
    }
    memcpy(grown + oldLength, piece, (size_t)pieceLength + 1);
    free(piece);
    *text = grown;
    return (int)(oldLength + (size_t)pieceLength);
}
