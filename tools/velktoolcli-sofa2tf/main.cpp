// velktoolcli-sofa2tf: a transfer-function archive from a SOFA file.
#include "sofa2tf.h"

int main(int argc, const char **argv)
{
    return sofa2tf_main(argc, argv);
}
