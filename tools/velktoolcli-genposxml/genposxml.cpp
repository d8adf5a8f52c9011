// velktoolcli-genposxml: the checks of the model parameters and the
// generation of the positions.
#include "genposxml.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// One required model value: where it is stored and its option name.
struct RequiredValue {
    const float *value;
    const char *option;
};

// The required values of the model, in the order of its option table.
int requiredValues(const CoordModelParams *p, RequiredValue out[9])
{
    const AxisRange *r = &p->radius;
    const AxisRange *e = &p->elevation;
    const AxisRange *h = &p->height;
    const AxisRange *a = &p->azimuth;
    switch (coordModelFromName(p->model)) {
    case MODEL_CIRCLE: {
        RequiredValue v[] = {
            {&r->min, "min-radius"}, {&r->max, "max-radius"},
            {&r->interval, "interval-radius"}, {&e->min, "elevation"},
            {&a->min, "min-azimuth"}, {&a->max, "max-azimuth"},
            {&a->interval, "interval-azimuth"}};
        memcpy(out, v, sizeof v);
        return 7;
    }
    case MODEL_BALL: {
        RequiredValue v[] = {
            {&r->min, "min-radius"}, {&r->max, "max-radius"},
            {&r->interval, "interval-radius"}, {&e->min, "min-elevation"},
            {&e->max, "max-elevation"}, {&e->interval, "interval-elevation"},
            {&a->min, "min-azimuth"}, {&a->max, "max-azimuth"},
            {&a->interval, "interval-azimuth"}};
        memcpy(out, v, sizeof v);
        return 9;
    }
    case MODEL_CYLINDER: {
        RequiredValue v[] = {
            {&r->min, "min-radius"}, {&r->max, "max-radius"},
            {&r->interval, "interval-radius"}, {&h->min, "min-height"},
            {&h->max, "max-height"}, {&h->interval, "interval-height"},
            {&a->min, "min-azimuth"}, {&a->max, "max-azimuth"},
            {&a->interval, "interval-azimuth"}};
        memcpy(out, v, sizeof v);
        return 9;
    }
    case MODEL_GRID: {
        RequiredValue v[] = {
            {&p->x_axis.min, "min-x_axis"}, {&p->x_axis.max, "max-x_axis"},
            {&p->x_axis.interval, "interval-x_axis"},
            {&p->y_axis.min, "min-y_axis"}, {&p->y_axis.max, "max-y_axis"},
            {&p->y_axis.interval, "interval-y_axis"},
            {&p->z_axis.min, "min-z_axis"}, {&p->z_axis.max, "max-z_axis"},
            {&p->z_axis.interval, "interval-z_axis"}};
        memcpy(out, v, sizeof v);
        return 9;
    }
    default:
        return 0;
    }
}

int reportMissingValues(const CoordModelParams *params)
{
    RequiredValue values[9];
    int n = requiredValues(params, values);
    int missing = 0;
    for (int i = 0; i < n; i++) {
        if (std::isnan(*values[i].value)) {
            VELKIO_LOG(0, "missing --%s", values[i].option);
            missing = 1;
        }
    }
    return missing;
}

// The axes in the order of the range check, with their option names.
struct NamedAxis {
    const AxisRange *axis;
    const char *name;
};

int namedAxes(const CoordModelParams *p, NamedAxis out[7])
{
    NamedAxis v[] = {{&p->radius, "radius"}, {&p->elevation, "elevation"},
                     {&p->height, "height"}, {&p->azimuth, "azimuth"},
                     {&p->x_axis, "x_axis"}, {&p->y_axis, "y_axis"},
                     {&p->z_axis, "z_axis"}};
    memcpy(out, v, sizeof v);
    return 7;
}

