// velktoolcli-conv-tf: legacy binary transfer functions into an archive.
#include "convtf.h"

int main(int argc, const char **argv)
{
    return convtf_main(argc, argv);
}
