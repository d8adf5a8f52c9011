// Fuzz target: path-template expansion.  The first byte picks the values
// of a position (ordinary, not given, huge or negative); the rest, up to a
// zero byte, is the template.  The expansion must fit the path buffer and
// be empty after a failure.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "genposxml.h"

namespace {

PathValues valuesFor(uint8_t pick)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    switch (pick % 5) {
    case 0: return {30.0f, -15.0f, 0.5f, 1.5f, 0.25f, -1.0f, 2.0f};
    case 1: return {nan, nan, nan, nan, nan, nan, nan};
    case 2: return {3.0e38f, -3.0e38f, 1.0e30f, 1.0e-38f, 1.0e20f, -1.0e20f, 7.0e37f};
    case 3: return {INFINITY, -INFINITY, nan, 0.0f, -0.0f, 1.0f, -1.0f};
    default: return {-359.5f, -90.0f, -0.001f, 0.0f, -12.75f, 99999.0f, -0.5f};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 3 * PATH_BUFFER_SIZE)
        return 0;
    PathValues values = valuesFor(data[0]);
    std::string tmpl((const char *)data + 1, size - 1);
    tmpl.resize(strlen(tmpl.c_str()));

    validateFormatStr(tmpl.c_str());
    char *out = (char *)malloc(PATH_BUFFER_SIZE);
    memset(out, 'x', PATH_BUFFER_SIZE);
    int rc = expandPathTemplate(tmpl.c_str(), &values, out);
    if (memchr(out, '\0', PATH_BUFFER_SIZE) == nullptr)
        abort(); // the expansion must be a terminated text inside the buffer
    if (rc != PATH_TEMPLATE_OK && out[0] != '\0')
        abort(); // a failed expansion leaves an empty path
    free(out);
    return 0;
}
