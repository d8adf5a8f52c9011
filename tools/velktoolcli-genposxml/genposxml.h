/*
 * velktoolcli-genposxml: position lists generated from a coordinate model
 * (circle, ball, cylinder, grid), each position carrying the file path made
 * from a path template with {KEY:FORMAT} placeholders.
 */
#ifndef VELK_GENPOSXML_H
#define VELK_GENPOSXML_H

#include <popt.h>

#include "options.h"
#include "velkio.h"

/* Size of the template work buffer and of every expanded path (the texts
 * hold at most PATH_BUFFER_SIZE - 1 characters). */
constexpr int PATH_BUFFER_SIZE = 4096;

/* Largest channel count of a microphone array, and the limit of positions
 * in a microphone list. */
constexpr int MAX_CHANNELS = 64;

/* Upper bound of generated positions: the longest list that the XML
 * readers still accept once its neighbour lists and a configuration are
 * added to it (it also keeps a mistyped interval from filling the memory).
 * Such a document holds, in elements and attributes: the velk_xml,
 * positions and neighbors elements, the type attribute, the channel list of
 * the first position and the 11 of the configuration (16 in all); per
 * position the position element with its id, the cartesian element with x,
 * y and z, the path element, and the neighbor element with its id (9). */
constexpr long MAX_GENERATED_POSITIONS = (VELKIO_XML_MAX_ITEMS - 16) / 9;

/* Fewest bytes of markup a position takes in the document besides its
 * path; with the paths, a lower bound of the document's size. */
constexpr long MIN_POSITION_MARKUP = 64;

/* Results of the template expansion. */
enum {
    PATH_TEMPLATE_OK = 0,
    PATH_TEMPLATE_BAD_BRACE = 1,  /* missing ':' or '}' after a '{' */
    PATH_TEMPLATE_BAD_FORMAT = 2, /* a placeholder format breaks the rule */
    PATH_TEMPLATE_TOO_LONG = 3    /* template of PATH_BUFFER_SIZE or more */
};

/* The coordinate models. */
enum CoordModel {
    MODEL_UNKNOWN = 0,
    MODEL_CIRCLE,
    MODEL_BALL,
    MODEL_CYLINDER,
    MODEL_GRID
};

/* One model axis, stepped from min to max by interval; NaN = not given. */
struct AxisRange {
    float min;
    float max;
    float interval;
};

/* Template values of one position; axes the model does not use are NaN. */
struct PathValues {
    float azimuth;
    float elevation;
    float height;
    float radius;
    float x;
    float y;
    float z;
};

/* Model parameters filled by option parsing. */
struct CoordModelParams {
    const char *model;
    const char *type;
    const char *outputPath;  /* null: standard output */
    int idStart;
    AxisRange azimuth;
    AxisRange elevation;
    AxisRange height;
    AxisRange radius;
    AxisRange x_axis;
    AxisRange y_axis;
    AxisRange z_axis;
    const char *pathTemplate; /* null: every path is empty */
    velkio_Positions *positions;
};

/* The microphone channels selected with --channels: one flag per channel
 * and the flagged channels in ascending order. */
struct ChannelSelection {
    unsigned char flags[MAX_CHANNELS];
    int count;
    int list[MAX_CHANNELS];
};

/* ---- path templates ---- */

/* Nonzero when `format` is not an acceptable placeholder format: "%", a run
 * of "0123456789-. +#", then one of "feEgG" as the last character.  Width
 * and precision numbers above PATH_BUFFER_SIZE - 1 are refused as well,
 * since no path can hold them. */
int validateFormatStr(const char *format);

/* Expands `tmpl` (may be null) with `values` into `out` (PATH_BUFFER_SIZE
 * bytes).  Logs the reason of a failure and returns one of PATH_TEMPLATE_*;
 * `out` is then empty. */
int expandPathTemplate(const char *tmpl, const PathValues *values, char *out);

/* ---- coordinates ---- */

/* Azimuth, elevation, radius in the coordinates replaced by x, y, z. */
void polarToCartesian(velkio_Position *position);
/* Azimuth, radius, height in the coordinates replaced by x, y, z. */
void cylindricalToCartesian(velkio_Position *position);

/* ---- options and validation ---- */

enum CoordModel coordModelFromName(const char *name);

/* Parameters with every axis value NaN and the other defaults. */
void initCoordModelParams(CoordModelParams *params, const char *model);

/* Parses a --channels value: channels 0..63 separated by commas and spaces.
 * The selection is replaced as a whole.  Returns 0, or 1 for a bad
 * channel (the selection is then empty). */
int parseChannelList(const char *text, ChannelSelection *selection);

/* The checks after option parsing: missing values, ranges, microphone
 * restrictions, the number of positions and the size of the document to
 * write (both within what the XML readers accept; the paths are expanded
 * to know it, so a template error is reported here).  Logs every
 * violation; returns 0 when the parameters can be generated, else 1. */
int validateCoordModelParams(const CoordModelParams *params,
                             const ChannelSelection *selection);

/* Number of values an axis loop visits (at most `limit` + 1 are counted);
 * -1 when the interval is too small for the value to advance. */
long countAxisSteps(const AxisRange *axis, long limit);

/* ---- generation ---- */

/* Appends the model's positions to params->positions, ids from idStart;
 * the channel list (if count > 0) goes on the first position.  Exits with
 * status 1 on a template error; returns 0, or 1 on a library failure. */
int makePositionsFromModel(CoordModelParams *params, const int *channels,
                           int count);

/* ---- program ---- */

void help(void);
void helpFormodel(poptContext ctx, const char *model, int status);

/* The whole program; returns the exit status. */
int velktoolcli_genposxml(int argc, char **argv);

/* The command line of a coordinate model: the common options and the
 * model's own (one table, rebuilt by each call). */
velkopt_Program genposxml_commandLine(enum CoordModel model);

#endif /* VELK_GENPOSXML_H */
