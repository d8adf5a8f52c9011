// velktoolcli-validtf: the command line.
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

struct poptOption table[] = {
    {"show", 's', POPT_ARG_NONE, &showMode, 's', "Show details", NULL},
    {"json", 'j', POPT_ARG_NONE | POPT_ARGFLAG_DOC_HIDDEN, &jsonMode, 'j',
     "Show details (JSON)", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program validtf_commandLine = {
    "velktoolcli-validtf", table, "[OPTIONS]* tf_filename(zip)", help, nullptr,
    nullptr, VELKOPT_NEEDS_ARGUMENTS};

int validtf_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&validtf_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &validtf_commandLine);
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
