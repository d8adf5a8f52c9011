// velktoolcli-validxml: checks one velk_xml document (full document,
// microphone list or source list) and optionally prints a JSON summary.
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

/* The option loop; 0 when every option was accepted. */
int parseOptions(poptContext ctx)
{
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        velkopt_handleCommon(ctx, rc, logLevel, help);
        hasParsedOpt = 1;
    }
    if (rc < -1) {
        VELKOPT_LOG_POPT_ERROR(ctx, rc);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, const char **argv)
{
    struct poptOption table[] = {
        {"mic", 'm', POPT_ARG_NONE, &micMode, 'm',
         "Check for microphone positions", NULL},
        {"src", 's', POPT_ARG_NONE, &srcMode, 's',
         "Check for source (soundsource,tsp,impulse) positions", NULL},
        {"json", 'j', POPT_ARG_NONE | POPT_ARGFLAG_DOC_HIDDEN, &jsonMode, 'j',
         "Show info (JSON)", NULL},
        VELKOPT_COMMON_ENTRIES(logLevel),
        POPT_TABLEEND};
    poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* filename(xml)");
    if (argc < 2) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "argument error!!");
        help(ctx, 1);
    }
    int result = parseOptions(ctx);
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
