#!/bin/bash
# The numbers of the transform-based commands on small fixed inputs against
# the values an earlier build gave, kept in tests/data/tf_reference.npz:
# the transfer functions of calctfimp (LOC and SEP), calctfrec and
# calctfmouth (LOC) at nfft 512, and the time signals of zip2coord --ifft.
# Each may move by single-precision rounding only (relative RMS at most
# 2e-6), so that a change of the transforms' arithmetic cannot drift the
# results unnoticed.
#
#   bash tests/cli/tf_reference.sh --write FILE   (VELK_BIN, VELK_SRC set)
#
# writes the values of the programs in VELK_BIN to FILE instead; the
# committed file was written so by the build before the transforms were
# reworked.
set -u
PY=/usr/bin/python3
BIN=${VELK_BIN:?}
SRC=${VELK_SRC:?}
WRITE=
. "$VELK_SRC/tests/support/cli.bash"
[ "${1:-}" = "--write" ] && WRITE=$(realpath "${2:?}")
if ! $PY -c 'import numpy, scipy.io' 2>/dev/null; then
    skip "$PY with numpy and scipy not available"
fi
cd "$T" || exit 1

grid() {   # grid FILE TYPE XMAX [more options]: positions at x = 1 .. XMAX
    local out=$1 type=$2 x1=$3; shift 3
    "$BIN/velktoolcli-genposxml" grid --type "$type" \
        --min-x_axis 1 --max-x_axis "$x1" --interval-x_axis 1 \
        --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
        --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0 \
        --output "$out" "$@" 2>/dev/null || FAIL "genposxml $out"
}
config() { "$BIN/velktoolcli-genconfig" --rate 16000 --nfft 512 "$@" 2>/dev/null || FAIL "genconfig $*"; }
merge() { "$BIN/velktoolcli-mergexmls" --output "$@" 2>/dev/null || FAIL "mergexmls $1"; }
velktool() {   # velktool NAME SUBCOMMAND ARGS...: archive NAME.zip
    local name=$1; shift
    mkdir -p "$T/$name" && (cd "$T/$name" &&
        "$BIN/velktool5" "$@" --output-file "$T/$name.zip" >out 2>err) ||
        { FAIL "$name"; cat "$T/$name/err"; }
}

# Two source positions, two microphones (a third channel carries the voice
# input of the mouth recordings).  Impulse responses of 600 samples: a
# direct sound at 50 .. 80 and a decaying tail of fixed pseudo-random
# numbers; the TSP of 4096 samples; TSP recordings of two periods after an
# offset of 1024; mouth recordings of 16384 samples.
mkdir ir rec mouth
$PY - <<'EOF' || FAIL "inputs"
import numpy as np
import scipy.io.wavfile as wav
N, RATE = 4096, 16000
k = np.arange(N // 2 + 1)
tsp = np.roll(np.fft.irfft(np.exp(-1j * np.pi * k ** 2 / N), N), N // 4)
tsp = (tsp * 0.5 / np.max(np.abs(tsp))).astype(np.float32)
wav.write('tsp.wav', RATE, tsp)
rng = np.random.RandomState(21)
periodic = np.tile(tsp.astype(np.float64), 5)
for s in range(2):
    irs = np.zeros((3, 600))
    for c in range(3):
        d = 50 + 10 * c + 7 * s
        irs[c, d] = 0.9 - 0.2 * c
        irs[c, d + 1:] = rng.standard_normal(599 - d) * 0.05 * np.exp(-np.arange(599 - d) / 60)
    name = '%05d.wav' % (1000 * (s + 1))
    wav.write('ir/imp_X' + name, RATE, irs[:2].T.astype(np.float32))
    # The response to the TSP played periodically, in its steady state from
    # the first sample on, a period starting at the offset.
    lead = N - 1024
    y = np.array([np.convolve(periodic, irs[c])[lead:lead + 1024 + 2 * N] for c in range(2)])
    wav.write('rec/tsp_X' + name, RATE, y.T.astype(np.float32))
    m = np.zeros((3, 16384))
    m[2] = periodic[lead:lead + 16384]
    for c in range(2):
        m[c] = np.convolve(periodic, irs[c])[lead:lead + 16384]
    wav.write('mouth/m_X' + name, RATE, (0.5 * m).T.astype(np.float32))
EOF
config --peak 1,200 imp_cfg.xml
config --peak 1,200 --length 4096 --sync 2 --offset 1024 --tsp-path "$T/tsp.wav" rec_cfg.xml
config --peak 0,0 --length 4096 --offset 1024 mouth_cfg.xml
grid imp_src.xml impulse 2 --path "$T/ir/imp_X{X_AXIS:%05.0f}.wav"
grid rec_src.xml tsp 2 --path "$T/rec/tsp_X{X_AXIS:%05.0f}.wav"
grid mouth_src.xml tsp 2 --path "$T/mouth/m_X{X_AXIS:%05.0f}.wav" --channels 0,1
grid mic.xml microphone 2
grid mic3.xml microphone 3
merge imp.xml imp_src.xml imp_cfg.xml
merge rec.xml rec_src.xml rec_cfg.xml
merge mouth.xml mouth_src.xml mouth_cfg.xml

velktool imp calctfimp --impulse-list ../imp.xml --mic-list ../mic.xml
velktool rec calctfrec --tsp-list ../rec.xml --mic-list ../mic.xml --output-type LOC
velktool mouth calctfmouth --tsp-list ../mouth.xml --mic-list ../mic3.xml --output-type LOC \
    --mch 2 --end 8120 --hop 1000
"$BIN/velktoolcli-zip2coord" --ifft imp.zip coord.csv 2>/dev/null || FAIL "zip2coord"

$PY - "$SRC/tests/support" "$SRC/tests/data/tf_reference.npz" "$WRITE" <<'EOF' || FAIL "values"
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import tfarchive

def matrices(archive, kind):
    tf = getattr(tfarchive.Archive(archive), kind)
    return np.array([tf[i] for i in sorted(tf)], dtype=np.complex64)

got = {
    'imp_loc': matrices('imp.zip', 'loc'),
    'imp_sep': matrices('imp.zip', 'sep'),
    'rec_loc': matrices('rec.zip', 'loc'),
    'mouth_loc': matrices('mouth.zip', 'loc'),
    'coord_ifft': np.loadtxt('coord.csv', delimiter=',', skiprows=1)[:, 4].astype(np.float32),
}
if sys.argv[3]:
    np.savez_compressed(sys.argv[3], **got)
    sys.exit(0)
ref = np.load(sys.argv[2])
bad = 0
for name, want in ref.items():
    have = got[name]
    if have.shape != want.shape:
        print('%s: shape %s, expected %s' % (name, have.shape, want.shape))
        bad = 1
        continue
    diff = have.astype(np.complex128) - want
    rel = np.sqrt(np.sum(np.abs(diff) ** 2) / np.sum(np.abs(want.astype(np.complex128)) ** 2))
    print('%s: relative RMS difference %.3g' % (name, rel))
    if not rel <= 2e-6:
        bad = 1
sys.exit(bad)
EOF

finish PASS
