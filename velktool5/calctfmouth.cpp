// The calctfmouth subcommand.
#include "velktool.h"

int velktoolcli_calctfmouth(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    VELKIO_LOG(VELKIO_LOG_ERROR, "calctfmouth is not available in this build");
    return 1;
}
