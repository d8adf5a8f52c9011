// velktoolcli-validtf: checks a transfer-function archive and optionally
// prints a text or JSON summary of it.
#include "validtf.h"

int main(int argc, const char **argv)
{
    return validtf_main(argc, argv);
}
