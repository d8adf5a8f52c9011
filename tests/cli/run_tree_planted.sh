#!/bin/bash
# Another local user prepares .velktool-temp in a directory everyone may
# write to: mode 0777, and for the next seconds' run directories the file
# tsp/<recording>/float_ch0.flt as a symbolic link to a file of root.  A
# root run of calctfrec there must refuse to work (the directory is not
# root's) and leave the linked file as it was.  The plant is made as the
# user nobody, so the test needs root and setpriv.
set -u
. "$VELK_SRC/tests/support/cli.bash"
[ "$(id -u)" = 0 ] || skip "needs root, to plant as another user"
command -v setpriv >/dev/null || skip "setpriv is not installed"
id nobody >/dev/null 2>&1 || skip "no user nobody"
setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups true 2>/dev/null ||
    skip "setpriv cannot run as nobody here"
. "$VELK_SRC/tests/support/measurement.bash"

chmod 0755 "$T"
W=$T/shared
small_measurement "$W" 2 || { echo "setup failed"; cat "$W/setup.err"; exit 1; }
chmod 0777 "$W"
echo "root's file" >"$T/victim"
cp "$T/victim" "$T/victim.orig"

setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- bash -c '
    cd "$1" || exit 1
    mkdir .velktool-temp && chmod 0777 .velktool-temp || exit 1
    now=$(date +%s)
    for i in $(seq 0 12); do
        d=.velktool-temp/$(date -d "@$((now + i))" +%Y%m%d%H%M%S)/tsp/tsp_D000.wav
        mkdir -p "$d" && ln -s "$2" "$d/float_ch0.flt" || exit 1
    done
    chmod -R 0777 .velktool-temp' plant "$W" "$T/victim" || { echo "setup failed: the plant"; exit 1; }

(cd "$W" && "$VELK_BIN/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml \
    --output-file tf.zip >out 2>err)
status=$?
[ "$status" = 1 ] || FAIL "status $status, expected 1"
grep -qF "Cannot create directory" "$W/err" || FAIL "no \"Cannot create directory\""
grep -qF "[.velktool-temp] belongs to user id $(id -u nobody), not to the user running this program (0)" "$W/err" ||
    FAIL "the reason is not given: $(cat "$W/err")"
cmp -s "$T/victim" "$T/victim.orig" || FAIL "the linked file was changed"
[ ! -e "$W/tf.zip" ] || FAIL "an archive was written"
[ -z "$(find "$W/.velktool-temp" -user 0)" ] || FAIL "root made files in the planted directory"
finish
