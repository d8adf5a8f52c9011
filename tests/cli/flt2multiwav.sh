#!/bin/bash
# velktoolcli-flt2multiwav as a process: lengths, channel order and sample
# format of the WAV file (read back with scipy), the list-file rules, the
# messages and exit statuses, and no output left behind on failure.
set -u
BIN=${VELK_BIN:?}
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
AT_EXIT='chmod -R u+rwx "$T"'
cd "$T" || exit 1
F="$BIN/velktoolcli-flt2multiwav"
if ! $PY -c 'import numpy, scipy.io.wavfile' 2>/dev/null; then
    skip "$PY with numpy and scipy not available"
fi

# Raw inputs: file c<n> holds n samples, value 1000*channel + index (as
# float32, exact); odd.raw is 7 bytes (a cut sample); empty.raw is empty.
$PY - <<'PY' || { echo "cannot make inputs"; exit 1; }
import numpy as np
for tag, n in (("a", 1000), ("b", 800), ("c", 1200)):
    ch = "abc".index(tag)
    (1000 * ch + np.arange(n)).astype(np.float32).tofile(tag + ".raw")
for m in range(70):
    np.full(5, m, np.float32).tofile("m%02d.raw" % m)
open("odd.raw", "wb").write(np.float32(-2.5).tobytes() + b"xyz")
open("empty.raw", "wb").close()
PY
# wavinfo FILE [FIRST-FRAME...]: "rate frames channels" from the RIFF header
# (which must say 32-bit IEEE float), and the first frame's values.
cat >wav.py <<'PY'
import struct, sys
import numpy as np
data = open(sys.argv[1], "rb").read()
assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
pos, fmt, frames = 12, None, None
while pos + 8 <= len(data):
    cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
    body = data[pos + 8:pos + 8 + size]
    if cid == b"fmt ":
        tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", body[:16])
        if tag == 0xFFFE:                       # extensible: the sub-format's tag
            tag = struct.unpack("<H", body[24:26])[0]
        assert (tag, bits, align) == (3, 32, 4 * channels), (tag, bits, align)
        fmt = (rate, channels)
    if cid == b"data":
        frames = size // (4 * fmt[1])
        first = np.frombuffer(body[:4 * fmt[1]], "<f4")
    pos += 8 + size + (size & 1)
want = [float(v) for v in sys.argv[2:]]
assert not want or list(first) == want, (list(first), want)
print(fmt[0], frames, fmt[1])
PY
wavinfo() { $PY -W ignore wav.py "$@"; }

# Three inputs of 1000, 800 and 1200 samples: 800 frames, channel n = input n.
run three 0 "$F" out.wav b.raw a.raw c.raw
[ "$(cat three.err)" = "$(printf 'SUCCESS\n output file : out.wav')" ] || fail "three: '$(cat three.err)'"
[ "$(wavinfo out.wav 1000 0 2000)" = "16000 800 3" ] || fail "three: $(wavinfo out.wav 1000 0 2000 2>&1)"
$PY -W ignore - <<'PY' || fail "three: samples differ"
import numpy as np, scipy.io.wavfile as w
_, d = w.read("out.wav")
k = np.arange(800, dtype=np.float32)
assert (d[:, 0] == 1000 + k).all() and (d[:, 1] == k).all() and (d[:, 2] == 2000 + k).all()
PY

# Unequal lengths: a warning names the shortest and the longest input.
run unequal 0 "$F" --logLevel W unequal.wav b.raw a.raw c.raw
has unequal.err "inputs differ in length: every channel is cut to the shortest [b.raw] (800 samples); the longest is [c.raw] (1200 samples)"
[ "$(wavinfo unequal.wav)" = "16000 800 3" ] || fail "unequal: $(wavinfo unequal.wav 2>&1)"
run equal 0 "$F" --logLevel W equal.wav a.raw a.raw
lacks equal.err "differ in length"

# A 7-byte input is a cut sample: refused, no output.  An empty input gives
# 0 frames and SUCCESS.
run odd 1 "$F" odd.wav a.raw odd.raw
has odd.err "[odd.raw] is 7 bytes long, not a whole number of 4-byte float samples"
has odd.err "Reading raw file failed."
[ ! -e odd.wav ] || fail "odd: output created"
run empty 0 "$F" empty.wav a.raw empty.raw
has empty.err "SUCCESS"
[ "$(wavinfo empty.wav)" = "16000 0 2" ] || fail "empty: $(wavinfo empty.wav 2>&1)"

