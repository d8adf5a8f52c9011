#!/usr/bin/env bash
# Speed and memory of the transfer-function generators (not a test; the
# figures go into bench/README.md):
#   (a) velktool5 calctfimp on 360 positions x 8 channels of 1 s impulse
#       responses at 16 kHz, against the reading floor: a program that only
#       reads the same WAV files with libsndfile in large blocks. Bar:
#       calctfimp <= 1.2 x the floor.
#   (b) velktool5 calctfgeo on 3,600 positions x 16 microphones at nfft 512:
#       time and peak resident memory. Bar: at most 1.0 s, and at most 0.7
#       times the reference velktool5 when one is given.
#   (c) the archive's member compression: size against writing time on the
#       archives of (a) and (b), stored and deflated at several levels
#       (left out when NO_COMPRESSION=1 is set).
#
#   bash bench/tf_bench.sh [BUILD_DIR] [REPEAT] [REFERENCE_VELKTOOL5]
#   (defaults: build, 5, none)
#
# Works in BUILD_DIR/bench-tf (about 200 MB of WAV files, kept for reruns;
# delete it afterwards). Times are the medians of REPEAT runs, after one
# untimed run of each program has warmed the file cache: wall-clock
# seconds, and CPU seconds (user + system), which a machine shared with
# other work disturbs less. The programs compared take turns run by run
# (floor, reference, velktool5 in (a); reference, velktool5 in (b)), so
# that all see the same load; a REFERENCE_VELKTOOL5 (an earlier build of
# velktool5) adds its figures and the ratios against it.
set -u
export LC_ALL=C # decimal points in the times, whatever the locale
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
REPEAT=${2:-5}
REF=${3:-}
[ -z "$REF" ] || REF=$(realpath "$REF")
BIN=$BUILD/bin
WORK=$BUILD/bench-tf
TIME=/usr/bin/time
if [ ! -x "$TIME" ]; then
    echo "bench: $TIME is missing (Debian package 'time')" >&2
    exit 1
fi
for prog in velksim velkwavread velkzipbench velktool5 velktoolcli-genposxml \
    velktoolcli-genconfig velktoolcli-mergexmls; do
    [ -x "$BIN/$prog" ] || { echo "bench: $BIN/$prog is missing; build first" >&2; exit 1; }
done
if [ -n "$REF" ] && [ ! -x "$REF" ]; then
    echo "bench: reference $REF is not an executable" >&2
    exit 1
fi
mkdir -p "$WORK" && cd "$WORK" || exit 1

must() { "$@" >>setup.log 2>&1 || { echo "bench: failed: $*" >&2; tail -5 setup.log >&2; exit 1; }; }

# cpu_seconds FILE: user + system seconds of the children in the output of
# the shell's `times` (its second line, "0m0.123s 0m0.045s").
cpu_seconds() {
    sed -n 2p "$1" | tr 'ms' '  ' |
        awk '{printf "%.4f", $1 * 60 + $2 + $3 * 60 + $4}'
}

# measure COMMAND...: runs it REPEAT times and prints
# "median-elapsed median-cpu max-rss-kB best-elapsed best-cpu" (cpu = user +
# system seconds). Elapsed time is taken by the shell to the microsecond
# and CPU time from the shell's own accounting of its children to the
# millisecond (time(1) gives hundredths only, too coarse for runs of
# 0.1 s); peak memory comes from time(1). The run directories of velktool5
# are removed before each run: two runs started in the same second would
# otherwise wait a second for a fresh one.
measure() {
    local rss=0 e u s m es="" cs="" t0 t1
    for _ in $(seq "$REPEAT"); do
        rm -rf .velktool-temp
        times >times0.out
        t0=$EPOCHREALTIME
        "$TIME" -f '%e %U %S %M' -o time.out "$@" >run.out 2>run.err ||
            { echo "bench: failed: $* ($(tail -3 run.err))" >&2; exit 1; }
        t1=$EPOCHREALTIME
        times >times1.out
        read -r e u s m <time.out
        e=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.4f", b - a}')
        es="$es $e"
        cs="$cs $(awk -v a="$(cpu_seconds times0.out)" -v b="$(cpu_seconds times1.out)" \
            'BEGIN{printf "%.3f", b - a}')"
        [ "$m" -gt "$rss" ] && rss=$m
    done
    # median and minimum of a list of numbers
    stats() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END{printf "%s %s", v[int((NR+1)/2)], v[1]}'; }
    read -r emed ebest < <(echo "$es" | stats)
    read -r cmed cbest < <(echo "$cs" | stats)
    echo "$emed $cmed $rss $ebest $cbest"
}

