// velktoolcli-tfexport: the transfer functions of an archive as one SOFA,
// MAT or NumPy file.
#include "tfexport.h"

int main(int argc, const char **argv)
{
    return tfexport_main(argc, argv);
}
