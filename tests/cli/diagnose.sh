#!/usr/bin/env bash
# velktoolcli-diagnose on simulated measurements (velksim): clean ones of
# several array shapes and rates give no finding; every fault the simulator
# makes is found and pinned on the right channel or source with exit status
# 2; the JSON numbers agree with an independent numpy computation; a moved
# microphone is located within 1 cm, and the suggested microphone list
# clears the findings of a moved microphone and of swapped channels, the
# suggested channel list those of a dead channel.
set -u
. "$VELK_SRC/tests/support/cli.bash"
for prog in velksim velktool5 velktoolcli-genposxml velktoolcli-genconfig \
    velktoolcli-mergexmls velktoolcli-diagnose; do
    [ -x "$VELK_BIN/$prog" ] || skip "$prog not built"
done
PY=/usr/bin/python3
$PY -c 'import numpy, scipy' 2>/dev/null || skip "numpy and scipy are needed"
export PATH="$VELK_BIN:$PATH"
cd "$T" || exit 1

quiet() { "$@" >quiet.out 2>&1 || { fail "setup: $*"; tail -5 quiet.out; }; }
# diagnose NAME STATUS ARGS...: the JSON report in NAME.json.
diagnose() {
    local name=$1 want=$2
    shift 2
    velktoolcli-diagnose --json "$@" >"$name.json" 2>"$name.err"
    local got=$?
    [ "$got" = "$want" ] || { fail "$name: status $got, expected $want"; cat "$name.err"; }
    ! grep -qE 'Sanitizer|runtime error:' "$name.err" || fail "$name: sanitizer report"
}
# query NAME EXPRESSION: a Python expression over the report j; fails the
# test unless it is true.
query() {
    $PY - "$1.json" "$2" <<'EOF' || fail "$1: not true: $2"
import json, sys
j = json.load(open(sys.argv[1]))
F = [(f['check'], f['severity'], f['channels'], f['sources']) for f in j['findings']]
ok = eval(sys.argv[2])
if not ok:
    print('findings:', F)
sys.exit(0 if ok else 1)
EOF
}

# ---- clean measurements of several arrays: no finding at all ----------
# shape NAME RATE "MICROPHONES" "SOURCES": impulse responses made by the
# simulator for the two position lists (genposxml), through calctfimp.
shape() {
    local name=$1 rate=$2
    mkdir -p "$name" && cd "$name" || exit 1
    quiet velktoolcli-genposxml $3 --type microphone --output mic.xml
    quiet velktoolcli-genposxml $4 --type impulse --output pos.xml \
        --path 'ir/imp_{AZIMUTH:%05.1f}_{ELEVATION:%05.1f}.wav'
    quiet velktoolcli-genconfig --nfft 512 --rate "$rate" --peak 0,0 config.xml
    quiet velktoolcli-mergexmls --output imp.xml pos.xml config.xml
    quiet velksim --mic-list mic.xml --source-list imp.xml --rate "$rate" --room 6,5,3 \
        --center 3,2.5,1.5 --order 2 --length 2048 "${@:5}"
    quiet velktool5 calctfimp --impulse-list imp.xml --mic-list mic.xml --output-file tf.zip
    cd .. || exit 1
}
ring() { echo "circle --min-radius $1 --max-radius $1 --interval-radius 0 --elevation 0 \
    --min-azimuth 0 --max-azimuth $2 --interval-azimuth $3"; }
shape circle4 16000 "$(ring 0.04 270 90)" "$(ring 1.5 330 30)"
shape circle16 48000 "$(ring 0.05 337.5 22.5)" "$(ring 1.2 330 30)"
shape sphere12 48000 "ball --min-radius 0.06 --max-radius 0.06 --interval-radius 0 \
    --min-elevation -45 --max-elevation 45 --interval-elevation 45 --min-azimuth 0 \
    --max-azimuth 270 --interval-azimuth 90" "ball --min-radius 1.2 --max-radius 1.2 \
    --interval-radius 0 --min-elevation -30 --max-elevation 30 --interval-elevation 30 \
    --min-azimuth 0 --max-azimuth 300 --interval-azimuth 60"
shape line6 16000 "grid --min-x_axis -0.1 --max-x_axis 0.1 --interval-x_axis 0.04 \
    --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 --min-z_axis 0 --max-z_axis 0 \
    --interval-z_axis 0" "$(ring 1.5 180 30)"
