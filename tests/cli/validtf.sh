#!/bin/bash
# velktoolcli-validtf as a process: complete archives and deliberately
# broken copies, the verdicts and exit statuses, and the text and JSON
# summaries (the JSON read by a real JSON parser).
set -u
BIN=${VELK_BIN:?}
SRC=${VELK_SRC:?}
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
verdict() { [ "$(cat "$1.err")" = "$2" ] || fail "$1: stderr is '$(cat "$1.err")', expected '$2'"; }
V="$BIN/velktoolcli-validtf"
if ! $PY -c 'import numpy, scipy.io' 2>/dev/null; then
    skip "$PY with numpy and scipy not available"
fi
mk() { $PY "$SRC/tests/support/make_tf_archive.py" "$@" || { echo "cannot make $1"; exit 1; }; }

COMMENT='lab "B", 22 °C\ back\slash	tab'
mk both.zip "$($PY -c 'import json,sys; print(json.dumps({"ids": [0, 1, 2, 3], "mics": 8,
    "channels": [0, 2, 5], "comment": sys.argv[1], "tspPath": "/data/\"q\"/tsp.wav"}))' "$COMMENT")"
mk loc.zip '{"kinds": ["localization"], "mics": 4}'
mk none.zip '{"kinds": [], "mics": 2}'
mk gap.zip '{"skip": {"localization": [2]}}'
mk label.zip '{"whatisthis": "TF\n"}'
mk longlabel.zip '{"whatisthis": "transfer functions of room 3\n"}'

# Complete archives.
run both 0 "$V" both.zip
verdict both "SUCCESS"
[ ! -s both.out ] || fail "both: output without --show"
run show 0 "$V" --show both.zip
verdict show "SUCCESS"
cat >show.want <<EOF
Transfer Function Informations
 Microphones       : 8
 TF Directions     : 4
 Contents          : localization, separation
Configuration Informations
 Comment           : $COMMENT
 SynchronousAverage: 16
 TSPpath           : /data/"q"/tsp.wav
 TSPOffset         : 0
 PeakSearch        : from 1 to 200
 nfft              : 16
 samplingRate      : 16000
 signalMax         : 32768
 TSPLength         : 16384
EOF
cmp -s show.out show.want || fail "text summary: $(diff show.want show.out)"
run json 0 "$V" --json both.zip
[ "$(tail -c 1 json.out)" = "}" ] || fail "JSON summary does not end with the closing brace"
$PY - json.out "$COMMENT" <<'PY' || fail "JSON summary of both.zip"
import json, sys
d = json.load(open(sys.argv[1], encoding="utf-8"))
assert d == {"TFInfo": {"Microphones": 8, "Directions": 4,
                        "Contents": ["localization", "separation"]},
             "Config": {"Comment": sys.argv[2], "SynchronousAverage": 16,
                        "TSPpath": '/data/"q"/tsp.wav', "TSPOffset": 0,
                        "PeakSearch": [{"from": 1, "to": 200}], "nfft": 16,
                        "samplingRate": 16000, "signalMax": 32768, "TSPLength": 16384}}, d
PY
run both_modes 0 "$V" -s -j both.zip
cmp -s both_modes.out show.want || fail "--show with --json is not the text summary alone"
run loc 0 "$V" -s loc.zip
has loc.out " Contents          : localization"
lacks loc.out "separation"
run none 0 "$V" -s none.zip
has none.out " Contents          : no tf matrix"
has none.out " Microphones       : 2"
run nonejson 0 "$V" -j none.zip
$PY -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["TFInfo"]["Contents"] == [], d' \
    nonejson.out || fail "JSON contents of an archive without TFs"
run longlabel 0 "$V" longlabel.zip
verdict longlabel "SUCCESS"

# Broken copies.
run gap 1 "$V" -s gap.zip
has gap.err "localization matrix size(2) differ from position size(4)"
lacks gap.err "separation matrix size"
lacks gap.err "SUCCESS"
run label 1 "$V" label.zip
has label.err "zip read file error"
lacks label.err "SUCCESS"
run labelw 1 "$V" --logLevel W label.zip
has labelw.err "[transferFunction/whatisthis.txt] is not [transfer function]"
for member in transferFunction/ transferFunction/whatisthis.txt transferFunction/source.xml \
              transferFunction/microphones.xml; do
    name=$(echo "$member" | tr '/.' '__')
    mk "$name.zip" "{\"omit\": [\"$member\"]}"
    run "$name" 1 "$V" "$name.zip"
    has "$name.err" "$member not found."
    lacks "$name.err" "SUCCESS"
