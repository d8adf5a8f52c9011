// The calcsysimp subcommand.
#include "velktool.h"

int velktoolcli_calcsysimp(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    VELKIO_LOG(VELKIO_LOG_ERROR, "calcsysimp is not available in this build");
    return 1;
}
