#!/usr/bin/env bash
# The built-in demo measurement (run by `make demo`): an 8-microphone
# circular array of 5 cm radius in a 6 x 5 x 3 m room hears a source at 72
# positions, every 5 degrees on a 1.5 m circle. The suite's own generators
# write the documents, the simulator writes the impulse responses, and
# velktool5 turns them into transfer-function archives, once from the
# impulse responses (calctfimp) and once from the geometry alone (calctfgeo).
#
#   bash examples/demo.sh [BUILD_DIR [DEMO_DIR]]   (default: build build/demo)
#   bash /usr/share/doc/velk/examples/demo.sh - [DEMO_DIR]
#
# BUILD_DIR "-" takes the installed programs on PATH (DEMO_DIR then
# defaults to velk-demo in the current directory); so does a call without
# arguments from a tree that has no build directory, such as the installed
# documentation.  Everything is written to DEMO_DIR, which is emptied first.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
if [ "$BUILD" = - ] || { [ $# = 0 ] && [ ! -d "$ROOT/build" ]; }; then
    BIN=$(dirname "$(command -v velktool5 || echo ./velktool5)")
    DEMO=${2:-velk-demo}
else
    case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
    BIN=$BUILD/bin
    DEMO=${2:-$BUILD/demo}
fi
case $DEMO in /*) ;; *) DEMO=$PWD/$DEMO ;; esac

for prog in velktoolcli-simulate velktool5 velktoolcli-genposxml velktoolcli-genconfig \
    velktoolcli-genneighbors velktoolcli-mergexmls velktoolcli-validxml; do
    if [ ! -x "$BIN/$prog" ]; then
        echo "demo: $BIN/$prog is missing; build the suite first (make build) or install it" >&2
        exit 1
    fi
done

rm -rf "$DEMO"
mkdir -p "$DEMO/log" || exit 1
cd "$DEMO" || exit 1
STEP=0

# run TITLE COMMAND...: one numbered step; its output goes to log/NN.log and
# is shown when the step fails, which ends the demo.
run() {
    local title=$1
    shift
    STEP=$((STEP + 1))
    local log
    log=$(printf 'log/%02d.log' "$STEP")
    printf '%2d. %s\n' "$STEP" "$title"
    if ! "$@" >"$log" 2>&1; then
        echo "demo: step $STEP failed: $*" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
}

START=$(date +%s)
echo "velk demo measurement in $DEMO"

run "impulse positions: 72 on a 1.5 m circle, each with its WAV file" \
    "$BIN/velktoolcli-genposxml" circle --type impulse \
    --min-radius 1.5 --max-radius 1.5 --interval-radius 0 --elevation 0 \
    --min-azimuth 0 --max-azimuth 355 --interval-azimuth 5 \
    --path 'ir/imp_D{AZIMUTH:%03.0f}.wav' --output positions.xml
run "microphone positions: 8 on a 5 cm circle" \
    "$BIN/velktoolcli-genposxml" circle --type microphone \
    --min-radius 0.05 --max-radius 0.05 --interval-radius 0 --elevation 0 \
    --min-azimuth 0 --max-azimuth 315 --interval-azimuth 45 --output mic.xml
run "configuration: 16 kHz, nfft 512" \
    "$BIN/velktoolcli-genconfig" --comment "velk demo: simulated shoebox room" \
    --nfft 512 --rate 16000 --peak 0,0 config.xml
run "neighbour lists" \
    "$BIN/velktoolcli-genneighbors" --num-max 2 --threshold 0.1 positions.xml neighbors.xml
run "one document: positions, neighbours, configuration" \
    "$BIN/velktoolcli-mergexmls" --output impulse.xml neighbors.xml config.xml
run "check the documents" \
    bash -c '"$0" impulse.xml && "$0" --src impulse.xml && "$0" --mic mic.xml' \
    "$BIN/velktoolcli-validxml"
run "simulate the impulse responses (image sources, low noise)" \
    "$BIN/velktoolcli-simulate" --mics 8 --mic-radius 0.05 --sources 72 --azimuth-step 5 \
    --source-radius 1.5 --room 6,5,3 --center 3,2.5,1.2 --order 2 --rate 16000 \
    --length 4096 --seed 1 --output-dir ir --name 'imp_D{AZIMUTH:%03.0f}.wav'
run "velktool5 calctfimp: transfer functions from the impulse responses" \
    "$BIN/velktool5" calctfimp --impulse-list impulse.xml --mic-list mic.xml \
    --output-file tf_imp.zip --logLevel W
run "velktool5 calctfgeo: transfer functions from the geometry" \
    "$BIN/velktool5" calctfgeo --tsp-list impulse.xml --mic-list mic.xml \
    --output-file tf_geo.zip --normalize-src 1 --normalize-mic 1 --normalize-freq 1

# The TSP measurement, once velktool5 has calctfrec: the reference TSP played
# 4 times back to back from every position of the same circle, in the same
# room, recorded by the array and deconvolved by calctfrec.
ARCHIVES="tf_imp.zip tf_geo.zip"
if "$BIN/velktool5" calctfrec --help 2>/dev/null | grep -q -- --tsp-list; then
    run "reference TSP: 16384 samples at 16 kHz" \
        "$BIN/velktoolcli-simulate" --make-tsp tsp16384.wav --tsp-length 16384 --rate 16000
    run "TSP positions: the same circle, each with its recording" \
        "$BIN/velktoolcli-genposxml" circle --type tsp \
        --min-radius 1.5 --max-radius 1.5 --interval-radius 0 --elevation 0 \
        --min-azimuth 0 --max-azimuth 355 --interval-azimuth 5 \
        --path 'rec/tsp_D{AZIMUTH:%03.0f}.wav' --output tsp_positions.xml
    run "configuration of the TSP measurement: 4 TSPs per recording" \
        "$BIN/velktoolcli-genconfig" --comment "velk demo: simulated TSP measurement" \
        --sync 4 --offset 0 --length 16384 --tsp-path tsp16384.wav \
        --nfft 512 --rate 16000 --peak 0,0 tsp_config.xml
    run "one TSP document, checked" \
        bash -c '"$0/velktoolcli-genneighbors" --num-max 2 --threshold 0.1 tsp_positions.xml tsp_neighbors.xml &&
                 "$0/velktoolcli-mergexmls" --output tsp.xml tsp_neighbors.xml tsp_config.xml &&
                 "$0/velktoolcli-validxml" --src tsp.xml' "$BIN"
    run "simulate the TSP recordings" \
        "$BIN/velktoolcli-simulate" --mics 8 --mic-radius 0.05 --sources 72 --azimuth-step 5 \
        --source-radius 1.5 --room 6,5,3 --center 3,2.5,1.2 --order 2 --rate 16000 \
        --length 4096 --seed 2 --tsp tsp16384.wav --repeat 4 --output-dir rec \
        --name 'tsp_D{AZIMUTH:%03.0f}.wav'
    run "velktool5 calctfrec: transfer functions from the TSP recordings" \
        "$BIN/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml \
        --output-file tf_rec.zip --logLevel W
    ARCHIVES="tf_rec.zip $ARCHIVES"
fi

# The mouth-TSP measurement, once velktool5 has calctfmouth: the reference
# TSP played once from every position of the same circle through a mouth
# loudspeaker whose own signal is recorded too, on channel 8 (the voice
# input, a ninth entry of the microphone list at the array centre); the
# impulse responses are estimated in the frequency domain by calctfmouth.
if "$BIN/velktool5" calctfmouth --help 2>/dev/null | grep -q -- --headmargin; then
    [ -e tsp16384.wav ] || run "reference TSP: 16384 samples at 16 kHz" \
        "$BIN/velktoolcli-simulate" --make-tsp tsp16384.wav --tsp-length 16384 --rate 16000
    run "mouth-TSP positions: the same circle, microphones 0 .. 7 in use" \
        "$BIN/velktoolcli-genposxml" circle --type tsp \
        --min-radius 1.5 --max-radius 1.5 --interval-radius 0 --elevation 0 \
        --min-azimuth 0 --max-azimuth 355 --interval-azimuth 5 --channels 0,1,2,3,4,5,6,7 \
        --path 'mouth/mouth_D{AZIMUTH:%03.0f}.wav' --output mouth_positions.xml
    run "configuration of the mouth-TSP measurement: one TSP per recording" \
        "$BIN/velktoolcli-genconfig" --comment "velk demo: simulated mouth-TSP measurement" \
        --sync 1 --offset 0 --length 16384 --tsp-path tsp16384.wav \
        --nfft 512 --rate 16000 --peak 0,0 mouth_config.xml
    run "one mouth-TSP document and the microphone list with the voice input, checked" \
        bash -c '"$0/velktoolcli-mergexmls" --output mouth.xml mouth_positions.xml mouth_config.xml &&
                 sed "s|</positions>|<position id=\"8\"><cartesian x=\"0\" y=\"0\" z=\"0\"/><path></path></position></positions>|" mic.xml >mic_voice.xml &&
                 "$0/velktoolcli-validxml" --src mouth.xml && "$0/velktoolcli-validxml" --mic mic_voice.xml' "$BIN"
    run "simulate the mouth-TSP recordings: 8 microphones and the voice input" \
        "$BIN/velktoolcli-simulate" --mics 8 --mic-radius 0.05 --sources 72 --azimuth-step 5 \
        --source-radius 1.5 --room 6,5,3 --center 3,2.5,1.2 --order 2 --rate 16000 \
        --length 4096 --seed 3 --tsp tsp16384.wav --repeat 1 --voice --output-dir mouth \
        --name 'mouth_D{AZIMUTH:%03.0f}.wav'
    run "velktool5 calctfmouth: transfer functions from the mouth-TSP recordings" \
        "$BIN/velktool5" calctfmouth --tsp-list mouth.xml --mic-list mic_voice.xml \
        --output-file tf_mouth.zip --mch 8 --reset-mic --logLevel W
    ARCHIVES="tf_mouth.zip $ARCHIVES"
fi

if [ -x "$BIN/velktoolcli-validtf" ]; then
    run "check the archives" \
        bash -c 'for a in "$@"; do "$0" "$a" || exit 1; done' "$BIN/velktoolcli-validtf" $ARCHIVES
fi
# The diagnosis: every archive against its own geometry (status 2 would be
# an error finding), and the TSP measurement with its recordings, written
# as an HTML report as well.
if [ -x "$BIN/velktoolcli-diagnose" ]; then
    run "diagnose the archives against their geometry" \
        bash -c 'for a in "$@"; do "$0" "$a" || exit 1; done' "$BIN/velktoolcli-diagnose" $ARCHIVES
    if [ -e tf_rec.zip ]; then
        run "diagnose the TSP measurement with its recordings (diagnosis.html)" \
            "$BIN/velktoolcli-diagnose" --recordings tsp.xml --mic-list mic.xml \
            --report diagnosis.html tf_rec.zip
    fi
fi
# The developers' summary program of a build (not installed).
if [ -x "$BIN/velktfsummary" ]; then
    run "load the archives with the library and compare them with the geometry" \
        bash -c '"$0" tf_geo.zip || exit 1
                 for a in "$@"; do [ "$a" = tf_geo.zip ] || "$0" "$a" tf_geo.zip || exit 1; done' \
        "$BIN/velktfsummary" $ARCHIVES
fi

echo
echo "Archives:"
[ -e tf_rec.zip ] &&
    echo "  $DEMO/tf_rec.zip   from the simulated TSP recordings (calctfrec)"
[ -e tf_mouth.zip ] &&
    echo "  $DEMO/tf_mouth.zip from the simulated mouth-TSP recordings (calctfmouth)"
echo "  $DEMO/tf_imp.zip   from the simulated impulse responses (calctfimp)"
echo "  $DEMO/tf_geo.zip   from the positions alone (calctfgeo)"
echo "Inputs: $DEMO/impulse.xml, $DEMO/mic.xml, $DEMO/ir/ (72 WAV files)"
[ -e tf_rec.zip ] && echo "        $DEMO/tsp.xml, $DEMO/tsp16384.wav, $DEMO/rec/ (72 WAV files)"
[ -e tf_mouth.zip ] && echo "        $DEMO/mouth.xml, $DEMO/mic_voice.xml, $DEMO/mouth/ (72 WAV files)"
[ -e diagnosis.html ] && echo "Diagnosis of the TSP measurement: $DEMO/diagnosis.html"
echo "Logs: $DEMO/log/"
echo
echo "Summary:"
sed 's/^/  /' "log/$(printf '%02d' "$STEP").log"
echo
echo "demo finished in $(($(date +%s) - START)) s"
