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
for dir in "$out"/*/; do
    target=$(basename "$dir")
    mkdir -p "$here/corpus/$target"
    cp "$dir"* "$here/corpus/$target/"
done
echo "seeds written to $here/corpus"
