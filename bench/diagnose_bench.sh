#!/usr/bin/env bash
# Speed of velktoolcli-diagnose's archive checks (not a test; the figures
# go into bench/README.md): the 3,600 positions x 16 microphones archive of
# tf_bench.sh (b), made by calctfgeo at nfft 512, checked by
#   - velktoolcli-validtf (its full check of the archive),
#   - velktfsummary, which loads every member with the library's loader
#     and checks that every value is finite (what reading the whole archive
#     costs),
#   - velktoolcli-diagnose (loading, then every archive check).
# Bar: velktoolcli-diagnose at most 2 times validtf's full check.
#
#   bash bench/diagnose_bench.sh [BUILD_DIR] [REPEAT]   (defaults: build, 5)
#
# Works in BUILD_DIR/bench-diagnose (about 240 MB, kept for reruns). Times
# are medians of REPEAT runs, the three programs alternating, after one
# untimed run of each: wall-clock seconds and CPU seconds (user + system).
set -u
export LC_ALL=C
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
REPEAT=${2:-5}
BIN=$BUILD/bin
WORK=$BUILD/bench-diagnose
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench: $TIME is missing (Debian package 'time')" >&2; exit 1; }
for prog in velktool5 velktoolcli-genposxml velktoolcli-genconfig velktoolcli-mergexmls \
    velktoolcli-validtf velktoolcli-diagnose velktfsummary; do
    [ -x "$BIN/$prog" ] || { echo "bench: $BIN/$prog is missing; build first" >&2; exit 1; }
done
mkdir -p "$WORK" && cd "$WORK" || exit 1
must() { "$@" >>setup.log 2>&1 || { echo "bench: failed: $*" >&2; tail -5 setup.log >&2; exit 1; }; }

if [ ! -e done ]; then
    echo "making the archive of 3,600 positions and 16 microphones ..."
    must "$BIN/velktoolcli-genposxml" circle --type tsp --min-radius 1.5 --max-radius 1.5 \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 359.95 \
        --interval-azimuth 0.1 --path 'rec/tsp_D{AZIMUTH:%05.1f}.wav' --output pos.xml
    must "$BIN/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 \
        --max-radius 0.05 --interval-radius 0 --elevation 0 --min-azimuth 0 \
        --max-azimuth 337.5 --interval-azimuth 22.5 --output mic.xml
    must "$BIN/velktoolcli-genconfig" --nfft 512 --rate 16000 config.xml
    must "$BIN/velktoolcli-mergexmls" --output tsp.xml pos.xml config.xml
    must "$BIN/velktool5" calctfgeo --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip
    rm -rf .velktool-temp
    touch done
fi

# once COMMAND...: "elapsed cpu" of one run (elapsed by the shell to the
# microsecond, cpu = user + system from time(1)).
once() {
    local t0 t1 u s
    t0=$EPOCHREALTIME
    "$TIME" -f '%U %S' -o time.out "$@" >run.out 2>run.err
    local status=$?
    t1=$EPOCHREALTIME
    # diagnose exits with 2 for an error finding; the archive has none.
    [ "$status" = 0 ] || { echo "bench: failed ($status): $* ($(tail -3 run.err))" >&2; exit 1; }
    read -r u s <time.out
    awk -v a="$t0" -v b="$t1" -v u="$u" -v s="$s" 'BEGIN{printf "%.4f %.2f\n", b - a, u + s}'
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }

for p in validtf summary diagnose; do eval "${p}_e=''; ${p}_c=''"; done
run_validtf() { once "$BIN/velktoolcli-validtf" tf.zip; }
run_summary() { once "$BIN/velktfsummary" tf.zip; }
run_diagnose() { once "$BIN/velktoolcli-diagnose" tf.zip; }
for p in validtf summary diagnose; do "run_$p" >/dev/null; done
for _ in $(seq "$REPEAT"); do
    for p in validtf summary diagnose; do
        read -r e c < <("run_$p")
        eval "${p}_e=\"\$${p}_e $e\"; ${p}_c=\"\$${p}_c $c\""
    done
done
for p in validtf summary diagnose; do
    eval "${p}_E=\$(echo \$${p}_e | median); ${p}_C=\$(echo \$${p}_c | median)"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a / b}'; }

echo
echo "velktoolcli-diagnose on 3,600 positions x 16 microphones, nfft 512"
echo "($(($(stat -c %s tf.zip) / 1048576)) MB archive; medians of $REPEAT alternating runs)"
echo "                                      elapsed    cpu"
printf '    velktoolcli-validtf               %6.3f s  %5.2f s\n' "$validtf_E" "$validtf_C"
printf '    velktfsummary (loads everything)  %6.3f s  %5.2f s\n' "$summary_E" "$summary_C"
printf '    velktoolcli-diagnose              %6.3f s  %5.2f s\n' "$diagnose_E" "$diagnose_C"
echo "    diagnose / validtf:      $(ratio "$diagnose_E" "$validtf_E") elapsed, $(ratio "$diagnose_C" "$validtf_C") cpu (bar: 2)"
echo "    diagnose / full load:    $(ratio "$diagnose_E" "$summary_E") elapsed, $(ratio "$diagnose_C" "$summary_C") cpu"
