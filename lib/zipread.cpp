// Reading one member of a zip archive (see zipread.h): the library's
// bounded reader under the limit of XML documents.
#include "zipread.h"

#include "velkio.h"

int as_zip_fread(zip_t *archive, const char *name, char **content)
{
    *content = nullptr;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(archive, name, 0, &st) != 0) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "zip_stat error (%s)", 0, "as_zip_fread",
                           __LINE__, zip_strerror(archive));
        return 1;
    }
    unsigned char *data = nullptr;
    if (velkio_Archive_readMember(archive, nullptr, name, VELKIO_MEMBER_XML, &data,
                                  nullptr) != 0)
        return 1;
    *content = (char *)data;
    return 0;
}