done
mk nodocs.zip '{"omit": ["transferFunction/source.xml", "transferFunction/microphones.xml"]}'
run nodocs 1 "$V" nodocs.zip
has nodocs.err "transferFunction/microphones.xml not found."
has nodocs.err "transferFunction/source.xml not found."

# Archives the suite cannot load: every member is read and decoded, and
# the failing member is named on a level-0 line.
mk stored.zip '{"stored": true}'
$PY - <<'PY' || fail "cannot make the damaged copies"
import struct, zipfile
# One bit flipped inside a stored MAT member: only its checksum tells.
z = zipfile.ZipFile("stored.zip")
i = z.getinfo("transferFunction/separation/tf00001.mat")
b = bytearray(open("stored.zip", "rb").read())
n, e = struct.unpack_from("<HH", b, i.header_offset + 26)
b[i.header_offset + 30 + n + e + 300] ^= 0x10
open("flip.zip", "wb").write(b)
# A TF member for a position the archive does not have.
open("extra.zip", "wb").write(open("stored.zip", "rb").read())
with zipfile.ZipFile("extra.zip", "a") as out:
    out.writestr("transferFunction/localization/tf00009.mat",
                 z.read("transferFunction/localization/tf00000.mat"))
PY
mk c128.zip '{"dtype": "complex128", "kinds": ["localization"]}'
mk compressed.zip '{"compress": true, "kinds": ["separation"]}'
mk nan.zip '{"nan": {"separation": [2]}}'
mk missing.zip "{\"ids\": $($PY -c 'print(list(range(41)))'), \"kinds\": [\"localization\"],
    \"skip\": {\"localization\": [40]}}"
broken() { # NAME MESSAGE...
    local name=$1
    shift
    run "$name" 1 "$V" "$name.zip"
    local m
    for m in "$@"; do has "$name.err" "$m"; done
    lacks "$name.err" "SUCCESS"
    grep -q '^\[E\]' "$name.err" || fail "$name: no level-0 line"
}
broken flip "member transferFunction/separation/tf00001.mat is damaged (CRC error)"
broken c128 "transferFunction/localization/tf00003.mat: array class is not single precision"
broken compressed "transferFunction/separation/tf00000.mat: compressed MAT-file data"
broken nan "transferFunction/separation/tf00002.mat: the imaginary part of row 3, column 1 is not a finite number"
broken missing "localization matrix size(40) differ from position size(41)" \
    "transferFunction/localization/tf00040.mat not found."
broken extra "transferFunction/localization/tf00009.mat is not the transfer function of any source position"
# The summary is still printed as asked, the verdict is the error.
run flipshow 1 "$V" --show flip.zip
has flipshow.out " Contents          : localization, separation"

# Files that are not archives.
echo "plain text" >plain.zip
run plain 1 "$V" plain.zip
has plain.err "can not open zip file [plain.zip]"
lacks plain.err "velktoolcli-conv-tf"
printf 'VELK\002\000binary TF of the previous generation' >old.tf
run velk 1 "$V" old.tf
has velk.err "can not open zip file [old.tf]"
has velk.err "   If you want to convert your binary-format TFs into a zip-format (VELK>=2.1),"
has velk.err "   see 'velktoolcli-conv-tf --help' (after installing velktool5)."
run nofile 1 "$V" nosuch.zip
has nofile.err "can not open zip file [nosuch.zip]"

# Command line.
run noargs 1 "$V"
has noargs.err "argument error!!"
has noargs.out "  Consistency check of the transfer function"
run help 0 "$V" --help both.zip
has help.out "Usage: velktoolcli-validtf [OPTIONS]* tf_filename(zip)"
has help.out "  -s, --show                 Show details"
has help.out "  If a tf_file is valid, the command returns 0."
lacks help.out "--json"
run latehelp 0 "$V" -s --help both.zip
cmp -s latehelp.out show.want || fail "--help after an option is not ignored"
run noname 1 "$V" --show
has noname.err "missing tf_filename"
run badopt 1 "$V" --bogus both.zip
has badopt.err "--bogus: unknown option"
run debug 0 "$V" --logLevel D both.zip
has debug.err "-s=false"

finish "all validtf checks passed"
