// The measurement configuration record: creation, copy, printing and one
// getter and one setter per member.
#include "velkio.h"

#include <cstdlib>
#include <cstring>

namespace {

// Replaces *slot by a copy of text (null allowed); 1 when out of memory.
int replaceText(char **slot, const char *text)
{
    char *copy = nullptr;
    if (text != nullptr) {
        copy = strdup(text);
        if (copy == nullptr) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a configuration text");
            return 1;
        }
    }
    free(*slot);
    *slot = copy;
    return 0;
}

} // namespace

velkio_Config *velkio_Config_new(void)
{
    velkio_Config *c = static_cast<velkio_Config *>(calloc(1, sizeof(velkio_Config)));
    if (c == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate a configuration");
    return c;
}

velkio_Config *velkio_Config_copy(const velkio_Config *config)
{
    if (config == nullptr)
        return nullptr;
    velkio_Config *c = velkio_Config_new();
    if (c == nullptr)
        return nullptr;
    *c = *config;
    c->comment = nullptr;
    c->tspPath = nullptr;
    if (replaceText(&c->comment, config->comment) != 0 ||
        replaceText(&c->tspPath, config->tspPath) != 0) {
        velkio_Config_delete(&c);
        return nullptr;
    }
    return c;
}

void velkio_Config_delete(velkio_Config **config)
{
    if (config == nullptr || *config == nullptr)
        return;
    free((*config)->comment);
    free((*config)->tspPath);
    free(*config);
    *config = nullptr;
}

// Printed through the logger (standard error) so that a document written to
// standard output stays a valid document.
void velkio_Config_print(const velkio_Config *config)
{
    if (config == nullptr) {
        VELKIO_LOG(VELKIO_LOG_INFO, "config: (none)");
        return;
    }
    const char *comment = config->comment ? config->comment : "(none)";
    const char *tspPath = config->tspPath ? config->tspPath : "(none)";
    VELKIO_LOG(VELKIO_LOG_INFO, "config: comment            : %s", comment);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: synchronousAverage : %d", config->synchronousAverage);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: tspPath            : %s", tspPath);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: tspOffset          : %d", config->tspOffset);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: tspLength          : %d", config->tspLength);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: peakSearchFrom     : %d", config->peakSearchFrom);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: peakSearchTo       : %d", config->peakSearchTo);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: nfft               : %d", config->nfft);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: samplingRate       : %d", config->samplingRate);
    VELKIO_LOG(VELKIO_LOG_INFO, "config: signalMax          : %d", config->signalMax);
}

/* Getters: a null record reads as an empty one. */

const char *velkio_Config_getComment(const velkio_Config *config)
{
    return config ? config->comment : nullptr;
}

int velkio_Config_getSynchronousAverage(const velkio_Config *config)
{
    return config ? config->synchronousAverage : 0;
}

const char *velkio_Config_getTSPpath(const velkio_Config *config)
{
    return config ? config->tspPath : nullptr;
}

int velkio_Config_getTSPoffset(const velkio_Config *config)
{
    return config ? config->tspOffset : 0;
}

int velkio_Config_getTSPLength(const velkio_Config *config)
{
    return config ? config->tspLength : 0;
}

int velkio_Config_getPeakSearchFrom(const velkio_Config *config)
{
    return config ? config->peakSearchFrom : 0;
}

int velkio_Config_getPeakSearchTo(const velkio_Config *config)
{
    return config ? config->peakSearchTo : 0;
}

int velkio_Config_getNfft(const velkio_Config *config)
{
    return config ? config->nfft : 0;
}

int velkio_Config_getSamplingRate(const velkio_Config *config)
{
    return config ? config->samplingRate : 0;
}

int velkio_Config_getSignalMax(const velkio_Config *config)
{
    return config ? config->signalMax : 0;
}

/* Setters: values are stored as given; the checkers judge them. */

int velkio_Config_setComment(velkio_Config *config, const char *comment)
{
    return config ? replaceText(&config->comment, comment) : 1;
}

int velkio_Config_setSynchronousAverage(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->synchronousAverage = value;
    return 0;
}

int velkio_Config_setTSPpath(velkio_Config *config, const char *path)
{
    return config ? replaceText(&config->tspPath, path) : 1;
}

int velkio_Config_setTSPoffset(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->tspOffset = value;
    return 0;
}

int velkio_Config_setTSPlength(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->tspLength = value;
    return 0;
}

int velkio_Config_setPeakSearchFrom(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->peakSearchFrom = value;
    return 0;
}

int velkio_Config_setPeakSearchTo(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->peakSearchTo = value;
    return 0;
}

int velkio_Config_setNfft(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->nfft = value;
    return 0;
}

int velkio_Config_setSamplingRate(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->samplingRate = value;
    return 0;
}

int velkio_Config_setSignalMax(velkio_Config *config, int value)
{
    if (config == nullptr)
        return 1;
    config->signalMax = value;
    return 0;
}
