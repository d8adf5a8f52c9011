// velktoolcli-mergexmls: joins the positions, neighbour and configuration
// sections of several documents into one, written to a file or to
// standard output.
#include <cstdio>
#include <cstdlib>

#include <popt.h>

#include "docout.h"
#include "mergexmls.h"
#include "options.h"
#include "velkio.h"

namespace {

const char *outputPath = NULL;
char *givenOutputPath = NULL; // popt's copy, which the program releases
int useLast = 0;
const char *logLevel = "E";

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-mergexmls\n",
                  "   merge multiple xml files\n", NULL);
}

/* The option loop; 0 when every option was accepted. */
int parseOptions(poptContext ctx)
{
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        if (rc == 'o') { // a repeated --output replaces the earlier copy
            free(givenOutputPath);
            givenOutputPath = const_cast<char *>(outputPath);
        }
        velkopt_handleCommon(ctx, rc, logLevel, help);
        hasParsedOpt = 1;
    }
    if (rc < -1) {
        VELKOPT_LOG_POPT_ERROR(ctx, rc);
        return 1;
    }
    return 0;
}

/* Reads one input and adds its sections to the merged document. */
int mergeFile(velkio_XML *merged, const char *path)
{
    velkio_XML *input = velkio_XML_newFromXML(path, "");
    if (input == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not read xml file [%s]", path);
        return 1;
    }
    int result = mergexmls_addDocument(merged, input, useLast);
    velkio_XML_delete(&input);
    return result;
}

/* Merges every input in command-line order; the output is written only
 * when all of them were merged. */
int merge(const char **paths)
{
    velkio_XML *merged = velkio_XML_new();
    if (merged == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "memory allocate error");
        return 1;
    }
    int result = velkio_Output_check(outputPath);
    for (int i = 0; paths[i] != nullptr && result == 0; i++)
        result = velk_outputIsInput(outputPath, paths[i]);
    for (int i = 0; paths[i] != nullptr && result == 0; i++)
        result = mergeFile(merged, paths[i]);
    if (result == 0)
        result = mergexmls_writeDocument(merged, outputPath);
    velkio_XML_delete(&merged);
    if (result != 0)
        return result;
    fputs("SUCCESS\n", stderr);
    if (outputPath != nullptr)
        fprintf(stderr, " output file : %s\n", outputPath);
    return 0;
}

} // namespace

int main(int argc, const char **argv)
{
    struct poptOption table[] = {
        {"output", 'o', POPT_ARG_STRING, &outputPath, 'o',
         "Output file name (with\u00a0no\u00a0output\u00a0file,\u00a0write"
         "\u00a0result\u00a0into\u00a0stdout)",
         NULL},
        {"last", 'l', POPT_ARG_NONE, &useLast, 'l',
         "Use the last argument specified when the nodes are duplicated", NULL},
        VELKOPT_COMMON_ENTRIES(logLevel),
        POPT_TABLEEND};
    poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* infile1 infile2 ...");
    if (argc < 2) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "argument error!!");
        help(ctx, 1);
    }
    int result = parseOptions(ctx);
    if (result == 0) {
        const char **paths = poptGetArgs(ctx);
        if (paths == NULL || paths[0] == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing infiles");
            result = 1;
        } else {
            result = merge(paths);
        }
    }
    poptFreeContext(ctx);
    free(givenOutputPath);
    return result;
}
