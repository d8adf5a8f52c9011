// Path templates: {KEY:FORMAT} placeholders replaced by the model
// coordinates of one position.
#include "genposxml.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int MAX_PATH_LENGTH = PATH_BUFFER_SIZE - 1;

// One template key: the value it takes and whether it is a length that is
// written in thousandths (millimetres for metres).
struct TemplateKey {
    const char *name;
    float PathValues::*value;
    bool thousandths;
};

const TemplateKey templateKeys[] = {
    {"AZIMUTH", &PathValues::azimuth, false},
    {"ELEVATION", &PathValues::elevation, false},
    {"RADIUS", &PathValues::radius, false},
    {"HEIGHT", &PathValues::height, true},
    {"X_AXIS", &PathValues::x, true},
    {"Y_AXIS", &PathValues::y, true},
    {"Z_AXIS", &PathValues::z, true},
};

// Appends at most the space left in the path; the rest is cut off.
void appendBounded(char *out, size_t *used, const char *text, size_t length)
{
    size_t room = MAX_PATH_LENGTH - *used;
    if (length > room)
        length = room;
    memcpy(out + *used, text, length);
    *used += length;
    out[*used] = '\0';
}

// True when every run of digits in the format (flags, width, precision)
// stays within what a path can hold.
bool fieldNumbersFit(const char *format)
{
    long number = -1;
    for (const char *p = format;; p++) {
        if (*p >= '0' && *p <= '9') {
            if (number < 0)
                number = 0;
            number = number * 10 + (*p - '0');
            if (number > MAX_PATH_LENGTH)
                return false;
        } else {
            number = -1;
        }
        if (*p == '\0')
            return true;
    }
}

// The text a placeholder stands for: the value formatted, or the
// placeholder itself for an unknown key or a value the model does not set.
std::string expandPlaceholder(const std::string &key, const std::string &format,
                              const PathValues *values)
{
    char text[2 * PATH_BUFFER_SIZE];
    for (const TemplateKey &k : templateKeys) {
        if (key != k.name)
            continue;
        float value = values->*k.value;
        if (std::isnan(value))
            break;
        if (k.thousandths) {
            value = roundf(value * 1000.0f);
            // Whole numbers beyond the int range are already integral.
            if (fabsf(value) < 2147483648.0f)
                value = (float)(int)value;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = snprintf(text, sizeof text, format.c_str(), (double)value);
#pragma GCC diagnostic pop
        return n < 0 ? std::string() : std::string(text);
    }
    snprintf(text, sizeof text, "{%s:%s}", key.c_str(), format.c_str());
    return text;
}

} // namespace

int validateFormatStr(const char *format)
{
    if (format == nullptr || format[0] != '%')
        return 1;
    size_t length = strlen(format);
    size_t i = 1;
    while (i < length && strchr("0123456789-. +#", format[i]) != nullptr)
        i++;
    if (i + 1 != length || strchr("feEgG", format[i]) == nullptr)
        return 1;
    return fieldNumbersFit(format) ? 0 : 1;
}

int expandPathTemplate(const char *tmpl, const PathValues *values, char *out)
{
    out[0] = '\0';
    if (tmpl == nullptr || tmpl[0] == '\0')
        return PATH_TEMPLATE_OK;
    size_t length = strlen(tmpl);
    if (length > (size_t)MAX_PATH_LENGTH) {
        VELKIO_LOG(0, "path string error: template of %zu characters is longer "
                      "than %d", length, MAX_PATH_LENGTH);
        return PATH_TEMPLATE_TOO_LONG;
    }
    VELKIO_LOG(3, "input  length=%d", 8);
    VELKIO_LOG(3, "output length=%d", 8);
    char work[PATH_BUFFER_SIZE];
    memcpy(work, tmpl, length + 1);

    size_t used = 0;
    const char *cur = work;
    while (true) {
        const char *open = strchr(cur, '{');
        if (open == nullptr) {
            appendBounded(out, &used, cur, strlen(cur));
            return PATH_TEMPLATE_OK;
        }
        const char *colon = strchr(open, ':');
        const char *close = strchr(open, '}');
        if (colon == nullptr || close == nullptr || close < colon) {
            VELKIO_LOG(0, "path string error: invalid after '{'");
            VELKIO_LOG(0, "%s", open);
            out[0] = '\0';
            return PATH_TEMPLATE_BAD_BRACE;
        }
        std::string key(open + 1, colon);
        std::string format(colon + 1, close);
        if (validateFormatStr(format.c_str()) != 0) {
            VELKIO_LOG(0, "path string error: invalid format string");
            VELKIO_LOG(0, "%s", format.c_str());
            out[0] = '\0';
            return PATH_TEMPLATE_BAD_FORMAT;
        }
        appendBounded(out, &used, cur, (size_t)(open - cur));
        std::string expansion = expandPlaceholder(key, format, values);
        appendBounded(out, &used, expansion.data(), expansion.size());
        cur = close + 1;
        if (*cur == '\0')
            return PATH_TEMPLATE_OK;
    }
}
