#!/usr/bin/env bash
# Speed of the neighbour search (not a test; the figures go into
# bench/README.md):
#   (a) the library's search with its spatial index against the pairwise
#       search it replaced, in the same process on the same positions
#       (velkneighborsbench of devtools/, which also checks that both give
#       the same lists), at 5,000, 10,000 and 20,000 positions; the index
#       alone at 100,000 (the pairwise search there too with FULL=1: about
#       25 times its 20,000 figure);
#   (b) velktoolcli-genneighbors on a document of 100,000 positions made
#       by velktoolcli-genposxml: elapsed time and peak resident memory,
#       reading and writing the XML included.
#
#   bash bench/neighbors_bench.sh [BUILD_DIR]   (default: build)
#
# Times of (a) are CPU seconds of the search alone; the positions are five
# shells (1 to 3 m) of 40 rings (elevation -78 to 78 degrees), maximum 3
# and threshold 0.5 (the program's defaults), and at 100,000 also the
# thresholds 0 and 3.2 (a cone that admits nothing and one that admits
# everything).
set -u
export LC_ALL=C
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
BIN=$BUILD/bin
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench: $TIME is missing (Debian package 'time')" >&2; exit 1; }
for prog in velkneighborsbench velktoolcli-genposxml velktoolcli-genneighbors; do
    [ -x "$BIN/$prog" ] || { echo "bench: $BIN/$prog is missing; build first" >&2; exit 1; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "(a) search alone, CPU seconds"
for n in 5000 10000 20000; do
    "$BIN/velkneighborsbench" "$n" 3 0.5 || exit 1
done
if [ "${FULL:-0}" = 1 ]; then
    "$BIN/velkneighborsbench" 100000 3 0.5 || exit 1
else
    "$BIN/velkneighborsbench" 100000 3 0.5 --no-pairwise || exit 1
fi
for t in 0 3.2; do
    "$BIN/velkneighborsbench" 100000 3 "$t" --no-pairwise || exit 1
done

echo "(b) velktoolcli-genneighbors, 100,000 positions"
"$BIN/velktoolcli-genposxml" ball --type tsp --min-radius 1 --max-radius 3 --interval-radius 0.5 \
    --min-elevation -78 --max-elevation 78 --interval-elevation 4 --min-azimuth 0 \
    --max-azimuth 359.9 --interval-azimuth 0.72 -o "$WORK/ball.xml" 2>/dev/null ||
    { echo "bench: genposxml failed" >&2; exit 1; }
"$TIME" -f "%e s elapsed, %U s user, %M kB peak" "$BIN/velktoolcli-genneighbors" \
    "$WORK/ball.xml" "$WORK/neighbors.xml" 2>&1 | tail -n 1
