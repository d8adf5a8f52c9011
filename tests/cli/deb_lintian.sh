#!/usr/bin/env bash
# Debian's package checker on the package cpack builds from this build
# directory: no error and no warning (its informational tags are shown).
set -u
. "$VELK_SRC/tests/support/cli.bash"
BUILD=$(cd "$VELK_BIN/.." && pwd)
need_command lintian cpack
[ -f "$BUILD/CPackConfig.cmake" ] || skip "$BUILD has no CPack configuration"

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/log" 2>&1 ||
    { fail "cpack -G DEB: $(tail -n 10 "$T/log")"; finish; }
DEB=$(ls "$T"/pkg/*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || { fail "cpack wrote no .deb"; finish; }

lintian --no-cfg --display-info "$DEB" >"$T/lintian" 2>&1
rc=$?
cat "$T/lintian"
# 0: nothing to report, 1: errors; anything else is lintian's own failure.
[ "$rc" -gt 1 ] && fail "lintian ended with status $rc"
grep -q '^E: ' "$T/lintian" && fail "lintian reports errors"
grep -q '^W: ' "$T/lintian" && fail "lintian reports warnings"
finish "lintian: no errors and no warnings"
