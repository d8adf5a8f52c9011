#!/bin/bash
# Runs the end-to-end tests (tests/cli/*.sh) with every program of a build
# under valgrind memcheck, and fails when any run reports an invalid read or
# write, a use of uninitialised values or an invalid free.  Leaks at exit
# are not counted: the small programs deliberately release little.
#
#   tests/memcheck.sh BUILD_DIR [TEST...]
#
# TEST names select scripts of tests/cli (without .sh); by default all of
# them run except the packaging ones, which install rather than run the
# programs.  Use a build without sanitizers (a Debug build is best).  The
# valgrind reports are kept in BUILD_DIR/memcheck/ (or in $VELK_MEMCHECK_OUT).
set -u
build=$(cd "${1:?usage: memcheck.sh BUILD_DIR [TEST...]}" && pwd) || exit 1
shift
src=$(cd "$(dirname "$0")/.." && pwd)
command -v valgrind >/dev/null || { echo "memcheck.sh: valgrind is not installed" >&2; exit 1; }
[ -x "$build/bin/velktool5" ] || { echo "memcheck.sh: no programs in $build/bin" >&2; exit 1; }
if nm -C "$build/bin/velktool5" 2>/dev/null | grep -q __asan_init; then
    echo "memcheck.sh: $build is a sanitizer build; use one without sanitizers" >&2
    exit 1
fi

out=${VELK_MEMCHECK_OUT:-$build/memcheck}
rm -rf "$out"
mkdir -p "$out/logs" "$out/build/bin" "$out/results"
# The wrappers stand where the programs stood: tests that look beside the
# programs (the build's share/ directory) find the same files.
for d in "$build"/*/; do
    name=$(basename "$d")
    [ "$name" = bin ] || [ "$d" = "$out/" ] || ln -s "$d" "$out/build/$name"
done
for prog in "$build"/bin/*; do
    [ -f "$prog" ] && [ -x "$prog" ] || continue
    # The suite's programs run under valgrind; the developer tools that
    # the tests use to make their inputs (velksim and others) run as they are.
    case $(basename "$prog") in
    velktool5 | velktoolcli-*) ;;
    *) ln -s "$prog" "$out/build/bin/"; continue ;;
    esac
    cat >"$out/build/bin/$(basename "$prog")" <<EOF
#!/bin/sh
exec valgrind -q --tool=memcheck --error-exitcode=99 --leak-check=no \\
    --errors-for-leak-kinds=none --track-origins=yes \\
    --log-file="$out/logs/$(basename "$prog").%p.log" "$prog" "\$@"
EOF
    chmod +x "$out/build/bin/$(basename "$prog")"
done

if [ $# -gt 0 ]; then
    tests=("$@")
else
    tests=()
    for t in "$src"/tests/cli/*.sh; do
        name=$(basename "$t" .sh)
        case $name in install | deb | deb_lintian | man_pages | completion) continue ;; esac
        tests+=("$name")
    done
fi

start=$(date +%s)
failed_tests=()
for t in "${tests[@]}"; do
    t0=$(date +%s)
    (cd "$out/results" &&
        VELK_BIN="$out/build/bin" VELK_SRC="$src" VELK_TEST_DATA="$src/tests/data" \
            bash "$src/tests/cli/$t.sh" >"$out/results/$t.log" 2>&1)
    rc=$?
    [ "$rc" = 0 ] || failed_tests+=("$t")
    echo "test $t: status $rc, $(($(date +%s) - t0)) s"
done

runs=$(find "$out/logs" -name '*.log' | wc -l)
# valgrind -q writes a log only with something to say; the error kinds
# that count are memory errors, not leaks.
bad=$(grep -lE 'Invalid (read|write|free)|uninitialised|Mismatched free|overlap|Source and destination' \
    "$out/logs"/*.log 2>/dev/null)
echo "memcheck: ${#tests[@]} tests, $runs program runs, $(($(date +%s) - start)) s"
if [ ${#failed_tests[@]} -gt 0 ]; then
    echo "memcheck: tests that did not pass under valgrind (see $out/results): ${failed_tests[*]}"
fi
if [ -n "$bad" ]; then
    echo "memcheck: memory errors in $(echo "$bad" | wc -l) runs:"
    for f in $bad; do
        echo "== $f"
        head -30 "$f"
    done
    exit 1
fi
echo "memcheck: no invalid reads or writes and no use of uninitialised values"
exit 0
