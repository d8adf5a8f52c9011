// velktoolcli-genneighbors: reads a position document, adds the neighbour
// lists of its positions and writes it to a file or to standard output.
#include "genneighbors.h"

int main(int argc, const char **argv)
{
    return genneighbors_main(argc, argv);
}
