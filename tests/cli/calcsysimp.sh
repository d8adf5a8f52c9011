#!/bin/bash
# velktool5 calcsysimp as a whole process: a TSP and recordings of known
# multi-tap impulse responses written with numpy, the impulse-response
# files checked against those responses; the channel list and numbering,
# raw and WAV references, the offset search, the usage screen and every
# option check.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
SUBCOMMAND=calcsysimp
. "$VELK_SRC/tests/support/tfcli.bash"

# tsp.wav: a 4096-sample TSP (flat spectrum, peak 0.5), tsp.flt the same
# times 32768 as raw floats, tsp48.wav at 48 kHz.  rec.wav: 6 channels, 300
# samples of noise, then 3 periods of the steady-state response to the
# taps of taps.json (channel c: its own delays), scaled 1, 2, 3 (the
# average is twice one period).  once.wav: the TSP once at sample 5000.
$PY - <<'EOF'
import json
import numpy as np
import scipy.io.wavfile as wav
L = 4096
k = np.arange(L // 2 + 1)
x = np.roll(np.fft.irfft(np.exp(-1j * np.pi * k ** 2 / L), L), L // 4)
tsp = (x * 0.5 / np.max(np.abs(x))).astype(np.float32)
wav.write('tsp.wav', 16000, tsp)
wav.write('tsp48.wav', 48000, tsp)
(tsp * 32768).astype('<f4').tofile('tsp.flt')
taps = [{3 * c + 2: 0.5, 100 + c: -0.2, 1000: 0.05 * (c + 1)} for c in range(6)]
rng = np.random.default_rng(3)
rec = [rng.standard_normal(300) * 0.3]
for r in (1, 2, 3):
    rec.append(np.stack([r * sum(a * np.roll(tsp.astype(np.float64), d) for d, a in t.items()) / 4
                         for t in taps]))
data = np.concatenate([np.tile(rec[0], (6, 1))] + rec[1:], axis=1).T
wav.write('rec.wav', 16000, data.astype(np.float32))
once = np.zeros(20000, np.float32)
once[5000:5000 + L] = tsp
wav.write('once.wav', 16000, once)
json.dump(taps, open('taps.json', 'w'))
EOF

# irs DIR ORIGIN GAIN CH... : DIR/ir_ch<ORIGIN+k>.flt holds GAIN times the
# taps of recording channel CH[k], and there are no other files.
irs() {
    $PY - "$@" <<'EOF' || FAIL "impulse responses: $*"
import glob, json, sys
import numpy as np
d, origin, gain = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
chans = [int(c) for c in sys.argv[4:]]
taps = json.load(open('taps.json'))
files = glob.glob('%s/*.flt' % d)
bad = []
if len(files) != len(chans):
    bad.append('%d files: %s' % (len(files), files))
for k, c in enumerate(chans):
    ir = np.fromfile('%s/ir_ch%d.flt' % (d, origin + k), '<f4')
    want = np.zeros(4096)
    for t, a in taps[c].items():
        want[int(t)] = gain * a
    if ir.shape != (4096,) or np.max(np.abs(ir - want)) > 1e-5:
        bad.append('file %d (channel %d) differs' % (k, c))
if bad:
    print('\n'.join(bad))
    sys.exit(1)
EOF
}
COMMON="--samplebyframe 4096 --syncaddfreq 3 --syncaddoffset 300"

# ---- WAV reference, channels 2 and 5, numbered from 0 -----------------------
run sel 0 --tsporigwav ../tsp.wav $COMMON --outchannellist '2 5' --inputwave ../rec.wav \
    --outputpath ir --logLevel I
irs sel 0 0.5 2 5
has_err sel "outChannelList   [2,5]"
has_err sel "tspOrgType       [WAV]"
has_err sel "calc_impulse done."
has_err sel "@ velktoolcli_calcsysimp normal end"
has_err sel "velktool normal end"
lacks_err sel "search_offset"
lacks_err sel "Exec start"

# ---- raw reference scaled by --sigmax, all channels from --ch-origin 3 ------
run raw 0 --tsporigflt ../tsp.flt --sigmax 32768 $COMMON --inputwave ../rec.wav \
    --outputpath ir --ch-origin 3
irs raw 3 0.5 0 1 2 3 4 5
# Without --sigmax the raw TSP is divided by its own peak 16384: the
# reference is twice the played TSP.
run rawpeak 0 --tsporigflt ../tsp.flt $COMMON --outchannellist 0,3 --inputwave ../rec.wav --outputpath ir
irs rawpeak 0 0.25 0 3
# Both TSP options: the later one counts.
run both 0 --tsporigflt ../nothing.flt --tsporigwav ../tsp.wav $COMMON --outchannellist 1 \
    --inputwave ../rec.wav --outputpath ir --logLevel I
irs both 0 0.5 1
has_err both "tspOrigWav       [../tsp.wav]"
# A single period at the given offset, unchanged.
run one 0 --tsporigwav ../tsp.wav --samplebyframe 4096 --syncaddfreq 1 --syncaddoffset 8492 \
    --outchannellist 4 --inputwave ../rec.wav --outputpath ir
irs one 0 0.75 4
# An empty channel list writes nothing and succeeds.
run none 0 --tsporigwav ../tsp.wav $COMMON --outchannellist '' --inputwave ../rec.wav --outputpath ir
irs none 0 1

# ---- offset search -----------------------------------------------------------
# The TSP once at sample 5000 of a window from 0: its start is found, and the
# addition starts 50 samples before it; 1,2,3-style extra numbers are ignored.
run search 0 --tsporigwav ../tsp.wav --samplebyframe 4096 --syncaddfreq 1 --syncaddoffset 0 \
    --searchoffset 0,16384,99 --outchannellist 0 --inputwave ../once.wav --outputpath ir --logLevel I
printf 'searched offset = 5000\nsuggest start offset = 4950\n' >"$T/search.want"
cmp -s "$T/search/out" "$T/search.want" || FAIL "search: stdout $(cat "$T/search/out")"
has_err search "calculated_first_offset=4950."
has_err search "searchOffsetFrom [0]"
has_err search "searchOffsetTo   [16384]"
$PY -c "import numpy as np, sys; sys.exit(int(np.argmax(np.abs(np.fromfile('$T/search/ir_ch0.flt', '<f4')))) != 50)" ||
    FAIL "search: impulse response does not peak at 50"
# At 48 kHz (--rate): the TSP of tsp48.wav at an odd place of a recording,
# with a weaker echo; the offset found is the lag of the largest
# cross-correlation that numpy computes from the same files.
$PY - <<'EOF' || FAIL "once48: can not make the recording"
import numpy as np
import scipy.io.wavfile as wav
rate, tsp = wav.read('tsp48.wav')
rec = np.zeros(40000)
rec[7321:7321 + len(tsp)] += tsp
rec[7361:7361 + len(tsp)] += 0.3 * tsp
wav.write('once48.wav', 48000, rec.astype(np.float32))
rec = rec.astype(np.float32).astype(np.float64)
c = np.abs(np.correlate(rec[:32768], tsp.astype(np.float64), 'full'))[len(tsp) - 1:]
open('once48.want', 'w').write('searched offset = %d\nsuggest start offset = %d\n'
                               % (np.argmax(c), np.argmax(c) - 50))
EOF
run search48 0 --rate 48000 --tsporigwav ../tsp48.wav --samplebyframe 4096 --syncaddfreq 1 \
    --syncaddoffset 0 --searchoffset 0,32768 --outchannellist 0 --inputwave ../once48.wav \
    --outputpath ir
cmp -s "$T/search48/out" "$T/once48.want" ||
    FAIL "search48: stdout [$(cat "$T/search48/out")], numpy [$(cat "$T/once48.want")]"
grep -q '^searched offset = 7321$' "$T/once48.want" || FAIL "search48: numpy finds $(cat "$T/once48.want")"
# Searching without a channel list is allowed, with a complaint.
run searchall 0 --tsporigwav ../tsp.wav --samplebyframe 4096 --syncaddfreq 1 --syncaddoffset 0 \
    --searchoffset 0,16384 --inputwave ../once.wav --outputpath ir
has_err searchall "searchOffset needs outChannels for calculation."

# ---- failures inside the deconvolution: its message, then the error end ----
deconv_fails() {   # NAME MESSAGE OPTIONS...
    local name=$1 msg=$2; shift 2
    run "$name" 1 "$@" --inputwave ../rec.wav --outputpath ir --logLevel I
    has_err "$name" "$msg"
    has_err "$name" "@ velktoolcli_calcsysimp error end"
    has_err "$name" "velktool abnormal end"
    [ ! -e "$T/$name/ir_ch0.flt" ] || FAIL "$name: impulse response written"
}
deconv_fails short "Wave length(12588) is short when syncAddFreq = 3." \
    --tsporigwav ../tsp.wav --samplebyframe 4096 --syncaddfreq 3 --syncaddoffset 301
deconv_fails len6144 "tspLength (6144) should be a power of two of at least 4096." \
    --tsporigwav ../tsp.wav --samplebyframe 6144
deconv_fails len2048 "tspLength (2048) should be a power of two of at least 4096." \
    --tsporigwav ../tsp.wav --samplebyframe 2048
deconv_fails rate48 "Config SamplingRate (16000) differ from Wav(../tsp48.wav) SamplingRate (48000)" \
    --tsporigwav ../tsp48.wav $COMMON
deconv_fails channel1 "tsp origin file (../tsp.wav) has no channel 1: it has 1 channel(s)." \
    --tsporigwav ../tsp.wav --tsporigchannel 1 $COMMON
deconv_fails tsplong "tsp origin file (../tsp.wav) holds 4096 samples, fewer than tspLength (8192)." \
    --tsporigwav ../tsp.wav --samplebyframe 8192 --syncaddfreq 1 --syncaddoffset 0
deconv_fails nowav "wavefile(../gone.wav) is not found." --tsporigwav ../gone.wav $COMMON
deconv_fails noflt "tsp origin file is not read." --tsporigflt ../gone.flt $COMMON

# ---- usage screen and mandatory options ----------------------------------------
run help 0 --help
head -c 200 "$T/help/out" | grep -q "calcsysimp" || FAIL "help: no usage screen"
printf '\nEither of --tsporigflt or --tsporigwav should be given.\n--inputwave and --outputpath should be given.\n\n\n' >"$T/trailer"
tail -c "$(stat -c %s "$T/trailer")" "$T/help/out" | cmp -s - "$T/trailer" || FAIL "help: trailer differs"
grep -qF "$(printf 'Select\xc2\xa0channel(s)\xc2\xa0to\xc2\xa0calculate.')" "$T/help/out" &&
    grep -qF "$(printf '(zero-based,\xc2\xa0comma\xc2\xa0separated)')" "$T/help/out" ||
    FAIL "help: --outchannellist help text"
grep -qF -- "--searchoffset=INT,INT" "$T/help/out" || FAIL "help: --searchoffset"
grep -qF -- "--syncaddoffset=INT" "$T/help/out" || FAIL "help: --syncaddoffset"
grep -qF -- "--rate=INT" "$T/help/out" && grep -qF "(default: 16000)" "$T/help/out" ||
    FAIL "help: --rate and its default"
run helplate 1 --logLevel D --help
[ -s "$T/helplate/out" ] && FAIL "helplate: usage printed"
missing_in_order helplate "missing --tsporigflt missing --inputwave missing --outputpath "
lacks_err helplate "calcsysimp error end"
lacks_err helplate "velktool abnormal end"
run onlyin 1 --inputwave ../rec.wav --tsporigwav ../tsp.wav
missing_in_order onlyin "missing --outputpath "

# ---- option errors: status 1 at once, nothing read -----------------------------
option_errors --tsporigwav ../tsp.wav --inputwave ../rec.wav --outputpath ir -- \
    "--tsporigchannel -1" "--sigmax 0" "--samplebyframe 0" "--syncaddfreq 0" \
    "--syncaddoffset -1" "--ch-origin -1" "--searchoffset 100,50" "--searchoffset 100" \
    "--searchoffset -5,10" "--searchoffset 1x,5" "--searchoffset 0,2147483648" \
    "--outchannellist 64" "--outchannellist 2x" "--outchannellist -1" "--rate 0" \
    "--rate -48000" "--rate 48k" "--nope"
for d in "$T"/opt*; do [ ! -e "$d/ir_ch0.flt" ] || FAIL "option error wrote a file"; done

finish