int reportBadRanges(const CoordModelParams *params)
{
    NamedAxis axes[7];
    int n = namedAxes(params, axes);
    int bad = 0;
    for (int i = 0; i < n; i++) {
        const AxisRange *a = axes[i].axis;
        if (!std::isnan(a->min) && a->min > a->max) {
            VELKIO_LOG(0, "should be --min-%s <= --max-%s", axes[i].name,
                       axes[i].name);
            bad = 1;
        }
    }
    return bad;
}

int reportMicrophoneRules(const CoordModelParams *params,
                          const ChannelSelection *selection)
{
    if (strcmp(params->type, "microphone") != 0)
        return 0;
    int bad = 0;
    if (selection->count > 0) {
        VELKIO_LOG(0, "microphone should not have --channels");
        bad = 1;
    }
    if (params->idStart != 0) {
        VELKIO_LOG(0, "microphone should be --id == 0");
        bad = 1;
    }
    return bad;
}

// The axes a model steps through, outermost loop first.
int modelLoopAxes(const CoordModelParams *p, NamedAxis out[3])
{
    switch (coordModelFromName(p->model)) {
    case MODEL_CIRCLE:
    case MODEL_BALL:
        out[0] = {&p->radius, "radius"};
        out[1] = {&p->elevation, "elevation"};
        out[2] = {&p->azimuth, "azimuth"};
        return 3;
    case MODEL_CYLINDER:
        out[0] = {&p->radius, "radius"};
        out[1] = {&p->height, "height"};
        out[2] = {&p->azimuth, "azimuth"};
        return 3;
    case MODEL_GRID:
        out[0] = {&p->z_axis, "z_axis"};
        out[1] = {&p->y_axis, "y_axis"};
        out[2] = {&p->x_axis, "x_axis"};
        return 3;
    default:
        return 0;
    }
}

// Refuses intervals too small to advance and lists too long to generate,
// which would otherwise keep the generator running without end.
int reportOversizedLists(const CoordModelParams *params)
{
    NamedAxis axes[3];
    int n = modelLoopAxes(params, axes);
    double total = 1.0;
    for (int i = 0; i < n; i++) {
        long steps = countAxisSteps(axes[i].axis, MAX_GENERATED_POSITIONS);
        if (steps < 0) {
            VELKIO_LOG(0, "--interval-%s is too small to step from --min-%s "
                          "to --max-%s", axes[i].name, axes[i].name,
                       axes[i].name);
            return 1;
        }
        total *= (double)steps;
    }
    if (total > (double)MAX_GENERATED_POSITIONS) {
        VELKIO_LOG(0, "too many positions: more than %ld (the most that the XML readers "
                      "accept with neighbour lists and a configuration)",
                   MAX_GENERATED_POSITIONS);
        return 1;
    }
    if ((double)params->idStart + total - 1.0 > (double)INT_MAX) {
        VELKIO_LOG(0, "position ids would exceed %d", INT_MAX);
        return 1;
    }
    return 0;
}

// Where an axis loop starts and ends: an absent interval gives a loop that
// never runs; a negative one steps down from the maximum.
void axisBounds(const AxisRange *axis, float *start, float *end)
{
    if (std::isnan(axis->interval)) {
        *start = FLT_MAX;
        *end = -FLT_MAX;
    } else if (axis->interval < 0) {
        *start = axis->max;
        *end = axis->min;
    } else {
        *start = axis->min;
        *end = axis->max;
    }
}

// Calls visit(value) for every value of the axis loop; stops at the first
// nonzero result and returns it.  End points reached exactly are included;
// an interval of 0 gives one pass.
template <class Visit>
int stepAxis(const AxisRange *axis, Visit visit)
{
    float start, end;
    axisBounds(axis, &start, &end);
    const float interval = axis->interval;
    for (float v = start; (v - end) * interval <= 0; v += interval) {
        int rc = visit(v);
        if (rc != 0)
            return rc;
        if (interval == 0)
            break;
    }
    return 0;
}

