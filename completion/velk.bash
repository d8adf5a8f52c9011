# bash completion for the velk programs: velktool5 (subcommands and their
# options) and the velktoolcli-* programs.
#
# Installed once per program name under share/bash-completion/completions;
# to try it from a source tree:  source completion/velk.bash

# _velk_options PROGRAM [WORD1]: the long options of the program (of the
# velktool5 subcommand or genposxml model in WORD1); "=" marks an option
# that takes a value.
_velk_options()
{
    local common="--logLevel= --help --version"
    local tf="--mic-list= --output-type= --output-file= --direct-length= --normalize-src=
        --normalize-mic= --normalize-freq= --reset-mic"
    case $1 in
    velktool5)
        case $2 in
        calctfimp) echo "--impulse-list= $tf --reverb-length= $common" ;;
        calctfrec) echo "--tsp-list= $tf --reverb-length= $common" ;;
        calctfgeo) echo "--tsp-list= $tf $common" ;;
        calctfmouth) echo "--tsp-list= $tf --reverb-length= --end= --mch= --hop= --headmargin= $common" ;;
        calcsysimp) echo "--tsporigflt= --tsporigwav= --tsporigchannel= --sigmax= --samplebyframe=
            --syncaddfreq= --syncaddoffset= --searchoffset= --outchannellist= --inputwave=
            --outputpath= --ch-origin= --rate= $common" ;;
        esac ;;
    velktoolcli-genposxml)
        local models="--type= --output= --id= --path= --channels= $common"
        local radius="--min-radius= --max-radius= --interval-radius="
        local azimuth="--min-azimuth= --max-azimuth= --interval-azimuth="
        case $2 in
        circle) echo "$models $radius --elevation= $azimuth" ;;
        ball) echo "$models $radius --min-elevation= --max-elevation= --interval-elevation= $azimuth" ;;
        cylinder) echo "$models $radius --min-height= --max-height= --interval-height= $azimuth" ;;
        grid) echo "$models --min-x_axis= --max-x_axis= --interval-x_axis= --min-y_axis= --max-y_axis=
            --interval-y_axis= --min-z_axis= --max-z_axis= --interval-z_axis=" ;;
        esac ;;
    velktoolcli-genconfig)
        echo "--comment= --sync= --offset= --peak= --nfft= --rate= --max= --length= --tsp-path= $common" ;;
    velktoolcli-genneighbors) echo "--algorithm= --num-max= --threshold= $common" ;;
    velktoolcli-mergexmls) echo "--output= --last $common" ;;
    velktoolcli-validxml) echo "--mic --src --json $common" ;;
    velktoolcli-validtf) echo "--show --json $common" ;;
    velktoolcli-diagnose) echo "--recordings= --mic-list= --json --report= --suggest-mic-list=
        --speed-of-sound= --max-direction-error= --max-delay-residual= --max-gain-deviation=
        --max-timing-deviation= --min-snr= --max-clipped= --min-similarity= $common" ;;
    velktoolcli-zip2coord) echo "--type= --z_axis= --ifft $common" ;;
    velktoolcli-flt2multiwav) echo "--list= $common" ;;
    velktoolcli-conv-tf) echo "--localization= --separation= --output= $common" ;;
    velktoolcli-conv-sm) echo "$common" ;;
    velktoolcli-tfexport) echo "--format= --kind= $common" ;;
    velktoolcli-sofa2tf) echo "--direct-length= --reverb-length= --nfft= --output-type= $common" ;;
    velktoolcli-simulate) echo "--mics= --mic-radius= --sources= --min-azimuth= --azimuth-step=
        --source-radius= --room= --center= --beta= --order= --gain= --rate= --length= --noise=
        --seed= --output-dir= --name= --pcm16 --voice --tsp= --repeat= --lead= --make-tsp=
        --tsp-length= --tsp-peak= --mic-list= --source-list= --gain-error= --invert= --dead=
        --dead-noise= --swap= --clip= --late-offset= --move-mic= $common" ;;
    esac
}

# _velk_long PROGRAM OPTION: the long form of a short option.
_velk_long()
{
    case $1:$2 in
    velktoolcli-genconfig:-c) echo --comment ;;
    velktoolcli-genconfig:-s) echo --sync ;;
    velktoolcli-genconfig:-o) echo --offset ;;
    velktoolcli-genconfig:-p) echo --peak ;;
    velktoolcli-genconfig:-n) echo --nfft ;;
    velktoolcli-genconfig:-r) echo --rate ;;
    velktoolcli-genconfig:-m) echo --max ;;
    velktoolcli-genconfig:-l) echo --length ;;
    velktoolcli-genconfig:-t) echo --tsp-path ;;
    velktoolcli-genposxml:-t | velktoolcli-zip2coord:-t) echo --type ;;
    velktoolcli-genposxml:-o | velktoolcli-mergexmls:-o | velktoolcli-conv-tf:-o) echo --output ;;
    velktoolcli-genposxml:-i) echo --id ;;
    velktoolcli-genposxml:-p) echo --path ;;
    velktoolcli-genposxml:-c) echo --channels ;;
    velktoolcli-genneighbors:-a) echo --algorithm ;;
    velktoolcli-genneighbors:-n) echo --num-max ;;
    velktoolcli-genneighbors:-t) echo --threshold ;;
    velktoolcli-zip2coord:-z) echo --z_axis ;;
    velktoolcli-flt2multiwav:-l) echo --list ;;
    velktoolcli-conv-tf:-l) echo --localization ;;
    velktoolcli-conv-tf:-s) echo --separation ;;
    *) echo "$2" ;;
    esac
}