for name in circle4 circle16 sphere12 line6; do
    diagnose "clean_$name" 0 "$name/tf.zip"
    query "clean_$name" "j['findings'] == [] and j['status'] == 'ok'"
    query "clean_$name" "max(s['angularError'] for s in j['sourceResults']) < 1.0"
done
# A sphere with a swapped pair and a moved microphone at 48 kHz.
cp -r sphere12 sphere_swap && cd sphere_swap && rm -rf ir &&
    quiet velksim --mic-list mic.xml --source-list imp.xml --rate 48000 --room 6,5,3 \
        --center 3,2.5,1.5 --order 2 --length 2048 --swap 3,9 &&
    quiet velktool5 calctfimp --impulse-list imp.xml --mic-list mic.xml --output-file tf.zip
cd "$T" || exit 1
diagnose sphere_swap 2 sphere_swap/tf.zip
query sphere_swap "('wiring', 'error', [3, 9], []) in F"
query sphere_swap "j['channelOrder']['fitsPositionOf'][3] == 9 and j['channelOrder']['fitsPositionOf'][9] == 3"

# ---- a TSP measurement and its faults ----------------------------------
# 12 positions on a 1.5 m circle, 8 microphones on a 5 cm circle; the TSP
# starts 1000 samples into each recording, where the configured offset
# points. The level stays below full scale (--gain 0.5).
quiet velksim --make-tsp tsp.wav --tsp-length 4096 --rate 16000
quiet velktoolcli-genposxml circle --type tsp --min-radius 1.5 --max-radius 1.5 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 330 --interval-azimuth 30 \
    --path 'rec/tsp_D{AZIMUTH:%03.0f}.wav' --output tsp_positions.xml
quiet velktoolcli-genposxml $(ring 0.05 315 45) --type microphone --output mic.xml
quiet velktoolcli-genconfig --sync 2 --offset 1000 --length 4096 --tsp-path "$T/tsp.wav" \
    --nfft 512 --rate 16000 --peak 0,0 config.xml
quiet velktoolcli-mergexmls --output tsp.xml tsp_positions.xml config.xml
# measure NAME [FAULT...]: recordings into NAME/rec and the archive NAME/tf.zip.
measure() {
    local name=$1
    shift
    mkdir -p "$name" && cd "$name" || exit 1
    quiet velksim --mics 8 --mic-radius 0.05 --sources 12 --azimuth-step 30 --source-radius 1.5 \
        --room 6,5,3 --center 3,2.5,1.2 --order 2 --rate 16000 --tsp "$T/tsp.wav" --repeat 3 \
        --length 2048 --lead 1000 --gain 0.5 --seed 2 --output-dir rec --name 'tsp_D{AZIMUTH:%03.0f}.wav' "$@"
    quiet velktool5 calctfrec --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip
    cd .. || exit 1
}
# check NAME STATUS ARGS...: diagnose NAME/tf.zip with its recordings.
check() {
    local name=$1 want=$2
    shift 2
    (cd "$name" && diagnose "../$name" "$want" --recordings ../tsp.xml --mic-list ../mic.xml "$@" tf.zip)
}
measure clean
check clean 0
query clean "j['findings'] == [] and j['recordings']['kind'] == 'tsp'"
query clean "abs(j['suggestedTspOffset'] - 1000) <= 1"

measure swap --swap 2,5
check swap 2 --suggest-mic-list mic_fixed.xml
query swap "('wiring', 'error', [2, 5], []) in F"
query swap "[c for c, *_ in F].count('wiring') == 1 and not any(c == 'delays' for c, *_ in F)"
query swap "j['channelOrder']['fitsPositionOf'] == [0, 1, 5, 3, 4, 2, 6, 7]"
(cd swap && quiet velktool5 calctfrec --tsp-list ../tsp.xml --mic-list mic_fixed.xml --output-file fixed.zip)
diagnose swap_fixed 0 swap/fixed.zip
query swap_fixed "j['findings'] == []"

measure inverted --invert 3
check inverted 2
query inverted "F == [('wiring', 'error', [3], [])]"

