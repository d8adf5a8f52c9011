// Fuzz target: the XML document loader.  A document that loads must be
// written back into a text that loads again, and the document checker must
// cope with whatever the loader accepted.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "validxml.h"
#include "velkio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    velkio_XML *doc = velkio_XML_newFromXMLbuffer((const char *)data, (int)size, nullptr);
    if (doc == nullptr)
        return 0;
    char report[VALIDXML_REPORT_SIZE];
    validxml_fullReport(doc, report);
    for (int kind : {0, 4}) {
        char *text = nullptr;
        validxml_positionReport(kind, doc, &text);
        free(text);
    }
    static FILE *sink = fopen("/dev/null", "w");
    if (sink != nullptr)
        validxml_printJson(sink, doc);
    int length = 0;
    char *text = velkio_XML_toString(doc, &length);
    if (text == nullptr)
        abort(); // a loaded document must be writable
    velkio_XML *again = velkio_XML_newFromXMLbuffer(text, length, nullptr);
    if (again == nullptr)
        abort(); // and what was written must load again
    velkio_XML_delete(&again);
    free(text);
    velkio_XML_delete(&doc);
    return 0;
}
