# Shell helpers of the command-line tests of the transfer-function
# subcommands.  Source it after setting SUBCOMMAND (calctfimp, calctfgeo)
# and after tests/support/cli.bash (T, the test's temporary directory, is
# the current directory; FAIL counts a failure).

# run NAME STATUS ARGS... : velktool5 SUBCOMMAND ARGS in a fresh directory
# $T/NAME, standard output in NAME/out, standard error in NAME/err.
run() {
    local name=$1 want=$2; shift 2
    mkdir -p "$T/$name" && cd "$T/$name" || exit 1
    "$VELK_BIN/velktool5" "$SUBCOMMAND" "$@" >out 2>err
    local got=$?
    [ "$got" = "$want" ] || { FAIL "$name: status $got, expected $want"; cat err; }
    ! grep -q 'Sanitizer' err || { FAIL "$name: sanitizer report"; cat err; }
    cd "$T" || exit 1
}
has_err() { grep -qF -- "$2" "$T/$1/err" || { FAIL "$1: stderr lacks [$2]"; cat "$T/$1/err"; }; }
lacks_err() { ! grep -qF -- "$2" "$T/$1/err" || FAIL "$1: stderr has [$2]"; }
# A refused run wrote no archive and made no temporary directory.
no_output() {
    [ ! -e "$T/$1/tf.zip" ] || FAIL "$1: archive written"
    [ ! -e "$T/$1/.velktool-temp" ] || FAIL "$1: .velktool-temp created"
}
# missing_in_order NAME TEXT: the "missing --..." messages, in order.
missing_in_order() {
    local got
    got=$(grep -o 'missing --[a-z-]*' "$T/$1/err" | tr '\n' ' ')
    [ "$got" = "$2" ] || FAIL "$1: missing options [$got], expected [$2]"
}
# option_errors ARGS -- BAD...: each bad option (one word pair) ends the
# run with status 1 and popt's "%s: %s" message, before anything is read.
option_errors() {
    local args=() bad
    while [ "$1" != "--" ]; do args+=("$1"); shift; done
    shift
    for bad in "$@"; do
        run opt 1 "${args[@]}" $bad
        grep -qE '\[E\] .*: ' "$T/opt/err" || FAIL "$bad: no option error"
        lacks_err opt "Exec start"
        no_output opt
        rm -rf "$T/opt"
    done
}
merge() { "$VELK_BIN/velktoolcli-mergexmls" --output "$@" 2>/dev/null || FAIL "mergexmls $1"; }
config() { "$VELK_BIN/velktoolcli-genconfig" --rate 16000 "$@" 2>/dev/null || FAIL "genconfig $*"; }
