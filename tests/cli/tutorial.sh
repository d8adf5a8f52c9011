#!/usr/bin/env bash
# docs/tutorial.md runs as written: every ```sh block, in order, in one empty
# directory, with the built programs on PATH. Any failing command fails the
# test; the printed results the tutorial quotes are checked as well.
#
# With VELK_INSTALLED_ROOT, a tree that the Debian package was unpacked into
# (tests/cli/deb.sh), VELK_BIN is that tree's usr/bin and PATH holds nothing
# of the build; the suite's files under /usr/share that the tutorial names
# (the reference TSP, the examples) are taken from the tree.
set -u
DOC="$VELK_SRC/docs/tutorial.md"
INSTALLED=${VELK_INSTALLED_ROOT:-}
. "$VELK_SRC/tests/support/cli.bash"
for prog in velktoolcli-simulate velktool5 velktoolcli-genposxml velktoolcli-genconfig velktoolcli-genneighbors \
    velktoolcli-mergexmls velktoolcli-validxml velktoolcli-validtf velktoolcli-zip2coord \
    velktoolcli-flt2multiwav velktoolcli-diagnose velktoolcli-tfexport velktoolcli-sofa2tf; do
    if [ ! -x "$VELK_BIN/$prog" ]; then skip "$prog not built"; fi
done
command -v parallel >/dev/null || skip "GNU parallel is not installed"
. "$VELK_SRC/tests/support/zipcmp.bash"

# The commands: the lines between ```sh and the closing ```.
awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0; next } inside' "$DOC" >"$T/commands.sh"
[ "$(grep -c '^```sh$' "$DOC")" -ge 10 ] || fail "tutorial has fewer than 10 command blocks"
for word in velktoolcli-simulate velktoolcli-genposxml velktoolcli-genconfig velktoolcli-genneighbors velktoolcli-mergexmls \
    velktoolcli-validxml "velktool5 calcsysimp" "velktool5 calctfrec" velktoolcli-validtf \
    velktoolcli-zip2coord zip2coord.gp velktoolcli-diagnose "parallel velktool5 calctfrec" \
    velktoolcli-tfexport velktoolcli-sofa2tf; do
    grep -q -- "$word" "$T/commands.sh" || fail "tutorial commands never run $word"
done

mkdir "$T/work"
if [ -n "$INSTALLED" ]; then
    RUN_PATH="$VELK_BIN:/usr/bin:/bin"
    unset VELK_EXAMPLES
    sed -e "s|/usr/share/velk/|$INSTALLED/usr/share/velk/|g" \
        -e "s|/usr/share/doc/velk/|$INSTALLED/usr/share/doc/velk/|g" "$T/commands.sh" >"$T/c" &&
        mv "$T/c" "$T/commands.sh"
else
    RUN_PATH="$VELK_BIN:$PATH"
    export VELK_EXAMPLES="$VELK_SRC/examples"
fi
{
    echo 'set -e -o pipefail'
    # Without gnuplot the picture is the one step left out.
    echo 'command -v gnuplot >/dev/null || gnuplot() { echo "SKIP: gnuplot not installed"; }'
    cat "$T/commands.sh"
} >"$T/run.sh"
# GNU parallel keeps its state under PARALLEL_HOME: the test's own.
(cd "$T/work" && PATH="$RUN_PATH" PARALLEL_HOME="$T/parallel" bash "$T/run.sh") >"$T/out" 2>&1 ||
    fail "a tutorial command failed: $(tail -n 15 "$T/out")"
if [ -n "$INSTALLED" ]; then
    # The package's own reference TSP, not one the simulator made.
    [ -e "$T/work/tsp16384.wav" ] && fail "the tutorial did not find the packaged reference TSP"
    PATH="$RUN_PATH" command -v velksim >/dev/null && fail "the developers' velksim is on the tutorial's PATH"
fi

W=$T/work
for f in tsp_positions.xml mic.xml config.xml neighbors.xml tsp.xml ir000.wav tf.zip tf.csv \
    tf.sofa tf.mat tf.npz tf_again.zip; do
    [ -s "$W/$f" ] || fail "the tutorial did not write $f"
done
if command -v gnuplot >/dev/null; then
    [ "$(head -c 4 "$W/tf.png" 2>/dev/null | tail -c 3)" = PNG ] || fail "no PNG picture tf.png"
fi
# The results the tutorial quotes.
grep -qx "searched offset = 2068" "$W/search.txt" || fail "searched offset is not 2068: $(cat "$W/search.txt")"
grep -qx "suggest start offset = 2018" "$W/search.txt" || fail "suggested offset is not 2018"
grep -q " TF Directions     : 36" "$T/out" || fail "validtf --show does not report 36 directions"
grep -q " Contents          : localization, separation" "$T/out" || fail "archive lacks LOC or SEP"
# Three runs of calctfrec on 36 positions (the measurement, the swapped one
# and its repair), then 3 rooms of 4.
[ "$(grep -c ' progress:' "$T/out")" = 120 ] || fail "calctfrec did not print 3 x 36 + 3 x 4 progress lines"
# The diagnosis: nothing on the measurement, the swap on the swapped one,
# nothing once the suggested microphone list is used.
grep -q "No findings: the measurement fits its geometry." "$T/out" || fail "the diagnosis found something"
[ -s "$W/diagnosis.html" ] || fail "no HTML report"
grep -qx "exit status 2" "$T/out" || fail "the swapped measurement did not exit with 2"
grep -q "Channels 2 and 5 appear swapped" "$T/out" || fail "the swap was not found"
grep -qx "Result: ok (0 errors, 0 warnings)" "$T/out" || fail "the repaired archive still has findings"
# 36 positions x 8 microphones x 257 bins, plus the header.
[ "$(wc -l <"$W/tf.csv")" = $((36 * 8 * 257 + 1)) ] || fail "tf.csv has $(wc -l <"$W/tf.csv") lines"

# Many measurements at once: one run directory per run, and every archive
# the same as its run alone.
[ "$(find "$W/.velktool-temp" -mindepth 1 -maxdepth 1 -type d | wc -l)" = 6 ] ||
    fail "not one run directory per calctfrec run: $(ls "$W/.velktool-temp")"
for room in small medium large; do
    (cd "$W" && "$VELK_BIN/velktool5" calctfrec --tsp-list "$room.xml" --mic-list mic.xml \
        --output-file "$room-alone.zip" >/dev/null) || fail "$room alone failed"
    same_members "$W/$room.zip" "$W/$room-alone.zip" || fail "$room.zip differs from its run alone"
done
same_members "$W/small.zip" "$W/large.zip" && fail "the rooms gave the same archive"

finish "tutorial runs as written"
