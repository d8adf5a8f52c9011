// Reading one member of a zip archive, shared by the velk programs.
#ifndef VELK_LIB_ZIPREAD_H
#define VELK_LIB_ZIPREAD_H

#include <zip.h>

/* Reads the whole member `name` of the open archive into a new malloc'd,
 * zero-terminated buffer stored in *content (the caller frees it), under
 * the size limit of XML documents and to its end, so that its checksum
 * is verified (velkio_Archive_readMember).  Returns 0 on success; 1 on
 * failure, with a level-0 message and *content null. */
int as_zip_fread(zip_t *archive, const char *name, char **content);

#endif /* VELK_LIB_ZIPREAD_H */
