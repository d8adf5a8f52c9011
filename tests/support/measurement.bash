# small_measurement DIR SOURCES: a small simulated TSP measurement in DIR
# (made here): the reference TSP tsp.wav (4096 samples), SOURCES recordings
# rec/tsp_D<azimuth>.wav of 4 microphones, the microphone list mic.xml and
# the TSP list tsp.xml, whose recording paths are relative to DIR.  Made
# with the suite's own programs from VELK_BIN; 1 when one of them fails.
small_measurement() {
    local dir=$1 sources=$2 step
    step=$((360 / sources))
    mkdir -p "$dir" && (
        cd "$dir" || exit 1
        set -e
        "$VELK_BIN/velksim" --make-tsp tsp.wav --tsp-length 4096
        "$VELK_BIN/velksim" --tsp tsp.wav --repeat 2 --mics 4 --sources "$sources" \
            --azimuth-step "$step" --length 256 --output-dir rec --name "tsp_D{AZIMUTH:%03.0f}.wav"
        "$VELK_BIN/velktoolcli-genconfig" --nfft 512 --peak 1,200 --length 4096 --sync 2 \
            --tsp-path tsp.wav cfg.xml
        circle() {
            "$VELK_BIN/velktoolcli-genposxml" circle --type "$1" --min-radius "$2" \
                --max-radius "$2" --interval-radius 0 --elevation 0 --min-azimuth 0 \
                --max-azimuth "$3" --interval-azimuth "$4" -o "$5" "${@:6}"
        }
        circle microphone 0.05 270 90 mic.xml
        circle tsp 1.5 $((360 - step)) "$step" src.xml --path "rec/tsp_D{AZIMUTH:%03.0f}.wav"
        "$VELK_BIN/velktoolcli-mergexmls" -o tsp.xml src.xml cfg.xml
    ) >/dev/null 2>"$dir/setup.err"
}
