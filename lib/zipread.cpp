// Reading one member of a zip archive (see zipread.h).
#include "zipread.h"

#include <cstdint>
#include <cstdlib>

#include "velkio.h"

#define ZIPREAD_LOG(fmt, ...)                                          \
    velkio_Log_printf_(VELKIO_LOG_ERROR, fmt, 0, "as_zip_fread", __LINE__, \
                       ##__VA_ARGS__)

int as_zip_fread(zip_t *archive, const char *name, char **content)
{
    *content = nullptr;

    zip_stat_t st;
    zip_stat_init(&st);
    // The size reported is the uncompressed one whatever the flags.
    if (zip_stat(archive, name, ZIP_FL_COMPRESSED, &st) != 0) {
        ZIPREAD_LOG("zip_stat error (%s)", zip_strerror(archive));
        return 1;
    }
    zip_uint64_t size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;

    if (size < SIZE_MAX)
        *content = (char *)calloc((size_t)size + 1, 1);
    if (*content == nullptr) {
        ZIPREAD_LOG("memory allocate error");
        return 1;
    }

    zip_file_t *member = zip_fopen(archive, name, 0);
    if (member == nullptr) {
        ZIPREAD_LOG("zip_fopen error (%s)", zip_strerror(archive));
        free(*content);
        *content = nullptr;
        return 1;
    }

    // A member shorter than its directory entry says is as bad as a read
    // error: the caller would otherwise get truncated data.
    int result = 0;
    zip_int64_t got = zip_fread(member, *content, size);
    if (got < 0) {
        ZIPREAD_LOG("zip_fread error (%s)", zip_file_strerror(member));
        result = 1;
    } else if ((zip_uint64_t)got != size) {
        ZIPREAD_LOG("zip_fread error (%s)", "short read");
        result = 1;
    }
    zip_fclose(member);
    if (result != 0) {
        free(*content);
        *content = nullptr;
    }
    return result;
}
