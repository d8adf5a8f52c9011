// velktoolcli-genposxml: writes a position list generated from a coordinate
// model (circle, ball, cylinder, grid).
#include "genposxml.h"

int main(int argc, char **argv)
{
    return velktoolcli_genposxml(argc, argv);
}
