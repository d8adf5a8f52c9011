#!/usr/bin/env bash
# Speed of velktool5 calctfrec (not a test; the figures go into
# bench/README.md): 72 positions x 8 channels, each recording a 16384-sample
# TSP played 16 times back to back (16-bit WAV at 16 kHz), against the
# reading floor: a program that only reads the same recordings with
# libsndfile in large blocks (velkwavread). Bar: calctfrec <= 1.5 x the
# floor.
#
#   bash bench/calctfrec.sh [BUILD_DIR] [REPEAT]   (defaults: build, 5)
#
# Works in BUILD_DIR/bench-tsp (about 300 MB of WAV files, kept for reruns;
# delete it afterwards). Times are wall-clock seconds, the best and the
# median of REPEAT runs, after one untimed run of each program has warmed
# the file cache.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
REPEAT=${2:-5}
BIN=$BUILD/bin
WORK=$BUILD/bench-tsp
TIME=/usr/bin/time
if [ ! -x "$TIME" ]; then
    echo "bench: $TIME is missing (Debian package 'time')" >&2
    exit 1
fi
for prog in velksim velkwavread velktool5 velktoolcli-genposxml velktoolcli-genconfig \
    velktoolcli-mergexmls; do
    [ -x "$BIN/$prog" ] || { echo "bench: $BIN/$prog is missing; build first" >&2; exit 1; }
done
mkdir -p "$WORK" && cd "$WORK" || exit 1

must() { "$@" >>setup.log 2>&1 || { echo "bench: failed: $*" >&2; tail -5 setup.log >&2; exit 1; }; }

# The temporary tree of the previous calctfrec run is moved out of the way
# before each run (a run directory left from the same second would make the
# next run wait for the next one) and deleted only after all timed runs:
# right after a deletion, ext4 skips the freed inodes when it allocates new
# ones, which would charge calctfrec for the benchmark's own clean-up.
set_aside() {
    [ -d .velktool-temp ] || return 0
    mkdir -p set-aside && mv .velktool-temp "set-aside/$(date +%s%N)"
}

# best and median ELAPSED and max RSS of REPEAT runs: "best median
# kilobytes".
measure() {
    local rss=0 t m times=""
    for _ in $(seq "$REPEAT"); do
        set_aside || exit 1
        "$TIME" -f '%e %M' -o time.out "$@" >run.out 2>run.err ||
            { echo "bench: failed: $* ($(tail -3 run.err))" >&2; exit 1; }
        read -r t m <time.out
        times="$times $t"
        [ "$m" -gt "$rss" ] && rss=$m
    done
    echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -n |
        awk -v rss="$rss" '{v[NR] = $1} END {print v[1], v[int((NR + 1) / 2)], rss}'
}

# ---- inputs ----
if [ ! -e done ]; then
    echo "making 72 positions x 8 channels of TSP recordings (16 x 16384 samples) ..."
    rm -rf rec ./*.xml tsp.wav
    must "$BIN/velksim" --make-tsp tsp.wav --tsp-length 16384 --rate 16000
    must "$BIN/velktoolcli-genposxml" circle --type tsp --min-radius 1.5 --max-radius 1.5 \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 355 \
        --interval-azimuth 5 --path 'rec/tsp_D{AZIMUTH:%03.0f}.wav' --output pos.xml
    must "$BIN/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 \
        --max-radius 0.05 --interval-radius 0 --elevation 0 --min-azimuth 0 \
        --max-azimuth 315 --interval-azimuth 45 --output mic.xml
    must "$BIN/velktoolcli-genconfig" --nfft 512 --rate 16000 --length 16384 --sync 16 \
        --offset 0 --tsp-path "$WORK/tsp.wav" config.xml
    must "$BIN/velktoolcli-mergexmls" --output tsp.xml pos.xml config.xml
    must "$BIN/velksim" --sources 72 --azimuth-step 5 --mics 8 --tsp tsp.wav --repeat 16 \
        --pcm16 --output-dir rec --name 'tsp_D{AZIMUTH:%03.0f}.wav'
    touch done
fi
nrec=$(ls rec/*.wav | wc -l)
[ "$nrec" = 72 ] || { echo "bench: rec/ holds $nrec recordings" >&2; exit 1; }

rm -rf .velktool-temp set-aside
"$BIN/velkwavread" rec/*.wav >/dev/null
"$BIN/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip \
    >/dev/null 2>&1 || { echo "bench: calctfrec failed" >&2; exit 1; }
read -r floor floormed _ < <(measure "$BIN/velkwavread" rec/*.wav)
read -r rec recmed recrss < <(measure "$BIN/velktool5" calctfrec --tsp-list tsp.xml \
    --mic-list mic.xml --output-file tf.zip)
# The same run with its temporary tree (576 impulse-response files in 72
# directories, made in the working directory) on tmpfs: what creating the
# files costs on the disk's file system.
shm=""
if [ -d /dev/shm ] && SHM=$(mktemp -d /dev/shm/velk-bench-XXXXXX); then
    ln -s "$WORK/rec" "$SHM/rec" && cp tsp.xml mic.xml "$SHM/" && cd "$SHM" &&
        read -r shm shmmed _ < <(measure "$BIN/velktool5" calctfrec --tsp-list tsp.xml \
            --mic-list mic.xml --output-file tf.zip)
    cd "$WORK" || exit 1
    rm -rf "$SHM"
fi
rm -rf .velktool-temp set-aside
mb=$(du -sm rec | cut -f1)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a/b}'; }
r=$(ratio "$rec" "$floor")
verdict=$(awk -v r="$r" 'BEGIN{print (r <= 1.5) ? "meets" : "MISSES"}')

echo
echo "calctfrec, 72 positions x 8 channels, 16 x 16384-sample TSP at 16 kHz ($mb MB of 16-bit WAV)"
echo "                                   best   median  (of $REPEAT)"
printf '    reading floor (velkwavread)  %6.2f s %6.2f s\n' "$floor" "$floormed"
printf '    velktool5 calctfrec          %6.2f s %6.2f s   peak RSS %d MB\n' "$rec" "$recmed" \
    $((recrss / 1024))
echo "    ratio $r (medians $(ratio "$recmed" "$floormed")): $verdict the bar of 1.5"
if [ -n "$shm" ]; then
    printf '    same, temporary tree on tmpfs %5.2f s %6.2f s   ratio %s (medians %s)\n' "$shm" \
        "$shmmed" "$(ratio "$shm" "$floor")" "$(ratio "$shmmed" "$floormed")"
fi
