#!/bin/bash
# velktoolcli-zip2coord as a process: every table checked line by line
# against a computation from the archive's .mat members in numpy (amplitude,
# 10*log10 of the amplitude, phase with and without the annotated offsets,
# inverse FFT with its time axis and the conjugated separation TFs), and the
# command line's messages and exit statuses.
set -u
BIN=${VELK_BIN:?}
SRC=${VELK_SRC:?}
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
Z="$BIN/velktoolcli-zip2coord"
if ! $PY -c 'import numpy, scipy.io' 2>/dev/null; then
    skip "$PY with numpy and scipy not available"
fi
mk() { $PY "$SRC/tests/support/make_tf_archive.py" "$@" || { echo "cannot make $1"; exit 1; }; }

# Three positions with ids 0, 1, 5, channels 0, 2, 5 of 8 microphones,
# offsets annotated on some positions of each kind.
mk a.zip '{"ids": [0, 1, 5], "channels": [0, 2, 5], "mics": 8, "nfft": 16, "rate": 8000,
           "offsets": {"localization": {"5": 3.5, "0": 1.25}, "separation": {"1": 2}}}'
# 512-point TFs over 3 microphones, localization only, a zero first value.
mk b.zip '{"ids": [4, 2], "mics": 3, "nfft": 512, "rate": 16000,
           "kinds": ["localization"], "zero": true}'

