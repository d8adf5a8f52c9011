/*
 * velktoolcli-validtf: consistency check of a transfer-function archive.
 *
 * The archive is checked without loading any TF matrix: the required
 * members, the identification text, the position lists and configuration,
 * and the number of localization and separation TF members, each kind
 * either absent or complete (one member per source position).  A text or
 * JSON summary can be printed on standard output.
 */
#ifndef VELK_VALIDTF_H
#define VELK_VALIDTF_H

#include <cstdio>

#include <popt.h>
#include <zip.h>

#include "options.h"
#include "velkio.h"

/* Loads everything of the archive at `path` except the TF matrices: the
 * record's TF vectors stay null and its two counts hold the number of
 * consecutive TF members of each kind.  `whatisthis` is the expected
 * beginning of whatisthis.txt (null: "transfer function").  Returns a new
 * record (open archive included) or null, with a message. */
velkio_TransferFunction *velkio_TransferFunction_fromFile_withoutLoadingMatrix(
    const char *path, const char *whatisthis);

/* The number of TF members of the kind ("localization" or "separation")
 * found for the positions in list order, counting up to the first missing
 * one; -1 for a null archive or an unknown kind. */
int countTFs(zip_t *archive, const char *kind, const velkio_Positions *positions);

/* The member parsed as a velk_xml document, or null. */
velkio_XML *readZippedXML(zip_t *archive, const char *name);

/* The member's bytes as a new NUL-terminated text (the caller frees it),
 * or null. */
char *readZippedText(zip_t *archive, const char *name);

/* Checks that the required members exist, logging "%s not found." for
 * each missing one; closes the archive.  0 when all are there. */
int validtf_checkMembers(zip_t *archive);

/* The whole check of one archive (open, members, loader, summary, counts):
 * prints the text summary when `show`, else the JSON summary when `json`,
 * and "SUCCESS" on standard error for a valid archive.  0 when valid. */
int validtf_checkArchive(const char *path, int show, int json);

/* The two summaries of a loaded record. */
void validtf_printText(FILE *out, const velkio_TransferFunction *tf);
void validtf_printJson(FILE *out, const velkio_TransferFunction *tf);

/* Writes `text` (null: empty) as a JSON string, quotes included; bytes
 * that are not valid UTF-8 become U+FFFD. */
void validtf_writeJsonString(FILE *out, const char *text);

/* The usage printer: prints the usage and ends the process with `status`,
 * unless an option has already been parsed. */
void help(poptContext ctx, int status);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program validtf_commandLine;
int validtf_main(int argc, const char **argv);

#endif /* VELK_VALIDTF_H */
