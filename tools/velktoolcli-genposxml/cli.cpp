// velktoolcli-genposxml: command line, help screens and the writing of the
// position list.
#include "genposxml.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>


#include "docout.h"
#include "options.h"

namespace {

// Return values of the model options.
enum {
    OPT_MIN_RADIUS = 1,
    OPT_MAX_RADIUS = 2,
    OPT_ELEVATION = 8
};

const char *const positionTypes[] = {"tsp", "impulse", "noise", "microphone",
                                     "soundsource"};

// What option parsing fills.
CoordModelParams params;
ChannelSelection selection;
const char *channelText = nullptr;
const char *logLevel = "E";

// A float option of a model table.
#define MODEL_FLOAT(name, field, val, text) \
    {name, '\0', POPT_ARG_FLOAT, &params.field, val, text, NULL}

struct poptOption circleTable[] = {
    MODEL_FLOAT("min-radius", radius.min, 1, "Minimum of radius"),
    MODEL_FLOAT("max-radius", radius.max, 2, "Maximum of radius"),
    MODEL_FLOAT("interval-radius", radius.interval, 3, "Interval of radius"),
    MODEL_FLOAT("elevation", elevation.min, 8, "Value of elevation"),
    MODEL_FLOAT("min-azimuth", azimuth.min, 13, "Minimum of azimuth"),
    MODEL_FLOAT("max-azimuth", azimuth.max, 14, "Maximum of azimuth"),
    MODEL_FLOAT("interval-azimuth", azimuth.interval, 15, "Interval of azimuth"),
    POPT_TABLEEND};

struct poptOption ballTable[] = {
    MODEL_FLOAT("min-radius", radius.min, 1, "Minimum of radius"),
    MODEL_FLOAT("max-radius", radius.max, 2, "Maximum of radius"),
    MODEL_FLOAT("interval-radius", radius.interval, 3, "Interval of radius"),
    MODEL_FLOAT("min-elevation", elevation.min, 5, "Minimum of elevation"),
    MODEL_FLOAT("max-elevation", elevation.max, 6, "Maximum of elevation"),
    MODEL_FLOAT("interval-elevation", elevation.interval, 7, "Interval of elevation"),
    MODEL_FLOAT("min-azimuth", azimuth.min, 13, "Minimum of azimuth"),
    MODEL_FLOAT("max-azimuth", azimuth.max, 14, "Maximum of azimuth"),
    MODEL_FLOAT("interval-azimuth", azimuth.interval, 15, "Interval of azimuth"),
    POPT_TABLEEND};

struct poptOption cylinderTable[] = {
    MODEL_FLOAT("min-radius", radius.min, 1, "Minimum of radius"),
    MODEL_FLOAT("max-radius", radius.max, 2, "Maximum of radius"),
    MODEL_FLOAT("interval-radius", radius.interval, 3, "Interval of radius"),
    MODEL_FLOAT("min-height", height.min, 9, "Minimum of height"),
    MODEL_FLOAT("max-height", height.max, 10, "Maximum of height"),
    MODEL_FLOAT("interval-height", height.interval, 11, "Interval of height"),
    MODEL_FLOAT("min-azimuth", azimuth.min, 13, "Minimum of azimuth"),
    MODEL_FLOAT("max-azimuth", azimuth.max, 14, "Maximum of azimuth"),
    MODEL_FLOAT("interval-azimuth", azimuth.interval, 15, "Interval of azimuth"),
    POPT_TABLEEND};

struct poptOption gridTable[] = {
    MODEL_FLOAT("min-x_axis", x_axis.min, 17, "Minimum of x_axis"),
    MODEL_FLOAT("max-x_axis", x_axis.max, 18, "Maximum of x_axis"),
    MODEL_FLOAT("interval-x_axis", x_axis.interval, 19, "Interval of x_axis"),
    MODEL_FLOAT("min-y_axis", y_axis.min, 21, "Minimum of y_axis"),
    MODEL_FLOAT("max-y_axis", y_axis.max, 22, "Maximum of y_axis"),
    MODEL_FLOAT("interval-y_axis", y_axis.interval, 23, "Interval of y_axis"),
    MODEL_FLOAT("min-z_axis", z_axis.min, 25, "Minimum of z_axis"),
    MODEL_FLOAT("max-z_axis", z_axis.max, 26, "Maximum of z_axis"),
    MODEL_FLOAT("interval-z_axis", z_axis.interval, 27, "Interval of z_axis"),
    POPT_TABLEEND};

#undef MODEL_FLOAT

// What differs between the models on the command line.
struct ModelOptions {
    struct poptOption *table;
    const char *title;     // heading of the model's options in the help
    const char *pathHelp;  // help of --path, with an example template
    const char *otherHelp; // popt's usage line after the program name
};

ModelOptions modelOptions(enum CoordModel model)
{
    const char *polarPath = "Wav file path (ex. filename_D{AZIMUTH:%03.1f}_"
                            "E{ELEVATION:%03.1f}_R{RADIUS:%03.1f}.wav)";
    switch (model) {
    case MODEL_BALL:
        return {ballTable, "ball arguments:", polarPath,
                "ball [OPTIONS]* arguments"};
    case MODEL_CYLINDER:
        return {cylinderTable, "cylinder arguments:",
                "Wav file path (ex. filename_D{AZIMUTH:%03.1f}_"
                "H{HEIGHT:%03.1f}_R{RADIUS:%03.1f}.wav)",
                "cylinder [OPTIONS]* arguments"};
    case MODEL_GRID:
        return {gridTable, "grid arguments:",
                "Wav file path (ex. filename_X{X_AXIS:%03.1f}_"
                "Y{Y_AXIS:%03.1f}_Z{Z_AXIS:%03.1f}.wav)",
                "grid [OPTIONS]* arguments"};
    default:
        return {circleTable, "circle arguments:", polarPath,
                "circle [OPTIONS]* arguments"};
    }
}

#define NBSP "\xc2\xa0"
const char *const channelsHelp =
    "Select" NBSP "microphone" NBSP "channel(s)" NBSP "to" NBSP
    "calculate. (zero-based," NBSP "comma" NBSP "separated)";
#undef NBSP

// The full option table of a model: the common options, then the model's.
void buildOptionTable(const ModelOptions *m, struct poptOption table[10])
{
    struct poptOption entries[] = {
        {"type", 't', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &params.type,
         't', "Type of positions --type=tsp|impulse|noise|microphone|soundsource",
         NULL},
        {"output", 'o', POPT_ARG_STRING, &params.outputPath, 'o',
         "Output filename", NULL},
        {"id", 'i', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &params.idStart,
         'i', "Position id of start", NULL},
        {"path", 'p', POPT_ARG_STRING, &params.pathTemplate, 'p', m->pathHelp,
         NULL},
        {"channels", 'c', POPT_ARG_STRING, &channelText, 'c', channelsHelp,
         "INT,..."},
        VELKOPT_COMMON_ENTRIES(logLevel),
        {NULL, '\0', POPT_ARG_INCLUDE_TABLE, m->table, 0, m->title, NULL},
        POPT_TABLEEND};
    static_assert(sizeof entries / sizeof entries[0] == 10);
    memcpy(table, entries, sizeof entries);
}

void helpForModel(poptContext ctx, int status)
{
    helpFormodel(ctx, params.model, status);
}

bool isKnownType(const char *type)
{
    for (const char *t : positionTypes)
        if (type != nullptr && strcmp(type, t) == 0)
            return true;
    return false;
}

// The checks of one option: rc, POPT_ERROR_BADNUMBER for a value out of
// range, or VELKOPT_REPORTED for an unknown position type.
int handleOption(poptContext ctx, int rc, void *)
{
    if (rc == OPT_MIN_RADIUS && !(params.radius.min > 0))
        return POPT_ERROR_BADNUMBER;
    if (rc == OPT_MAX_RADIUS && !(params.radius.max > 0))
        return POPT_ERROR_BADNUMBER;
    if (rc == OPT_ELEVATION) {
        params.elevation.max = params.elevation.min;
        params.elevation.interval = 0;
    }
    if (rc == 'i' && params.idStart < 0)
        return POPT_ERROR_BADNUMBER;
    if (rc == 't' && !isKnownType(params.type)) {
        VELKOPT_LOG_BAD_OPTION(ctx, "invalid value");
        return VELKOPT_REPORTED;
    }
    if (rc == 'c' && parseChannelList(channelText, &selection) != 0)
        return POPT_ERROR_BADNUMBER;
    return rc;
}

// Builds the document of the positions (which it takes over) and writes
// it; the text is complete before the output is opened.
int writePositions(velkio_Positions *positions, const char *path)
{
    velkio_XML *doc = velkio_XML_newFromData(positions, nullptr, nullptr);
    if (doc == nullptr) {
        VELKIO_LOG(0, "can not velkio_XML_newFromData");
        velkio_Positions_delete(&positions);
        return 1;
    }
    int rc = velk_writeDocument(doc, path, nullptr);
    velkio_XML_delete(&doc);
    return rc;
}

// Generates the list and writes it; returns the exit status.
int generateAndWrite(void)
{
    params.positions = velkio_Positions_new(params.type, 0, 0, 0);
    if (params.positions == nullptr) {
        VELKIO_LOG(0, "can not velkio_Positions_new");
        return 1;
    }
    if (makePositionsFromModel(&params, selection.list, selection.count) != 0) {
        velkio_Positions_delete(&params.positions);
        return 1;
    }
    if (strcmp(params.type, "microphone") == 0 &&
        velkio_Positions_getSize(params.positions) > MAX_CHANNELS) {
        VELKIO_LOG(0, "microphone position too large. max %d", MAX_CHANNELS);
        velkio_Positions_delete(&params.positions);
        return 1;
    }
    int rc = writePositions(params.positions, params.outputPath);
    params.positions = nullptr;
    if (rc != 0)
        return 1;
    VELKIO_LOG(3, "XML file created");
    fprintf(stderr, "SUCCESS\n");
    if (params.outputPath != nullptr)
        fprintf(stderr, " output file : %s\n", params.outputPath);
    return 0;
}

} // namespace

