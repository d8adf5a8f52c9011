#!/usr/bin/env bash
# velktoolcli-genposxml run as a process: argument counts and help screens,
# option errors, the checks before generation, the positions written for
# each model, path templates, channel lists and the microphone limits.
set -u
PROG="$VELK_BIN/velktoolcli-genposxml"
. "$VELK_SRC/tests/support/cli.bash"
if [ ! -x "$PROG" ]; then skip "$PROG not built"; fi
cd "$T" || exit 1

# run ARGS...: status in $RC, streams in $T/out and $T/err
run() { "$PROG" "$@" >"$T/out" 2>"$T/err"; RC=$?; }
expect_rc() { [ "$RC" = "$1" ] || fail "$2: exit $RC, expected $1 ($(head -c 300 "$T/err"))"; }
expect_err() { grep -qF -- "$1" "$T/err" || fail "$2: stderr lacks [$1]: $(head -c 300 "$T/err")"; }
expect_out() { grep -qF -- "$1" "$T/out" || fail "$2: stdout lacks [$1]"; }
expect_no_output() { [ ! -s "$T/out" ] || fail "$1: something on stdout"; }

# One line per position: "id x y z path|channels", coordinates to 4 places.
dump() {
    /usr/bin/python3 - "$1" <<'EOF'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
for p in root.iter('position'):
    xyz = next(e for e in p.iter() if 'x' in e.attrib)
    vals = [float(xyz.get(k)) + 0.0 for k in ('x', 'y', 'z')]
    vals = [0.0 if abs(v) < 5e-5 else v for v in vals]
    path = p.findtext('path') or ''
    ch = p.findtext('channels') or ''
    print(p.get('id'), ' '.join('%.4f' % v for v in vals), path + '|' + ' '.join(ch.split()))
EOF
}
ptype() { /usr/bin/python3 -c 'import sys,xml.etree.ElementTree as E; print(next(E.parse(sys.argv[1]).getroot().iter("positions")).get("type"))' "$1"; }

CIRCLE1="--min-radius 1 --max-radius 1 --interval-radius 0 --elevation 0"

# ---- argument counts and help screens ----
GENERAL=$'\n\nNAME:\n  velktoolcli-genposxml\n\nDescription:\n   create a position tag of xml file\n\nUsage: velktoolcli-genposxml [coordinate model] [options]\n\nUsage of each coordinate model:\n   velktoolcli-genposxml circle   --help\n   velktoolcli-genposxml grid     --help\n   velktoolcli-genposxml cylinder --help\n   velktoolcli-genposxml ball     --help\n\n'
run
expect_rc 1 "no argument"; expect_err "argument error!!" "no argument"
[ "$(cat "$T/out"; echo x)" = "${GENERAL}x" ] || fail "general help text differs"
run --help
expect_rc 0 "--help alone"
[ "$(cat "$T/out"; echo x)" = "${GENERAL}x" ] || fail "--help: general help text differs"
run circle
expect_rc 1 "circle alone"; expect_out "Usage of each coordinate model:" "circle alone"
run sphere --min-radius 1
expect_rc 1 "unknown model"; expect_err "unknown coordmodel: sphere" "unknown model"

for model in circle ball cylinder grid; do
    run "$model" --help
    expect_rc 0 "$model --help"
    [ "$(head -n 10 "$T/out"; echo x)" = $'\n\nNAME:\n  velktoolcli-genposxml\n\nDescription:\n   create a position tag of xml file\n\ncoordinate model is '"$model"$':\n\nx' ] \
        || fail "$model help: head of the screen"
    expect_out "Usage: velktoolcli-genposxml $model [OPTIONS]* arguments" "$model help"
    expect_out "$model arguments:" "$model help"
    expect_out '--logLevel=E|W|I|D' "$model help"
    expect_out 'Position id of start (default: 0)' "$model help"
    [ "$(tail -c 2 "$T/out" | od -An -c | tr -d ' ')" = '\n\n' ] || fail "$model help: two empty lines last"
