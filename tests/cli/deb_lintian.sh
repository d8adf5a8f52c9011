#!/usr/bin/env bash
# Debian's package checker on the package cpack builds from this build
# directory: no error and no warning (its informational tags are shown).
set -u
BUILD=$(cd "$VELK_BIN/.." && pwd)
command -v lintian >/dev/null || { echo "SKIP: lintian is not installed"; exit 77; }
command -v cpack >/dev/null || { echo "SKIP: cpack is not installed"; exit 77; }
[ -f "$BUILD/CPackConfig.cmake" ] || { echo "SKIP: $BUILD has no CPack configuration"; exit 77; }
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/log" 2>&1 ||
    { echo "FAIL: cpack -G DEB: $(tail -n 10 "$T/log")"; exit 1; }
DEB=$(ls "$T"/pkg/*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || { echo "FAIL: cpack wrote no .deb"; exit 1; }

lintian --no-cfg --display-info "$DEB" >"$T/lintian" 2>&1
rc=$?
cat "$T/lintian"
FAILS=0
# 0: nothing to report, 1: errors; anything else is lintian's own failure.
if [ "$rc" -gt 1 ]; then
    echo "FAIL: lintian ended with status $rc"
    FAILS=1
fi
if grep -q '^E: ' "$T/lintian"; then
    echo "FAIL: lintian reports errors"
    FAILS=1
fi
if grep -q '^W: ' "$T/lintian"; then
    echo "FAIL: lintian reports warnings"
    FAILS=1
fi
[ "$FAILS" = 0 ] || exit 1
echo "lintian: no errors and no warnings"
