#!/usr/bin/env bash
# The MAT-file of velktoolcli-tfexport loaded by Octave: every array with
# its class, complexity and shape, and the values equal to those of the npz
# file (read by numpy).  Octave is large and not among the packages that
# "make deps" installs: without it this test is skipped.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
command -v octave-cli >/dev/null || skip "octave-cli not installed"
$PY -c 'import numpy' 2>/dev/null || skip "$PY lacks numpy"
cd "$T" || exit 1
quiet() { "$@" >/dev/null 2>"$T/err" || fail "$*: $(cat "$T/err")"; }
B=$VELK_BIN

quiet "$B/velksim" --mics 3 --sources 4 --azimuth-step 90 --length 512 --output-dir ir
quiet "$B/velktoolcli-genconfig" --nfft 64 --peak 1,200 cfg.xml
quiet "$B/velktoolcli-genposxml" circle --type microphone --min-radius 0.05 --max-radius 0.05 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 240 --interval-azimuth 120 -o mic.xml
quiet "$B/velktoolcli-genposxml" circle --type impulse --min-radius 1.5 --max-radius 1.5 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 270 --interval-azimuth 90 \
    --path "$T/ir/imp_D{AZIMUTH:%03.0f}.wav" -o src.xml
quiet "$B/velktoolcli-mergexmls" -o imp.xml src.xml cfg.xml
quiet "$B/velktool5" calctfimp --impulse-list imp.xml --mic-list mic.xml --output-file tf.zip --reverb-length 48
quiet "$B/velktoolcli-tfexport" --format mat --kind SEP tf.zip tf.mat
quiet "$B/velktoolcli-tfexport" --format npz --kind SEP tf.zip tf.npz

cat >check.m <<'EOF'
s = load('tf.mat');
assert(strcmp(class(s.tf), 'single') && iscomplex(s.tf) && isequal(size(s.tf), [4 3 33]));
assert(strcmp(class(s.source_position), 'double') && isequal(size(s.source_position), [4 3]));
assert(strcmp(class(s.microphone_position), 'double') && isequal(size(s.microphone_position), [3 3]));
assert(strcmp(class(s.source_id), 'int32') && isequal(s.source_id', int32([0 1 2 3])));
assert(strcmp(class(s.microphone_id), 'int32') && isequal(s.microphone_id', int32([0 1 2])));
assert(s.sampling_rate == 16000 && s.nfft == 64 && isequal(size(s.frequency), [33 1]));
assert(s.frequency(33) == 8000);
f = fopen('octave.txt', 'w');
fprintf(f, '%.9g %.9g\n', [real(s.tf(:))'; imag(s.tf(:))']);
fprintf(f, '%.17g\n', s.source_position(:));
fclose(f);
exit(0);
EOF
octave-cli -q --norc --no-history check.m >octave.out 2>&1 || fail "Octave: $(cat octave.out)"
$PY - <<'EOF' || fail "Octave's values differ from numpy's (see above)"
import numpy as np
z = np.load('tf.npz')
lines = open('octave.txt').read().split('\n')
n = z['tf'].size
pairs = np.array([l.split() for l in lines[:n]], dtype=np.float32)
tf = (pairs[:, 0] + 1j * pairs[:, 1]).astype(np.complex64)
assert np.array_equal(tf, z['tf'].ravel(order='F'))
pos = np.array(lines[n:n + 12], dtype=np.float64)
assert np.array_equal(pos, z['source_position'].ravel(order='F'))
print('octave ok')
EOF

finish "Octave loads the MAT-file as written"
