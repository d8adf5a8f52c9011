// velktoolcli-validxml: checks one velk_xml document (full document,
// microphone list or source list) and optionally prints a JSON summary.
#include "validxml.h"

int main(int argc, const char **argv)
{
    return validxml_main(argc, argv);
}
