// velktool5: entry point and subcommand dispatch.
#include <cstdlib>
#include <cstring>

#include "velktool.h"

namespace {

struct Subcommand {
    const char *word;
    int (*frontEnd)(int argc, char **argv);
};

const Subcommand subcommands[] = {
    {"calctfimp", velktoolcli_calctfimp},
    {"calctfrec", velktoolcli_calctfrec},
    {"calctfgeo", velktoolcli_calctfgeo},
    {"calctfmouth", velktoolcli_calctfmouth},
    {"calcsysimp", velktoolcli_calcsysimp},
};

const Subcommand *findSubcommand(const char *word)
{
    for (const Subcommand &sub : subcommands) {
        if (strcmp(word, sub.word) == 0)
            return &sub;
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    int status = 1;
    // --help (or -h) and --version as the first argument; what follows is
    // ignored.
    int common = argc >= 2 ? velkopt_commonWord(argv[1]) : 0;

    // No argument at all, or a subcommand word alone without any option:
    // nothing runs.
    if (argc < 2 || (argc == 2 && common == 0)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "Main Argument Error");
        VELKIO_LOG(VELKIO_LOG_ERROR, "\n\nHow to use [velktool5 --help]\n\n");
    } else if (common == VELKOPT_HELP) {
        help();
        status = 0;
    } else if (common == VELKOPT_VERSION) {
        velkopt_printVersion("velktool5");
        status = 0;
    } else if (const Subcommand *sub = findSubcommand(argv[1])) {
        status = sub->frontEnd(argc, argv);
    } else {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "Main Argument Error. Unknown function [%s]", argv[1]);
    }
    exit(status);
}
