#!/usr/bin/env bash
# The bash completion script: subcommands, option names, keyword values and
# file names, completed the way bash calls the function (COMP_WORDS,
# COMP_CWORD), and its option lists against the programs' own --help.
set -u
SCRIPT="$VELK_SRC/completion/velk.bash"
. "$VELK_SRC/tests/support/cli.bash"

# shellcheck source=/dev/null
source "$SCRIPT" || { echo "FAIL: $SCRIPT does not load"; exit 1; }

# complete_line WORD...: the replies for the last word of the line.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _velk_complete
    printf '%s\n' "${COMPREPLY[@]}" | sort
}
# expect "WORDS..." "REPLIES" WHAT; a trailing space in WORDS is an empty
# word being completed.
expect() {
    local got words
    read -ra words <<<"$1"
    [[ $1 == *" " ]] && words+=("")
    got=$(complete_line "${words[@]}" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$2" ] || fail "$3: [$1] completes to [$got], expected [$2]"
}

# Every program is registered.
for prog in velktool5 velktoolcli-zip2coord velktoolcli-genposxml velktoolcli-validtf \
    velktoolcli-validxml velktoolcli-flt2multiwav velktoolcli-genconfig velktoolcli-genneighbors \
    velktoolcli-mergexmls velktoolcli-conv-tf velktoolcli-conv-sm \
    velktoolcli-diagnose velktoolcli-tfexport velktoolcli-sofa2tf velktoolcli-simulate; do
    complete -p "$prog" 2>/dev/null | grep -q _velk_complete || fail "$prog has no completion"
done

# Subcommands and models.
expect "velktool5 calctf" "calctfgeo calctfimp calctfmouth calctfrec" "subcommands"
expect "velktool5 calcs" "calcsysimp" "one subcommand"
expect "velktoolcli-genposxml c" "circle cylinder" "models"
# Option names, per subcommand and model.
expect "velktool5 calctfmouth --he" "--headmargin --help" "calctfmouth options"
expect "velktool5 calctfgeo --rev" "" "calctfgeo has no --reverb-length"
expect "velktool5 calcsysimp --tsporig" "--tsporigchannel --tsporigflt --tsporigwav" "calcsysimp options"
expect "velktoolcli-genposxml grid --min-" "--min-x_axis --min-y_axis --min-z_axis" "grid axes"
expect "velktoolcli-genposxml circle --ele" "--elevation" "circle elevation"
expect "velktoolcli-validtf --" "--help --json --logLevel --show --version" "validtf options"
expect "velktool5 --" "--help --version" "velktool5 before the subcommand"
expect "velktool5 calcsysimp --ra" "--rate" "calcsysimp sampling rate"
expect "velktoolcli-diagnose --max-d" "--max-delay-residual --max-direction-error" "diagnose thresholds"
# Keyword values, as "--opt val", "--opt=val" (one word) and "--opt" "=" "val".
expect "velktool5 calctfrec --output-type L" "LOC LOC_SEP" "output type"
expect "velktool5 calctfrec --output-type=LOC_" "--output-type=LOC_SEP" "output type after ="
expect "velktool5 calctfimp --output-type = S" "SEP" "output type split at ="
expect "velktoolcli-zip2coord -z p" "phase" "z axis by its short option"
expect "velktoolcli-zip2coord --type " "LOC SEP" "zip2coord types"
expect "velktoolcli-genposxml ball --type m" "microphone" "position types"
expect "velktoolcli-genconfig --logLevel " "D E I W" "log levels"
expect "velktoolcli-tfexport --format " "mat npz sofa" "export formats"
expect "velktoolcli-sofa2tf --output-type=L" "--output-type=LOC --output-type=LOC_SEP" "sofa2tf output type"
expect "velktool5 calctfimp --normalize-mic " "0 1" "normalize flags"
expect "velktoolcli-simulate --dead" "--dead --dead-noise" "simulator faults"
# A numeric option offers nothing, not file names.
expect "velktoolcli-genconfig --nfft " "" "numbers are not guessed"

# File names for path options and positional arguments.
mkdir -p "$T/d/sub"
touch "$T/d/tsp.xml" "$T/d/mic.xml" "$T/d/tf.zip" "$T/d/rec.wav"
cd "$T/d" || exit 1
expect "velktool5 calctfrec --mic-list " "mic.xml sub tsp.xml" "xml files and directories"
expect "velktool5 calctfrec --output-file t" "tf.zip" "zip files"
expect "velktoolcli-diagnose --recordings t" "tsp.xml" "recording list"
expect "velktool5 calcsysimp --inputwave=" "--inputwave=rec.wav --inputwave=sub" "wav file after ="
expect "velktoolcli-validtf t" "tf.zip tsp.xml" "positional file"
expect "velktoolcli-simulate --output-dir " "sub" "directories only"
expect "velktoolcli-simulate --tsp=" "--tsp=rec.wav --tsp=sub" "reference TSP file"
cd "$T" || exit 1

# The long options of each --help are the ones the script offers.
check_help() {
    local prog=$1 first=$2 help offered opt
    [ -x "$VELK_BIN/$prog" ] || return 0
    help=$("$VELK_BIN/$prog" $first --help 2>&1 | grep -oE -- '--[A-Za-z][A-Za-z0-9_-]*' |
        grep -v -- '--type=' | sort -u)
    offered=" $(complete_line "$prog" $first -- | tr '\n' ' ') "
    for opt in $help; do
        [[ $offered == *" $opt "* ]] || fail "$prog $first: --help lists $opt, completion does not"
    done
}
for word in calctfimp calctfrec calctfgeo calctfmouth calcsysimp; do check_help velktool5 $word; done
for word in circle ball cylinder grid; do check_help velktoolcli-genposxml $word; done
for prog in velktoolcli-zip2coord velktoolcli-validtf velktoolcli-validxml velktoolcli-flt2multiwav \
    velktoolcli-genconfig velktoolcli-genneighbors velktoolcli-mergexmls velktoolcli-conv-tf \
    velktoolcli-conv-sm velktoolcli-diagnose velktoolcli-tfexport velktoolcli-sofa2tf \
    velktoolcli-simulate; do
    check_help "$prog" ""
done

finish "completion works"
