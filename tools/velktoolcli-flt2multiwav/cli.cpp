// velktoolcli-flt2multiwav: the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <popt.h>

#include "flt2multiwav.h"
#include "options.h"
#include "velkio.h"

namespace {

const char *listArg = NULL;
const char *logLevel = "E";

/* The input names, from the list file or the remaining arguments; 0 when
 * there is at least one. */
int collectInputs(poptContext ctx, std::vector<std::string> *inputs)
{
    if (listArg != NULL) {
        if (poptPeekArg(ctx) != NULL) {
            VELKOPT_LOG_POPT_ERROR(ctx, POPT_ERROR_BADOPERATION);
            return 1;
        }
        if (readListFile(listArg, inputs) != 0)
            return 1;
    } else {
        const char *arg;
        while ((arg = poptGetArg(ctx)) != NULL)
            inputs->push_back(arg);
        if (inputs->size() > FLT2WAV_MAX_CHANNELS)
            VELKIO_LOG(VELKIO_LOG_WARNING, "number of channes too large. channel max = %d",
                       FLT2WAV_MAX_CHANNELS);
    }
    if (inputs->empty()) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing input_raw_files");
        return 1;
    }
    return 0;
}

struct poptOption table[] = {
    {"list", 'l', POPT_ARG_STRING, &listArg, 'l', "Input_raw_listfilename (ex. list.txt)",
     NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program flt2multiwav_commandLine = {
    "velktoolcli-flt2multiwav", table,
    "[OPTIONS]* output_wav_filename [input_raw_filename1 filename2 ...]", help, nullptr,
    nullptr, VELKOPT_NEEDS_ARGUMENTS};

int flt2multiwav_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&flt2multiwav_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &flt2multiwav_commandLine);
    if (result == 0) {
        const char *output = poptGetArg(ctx);
        std::vector<std::string> inputs;
        if (output == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing output_wav_filename");
            result = 1;
        } else if ((result = collectInputs(ctx, &inputs)) == 0) {
            result = flt2multiwav_convert(output, inputs);
        }
    }
    poptFreeContext(ctx);
    return result;
}
