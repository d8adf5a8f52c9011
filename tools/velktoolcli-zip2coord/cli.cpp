// velktoolcli-zip2coord: the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <popt.h>

#include "docout.h"
#include "options.h"
#include "velkio.h"
#include "zip2coord.h"

namespace {

const char *typeArg = "LOC";
const char *zAxisArg = "amp";
int ifftFlag = 0;
const char *logLevel = "E";

int tfType = Z2C_TF_LOC;
int zCode = Z2C_Z_AMPLITUDE;

/* The TF kind named by a --type value, or -1. */
int tfTypeFromText(const char *value)
{
    if (strcmp(value, "LOC") == 0 || strcmp(value, "loc") == 0)
        return Z2C_TF_LOC;
    if (strcmp(value, "SEP") == 0 || strcmp(value, "sep") == 0)
        return Z2C_TF_SEP;
    return -1;
}

/* The z code named by a --z_axis value, or -1. */
int zCodeFromText(const char *value)
{
    if (strcmp(value, "amp") == 0)
        return Z2C_Z_AMPLITUDE;
    if (strcmp(value, "db") == 0)
        return Z2C_Z_DECIBEL;
    if (strcmp(value, "phase") == 0)
        return Z2C_Z_PHASE;
    return -1;
}

/* Takes over a keyword value that popt just stored (a heap copy) into
 * *code; 0 when the value is known. */
int takeKeyword(const char **arg, int (*lookup)(const char *), int *code)
{
    int value = lookup(*arg);
    free(const_cast<char *>(*arg));
    *arg = "";
    if (value < 0)
        return 1;
    *code = value;
    return 0;
}

/* The keyword options; rc, or VELKOPT_REPORTED for an unknown keyword. */
int handleOption(poptContext ctx, int rc, void *)
{
    int bad = 0;
    if (rc == 't')
        bad = takeKeyword(&typeArg, tfTypeFromText, &tfType);
    else if (rc == 'z')
        bad = takeKeyword(&zAxisArg, zCodeFromText, &zCode);
    if (bad) {
        VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
        return VELKOPT_REPORTED;
    }
    return rc;
}

struct poptOption table[] = {
    {"type", 't', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &typeArg, 't',
     "Type of Transfer function", "LOC|SEP"},
    {"z_axis", 'z', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &zAxisArg, 'z',
     "Z_axis type", "amp|db|phase"},
    {"ifft", 'i', POPT_ARG_NONE, &ifftFlag, 'i', "Enable ifft (z_axis=real)", NULL},
    VELKOPT_COMMON_ENTRIES(logLevel),
    POPT_TABLEEND};

/* Loads the archive and writes its table; 0 on success. */
int convert(const char *input, const char *output)
{
    if (velkio_Output_check(output) || velk_outputIsInput(output, input))
        return 1;
    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(input, NULL);
    if (tf == NULL) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not read transfer function file [%s]", input);
        return 1;
    }
    int result = writeCoordinateFromTF(output, zCode, tf, tfType, ifftFlag);
    if (result == 0) {
        fputs("SUCCESS\n", stderr);
        if (output != NULL)
            fprintf(stderr, " output file : %s\n", output);
    }
    velkio_TransferFunction_delete(&tf);
    return result;
}

} // namespace

const velkopt_Program zip2coord_commandLine = {
    "velktoolcli-zip2coord", table, "[OPTIONS]* input_file(zip) [output_file(csv)]", help,
    handleOption, nullptr, VELKOPT_NEEDS_ARGUMENTS};

int zip2coord_main(int argc, const char **argv)
{
    poptContext ctx = velkopt_getContext(&zip2coord_commandLine, argc, argv);
    int result = velkopt_parse(ctx, &zip2coord_commandLine);
    if (result == 0) {
        const char *input = poptGetArg(ctx);
        if (input == NULL) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "missing input_file");
            result = 1;
        } else {
            result = convert(input, poptGetArg(ctx));
        }
    }
    poptFreeContext(ctx);
    return result;
}
