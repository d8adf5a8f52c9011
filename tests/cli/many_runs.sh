#!/bin/bash
# Many measurements at once: eight calctfrec runs started together in one
# working directory.  Every run exits 0, works in a run directory of its
# own, and writes an archive whose members are byte for byte those of the
# same run alone.  Eight are more than the six time stamps a run tries, so
# the last ones make a run directory with a suffix.
set -u
. "$VELK_SRC/tests/support/cli.bash"
. "$VELK_SRC/tests/support/measurement.bash"
. "$VELK_SRC/tests/support/zipcmp.bash"

small_measurement "$T/m" 8 || { echo "setup failed"; cat "$T/m/setup.err"; exit 1; }
cd "$T/m" || exit 1
calctfrec() {   # calctfrec NAME: the run's archive NAME.zip, its output in NAME.out/.err
    "$VELK_BIN/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml \
        --output-file "$1.zip" >"$1.out" 2>"$1.err"
}

calctfrec alone || { FAIL "the run alone: status $?"; cat alone.err; }
pids=()
for i in 1 2 3 4 5 6 7 8; do
    calctfrec "run$i" &
    pids+=($!)
done
for i in 1 2 3 4 5 6 7 8; do
    wait "${pids[$((i - 1))]}" || { FAIL "run$i: status $?"; cat "run$i.err"; }
    ! grep -q Sanitizer "run$i.err" || FAIL "run$i: sanitizer report"
    same_members alone.zip "run$i.zip" || FAIL "run$i: the archive differs from the run alone"
done

# One run directory per run, each complete: 8 recordings x 4 channels.
runs=$(find .velktool-temp -mindepth 1 -maxdepth 1 -type d | wc -l)
[ "$runs" = 9 ] || FAIL "$runs run directories for 9 runs: $(ls .velktool-temp)"
for dir in .velktool-temp/*/; do
    n=$(find "$dir/tsp" -name 'float_ch*.flt' | wc -l)
    [ "$n" = 32 ] || FAIL "$dir holds $n impulse-response files, not 32"
done
echo "run directories: $(ls .velktool-temp | tr '\n' ' ')"
finish
