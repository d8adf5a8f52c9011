// velktoolcli-diagnose: tells whether a measurement behind a
// transfer-function archive is wrong, and what to do about it.
#include "diagnose.h"

int main(int argc, const char **argv)
{
    return diagnose_main(argc, argv);
}
