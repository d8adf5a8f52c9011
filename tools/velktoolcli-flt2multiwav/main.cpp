// velktoolcli-flt2multiwav: joins raw float files into one multichannel
// WAV file.
#include "flt2multiwav.h"

int main(int argc, const char **argv)
{
    return flt2multiwav_main(argc, argv);
}
