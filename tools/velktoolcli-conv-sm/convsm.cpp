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

/* The option loop; 0 when every option was accepted. */
int parseOptions(poptContext ctx, const char *const *logLevel)
{
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        velkopt_handleCommon(ctx, rc, *logLevel, help);
        hasParsedOpt = 1;
    }
    if (rc < -1) {
        VELKOPT_LOG_POPT_ERROR(ctx, rc);
        return 1;
    }
    return 0;
}

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

int convsm_main(int argc, const char **argv)
{
    const char *logLevel = "E";
    struct poptOption table[] = {VELKOPT_COMMON_ENTRIES(logLevel), POPT_TABLEEND};
    hasParsedOpt = 0;
    poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* sepmatfile(binary) septffile(zip) outputfile(zip)");
    if (argc < 2) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "argument error!!");
        help(ctx, 1);
    }
    int result = parseOptions(ctx, &logLevel);
    if (result == 0)
        result = convert(ctx);
    poptFreeContext(ctx);
    return result;
}