done
run circle --help
expect_out $'Select\xc2\xa0microphone\xc2\xa0channel(s)\xc2\xa0to\xc2\xa0calculate. (zero-based,\xc2\xa0comma\xc2\xa0separated)' "channels help with no-break spaces"
expect_out 'filename_D{AZIMUTH:%03.1f}_E{ELEVATION:%03.1f}_R{RADIUS:%03.1f}.wav)' "circle path help"
expect_out '--elevation=FLOAT' "circle help"
run cylinder --help
expect_out 'filename_D{AZIMUTH:%03.1f}_H{HEIGHT:%03.1f}_R{RADIUS:%03.1f}.wav)' "cylinder path help"
run grid --help
expect_out 'filename_X{X_AXIS:%03.1f}_Y{Y_AXIS:%03.1f}_Z{Z_AXIS:%03.1f}.wav)' "grid path help"
expect_out '--interval-z_axis=FLOAT' "grid help"
# --help after another option is ignored: the run goes on to the checks.
run circle --logLevel D --help
expect_rc 1 "help after an option"; expect_err "missing --min-radius" "help after an option"
expect_no_output "help after an option"

# ---- option errors ----
run circle --min-radius 0 --max-radius 1
expect_rc 1 "min-radius 0"; expect_err "invalid numeric value" "min-radius 0"
run circle --min-radius=1 --max-radius=-2
expect_rc 1 "max-radius negative"; expect_err "--max-radius=-2: invalid numeric value" "max-radius negative"
run circle --id=-1
expect_rc 1 "negative id"; expect_err "--id=-1: invalid numeric value" "negative id"
run circle --type=speaker
expect_rc 1 "bad type"; expect_err "--type=speaker: invalid value" "bad type"
for bad in 64 -1 1x 2,,65; do
    run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 1 --channels=$bad -o "$T/x.xml"
    expect_rc 1 "channels $bad"; expect_err "invalid numeric value" "channels $bad"
    [ ! -e "$T/x.xml" ] || fail "channels $bad: output written"
done
run circle --bogus
expect_rc 1 "unknown option"; expect_err "--bogus: unknown option" "unknown option"
run circle --min-azimuth
expect_rc 1 "missing argument"; expect_err "--min-azimuth: missing argument" "missing argument"
run circle --min-azimuth=inf
expect_rc 1 "infinite value"
run ball --elevation 0
expect_rc 1 "option of another model"; expect_err "unknown option" "option of another model"

# ---- checks before generation ----
run ball --max-radius 2 --min-elevation 0
expect_rc 1 "missing values"
for m in min-radius interval-radius max-elevation interval-elevation min-azimuth max-azimuth interval-azimuth; do
    expect_err "missing --$m" "missing values"
done
grep -q "missing --max-radius\|missing --min-elevation" "$T/err" && fail "given values reported missing"
[ "$(grep -n 'missing --' "$T/err" | head -1 | grep -c min-radius)" = 1 ] || fail "missing values: table order"
run cylinder --min-radius 2 --max-radius 1 --interval-radius 1 --min-height 1 --max-height 0 --interval-height 1 \
    --min-azimuth 10 --max-azimuth 0 --interval-azimuth 1
expect_rc 1 "ranges"
for a in radius height azimuth; do expect_err "should be --min-$a <= --max-$a" "ranges"; done
run grid --min-x_axis 1 --max-x_axis 0 --interval-x_axis 1 --min-y_axis 1 --max-y_axis 0 --interval-y_axis 1 \
    --min-z_axis 1 --max-z_axis 0 --interval-z_axis 1
for a in x_axis y_axis z_axis; do expect_err "should be --min-$a <= --max-$a" "grid ranges"; done
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 10 --interval-azimuth 5 --type microphone --channels 1 --id 2
expect_rc 1 "microphone rules"
expect_err "microphone should not have --channels" "microphone rules"
expect_err "microphone should be --id == 0" "microphone rules"
expect_no_output "microphone rules"
run grid --min-x_axis 0 --max-x_axis 1 --interval-x_axis 1e-30 --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
    --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0
expect_rc 1 "tiny interval"; expect_err "too many positions" "tiny interval"

# ---- positions of each model ----
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 350 --interval-azimuth 10 -t tsp -o "$T/c.xml" \
    -p 'pos_{AZIMUTH:%03.1f}.wav' -c '3,1,3, 0'
expect_rc 0 "circle"
[ "$(cat "$T/err")" = $'SUCCESS\n output file : '"$T/c.xml" ] || fail "circle: stderr $(cat "$T/err")"
expect_no_output "circle to a file"
[ "$(ptype "$T/c.xml")" = tsp ] || fail "circle: type"
dump "$T/c.xml" >"$T/c.txt"
[ "$(wc -l <"$T/c.txt")" = 36 ] || fail "circle: 36 positions"
[ "$(sed -n 1p "$T/c.txt")" = "0 1.0000 0.0000 0.0000 pos_0.0.wav|0 1 3" ] || fail "circle first: $(sed -n 1p "$T/c.txt")"
[ "$(sed -n 4p "$T/c.txt")" = "3 0.8660 0.5000 0.0000 pos_30.0.wav|" ] || fail "circle 30: $(sed -n 4p "$T/c.txt")"
[ "$(sed -n 10p "$T/c.txt")" = "9 0.0000 1.0000 0.0000 pos_90.0.wav|" ] || fail "circle 90: $(sed -n 10p "$T/c.txt")"
[ "$(sed -n 36p "$T/c.txt")" = "35 0.9848 -0.1736 0.0000 pos_350.0.wav|" ] || fail "circle last: $(sed -n 36p "$T/c.txt")"
[ "$(cut -d' ' -f1 "$T/c.txt" | tr '\n' ' ')" = "$(seq -s ' ' 0 35) " ] || fail "circle: ids"

