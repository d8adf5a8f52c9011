#!/usr/bin/env bash
# velktoolcli-tfexport and velktoolcli-sofa2tf against an independent reader
# (Python's netCDF4, scipy, numpy): the exported SOFA file holds every
# mandatory part of GeneralTF with the archive's values and positions, an
# archive goes through SOFA and back unchanged, the MAT and npz files hold
# the same arrays, and impulse responses of a SOFA file (delayed, seen by a
# listener away from the origin and turned) become the transfer functions
# numpy computes from the same file.
set -u
PY=/usr/bin/python3
SUPPORT=$VELK_SRC/tests/support
. "$VELK_SRC/tests/support/cli.bash"
$PY -c 'import netCDF4, numpy, scipy.io' 2>/dev/null || skip "$PY lacks netCDF4, numpy or scipy"
cd "$T" || exit 1
quiet() { "$@" >/dev/null 2>"$T/err" || { fail "$*: $(cat "$T/err")"; }; }
B=$VELK_BIN

# An archive of 6 source positions whose transfer functions have rows for
# channels 0, 2 and 3 of 4 microphones.
quiet "$B/velksim" --mics 4 --sources 6 --azimuth-step 60 --length 512 --output-dir ir
quiet "$B/velktoolcli-genconfig" --nfft 64 --peak 1,200 cfg.xml
quiet "$B/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 --max-radius 0.05 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 270 --interval-azimuth 90 -o mic.xml
quiet "$B/velktoolcli-genposxml" circle --type impulse --min-radius 1.5 --max-radius 1.5 \
    --interval-radius 0 --elevation 10 --min-azimuth 0 --max-azimuth 300 --interval-azimuth 60 \
    --channels 0,2,3 --id 3 --path "$T/ir/imp_D{AZIMUTH:%03.0f}.wav" -o src.xml
quiet "$B/velktoolcli-mergexmls" -o imp.xml src.xml cfg.xml
quiet "$B/velktool5" calctfimp --impulse-list imp.xml --mic-list mic.xml --output-file tf.zip --reverb-length 48

for kind in LOC SEP; do
    quiet "$B/velktoolcli-tfexport" --format sofa --kind $kind tf.zip $kind.sofa
    quiet "$B/velktoolcli-sofa2tf" --output-type $kind $kind.sofa back_$kind.zip
    quiet "$B/velktoolcli-validtf" back_$kind.zip
done
quiet "$B/velktoolcli-tfexport" --format mat tf.zip tf.mat
quiet "$B/velktoolcli-tfexport" --format npz --kind loc tf.zip tf.npz

PYTHONPATH=$SUPPORT $PY - <<'EOF' || fail "exported files (see above)"
import numpy as np, scipy.io
import sofa_files, tfarchive
a = tfarchive.Archive('tf.zip')
ids = a.source_ids
assert ids == [3, 4, 5, 6, 7, 8], ids
for kind in ('LOC', 'SEP'):
    d = sofa_files.check_general_tf(kind + '.sofa')
    v = sofa_files.general_tf_values(d)
    stored = a.loc if kind == 'LOC' else a.sep
    assert v.shape == (6, 3, 33), v.shape
    assert list(d['SourceId'][:]) == ids and list(d['ReceiverId'][:]) == [0, 2, 3]
    assert d.getncattr('RoomType') == ('free field' if kind == 'LOC' else 'reverberant')
    assert np.allclose(d['N'][:], np.arange(33) * 16000 / 64)
    for i, s in enumerate(ids):
        # Exported as transfer functions: the separation kind conjugated back.
        want = stored[s] if kind == 'LOC' else np.conj(stored[s])
        assert np.array_equal(v[i].astype(np.complex64), want), (kind, s)
        assert np.allclose(d['SourcePosition'][i], a.sources[s], rtol=1e-6, atol=1e-7)
    for j, c in enumerate([0, 2, 3]):
        assert np.allclose(d['ReceiverPosition'][j, :, 0], a.mics[c], rtol=1e-6, atol=1e-7)
    # Back into an archive: the same values, ids and positions.
    b = tfarchive.Archive('back_%s.zip' % kind)
    back = b.loc if kind == 'LOC' else b.sep
    assert b.source_ids == ids and sorted(b.mics) == [0, 2, 3]
    for s in ids:
        assert np.array_equal(back[s], stored[s]), (kind, s)
        assert np.allclose(b.sources[s], a.sources[s], rtol=1e-6, atol=1e-7)
    for c in (0, 2, 3):
        assert np.allclose(b.mics[c], a.mics[c], rtol=1e-6, atol=1e-7)

# MAT and npz: the same arrays.
m = scipy.io.loadmat('tf.mat')
z = np.load('tf.npz')
tf = np.array([a.loc[s] for s in ids])
for name, arr in (('mat', m['tf']), ('npz', z['tf'])):
    assert arr.dtype == np.complex64 and arr.shape == (6, 3, 33), (name, arr.dtype, arr.shape)
    assert np.array_equal(arr, tf), name
