// Runs the shared option parser over a program's own command-line
// description, as the program does, and reports what it left.
#ifndef VELK_TEST_OPTIONS_UTIL_H
#define VELK_TEST_OPTIONS_UTIL_H

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"
#include "velkio.h"

namespace velktest {

struct Parsed {
    int status = -1;               // velkopt_parse's result
    int logLevel = -1;             // the logger threshold afterwards
    std::string err;               // what was logged
    std::vector<std::string> args; // the arguments left to the program
};

// Runs the parser without capturing anything (for death tests); returns
// its result.
inline int parseOnly(const velkopt_Program &program, std::vector<std::string> argv)
{
    std::vector<const char *> v;
    for (const std::string &a : argv)
        v.push_back(a.c_str());
    v.push_back(nullptr);
    poptContext ctx = velkopt_getContext(&program, (int)argv.size(), v.data());
    int status = velkopt_parse(ctx, &program);
    poptFreeContext(ctx);
    return status;
}

// `argv` is the whole command line, program name first.  The logger is
// set back to errors only afterwards.
inline Parsed parseCommandLine(const velkopt_Program &program, std::vector<std::string> argv)
{
    std::vector<const char *> v;
    for (const std::string &a : argv)
        v.push_back(a.c_str());
    v.push_back(nullptr);
    Parsed p;
    testing::internal::CaptureStderr();
    poptContext ctx = velkopt_getContext(&program, (int)argv.size(), v.data());
    p.status = velkopt_parse(ctx, &program);
    p.err = testing::internal::GetCapturedStderr();
    p.logLevel = velkio_Log_getLevel();
    for (const char *arg; (arg = poptGetArg(ctx)) != nullptr;)
        p.args.push_back(arg);
    poptFreeContext(ctx);
    velkopt_applyLogLevel("E");
    return p;
}

// The variable behind a long option of the table (included tables too).
inline void *optionVariable(const struct poptOption *table, const char *longName)
{
    for (const struct poptOption *o = table; o->longName || o->shortName || o->arg; o++) {
        if ((o->argInfo & POPT_ARG_MASK) == POPT_ARG_INCLUDE_TABLE) {
            void *found = optionVariable(static_cast<const struct poptOption *>(o->arg),
                                         longName);
            if (found != nullptr)
                return found;
        } else if (o->longName != nullptr && strcmp(o->longName, longName) == 0) {
            return o->arg;
        }
    }
    return nullptr;
}

} // namespace velktest

#endif /* VELK_TEST_OPTIONS_UTIL_H */
