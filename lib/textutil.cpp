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

/* Length of the valid UTF-8 sequence starting at s, or 0 when the bytes
 * there do not form one. */
int velk_utf8SequenceLength(const unsigned char *s)
{
    unsigned int c = s[0];
    int n;
    unsigned int least;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        least = 0x10000;
    } else {
        return 0;
    }
    unsigned int code = c & (0x7Fu >> n);
    for (int k = 1; k < n; k++) {
        if ((s[k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (s[k] & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return n;
}
