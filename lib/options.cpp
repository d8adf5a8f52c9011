// Common option-loop conventions of the velk programs (see options.h).
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velkio.h"

char hasParsedOpt = 0;

int velkopt_logLevelFromText(const char *value)
{
    if (value == nullptr)
        return VELKIO_LOG_ERROR;
    if (strcmp(value, "W") == 0)
        return VELKIO_LOG_WARNING;
    if (strcmp(value, "I") == 0)
        return VELKIO_LOG_INFO;
    if (strcmp(value, "D") == 0)
        return VELKIO_LOG_DEBUG;
    return VELKIO_LOG_ERROR;
}

void velkopt_applyLogLevel(const char *value)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(VELKIO_LOG_SET_LEVEL, "", velkopt_logLevelFromText(value),
                       __func__, __LINE__);
#pragma GCC diagnostic pop
}

// popt stores every --logLevel value as a new heap copy in the program's
// variable and never releases it.  The latest copy is kept reachable here
// and the one it replaced (no longer referenced) is released.
static void adoptLogLevelCopy(const char *copy)
{
    static char *latest = nullptr;
    if (copy != latest) {
        free(latest);
        latest = const_cast<char *>(copy);
    }
}

const char *velkopt_version(void)
{
    return VELK_VERSION;
}

void velkopt_printVersion(const char *name)
{
    printf("%s %s\n", name != nullptr ? name : "", velkopt_version());
    fflush(stdout);
}

int velkopt_commonWord(const char *arg)
{
    if (arg == nullptr)
        return 0;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
        return VELKOPT_HELP;
    if (strcmp(arg, "--version") == 0)
        return VELKOPT_VERSION;
    return 0;
}

int velkopt_handleCommon(poptContext ctx, int rc, const char *logLevel,
                         velkopt_UsageFn usage, const char *name)
{
    if (rc == VELKOPT_LOGLEVEL) {
        velkopt_applyLogLevel(logLevel);
        adoptLogLevelCopy(logLevel);
        return 1;
    }
    if (rc == VELKOPT_HELP) {
        if (!hasParsedOpt && usage != nullptr)
            usage(ctx, 0);
        return 1;
    }
    if (rc == VELKOPT_VERSION) {
        if (!hasParsedOpt) {
            velkopt_printVersion(name);
            exit(0);
        }
        return 1;
    }
    return 0;
}

void velkopt_logBadOption(poptContext ctx, const char *reason,
                          const char *function, int line)
{
    const char *option = poptBadOption(ctx, POPT_BADOPTION_NOALIAS);
    velkio_Log_printf_(VELKIO_LOG_ERROR, "%s: %s", 0, function, line,
                       option ? option : "", reason ? reason : "");
}

void velkopt_printUsage(poptContext ctx, const char *title, const char *name,
                        const char *description, const char *trailer)
{
    printf("\n\n%s%s\nDescription:\n%s\n", title ? title : "",
           name ? name : "", description ? description : "");
    poptPrintHelp(ctx, stdout, 0);
    if (trailer != nullptr)
        fputs(trailer, stdout);
    fputs("\n\n", stdout);
    fflush(stdout);
}

void velkopt_usage(poptContext ctx, int status, const char *title,
                   const char *name, const char *description,
                   const char *trailer)
{
    if (hasParsedOpt)
        return;
    velkopt_printUsage(ctx, title, name, description, trailer);
    exit(status);
}

poptContext velkopt_getContext_(const velkopt_Program *program, int argc,
                                const char **argv, const char *function, int line)
{
    hasParsedOpt = 0;
    poptContext ctx = poptGetContext(nullptr, argc, argv, program->table, 0);
    poptSetOtherOptionHelp(ctx, program->otherHelp);
    if ((program->flags & VELKOPT_NEEDS_ARGUMENTS) && argc < 2) {
        velkio_Log_printf_(VELKIO_LOG_ERROR, "argument error!!", 0, function, line);
        if (program->usage != nullptr)
            program->usage(ctx, 1);
    }
    return ctx;
}

// The --logLevel variable of a table: the argument of its common entry,
// looked up in included tables too.
static const char *const *logLevelVariable(const struct poptOption *table)
{
    for (const struct poptOption *o = table;
         o->longName != nullptr || o->shortName != '\0' || o->arg != nullptr; o++) {
        if ((o->argInfo & POPT_ARG_MASK) == POPT_ARG_INCLUDE_TABLE) {
            const char *const *found =
                logLevelVariable(static_cast<const struct poptOption *>(o->arg));
            if (found != nullptr)
                return found;
        } else if (o->val == VELKOPT_LOGLEVEL && o->arg != nullptr) {
            return static_cast<const char *const *>(o->arg);
        }
    }
    return nullptr;
}

int velkopt_parse_(poptContext ctx, const velkopt_Program *program,
                   const char *function, int line)
{
    const char *const *logLevel = logLevelVariable(program->table);
    int rc;
    while ((rc = poptGetNextOpt(ctx)) >= 0) {
        if (!velkopt_handleCommon(ctx, rc, logLevel ? *logLevel : nullptr,
                                  program->usage, program->name) &&
            program->handle != nullptr)
            rc = program->handle(ctx, rc, program->data);
        if (rc < 0)
            break;
        hasParsedOpt = 1;
    }
    if (rc == VELKOPT_REPORTED)
        return 1;
    if (rc < -1) {
        velkopt_logBadOption(ctx, poptStrerror(rc), function, line);
        return 1;
    }
    return 0;
}