// Calls visit(id, template values, coordinates before conversion) for every
// point of the model in loop order, ids counting from idStart; stops at the
// first nonzero result and returns it.
template <class Visit>
int visitModelPoints(const CoordModelParams *params, Visit visit)
{
    const enum CoordModel model = coordModelFromName(params->model);
    NamedAxis axes[3];
    if (modelLoopAxes(params, axes) != 3)
        return 1;
    int id = params->idStart;
    return stepAxis(axes[0].axis, [&](float outer) {
        return stepAxis(axes[1].axis, [&](float middle) {
            return stepAxis(axes[2].axis, [&](float inner) {
                PathValues values = {NAN, NAN, NAN, NAN, NAN, NAN, NAN};
                float coords[3] = {inner, middle, outer};
                if (model == MODEL_GRID) {
                    values.x = inner;
                    values.y = middle;
                    values.z = outer;
                } else if (model == MODEL_CYLINDER) {
                    values.azimuth = inner;
                    values.height = middle;
                    values.radius = outer;
                    coords[1] = outer;
                    coords[2] = middle;
                } else {
                    values.azimuth = inner;
                    values.elevation = middle;
                    values.radius = outer;
                }
                int rc = visit(id, values, coords);
                id++;
                return rc;
            });
        });
    });
}

// Refuses lists whose document would be larger than the XML readers
// accept, before anything is generated: the paths are expanded once to
// add up their lengths.  The written text is checked again exactly
// (velk_writeDocument).
int reportOversizedDocument(const CoordModelParams *params)
{
    const double limit = (double)VELKIO_XML_MAX_BYTES;
    double bytes = 0.0;
    char path[PATH_BUFFER_SIZE];
    int rc = visitModelPoints(params, [&](int, const PathValues &values, const float *) {
        if (expandPathTemplate(params->pathTemplate, &values, path) != PATH_TEMPLATE_OK)
            return 1;
        bytes += (double)(MIN_POSITION_MARKUP + (long)strlen(path));
        return bytes > limit ? 2 : 0;
    });
    if (rc == 2)
        VELKIO_LOG(0, "position list too large: more than %d bytes (the largest document "
                      "the XML readers accept)", VELKIO_XML_MAX_BYTES);
    return rc != 0;
}

// Creates one position with its path, converts it to Cartesian
// coordinates and appends it.
int addPosition(CoordModelParams *params, enum CoordModel model, int id,
                const PathValues *values, const float coords[3],
                const int *channels, int count)
{
    char path[PATH_BUFFER_SIZE];
    if (expandPathTemplate(params->pathTemplate, values, path) != PATH_TEMPLATE_OK)
        return 1;
    velkio_Position *position = velkio_Position_new(id, 1, coords, path);
    if (position == nullptr) {
        VELKIO_LOG(0, "can not velkio_Position_new");
        return 1;
    }
    if (model == MODEL_CYLINDER)
        cylindricalToCartesian(position);
    else if (model != MODEL_GRID)
        polarToCartesian(position);
    if (velkio_Positions_getSize(params->positions) == 0 && count > 0) {
        if (velkio_Position_setChannels(position, channels, count) != 0) {
            VELKIO_LOG(0, "can not attach the channel list");
            velkio_Position_delete(&position);
            return 1;
        }
        position->useChannels = 1;
    }
    if (velkio_Positions_append(params->positions, position) != 0) {
        VELKIO_LOG(0, "can not velkio_Positions_append");
        velkio_Position_delete(&position);
        return 1;
    }
    return 0;
}

} // namespace

enum CoordModel coordModelFromName(const char *name)
{
    if (name == nullptr)
        return MODEL_UNKNOWN;
    if (strcmp(name, "circle") == 0)
        return MODEL_CIRCLE;
    if (strcmp(name, "ball") == 0)
        return MODEL_BALL;
    if (strcmp(name, "cylinder") == 0)
        return MODEL_CYLINDER;
    if (strcmp(name, "grid") == 0)
        return MODEL_GRID;
    return MODEL_UNKNOWN;
}