# _velk_files PATTERN CURRENT: directories and the files matching PATTERN.
_velk_files()
{
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY+=($(compgen -d -- "$2"))
    COMPREPLY+=($(compgen -f -X "!$1" -- "$2"))
}

# _velk_values PROGRAM OPTION CURRENT: the values of one option; returns 1
# for an option whose value cannot be guessed (numbers, comments).
_velk_values()
{
    local words=""
    case $2 in
    --logLevel) words="E W I D" ;;
    --output-type) words="LOC SEP LOC_SEP" ;;
    --format) words="sofa mat npz" ;;
    --kind) words="LOC SEP" ;;
    --normalize-src | --normalize-mic | --normalize-freq) words="0 1" ;;
    --z_axis) words="amp db phase" ;;
    --algorithm) words="1" ;;
    --type)
        if [ "$1" = velktoolcli-zip2coord ]; then words="LOC SEP"
        else words="tsp impulse noise microphone soundsource"; fi ;;
    --impulse-list | --tsp-list | --mic-list | --recordings | --suggest-mic-list | --source-list)
        _velk_files '*.xml' "$3"; return 0 ;;
    --report) _velk_files '*.html' "$3"; return 0 ;;
    --output-file) _velk_files '*.zip' "$3"; return 0 ;;
    --tsporigwav | --inputwave | --tsp-path | --tsp | --make-tsp) _velk_files '*.wav' "$3"; return 0 ;;
    --output-dir)
        compopt -o filenames 2>/dev/null
        COMPREPLY+=($(compgen -d -- "$3")); return 0 ;;
    --tsporigflt) _velk_files '*.flt' "$3"; return 0 ;;
    --outputpath | --output | --path | --list | --localization | --separation)
        _velk_files '*' "$3"; return 0 ;;
    *) return 1 ;;
    esac
    COMPREPLY+=($(compgen -W "$words" -- "$3"))
}

_velk_complete()
{
    local prog=${COMP_WORDS[0]##*/}
    local cword=$COMP_CWORD
    local cur=${COMP_WORDS[cword]}
    local prev="" prev2=""
    [ "$cword" -ge 1 ] && prev=${COMP_WORDS[cword - 1]}
    [ "$cword" -ge 2 ] && prev2=${COMP_WORDS[cword - 2]}
    COMPREPLY=()

    # The subcommand of velktool5 and the model of genposxml come first.
    local first=""
    case $prog in
    velktool5)
        if [ "$cword" -eq 1 ]; then
            COMPREPLY=($(compgen -W "calctfimp calctfrec calctfgeo calctfmouth calcsysimp --help --version" -- "$cur"))
            return 0
        fi
        first=${COMP_WORDS[1]} ;;
    velktoolcli-genposxml)
        if [ "$cword" -eq 1 ]; then
            COMPREPLY=($(compgen -W "circle ball cylinder grid --help --version" -- "$cur"))
            return 0
        fi
        first=${COMP_WORDS[1]} ;;
    esac
    local options
    options=$(_velk_options "$prog" "$first")
    options=" ${options//[$'\n\t ']/ } "

    # A value: "--opt=val" as one word, "--opt" "=" "val" when bash splits
    # at "=", or "--opt val".
    local opt="" val="" prefix=""
    if [[ $cur == -*=* ]]; then
        opt=${cur%%=*} val=${cur#*=} prefix="$opt="
    elif [ "$cur" = "=" ]; then
        opt=$prev
    elif [ "$prev" = "=" ]; then
        opt=$prev2 val=$cur
    elif [[ $prev == -* ]]; then
        local long
        long=$(_velk_long "$prog" "$prev")
        [[ $options == *" $long= "* ]] && opt=$prev val=$cur
    fi
    if [ -n "$opt" ]; then
        opt=$(_velk_long "$prog" "$opt")
        _velk_values "$prog" "$opt" "$val" || return 0
        if [ -n "$prefix" ]; then
            local i
            for i in "${!COMPREPLY[@]}"; do COMPREPLY[i]=$prefix${COMPREPLY[i]}; done
        fi
        return 0
    fi

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${options//=/}" -- "$cur"))
        return 0
    fi
    # Positional arguments are files.
    _velk_files '*' "$cur"
    return 0
}

complete -F _velk_complete velktool5 velktoolcli-zip2coord velktoolcli-genposxml \
    velktoolcli-validtf velktoolcli-validxml velktoolcli-flt2multiwav velktoolcli-genconfig \
    velktoolcli-genneighbors velktoolcli-mergexmls velktoolcli-conv-tf velktoolcli-conv-sm \
    velktoolcli-diagnose velktoolcli-tfexport velktoolcli-sofa2tf velktoolcli-simulate