# ---- inputs ----
if [ ! -e imp360/done ]; then
    echo "making 360 positions x 8 channels of 1 s impulse responses ..."
    rm -rf imp360 && mkdir imp360 && cd imp360 || exit 1
    must "$BIN/velktoolcli-genposxml" circle --type impulse --min-radius 1.5 --max-radius 1.5 \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 359 \
        --interval-azimuth 1 --path 'ir/imp_D{AZIMUTH:%03.0f}.wav' --output pos.xml
    must "$BIN/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 \
        --max-radius 0.05 --interval-radius 0 --elevation 0 --min-azimuth 0 \
        --max-azimuth 315 --interval-azimuth 45 --output mic.xml
    must "$BIN/velktoolcli-genconfig" --nfft 512 --rate 16000 config.xml
    must "$BIN/velktoolcli-mergexmls" --output impulse.xml pos.xml config.xml
    must "$BIN/velksim" --sources 360 --azimuth-step 1 --mics 8 --length 16000 --order 2 \
        --output-dir ir --name 'imp_D{AZIMUTH:%03.0f}.wav'
    touch done
    cd .. || exit 1
fi
if [ ! -e geo3600/done ]; then
    echo "making 3,600 positions and 16 microphones ..."
    rm -rf geo3600 && mkdir geo3600 && cd geo3600 || exit 1
    must "$BIN/velktoolcli-genposxml" circle --type tsp --min-radius 1.5 --max-radius 1.5 \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 359.95 \
        --interval-azimuth 0.1 --path 'rec/tsp_D{AZIMUTH:%05.1f}.wav' --output pos.xml
    must "$BIN/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 \
        --max-radius 0.05 --interval-radius 0 --elevation 0 --min-azimuth 0 \
        --max-azimuth 337.5 --interval-azimuth 22.5 --output mic.xml
    must "$BIN/velktoolcli-genconfig" --nfft 512 --rate 16000 config.xml
    must "$BIN/velktoolcli-mergexmls" --output tsp.xml pos.xml config.xml
    touch done
    cd .. || exit 1
fi
nsrc=$(grep -c '<position ' geo3600/pos.xml)
[ "$nsrc" = 3600 ] || { echo "bench: geo3600/pos.xml holds $nsrc positions" >&2; exit 1; }

