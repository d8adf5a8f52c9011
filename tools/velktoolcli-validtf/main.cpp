// velktoolcli-validtf: checks a transfer-function archive and optionally
// prints a text or JSON summary of it.
#include <cstdio>
#include <cstdlib>

#include <popt.h>

#include "options.h"
#include "validtf.h"
#include "velkio.h"

namespace {

int showMode = 0;
int jsonMode = 0;
const char *logLevel = "E";

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
        {"show", 's', POPT_ARG_NONE, &showMode, 's', "Show details", NULL},
        {"json", 'j', POPT_ARG_NONE | POPT_ARGFLAG_DOC_HIDDEN, &jsonMode, 'j',
         "Show details (JSON)", NULL},
        VELKOPT_COMMON_ENTRIES(logLevel),
        POPT_TABLEEND};
    poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* tf_filename(zip)");
    if (argc < 2) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "argument error!!");
        help(ctx, 1);
    }
    int result = parseOptions(ctx);
    if (result == 0) {
        VELKIO_LOG(VELKIO_LOG_DEBUG, "-s=%s", showMode ? "true" : "false");
        const char *path = poptGetArg(ctx);
        if (path == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing tf_filename");
            result = 1;
        } else {
            result = validtf_checkArchive(path, showMode, jsonMode);
        }
    }
    poptFreeContext(ctx);
    return result;
}
