#!/usr/bin/env bash
# The options every program has: --version prints the program's name and
# the suite's version on one line, -h is --help, and both are honoured only
# as the first option.
set -u
. "$VELK_SRC/tests/support/cli.bash"
. "$VELK_SRC/tests/support/programs.bash"
VERSION=$(sed -nE 's/^project\(velk VERSION ([0-9.]+) .*/\1/p' "$VELK_SRC/CMakeLists.txt")
[ -n "$VERSION" ] || fail "no project version in CMakeLists.txt"

# check NAME ARGS...: NAME is what --version names (the program and the
# subcommand or model word in ARGS).
check() {
    local name=$1
    shift
    need_program "${1%% *}"
    "$VELK_BIN/$@" --version >"$T/v.out" 2>"$T/v.err"
    [ $? = 0 ] && [ "$(cat "$T/v.out")" = "$name $VERSION" ] && [ ! -s "$T/v.err" ] ||
        fail "$*: --version gave [$(cat "$T/v.out" "$T/v.err")]"
    "$VELK_BIN/$@" --help >"$T/help.out" 2>&1
    "$VELK_BIN/$@" -h >"$T/h.out" 2>&1 || fail "$*: -h ended with an error"
    cmp -s "$T/help.out" "$T/h.out" || fail "$*: -h differs from --help"
    "$VELK_BIN/$@" --logLevel W --version >"$T/late.out" 2>/dev/null
    grep -q "$VERSION" "$T/late.out" && fail "$*: --version after another option was honoured"
}

for prog in $PROGRAMS; do
    case $prog in
    velktool5)
        for word in calctfimp calctfrec calctfgeo calctfmouth calcsysimp; do
            check "velktool5 $word" velktool5 "$word"
        done ;;
    velktoolcli-genposxml)
        for model in circle ball cylinder grid; do
            check velktoolcli-genposxml velktoolcli-genposxml "$model"
        done ;;
    *) check "$prog" "$prog" ;;
    esac
done
# The two programs that look at their first argument themselves.
for prog in velktool5 velktoolcli-genposxml; do
    [ "$("$VELK_BIN/$prog" --version)" = "$prog $VERSION" ] || fail "$prog --version alone"
    "$VELK_BIN/$prog" --help >"$T/help.out"
    "$VELK_BIN/$prog" -h >"$T/h.out" && cmp -s "$T/help.out" "$T/h.out" || fail "$prog -h alone"
done
finish "every program answers --version and -h"