# ---- timing ----
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }
# alternate NAME:COMMAND... : runs each named command once per round, REPEAT
# rounds, and sets the medians e_NAME, c_NAME (elapsed, cpu) and the peak
# RSS m_NAME (kB). The commands are strings run with eval.
alternate() {
    local entry name cmd e c m _
    declare -gA ES CS MS
    for entry in "$@"; do
        name=${entry%%:*}; ES[$name]=""; CS[$name]=""; MS[$name]=0
    done
    for _ in $(seq "$REPEAT"); do
        for entry in "$@"; do
            name=${entry%%:*}; cmd=${entry#*:}
            read -r e c m _ < <(REPEAT=1 measure_eval "$cmd")
            ES[$name]="${ES[$name]} $e"; CS[$name]="${CS[$name]} $c"
            [ "$m" -gt "${MS[$name]}" ] && MS[$name]=$m
        done
    done
    for entry in "$@"; do
        name=${entry%%:*}
        printf -v "e_$name" '%s' "$(echo "${ES[$name]}" | median)"
        printf -v "c_$name" '%s' "$(echo "${CS[$name]}" | median)"
        printf -v "m_$name" '%s' "${MS[$name]}"
    done
}
measure_eval() { eval "set -- $1"; measure "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0 ? a/b : 0)}'; }

# ---- (a) calctfimp against the reading floor ----
cd imp360 || exit 1
IMP="calctfimp --impulse-list impulse.xml --mic-list mic.xml --output-file tf.zip"
rm -rf .velktool-temp
"$BIN/velkwavread" ir/*.wav >/dev/null
"$BIN/velktool5" $IMP >/dev/null 2>&1
runs=("floor:$BIN/velkwavread ir/*.wav")
[ -n "$REF" ] && { "$REF" $IMP >/dev/null 2>&1; runs+=("ref:$REF $IMP"); }
runs+=("new:$BIN/velktool5 $IMP")
alternate "${runs[@]}"
mb=$(du -sm ir | cut -f1)
cd .. || exit 1

# ---- (b) calctfgeo ----
cd geo3600 || exit 1
GEO="calctfgeo --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip"
rm -rf .velktool-temp
"$BIN/velktool5" $GEO >/dev/null 2>&1
runs=()
[ -n "$REF" ] && { "$REF" $GEO >/dev/null 2>&1; runs+=("gref:$REF $GEO"); }
runs+=("gnew:$BIN/velktool5 $GEO")
alternate "${runs[@]}"
cd .. || exit 1

verdict() { awk -v r="$1" -v b="$2" 'BEGIN{print (r <= b) ? "meets" : "MISSES"}'; }
echo
echo "(a) calctfimp, 360 positions x 8 channels, 1 s at 16 kHz ($mb MB of WAV files)"
echo "    medians of $REPEAT alternating runs"
echo "                                 elapsed    cpu"
printf '    reading floor (velkwavread)  %6.3f s  %6.3f s\n' "$e_floor" "$c_floor"
if [ -n "$REF" ]; then
    printf '    reference calctfimp          %6.3f s  %6.3f s   peak RSS %d MB\n' "$e_ref" \
        "$c_ref" $((m_ref / 1024))
    echo "    reference ratio $(ratio "$e_ref" "$e_floor") elapsed ($(ratio "$c_ref" "$c_floor") cpu)"
fi
printf '    velktool5 calctfimp          %6.3f s  %6.3f s   peak RSS %d MB\n' "$e_new" "$c_new" \
    $((m_new / 1024))
r=$(ratio "$e_new" "$e_floor")
echo "    ratio $r elapsed ($(ratio "$c_new" "$c_floor") cpu): $(verdict "$r" 1.2) the bar of 1.2"
echo
echo "(b) calctfgeo, 3,600 positions x 16 microphones, nfft 512 (medians of $REPEAT)"
if [ -n "$REF" ]; then
    printf '    reference calctfgeo          %6.3f s  %6.3f s   peak RSS %d MB\n' "$e_gref" \
        "$c_gref" $((m_gref / 1024))
fi
printf '    velktool5 calctfgeo          %6.3f s  %6.3f s   peak RSS %d MB   archive %d MB\n' \
    "$e_gnew" "$c_gnew" $((m_gnew / 1024)) $(($(stat -c %s geo3600/tf.zip) / 1048576))
echo "    $(verdict "$e_gnew" 1.0) the bar of 1.0 s"
if [ -n "$REF" ]; then
    r=$(ratio "$e_gnew" "$e_gref")
    echo "    ratio to the reference $r elapsed ($(ratio "$c_gnew" "$c_gref") cpu): $(verdict "$r" 0.7) the bar of 0.7"
fi
[ "${NO_COMPRESSION:-}" = 1 ] && exit 0
echo
echo "(c) member compression (writing the members again, best of $REPEAT)"
"$BIN/velkzipbench" imp360/tf.zip "$REPEAT" | sed 's/^/    /'
"$BIN/velkzipbench" geo3600/tf.zip "$REPEAT" | sed 's/^/    /'
