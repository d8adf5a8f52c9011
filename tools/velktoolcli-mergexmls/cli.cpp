// velktoolcli-mergexmls: the command line.
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

/* A repeated --output replaces the earlier copy, which is released. */
int handleOption(poptContext, int rc, void *)
{
    if (rc == 'o') {
        free(givenOutputPath);
        givenOutputPath = const_cast<char *>(outputPath);
    }
    return rc;
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

struct poptOption table[] = {
    {"output", 'o', POPT_ARG_STRING, &outputPath, 'o',
     "Output file name (with\u00a0no\u00a0output\u00a0file,\u00a0write"
     "\u00a0result\u00a0into\u00a0stdout)",
     NULL},
    {"last", 'l', POPT_ARG_NONE, &useLast, 'l',
     "Use the last argument specified when the nodes are duplicated", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program mergexmls_commandLine = {
    "velktoolcli-mergexmls", table, "[OPTIONS]* infile1 infile2 ...", help,
    handleOption, nullptr, VELKOPT_NEEDS_ARGUMENTS};

int mergexmls_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&mergexmls_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &mergexmls_commandLine);
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
