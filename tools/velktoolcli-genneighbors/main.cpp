// velktoolcli-genneighbors: reads a position document, adds the neighbour
// lists of its positions and writes it to a file or to standard output.
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

} // namespace

int main(int argc, const char **argv)
{
    struct poptOption table[] = {
        {"algorithm", 'a', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &algorithm,
         'a', "Algorithms (1:NearestNeighbor)", NULL},
        {"num-max", 'n', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &numMax, 'n',
         "Maximum number of neighbors", NULL},
        {"threshold", 't', POPT_ARG_FLOAT | POPT_ARGFLAG_SHOW_DEFAULT,
         &threshold, 't', "Threshold for neighbor decision", NULL},
        VELKOPT_COMMON_ENTRIES(logLevel),
        POPT_TABLEEND};
    poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
    poptSetOtherOptionHelp(ctx, "[OPTIONS]* input_filename [output_filename]");
    if (argc < 2) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "argument error!!");
        help(ctx, 1);
    }
    int result = parseOptions(ctx);
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
