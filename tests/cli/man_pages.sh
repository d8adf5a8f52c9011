#!/usr/bin/env bash
# The manual pages: one per program, formatted without a single groff or man
# warning, with the usual sections, and naming every option that the
# program's own --help lists.
set -u
MAN_DIR="$VELK_SRC/docs/man"
. "$VELK_SRC/tests/support/cli.bash"

. "$VELK_SRC/tests/support/programs.bash"
SECTIONS="NAME SYNOPSIS DESCRIPTION OPTIONS EXIT.STATUS DIAGNOSTICS EXAMPLES SEE.ALSO"

for tool in groff man; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (make deps)"; exit 1; }
done

# help_text PROGRAM: every help screen the program has, concatenated.
help_text() {
    local prog=$1 word
    "$VELK_BIN/$prog" --help 2>&1
    case $prog in
        velktool5)
            for word in calctfimp calctfrec calctfgeo calctfmouth calcsysimp; do
                "$VELK_BIN/$prog" "$word" --help 2>&1
            done ;;
        velktoolcli-genposxml)
            for word in circle ball cylinder grid; do
                "$VELK_BIN/$prog" "$word" --help 2>&1
            done ;;
    esac
}

for prog in $PROGRAMS; do
    page="$MAN_DIR/$prog.1"
    if [ ! -f "$page" ]; then fail "$prog: no manual page $page"; continue; fi

    # Formatting: groff with every warning, and man-db's own check.
    groff -ww -man -z "$page" >"$T/groff" 2>&1 || fail "$prog: groff failed"
    [ -s "$T/groff" ] && fail "$prog: groff warnings: $(head -c 400 "$T/groff")"
    MANWIDTH=80 man --warnings -l "$page" >"$T/rendered" 2>"$T/man"
    [ -s "$T/man" ] && fail "$prog: man warnings: $(head -c 400 "$T/man")"
    grep -q "$prog" "$T/rendered" || fail "$prog: rendered page does not name the program"

    grep -q "^\.TH ${prog^^} 1 " "$page" || fail "$prog: .TH is not '${prog^^} 1'"
    for section in $SECTIONS; do
        grep -Eq "^\.SH \"?${section}\"?$" "$page" || fail "$prog: section ${section/./ } missing"
    done

    # Every option of the help screens appears in the page (troff's \- is
    # the plain hyphen of the command line).
    if [ ! -x "$VELK_BIN/$prog" ]; then echo "SKIP options: $prog not built"; continue; fi
    sed 's/\\-/-/g' "$page" >"$T/source"
    options=$(help_text "$prog" | grep -oE -- '--[A-Za-z][A-Za-z0-9_-]*' | sort -u)
    [ -n "$options" ] || fail "$prog: no option found in its --help"
    for opt in $options; do
        grep -Eq -- "(^|[^-])${opt}([^A-Za-z0-9_-]|$)" "$T/source" ||
            fail "$prog: option $opt of --help is not in the manual page"
    done
    # Short letters shown by --help ("-c, --comment") are documented too.
    for short in $(help_text "$prog" | grep -oE -- '^ +-[A-Za-z],' | tr -d ' ,' | sort -u); do
        grep -Eq -- "(^|[^-A-Za-z])${short}([^A-Za-z0-9_-]|$)" "$T/source" ||
            fail "$prog: short option $short of --help is not in the manual page"
    done
done

# The checks themselves: groff -ww must report a misspelt macro, and the
# option pattern must not take --min-radius for --radius.
printf '.TH X 1\n.SH NAME\nx\n.XX bogus\n' >"$T/bad.1"
groff -ww -man -z "$T/bad.1" 2>&1 | grep -q . || fail "groff -ww does not report an unknown macro"
echo "--min-radius" | grep -Eq -- "(^|[^-])--radius([^A-Za-z0-9_-]|$)" &&
    fail "the option pattern matches inside a longer option"

finish "all manual pages pass"
