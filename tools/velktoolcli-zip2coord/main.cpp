// velktoolcli-zip2coord: writes the transfer functions of an archive as a
// CSV table of coordinates for plotting.
#include "zip2coord.h"

int main(int argc, const char **argv)
{
    return zip2coord_main(argc, argv);
}
