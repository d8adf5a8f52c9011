// Growable report text shared by the velk programs.
#ifndef VELK_LIB_TEXTUTIL_H
#define VELK_LIB_TEXTUTIL_H

/* Appends the formatted text to the malloc'd text *text (null: starts a new
 * one).  Returns the new total length, 0 when `text` is null, or a negative
 * value when formatting or enlarging failed (then *text is unchanged). */
int cat_asprintf(char **text, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Length of the valid UTF-8 sequence starting at s, or 0 when the bytes
 * there do not form one (overlong forms, surrogates and code points beyond
 * U+10FFFF are not valid).  Reads past s[0] only while the bytes read so far
 * announce a longer sequence, and stops at a byte that is not a
 * continuation, so a NUL-terminated text is never read past its end. */
int velk_utf8SequenceLength(const unsigned char *s);

#endif /* VELK_LIB_TEXTUTIL_H */
