// velktoolcli-genneighbors: the command line.
#include <cstdio>

#include <popt.h>

#include "docout.h"
#include "genneighbors.h"
#include "options.h"
#include "velkio.h"

namespace {

int algorithm = GENNEIGHBORS_NEAREST;
int numMax = 3;
float threshold = 0.5f;
const char *logLevel = "E";

void help(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-genneighbors\n",
                  "  The command creates an xml file that contains\n"
                  "  neighbors tag of xml file.\n",
                  "   -n and -t are options for -a 1\n");
}

/* Reads the input document; null (reported) when it cannot be read or
 * holds no positions. */
velkio_XML *readInput(const char *path)
{
    velkio_XML *doc = velkio_XML_newFromXML(path, "");
    if (doc == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not read xml file [%s]", path);
        return nullptr;
    }
    if (doc->poses == nullptr || doc->poses->count <= 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "no positions in xml file [%s]", path);
        velkio_XML_delete(&doc);
        return nullptr;
    }
    return doc;
}

int generate(const char *inputPath, const char *outputPath)
{
    if (velkio_Output_check(outputPath) || velk_outputIsInput(outputPath, inputPath))
        return 1;
    velkio_XML *doc = readInput(inputPath);
    if (doc == nullptr)
        return 1;
    int result = genneighbors_addNeighbors(doc, algorithm, numMax, threshold);
    if (result == 0)
        result = genneighbors_writeDocument(doc, outputPath);
    velkio_XML_delete(&doc);
    if (result != 0)
        return result;
    VELKIO_LOG(VELKIO_LOG_DEBUG, "XML file created");
    fputs("SUCCESS\n", stderr);
    if (outputPath != nullptr)
        fprintf(stderr, " output file : %s\n", outputPath);
    return 0;
}

struct poptOption table[] = {
    {"algorithm", 'a', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &algorithm,
     'a', "Algorithms (1:NearestNeighbor)", NULL},
    {"num-max", 'n', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &numMax, 'n',
     "Maximum number of neighbors", NULL},
    {"threshold", 't', POPT_ARG_FLOAT | POPT_ARGFLAG_SHOW_DEFAULT,
     &threshold, 't', "Threshold for neighbor decision", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

} // namespace

const velkopt_Program genneighbors_commandLine = {
    "velktoolcli-genneighbors", table, "[OPTIONS]* input_filename [output_filename]",
    help, nullptr, nullptr, VELKOPT_NEEDS_ARGUMENTS};

int genneighbors_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&genneighbors_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &genneighbors_commandLine);
    if (result == 0) {
        const char *inputPath = poptGetArg(ctx);
        const char *outputPath = poptGetArg(ctx);
        if (inputPath == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing input_filename");
            result = 1;
        } else {
            result = generate(inputPath, outputPath);
        }
    }
    poptFreeContext(ctx);
    return result;
}
