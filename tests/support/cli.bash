# The preamble of every command-line test script, sourced before anything
# else runs: the scratch directory T (removed on exit, after the commands
# in AT_EXIT), the failure count and the script's end.
#
#   . "$VELK_SRC/tests/support/cli.bash"
#   need_program velktoolcli-x       # not built: the test is skipped
#   need_command strace              # not installed: skipped
#   skip "why"                       # status 77: CMake counts it skipped
#   fail "what went wrong"           # counted (FAIL is the same)
#   finish "what works"              # status 1 after a failure, else 0
#   run NAME STATUS COMMAND...       # streams in NAME.out, NAME.err here
#   has FILE TEXT, lacks FILE TEXT   # FILE holds TEXT, or does not
: "${VELK_BIN:?}" "${VELK_SRC:?}"
T=$(mktemp -d) || exit 1
AT_EXIT=
trap 'eval "$AT_EXIT"; rm -rf "$T"' EXIT
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
FAIL() { fail "$@"; }
skip() { echo "SKIP: $*"; exit 77; }
need_program() {
    local p
    for p; do [ -x "$VELK_BIN/$p" ] || skip "$p not built"; done
}
need_command() {
    local c
    for c; do command -v "$c" >/dev/null || skip "$c is not installed"; done
}
finish() {
    if [ "$FAILS" != 0 ]; then
        echo "$FAILS failure(s)"
        exit 1
    fi
    [ $# = 0 ] || echo "$*"
    exit 0
}

# The shared checks of one command (scripts with a `run` of their own
# define it after this file).
run() {
    local name=$1 want=$2
    shift 2
    "$@" >"$name.out" 2>"$name.err"
    local got=$?
    [ "$got" = "$want" ] || fail "$name: exit $got, expected $want ($(head -c 300 "$name.err"))"
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
lacks() { ! grep -qF -- "$2" "$1" || fail "$1 has: $2"; }
