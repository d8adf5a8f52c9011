#!/bin/bash
# Regenerates the seed corpora in fuzz/corpus/<target>/ with the seed
# generator of a fuzz build:  fuzz/make_corpus.sh BUILD_DIR
set -eu
build=${1:?usage: make_corpus.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
gen="$build/bin/velk_fuzz_seedgen"
[ -x "$gen" ] || { echo "make_corpus.sh: $gen not built (cmake --build $build --target velk_fuzz)" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
ASAN_OPTIONS=detect_leaks=0 "$gen" "$out"
# SOFA files of impulse responses, from an independent writer (Python's
# netCDF4, as in the tests); skipped without it.
if /usr/bin/python3 -c 'import netCDF4' 2>/dev/null; then
    mkdir -p "$out/sofa_reader"
    (cd "$out/sofa_reader" && PYTHONPATH="$here/../tests/support" /usr/bin/python3 - <<'EOF'
import numpy as np, sofa_files
ir = np.zeros((3, 2, 16)); ir[:, 0, 3] = 1; ir[:, 1, 5] = -0.5
src = [[0, 0, 1], [90, 10, 1], [180, -10, 2]]
rec = [[0, 0.09, 0], [0, -0.09, 0]]
sofa_files.write_fir('fir_hrir.sofa', ir, 44100, src, rec, conventions='SimpleFreeFieldHRIR')
sofa_files.write_fir('fir_turned.sofa', ir, 16000, src, rec, listener=(1, 0, 0), view=(0, 1, 0),
                     delay=[0, 2])
# An odd first byte: the rest is a file.
for name in ('fir_hrir.sofa', 'fir_turned.sofa'):
    data = open(name, 'rb').read()
    open(name, 'wb').write(b'\x01' + data)
EOF
    ) || echo "make_corpus.sh: SOFA seeds of impulse responses not made" >&2
fi
for dir in "$out"/*/; do
    target=$(basename "$dir")
    mkdir -p "$here/corpus/$target"
    cp "$dir"* "$here/corpus/$target/"
done
echo "seeds written to $here/corpus"
