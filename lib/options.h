/*
 * The command line of every velk program: one option parser over the
 * program's own popt table, the two options that end every table
 * (--logLevel and --help), the flag that makes --help work only as the
 * first option, the option-error report and the layout of the usage
 * screens.
 *
 * Usage in a program:
 *
 *     static int num = 3;
 *     static const char *logLevel = "E";
 *     static void helpForX(poptContext ctx, int status)
 *     {
 *         velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-x\n",
 *                       "  What x does\n", NULL);
 *     }
 *     // Called for each option of the program's own: rc, a popt error
 *     // code, or VELKOPT_REPORTED after a message of its own.
 *     static int handleX(poptContext ctx, int rc, void *data)
 *     {
 *         if (rc == 'n' && num < 1)
 *             return POPT_ERROR_BADNUMBER;           // "%s: %s" by the parser
 *         if (rc == 'k' && !known(keyword)) {
 *             VELKOPT_LOG_BAD_OPTION(ctx, "invalid string value");
 *             return VELKOPT_REPORTED;
 *         }
 *         return rc;
 *     }
 *     static struct poptOption table[] = {
 *         {"num", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &num, 'n',
 *          "Number of things", NULL},
 *         VELKOPT_COMMON_ENTRIES(logLevel),
 *         POPT_TABLEEND
 *     };
 *     const velkopt_Program x_commandLine = {
 *         "velktoolcli-x", table, "[OPTIONS]* input", helpForX, handleX,
 *         NULL, VELKOPT_NEEDS_ARGUMENTS};
 *     ...
 *     poptContext ctx = velkopt_getContext(&x_commandLine, argc, argv);
 *     int status = velkopt_parse(ctx, &x_commandLine);   // 0, or 1 (logged)
 *     if (status == 0)
 *         status = run(poptGetArg(ctx));
 *     poptFreeContext(ctx);
 *     return status;
 */
#ifndef VELK_LIB_OPTIONS_H
#define VELK_LIB_OPTIONS_H

#include <popt.h>

/* Set to 1 by the option loop after every option popt hands back; --help
 * is honoured only while it is 0.  Defined once, in the common library. */
extern char hasParsedOpt;

/* The return values of the common options. */
enum { VELKOPT_LOGLEVEL = '-', VELKOPT_HELP = '?', VELKOPT_VERSION = '+' };

/* The last entries before POPT_TABLEEND of every option table: --logLevel,
 * --help (also -h) and --version.  `var` is the program's `const char *`
 * holding the log level, "E" at start. */
#define VELKOPT_COMMON_ENTRIES(var)                                          \
    {"logLevel", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &(var),  \
     VELKOPT_LOGLEVEL, "Log information level", "E|W|I|D"},                  \
    {"help", 'h', POPT_ARG_NONE, NULL, VELKOPT_HELP,                         \
     "Show this help message", NULL},                                        \
    {"version", '\0', POPT_ARG_NONE, NULL, VELKOPT_VERSION,                  \
     "Show the program's version", NULL}

/* A program's usage printer: prints its usage and ends the process with
 * `status`, or returns at once when an option has already been parsed. */
typedef void (*velkopt_UsageFn)(poptContext ctx, int status);

/* The logger threshold named by a --logLevel value: "W" 1, "I" 2, "D" 3,
 * anything else (null included) 0. */
int velkopt_logLevelFromText(const char *value);

/* Sets the logger threshold from a --logLevel value, at once. */
void velkopt_applyLogLevel(const char *value);

/* A program's handler of its own options: called with popt's return value
 * `rc` of each option that is not one of the common ones, once popt has
 * stored the option's argument.  Returns `rc` (any value >= 0) to go on, a
 * popt error code (such as POPT_ERROR_BADNUMBER for a value out of range)
 * that the parser reports as "%s: %s" with the option and popt's text, or
 * VELKOPT_REPORTED after it has logged its own message. */
typedef int (*velkopt_HandlerFn)(poptContext ctx, int rc, void *data);

/* A handler's answer once it has reported the option itself. */
enum { VELKOPT_REPORTED = -1000 };

/* Flags of a program's command line. */
enum {
    /* A command line without any argument is an error: "argument error!!"
     * is logged and the usage screen printed, with exit status 1. */
    VELKOPT_NEEDS_ARGUMENTS = 1
};

/* The command line of one program (or velktool5 subcommand). */
typedef struct velkopt_Program {
    const char *name;          /* e.g. "velktoolcli-validtf", "velktool5 calctfimp" */
    struct poptOption *table;  /* ends with VELKOPT_COMMON_ENTRIES, POPT_TABLEEND */
    const char *otherHelp;     /* popt's usage line after the program name */
    velkopt_UsageFn usage;     /* the usage screen of --help */
    velkopt_HandlerFn handle;  /* the program's own options; may be null */
    void *data;                /* handed to `handle` */
    int flags;                 /* VELKOPT_NEEDS_ARGUMENTS or 0 */
} velkopt_Program;

/* The popt context of a command line over the program's table, with its
 * usage line set; hasParsedOpt starts at 0 again.  With
 * VELKOPT_NEEDS_ARGUMENTS and no argument, logs "argument error!!" under
 * the calling routine and line and prints the usage screen, which ends the
 * process with status 1.  The caller frees the context with
 * poptFreeContext once it has taken the remaining arguments. */
#define velkopt_getContext(program, argc, argv) \
    velkopt_getContext_((program), (argc), (argv), __func__, __LINE__)
poptContext velkopt_getContext_(const velkopt_Program *program, int argc,
                                const char **argv, const char *function,
                                int line);

/* Runs the option loop: every option popt hands back goes to the common
 * handling (--logLevel applied at once; --help or -h, and --version,
 * printed and the process ended with status 0 while no option has been
 * parsed yet, ignored afterwards) or else to the
 * program's handler; hasParsedOpt is set after each accepted option.  The
 * first bad option (popt's error or the handler's) ends the loop and is
 * logged at level 0 under the calling routine and line.  Returns 0 when
 * every option was accepted, 1 after an option error; the program then
 * ends with that status through its own exit path. */
#define velkopt_parse(ctx, program) \
    velkopt_parse_((ctx), (program), __func__, __LINE__)
int velkopt_parse_(poptContext ctx, const velkopt_Program *program,
                   const char *function, int line);

/* Handles the two common options: for VELKOPT_LOGLEVEL applies `logLevel`
 * (the program's variable, just filled by popt; its copies are released
 * here once replaced),
 * for VELKOPT_HELP calls usage(ctx, 0) while hasParsedOpt is 0 (and ignores
 * the option afterwards); for VELKOPT_VERSION likewise prints the version
 * line of `name` and ends the process with status 0.  Returns 1 when `rc`
 * was one of them, else 0. */
int velkopt_handleCommon(poptContext ctx, int rc, const char *logLevel,
                         velkopt_UsageFn usage, const char *name = NULL);

/* The suite's version, e.g. "0.1.0". */
const char *velkopt_version(void);

/* Prints "NAME VERSION" and a line end to standard output. */
void velkopt_printVersion(const char *name);

/* For a program that looks at its first argument itself: VELKOPT_HELP for
 * "--help" and "-h", VELKOPT_VERSION for "--version", else 0. */
int velkopt_commonWord(const char *arg);

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
