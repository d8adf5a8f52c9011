#!/bin/bash
# Runs every fuzz target of a fuzz build for SECONDS on a copy of its seed
# corpus (the committed corpus is never modified) and fails on any finding:
#   fuzz/smoke.sh BUILD_DIR SECONDS [TARGET...]
# Targets default to every fuzz/corpus/<target>/.  With VELK_FUZZ_KEEP=DIR
# the logs, grown corpora and any crash inputs are kept in DIR.
set -u
build=${1:?usage: smoke.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: smoke.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for d in "$here"/corpus/*/; do targets+=("$(basename "$d")"); done
fi
if [ -n "${VELK_FUZZ_KEEP:-}" ]; then
    work=$VELK_FUZZ_KEEP
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
for t in "${targets[@]}"; do
    bin="$build/bin/fuzz_$t"
    if [ ! -x "$bin" ] || [ ! -d "$here/corpus/$t" ]; then
        echo "FAIL $t: no $bin or no corpus"; failed=1; continue
    fi
    rm -rf "$work/$t" && mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    cp "$here/corpus/$t"/* "$work/$t/corpus/"
    # Each target writes its scratch files into a directory of its own.
    TMPDIR="$work/$t" "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" \
        "$work/$t/corpus" >"$work/$t/log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log" | tail -1)
    found=$(ls "$work/$t/artifacts" | head -5)
    if [ "$rc" != 0 ] || [ -n "$found" ]; then
        echo "FAIL $t: status $rc after ${runs:-?} runs; findings: ${found:-none kept}"
        grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==' "$work/$t/log" | head -8
        failed=1
    else
        echo "ok   $t: ${runs:-?} runs in ${seconds}s, no finding"
    fi
done
exit $failed
