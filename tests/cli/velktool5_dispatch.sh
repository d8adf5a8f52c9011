#!/bin/bash
# velktool5 dispatch: argument errors, general help, unknown and
# unavailable subcommands, as whole processes.
set -u
BIN="$VELK_BIN/velktool5"
. "$VELK_SRC/tests/support/cli.bash"
tmp=$T

# run EXPECTED_STATUS ARGS... : runs the program, keeps its outputs.
run() {
    local want=$1; shift
    "$BIN" "$@" >"$tmp/out" 2>"$tmp/err"
    local got=$?
    if [ "$got" != "$want" ]; then
        echo "FAIL: velktool5 $*: status $got, expected $want"; FAILS=$((FAILS + 1))
    fi
}
expect_err() {
    if ! grep -qF -- "$1" "$tmp/err"; then
        echo "FAIL: standard error lacks [$1]:"; cat "$tmp/err"; FAILS=$((FAILS + 1))
    fi
}
expect_no_out() {
    if [ -s "$tmp/out" ]; then
        echo "FAIL: unexpected standard output:"; cat "$tmp/out"; FAILS=$((FAILS + 1))
    fi
}

for args in "" "calctfimp" "foo"; do
    run 1 $args
    expect_err "Main Argument Error"
    expect_err "How to use [velktool5 --help]"
    expect_no_out
done

run 1 foo bar
expect_err "Main Argument Error. Unknown function [foo]"
expect_no_out

# "--help" only as the very first argument; anything after it is ignored.
printf '\n\nNAME:\n  VELKTOOL\n\nDescription:\n  VELKTOOL is a tool for visualization and generation of the transfer function\n\nFunction List:\n' >"$tmp/help"
printf '  1. calctfimp\n       Generate transfer function from impulse responses\n          Usage : velktool5 calctfimp --help\n\n' >>"$tmp/help"
printf '  2. calctfrec\n       Generate transfer function from TSPs\n          Usage : velktool5 calctfrec --help\n\n' >>"$tmp/help"
printf '  3. calctfgeo\n       Generate transfer function by geometric calculation\n          Usage : velktool5 calctfgeo --help\n\n' >>"$tmp/help"
printf '  4. calctfmouth\n       Generate transfer function from mouth TSPs\n          Usage : velktool5 calctfmouth --help\n\n' >>"$tmp/help"
printf '  5. calcsysimp\n       calculate impluse response from TSP wave\n          Usage : velktool5 calcsysimp --help\n\n\n' >>"$tmp/help"
for args in "--help" "--help calctfimp --bogus"; do
    run 0 $args
    if ! cmp -s "$tmp/out" "$tmp/help"; then
        echo "FAIL: velktool5 $args: help text differs"; diff "$tmp/help" "$tmp/out"; FAILS=$((FAILS + 1))
    fi
    [ -s "$tmp/err" ] && { echo "FAIL: help wrote to standard error"; FAILS=$((FAILS + 1)); }
done

# Subcommand words are matched exactly.
run 1 CALCTFIMP --help
expect_err "Unknown function [CALCTFIMP]"
run 1 calctf --help
expect_err "Unknown function [calctf]"

# A known word with an option reaches its front end; without the options
# it needs (or in a build without it) it fails with a message.
for word in calctfimp calctfrec calctfgeo calctfmouth calcsysimp; do
    run 1 $word --logLevel E
    [ -s "$tmp/err" ] || { echo "FAIL: $word: no message"; FAILS=$((FAILS + 1)); }
    expect_no_out
done

finish
