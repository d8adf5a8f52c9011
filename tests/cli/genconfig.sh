#!/usr/bin/env bash
# velktoolcli-genconfig run as a process: defaults, every option, --peak
# parsing, the help screen, option errors and output failures.
set -u
PROG="$VELK_BIN/velktoolcli-genconfig"
. "$VELK_SRC/tests/support/cli.bash"
if [ ! -x "$PROG" ]; then skip "$PROG not built"; fi
cd "$T" || exit 1

run() { "$PROG" "$@" >"$T/out" 2>"$T/err"; RC=$?; }
expect_rc() { [ "$RC" = "$1" ] || fail "$2: exit $RC, expected $1 ($(head -c 300 "$T/err"))"; }
expect_err() { grep -qF -- "$1" "$T/err" || fail "$2: stderr lacks [$1]: $(head -c 300 "$T/err")"; }
# field FILE NAME: the text of config/NAME
field() { xmllint --xpath "string(/velk_xml/config/$2)" "$1"; }
# expect_config FILE "name=value ..."
expect_config() {
    local f=$1 what=$3 kv
    for kv in $2; do
        [ "$(field "$f" "${kv%%=*}")" = "${kv#*=}" ] || fail "$what: ${kv%%=*} is $(field "$f" "${kv%%=*}"), expected ${kv#*=}"
    done
}
DEFAULTS="comment=comment synchronousAverage=16 tspOffset=0 peakSearchFrom=0 peakSearchTo=0 nfft=512
 samplingRate=16000 signalMax=32768 tspLength=16384 tspPath=/usr/share/velk/16384.little_endian.wav"

# ---- no arguments: every default, the document on standard output ----
"$PROG" >c.xml 2>"$T/err"; RC=$?
expect_rc 0 "no arguments"
[ "$(cat "$T/err")" = "SUCCESS" ] || fail "no arguments: stderr is [$(cat "$T/err")]"
xmllint --noout c.xml 2>/dev/null || fail "genconfig > c.xml is not a well-formed document"
expect_config c.xml "$DEFAULTS" "defaults"
# Information logging goes to standard error; the document stays clean.
"$PROG" --logLevel I >c2.xml 2>"$T/err"
xmllint --noout c2.xml 2>/dev/null || fail "--logLevel I: document on stdout spoiled"
expect_err "16384.little_endian.wav" "--logLevel I prints the configuration"

# ---- every option, to a named file ----
run -c "first take" -s 8 -o 100 -p 2,300 -n 1024 -r 48000 -m 8388608 -l 4096 -t /data/tsp.wav out.xml extra.xml
expect_rc 0 "all options"
[ "$(cat "$T/err")" = $'SUCCESS\n output file : out.xml' ] || fail "all options: stderr [$(cat "$T/err")]"
[ ! -s "$T/out" ] || fail "all options: stdout not empty"
[ ! -e extra.xml ] || fail "second positional argument used"
expect_config out.xml "synchronousAverage=8 tspOffset=100 peakSearchFrom=2 peakSearchTo=300 nfft=1024
 samplingRate=48000 signalMax=8388608 tspLength=4096 tspPath=/data/tsp.wav" "all options"
[ "$(field out.xml comment)" = "first take" ] || fail "comment with a blank"
run --comment='a<b&c' --tsp-path=/x/y.wav --length=2048 --logLevel=X out2.xml
expect_rc 0 "long options"
xmllint --noout out2.xml 2>/dev/null || fail "markup characters in the comment"
expect_config out2.xml "tspLength=2048 tspPath=/x/y.wav" "long options"
[ "$(field out2.xml comment)" = "a<b&c" ] || fail "comment a<b&c"

# ---- --peak ----
for case in "1,100|1 100" ",,5,,7,9|5 7" "0,2147483647|0 2147483647" "7,3|7 3"; do
    run -p "${case%%|*}"
    expect_rc 0 "peak ${case%%|*}"
    set -- ${case#*|}
    expect_config "$T/out" "peakSearchFrom=$1 peakSearchTo=$2" "peak ${case%%|*}"
done
run -p 1,2 --peak 30,40
expect_config "$T/out" "peakSearchFrom=30 peakSearchTo=40" "peak given twice"
for bad in 5 1,x 1,2x -1,10 1,2147483648 "" ",," x,1; do
    run --peak="$bad"
    expect_rc 1 "peak [$bad]"; expect_err "invalid numeric value" "peak [$bad]"
    [ ! -s "$T/out" ] || fail "peak [$bad]: document written"
done

# ---- other option errors ----
run -s abc
expect_rc 1 "sync abc"; expect_err "abc: invalid numeric value" "sync abc"
run --nfft=99999999999
expect_rc 1 "nfft overflow"; expect_err "--nfft=99999999999:" "nfft overflow"
run --bogus
expect_rc 1 "unknown option"; expect_err "--bogus: unknown option" "unknown option"
run --rate
expect_rc 1 "missing argument"; expect_err "--rate: missing argument" "missing argument"
[ ! -s "$T/out" ] || fail "missing argument: document written"

# ---- help ----
run --help
expect_rc 0 "help"
HEAD=$'\n\nNAME:\n  velktoolcli-genconfig\n\nDescription:\n  The command creates a xml file that contians a config tag\n\nUsage: velktoolcli-genconfig [OPTIONS]* [output_filename]'
[ "$(head -n 9 "$T/out")" = "$HEAD" ] || fail "help screen head: $(head -n 9 "$T/out")"
[ "$(tail -c 3 "$T/out" | od -An -c | tr -d ' ')" = '\n\n\n' ] || fail "help: two empty lines at the end"
for line in '-c, --comment=STRING       Comment (default: "comment")' \
            '-s, --sync=INT             Number of TSPs in the recorded wav (default: 16)' \
            '-p, --peak=INT,INT         Range for peak search (1-based, 0 means all' \
            '-l, --length=INT           TSPlength (default: 16384)' \
            '--logLevel=E|W|I|D     Log information level (default: "E")' \
            '--help                 Show this help message'; do
    grep -qF -- "$line" "$T/out" || fail "help lacks [$line]"
done
[ "$(grep -c -- '--' "$T/out")" = 12 ] || fail "help: 12 options expected"
run -s 8 --help
expect_rc 0 "help after an option"
expect_config "$T/out" "synchronousAverage=8" "help after an option writes the document"

# ---- output failures ----
run "$T/missing/dir/c.xml"
expect_rc 1 "missing directory"; expect_err "can not open file" "missing directory"
[ ! -s "$T/out" ] || fail "missing directory: something on stdout"
if [ -w /dev/full ]; then
    run /dev/full
    expect_rc 1 "full device"
    grep -q SUCCESS "$T/err" && fail "full device: success reported"
    [ -c /dev/full ] || fail "full device removed"
    "$PROG" >/dev/full 2>"$T/err"; RC=$?
    expect_rc 1 "standard output full"
    grep -q SUCCESS "$T/err" && fail "standard output full: success reported"
fi

finish "all genconfig checks passed"