# ball: azimuth downwards, elevation 0 and 30, radius 2; ids from 10
run ball --min-radius 2 --max-radius 2 --interval-radius 0 --min-elevation 0 --max-elevation 30 --interval-elevation 30 \
    --min-azimuth 0 --max-azimuth 90 --interval-azimuth -90 --id 10 -p 'b_{ELEVATION:%g}_{AZIMUTH:%g}_{HEIGHT:%g}'
expect_rc 0 "ball"
[ "$(cat "$T/err")" = "SUCCESS" ] || fail "ball: stderr to stdout run: $(cat "$T/err")"
dump "$T/out" >"$T/b.txt"
cat >"$T/b.exp" <<'EOF'
10 0.0000 2.0000 0.0000 b_0_90_{HEIGHT:%g}|
11 2.0000 0.0000 0.0000 b_0_0_{HEIGHT:%g}|
12 0.0000 1.7321 1.0000 b_30_90_{HEIGHT:%g}|
13 1.7321 0.0000 1.0000 b_30_0_{HEIGHT:%g}|
EOF
diff "$T/b.exp" "$T/b.txt" >/dev/null || fail "ball positions: $(cat "$T/b.txt")"
[ "$(ptype "$T/out")" = soundsource ] || fail "default type soundsource"

# cylinder: (r cos az, r sin az, h)
run cylinder --min-radius 0.5 --max-radius 1 --interval-radius 0.5 --min-height -0.25 --max-height -0.25 \
    --interval-height 0 --min-azimuth 180 --max-azimuth 180 --interval-azimuth 10 -p 'H{HEIGHT:%.0f}R{RADIUS:%.1f}'
expect_rc 0 "cylinder"
dump "$T/out" >"$T/y.txt"
printf '%s\n' "0 -0.5000 0.0000 -0.2500 H-250R0.5|" "1 -1.0000 0.0000 -0.2500 H-250R1.0|" >"$T/y.exp"
diff "$T/y.exp" "$T/y.txt" >/dev/null || fail "cylinder positions: $(cat "$T/y.txt")"

# grid: x fastest, z slowest, coordinates unchanged, lengths in thousandths
run grid --min-x_axis 0 --max-x_axis 0.5 --interval-x_axis 0.5 --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
    --min-z_axis -1 --max-z_axis 1 --interval-z_axis 2 -p 'p_X{X_AXIS:%03.1f}_Z{Z_AXIS:%g}.wav' -t noise
expect_rc 0 "grid"
dump "$T/out" >"$T/g.txt"
cat >"$T/g.exp" <<'EOF'
0 0.0000 0.0000 -1.0000 p_X0.0_Z-1000.wav|
1 0.5000 0.0000 -1.0000 p_X500.0_Z-1000.wav|
2 0.0000 0.0000 1.0000 p_X0.0_Z1000.wav|
3 0.5000 0.0000 1.0000 p_X500.0_Z1000.wav|
EOF
diff "$T/g.exp" "$T/g.txt" >/dev/null || fail "grid positions: $(cat "$T/g.txt")"

