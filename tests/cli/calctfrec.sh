#!/bin/bash
# velktool5 calctfrec as a whole process: a TSP and TSP recordings written
# with numpy, position lists and configuration made with the suite's own
# generators, and both the impulse responses left in the temporary tree and
# the archive checked against the same chain computed here with numpy
# (synchronous addition, division by the TSP spectrum, cut, FFT), plus the
# channel list with --reset-mic, a channel the recordings lack, the report
# text, the progress lines and the refusals.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
SUBCOMMAND=calctfrec
. "$VELK_SRC/tests/support/tfcli.bash"

grid() {   # grid FILE TYPE XMAX [more options]: positions at x = 1 .. XMAX
    local out=$1 type=$2 x1=$3; shift 3
    "$VELK_BIN/velktoolcli-genposxml" grid --type "$type" \
        --min-x_axis 1 --max-x_axis "$x1" --interval-x_axis 1 \
        --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
        --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0 \
        --output "$out" "$@" 2>/dev/null || FAIL "genposxml $out"
}

# A 4096-sample TSP; three positions (ids 0, 1, 2), four channels.  Each
# recording: 100 samples of noise, then three periods of the steady-state
# response to impulse responses whose direct-sound peaks are
#   source 0: 60, 100, 120, 110 (microphone 0 lies before both windows),
#   source 1: 38, 40, 36, 39,   source 2: 20, 25, 22, 30,
# each with a decaying tail, plus a larger spike at 280, outside the peak
# search (samples 1 .. 199).
mkdir rec
$PY - <<'EOF'
import numpy as np
import scipy.io.wavfile as wav
L = 4096
k = np.arange(L // 2 + 1)
x = np.roll(np.fft.irfft(np.exp(-1j * np.pi * k ** 2 / L), L), L // 4)
tsp = (x * 0.5 / np.max(np.abs(x))).astype(np.float32)
wav.write('tsp.wav', 16000, tsp)
wav.write('tsp48.wav', 48000, tsp)
rng = np.random.default_rng(7)
t64 = tsp.astype(np.float64)
for x_mm, peaks in ((1000, [60, 100, 120, 110]), (2000, [38, 40, 36, 39]),
                    (3000, [20, 25, 22, 30])):
    chans = []
    for c, p in enumerate(peaks):
        h = {p: 0.9 if c % 2 == 0 else -0.9, 280: 0.95}
        for i in range(1, 12):
            h[p + i] = 0.5 * (-0.7) ** i
        y = sum(a * np.roll(t64, d) for d, a in h.items())
        chans.append(np.concatenate([rng.standard_normal(100) * 0.2, y, y, y]))
    wav.write('rec/tsp_X%05d.wav' % x_mm, 16000, np.stack(chans).T.astype(np.float32))
EOF
config --nfft 64 --peak 1,200 --length 4096 --sync 2 --offset 100 --tsp-path "$T/tsp.wav" cfg.xml
grid src.xml tsp 3 --path "$T/rec/tsp_X{X_AXIS:%05.0f}.wav"
grid src13.xml tsp 3 --path "$T/rec/tsp_X{X_AXIS:%05.0f}.wav" --channels 1,3
grid src15.xml tsp 3 --path "$T/rec/tsp_X{X_AXIS:%05.0f}.wav" --channels 1,5
grid mic.xml microphone 4
grid mic6.xml microphone 6
merge tsp.xml src.xml cfg.xml
merge tsp13.xml src13.xml cfg.xml
merge tsp15.xml src15.xml cfg.xml

# check.py RUNDIR TYPE DIRECT REVERB NORMSRC CHANNELS README: the impulse
# responses of the temporary tree and the archive RUNDIR/tf.zip against
# the chain computed here from the recordings.
cat >"$T/check.py" <<'EOF'
import glob, sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import scipy.io.wavfile as wav
import tfarchive
run, kind, D, R, normsrc, channels, readme, top = sys.argv[2:10]
D, R = int(D), int(R)
channels = [int(c) for c in channels.split(',')]
L, offset, sync = 4096, 100, 2
errors = []
_, tsp = wav.read(top + '/tsp.wav')
T = np.fft.fft(tsp.astype(np.float64))
a = tfarchive.Archive(run + '/tf.zip')
nfft = a.nfft
ids = sorted(a.source_ids)

def deconvolve(x):
    avg = sum(x[offset + r * L: offset + (r + 1) * L] for r in range(sync)) / sync
    return np.real(np.fft.ifft(np.fft.fft(avg) / T))[:4096].astype(np.float32)

def cut(x, peaks, length, clear):
    start = max(max(peaks) + length + 1 - nfft, 0)
    end = min(start + nfft, x.shape[1])
    ir = np.zeros((len(peaks), nfft))
    ir[:, :end - start] = x[:, start:end]
    if clear:
        for j, p in enumerate(peaks):
            ir[j, max(p - start + length + 1, 0):] = 0
    return ir, start, end

loc, sep, ranges = {}, {}, {}
for sid in ids:
    name = 'tsp_X%05d.wav' % (1000 * (sid + 1))
    _, data = wav.read('%s/rec/%s' % (top, name))
    irs = np.stack([deconvolve(data[:, c].astype(np.float64)) for c in channels])
    files = sorted(glob.glob('%s/.velktool-temp/*/tsp/%s/float_ch*.flt' % (run, name)))
    if len(files) != len(channels):
        errors.append('%s: %d impulse-response files' % (name, len(files)))
    for j in range(len(channels)):
        got = np.fromfile(glob.glob('%s/.velktool-temp/*/tsp/%s/float_ch%d.flt'
                                    % (run, name, j))[0], '<f4')
        if got.shape != (4096,) or np.max(np.abs(got - irs[j])) > 1e-5:
            errors.append('%s: impulse response %d differs' % (name, j))
    x = irs.astype(np.float64)
    peaks = [int(np.argmax(np.abs(row[0:199]))) for row in x]
    ir, f, t = cut(x, peaks, D, True)
    loc[sid] = np.fft.rfft(ir)
    ranges[sid] = [('localization', f, t)]
    ir, f, t = cut(x, peaks, R, False)
    ir /= np.sum(ir ** 2)
    sep[sid] = np.conj(np.fft.rfft(ir))
    sep[sid][:, nfft // 2] = 0
    ranges[sid].append(('separation', f, t))
if normsrc == '1':
    e = np.sqrt(sum(np.abs(sep[s]) ** 2 for s in ids))
    e[e == 0] = 1
    for s in ids:
        sep[s] = sep[s] / e
for s in ids:
    for want, got, what in ((loc, a.loc, 'LOC'), (sep, a.sep, 'SEP')):
        if kind in (what, 'LOC_SEP'):
            err = tfarchive.max_error(got[s], want[s])
            if err > 1e-4 * max(1, np.max(np.abs(want[s]))):
                errors.append('%s %d error %g' % (what, s, err))
        elif got:
            errors.append('%s members present' % what)
    want = []
    for typ, f, t in ranges[s]:
        if (kind == 'LOC' and typ == 'separation') or (kind == 'SEP' and typ == 'localization'):
            continue
        if f != 0:
            want.append((typ, {'type': typ, 'offset': '%f' % f,
                               'cutIndexFrom': str(f), 'cutIndexTo': str(t)}))
    if a.calctf[s] != want:
        errors.append('calcTF of %d: %s, expected %s' % (s, a.calctf[s], want))
if a.readme != open(readme).read():
    errors.append('README %r' % a.readme)
if errors:
    print('\n'.join(errors))
    sys.exit(1)
EOF
check() { $PY "$T/check.py" "$VELK_SRC/tests/support" "$@" "$T" || FAIL "archive check: $*"; }

LOST='The direct sound data may have lost on src[0], mic[0]. Check the data or'
NORM='Normalization Type \n- Source     [%s]\n- Microphone [0]\n- Frequency  [0]\n'
# ---- LOC_SEP, all channels ----------------------------------------------------
run all 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24 --logLevel D
printf '%s direct-length(8).\n%s reverb-length(24).\n' "$LOST" "$LOST" >"$T/readme.all"
printf "Direct sound Length  8\nReverb sound Length  24\n$NORM" 0 >>"$T/readme.all"
check "$T/all" LOC_SEP 8 24 0 0,1,2,3 "$T/readme.all"
printf ' progress:1 / 3\n progress:2 / 3\n progress:3 / 3\n' >"$T/progress"
cmp -s "$T/all/out" "$T/progress" || FAIL "all: standard output: $(cat "$T/all/out")"
has_err all "use all channels. NumCh=4"
has_err all "FLT IR[0] peak=60 to 120"
has_err all "outChannelList   [0,1,2,3]"
has_err all "@ velktoolcli_calctfrecExec normal end"
[ "$(grep -c 'velktool_calcSysImp   tspOrgType       \[WAV\]' "$T/all/err")" = 3 ] ||
    FAIL "all: not one summary per position"
[ "$(grep -c 'calc_impulse done.' "$T/all/err")" = 3 ] || FAIL "all: not one deconvolution per position"

# ---- channels 1 and 3 with --reset-mic, normalized by source -------------------
run sel 0 --tsp-list ../tsp13.xml --mic-list ../mic.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24 --reset-mic --normalize-src 1 --logLevel I
printf "Original Microphone Channels 1,3\nDirect sound Length  8\nReverb sound Length  24\n$NORM" 1 >"$T/readme.sel"
check "$T/sel" LOC_SEP 8 24 1 1,3 "$T/readme.sel"
has_err sel "outChannelList   [1,3]"
$PY - "$VELK_SRC/tests/support" "$T/sel/tf.zip" <<'EOF' || FAIL "reset-mic microphones"
import sys
sys.path.insert(0, sys.argv[1])
import tfarchive
a = tfarchive.Archive(sys.argv[2])
# microphones 1 and 3 (at x = 2 and 4) renumbered 0 and 1
ok = (a.mic_ids == [0, 1] and float(a.mics[0][0]) == 2.0 and float(a.mics[1][0]) == 4.0
      and a.loc[0].shape == (2, 33) and '<channels>' not in a.source_text)
sys.exit(0 if ok else 1)
EOF

# ---- SEP only: no window-length lines ---------------------------------------------
run sep 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip \
    --output-type sep --reverb-length 24 --direct-length 64
printf "%s reverb-length(24).\n$NORM" "$LOST" 0 >"$T/readme.sep"
check "$T/sep" SEP 8 24 0 0,1,2,3 "$T/readme.sep"

# ---- a channel the recordings lack: refused before any work, naming the recording -
run lack 1 --tsp-list ../tsp15.xml --mic-list ../mic6.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24
has_err lack "recording [$T/rec/tsp_X01000.wav] holds 4 channels: channel [5] in use is missing"
lacks_err lack "can not open file"
no_output lack

# ---- refusals before anything is written -------------------------------------------
refuse() {   # refuse NAME MESSAGE TSPLIST [options]
    local name=$1 msg=$2 list=$3; shift 3
    run "$name" 1 --tsp-list "../$list" --mic-list ../mic.xml --output-file tf.zip \
        --direct-length 8 --reverb-length 24 "$@"
    has_err "$name" "$msg"
    has_err "$name" "velktool abnormal end"
    no_output "$name"
}
bad_config() {   # bad_config NAME ELEMENT VALUE: tsp.xml with one value changed
    sed "s|<$2>[^<]*</$2>|<$2>$3</$2>|" tsp.xml >"$1.xml"
}
bad_config rate48 tspPath "$T/tsp48.wav"
refuse rate48 "Config SamplingRate (16000) differ from Wav($T/tsp48.wav) SamplingRate (48000)" rate48.xml
has_err rate48 "velktool_calcSysImp failed."
bad_config notsp tspPath "$T/gone.wav"
refuse notsp "wavefile($T/gone.wav) is not found." notsp.xml
bad_config len6144 tspLength 6144
refuse len6144 "tspLength (6144) should be a power of two of at least 4096." len6144.xml
has_err len6144 "the TSP values of the configuration in [../len6144.xml] can not be used"
bad_config len8192 tspLength 8192
refuse len8192 "tsp origin file ($T/tsp.wav) holds 4096 samples, fewer than tspLength (8192)." len8192.xml
bad_config sync0 synchronousAverage 0
refuse sync0 "syncAddFreq (0) should be at least 1." sync0.xml
bad_config offneg tspOffset -1
refuse offneg "syncAddOffset (-1) should not be negative." offneg.xml
bad_config peak5000 peakSearchFrom 5000
refuse peak5000 "the peak search starts at sample 5000, beyond the 4096 samples of the impulse responses" peak5000.xml
refuse noconfig "Config not found in source.xml" src.xml
refuse direct64 "--direct-length 64 is not below nfft 64" tsp.xml --direct-length 64

# ---- a recording too short for the configured offset ---------------------------------
bad_config off5000 tspOffset 5000
run off5000 1 --tsp-list ../off5000.xml --mic-list ../mic.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24
has_err off5000 "Wave length(12388) is short when syncAddFreq = 2."
has_err off5000 "velktool_calcSysImp failed."
[ ! -e "$T/off5000/tf.zip" ] || FAIL "off5000: archive written"

# ---- options ------------------------------------------------------------------------
run help 0 --help
grep -q "^  Generate transfer function from TSPs$" "$T/help/out" || FAIL "help: description"
grep -qF -- "--tsp-list=STRING" "$T/help/out" || FAIL "help: --tsp-list"
run helplate 1 --logLevel D --help
missing_in_order helplate "missing --tsp-list missing --mic-list missing --output-file "
lacks_err helplate "calctfrecExec start"
option_errors --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip -- \
    "--normalize-mic 2" "--direct-length -1" "--reverb-length -5" "--nope"
run opt 1 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type Loc_sep
has_err opt "invalid string value"
no_output opt

finish
