// Complete-or-nothing output of documents and texts.
#include "docout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

int velk_writeText(const char *text, size_t length, const char *path,
                   const char *openFailure)
{
    if (path == nullptr) {
        if (fwrite(text, 1, length, stdout) != length || fflush(stdout) != 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "write error on standard output: %s",
                       strerror(errno));
            return 1;
        }
        return 0;
    }
    velkio_Output *out = velkio_Output_open(path);
    if (out == nullptr) {
        if (openFailure == nullptr)
            velkio_Log_FileOpenFailed(path);
        else
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s", openFailure);
        return 1;
    }
    velkio_Output_write(out, text, length);
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "write error [%s]: %s", path, strerror(errno));
        return 1;
    }
    return 0;
}

namespace {

/* Whether the XML readers accept the text: at most VELKIO_XML_MAX_BYTES
 * bytes and VELKIO_XML_MAX_ITEMS elements and attributes.  Every element
 * begins with a '<' that no '/', '?' or '!' follows, and every attribute
 * has an '=', so a text with no more of these marks is accepted; a text
 * with more (an '=' in a path, say) is read back to decide. */
bool readersAccept(const char *text, int length)
{
    if (length > VELKIO_XML_MAX_BYTES)
        return false;
    long marks = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] == '=')
            marks++;
        else if (text[i] == '<' && i + 1 < length && strchr("/?!", text[i + 1]) == nullptr)
            marks++;
    }
    if (marks <= VELKIO_XML_MAX_ITEMS)
        return true;
    velkio_XML *back = velkio_XML_newFromXMLbuffer(text, length, "");
    bool accepted = back != nullptr;
    velkio_XML_delete(&back);
    return accepted;
}

} // namespace

int velk_writeDocument(const velkio_XML *doc, const char *path,
                       const char *openFailure)
{
    int length = 0;
    char *text = velkio_XML_toString(doc, &length);
    if (text == nullptr || length < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not create the XML text");
        free(text);
        return 1;
    }
    int rc = 1;
    if (!readersAccept(text, length))
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "[%s] not written: the document would be larger than the XML readers "
                   "accept (%d bytes, %d elements and attributes)",
                   path != nullptr ? path : "standard output", VELKIO_XML_MAX_BYTES,
                   VELKIO_XML_MAX_ITEMS);
    else
        rc = velk_writeText(text, (size_t)length, path, openFailure);
    free(text);
    return rc;
}

int velk_outputIsInput(const char *output, const char *input)
{
    struct stat out, in;
    if (output == nullptr || input == nullptr || stat(output, &out) != 0 ||
        stat(input, &in) != 0 || out.st_dev != in.st_dev || out.st_ino != in.st_ino)
        return 0;
    VELKIO_LOG(VELKIO_LOG_ERROR, "output file [%s] is the input file [%s]", output, input);
    return 1;
}
