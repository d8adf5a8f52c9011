// velktoolcli-validxml: the command line.
#include <cstdio>
#include <cstdlib>

#include <popt.h>

#include "options.h"
#include "validxml.h"
#include "velkio.h"

namespace {

int micMode = 0;
int srcMode = 0;
int jsonMode = 0;
const char *logLevel = "E";

/* Runs the check of the selected mode on the document named on the
 * command line; 0 when it is valid. */
int checkFile(const char *path)
{
    velkio_XML *doc = velkio_XML_newFromXML(path, "");
    int result;
    if (micMode)
        result = validateAsPositionXml(VALIDXML_KIND_MICROPHONE, doc);
    else if (srcMode)
        result = validateAsPositionXml(VALIDXML_KIND_SOURCE, doc);
    else
        result = validate_velkxml(doc);
    if (result == 0 && jsonMode) {
        validxml_printJson(stdout, doc);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "write error on standard output");
            result = 1;
        }
    }
    velkio_XML_delete(&doc);
    return result;
}

struct poptOption table[] = {
    {"mic", 'm', POPT_ARG_NONE, &micMode, 'm',
     "Check for microphone positions", NULL},
    {"src", 's', POPT_ARG_NONE, &srcMode, 's',
     "Check for source (soundsource,tsp,impulse) positions", NULL},
    {"json", 'j', POPT_ARG_NONE | POPT_ARGFLAG_DOC_HIDDEN, &jsonMode, 'j',
     "Show info (JSON)", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program validxml_commandLine = {
    "velktoolcli-validxml", table, "[OPTIONS]* filename(xml)", help, nullptr,
    nullptr, VELKOPT_NEEDS_ARGUMENTS};

int validxml_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&validxml_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &validxml_commandLine);
    if (result == 0) {
        const char *path = poptGetArg(ctx);
        if (path == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing filename");
            result = 1;
        } else {
            result = checkFile(path);
        }
    }
    poptFreeContext(ctx);
    return result;
}
