/*
 * velktoolcli-validxml: consistency checks of a velk_xml document.
 *
 * Three modes: the full document (positions, configuration, neighbours),
 * a microphone position list, or a source position list.  Each check
 * prints its verdict on standard error ("SUCCESS", or "Consistency error"
 * followed by the list of bracketed problem tags) and returns 0 for a
 * valid document, 1 otherwise.
 */
#ifndef VELK_VALIDXML_H
#define VELK_VALIDXML_H

#include <cstdio>

#include <popt.h>

#include "options.h"
#include "velkio.h"

/* Check kinds of validateAsPositionXml. */
enum {
    VALIDXML_KIND_MICROPHONE = 0,
    VALIDXML_KIND_SOURCE = 4
};

/* Size of the full check's report, terminating zero included. */
enum { VALIDXML_REPORT_SIZE = 1024 };

/* Fills `report` with the problem tags of the full check (empty text for a
 * valid document).  Text that would not fit is cut; an over-long position
 * type is shortened so that its tag stays closed. */
void validxml_fullReport(const velkio_XML *doc,
                         char report[VALIDXML_REPORT_SIZE]);

/* Builds the problem tags of a position-list check into *text (a heap
 * text, null when there is no problem).  Returns 0, 1 when the kind is
 * illegal (1 to 3, or negative; logged), or -1 when memory ran out. */
int validxml_positionReport(int kind, const velkio_XML *doc, char **text);

/* The full check: prints the verdict, returns 0 (valid) or 1. */
int validate_velkxml(const velkio_XML *doc);

/* The position-list check of the given kind (0 microphone list, 4 source
 * list, above 4 only the id-uniqueness rule); prints the verdict and
 * returns 0 or 1.  Kinds 1 to 3 are illegal: logged, no verdict, 1. */
int validateAsPositionXml(int kind, const velkio_XML *doc);

/* Writes the one-line JSON summary of a valid document to `out`.
 * Returns 0, or 1 when the document has no position list. */
int validxml_printJson(FILE *out, const velkio_XML *doc);

/* Writes `text` (null: the empty text) as a JSON string, quotes included;
 * bytes that are not valid UTF-8 become U+FFFD. */
void validxml_writeJsonString(FILE *out, const char *text);

/* The usage printer: prints the usage and ends the process with `status`,
 * unless an option has already been parsed. */
void help(poptContext ctx, int status);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program validxml_commandLine;
int validxml_main(int argc, const char **argv);

#endif /* VELK_VALIDXML_H */
