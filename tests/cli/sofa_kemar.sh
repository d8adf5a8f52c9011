#!/usr/bin/env bash
# A measured head-related set: the SimpleFreeFieldHRIR file of Debian's
# libmysofa1 (710 directions, 2 ears, 44.1 kHz) imported with
# velktoolcli-sofa2tf, its archive checked by velktoolcli-validtf, its
# transfer functions compared with numpy's FFT of the windows cut from the
# same file (read with netCDF4), and the archive exported again as a
# GeneralTF file that netCDF4 reads with every mandatory part.
set -u
. "$VELK_SRC/tests/support/cli.bash"
KEMAR=/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa
PY=/usr/bin/python3
[ -r "$KEMAR" ] || skip "$KEMAR missing (Debian package libmysofa1)"
$PY -c 'import netCDF4, numpy, scipy.io' 2>/dev/null || skip "$PY lacks netCDF4, numpy or scipy"
cd "$T" || exit 1

"$VELK_BIN/velktoolcli-sofa2tf" "$KEMAR" kemar.zip >out 2>err || fail "import: $(cat err)"
"$VELK_BIN/velktoolcli-validtf" --show kemar.zip >show 2>err || fail "validtf: $(cat err)"
grep -q " TF Directions     : 710" show || fail "validtf: $(cat show)"
grep -q " samplingRate      : 44100" show || fail "sampling rate: $(cat show)"
"$VELK_BIN/velktoolcli-tfexport" --format sofa kemar.zip kemar_tf.sofa 2>err || fail "export: $(cat err)"

PYTHONPATH=$VELK_SRC/tests/support KEMAR=$KEMAR $PY - <<'EOF' || fail "KEMAR transfer functions (see above)"
import os
import numpy as np, netCDF4
import sofa_files, tfarchive
d = netCDF4.Dataset(os.environ['KEMAR'])
ir = np.asarray(d['Data.IR'][:]).astype(np.float32).astype(np.float64)
where = np.asarray(d['SourcePosition'][:])
a = tfarchive.Archive('kemar.zip')
assert a.source_ids == list(range(710)) and sorted(a.mics) == [0, 1]
assert np.allclose(a.mics[0], (0, 0.09, 0)) and np.allclose(a.mics[1], (0, -0.09, 0))
worst = {'LOC': 0.0, 'SEP': 0.0}
scale = {'LOC': 0.0, 'SEP': 0.0}
for m in range(710):
    loc, sep, _, _ = sofa_files.windows_tf(ir[m], 512, 32, 256)
    for kind, got, want in (('LOC', a.loc[m], loc), ('SEP', a.sep[m], sep)):
        worst[kind] = max(worst[kind], np.max(np.abs(got - want)))
        scale[kind] = max(scale[kind], np.max(np.abs(want)))
    az, el, r = np.radians(where[m])[:2].tolist() + [where[m, 2]]
    xyz = r * np.array([np.cos(el) * np.cos(az), np.cos(el) * np.sin(az), np.sin(el)])
    assert np.allclose(a.sources[m], xyz, atol=1e-6), (m, a.sources[m], xyz)
for kind in worst:
    print('%s: largest error %.3g against a largest magnitude of %.3g (%.2g relative)'
          % (kind, worst[kind], scale[kind], worst[kind] / scale[kind]))
    assert worst[kind] <= 1e-5 * scale[kind], kind

e = sofa_files.check_general_tf('kemar_tf.sofa')
v = sofa_files.general_tf_values(e)
assert v.shape == (710, 2, 257)
for m in range(710):
    assert np.array_equal(v[m].astype(np.complex64), a.loc[m]), m
assert e['N'][-1] == 22050.0
EOF

finish "the KEMAR set imports, checks and exports"
