// The calctfimp subcommand.
#include "velktool.h"

int velktoolcli_calctfimp(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    VELKIO_LOG(VELKIO_LOG_ERROR, "calctfimp is not available in this build");
    return 1;
}
