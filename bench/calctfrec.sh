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
# delete it afterwards). Times are wall-clock seconds, the best of REPEAT
# runs, after one untimed run of each program has warmed the file cache.
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

# best ELAPSED and max RSS of REPEAT runs: "seconds kilobytes". The
# temporary tree of calctfrec is removed before each run: a run directory
# left from the same second would make the next run wait for the next one.
measure() {
    local best="" rss=0 t m
    for _ in $(seq "$REPEAT"); do
        rm -rf .velktool-temp
        "$TIME" -f '%e %M' -o time.out "$@" >run.out 2>run.err ||
            { echo "bench: failed: $* ($(tail -3 run.err))" >&2; exit 1; }
        read -r t m <time.out
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
        [ "$m" -gt "$rss" ] && rss=$m
    done
    echo "$best $rss"
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

rm -rf .velktool-temp
"$BIN/velkwavread" rec/*.wav >/dev/null
"$BIN/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip \
    >/dev/null 2>&1 || { echo "bench: calctfrec failed" >&2; exit 1; }
read -r floor _ < <(measure "$BIN/velkwavread" rec/*.wav)
read -r rec recrss < <(measure "$BIN/velktool5" calctfrec --tsp-list tsp.xml \
    --mic-list mic.xml --output-file tf.zip)
rm -rf .velktool-temp
# The same run with its temporary tree (576 impulse-response files in 72
# directories, made in the working directory) on tmpfs: what creating the
# files costs on the disk's file system.
shm=""
if [ -d /dev/shm ] && SHM=$(mktemp -d /dev/shm/velk-bench-XXXXXX); then
    ln -s "$WORK/rec" "$SHM/rec" && cp tsp.xml mic.xml "$SHM/" && cd "$SHM" &&
        read -r shm _ < <(measure "$BIN/velktool5" calctfrec --tsp-list tsp.xml \
            --mic-list mic.xml --output-file tf.zip)
    cd "$WORK" || exit 1
    rm -rf "$SHM"
fi
mb=$(du -sm rec | cut -f1)
ratio=$(awk -v a="$rec" -v b="$floor" 'BEGIN{printf "%.2f", a/b}')
verdict=$(awk -v r="$ratio" 'BEGIN{print (r <= 1.5) ? "meets" : "MISSES"}')

echo
echo "calctfrec, 72 positions x 8 channels, 16 x 16384-sample TSP at 16 kHz ($mb MB of 16-bit WAV)"
printf '    reading floor (velkwavread)  %6.2f s\n' "$floor"
printf '    velktool5 calctfrec          %6.2f s   peak RSS %d MB\n' "$rec" $((recrss / 1024))
echo "    ratio $ratio: $verdict the bar of 1.5"
if [ -n "$shm" ]; then
    printf '    same, temporary tree on tmpfs %5.2f s   ratio %s\n' "$shm" \
        "$(awk -v a="$shm" -v b="$floor" 'BEGIN{printf "%.2f", a/b}')"
fi
