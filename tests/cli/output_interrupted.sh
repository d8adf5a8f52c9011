#!/bin/bash
# An output is replaced by a whole new file or not at all, whatever ends
# the run:
#  - every program that writes a file, killed with SIGKILL at the last
#    moment (when it renames the complete temporary file into place; strace
#    delivers the signal there), leaves the previous output byte for byte;
#  - calctfgeo writing a 66 MB archive and genposxml a 20 MB list, stopped
#    while the temporary file is being written and then killed with
#    SIGKILL, leave the previous output too (and the temporary file, which
#    nothing can remove then); SIGINT, SIGTERM and SIGHUP instead remove
#    the temporary file and end the run by that very signal;
#  - three genposxml runs writing different lists to one path at once
#    leave one of the three whole lists, 20 times over.
set -u
. "$VELK_SRC/tests/support/cli.bash"
command -v strace >/dev/null || skip "strace is needed"
. "$VELK_SRC/tests/support/writers.bash"
B=$VELK_BIN

export WRITER_FIXTURES=$T/f
writer_fixtures "$WRITER_FIXTURES" || { echo "setup failed"; tail -20 "$T/f/setup.log"; exit 1; }
mkdir "$T/run" "$T/out" && cd "$T/run" || exit 1
strace -qq -o /dev/null true 2>/dev/null || skip "strace can not trace here"

# ---- SIGKILL at the rename, every writer ---------------------------------
RENAMES=rename,renameat,renameat2
for w in $WRITERS; do
    rm -rf "${T:?}/out"/*
    target=$(writer_target "$w" "$T/out")
    writer_run "$w" "$target" || { fail "$w: the first run failed: $(tail -2 "$w.err")"; continue; }
    cp "$target" previous
    strace -f -qq -o /dev/null -e trace=$RENAMES -e inject=$RENAMES:signal=SIGKILL \
        bash -c "$(declare -f writer_run); writer_run $w $target" 2>/dev/null
    rc=$?
    [ "$rc" = 137 ] || fail "$w: status $rc, not killed at the rename"
    cmp -s previous "$target" || fail "$w: killed at the rename, the previous output was changed"
    stray=$(cd "$T/out" && ls | grep -vx "$(basename "$target")")
    case $stray in
    "$(basename "$target")".tmp.??????)
        echo "$w: killed at the rename, previous output kept, $stray left beside it" ;;
    *) fail "$w: expected one temporary file beside the output, found: $stray" ;;
    esac
done

# ---- a large write stopped, then killed or interrupted --------------------
circle() { # FILE TYPE RADII AZIMUTH_STEP [options]
    "$B/velktoolcli-genposxml" circle --type "$2" --min-radius 1 --max-radius "$3" \
        --interval-radius 1 --elevation 0 --min-azimuth 0 --max-azimuth 359.9 \
        --interval-azimuth "$4" -o "$1" "${@:5}" 2>/dev/null
}
circle bsrc.xml tsp 10 3.6 && circle bmic.xml microphone 1 45 &&
    "$B/velktoolcli-genconfig" --nfft 1024 bcfg.xml 2>/dev/null &&
    "$B/velktoolcli-mergexmls" -o big.xml bsrc.xml bcfg.xml 2>/dev/null ||
    { echo "setup failed: the large measurement"; exit 1; }
# 1000 sources x 8 microphones x 513 bins, LOC and SEP: 66 MB.
GEO=("$B/velktool5" calctfgeo --tsp-list big.xml --mic-list bmic.xml --output-file big.zip)
# 100 radii x 600 azimuths with a long path each: 21 MB.
LONG=$(printf 'x%.0s' $(seq 200))
LIST=("$B/velktoolcli-genposxml" circle --type tsp --min-radius 1 --max-radius 100
      --interval-radius 1 --elevation 0 --min-azimuth 0 --max-azimuth 359.9 --interval-azimuth 0.6
      --path "$LONG/{AZIMUTH:%05.1f}_{RADIUS:%05.1f}.wav" -o big_list.xml)
"${GEO[@]}" >/dev/null 2>&1 && "${LIST[@]}" 2>/dev/null ||
    { echo "setup failed: the previous outputs"; exit 1; }

# interrupt NAME TARGET SIGNAL DATA COMMAND...: starts COMMAND, which
# writes TARGET, with the default action of every signal, waits until its temporary file
# beside TARGET exists (DATA 1: and holds data), stops the run there and
# sends it SIGNAL.  The previous TARGET must be kept; SIGKILL leaves the
# temporary file, any other signal removes it and ends the run by itself.
interrupt() {
    local name=$1 target=$2 sig=$3 data=$4 try tmp rc
    shift 4
    cp "$target" previous
    for try in 1 2 3 4 5; do
        env --default-signal "$@" >/dev/null 2>"$name.err" &
        local pid=$! found=""
        while [ -z "$found" ] && kill -0 "$pid" 2>/dev/null; do
            for tmp in "$target".tmp.*; do
                if [ -e "$tmp" ] && { [ "$data" = 0 ] || [ -s "$tmp" ]; }; then
                    kill -STOP "$pid"
                    found=$tmp
                fi
            done
        done
        if [ -z "$found" ] || [ ! -e "$found" ]; then
            kill -CONT "$pid" 2>/dev/null
            wait "$pid"
            cp "$target" previous # written before the stop: try again
            continue
        fi
        kill -"$sig" "$pid"
        kill -CONT "$pid"
        wait "$pid" 2>/dev/null
        rc=$?
        cmp -s previous "$target" || fail "$name $sig: the previous output was changed"
        if [ "$sig" = KILL ]; then
            [ -e "$found" ] || fail "$name KILL: the temporary file is gone"
            rm -f "$found"
        else
            [ ! -e "$found" ] || fail "$name $sig: the temporary file was left"
        fi
        [ "$rc" = $((128 + $(kill -l "$sig"))) ] || fail "$name $sig: status $rc, not ended by SIG$sig"
        echo "$name: SIG$sig while writing (try $try, $(stat -c %s "$target") bytes kept): status $rc"
        return
    done
    fail "$name $sig: the write was never caught in 5 tries"
}
for sig in KILL INT TERM HUP; do interrupt calctfgeo big.zip "$sig" 1 "${GEO[@]}"; done
for sig in KILL TERM; do interrupt genposxml big_list.xml "$sig" 0 "${LIST[@]}"; done
left=$(ls | grep '\.tmp\.')
[ -z "$left" ] || fail "temporary files left: $left"

# ---- concurrent runs to one path -----------------------------------------
for n in 1 2 3; do
    circle "lone$n.xml" tsp $((n * 20)) "$n" || { echo "setup failed: lone$n.xml"; exit 1; }
done
mixed=0
for trial in $(seq 20); do
    for n in 1 2 3; do circle shared.xml tsp $((n * 20)) "$n" & done
    wait
    cmp -s shared.xml lone1.xml || cmp -s shared.xml lone2.xml || cmp -s shared.xml lone3.xml ||
        mixed=$((mixed + 1))
done
[ "$mixed" = 0 ] || fail "three runs to one path: $mixed of 20 results are no whole list"
left=$(ls | grep '\.tmp\.')
[ -z "$left" ] || fail "concurrent runs left temporary files: $left"
echo "three genposxml runs to one path at once: 20 of 20 results one whole list"

finish
