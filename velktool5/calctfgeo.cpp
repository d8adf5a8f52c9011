// The calctfgeo subcommand.
#include "velktool.h"

int velktoolcli_calctfgeo(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    VELKIO_LOG(VELKIO_LOG_ERROR, "calctfgeo is not available in this build");
    return 1;
}
