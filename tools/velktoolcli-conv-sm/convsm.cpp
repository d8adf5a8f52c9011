// Legacy separation-matrix converter (see convsm.h).
#include "convsm.h"

#include <cstdio>

#include <popt.h>

#include "docout.h"
#include "options.h"

namespace {

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-conv-sm\n",
                  "  Convert the old file separation matrix\n",
                  "\n"
                  "Arguments:\n"
                  "  sepmatfile  Separation matrix file               (e.g., mat.tff)\n"
                  "  septffile   Corresponding transfer function file (e.g., sep.zip)\n"
                  "  outputfile  Output separation matrix file        (e.g., out.zip)\n");
}

const char *logLevel = "E";

struct poptOption table[] = {VELKOPT_COMMON_ENTRIES(logLevel), POPT_TABLEEND};

/* The two input paths, named on standard output.  A missing matrix file
 * is reported together with a missing archive. */
int inputPaths(poptContext ctx, const char **matrixPath, const char **archivePath)
{
    *matrixPath = poptGetArg(ctx);
    if (*matrixPath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing sepmatfile(binary)");
    } else {
        printf("sepmatpath=%s\n", *matrixPath);
        fflush(stdout);
    }
    *archivePath = poptGetArg(ctx);
    if (*archivePath == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing septffile(zip)");
        return 1;
    }
    if (*matrixPath == nullptr)
        return 1;
    printf("septfpath=%s\n", *archivePath);
    fflush(stdout);
    return 0;
}

int convert(poptContext ctx)
{
    const char *matrixPath = nullptr, *archivePath = nullptr;
    if (inputPaths(ctx, &matrixPath, &archivePath) != 0)
        return 1;
    velkio_TransferFunction *tf =
        velkio_Compat_SeparationMatrix_readlibvelkio2(matrixPath, archivePath);
    if (tf == nullptr) {
        velkio_TransferFunction_delete(&tf);
        VELKIO_LOG(VELKIO_LOG_ERROR, "velkio_Compat_SeparationMatrix_readlibvelkio2 error");
        return 1;
    }
    // The inputs are read before the output path is looked at.
    const char *outputPath = poptGetArg(ctx);
    int result = 1;
    if (outputPath == nullptr)
        VELKIO_LOG(VELKIO_LOG_ERROR, "missing outputfile(zip)");
    else if (!velkio_Output_check(outputPath) && !velk_outputIsInput(outputPath, matrixPath) &&
             !velk_outputIsInput(outputPath, archivePath))
        result = convsm_writeArchive(tf, outputPath);
    velkio_TransferFunction_delete(&tf);
    return result;
}

} // namespace

int convsm_writeArchive(const velkio_TransferFunction *tf, const char *path)
{
    // The library replaces the target only with a complete archive; a
    // failed write must not be reported as a success.
    if (velkio_TransferFunction_write(tf, path, "separation matrix") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not write output file [%s]", path);
        return 1;
    }
    fputs("SUCCESS\n", stderr);
    fprintf(stderr, " output file : %s\n", path);
    return 0;
}

const velkopt_Program convsm_commandLine = {
    "velktoolcli-conv-sm", table,
    "[OPTIONS]* sepmatfile(binary) septffile(zip) outputfile(zip)", help, nullptr, nullptr,
    VELKOPT_NEEDS_ARGUMENTS};

int convsm_main(int argc, const char **argv)
{
    logLevel = "E";
    poptContext ctx = velkopt_getContext(&convsm_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &convsm_commandLine);
    if (result == 0)
        result = convert(ctx);
    poptFreeContext(ctx);
    return result;
}