# List files: blank lines skipped, names taken verbatim.
printf 'c.raw\n\n\na.raw\n\nb.raw' >list.txt
run list 0 "$F" --list list.txt list.wav
[ "$(wavinfo list.wav 2000 0 1000)" = "16000 800 3" ] || fail "list: $(wavinfo list.wav 2000 0 1000 2>&1)"
printf 'a.raw \n' >spaced.txt
run spaced 1 "$F" -l spaced.txt spaced.wav
has spaced.err "Reading raw file failed."
# 64 names and one more (empty) line: warning, 64 channels.
{ for m in $(seq -w 0 63); do echo "m$m.raw"; done; echo; } >l64.txt
run l64 0 "$F" --logLevel W -l l64.txt l64.wav
has l64.err "number of channes too large. channel max = 64"
[ "$(wavinfo l64.wav)" = "16000 5 64" ] || fail "l64: $(wavinfo l64.wav 2>&1)"
head -n 64 l64.txt >exact64.txt
run exact64 0 "$F" --logLevel W -l exact64.txt exact64.wav
lacks exact64.err "too large"
# 70 names on the command line: warning, all 70 used.
run c70 0 "$F" --logLevel W c70.wav m*.raw
has c70.err "number of channes too large. channel max = 64"
[ "$(wavinfo c70.wav)" = "16000 5 70" ] || fail "c70: $(wavinfo c70.wav 2>&1)"
$PY -W ignore -c 'import scipy.io.wavfile as w; d = w.read("c70.wav")[1]; assert list(d[4]) == list(range(70))' ||
    fail "c70: channel order"

# Failures leave no output behind.
run missingin 1 "$F" bad.wav a.raw nosuch.raw
has missingin.err "nosuch.raw"
has missingin.err "Reading raw file failed."
[ ! -e bad.wav ] || fail "missingin: output created"
run nolist 1 "$F" -l nosuch.txt bad.wav
has nolist.err "nosuch.txt"
[ ! -e bad.wav ] || fail "nolist: output created"
: >emptylist.txt
run emptylist 1 "$F" -l emptylist.txt bad.wav
has emptylist.err "missing input_raw_files"
run badout 1 "$F" nodir/out.wav a.raw
[ "$(grep -c . badout.err)" = 1 ] || fail "badout: not one message: $(cat badout.err)"
has badout.err "nodir/out.wav"
lacks badout.err "SUCCESS"
mkdir ro && chmod 555 ro
if [ ! -w ro ]; then
    run readonly 1 "$F" ro/out.wav a.raw
    has readonly.err "ro/out.wav"
    [ -z "$(ls ro)" ] || fail "readonly: something was left in ro"
fi
# A write that fails half-way (file size limit): reported, partial file removed.
run limit 1 bash -c "ulimit -f 4; trap '' XFSZ; exec '$F' big.wav a.raw b.raw c.raw"
has limit.err "sf_write_float Error. frame="
has limit.err "Save file failed"
lacks limit.err "SUCCESS"
[ ! -e big.wav ] || fail "limit: the partial output was left behind"

# A list file that never ends a line (a device) is refused at once, in
# little memory.
if [ -x /usr/bin/time ]; then
    run zero 1 /usr/bin/time -f 'peak %M KB' timeout 20 "$F" -l /dev/zero zero.wav
    has zero.err "[/dev/zero] is not a regular file"
    lacks zero.err "missing input_raw_files"
    peak=$(sed -n 's/^peak \([0-9]*\) KB$/\1/p' zero.err)
    [ -n "$peak" ] && [ "$peak" -lt 100000 ] || fail "zero: peak memory ${peak:-?} KB"
    [ ! -e zero.wav ] || fail "zero: output created"
fi
# A line too long to be a path, and a list file larger than 1 MiB.
{ echo a.raw; head -c 5000 /dev/zero | tr '\0' x; echo; } >longline.txt
run longline 1 "$F" -l longline.txt longline.wav
has longline.err "list file [longline.txt] line 2 is longer than 4095 characters"
[ ! -e longline.wav ] || fail "longline: output created"
{ echo a.raw; head -c 1100000 /dev/zero | tr '\0' '\n'; } >biglist.txt
run biglist 1 "$F" -l biglist.txt biglist.wav
has biglist.err "list file [biglist.txt] is larger than 1048576 bytes"
[ ! -e biglist.wav ] || fail "biglist: output created"

# Command line.
run noargs 1 "$F"
has noargs.err "argument error!!"
has noargs.out "  Convert the multiple raw data (32bit float wave) to a multi channel wave file."
has noargs.out "      input_raw_filenames and -l are exclusive."
run help 0 "$F" --help x.wav
has help.out "Usage: velktoolcli-flt2multiwav [OPTIONS]* output_wav_filename [input_raw_filename1 filename2 ...]"
has help.out "  -l, --list=STRING          Input_raw_listfilename (ex. list.txt)"
run both 1 "$F" -l list.txt both.wav a.raw
has both.err "mutually exclusive logical operations requested"
[ ! -e both.wav ] || fail "both: output created"
run noinputs 1 "$F" x.wav
has noinputs.err "missing input_raw_files"
run nooutput 1 "$F" --logLevel E
has nooutput.err "missing output_wav_filename"
run badopt 1 "$F" --bogus x.wav a.raw
has badopt.err "--bogus: unknown option"

finish "all flt2multiwav checks passed"