# ---- path templates through the program ----
GRID1="--min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0"
for case in "0.0004|p_X0.0.wav" "0.0015|p_X2.0.wav" "-0.0015|p_X-2.0.wav"; do
    x=${case%%|*}; want=${case#*|}
    run grid --min-x_axis=$x --max-x_axis=$x --interval-x_axis 0 $GRID1 -p 'p_X{X_AXIS:%03.1f}.wav'
    [ "$(dump "$T/out" | sed 's/.* //; s/|.*//')" = "$want" ] || fail "x=$x: $(dump "$T/out")"
done
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -p 'a{FOO:%f}b{RADIUS:%g}'
[ "$(dump "$T/out" | sed 's/.* //')" = "a{FOO:%f}b1|" ] || fail "unknown key kept: $(dump "$T/out")"
for t in 'a{AZIMUTH:%d}b|invalid format string' 'a{AZIMUTH:%f|invalid after' 'a{AZIMUTH}b:%f|invalid after'; do
    tmpl=${t%%|*}; msg=${t#*|}
    rm -f "$T/t.xml"
    run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 10 --interval-azimuth 10 -p "$tmpl" -o "$T/t.xml"
    expect_rc 1 "template $tmpl"; expect_err "path string error: $msg" "template $tmpl"
    [ ! -e "$T/t.xml" ] || fail "template $tmpl: output written"
    run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 10 --interval-azimuth 10 -p "$tmpl"
    expect_no_output "template $tmpl to stdout"
done
long=$(printf 'd%.0s' $(seq 4096))
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -p "$long" -o "$T/t.xml"
expect_rc 1 "over-long template"; expect_err "longer than 4095" "over-long template"
[ ! -e "$T/t.xml" ] || fail "over-long template: output written"
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -p "${long:1}"
expect_rc 0 "template of 4095 characters"

# ---- channel lists ----
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 10 --interval-azimuth 10 -c 5,6 -c '2 1'
expect_rc 0 "channels twice"
[ "$(dump "$T/out" | sed 's/.*|//' | tr '\n' ';')" = "1 2;;" ] || fail "channels twice: last list: $(dump "$T/out")"
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -c 63,0
[ "$(dump "$T/out" | sed 's/.*|//')" = "0 63" ] || fail "channels 63,0"

# ---- microphone lists: at most 64 positions ----
run circle --min-radius 0.1 --max-radius 0.1 --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 63 \
    --interval-azimuth 1 -t microphone -o "$T/m.xml"
expect_rc 0 "64 microphones"
[ "$(dump "$T/m.xml" | wc -l)" = 64 ] || fail "64 microphones written"
rm -f "$T/m.xml"
run circle --min-radius 0.1 --max-radius 0.1 --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 64 \
    --interval-azimuth 1 -t microphone -o "$T/m.xml"
expect_rc 1 "65 microphones"; expect_err "microphone position too large. max 64" "65 microphones"
[ ! -e "$T/m.xml" ] || fail "65 microphones: output written"

# ---- the longest list is one the readers accept ----
# 222,220 positions (with a channel list and paths), their neighbour lists
# and a configuration make a document that validxml reads; one position
# more is refused before anything is written.
GRID0="--min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0"
run grid --min-x_axis 0 --max-x_axis 222219 --interval-x_axis 1 $GRID0 -c 1,2 -p 'rec/tsp_X{X_AXIS:%.0f}.wav' \
    -t tsp -o "$T/limit.xml"
expect_rc 0 "longest list"
[ "$(grep -c '<position ' "$T/limit.xml")" = 222220 ] || fail "longest list: not 222220 positions"
"$VELK_BIN/velktoolcli-genconfig" "$T/cfg.xml" 2>/dev/null || fail "longest list: genconfig"
{ sed '$d' "$T/limit.xml"; sed '1,2d' "$T/cfg.xml"; } >"$T/limitcfg.xml"
"$VELK_BIN/velktoolcli-genneighbors" "$T/limitcfg.xml" "$T/full.xml" >"$T/out" 2>"$T/err" ||
    fail "longest list: genneighbors: $(head -c 300 "$T/err")"
"$VELK_BIN/velktoolcli-validxml" "$T/full.xml" >"$T/out" 2>"$T/err" ||
    fail "longest list: validxml refuses it with neighbours and configuration: $(head -c 300 "$T/err")"
rm -f "$T/limit.xml" "$T/limitcfg.xml" "$T/full.xml"
run grid --min-x_axis 0 --max-x_axis 222220 --interval-x_axis 1 $GRID0 -o "$T/limit.xml"
expect_rc 1 "one position more"
expect_err "too many positions: more than 222220 (the most that the XML readers accept with neighbour lists and a configuration)" "one position more"
[ ! -e "$T/limit.xml" ] || fail "one position more: output written"

# ---- output failures ----
run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -o "$T/missing/dir/x.xml"
expect_rc 1 "missing directory"; expect_err "can not open file" "missing directory"
if [ -w /dev/full ]; then
    run circle $CIRCLE1 --min-azimuth 0 --max-azimuth 0 --interval-azimuth 0 -o /dev/full
    expect_rc 1 "full device"
    grep -q SUCCESS "$T/err" && fail "full device: success reported"
    [ -c /dev/full ] || fail "full device removed"
fi

finish "all genposxml checks passed"
