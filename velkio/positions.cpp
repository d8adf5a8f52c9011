// Position lists and single positions: creation, copies, look-up by id,
// removal, coordinate conversion and channel lists.
#include "velkio.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A malloc'd copy of `count` ints; null for an empty list.
int *copyInts(const int *values, int count, int *failed)
{
    *failed = 0;
    if (values == nullptr || count <= 0)
        return nullptr;
    int *copy = static_cast<int *>(malloc(sizeof(int) * static_cast<size_t>(count)));
    if (copy == nullptr) {
        *failed = 1;
        return nullptr;
    }
    memcpy(copy, values, sizeof(int) * static_cast<size_t>(count));
    return copy;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Position                                                            */
/* ------------------------------------------------------------------ */

velkio_Position *velkio_Position_new(int id, int isCartesian,
                                     const float *coords, const char *path)
{
    velkio_Position *p =
        static_cast<velkio_Position *>(calloc(1, sizeof(velkio_Position)));
    if (p == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a position");
        return nullptr;
    }
    p->id = id;
    p->isCartesian = isCartesian;
    if (coords != nullptr)
        memcpy(p->coords, coords, sizeof p->coords);
    if (path != nullptr) {
        p->path = strdup(path);
        if (p->path == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a position path");
            free(p);
            return nullptr;
        }
    }
    return p;
}

velkio_Position *velkio_Position_copy(const velkio_Position *position)
{
    if (position == nullptr)
        return nullptr;
    velkio_Position *copy = velkio_Position_new(
        position->id, position->isCartesian, position->coords, position->path);
    if (copy == nullptr)
        return nullptr;
    copy->useChannels = position->useChannels;
    // A list pointer that is null stands for an empty list, whatever the
    // count says; the copy is made consistent.
    int n = position->channels ? position->numChannels : 0;
    int failed = 0;
    copy->channels = copyInts(position->channels, n, &failed);
    copy->numChannels = copy->channels ? n : 0;
    if (failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a channel list");
        velkio_Position_delete(&copy);
        return nullptr;
    }
    return copy;
}

void velkio_Position_delete(velkio_Position **position)
{
    if (position == nullptr || *position == nullptr)
        return;
    free((*position)->path);
    free((*position)->channels);
    free(*position);
    *position = nullptr;
}

float velkio_Position_convToRadian(float degrees)
{
    return static_cast<float>(static_cast<double>(degrees) * M_PI / 180.0);
}

// The flag isCartesian is deliberately not consulted: callers create
// positions with the flag already set to Cartesian while the coordinates
// are still polar, and convert afterwards.
int velkio_Position_Convert(const velkio_Position *position, float out[3],
                            int toCartesian)
{
    if (position == nullptr || out == nullptr)
        return 1;
    const double a = position->coords[0];
    const double b = position->coords[1];
    const double c = position->coords[2];
    if (toCartesian == 1) {
        const double az = a * M_PI / 180.0;
        const double el = b * M_PI / 180.0;
        const double r = c;
        out[0] = static_cast<float>(r * cos(el) * cos(az));
        out[1] = static_cast<float>(r * cos(el) * sin(az));
        out[2] = static_cast<float>(r * sin(el));
        return 0;
    }
    if (toCartesian == 0) {
        // Azimuth in (-180, 180], elevation in [-90, 90]; the origin gives
        // all zeros.
        const double horizontal = hypot(a, b);
        out[0] = static_cast<float>(atan2(b, a) * 180.0 / M_PI);
        out[1] = static_cast<float>(atan2(c, horizontal) * 180.0 / M_PI);
        out[2] = static_cast<float>(sqrt(a * a + b * b + c * c));
        return 0;
    }
    return 1;
}

void velkio_Position_setChannelsUse(velkio_Position *position, int use)
{
    if (position == nullptr)
        return;
    position->useChannels = use ? 1 : 0;
    if (!use) {
        free(position->channels);
        position->channels = nullptr;
        position->numChannels = 0;
    }
}

int velkio_Position_setChannels(velkio_Position *position, const int *channels,
                                int count)
{
    if (position == nullptr || count < 0 || (count > 0 && channels == nullptr))
        return 1;
    int failed = 0;
    int *copy = copyInts(channels, count, &failed);
    if (failed) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a channel list");
        return 1;
    }
    free(position->channels);
    position->channels = copy;
    position->numChannels = count;
    position->useChannels = 1;
    return 0;
}

/* ------------------------------------------------------------------ */
/* Positions                                                           */
/* ------------------------------------------------------------------ */

velkio_Positions *velkio_Positions_new(const char *type, int reserved1,
                                       int reserved2, int reserved3)
{
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    velkio_Positions *list =
        static_cast<velkio_Positions *>(calloc(1, sizeof(velkio_Positions)));
    if (list == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a position list");
        return nullptr;
    }
    if (type != nullptr) {
        list->type = strdup(type);
        if (list->type == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a position type");
            free(list);
            return nullptr;
        }
    }
    return list;
}

int velkio_Positions_append(velkio_Positions *list, velkio_Position *position)
{
    if (list == nullptr || position == nullptr)
        return 1;
    if (list->count >= list->capacity) {
        if (list->capacity > INT_MAX / 2) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "position list too long");
            return 1;
        }
        int capacity = list->capacity > 0 ? list->capacity * 2 : 16;
        void *grown = realloc(list->list, sizeof(velkio_Position *) *
                                              static_cast<size_t>(capacity));
        if (grown == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not grow the position list");
            return 1;
        }
        list->list = static_cast<velkio_Position **>(grown);
        list->capacity = capacity;
    }
    list->list[list->count++] = position;
    return 0;
}

int velkio_Positions_getSize(const velkio_Positions *list)
{
    return list ? list->count : 0;
}

velkio_Position *velkio_Positions_getById(const velkio_Positions *list, int id)
{
    if (list == nullptr)
        return nullptr;
    for (int i = 0; i < list->count; i++) {
        if (list->list[i] != nullptr && list->list[i]->id == id)
            return list->list[i];
    }
    return nullptr;
}

int velkio_Positions_removeById(velkio_Positions *list, int id)
{
    if (list == nullptr)
        return 1;
    int kept = 0;
    int removed = 0;
    for (int i = 0; i < list->count; i++) {
        velkio_Position *p = list->list[i];
        if (p != nullptr && p->id == id) {
            velkio_Position_delete(&p);
            removed++;
        } else {
            list->list[kept++] = p;
        }
    }
    list->count = kept;
    return removed > 0 ? 0 : 1;
}

velkio_Positions *velkio_Positions_copy(const velkio_Positions *list)
{
    if (list == nullptr)
        return nullptr;
    velkio_Positions *copy = velkio_Positions_new(list->type, 0, 0, 0);
    if (copy == nullptr)
        return nullptr;
    for (int i = 0; i < list->count; i++) {
        velkio_Position *p = velkio_Position_copy(list->list[i]);
        if (p == nullptr || velkio_Positions_append(copy, p) != 0) {
            velkio_Position_delete(&p);
            velkio_Positions_delete(&copy);
            return nullptr;
        }
    }
    return copy;
}

void velkio_Positions_delete(velkio_Positions **list)
{
    if (list == nullptr || *list == nullptr)
        return;
    for (int i = 0; i < (*list)->count; i++)
        velkio_Position_delete(&(*list)->list[i]);
    free((*list)->list);
    free((*list)->type);
    free(*list);
    *list = nullptr;
}