void help(void)
{
    printf("\n\nNAME:\n  velktoolcli-genposxml\n\nDescription:\n"
           "   create a position tag of xml file\n\n"
           "Usage: velktoolcli-genposxml [coordinate model] [options]\n\n"
           "Usage of each coordinate model:\n"
           "   velktoolcli-genposxml circle   --help\n"
           "   velktoolcli-genposxml grid     --help\n"
           "   velktoolcli-genposxml cylinder --help\n"
           "   velktoolcli-genposxml ball     --help\n\n");
    fflush(stdout);
}

void helpFormodel(poptContext ctx, const char *model, int status)
{
    std::string description = "   create a position tag of xml file\n\n"
                              "coordinate model is ";
    description += model != nullptr ? model : "";
    description += ":\n";
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-genposxml\n",
                  description.c_str(), nullptr);
}

velkopt_Program genposxml_commandLine(enum CoordModel model)
{
    static struct poptOption table[10];
    const ModelOptions options = modelOptions(model);
    buildOptionTable(&options, table);
    return {"velktoolcli-genposxml", table, options.otherHelp, helpForModel, handleOption,
            nullptr, 0};
}

int velktoolcli_genposxml(int argc, char **argv)
{
    if (argc < 2) {
        VELKIO_LOG(0, "argument error!!");
        help();
        return 1;
    }
    if (argc == 2 && velkopt_commonWord(argv[1]) == VELKOPT_VERSION) {
        velkopt_printVersion("velktoolcli-genposxml");
        return 0;
    }
    if (argc == 2) {
        help();
        return velkopt_commonWord(argv[1]) == VELKOPT_HELP ? 0 : 1;
    }
    const enum CoordModel model = coordModelFromName(argv[1]);
    if (model == MODEL_UNKNOWN) {
        VELKIO_LOG(0, "unknown coordmodel: %s", argv[1]);
        return 1;
    }
    initCoordModelParams(&params, argv[1]);
    memset(&selection, 0, sizeof selection);

    const velkopt_Program program = genposxml_commandLine(model);
    poptContext ctx = velkopt_getContext(&program, argc, (const char **)argv);
    int status = velkopt_parse(ctx, &program);
    if (status == 0)
        status = validateCoordModelParams(&params, &selection);
    if (status == 0)
        status = velkio_Output_check(params.outputPath);
    if (status == 0)
        status = generateAndWrite();
    poptFreeContext(ctx);
    return status;
}
