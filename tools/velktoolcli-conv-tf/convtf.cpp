// Legacy transfer-function converter (see convtf.h).
#include "convtf.h"

#include <cstdio>
#include <cstdlib>

#include "docout.h"
#include "options.h"

namespace {

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-conv-tf\n",
                  "  This command converts transfer function files in libvelkio2-style\n"
                  "  format to a new libvelkio3-style format.\n"
                  "  This command takes an old-style transfer function for localization\n"
                  "  and/or one for separation. Then, it generastes a new-style file\n"
                  "  format in zip files. If both transfer functions for localization\n"
                  "  and separation are given, the command generates one zip file that\n"
                  "  contains both two transfer functions.\n"
                  "\n"
                  "  If only a transfer function for localization is given, the\n"
                  "  generated zip file has .mat files in its localization/ directory,\n"
                  "  and the separation/ directory is empty. If both transfer functions\n"
                  "  are given, both localization/ and separation/ directories have\n"
                  "  corresponding .mat files.\n",
                  NULL);
}

// The option values; popt allocates the strings.
struct Options {
    const char *locPath = nullptr;
    const char *sepPath = nullptr;
    const char *outputPath = nullptr;
    const char *logLevel = "E";
};

Options opt;

struct poptOption table[] = {
    {"localization", 'l', POPT_ARG_STRING, &opt.locPath, 'l',
     "Localization transfer file(Binary)", NULL},
    {"separation", 's', POPT_ARG_STRING, &opt.sepPath, 's',
     "Separation transfer file(Binary)", NULL},
    {"output", 'o', POPT_ARG_STRING | POPT_ARGFLAG_DOC_HIDDEN, &opt.outputPath, 'o',
     "Output transfer file(zip)", NULL},
    VELKOPT_COMMON_ENTRIES(opt.logLevel),
    POPT_TABLEEND};

/* Names the inputs on standard output; 1 when there is none. */
int announceInputs(const Options &opt)
{
    if (opt.locPath != nullptr)
        printf("loctfpath=%s\n", opt.locPath);
    if (opt.sepPath != nullptr)
        printf("septfpath=%s\n", opt.sepPath);
    fflush(stdout);
    if (opt.locPath == nullptr && opt.sepPath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "one of -l or -s is needed at least");
        return 1;
    }
    return 0;
}

int convert(poptContext ctx, const Options &opt)
{
    if (announceInputs(opt) != 0)
        return 1;
    velkio_TransferFunction *tf =
        velkio_Compat_TransferFunction_readlibvelkio2(opt.locPath, opt.sepPath);
    if (tf == nullptr) {
        velkio_TransferFunction_delete(&tf);
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Compat_TransferFunction_readlibvelkio2 error");
        return 1;
    }
    const char *outputPath = nullptr;
    int result = convtf_outputPath(ctx, opt.outputPath, &outputPath);
    if (result == 0 && (velkio_Output_check(outputPath) ||
                        velk_outputIsInput(outputPath, opt.locPath) ||
                        velk_outputIsInput(outputPath, opt.sepPath)))
        result = 1;
    if (result == 0)
        result = convtf_writeArchive(tf, outputPath);
    velkio_TransferFunction_delete(&tf);
    return result;
}

} // namespace

int convtf_outputPath(poptContext ctx, const char *option, const char **path)
{
    const char *positional = poptGetArg(ctx);
    if (positional != nullptr && option != nullptr) {
        VELKOPT_LOG_POPT_ERROR(ctx, POPT_ERROR_BADOPERATION);
        return 1;
    }
    if (positional == nullptr && option == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing outputfile");
        return 1;
    }
    *path = positional != nullptr ? positional : option;
    return 0;
}

int convtf_writeArchive(const velkio_TransferFunction *tf, const char *path)
{
    // The library replaces the target only with a complete archive; a
    // failed write must not be reported as a success.
    if (velkio_TransferFunction_write(tf, path, "transfer function") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write output file [%s]", path);
        return 1;
    }
    fputs("SUCCESS\n", stderr);
    fprintf(stderr, " output file : %s\n", path);
    return 0;
}

const velkopt_Program convtf_commandLine = {
    "velktoolcli-conv-tf", table, "[OPTIONS]* outputfile(zip)", help, nullptr, nullptr,
    VELKOPT_NEEDS_ARGUMENTS};

int convtf_main(int argc, const char **argv)
{
    opt = Options();
    poptContext ctx = velkopt_getContext(&convtf_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &convtf_commandLine);
    if (result == 0)
        result = convert(ctx, opt);
    poptFreeContext(ctx);
    free(const_cast<char *>(opt.locPath));
    free(const_cast<char *>(opt.sepPath));
    free(const_cast<char *>(opt.outputPath));
    return result;
}
