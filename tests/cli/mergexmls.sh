#!/bin/bash
# velktoolcli-mergexmls as a process: merging, duplicates and --last,
# output streams, failures that must leave nothing behind.
set -u
BIN=${VELK_BIN:?}
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
nothing_written() {
    [ ! -s "$1.out" ] || fail "$1: standard output not empty"
    [ ! -e out.xml ] || fail "$1: out.xml left behind"
}
# type_of FILE MODE: the position type that the checker reports
type_of() {
    "$BIN/velktoolcli-validxml" "$2" --json "$1" 2>/dev/null |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["type"])'
}

G="$BIN/velktoolcli-genposxml"
$G circle --type tsp --min-radius 1 --max-radius 1 --interval-radius 0 --elevation 0 \
    --min-azimuth 0 --max-azimuth 350 --interval-azimuth 30 -o tsp.xml 2>/dev/null &&
$G circle --type microphone --min-radius 0.1 --max-radius 0.1 --interval-radius 0 \
    --elevation 0 --min-azimuth 0 --max-azimuth 315 --interval-azimuth 45 -o mic.xml 2>/dev/null &&
"$BIN/velktoolcli-genconfig" --nfft 1024 cfg.xml 2>/dev/null &&
"$BIN/velktoolcli-genneighbors" tsp.xml nb.xml 2>/dev/null || { echo "cannot make inputs"; exit 1; }
printf '<?xml version="1.0"?>\n<velk_xml/>\n' >empty.xml

run noargs 1 "$BIN/velktoolcli-mergexmls"
has noargs.err "argument error!!"
has noargs.out "   merge multiple xml files"
run help 0 "$BIN/velktoolcli-mergexmls" --help tsp.xml
has help.out "Usage: velktoolcli-mergexmls [OPTIONS]* infile1 infile2 ..."
# The help text of --output carries no-break spaces after "(with".
has help.out "$(printf '(with\xc2\xa0no\xc2\xa0output\xc2\xa0file,\xc2\xa0write\xc2\xa0result\xc2\xa0into\xc2\xa0stdout)')"
run latehelp 0 "$BIN/velktoolcli-mergexmls" -l --help tsp.xml
lacks latehelp.out "merge multiple xml files"
has latehelp.out "<velk_xml"

# One input is copied through; to stdout, "SUCCESS" alone on stderr.
run one 0 "$BIN/velktoolcli-mergexmls" tsp.xml
[ "$(cat one.err)" = "SUCCESS" ] || fail "one input: stderr is '$(cat one.err)'"
[ "$(type_of one.out --src)" = tsp ] || fail "one input: not the tsp list"

# Positions with neighbours, an input with no member, the configuration:
# a document that passes the full check; written to the -o file.
run three 0 "$BIN/velktoolcli-mergexmls" -o out.xml nb.xml empty.xml cfg.xml
[ "$(cat three.err)" = "$(printf 'SUCCESS\n output file : out.xml')" ] ||
    fail "-o run: stderr is '$(cat three.err)'"
[ ! -s three.out ] || fail "-o run wrote to stdout"
run full 0 "$BIN/velktoolcli-validxml" --json out.xml
has full.err "SUCCESS"
python3 -c 'import json,sys; assert json.load(sys.stdin)["config"]["fftlen"] == 1024' <full.out ||
    fail "merged configuration not the input's"
rm -f out.xml

# Duplicates: refused at the first one, in the order positions, config,
# neighbors; with -l the last given wins.
run dup 1 "$BIN/velktoolcli-mergexmls" -o out.xml tsp.xml mic.xml
has dup.err "<positions> Node duplicated!!"
nothing_written dup
run dupfirst 1 "$BIN/velktoolcli-mergexmls" nb.xml cfg.xml nb.xml
has dupfirst.err "<positions> Node duplicated!!"
lacks dupfirst.err "<neighbors>"
nothing_written dupfirst
run dupcfg 1 "$BIN/velktoolcli-mergexmls" cfg.xml tsp.xml cfg.xml
has dupcfg.err "<config> Node duplicated!!"
nothing_written dupcfg
run last 0 "$BIN/velktoolcli-mergexmls" -l tsp.xml mic.xml
[ "$(type_of last.out --mic)" = microphone ] || fail "-l: the second positions did not win"
run lastback 0 "$BIN/velktoolcli-mergexmls" --last mic.xml tsp.xml
[ "$(type_of lastback.out --src)" = tsp ] || fail "--last: the second positions did not win"

# Failures: exit 1, a message naming the input, nothing written.
run missing 1 "$BIN/velktoolcli-mergexmls" -o out.xml tsp.xml nosuch.xml
has missing.err "nosuch.xml"
nothing_written missing
printf '<velk_xml><positions' >broken.xml
run broken 1 "$BIN/velktoolcli-mergexmls" broken.xml cfg.xml
has broken.err "broken.xml"
nothing_written broken
run noinfiles 1 "$BIN/velktoolcli-mergexmls" -l
has noinfiles.err "missing infiles"
run badopt 1 "$BIN/velktoolcli-mergexmls" --bogus tsp.xml
has badopt.err "--bogus: unknown option"
run noopen 1 "$BIN/velktoolcli-mergexmls" -o nodir/out.xml tsp.xml
has noopen.err "file open error!!"
(trap '' XFSZ; ulimit -f 1; "$BIN/velktoolcli-mergexmls" -o out.xml nb.xml cfg.xml) >/dev/null 2>&1 &&
    fail "a truncated file was reported as success"
[ ! -e out.xml ] || fail "truncated out.xml left behind"
"$BIN/velktoolcli-mergexmls" nb.xml >/dev/full 2>/dev/null &&
    fail "a failed write to stdout was reported as success"

finish "mergexmls: all passed"
