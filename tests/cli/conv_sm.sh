#!/bin/bash
# velktoolcli-conv-sm as a process: the help screen, the conversion of a
# separation matrix written as documented (independently of the library)
# with its archive, the positional arguments and their messages in order,
# and failures that leave nothing behind.
set -u
BIN=${VELK_BIN:?}
LEGACY=${VELK_SRC:?}/tests/support/legacy_files.py
. "$VELK_SRC/tests/support/cli.bash"
command -v python3 >/dev/null || skip "python3 is needed"
cd "$T" || exit 1
in_order() {
    local a b
    a=$(grep -nF -- "$2" "$1" | head -1 | cut -d: -f1)
    b=$(grep -nF -- "$3" "$1" | head -1 | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || fail "$1: '$2' not before '$3'"
}
CONV="$BIN/velktoolcli-conv-sm"

# The archive the matrix belongs to, converted from documented legacy files.
python3 "$LEGACY" write tf loc.tff 3 4 16 0 &&
    python3 "$LEGACY" write sm mat.tff 3 4 16 2 &&
    "$BIN/velktoolcli-conv-tf" -l loc.tff tf.zip >/dev/null 2>&1 ||
    { echo "cannot prepare the inputs"; exit 1; }

run help 0 "$CONV" --help mat.tff tf.zip out.zip
cat >help.want <<'EOF'


NAME:
  velktoolcli-conv-sm

Description:
  Convert the old file separation matrix

Usage: velktoolcli-conv-sm [OPTIONS]* sepmatfile(binary) septffile(zip) outputfile(zip)
      --logLevel=E|W|I|D     Log information level (default: "E")
  -h, --help                 Show this help message
      --version              Show the program's version

Arguments:
  sepmatfile  Separation matrix file               (e.g., mat.tff)
  septffile   Corresponding transfer function file (e.g., sep.zip)
  outputfile  Output separation matrix file        (e.g., out.zip)


EOF
cmp -s help.out help.want || fail "help screen differs: $(diff help.want help.out | head -20)"
[ ! -e out.zip ] || fail "help wrote out.zip"
run noargs 1 "$CONV"
has noargs.err "argument error!!"
has noargs.out "  velktoolcli-conv-sm"

# The conversion: the matrix's values in the separation directory of an
# archive labelled "separation matrix", nothing for localization.
run conv 0 "$CONV" mat.tff tf.zip out.zip
[ "$(cat conv.out)" = "$(printf 'sepmatpath=mat.tff\nseptfpath=tf.zip')" ] ||
    fail "conv: stdout is '$(cat conv.out)'"
[ "$(cat conv.err)" = "$(printf 'SUCCESS\n output file : out.zip')" ] ||
    fail "conv: stderr is '$(cat conv.err)'"
[ "$(unzip -p out.zip transferFunction/whatisthis.txt | head -1)" = "separation matrix" ] ||
    fail "conv: label"
python3 "$LEGACY" check out.zip separation 3 4 16 2 || fail "conv: values"
[ "$(unzip -Z1 out.zip | grep -c '^transferFunction/localization/tf')" = 0 ] ||
    fail "conv: localization TFs in the output"

# Positional arguments, in order.
run nopos 1 "$CONV" --logLevel E
in_order nopos.err "missing sepmatfile(binary)" "missing septffile(zip)"
[ ! -s nopos.out ] || fail "nopos: stdout not empty"
run onepos 1 "$CONV" mat.tff
[ "$(cat onepos.out)" = "sepmatpath=mat.tff" ] || fail "onepos: stdout is '$(cat onepos.out)'"
has onepos.err "missing septffile(zip)"
lacks onepos.err "missing sepmatfile"
run twopos 1 "$CONV" mat.tff tf.zip
[ "$(cat twopos.out)" = "$(printf 'sepmatpath=mat.tff\nseptfpath=tf.zip')" ] ||
    fail "twopos: stdout is '$(cat twopos.out)'"
has twopos.err "missing outputfile(zip)"
lacks twopos.err "readlibvelkio2 error"
run badopt 1 "$CONV" --bogus mat.tff tf.zip new.zip
has badopt.err "--bogus: unknown option"

# Inputs that do not fit: the library's reason, then the converter's
# message; the output is never examined.
python3 "$LEGACY" write sm mat32.tff 3 4 32 2
python3 "$LEGACY" write sm mat2.tff 2 4 16 2
python3 "$LEGACY" write sm rate.tff 3 4 16 2 48000
head -c 100 mat.tff >short.tff
for c in "mat32:has nfft 32 and sampling rate 16000; its archive" "mat2:holds 2 source positions" \
    "rate:sampling rate 48000" "short:truncated" \
    "loc:a transfer-function file where a separation-matrix file is expected"; do
    name=${c%%:*} why=${c#*:}
    run "bad_$name" 1 "$CONV" "$name.tff" tf.zip
    in_order "bad_$name.err" "$why" "velkio_Compat_SeparationMatrix_readlibvelkio2 error"
    lacks "bad_$name.err" "missing outputfile"
done
run noarchive 1 "$CONV" mat.tff none.zip new.zip
in_order noarchive.err "can not read the transfer-function archive" "velkio_Compat_SeparationMatrix_readlibvelkio2 error"
# A separation-matrix archive is not the transfer-function archive it needs.
run smarchive 1 "$CONV" mat.tff out.zip new.zip
has smarchive.err "is not [transfer function]"
[ ! -e new.zip ] || fail "new.zip was written"

run unwritable 1 "$CONV" mat.tff tf.zip missing/dir/new.zip
has unwritable.err "can not write output file [missing/dir/new.zip]"
lacks unwritable.err "SUCCESS"
ls | grep -q '\.zip\.' && fail "temporary files left behind: $(ls)"

finish "conv_sm: all passed"