# Channel 1 dead: all zeros (a digital input that delivers nothing), or the
# recorder's noise alone (a broken cable on an analogue input). The
# channel's largest noise peak (for zeros, the rounding of the
# deconvolution) may place the windows of any number of sources past the
# direct sound: however many, channel 1 is named dead in the archive and in
# the recordings, every finding names it alone, and the channel list that
# the finding gives clears them. The noise of this seed moves windows.
measure dead --dead 1
measure deadnoise --dead-noise 1
for name in dead deadnoise; do
    check $name 2
    query $name "('recordings', 'error', [1], list(range(12))) in F"
    query $name "any(c == 'wiring' and ch == [1] for c, s, ch, src in F)"
    query $name "all(ch == [1] for c, s, ch, src in F)"
    query $name "j['microphoneResults'][1]['deadFraction'] == 1"
    query $name "all('--channels 0,2,3,4,5,6,7' in f['text'] for f in j['findings'] if f['check'] == 'wiring')"
done
query deadnoise "any(c == 'wiring' and len(src) > 6 for c, s, ch, src in F)"
quiet velktoolcli-genposxml circle --type tsp --min-radius 1.5 --max-radius 1.5 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 330 --interval-azimuth 30 \
    --path 'rec/tsp_D{AZIMUTH:%03.0f}.wav' --channels 0,2,3,4,5,6,7 --output tsp7_positions.xml
quiet velktoolcli-mergexmls --output tsp7.xml tsp7_positions.xml config.xml
(cd deadnoise && quiet velktool5 calctfrec --tsp-list ../tsp7.xml --mic-list ../mic.xml --output-file fixed.zip)
(cd deadnoise && diagnose ../deadnoise_fixed 0 --recordings ../tsp7.xml --mic-list ../mic.xml fixed.zip)
query deadnoise_fixed "j['findings'] == [] and j['microphones'] == 7"

measure gain --gain-error 7,9
check gain 2
query gain "F == [('wiring', 'error', [7], [])]"
query gain "abs(j['microphoneResults'][7]['gainDb'] - 9) < 0.1"

# Microphone 6 listed at (0, -0.05, 0) but standing at (0.03, -0.08, 0).
measure moved --move-mic 6,0.03,-0.08,0
check moved 2 --suggest-mic-list mic_fixed.xml
query moved "('delays', 'error', [6], []) in F and all(ch in ([6], []) for c, s, ch, src in F)"
query moved "sum((a - b) ** 2 for a, b in zip(j['microphoneResults'][6]['estimatedPosition'], [0.03, -0.08, 0])) ** 0.5 < 0.01"
(cd moved && quiet velktool5 calctfrec --tsp-list ../tsp.xml --mic-list mic_fixed.xml --output-file fixed.zip)
diagnose moved_fixed 0 moved/fixed.zip
query moved_fixed "j['findings'] == []"

# The TSP offset 1000 is 150 samples late when the TSPs start at 850. (With
# a TSP of 4096 samples calctfrec keeps the whole period, the wrapped
# direct sound included, so only the recordings show it.)
measure late --late-offset 150
check late 2
query late "any(c == 'recordings' and s == 'error' and len(src) == 12 for c, s, ch, src in F)"
query late "abs(j['suggestedTspOffset'] - 850) <= 1"
# The archive's windows start where the calcTF annotations say: the direct
# sound, wrapped to the end of the period, arrives 150 samples before the
# period's end plus its travel time.
query late "abs(j['latency'] - (4096 - 150)) < 2"

# Recording 4 (the fifth file) overdriven 30 times and clipped.
measure clipped --clip 4,30
check clipped 2
query clipped "('recordings', 'error', list(range(8)), [4]) in F"
query clipped "all(c == 'recordings' and src == [4] for c, s, ch, src in F)"
query clipped "j['recordings']['list'][4]['channels'][0]['clippedPercent'] > 10"

# A NaN in the last value (channel 7, the highest bin) of source 3's
# localization TF: the archive copied member by member.
$PY - clean/tf.zip nan.zip <<'EOF' || fail "cannot write nan.zip"
import sys, zipfile
src, dst = sys.argv[1:]
with zipfile.ZipFile(src) as zi, zipfile.ZipFile(dst, 'w') as zo:
    for info in zi.infolist():
        data = zi.read(info)
        if info.filename == 'transferFunction/localization/tf00003.mat':
            data = data[:-4] + bytes.fromhex('0000c07f')
        zo.writestr(info, data)
