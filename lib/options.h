/*
 * Common command-line conventions of every velk program: the two options
 * that end every popt table (--logLevel and --help), the flag that makes
 * --help work only as the first option, the option-error report and the
 * layout of the usage screens.
 *
 * Usage in a program:
 *
 *     static const char *logLevel = "E";
 *     static void helpForX(poptContext ctx, int status)
 *     {
 *         velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-x\n",
 *                       "  What x does\n", NULL);
 *     }
 *     ...
 *     struct poptOption table[] = {
 *         {"num", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &num, 'n',
 *          "Number of things", NULL},
 *         VELKOPT_COMMON_ENTRIES(logLevel),
 *         POPT_TABLEEND
 *     };
 *     poptContext ctx = poptGetContext(NULL, argc, argv, table, 0);
 *     poptSetOtherOptionHelp(ctx, "x [OPTIONS]*");
 *     int rc;
 *     while ((rc = poptGetNextOpt(ctx)) >= 0) {
 *         if (!velkopt_handleCommon(ctx, rc, logLevel, helpForX)) {
 *             if (rc == 'n' && num < 1)
 *                 rc = POPT_ERROR_BADNUMBER;    // a range check failed
 *         }
 *         if (rc < 0)
 *             break;
 *         hasParsedOpt = 1;
 *     }
 *     if (rc < -1) {
 *         VELKOPT_LOG_POPT_ERROR(ctx, rc);      // "%s: %s"
 *         exit(1);
 *     }
 *
 * A keyword option with an unknown value is reported with
 * VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value").
 */
#ifndef VELK_LIB_OPTIONS_H
#define VELK_LIB_OPTIONS_H

#include <popt.h>

/* Set to 1 by the option loop after every option popt hands back; --help
 * is honoured only while it is 0.  Defined once, in the common library. */
extern char hasParsedOpt;

/* The return values of the two common options. */
enum { VELKOPT_LOGLEVEL = '-', VELKOPT_HELP = '?' };

/* The last two entries before POPT_TABLEEND of every option table.
 * `var` is the program's `const char *` holding the log level, "E" at
 * start. */
#define VELKOPT_COMMON_ENTRIES(var)                                          \
    {"logLevel", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &(var),  \
     VELKOPT_LOGLEVEL, "Log information level", "E|W|I|D"},                  \
    {"help", '\0', POPT_ARG_NONE, NULL, VELKOPT_HELP,                        \
     "Show this help message", NULL}

/* A program's usage printer: prints its usage and ends the process with
 * `status`, or returns at once when an option has already been parsed. */
typedef void (*velkopt_UsageFn)(poptContext ctx, int status);

/* The logger threshold named by a --logLevel value: "W" 1, "I" 2, "D" 3,
 * anything else (null included) 0. */
int velkopt_logLevelFromText(const char *value);

/* Sets the logger threshold from a --logLevel value, at once. */
void velkopt_applyLogLevel(const char *value);

/* Handles the two common options: for VELKOPT_LOGLEVEL applies `logLevel`
 * (the program's variable, just filled by popt; its copies are released
 * here once replaced),
 * for VELKOPT_HELP calls usage(ctx, 0) while hasParsedOpt is 0 (and ignores
 * the option afterwards).  Returns 1 when `rc` was one of them, else 0. */
int velkopt_handleCommon(poptContext ctx, int rc, const char *logLevel,
                         velkopt_UsageFn usage);

/* Logs "%s: %s" at level 0 with the offending option (without alias
 * expansion) and `reason`, under the given function name and line. */
void velkopt_logBadOption(poptContext ctx, const char *reason,
                          const char *function, int line);

#define VELKOPT_LOG_POPT_ERROR(ctx, code) \
    velkopt_logBadOption((ctx), poptStrerror(code), __func__, __LINE__)
#define VELKOPT_LOG_BAD_OPTION(ctx, reason) \
    velkopt_logBadOption((ctx), (reason), __func__, __LINE__)

/* Prints the usage screen to standard output: two empty lines, `title`
 * ("Function:\n" or "NAME:\n"), `name`, an empty line, "Description:\n",
 * `description`, an empty line, popt's option help, `trailer` (may be
 * null), two line ends.  Each text carries its own indentation and line
 * ends and may span several lines. */
void velkopt_printUsage(poptContext ctx, const char *title, const char *name,
                        const char *description, const char *trailer);

/* The usage printer body: returns at once when hasParsedOpt is set;
 * otherwise prints the usage screen and ends the process with `status`. */
void velkopt_usage(poptContext ctx, int status, const char *title,
                   const char *name, const char *description,
                   const char *trailer);

#endif /* VELK_LIB_OPTIONS_H */
