// Growable report text shared by the velk programs.
#ifndef VELK_LIB_TEXTUTIL_H
#define VELK_LIB_TEXTUTIL_H

/* Appends the formatted text to the malloc'd text *text (null: starts a new
 * one).  Returns the new total length, 0 when `text` is null, or a negative
 * value when formatting or enlarging failed (then *text is unchanged). */
int cat_asprintf(char **text, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif /* VELK_LIB_TEXTUTIL_H */