pos = np.array([a.sources[s] for s in ids], dtype=np.float64)
mics = np.array([a.mics[c] for c in (0, 2, 3)], dtype=np.float64)
for src, want in ((m, 'mat'), (z, 'npz')):
    assert np.allclose(src['source_position'], pos, rtol=1e-6, atol=1e-7), want
    assert np.allclose(src['microphone_position'], mics, rtol=1e-6, atol=1e-7), want
    assert np.ravel(src['source_id']).tolist() == ids and np.ravel(src['microphone_id']).tolist() == [0, 2, 3]
    assert int(np.ravel(src['sampling_rate'])[0]) == 16000 and int(np.ravel(src['nfft'])[0]) == 64
    assert np.array_equal(np.ravel(src['frequency']), np.arange(33) * 250.0)
assert z['source_id'].dtype == np.int32 and z['tf'].shape == m['tf'].shape
print('exports ok')
EOF

# Impulse responses of a GeneralFIR file: receivers delayed by 0, 3 and 7
# samples, the listener at (1, 2, 0.5) looking along +y.
PYTHONPATH=$SUPPORT $PY - <<'EOF' || fail "making fir.sofa"
import numpy as np, sofa_files
rng = np.random.default_rng(1)
ir = rng.normal(0, 0.01, (4, 3, 200))
for m in range(4):
    for r in range(3):
        ir[m, r, 40 + 5 * m + 2 * r] = 1 - 0.1 * r
np.save('fir.npy', ir)
sofa_files.write_fir('fir.sofa', ir, 16000, [[0, 0, 2], [90, 0, 2], [45, 30, 1.5], [180, -10, 3]],
                     [[0, 0.05, 0], [0, -0.05, 0], [0.05, 0, 0]], listener=(1, 2, 0.5),
                     view=(0, 1, 0), delay=[0, 3, 7])
EOF
quiet "$B/velktoolcli-sofa2tf" --nfft 64 --direct-length 8 --reverb-length 32 fir.sofa fir.zip
quiet "$B/velktoolcli-validtf" fir.zip
PYTHONPATH=$SUPPORT $PY - <<'EOF' || fail "impulse responses of fir.sofa (see above)"
import numpy as np, sofa_files, tfarchive
ir = np.load('fir.npy').astype(np.float32).astype(np.float64)
a = tfarchive.Archive('fir.zip')
src = np.array([[0, 0, 2], [90, 0, 2], [45, 30, 1.5], [180, -10, 3]])
for m in range(4):
    signals = np.zeros((3, 207))
    for r, d in enumerate((0, 3, 7)):
        signals[r, d:d + 200] = ir[m, r]
    loc, sep, (lf, lt), (sf, st) = sofa_files.windows_tf(signals, 64, 8, 32)
    assert np.max(np.abs(a.loc[m] - loc)) < 1e-5 * np.max(np.abs(loc)), m
    assert np.max(np.abs(a.sep[m] - sep)) < 1e-5 * np.max(np.abs(sep)), m
    cuts = {t: (int(x.get('cutIndexFrom', 0)), int(x.get('cutIndexTo', 0)))
            for t, x in a.calctf.get(m, [])}
    assert cuts.get('separation') == (sf, st), (m, cuts)
    az, el, r = np.radians(src[m, 0]), np.radians(src[m, 1]), src[m, 2]
    g = np.array([r * np.cos(el) * np.cos(az), r * np.cos(el) * np.sin(az), r * np.sin(el)])
    g -= (1, 2, 0.5)
    # Seen from the listener: forward is +y, left is -x.
    assert np.allclose(a.sources[m], (g[1], -g[0], g[2]), atol=1e-6), (m, a.sources[m])
assert 'Direct sound Length  8' in a.readme
print('impulse responses ok')
EOF

# A GeneralTF file holds its own nfft.
"$B/velktoolcli-sofa2tf" --nfft 128 LOC.sofa x.zip 2>err && fail "--nfft 128 for bins of nfft 64 accepted"
grep -q "holds the bins of nfft 64, not of --nfft 128" err || fail "nfft mismatch: $(cat err)"
[ ! -e x.zip ] || fail "archive written after a refusal"

# Damaged files on which the netCDF-4 (HDF5) library crashes or loops
# (found by fuzzing; the corpus stores them after a mode byte): the reader's
# process ends, the program reports the file as damaged, within the time
# limit of one library call (20 s), and writes nothing.
# Under tests/memcheck.sh (the programs are wrapper scripts) the library's
# own faults on these files would count as the program's: not run there.
DAMAGED="library_segv library_abort library_loop"
[ "$(head -c 2 "$B/velktoolcli-sofa2tf")" = "#!" ] && DAMAGED=""
for f in $DAMAGED; do
    tail -c +2 "$VELK_SRC/fuzz/corpus/sofa_reader/$f.sofa" >$f.sofa
    "$B/velktoolcli-sofa2tf" $f.sofa $f.zip >/dev/null 2>err
    status=$?
    [ $status = 1 ] || fail "$f: status $status"
    if grep -q AddressSanitizer err; then
        # A sanitizer build reports the library's fault itself, and the
        # reader's process exits with status 1.
        grep -E '^ +#[12] ' err | head -2 | grep -q libhdf5 ||
            fail "$f: a sanitizer report outside the HDF5 library: $(grep -E '^ +#' err | head -4)"
    else
        grep -qE "$f.sofa: the netCDF-4 library (failed on this file|took more than 20 s)" err ||
            fail "$f: $(tail -n 3 err)"
    fi
    [ ! -e $f.zip ] || fail "$f: archive written"
done

finish "SOFA, MAT and npz files read back as written"
