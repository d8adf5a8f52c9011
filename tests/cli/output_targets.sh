#!/bin/bash
# Output targets, for every program that writes a file, as root in a
# private mount namespace:
#  - A full disk never costs the previous output: each writer writes once
#    on a small file system of its own (a 2 MB tmpfs), then again after the
#    file system was filled up.  The second run must exit 1 with a message,
#    leave the first output byte for byte, and leave no temporary file
#    beside it; and so again when the file it would replace is a short one.
#  - A device is never replaced: /dev/null, /dev/stdout on a pipe and a
#    link to /dev/null as the output are refused before any work with
#    "output file [path] is not a regular file", and /dev/null stays a
#    character device.  /dev is a private tmpfs here, with device nodes of
#    its own, so that a program that failed the test could not damage the
#    machine's /dev.
set -u
. "$VELK_SRC/tests/support/cli.bash"
[ "$(id -u)" = 0 ] || skip "mounting the small file system needs root"
if [ -z "${VELK_PRIVATE_MOUNTS:-}" ]; then
    unshare -m --propagation private true 2>/dev/null ||
        skip "no private mount namespace (unshare -m)"
    rm -rf "$T"
    VELK_PRIVATE_MOUNTS=1 exec unshare -m --propagation private bash "$0" "$@"
fi
AT_EXIT='umount "$T/disk" /dev 2>/dev/null'
. "$VELK_SRC/tests/support/writers.bash"

export WRITER_FIXTURES=$T/f
writer_fixtures "$WRITER_FIXTURES" || { echo "setup failed"; tail -20 "$T/f/setup.log"; exit 1; }
D=$T/disk
mkdir "$D" "$T/run" && mount -t tmpfs -o size=2m tmpfs "$D" ||
    skip "can not mount a tmpfs"
cd "$T/run" || exit 1

# full NAME TARGET KIND: the file system filled up, writer NAME must fail
# and keep TARGET as it is (KIND says what it holds).
full() {
    local w=$1 target=$2 kind=$3 rc left before=$FAILS
    cp "$target" previous
    dd if=/dev/zero of="$D/filler" bs=4k 2>/dev/null
    writer_run "$w" "$target"
    rc=$?
    [ "$rc" = 1 ] || fail "$w: status $rc on a full disk, expected 1"
    [ -s "$w.err" ] || fail "$w: no message on a full disk"
    cmp -s previous "$target" || fail "$w: $kind was changed"
    left=$(cd "$D" && ls | grep -v '^filler$' | grep -vx "$(basename "$target")")
    [ -z "$left" ] || fail "$w: left behind: $left"
    [ "$FAILS" = "$before" ] &&
        echo "$w: status $rc, $kind ($(stat -c %s previous) bytes) kept, nothing else left"
    rm -f "$D/filler"
}

# Each writer against its own previous output, and against a short file,
# whose space a writer that wrote in place would get back by truncating it.
for w in $WRITERS; do
    rm -rf "${D:?}"/*
    target=$(writer_target "$w" "$D")
    writer_run "$w" "$target" || { fail "$w: the first run failed: $(tail -2 "$w.err")"; continue; }
    full "$w" "$target" "the previous output"
    echo "short file" >"$target"
    full "$w" "$target" "a short file"
done
# ---- device targets ------------------------------------------------------
mount -t tmpfs -o mode=755 tmpfs /dev &&
    mknod -m 666 /dev/null c 1 3 && mknod -m 666 /dev/zero c 1 5 &&
    ln -s /proc/self/fd /dev/fd && ln -s /proc/self/fd/1 /dev/stdout &&
    ln -s /proc/self/fd/2 /dev/stderr || skip "can not make a private /dev"
ln -s /dev/null "$D/null_ch0.flt"
# refused NAME TARGET: writer NAME, its standard output a pipe, must refuse
# TARGET.
refused() {
    local w=$1 target=$2 rc
    WRITER_STDOUT=/dev/stdout writer_run "$w" "$target" | cat >/dev/null
    rc=${PIPESTATUS[0]}
    [ "$rc" = 1 ] || fail "$w to $target: status $rc, expected 1"
    grep -qF "output file [$target] is not a regular file" "$w.err" ||
        fail "$w to $target: no refusal: $(head -c 300 "$w.err")"
}
for w in $WRITERS; do
    if [ "$w" = calcsysimp ]; then
        refused "$w" "$D/null_ch0.flt"
    else
        refused "$w" /dev/null
        refused "$w" /dev/stdout
    fi
done
[ -c /dev/null ] && [ -L /dev/stdout ] && [ -L "$D/null_ch0.flt" ] ||
    fail "a device or a link was replaced: $(ls -l /dev/null /dev/stdout "$D/null_ch0.flt")"
echo "every writer refused /dev/null, /dev/stdout on a pipe and a link to /dev/null; /dev/null is $(stat -c %F /dev/null)"
finish
