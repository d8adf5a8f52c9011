#!/usr/bin/env bash
# The demo measurement of `make demo` runs end to end: simulated impulse
# responses through the document generators, calctfimp and calctfgeo; both
# archives load with the library, hold only finite values, and the measured
# transfer functions point at the positions they were simulated from.
set -u
. "$VELK_SRC/tests/support/cli.bash"
if ! "$VELK_BIN/velktool5" calctfimp --help 2>/dev/null | grep -q -- --impulse-list; then
    skip "velktool5 calctfimp not built"
fi

bash "$VELK_SRC/examples/demo.sh" "$(dirname "$VELK_BIN")" "$T/demo" >"$T/out" 2>&1 ||
    { cat "$T/out"; fail "demo.sh ended with an error"; }
for zip in tf_imp.zip tf_geo.zip; do
    [ -s "$T/demo/$zip" ] || fail "$zip was not written"
    grep -q "$zip: 72 source positions x 8 microphones (8 rows), nfft 512, 16000 Hz; localization and separation transfer functions; all values finite" "$T/out" ||
        fail "no summary of $zip"
done
grep -q "direction check: 72 of 72 source positions point at their own position" "$T/out" ||
    fail "direction check: $(grep 'direction check' "$T/out")"
[ "$(ls "$T/demo/ir" | wc -l)" = 72 ] || fail "$(ls "$T/demo/ir" | wc -l) WAV files, expected 72"
grep -q "$T/demo/tf_imp.zip" "$T/out" || fail "the archive paths are not printed"
# The diagnosis of the clean archives finds no error (the step would fail).
if [ -x "$VELK_BIN/velktoolcli-diagnose" ]; then
    grep -q "diagnose the archives against their geometry" "$T/out" || fail "no diagnosis step"
    for log in "$T"/demo/log/*.log; do
        grep -q '^Result: ' "$log" || continue
        grep -q '^Result: ok (0 errors, 0 warnings)' "$log" || fail "diagnosis of $log: $(grep '^Result' "$log")"
    done
fi

# A fault in the chain stops the demo with the failing step's log.
mkdir -p "$T/broken/bin"
for f in "$VELK_BIN"/*; do ln -s "$f" "$T/broken/bin/"; done
rm "$T/broken/bin/velktoolcli-simulate"
printf '#!/bin/sh\necho "simulator broke" >&2\nexit 1\n' >"$T/broken/bin/velktoolcli-simulate"
chmod +x "$T/broken/bin/velktoolcli-simulate"
bash "$VELK_SRC/examples/demo.sh" "$T/broken" "$T/demo2" >"$T/out" 2>&1 && fail "broken demo reported success"
grep -q "simulator broke" "$T/out" || fail "the failing step's log is not shown"
[ -e "$T/demo2/tf_imp.zip" ] && fail "broken demo went on after the failed step"

finish "demo passed"
