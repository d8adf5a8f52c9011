#!/usr/bin/env bash
# Speed of velktoolcli-validtf and the cost of refusing zip bombs (not a
# test; the figures go into bench/README.md):
#   (a) velktoolcli-validtf on the archive of calctfgeo, 3,600 positions x
#       16 microphones at nfft 512 (LOC_SEP, 228 MB), against `unzip -t`
#       of the same file, which also reads every member to its end and
#       checks its checksum. Bar: validtf <= 1.5 x unzip -t.
#   (b) validtf, zip2coord and conv-sm on 2 MB archives whose
#       whatisthis.txt or source.xml inflates to 2,000,000,000 bytes (in
#       bomb_lie, source.xml's entries declare its real, small size):
#       elapsed time and peak resident memory of each refusal.
#
#   bash bench/validtf_bench.sh [BUILD_DIR] [REPEAT]   (defaults: build, 7)
#
# Works in BUILD_DIR/bench-validtf (about 230 MB, kept for reruns; delete
# it afterwards). The two programs of (a) alternate, REPEAT runs each after
# one untimed run of each has warmed the file cache; medians of elapsed
# time (taken by the shell to the microsecond) and of CPU time (user +
# system, from GNU time).
set -u
export LC_ALL=C
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
REPEAT=${2:-7}
BIN=$BUILD/bin
WORK=$BUILD/bench-validtf
TIME=/usr/bin/time
PY=/usr/bin/python3
for tool in "$TIME" /usr/bin/unzip "$PY"; do
    [ -x "$tool" ] || { echo "bench: $tool is missing" >&2; exit 1; }
done
for prog in velktool5 velktoolcli-genposxml velktoolcli-genconfig velktoolcli-mergexmls \
    velktoolcli-validtf velktoolcli-zip2coord velktoolcli-conv-sm; do
    [ -x "$BIN/$prog" ] || { echo "bench: $BIN/$prog is missing; build first" >&2; exit 1; }
done
mkdir -p "$WORK" && cd "$WORK" || exit 1

must() { "$@" >>setup.log 2>&1 || { echo "bench: failed: $*" >&2; tail -5 setup.log >&2; exit 1; }; }

if [ ! -e done ]; then
    echo "making the archive of 3,600 positions x 16 microphones ..."
    must "$BIN/velktoolcli-genposxml" circle --type tsp --min-radius 1.5 --max-radius 1.5 \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 359.95 \
        --interval-azimuth 0.1 --output pos.xml
    must "$BIN/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 \
        --max-radius 0.05 --interval-radius 0 --elevation 0 --min-azimuth 0 \
        --max-azimuth 337.5 --interval-azimuth 22.5 --output mic.xml
    must "$BIN/velktoolcli-genconfig" --nfft 512 --rate 16000 config.xml
    must "$BIN/velktoolcli-mergexmls" --output tsp.xml pos.xml config.xml
    must "$BIN/velktool5" calctfgeo --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip
    rm -rf .velktool-temp
    must "$PY" "$ROOT/tests/support/legacy_files.py" write sm mat.tff 4 4 16 2
    must "$PY" "$ROOT/tests/support/make_tf_archive.py" small.zip '{}'
    must "$PY" "$ROOT/tests/support/zip_bomb.py" small.zip bomb_what.zip \
        transferFunction/whatisthis.txt 2000000000
    must "$PY" "$ROOT/tests/support/zip_bomb.py" small.zip bomb_source.zip \
        transferFunction/source.xml 2000000000
    # The same, its entries declaring the real size of source.xml.
    must "$PY" "$ROOT/tests/support/zip_bomb.py" small.zip bomb_lie.zip \
        transferFunction/source.xml 2000000000 \
        "$(/usr/bin/unzip -Zl small.zip transferFunction/source.xml | awk '{print $4; exit}')"
    touch done
fi

# once COMMAND...: prints "elapsed cpu max-rss-kB" of one run; the status
# is not judged (the bombs must fail).
once() {
    local t0 t1 e u s m
    t0=$EPOCHREALTIME
    "$TIME" -f '%U %S %M' -o time.out "$@" >run.out 2>run.err
    t1=$EPOCHREALTIME
    # A failing command gets a line of its own before the figures.
    read -r u s m < <(tail -n 1 time.out)
    e=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.4f", b - a}')
    echo "$e $(awk -v u="$u" -v s="$s" 'BEGIN{printf "%.2f", u + s}') $m"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }

# ---- (a) validtf against unzip -t ----
"$BIN/velktoolcli-validtf" tf.zip 2>/dev/null || { echo "bench: validtf refuses tf.zip" >&2; exit 1; }
/usr/bin/unzip -tqq tf.zip || { echo "bench: unzip -t refuses tf.zip" >&2; exit 1; }
uz="" uzc="" vt="" vtc="" vtrss=0
for _ in $(seq "$REPEAT"); do
    read -r e c _ < <(once /usr/bin/unzip -tqq tf.zip)
    uz="$uz $e"; uzc="$uzc $c"
    read -r e c m < <(once "$BIN/velktoolcli-validtf" tf.zip)
    vt="$vt $e"; vtc="$vtc $c"
    [ "$m" -gt "$vtrss" ] && vtrss=$m
done
uz=$(echo "$uz" | median); uzc=$(echo "$uzc" | median)
vt=$(echo "$vt" | median); vtc=$(echo "$vtc" | median)
ratio=$(awk -v a="$vt" -v b="$uz" 'BEGIN{printf "%.2f", a/b}')
ratiocpu=$(awk -v a="$vtc" -v b="$uzc" 'BEGIN{printf "%.2f", (b > 0 ? a/b : 0)}')
verdict=$(awk -v r="$ratio" 'BEGIN{print (r <= 1.5) ? "meets" : "MISSES"}')

echo
echo "(a) 3,600 positions x 16 microphones, nfft 512, $(($(stat -c %s tf.zip) / 1048576)) MB," \
    "$(/usr/bin/unzip -Z1 tf.zip | wc -l) members; medians of $REPEAT alternating runs"
echo "                                 elapsed    cpu"
printf '    unzip -t                     %6.3f s  %5.2f s\n' "$uz" "$uzc"
printf '    velktoolcli-validtf          %6.3f s  %5.2f s   peak RSS %d MB\n' "$vt" "$vtc" \
    $((vtrss / 1024))
echo "    ratio $ratio elapsed ($ratiocpu cpu): $verdict the bar of 1.5"

# ---- (b) zip bombs ----
echo
echo "(b) 2 MB archives with a member inflating to 2,000,000,000 bytes (one run each)"
for bomb in bomb_what bomb_source bomb_lie; do
    for prog in validtf zip2coord conv-sm; do
        case $prog in
            validtf) args=("$bomb.zip") ;;
            zip2coord) args=("$bomb.zip" out.csv) ;;
            conv-sm) args=(mat.tff "$bomb.zip" out.zip) ;;
        esac
        read -r e _ m < <(once "$BIN/velktoolcli-$prog" "${args[@]}")
        printf '    %-12s %-10s %6.3f s  peak RSS %5.1f MB  %s\n' "$bomb" "$prog" "$e" \
            "$(awk -v k="$m" 'BEGIN{printf "%.1f", k / 1024}')" \
            "$(grep -c '^\[E\]' run.err) error lines, first: $(head -1 run.err | cut -c1-60)"
        rm -f out.csv out.zip
    done
done
