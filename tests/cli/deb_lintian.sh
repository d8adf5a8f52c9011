#!/usr/bin/env bash
# Debian's package checker on the package cpack builds from this build
# directory: no error, and no warning but the ones listed below with the
# reason they stay.
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

# Warnings that stay:
#  - no-manual-page / binary-without-manpage never apply (every program
#    has one); none is expected, so none is listed.
ALLOWED_WARNINGS=""
lintian --no-cfg --display-info "$DEB" >"$T/lintian" 2>&1
cat "$T/lintian"
FAILS=0
if grep -q '^E: ' "$T/lintian"; then
    echo "FAIL: lintian reports errors"
    FAILS=1
fi
while read -r tag; do
    [[ " $ALLOWED_WARNINGS " == *" $tag "* ]] && continue
    echo "FAIL: lintian warning $tag"
    FAILS=1
done < <(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' "$T/lintian" | sort -u)
[ "$FAILS" = 0 ] || exit 1
echo "lintian: no errors and no warnings"
