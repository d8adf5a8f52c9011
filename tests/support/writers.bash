# Every program of the suite that writes a file, as one table for the
# tests of output files.  Source it with VELK_BIN and VELK_SRC set.
#
# writer_fixtures DIR: the inputs of every writer in DIR (made here with
# the suite's own programs); 1 when one of them fails.
#
# WRITERS: the writers' names.  writer_run NAME OUT: runs writer NAME so
# that it writes the file OUT, in the current directory, with its standard
# output and error in NAME.out (or WRITER_STDOUT) and NAME.err there; its
# status is the program's.  calcsysimp writes "<prefix>_ch0.flt": OUT must end in that.

WRITERS="genposxml genconfig genneighbors mergexmls zip2coord flt2multiwav calcsysimp
 calctfimp calctfrec calctfgeo calctfmouth conv-tf conv-sm diagnose-report diagnose-miclist
 tfexport sofa2tf simulate"

writer_fixtures() {
    local dir=$1
    mkdir -p "$dir" && (
        cd "$dir" || exit 1
        set -e
        B=$VELK_BIN
        circle() { # FILE TYPE RADIUS MAX_AZIMUTH STEP [options]
            "$B/velktoolcli-genposxml" circle --type "$2" --min-radius "$3" --max-radius "$3" \
                --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth "$4" \
                --interval-azimuth "$5" -o "$1" "${@:6}"
        }
        "$B/velksim" --mics 4 --sources 4 --azimuth-step 90 --length 512 --output-dir ir --pcm16
        "$B/velksim" --make-tsp tsp.wav --tsp-length 4096
        "$B/velksim" --tsp tsp.wav --repeat 2 --mics 4 --sources 4 --azimuth-step 90 --length 256 \
            --output-dir rec --name "tsp_D{AZIMUTH:%03.0f}.wav" --voice
        "$B/velktoolcli-genconfig" --nfft 512 --peak 1,200 cfg.xml
        "$B/velktoolcli-genconfig" --nfft 512 --peak 1,200 --length 4096 --sync 2 \
            --tsp-path "$PWD/tsp.wav" rcfg.xml
        circle mic.xml microphone 0.05 270 90
        circle isrc.xml impulse 1.5 270 90 --path "$PWD/ir/imp_D{AZIMUTH:%03.0f}.wav"
        circle tsrc.xml tsp 1.5 270 90 --path "$PWD/rec/tsp_D{AZIMUTH:%03.0f}.wav"
        "$B/velktoolcli-mergexmls" -o imp.xml isrc.xml cfg.xml
        "$B/velktoolcli-mergexmls" -o tsp.xml tsrc.xml rcfg.xml
        "$B/velktool5" calctfrec --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip
        python3 "$VELK_SRC/tests/support/legacy_files.py" write tf loc.tff 2 4 16 0
        python3 "$VELK_SRC/tests/support/legacy_files.py" write sm mat.tff 2 4 16 2
        "$B/velktoolcli-conv-tf" -l loc.tff ltf.zip
        "$B/velktoolcli-tfexport" --format sofa tf.zip tf.sofa
        head -c 40000 /dev/urandom >a.flt
        head -c 40000 /dev/urandom >b.flt
    ) >"$dir/setup.log" 2>&1
}

writer_run() {
    local name=$1 out=$2 F=${WRITER_FIXTURES:?} B=$VELK_BIN
    case $name in
    genposxml) set -- "$B/velktoolcli-genposxml" circle --type tsp --min-radius 1 --max-radius 2 \
        --interval-radius 0.5 --elevation 0 --min-azimuth 0 --max-azimuth 355 --interval-azimuth 5 \
        -o "$out" ;;
    genconfig) set -- "$B/velktoolcli-genconfig" --nfft 1024 "$out" ;;
    genneighbors) set -- "$B/velktoolcli-genneighbors" "$F/tsrc.xml" "$out" ;;
    mergexmls) set -- "$B/velktoolcli-mergexmls" -o "$out" "$F/tsrc.xml" "$F/rcfg.xml" ;;
    zip2coord) set -- "$B/velktoolcli-zip2coord" "$F/tf.zip" "$out" ;;
    flt2multiwav) set -- "$B/velktoolcli-flt2multiwav" "$out" "$F/a.flt" "$F/b.flt" ;;
    calcsysimp) set -- "$B/velktool5" calcsysimp --tsporigwav "$F/tsp.wav" \
        --inputwave "$F/rec/tsp_D000.wav" --outputpath "${out%_ch0.flt}" --samplebyframe 4096 \
        --syncaddfreq 2 --syncaddoffset 0 --outchannellist 0 ;;
    calctfimp) set -- "$B/velktool5" calctfimp --impulse-list "$F/imp.xml" --mic-list "$F/mic.xml" \
        --output-file "$out" ;;
    calctfrec) set -- "$B/velktool5" calctfrec --tsp-list "$F/tsp.xml" --mic-list "$F/mic.xml" \
        --output-file "$out" ;;
    calctfgeo) set -- "$B/velktool5" calctfgeo --tsp-list "$F/tsp.xml" --mic-list "$F/mic.xml" \
        --output-file "$out" ;;
    calctfmouth) set -- "$B/velktool5" calctfmouth --tsp-list "$F/tsp.xml" --mic-list "$F/mic.xml" \
        --output-file "$out" --mch 3 ;;
    conv-tf) set -- "$B/velktoolcli-conv-tf" -l "$F/loc.tff" "$out" ;;
    conv-sm) set -- "$B/velktoolcli-conv-sm" "$F/mat.tff" "$F/ltf.zip" "$out" ;;
    diagnose-report) set -- "$B/velktoolcli-diagnose" --report "$out" "$F/tf.zip" ;;
    diagnose-miclist) set -- "$B/velktoolcli-diagnose" --suggest-mic-list "$out" \
        --recordings "$F/tsp.xml" --mic-list "$F/mic.xml" "$F/tf.zip" ;;
    tfexport) set -- "$B/velktoolcli-tfexport" --format sofa "$F/tf.zip" "$out" ;;
    sofa2tf) set -- "$B/velktoolcli-sofa2tf" "$F/tf.sofa" "$out" ;;
    simulate) set -- "$B/velktoolcli-simulate" --make-tsp "$out" --tsp-length 4096 ;;
    *) echo "no writer $name" >&2; return 2 ;;
    esac
    "$@" >"${WRITER_STDOUT:-$name.out}" 2>"$name.err"
}

# writer_target NAME DIR: the path writer NAME is given to write in DIR.
writer_target() {
    case $1 in
    genposxml | genconfig | genneighbors | mergexmls | diagnose-miclist) echo "$2/out.xml" ;;
    zip2coord) echo "$2/out.csv" ;;
    flt2multiwav | simulate) echo "$2/out.wav" ;;
    tfexport) echo "$2/out.sofa" ;;
    calcsysimp) echo "$2/out_ch0.flt" ;;
    diagnose-report) echo "$2/report.html" ;;
    *) echo "$2/out.zip" ;;
    esac
}
