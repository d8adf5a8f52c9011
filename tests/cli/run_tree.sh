#!/bin/bash
# The run directory tree of velktool5 (.velktool-temp/<stamp>/tsp/<name>):
# a run works only in a directory it made itself, even when the next
# seconds' directories exist already, and refuses a .velktool-temp that is
# a symbolic link or writable by group or others; two recordings of one
# name in a run keep their impulse responses apart.  The plant of another
# user is tests/cli/run_tree_planted.sh.
set -u
. "$VELK_SRC/tests/support/cli.bash"
. "$VELK_SRC/tests/support/measurement.bash"
. "$VELK_SRC/tests/support/zipcmp.bash"

calctfrec() {   # calctfrec DIR STATUS LIST: output in DIR/out, DIR/err
    local dir=$1 want=$2 list=$3 got
    (cd "$dir" && "$VELK_BIN/velktool5" calctfrec --tsp-list "$list" --mic-list mic.xml \
        --output-file tf.zip >out 2>err)
    got=$?
    [ "$got" = "$want" ] || { FAIL "$dir: status $got, expected $want"; cat "$dir/err"; }
    ! grep -q Sanitizer "$dir/err" || FAIL "$dir: sanitizer report"
}
has_err() { grep -qF -- "$2" "$1/err" || { FAIL "$1: stderr lacks [$2]"; cat "$1/err"; }; }

# ---- the directories of the next seconds exist: a directory with a suffix ----
M=$T/busy
small_measurement "$M" 4 || { echo "setup failed"; cat "$M/setup.err"; exit 1; }
calctfrec "$M" 0 tsp.xml
mv "$M/tf.zip" "$M/alone.zip"
# Another run's directories for the next 13 seconds, each with a file where
# this run would write.
now=$(date +%s)
planted=0
for i in $(seq 0 12); do
    d=$M/.velktool-temp/$(date -d "@$((now + i))" +%Y%m%d%H%M%S)/tsp/tsp_D000.wav
    if [ ! -e "$d" ]; then
        mkdir -p "$d" && echo other >"$d/float_ch0.flt" && planted=$((planted + 1))
    fi
done
calctfrec "$M" 0 tsp.xml
[ "$(grep -c '^<< retry create directory >>$' "$M/out")" = 6 ] || FAIL "busy: not six retry lines"
same_members "$M/alone.zip" "$M/tf.zip" || FAIL "busy: the archive differs from the run alone"
own=$(find "$M/.velktool-temp" -mindepth 1 -maxdepth 1 -name '*_1')
[ -n "$own" ] && [ "$(find "$own" -name 'float_ch*.flt' | wc -l)" = 16 ] ||
    FAIL "busy: no run directory <stamp>_1 with the 16 impulse responses"
kept=0
for f in "$M"/.velktool-temp/*/tsp/tsp_D000.wav/float_ch0.flt; do
    [ "$(head -c 6 "$f")" = other ] && kept=$((kept + 1))
done
[ "$kept" = "$planted" ] || FAIL "busy: a file of another run's directory was overwritten"

# ---- .velktool-temp as a symbolic link, or writable by the group -------------------
M=$T/link
small_measurement "$M" 2 || { echo "setup failed"; exit 1; }
mkdir "$T/elsewhere" && ln -s "$T/elsewhere" "$M/.velktool-temp"
calctfrec "$M" 1 tsp.xml
has_err "$M" "Cannot create directory"
has_err "$M" "[.velktool-temp] is a symbolic link; remove it, or run in another directory"
[ -z "$(ls -A "$T/elsewhere")" ] && [ ! -e "$M/tf.zip" ] || FAIL "link: something was written"

M=$T/group
small_measurement "$M" 2 || { echo "setup failed"; exit 1; }
mkdir "$M/.velktool-temp" && chmod 0775 "$M/.velktool-temp"
calctfrec "$M" 1 tsp.xml
has_err "$M" "Cannot create directory"
has_err "$M" "[.velktool-temp] can be written by group or others (mode 0775); make it private with: chmod go-w .velktool-temp"
[ -z "$(ls -A "$M/.velktool-temp")" ] && [ ! -e "$M/tf.zip" ] || FAIL "group: something was written"

# ---- two recordings of one name: each keeps its impulse responses ------------------
M=$T/same
small_measurement "$M" 2 || { echo "setup failed"; exit 1; }
mkdir "$M/a" "$M/b" && cp "$M/rec/tsp_D000.wav" "$M/a/take.wav" && cp "$M/rec/tsp_D180.wav" "$M/b/take.wav"
sed 's|rec/tsp_D000.wav|a/take.wav|; s|rec/tsp_D180.wav|b/take.wav|' "$M/tsp.xml" >"$M/same.xml"
calctfrec "$M" 0 same.xml
first=$(echo "$M"/.velktool-temp/*/tsp/take.wav/float_ch0.flt)
second=$(echo "$M"/.velktool-temp/*/tsp/take.wav_1/float_ch0.flt)
[ -f "$first" ] && [ -f "$second" ] && ! cmp -s "$first" "$second" ||
    FAIL "same name: not two directories take.wav and take.wav_1 with their own impulse responses"

finish
