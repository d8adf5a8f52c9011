#!/usr/bin/env bash
# A snapshot of what the programs show a user: every help screen, the
# messages, streams and exit statuses of a set of wrong command lines, and
# the members of the demo's archives (with the demo's logs).  Two snapshots
# of two builds are compared with `diff -r`; a change that must not alter
# behaviour leaves no difference.
#
#   bash devtools/snapshot.sh BUILD_DIR OUT_DIR [--no-demo]
#
# OUT_DIR is made anew.  The commands run in OUT_DIR/work (removed at the
# end), so take both snapshots under the same OUT_DIR path (move the first
# one away before the second run) for paths in messages to agree.  Log prefixes are kept as
# they are; `diff -r -I '^\[[EWIDT]\] '` (or sed on the prefix) sets
# them aside where only the `function(line)` part may change.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:?usage: snapshot.sh BUILD_DIR OUT_DIR [--no-demo]}
OUT=${2:?usage: snapshot.sh BUILD_DIR OUT_DIR [--no-demo]}
DEMO=1
[ "${3:-}" = --no-demo ] && DEMO=0
case $BUILD in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
case $OUT in /*) ;; *) OUT=$PWD/$OUT ;; esac
BIN=$BUILD/bin
. "$ROOT/tests/support/programs.bash"
export LC_ALL=C

rm -rf "$OUT"
mkdir -p "$OUT/cli" "$OUT/work" || exit 1
cd "$OUT/work" || exit 1

# shot NAME PROGRAM ARGS...: standard output, standard error and the exit
# status of one command line, with the run-directory time stamps masked.
shot() {
    local name=$1 prog=$2
    shift 2
    "$BIN/$prog" "$@" >"$OUT/cli/$name.out" 2>"$OUT/cli/$name.err" </dev/null
    echo "$?" >"$OUT/cli/$name.status"
    sed -i -E 's/[0-9]{14}(_[0-9]+)?/STAMP/g' "$OUT/cli/$name.out" "$OUT/cli/$name.err"
}

for prog in $PROGRAMS; do
    shot "$prog.none" "$prog"
    shot "$prog.help" "$prog" --help
    shot "$prog.h" "$prog" -h
    shot "$prog.bogus" "$prog" --bogus
    shot "$prog.loglevel-help" "$prog" --logLevel D --help
    shot "$prog.loglevel-missing" "$prog" --logLevel
    shot "$prog.version" "$prog" --version
    shot "$prog.missing-file" "$prog" no-such-file.xml
done
for model in circle ball cylinder grid; do
    shot "genposxml.$model.help" velktoolcli-genposxml "$model" --help
    shot "genposxml.$model.bogus" velktoolcli-genposxml "$model" --bogus 1
    shot "genposxml.$model.missing" velktoolcli-genposxml "$model" --type tsp
done

SUBS="calctfimp calctfrec calctfgeo calctfmouth calcsysimp"
shot velktool5.unknown velktool5 foo bar
for sub in $SUBS; do
    shot "$sub.help" velktool5 "$sub" --help
    shot "$sub.none" velktool5 "$sub"
    shot "$sub.bogus" velktool5 "$sub" --bogus
    shot "$sub.loglevel-help" velktool5 "$sub" --logLevel D --help
    shot "$sub.help-late" velktool5 "$sub" --logLevel X --help
done
for sub in calctfimp calctfrec calctfgeo calctfmouth; do
    shot "$sub.direct-negative" velktool5 "$sub" --direct-length -3
    shot "$sub.reverb-zero" velktool5 "$sub" --reverb-length 0
    shot "$sub.type-bad" velktool5 "$sub" --output-type FOO
    shot "$sub.normalize-bad" velktool5 "$sub" --normalize-src 2
    shot "$sub.missing-lists" velktool5 "$sub" --output-file x.zip
    shot "$sub.unreadable-lists" velktool5 "$sub" --impulse-list no.xml --tsp-list no.xml \
        --mic-list no.xml --output-file x.zip
done
shot calctfmouth.hop-small velktool5 calctfmouth --hop 9
shot calctfmouth.end-zero velktool5 calctfmouth --end 0
shot calcsysimp.channels-bad velktool5 calcsysimp --outchannellist 64
shot calcsysimp.search-bad velktool5 calcsysimp --searchoffset 5,1
shot calcsysimp.missing velktool5 calcsysimp --tsporigwav x.wav
shot zip2coord.type-bad velktoolcli-zip2coord --type FOO x.zip
shot zip2coord.z-bad velktoolcli-zip2coord --z_axis foo x.zip
shot genconfig.peak-bad velktoolcli-genconfig --peak 5 x.xml
shot genneighbors.missing velktoolcli-genneighbors --num-max 2
shot mergexmls.missing velktoolcli-mergexmls --output x.xml
shot validtf.missing velktoolcli-validtf --json
shot flt2multiwav.missing velktoolcli-flt2multiwav --rate 16000
shot conv-tf.missing velktoolcli-conv-tf -o x.zip
shot conv-sm.missing velktoolcli-conv-sm

# The checks each program makes on its own option values (ranges,
# keywords, lists), an option after a bad one, and the simulator.
shot validxml.json-missing velktoolcli-validxml -j
shot genneighbors.num-bad velktoolcli-genneighbors --num-max abc x.xml
shot genneighbors.threshold-bad velktoolcli-genneighbors --threshold 1x x.xml
shot mergexmls.output-twice velktoolcli-mergexmls -o a.xml -o b.xml
shot flt2multiwav.list-missing velktoolcli-flt2multiwav --list
shot zip2coord.type-sep velktoolcli-zip2coord --type SEP --z_axis db
shot genconfig.nfft-bad velktoolcli-genconfig --nfft x
shot genconfig.peak-help velktoolcli-genconfig --peak 1,2 --help
shot genposxml.type-bad velktoolcli-genposxml circle --type foo
shot genposxml.radius-bad velktoolcli-genposxml circle --min-radius 0
shot genposxml.id-bad velktoolcli-genposxml ball --id -1
shot genposxml.channels-bad velktoolcli-genposxml grid --channels 1,x
shot genposxml.model-bad velktoolcli-genposxml square --type tsp
shot genposxml.model-only velktoolcli-genposxml circle
shot diagnose.speed-bad velktoolcli-diagnose --speed-of-sound 0 x.zip
shot diagnose.snr-bad velktoolcli-diagnose --min-snr abc x.zip
shot tfexport.format-bad velktoolcli-tfexport --format wav a.zip b.mat
shot tfexport.kind-bad velktoolcli-tfexport --format mat --kind XY a.zip b.mat
shot tfexport.missing velktoolcli-tfexport --kind SEP a.zip
shot sofa2tf.nfft-bad velktoolcli-sofa2tf --nfft 100 a.sofa b.zip
shot sofa2tf.type-bad velktoolcli-sofa2tf --output-type XY a.sofa b.zip
shot sofa2tf.direct-bad velktoolcli-sofa2tf --direct-length -1 a.sofa b.zip
shot conv-tf.both-outputs velktoolcli-conv-tf -l a.tff -o x.zip y.zip
shot calcsysimp.sigmax-bad velktool5 calcsysimp --sigmax 0
shot calcsysimp.frame-bad velktool5 calcsysimp --samplebyframe x
shot calcsysimp.help-second velktool5 calcsysimp --ch-origin 1 --help
shot velktool5.help-extra velktool5 --help calctfimp
shot velktool5.calctfimp-help-extra velktool5 calctfimp --help --bogus
for opts in --help --bogus "--logLevel D --help" "--rate 0 --bogus" "--mics x" "--room 1,2 extra"; do
    shot "velksim.${opts// /_}" velksim $opts
done

if [ "$DEMO" != 1 ]; then
    cd "$OUT" && rm -rf "$OUT/work"
    exit 0
fi

# The demo: its archives member by member (the zip headers carry times),
# its logs with the time stamps masked.
bash "$ROOT/examples/demo.sh" "$BUILD" "$OUT/work/demo" >"$OUT/demo.out" 2>&1
echo "$?" >"$OUT/demo.status"
sed -i -E -e 's/[0-9]{14}(_[0-9]+)?/STAMP/g' -e 's/finished in [0-9]+ s/finished/' "$OUT/demo.out"
mkdir -p "$OUT/demo" && cd "$OUT/work/demo" || exit 1
for log in log/*.log; do
    sed -E 's/[0-9]{14}(_[0-9]+)?/STAMP/g' "$log" >"$OUT/demo/$(basename "$log")"
done
for zip in *.zip; do
    unzip -Z1 "$zip" >"$OUT/demo/$zip.members"
    while read -r member; do
        case $member in */) continue ;; esac
        printf '%s %s\n' "$(unzip -p "$zip" "$member" | sha256sum | cut -c1-64)" "$member"
    done <"$OUT/demo/$zip.members" >"$OUT/demo/$zip.sha256"
done
for other in *.html *.csv *.xml; do
    [ -e "$other" ] && cp "$other" "$OUT/demo/"
done
cd "$OUT" && rm -rf "$OUT/work"
exit 0
