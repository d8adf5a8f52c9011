// velktoolcli-mergexmls: joins the positions, neighbour and configuration
// sections of several documents into one, written to a file or to
// standard output.
#include "mergexmls.h"

int main(int argc, const char **argv)
{
    return mergexmls_main(argc, argv);
}