EOF
diagnose nan 2 nan.zip
query nan "F == [('values', 'error', [7], [3])] and j['findings'][0]['evidence']['nonFiniteLocalization'] == 1"

# ---- the JSON numbers against numpy ------------------------------------
# The delay residuals (phase slope of each pair's cross-spectrum over the
# band below the aliasing frequency, median over the partners), the
# distance-corrected gains and the steered-response direction, computed
# again from the archive's members.
$PY - "$VELK_SRC/tests/support" moved/tf.zip moved.json gain/tf.zip gain.json <<'EOF' ||
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import tfarchive

def load(path):
    a = tfarchive.Archive(path)
    ids = a.source_ids
    H = np.array([a.loc[i] for i in ids], dtype=np.complex128)
    S = np.array([a.sources[i] for i in ids], dtype=np.float64)
    M = np.array([a.mics[m] for m in sorted(a.mics)], dtype=np.float64)
    return H, S, M

c, fs, nfft = 343.0, 16000, 512
bad = 0
H, S, M = load(sys.argv[2])
j = json.load(open(sys.argv[3]))
nS, nM, nB = H.shape
dmax = max(np.linalg.norm(M[a] - M[b]) for a in range(nM) for b in range(nM))
k1 = min(nB - 2, max(int(np.floor(c / (2 * dmax) * nfft / fs)), min(16, nB - 2)))
k = np.arange(1, k1 + 1)
tau = np.linalg.norm(S[:, None, :] - M[None, :, :], axis=2) * fs / c
res = np.zeros((nS, nM))
for s in range(nS):
    for m in range(nM):
        r = []
        for n in range(nM):
            if n == m:
                continue
            phase = np.unwrap(np.angle(H[s, m, k] * np.conj(H[s, n, k])))
            delay = -np.sum(k * phase) / np.sum(k * k) * nfft / (2 * np.pi)
            r.append(delay - (tau[s, m] - tau[s, n]))
        res[s, m] = np.median(r)
got = np.array([src['residuals'] for src in j['sourceResults']])
err = np.abs(got - res).max()
if err > 0.01:
    print('residuals differ by', err); bad = 1
med = np.median(np.abs(res), axis=0)
got = np.array([m['medianResidual'] for m in j['microphoneResults']])
if np.abs(got - med).max() > 0.01:
    print('median residuals differ:', got, med); bad = 1
# Steered response with PHAT weighting at the stated radius, elevation 0
# (a flat array), azimuth every 0.01 degree around the stated one.
X = H[:, :, k] / np.abs(H[:, :, k])
for s in range(nS):
    st = j['sourceResults'][s]
    r = np.linalg.norm(S[s])
    az0 = np.degrees(np.arctan2(S[s, 1], S[s, 0]))
    az = az0 + np.arange(-20, 20, 0.01)
    q = r * np.stack([np.cos(np.radians(az)), np.sin(np.radians(az)), 0 * az], axis=1)
    t = np.linalg.norm(q[:, None, :] - M[None, :, :], axis=2) * fs / c
    steer = np.exp(2j * np.pi * t[:, :, None] * k[None, None, :] / nfft)
    power = (np.abs((X[s][None] * steer).sum(axis=1)) ** 2).sum(axis=1) / (nM * nM * len(k))
    best = az[np.argmax(power)]
    if abs((st['estimatedAzimuth'] - best + 180) % 360 - 180) > 0.05:
        print('source', s, 'direction', st['estimatedAzimuth'], 'numpy', best); bad = 1
# Gains: band level corrected by 20 log10(distance), against the median of
# the channels per source, median over the sources.
H, S, M = load(sys.argv[4])
j = json.load(open(sys.argv[5]))
dist = np.linalg.norm(S[:, None, :] - M[None, :, :], axis=2)
level = 10 * np.log10(np.mean(np.abs(H[:, :, k]) ** 2, axis=2)) + 20 * np.log10(dist)
gain = np.median(level - np.median(level, axis=1, keepdims=True), axis=0)
got = np.array([m['gainDb'] for m in j['microphoneResults']])
if np.abs(got - gain).max() > 0.01:
    print('gains differ:', got, gain); bad = 1
sys.exit(bad)
EOF
    fail "the JSON numbers do not agree with numpy"

finish "diagnose finds every simulated fault"
