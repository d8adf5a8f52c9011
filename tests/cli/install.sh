#!/usr/bin/env bash
# Installation from this build directory: DESTDIR staging and another
# prefix give the programs (and no developer or test program), the
# manual pages, the reference TSP, the documentation and the completions;
# the staged programs run, and with the /usr prefix the TSP lands where
# velktoolcli-genconfig's default configuration looks for it.
set -u
BUILD=$(cd "$VELK_BIN/.." && pwd)
. "$VELK_SRC/tests/support/cli.bash"
command -v cmake >/dev/null || { echo "FAIL: cmake not found"; exit 1; }
[ -f "$BUILD/cmake_install.cmake" ] || skip "$BUILD is not a configured build"

. "$VELK_SRC/tests/support/programs.bash"
PREFIX=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")

# check_tree ROOT: the installed files under ROOT (prefix included).
check_tree() {
    local root=$1 what=$2 prog
    for prog in $PROGRAMS; do
        [ -x "$root/bin/$prog" ] || fail "$what: bin/$prog missing"
        gzip -t "$root/share/man/man1/$prog.1.gz" 2>/dev/null || fail "$what: man page $prog.1.gz missing"
        [ -s "$root/share/bash-completion/completions/$prog" ] || fail "$what: completion for $prog missing"
    done
    [ "$(find "$root/bin" -type f | wc -l)" = "$(echo $PROGRAMS | wc -w)" ] ||
        fail "$what: bin holds $(ls "$root/bin" | tr '\n' ' '), not just the programs"
    [ -e "$root/bin/velksim" ] && fail "$what: the developer simulator is installed"
    local tsp="$root/share/velk/16384.little_endian.wav"
    [ -s "$tsp" ] || fail "$what: reference TSP missing"
    # A WAV file (RIFF header).
    [ "$(head -c 4 "$tsp" 2>/dev/null)" = RIFF ] || fail "$what: reference TSP is not a WAV file"
    for doc in README.md docs/formats.md docs/tutorial.md docs/images/demo-tf-phase.png examples/zip2coord.gp; do
        [ -s "$root/share/doc/velk/$doc" ] || fail "$what: doc/velk/$doc missing"
    done
}

# 1. DESTDIR staging with the configured prefix.
DESTDIR="$T/stage" cmake --install "$BUILD" >"$T/log" 2>&1 || fail "cmake --install with DESTDIR: $(tail -5 "$T/log")"
ROOT="$T/stage$PREFIX"
check_tree "$ROOT" "DESTDIR"
[ "$(find "$T/stage" -mindepth 1 -maxdepth 1 | wc -l)" = 1 ] || fail "DESTDIR install wrote outside the prefix"

# The staged programs run, and the staged TSP file serves the staged
# programs: a configuration naming it deconvolves a recording made with it.
"$ROOT/bin/velktool5" --help >"$T/help" 2>&1 || fail "staged velktool5 --help fails"
grep -q calctfrec "$T/help" || fail "staged velktool5 --help lacks the subcommands"
"$ROOT/bin/velktoolcli-genconfig" "$T/config.xml" 2>/dev/null || fail "staged genconfig fails"
DEFAULT_TSP=$(sed -n 's:.*<tspPath>\(.*\)</tspPath>.*:\1:p' "$T/config.xml")
[ -n "$DEFAULT_TSP" ] || fail "genconfig wrote no TSP path"
if [ "$PREFIX" = /usr ]; then
    [ -s "$T/stage$DEFAULT_TSP" ] || fail "genconfig's default TSP $DEFAULT_TSP is not what prefix /usr installs"
fi
if [ -x "$VELK_BIN/velksim" ]; then
    (cd "$T" && "$VELK_BIN/velksim" --mics 2 --sources 1 --tsp "$ROOT/share/velk/16384.little_endian.wav" \
        --repeat 2 --output-dir rec --name 'r.wav' >/dev/null 2>&1) || fail "velksim with the staged TSP"
    "$ROOT/bin/velktool5" calcsysimp --tsporigwav "$ROOT/share/velk/16384.little_endian.wav" \
        --inputwave "$T/rec/r.wav" --outputpath "$T/ir" --syncaddfreq 2 --syncaddoffset 0 >/dev/null 2>"$T/err" ||
        fail "staged calcsysimp with the staged TSP: $(cat "$T/err")"
    [ "$(stat -c %s "$T/ir_ch1.flt" 2>/dev/null)" = $((4096 * 4)) ] || fail "staged calcsysimp wrote no 4096-sample response"
fi

# 2. Another prefix, given to cmake --install.
cmake --install "$BUILD" --prefix "$T/opt/velk" >"$T/log" 2>&1 || fail "cmake --install --prefix: $(tail -5 "$T/log")"
check_tree "$T/opt/velk" "--prefix"
MANPATH="$T/opt/velk/share/man" man -w velktoolcli-validtf >/dev/null 2>&1 ||
    fail "man does not find the pages under the prefix"

finish "install gives every file"
