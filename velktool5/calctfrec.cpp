// The calctfrec subcommand.
#include "velktool.h"

int velktoolcli_calctfrec(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    VELKIO_LOG(VELKIO_LOG_ERROR, "calctfrec is not available in this build");
    return 1;
}
