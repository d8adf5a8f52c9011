// velktoolcli-genconfig: writes the configuration document of a measurement.
#include "genconfig.h"

int main(int argc, char **argv)
{
    return velktoolcli_genconfig(argc, argv);
}
