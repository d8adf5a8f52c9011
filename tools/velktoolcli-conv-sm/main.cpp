// velktoolcli-conv-sm: a legacy binary separation matrix into an archive.
#include "convsm.h"

int main(int argc, const char **argv)
{
    return convsm_main(argc, argv);
}
