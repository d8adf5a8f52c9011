// General help of velktool5.
#include <cstdio>

#include "velktool.h"

void help(void)
{
    static const char *const functions[][3] = {
        {"  1. calctfimp\n",
         "       Generate transfer function from impulse responses\n",
         "          Usage : velktool5 calctfimp --help\n"},
        {"  2. calctfrec\n", "       Generate transfer function from TSPs\n",
         "          Usage : velktool5 calctfrec --help\n"},
        {"  3. calctfgeo\n",
         "       Generate transfer function by geometric calculation\n",
         "          Usage : velktool5 calctfgeo --help\n"},
        {"  4. calctfmouth\n",
         "       Generate transfer function from mouth TSPs\n",
         "          Usage : velktool5 calctfmouth --help\n"},
        {"  5. calcsysimp\n", "       calculate impluse response from TSP wave\n",
         "          Usage : velktool5 calcsysimp --help\n"},
    };

    fputs("\n\nNAME:\n  VELKTOOL\n\nDescription:\n"
          "  VELKTOOL is a tool for visualization and generation of the transfer function\n"
          "\nFunction List:\n",
          stdout);
    for (const auto &f : functions)
        printf("%s%s%s\n", f[0], f[1], f[2]);
    fputs("\n", stdout);
    fflush(stdout);
}