void initCoordModelParams(CoordModelParams *params, const char *model)
{
    const AxisRange none = {NAN, NAN, NAN};
    params->model = model;
    params->type = "soundsource";
    params->outputPath = nullptr;
    params->idStart = 0;
    params->azimuth = none;
    params->elevation = none;
    params->height = none;
    params->radius = none;
    params->x_axis = none;
    params->y_axis = none;
    params->z_axis = none;
    params->pathTemplate = nullptr;
    params->positions = nullptr;
}

int parseChannelList(const char *text, ChannelSelection *selection)
{
    memset(selection, 0, sizeof *selection);
    std::string copy = text != nullptr ? text : "";
    char *save = nullptr;
    for (char *token = strtok_r(copy.data(), ", ", &save); token != nullptr;
         token = strtok_r(nullptr, ", ", &save)) {
        char *end = nullptr;
        errno = 0;
        long channel = strtol(token, &end, 10);
        if (end == token || *end != '\0' || errno != 0 || channel < 0 ||
            channel >= MAX_CHANNELS) {
            memset(selection, 0, sizeof *selection);
            return 1;
        }
        if (!selection->flags[channel]) {
            selection->flags[channel] = 1;
            selection->count++;
        }
    }
    int n = 0;
    for (int ch = 0; ch < MAX_CHANNELS; ch++)
        if (selection->flags[ch])
            selection->list[n++] = ch;
    return 0;
}

long countAxisSteps(const AxisRange *axis, long limit)
{
    long count = 0;
    float previous = NAN;
    int rc = stepAxis(axis, [&](float v) {
        if (v == previous)
            return -1;
        previous = v;
        return ++count > limit ? 1 : 0;
    });
    return rc < 0 ? -1 : count;
}

int validateCoordModelParams(const CoordModelParams *params,
                             const ChannelSelection *selection)
{
    if (reportMissingValues(params))
        return 1;
    int bad = reportBadRanges(params);
    bad |= reportMicrophoneRules(params, selection);
    if (bad)
        return 1;
    if (reportOversizedLists(params))
        return 1;
    return reportOversizedDocument(params);
}

void polarToCartesian(velkio_Position *position)
{
    if (position == nullptr)
        return;
    float out[3];
    if (velkio_Position_Convert(position, out, 1) == 0)
        memcpy(position->coords, out, sizeof out);
}

void cylindricalToCartesian(velkio_Position *position)
{
    if (position == nullptr)
        return;
    float theta = velkio_Position_convToRadian(position->coords[0]);
    float radius = position->coords[1];
    float height = position->coords[2];
    float s, c;
    sincosf(theta, &s, &c);
    position->coords[0] = radius * c;
    position->coords[1] = radius * s;
    position->coords[2] = height;
}

int makePositionsFromModel(CoordModelParams *params, const int *channels,
                           int count)
{
    VELKIO_LOG(3, "f_path length=%d", PATH_BUFFER_SIZE);
    const enum CoordModel model = coordModelFromName(params->model);
    if (model == MODEL_UNKNOWN) {
        VELKIO_LOG(0, "Unknown coordinate model");
        return 1;
    }
    return visitModelPoints(params, [&](int id, const PathValues &values,
                                        const float coords[3]) {
        if (model == MODEL_GRID)
            VELKIO_LOG(3, "[%d] = (%f, %f, %f)", id, values.x, values.y, values.z);
        else if (model == MODEL_CYLINDER)
            VELKIO_LOG(3, "[%d] azimuth[%f] height[%f] radius[%f]", id,
                       values.azimuth, values.height, values.radius);
        else
            VELKIO_LOG(3, "[%d] azimuth[%f] elevation[%f] radius[%f]", id,
                       values.azimuth, values.elevation, values.radius);
        return addPosition(params, model, id, &values, coords, channels, count);
    });
}
