#!/bin/bash
# velktoolcli-conv-tf as a process: the help screen, conversions of legacy
# files written as documented (independently of the library), the
# argument rules and their messages, and failures that leave nothing behind.
set -u
BIN=${VELK_BIN:?}
LEGACY=${VELK_SRC:?}/tests/support/legacy_files.py
. "$VELK_SRC/tests/support/cli.bash"
command -v python3 >/dev/null || skip "python3 is needed"
cd "$T" || exit 1
# run NAME EXPECTED_STATUS COMMAND...: keeps stdout in NAME.out, stderr in NAME.err
# in_order FILE TEXT1 TEXT2: both present, TEXT1 on an earlier line
in_order() {
    local a b
    a=$(grep -nF -- "$2" "$1" | head -1 | cut -d: -f1)
    b=$(grep -nF -- "$3" "$1" | head -1 | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || fail "$1: '$2' not before '$3'"
}
absent() { for f in "$@"; do [ ! -e "$f" ] || fail "$f was written"; done; }
CONV="$BIN/velktoolcli-conv-tf"
VALIDTF="$BIN/velktoolcli-validtf"

python3 "$LEGACY" write tf loc.tff 3 4 16 0 &&
    python3 "$LEGACY" write tf sep.tff 3 4 16 1 || { echo "cannot write legacy files"; exit 1; }

# Help: the whole screen; no argument is an error; --help only first.
run help 0 "$CONV" --help -l loc.tff
cat >help.want <<'EOF'


NAME:
  velktoolcli-conv-tf

Description:
  This command converts transfer function files in libvelkio2-style
  format to a new libvelkio3-style format.
  This command takes an old-style transfer function for localization
  and/or one for separation. Then, it generastes a new-style file
  format in zip files. If both transfer functions for localization
  and separation are given, the command generates one zip file that
  contains both two transfer functions.

  If only a transfer function for localization is given, the
  generated zip file has .mat files in its localization/ directory,
  and the separation/ directory is empty. If both transfer functions
  are given, both localization/ and separation/ directories have
  corresponding .mat files.

Usage: velktoolcli-conv-tf [OPTIONS]* outputfile(zip)
  -l, --localization=STRING     Localization transfer file(Binary)
  -s, --separation=STRING       Separation transfer file(Binary)
      --logLevel=E|W|I|D        Log information level (default: "E")
  -h, --help                    Show this help message
      --version                 Show the program's version


EOF
cmp -s help.out help.want || fail "help screen differs: $(diff help.want help.out | head -20)"
run noargs 1 "$CONV"
has noargs.err "argument error!!"
has noargs.out "Usage: velktoolcli-conv-tf [OPTIONS]* outputfile(zip)"
run latehelp 0 "$CONV" -l loc.tff --help late.zip
has latehelp.err "SUCCESS"
grep -q "NAME:" latehelp.out && fail "late --help printed the help screen"
[ -s late.zip ] || fail "late --help: no archive"

# Both files: one archive holding exactly the values written.
run both 0 "$CONV" -l loc.tff -s sep.tff both.zip
[ "$(cat both.out)" = "$(printf 'loctfpath=loc.tff\nseptfpath=sep.tff')" ] ||
    fail "both: stdout is '$(cat both.out)'"
[ "$(cat both.err)" = "$(printf 'SUCCESS\n output file : both.zip')" ] ||
    fail "both: stderr is '$(cat both.err)'"
python3 "$LEGACY" check both.zip localization 3 4 16 0 || fail "both: localization values"
python3 "$LEGACY" check both.zip separation 3 4 16 1 || fail "both: separation values"
[ "$(unzip -p both.zip transferFunction/whatisthis.txt | head -1)" = "transfer function" ] ||
    fail "both: label"

# -l alone: the separation directory is there and empty.
run loconly 0 "$CONV" -l loc.tff -o loc.zip
[ "$(cat loconly.out)" = "loctfpath=loc.tff" ] || fail "loconly: stdout is '$(cat loconly.out)'"
[ "$(unzip -Z1 loc.zip | grep -c '^transferFunction/separation/')" = 1 ] ||
    fail "loconly: separation directory is not empty"
[ "$(unzip -Z1 loc.zip | grep -c '^transferFunction/localization/tf000')" = 3 ] ||
    fail "loconly: not three localization TFs"
python3 "$LEGACY" check loc.zip localization 3 4 16 0 || fail "loconly: values"

if [ -x "$VALIDTF" ]; then
    run validboth 0 "$VALIDTF" -s both.zip
    has validboth.out "localization, separation"
    has validboth.err "SUCCESS"
    run validloc 0 "$VALIDTF" -s loc.zip
    has validloc.out " Contents          : localization"
    has validloc.out " nfft              : 16"
    # A legacy file itself is recognised by its first four bytes.
    run validlegacy 1 "$VALIDTF" loc.tff
    has validlegacy.err "see 'velktoolcli-conv-tf --help'"
else
    echo "note: velktoolcli-validtf not built; archive check skipped"
fi

# Argument rules, each: exit 1, its message, nothing written.
run neither 1 "$CONV" out.zip
has neither.err "one of -l or -s is needed at least"
[ ! -s neither.out ] || fail "neither: stdout not empty"
run twoouts 1 "$CONV" -l loc.tff -o a.zip b.zip
[ "$(cat twoouts.out)" = "loctfpath=loc.tff" ] || fail "twoouts: stdout is '$(cat twoouts.out)'"
has twoouts.err "mutually exclusive logical operations requested"
run noout 1 "$CONV" -l loc.tff
has noout.err "missing outputfile"
run badopt 1 "$CONV" --bogus -l loc.tff out.zip
has badopt.err "--bogus: unknown option"
run noarg 1 "$CONV" out.zip -l
has noarg.err "-l: missing argument"
absent out.zip a.zip b.zip

# Malformed inputs: the library's reason, then the converter's message.
cp loc.tff garbage.tff && printf 'x' >>garbage.tff
head -c 300 loc.tff >short.tff
head -c 40 loc.tff >header.tff
printf 'VELX' | cat - <(tail -c +5 loc.tff) >magic.tff
# 2^31-1 source positions in the header of a small file.
cp loc.tff huge.tff && printf '\377\377\377\177' | dd of=huge.tff bs=1 seek=12 conv=notrunc 2>/dev/null
python3 "$LEGACY" write tf sep3.tff 3 3 16 1
python3 "$LEGACY" write sm mat.tff 3 4 16 2
for c in "garbage:1 bytes of trailing garbage" "short:truncated" "header:shorter than the 56-byte header" \
    "magic:does not begin with \"VELK\"" "huge:truncated" "mat:a separation-matrix file where a transfer-function file is expected" \
    "missing:can not open file"; do
    name=${c%%:*} why=${c#*:}
    run "bad_$name" 1 "$CONV" -l "$name.tff" out.zip
    in_order "bad_$name.err" "$why" "velkio_Compat_TransferFunction_readlibvelkio2 error"
done
run pair 1 "$CONV" -l loc.tff -s sep3.tff out.zip
in_order pair.err "disagree on their shapes" "velkio_Compat_TransferFunction_readlibvelkio2 error"
absent out.zip

# An existing output survives a failed run; an unwritable output is a failure.
echo previous >keep.zip
run keep 1 "$CONV" -l short.tff keep.zip
[ "$(cat keep.zip)" = previous ] || fail "keep: existing output changed"
run unwritable 1 "$CONV" -l loc.tff missing/dir/out.zip
has unwritable.err "can not write output file [missing/dir/out.zip]"
grep -q SUCCESS unwritable.err && fail "unwritable: reported SUCCESS"
ls | grep -q '\.zip\.' && fail "temporary files left behind: $(ls)"

finish "conv_tf: all passed"
