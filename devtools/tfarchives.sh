#!/usr/bin/env bash
# Compares the transfer-function archives of two builds member by member:
# every subcommand of velktool5 on the demo's inputs (72 positions x 8
# channels; calctfimp, calctfrec, calctfgeo, calctfmouth), calctfimp on the
# benchmark's 360 x 8 impulse responses and calctfgeo on its 3,600 x 16
# positions, each with every output type, several normalizations and
# --reset-mic.  Prints one line per run that differs (and "same: N runs"
# at the end); exits 1 when any run differs.
#
#   bash devtools/tfarchives.sh OLD_BIN NEW_BIN WORK_DIR
#
# WORK_DIR keeps the inputs for reruns: the demo's work directory made
# with NEW_BIN and the benchmark inputs of bench/tf_bench.sh (made with
# NEW_BIN when missing).
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OLD=${1:?usage: tfarchives.sh OLD_BIN NEW_BIN WORK_DIR}
NEW=${2:?usage: tfarchives.sh OLD_BIN NEW_BIN WORK_DIR}
WORK=${3:?usage: tfarchives.sh OLD_BIN NEW_BIN WORK_DIR}
export LC_ALL=C
mkdir -p "$WORK" && cd "$WORK" || exit 1
WORK=$PWD

if [ ! -e demo/done ]; then
    bash "$ROOT/examples/demo.sh" "$(dirname "$NEW")" "$WORK/demo" >demo.log 2>&1 ||
        { echo "tfarchives: the demo failed (demo.log)" >&2; exit 1; }
    touch demo/done
fi
if [ ! -e bench-tf/imp360/done ] || [ ! -e bench-tf/geo3600/done ]; then
    # The benchmark makes its inputs under BUILD/bench-tf; one repetition.
    mkdir -p build && ln -sfn "$NEW" build/bin
    bash "$ROOT/bench/tf_bench.sh" "$WORK/build" 1 >bench.log 2>&1 ||
        { echo "tfarchives: the benchmark inputs failed (bench.log)" >&2; exit 1; }
    mv build/bench-tf bench-tf
fi

# members ZIP: "sha256 name" of every member that is not a directory, in
# the archive's order.
members() {
    python3 - "$1" <<'PY'
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        if not info.filename.endswith("/"):
            print(hashlib.sha256(z.read(info)).hexdigest(), info.filename)
PY
}

same=0 differ=0
# run DIR SUBCOMMAND ARGS...: one command line run by both builds in DIR;
# the statuses, the messages and the archives' members must agree.
run() {
    local dir=$1 sub=$2
    shift 2
    local statuses=""
    for side in old new; do
        local bin=$OLD
        [ $side = new ] && bin=$NEW
        rm -rf .velktool-temp "cmp-$side.zip" "cmp-$side.members"
        "$bin/velktool5" "$sub" "$@" --output-file "cmp-$side.zip" \
            >"cmp-$side.out" 2>"cmp-$side.err"
        statuses="$statuses $?"
        sed -i -E 's/[0-9]{14}(_[0-9]+)?/STAMP/g' "cmp-$side.out" "cmp-$side.err"
        [ -e "cmp-$side.zip" ] && members "cmp-$side.zip" >"cmp-$side.members"
    done
    if [ "$statuses" = " 0 0" ] && cmp -s cmp-old.members cmp-new.members &&
        cmp -s cmp-old.out cmp-new.out && cmp -s cmp-old.err cmp-new.err; then
        same=$((same + 1))
        grep -q calcTF <(unzip -p cmp-new.zip transferFunction/source.xml) && annotated=$((annotated + 1))
    else
        differ=$((differ + 1))
        echo "DIFFERS: $dir $sub $* (statuses$statuses)"
        diff cmp-old.members cmp-new.members | head -5
    fi
}

annotated=0
# compare DIR SUBCOMMAND ARGS...: the subcommand run by both builds in DIR
# with every output type and normalization set.
compare() {
    local dir=$1 sub=$2
    shift 2
    cd "$WORK/$dir" || exit 1
    for type in LOC SEP LOC_SEP; do
        for norm in "0 0 0" "1 1 1" "1 0 1" "0 1 0"; do
            for reset in "" --reset-mic; do
                read -r ns nm nf <<<"$norm"
                local opts=(--output-type "$type" --normalize-src "$ns" --normalize-mic "$nm"
                            --normalize-freq "$nf" $reset)
                run "$dir" "$sub" "$@" "${opts[@]}"
                [ "$sub" = calctfgeo ] && [ "$dir" = bench-tf/geo3600 ] && [ "$norm" != "0 0 0" ] && break 2
            done
        done
    done
    # Windows long enough to be cut out of the responses (calcTF
    # annotations with cut indices; calctfgeo: offsets).
    local long=(--direct-length 500 --reverb-length 500)
    [ "$sub" = calctfgeo ] && long=(--direct-length 500)
    for type in LOC SEP LOC_SEP; do
        run "$dir" "$sub" "$@" --output-type "$type" "${long[@]}"
    done
    rm -rf .velktool-temp cmp-old.* cmp-new.*
}

compare demo calctfimp --impulse-list impulse.xml --mic-list mic.xml
compare demo calctfgeo --tsp-list impulse.xml --mic-list mic.xml
compare demo calctfrec --tsp-list tsp.xml --mic-list mic.xml
compare demo calctfmouth --tsp-list mouth.xml --mic-list mic_voice.xml
compare bench-tf/imp360 calctfimp --impulse-list impulse.xml --mic-list mic.xml
compare bench-tf/geo3600 calctfgeo --tsp-list tsp.xml --mic-list mic.xml
echo "same: $same runs ($annotated with calcTF annotations), differing: $differ"
[ "$differ" = 0 ]
