// Fuzz target: the list parsers of command-line values.  The first byte
// picks the parser (--searchoffset and --outchannellist of calcsysimp,
// --channels of genposxml, --peak of genconfig); the rest, up to a zero
// byte, is the option value.  Each parser must keep its documented result
// shape: ordered non-negative bounds, channels below 64.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "genconfig.h"
#include "genposxml.h"
#include "velktool.h"

namespace {

void checkSearchOffset(const char *text)
{
    int from = -7, to = -7;
    if (velktool_parseSearchOffset(text, &from, &to) == 0 && (from < 0 || from > to))
        abort();
}

void checkOutChannelList(const char *text)
{
    char flags[VELKTOOL_MAX_CHANNELS];
    memset(flags, 2, sizeof flags);
    if (velktool_parseChannelList(text, flags) == 0) {
        for (char f : flags)
            if (f != 0 && f != 1)
                abort();
    } else {
        for (char f : flags)
            if (f != 2)
                abort(); // a refused list leaves the flags alone
    }
}

void checkChannels(const char *text)
{
    ChannelSelection selection;
    memset(&selection, 0xff, sizeof selection);
    int rc = parseChannelList(text, &selection);
    if (selection.count < 0 || selection.count > MAX_CHANNELS)
        abort();
    if (rc != 0 && selection.count != 0)
        abort();
    for (int i = 0; i < selection.count; i++) {
        int c = selection.list[i];
        if (c < 0 || c >= MAX_CHANNELS || selection.flags[c] != 1 ||
            (i > 0 && selection.list[i - 1] >= c))
            abort();
    }
}

void checkPeak(const char *text)
{
    int from = -7, to = -7;
    parsePeakRange(text, &from, &to);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    std::string text((const char *)data + 1, size - 1);
    const char *value = text.c_str(); // stops at the first zero byte
    switch (data[0] % 4) {
    case 0: checkSearchOffset(value); break;
    case 1: checkOutChannelList(value); break;
    case 2: checkChannels(value); break;
    default: checkPeak(value); break;
    }
    return 0;
}