cat >check.py <<'PY'
# check.py ARCHIVE CSV KIND MODE: the table against numpy.
import io, sys, zipfile
import numpy as np, scipy.io
import xml.etree.ElementTree as ET
archive, csv, kind, mode = sys.argv[1:5]
z = zipfile.ZipFile(archive)
root = ET.fromstring(z.read("transferFunction/source.xml"))
nfft = int(root.find("config/nfft").text)
rate = int(root.find("config/samplingRate").text)
positions = root.findall("positions/position")
first = positions[0].find("channels")
expected = []
for i, p in enumerate(positions):
    pid = int(p.get("id"))
    tf = scipy.io.loadmat(io.BytesIO(z.read("transferFunction/%s/tf%05d.mat" % (kind, pid))))["tf"]
    tf = tf.astype(np.complex128)
    chans = [int(c) for c in first.text.split()] if first is not None else list(range(tf.shape[0]))
    off = 0.0
    for c in p.findall("calcTF"):
        if c.get("type") == kind:
            off = float(c.get("offset"))
    for j, ch in enumerate(chans):
        if mode == "ifft":
            spectrum = np.conj(tf[j]) if kind == "separation" else tf[j]
            sig = np.fft.irfft(spectrum, n=nfft) * nfft      # unscaled inverse
            for k in range(nfft):
                expected.append((pid, ch, k / rate + off / rate, i * 0.2, sig[k]))
            continue
        for k in range(nfft // 2 + 1):
            v = tf[j, k]
            if mode == "phase":
                v = v * np.exp(-1j * (off * 2 * np.pi / nfft) * k)
            zval = {"amp": abs(v), "db": 10 * np.log10(abs(v)) if v != 0 else -np.inf,
                    "phase": np.degrees(np.angle(v))}[mode]
            expected.append((pid, ch, k * rate / nfft, i * 0.2, zval))
lines = open(csv).read().split("\n")
assert lines[0] == "id,mic,x,y,z", lines[0]
assert lines[-1] == "", "no line end after the last line"
rows = [l.split(" , ") for l in lines[1:-1]]
assert len(rows) == len(expected), (len(rows), len(expected))
scale = max(abs(e[4]) for e in expected if np.isfinite(e[4]))
for n, (r, e) in enumerate(zip(rows, expected)):
    where = "line %d: %s vs %s" % (n + 2, r, e)
    assert len(r) == 5 and all("." in f or f == "-inf" for f in r[2:]), where
    assert int(r[0]) == e[0] and int(r[1]) == e[1], where
    assert abs(float(r[2]) - e[2]) < 2e-6 * max(1, abs(e[2])) and abs(float(r[3]) - e[3]) < 1e-6, where
    got = float(r[4])
    if mode == "phase":
        d = (got - e[4] + 180) % 360 - 180
        assert abs(d) < 1e-3, where
    elif not np.isfinite(e[4]):
        assert r[4] == "-inf", where
    else:
        assert abs(got - e[4]) < 1e-5 * scale + 2e-6, where
print("ok", len(rows))
PY

for kind in localization separation; do
    t=LOC; [ $kind = separation ] && t=sep
    for mode in amp db phase ifft; do
        opts=(--type "$t")
        if [ $mode = ifft ]; then opts+=(--ifft); else opts+=(--z_axis "$mode"); fi
        run "a_${kind}_$mode" 0 "$Z" "${opts[@]}" a.zip "a_${kind}_$mode.csv"
        printf 'SUCCESS\n output file : %s\n' "a_${kind}_$mode.csv" | cmp -s - "a_${kind}_$mode.err" ||
            fail "a_${kind}_$mode: stderr is '$(cat "a_${kind}_$mode.err")'"
        $PY check.py a.zip "a_${kind}_$mode.csv" $kind $mode >/dev/null ||
            fail "a.zip $kind $mode: values differ"
    done
done

# Defaults, table on standard output: 257 bins from 0 to 8000 Hz, amplitude.
run b_default 0 "$Z" b.zip
[ "$(cat b_default.err)" = "SUCCESS" ] || fail "b_default: stderr '$(cat b_default.err)'"
$PY check.py b.zip b_default.out localization amp >/dev/null || fail "b.zip amp: values differ"
[ "$(wc -l <b_default.out)" = $((1 + 2 * 3 * 257)) ] || fail "b_default: $(wc -l <b_default.out) lines"
[ "$(sed -n 3p b_default.out)" = "4 , 0 , 31.250000 , 0.000000 , $(sed -n 3p b_default.out | awk -F' , ' '{print $5}')" ] ||
    fail "b_default: second bin is '$(sed -n 3p b_default.out)'"
has b_default.out "2 , 2 , 8000.000000 , 0.200000 , "
run b_db 0 "$Z" -z db b.zip
$PY check.py b.zip b_db.out localization db >/dev/null || fail "b.zip db: values differ"
has b_db.out "4 , 0 , 0.000000 , 0.000000 , -inf"
# A later value replaces an earlier one.
run b_twice 0 "$Z" -z phase --z_axis amp -t SEP --type loc b.zip
cmp -s b_twice.out b_default.out || fail "later option values do not replace earlier ones"

# Separation TFs absent: "no data", no table, no SUCCESS.
echo keep >kept.csv
run nodata 1 "$Z" --type SEP b.zip kept.csv
has nodata.err "no data"
lacks nodata.err "SUCCESS"
[ "$(cat kept.csv)" = keep ] || fail "nodata: the existing output was touched"
run nodata_new 1 "$Z" --type SEP b.zip new.csv
[ ! -e new.csv ] || fail "nodata: an output file was created"

# An archive that cannot be loaded: a message naming it, no table.
echo "not a zip" >bad.zip
run badzip 1 "$Z" bad.zip bad.csv
has badzip.err "can not read transfer function file [bad.zip]"
[ ! -e bad.csv ] && [ ! -s badzip.out ] || fail "badzip: a table was written"
run missing 1 "$Z" nosuch.zip
has missing.err "nosuch.zip"

# Output problems: cannot be opened; a write that fails is an error.
run fopen 1 "$Z" a.zip nodir/x.csv
has fopen.err "fopen error [nodir/x.csv]"
lacks fopen.err "SUCCESS"
if [ -w /dev/full ]; then
    run full 1 "$Z" a.zip /dev/full
    lacks full.err "SUCCESS"
fi

# The plotting example renders a table (when gnuplot is installed).
if command -v gnuplot >/dev/null 2>&1; then
    gnuplot -e "csv='a_localization_db.csv'; png='a.png'" "$SRC/examples/zip2coord.gp" 2>gp.err ||
        fail "gnuplot: $(cat gp.err)"
    [ "$(head -c 4 a.png | tail -c 3)" = PNG ] || fail "gnuplot wrote no PNG"
fi

# Command line.
run noargs 1 "$Z"
has noargs.err "argument error!!"
has noargs.out "  Coordinate from transfer function"
run help 0 "$Z" --help a.zip
has help.out "Usage: velktoolcli-zip2coord [OPTIONS]* input_file(zip) [output_file(csv)]"
has help.out '  -t, --type=LOC|SEP            Type of Transfer function (default: "LOC")'
has help.out '  -z, --z_axis=amp|db|phase     Z_axis type (default: "amp")'
has help.out "  -i, --ifft                    Enable ifft (z_axis=real)"
run badtype 1 "$Z" --type=TF a.zip
has badtype.err "invalid string value"
run badz 1 "$Z" -z real a.zip
has badz.err "invalid string value"
run badopt 1 "$Z" --bogus a.zip
has badopt.err "--bogus: unknown option"
run noinput 1 "$Z" --type SEP
has noinput.err "missing input_file"

finish "all zip2coord checks passed"
