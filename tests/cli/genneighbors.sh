#!/bin/bash
# velktoolcli-genneighbors as a process: help, output streams, failures
# that must leave nothing behind.
set -u
BIN=${VELK_BIN:?}
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
# run NAME EXPECTED_STATUS COMMAND...: keeps stdout in NAME.out, stderr in NAME.err
nothing_written() {
    [ ! -s "$1.out" ] || fail "$1: standard output not empty"
    [ ! -e out.xml ] || fail "$1: out.xml left behind"
}

"$BIN/velktoolcli-genposxml" circle --type tsp --min-radius 1 --max-radius 1 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 350 \
    --interval-azimuth 10 -o circle.xml 2>/dev/null || { echo "cannot make circle.xml"; exit 1; }
"$BIN/velktoolcli-genconfig" cfg.xml 2>/dev/null || { echo "cannot make cfg.xml"; exit 1; }

# Help: no argument is an error, --help works only as the first option.
run noargs 1 "$BIN/velktoolcli-genneighbors"
has noargs.err "argument error!!"
has noargs.out "  velktoolcli-genneighbors"
run help 0 "$BIN/velktoolcli-genneighbors" --help circle.xml
has help.out "  The command creates an xml file that contains"
has help.out "   -n and -t are options for -a 1"
has help.out "Usage: velktoolcli-genneighbors [OPTIONS]* input_filename [output_filename]"
run latehelp 0 "$BIN/velktoolcli-genneighbors" -n 2 --help circle.xml out.xml
[ ! -s latehelp.out ] || fail "late --help printed something"
[ -s out.xml ] || fail "late --help: no output file"
rm -f out.xml

# To standard output: the document alone on stdout, "SUCCESS" alone on stderr.
run tostdout 0 "$BIN/velktoolcli-genneighbors" -n 2 -t 0.2 circle.xml
[ "$(cat tostdout.err)" = "SUCCESS" ] || fail "stdout run: stderr is '$(cat tostdout.err)'"
run merged 0 "$BIN/velktoolcli-mergexmls" -o full.xml tostdout.out cfg.xml
run check 0 "$BIN/velktoolcli-validxml" full.xml
has check.err "SUCCESS"

# To a file: the path is named on stderr; the same document as on stdout.
run tofile 0 "$BIN/velktoolcli-genneighbors" -n 2 -t 0.2 circle.xml out.xml
[ "$(cat tofile.err)" = "$(printf 'SUCCESS\n output file : out.xml')" ] ||
    fail "file run: stderr is '$(cat tofile.err)'"
[ ! -s tofile.out ] || fail "file run wrote to stdout"
cmp -s out.xml tostdout.out || fail "file and stdout documents differ"
rm -f out.xml

# Failures: exit 1, a message, nothing written.
run algo 1 "$BIN/velktoolcli-genneighbors" -a 2 circle.xml out.xml
has algo.err "unknown algorithm [2]"
nothing_written algo
run missing 1 "$BIN/velktoolcli-genneighbors" nosuch.xml out.xml
has missing.err "nosuch.xml"
nothing_written missing
printf 'this is not xml\n' >garbage.xml
run garbage 1 "$BIN/velktoolcli-genneighbors" garbage.xml
has garbage.err "garbage.xml"
nothing_written garbage
run nopositions 1 "$BIN/velktoolcli-genneighbors" cfg.xml out.xml
has nopositions.err "no positions in xml file [cfg.xml]"
nothing_written nopositions
run noinput 1 "$BIN/velktoolcli-genneighbors" -n 2
has noinput.err "missing input_filename"
run badopt 1 "$BIN/velktoolcli-genneighbors" --bogus circle.xml
has badopt.err "--bogus: unknown option"
run badnum 1 "$BIN/velktoolcli-genneighbors" -n x circle.xml
has badnum.err "invalid numeric value"
run noopen 1 "$BIN/velktoolcli-genneighbors" circle.xml nodir/out.xml
has noopen.err "nodir/out.xml"
# A file that cannot be written completely is removed; a device is kept.
(trap '' XFSZ; ulimit -f 1; "$BIN/velktoolcli-genneighbors" circle.xml out.xml) >/dev/null 2>toolarge.err &&
    fail "a truncated file was reported as success"
[ ! -e out.xml ] || fail "truncated out.xml left behind"
run full 1 "$BIN/velktoolcli-genneighbors" circle.xml /dev/full
[ -e /dev/full ] || fail "/dev/full was removed"
"$BIN/velktoolcli-genneighbors" circle.xml >/dev/full 2>fullout.err &&
    fail "a failed write to stdout was reported as success"
# A list read whole (222,221 positions and a configuration) whose
# neighbour lists (empty ones too) would take the document beyond what the
# readers accept: refused, nothing written.
/usr/bin/python3 - <<'EOF2' || fail "cannot make big.xml"
with open("big.xml", "w") as f:
    f.write('<?xml version="1.0"?>\n<velk_xml>\n<positions type="tsp">\n')
    for i in range(222221):
        f.write('<position id="%d"><cartesian x="%d" y="1" z="0"/><path>p</path></position>\n' % (i, i))
    f.write('</positions>\n')
    f.write(open("cfg.xml").read().split("<velk_xml>", 1)[1])
EOF2
"$BIN/velktoolcli-validxml" big.xml >bigcheck.out 2>bigcheck.err
has bigcheck.err "[neighbors]" # read whole: only the neighbour lists are missing
run beyond 1 "$BIN/velktoolcli-genneighbors" -n 0 big.xml out.xml
has beyond.err "[out.xml] not written: the document would be larger than the XML readers accept (268435456 bytes, 2000000 elements and attributes)"
nothing_written beyond

finish "genneighbors: all passed"
