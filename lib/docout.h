/*
 * Output of the small programs: a document or text goes to a file or to
 * standard output completely, or not at all.  The text is complete before
 * the file is opened, and a file is written through velkio_Output: an
 * existing file is replaced only by the whole new text.
 */
#ifndef VELK_LIB_DOCOUT_H
#define VELK_LIB_DOCOUT_H

#include <cstddef>

#include "velkio.h"

/* Writes `length` bytes of `text` to `path`, or to standard output when
 * `path` is null.  When the file cannot be opened, `openFailure` is logged
 * at level 0 (null: velkio_Log_FileOpenFailed(path)); a failed write as
 * "write error [path]: reason".  0 on success, 1 on failure (logged). */
int velk_writeText(const char *text, size_t length, const char *path,
                   const char *openFailure);

/* The same for a library document; a document that the XML readers would
 * refuse as too large (VELKIO_XML_MAX_BYTES, VELKIO_XML_MAX_ITEMS) is not
 * written. */
int velk_writeDocument(const velkio_XML *doc, const char *path,
                       const char *openFailure);

/* Nonzero when `output` names the same existing file as `input` (same
 * device and inode, so other spellings of the path count too); then the
 * message "output file [%s] is the input file [%s]" is logged at level 0.
 * A run must refuse such an output before it writes anything, or it would
 * destroy its own input.  Null paths and missing files never match. */
int velk_outputIsInput(const char *output, const char *input);

#endif /* VELK_LIB_DOCOUT_H */
