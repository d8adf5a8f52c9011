#!/bin/bash
# velktoolcli-validxml as a process: the three modes, verdicts, exit
# statuses and the JSON summary read by a real JSON parser.
set -u
BIN=${VELK_BIN:?}
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
verdict() { # NAME TEXT: stderr is exactly TEXT
    [ "$(cat "$1.err")" = "$2" ] || fail "$1: stderr is '$(cat "$1.err")', expected '$2'"
}
V="$BIN/velktoolcli-validxml"

G="$BIN/velktoolcli-genposxml"
$G circle --type tsp --min-radius 1 --max-radius 1 --interval-radius 0 --elevation 0 \
    --min-azimuth 0 --max-azimuth 90 --interval-azimuth 30 --channels 0,2,5 -o tsp.xml 2>/dev/null &&
$G circle --type microphone --min-radius 0.1 --max-radius 0.1 --interval-radius 0 \
    --elevation 0 --min-azimuth 0 --max-azimuth 315 --interval-azimuth 45 -o mic.xml 2>/dev/null &&
"$BIN/velktoolcli-genconfig" --nfft 0 cfg0.xml 2>/dev/null &&
"$BIN/velktoolcli-genconfig" --comment "$(printf 'say "hi"\\ back\tslash\nnext')" \
    --tsp-path '/data/"q"\tsp.wav' cfg.xml 2>/dev/null &&
"$BIN/velktoolcli-genneighbors" tsp.xml nb.xml 2>/dev/null &&
"$BIN/velktoolcli-mergexmls" -o full.xml nb.xml cfg.xml 2>/dev/null &&
"$BIN/velktoolcli-mergexmls" -o full0.xml nb.xml cfg0.xml 2>/dev/null ||
    { echo "cannot make inputs"; exit 1; }

# Command line.
run noargs 1 "$V"
has noargs.err "argument error!!"
has noargs.out "  Consistency check of xml file"
run help 0 "$V" --help full.xml
has help.out "Usage: velktoolcli-validxml [OPTIONS]* filename(xml)"
has help.out "      soundsource,tsp,impulse,microphone,noise"
has help.out "  If a xml_file is valid, the command retruns 0."
lacks help.out "--json"
run latehelp 0 "$V" --src --help tsp.xml
lacks latehelp.out "Consistency check"
verdict latehelp "SUCCESS"
run nofile 1 "$V" --mic
has nofile.err "missing filename"
run badopt 1 "$V" --bogus full.xml
has badopt.err "--bogus: unknown option"
run unreadable 1 "$V" --json nosuch.xml
[ "$(tail -n 2 unreadable.err)" = "$(printf 'Consistency error\n[velk_xml]')" ] ||
    fail "unreadable: stderr is '$(cat unreadable.err)'"
[ ! -s unreadable.out ] || fail "JSON printed for an unreadable document"

# Full mode.
run full 0 "$V" full.xml
verdict full "SUCCESS"
[ ! -s full.out ] || fail "output without --json"
run nocfg 1 "$V" tsp.xml
verdict nocfg "$(printf 'Consistency error\n[config][neighbors]')"
run badcfg 1 "$V" --json full0.xml
verdict badcfg "$(printf 'Consistency error\n[nfft]')"
[ ! -s badcfg.out ] || fail "JSON printed for an invalid document"
run micfull 1 "$V" mic.xml
verdict micfull "$(printf 'Consistency error\n[neighbors]')"

# Position-list modes; with both --mic and --src the microphone check runs.
run src 0 "$V" --src tsp.xml
verdict src "SUCCESS"
run mic 0 "$V" -m mic.xml
verdict mic "SUCCESS"
run srcmic 1 "$V" --src mic.xml
verdict srcmic "$(printf 'Consistency error\n[positions (type is not soundsource|tsp|impulse: microphone)]')"
for order in "--mic --src" "--src --mic"; do
    run both 1 "$V" $order tsp.xml
    verdict both "$(printf 'Consistency error\n[positions (type is not microphone): tsp)]')"
done

# JSON summaries, read back by a JSON parser.
run jsonfull 0 "$V" -j full.xml
[ "$(wc -l <jsonfull.out)" = 1 ] || fail "JSON summary is not one line"
python3 - jsonfull.out <<'PY' || fail "JSON summary of the full document"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["type"] == "tsp", d
assert d["channels"] == [0, 2, 5], d
c = d["config"]
assert c["comment"] == 'say "hi"\\ back\tslash\nnext', repr(c["comment"])
assert c["orgtsppath"] == '/data/"q"\\tsp.wav', repr(c["orgtsppath"])
assert (c["syncadd"], c["fftlen"], c["samplingrate"], c["tsplength"]) == (16, 512, 16000, 16384), c
PY
run jsonmic 0 "$V" --mic --json mic.xml
python3 -c 'import json,sys; d=json.load(sys.stdin); assert d == {"type": "microphone", "channels": list(range(8))}, d' \
    <jsonmic.out || fail "JSON summary of the microphone list"

finish "validxml: all passed"
