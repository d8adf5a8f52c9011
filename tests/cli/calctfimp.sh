#!/bin/bash
# velktool5 calctfimp as a whole process: impulse-response WAV files written
# with python, position lists and configuration made with the suite's own
# generators, and the archive checked against an independent computation
# with numpy (LOC: the FFT of the cut impulse response; SEP: the conjugate
# FFT of the energy-normalised cut, highest bin cleared, normalised by
# source), plus the report text, the calcTF annotations, the channel list
# with --reset-mic, the usage screen and every refusal.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
SUBCOMMAND=calctfimp
. "$VELK_SRC/tests/support/tfcli.bash"

# grid FILE TYPE XMAX [more options]: positions at x = 1 .. XMAX.
grid() {
    local out=$1 type=$2 x1=$3; shift 3
    "$VELK_BIN/velktoolcli-genposxml" grid --type "$type" \
        --min-x_axis 1 --max-x_axis "$x1" --interval-x_axis 1 \
        --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
        --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0 \
        --output "$out" "$@" 2>/dev/null || FAIL "genposxml $out"
}

# Two sources (ids 0, 1), four microphones; impulse responses of 300
# samples with 4 channels.  Direct-sound peaks: source 0 at 60, 100, 120,
# 110 (microphone 0 lies before both windows); source 1 at 38, 40, 36, 39
# (LOC window from 0, SEP window from 1).  A larger spike at sample 280 lies
# outside the peak search (samples 1 .. 199).
mkdir ir
$PY - "$T/ir" <<'EOF'
import sys
import numpy as np
import scipy.io.wavfile
rng = np.random.default_rng(5)
def write(name, peaks, frames=300, channels=4):
    x = (rng.standard_normal((frames, channels)) * 0.02).astype(np.float32)
    for c, p in enumerate(peaks[:channels]):
        x[p, c] = 0.9 if c % 2 == 0 else -0.9
        for i in range(1, 12):
            x[p + i, c] += 0.5 * (-0.7) ** i
    if frames > 280:
        x[280, :] = 0.95
    scipy.io.wavfile.write('%s/%s' % (sys.argv[1], name), 16000, x)
write('imp_X01000.wav', [60, 100, 120, 110])
write('imp_X02000.wav', [38, 40, 36, 39])
write('two_X01000.wav', [60, 100], channels=2)
write('two_X02000.wav', [38, 40], channels=2)
scipy.io.wavfile.write(sys.argv[1] + '/empty_X01000.wav', 16000, np.zeros((0, 4), np.float32))
scipy.io.wavfile.write(sys.argv[1] + '/empty_X02000.wav', 16000, np.zeros((0, 4), np.float32))
EOF
config --nfft 64 --peak 1,200 cfg.xml
grid src.xml impulse 2 --path "$T/ir/imp_X{X_AXIS:%05.0f}.wav"
grid src13.xml impulse 2 --path "$T/ir/imp_X{X_AXIS:%05.0f}.wav" --channels 1,3
grid mic.xml microphone 4
merge imp.xml src.xml cfg.xml
merge imp13.xml src13.xml cfg.xml

# check.py ARCHIVE TYPE DIRECT REVERB NORMSRC CHANNELS README: the archive
# against the cut and transform computed here from the WAV files.
cat >"$T/check.py" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import scipy.io.wavfile
import tfarchive
path, kind, D, R, normsrc, channels, readme = sys.argv[2:9]
D, R = int(D), int(R)
channels = [int(c) for c in channels.split(',')]
a = tfarchive.Archive(path)
nfft, errors = a.nfft, []
ids = sorted(a.source_ids)
files = {1000 * (i + 1): i for i in ids}   # x = id + 1 metres

def cut(x, peaks, length, clear):
    n = x.shape[1]
    start = max(max(peaks) + length + 1 - nfft, 0)
    end = min(start + nfft, n)
    ir = np.zeros((len(peaks), nfft))
    ir[:, :end - start] = x[:, start:end]
    if clear:
        for j, p in enumerate(peaks):
            ir[j, max(p - start + length + 1, 0):] = 0
    return ir, start, end

loc, sep, ranges = {}, {}, {}
for x_mm, sid in files.items():
    _, data = scipy.io.wavfile.read('%s/ir/imp_X%05d.wav' % (sys.argv[9], x_mm))
    x = data[:, channels].T.astype(np.float64)
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
    if kind != 'SEP':
        err = tfarchive.max_error(a.loc[s], loc[s])
        if err > 1e-4 * max(1, np.max(np.abs(loc[s]))):
            errors.append('LOC %d error %g' % (s, err))
    if kind != 'LOC':
        err = tfarchive.max_error(a.sep[s], sep[s])
        if err > 1e-4 * max(1, np.max(np.abs(sep[s]))):
            errors.append('SEP %d error %g' % (s, err))
    if (kind == 'SEP' and a.loc) or (kind == 'LOC' and a.sep):
        errors.append('members of the other kind present')
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
# ---- LOC_SEP, all channels, no normalization --------------------------------
run all 0 --impulse-list ../imp.xml --mic-list ../mic.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24 --logLevel D
printf '%s direct-length(8).\n%s reverb-length(24).\n' "$LOST" "$LOST" >"$T/readme.all"
printf 'Direct sound Length  8\nReverb sound Length  24\n' >>"$T/readme.all"
printf 'Normalization Type \n- Source     [0]\n- Microphone [0]\n- Frequency  [0]\n' >>"$T/readme.all"
check "$T/all/tf.zip" LOC_SEP 8 24 0 0,1,2,3 "$T/readme.all"
printf ' progress:1 / 2\n progress:2 / 2\n' >"$T/progress"
cmp -s "$T/all/out" "$T/progress" || FAIL "all: progress lines differ: $(cat "$T/all/out")"
has_err all "use all channels. NumCh=4"
has_err all "WAV IR[0] peak=60 to 120"
has_err all "@ velktoolcli_calctfimpExec normal end"
# The temporary tree is made and left empty.
[ -z "$(find "$T/all/.velktool-temp" -type f)" ] || FAIL "all: files in .velktool-temp"

# ---- channels 1 and 3 with --reset-mic, normalized by source ----------------
run sel 0 --impulse-list ../imp13.xml --mic-list ../mic.xml --output-file tf.zip \
    --direct-length 8 --reverb-length 24 --reset-mic --normalize-src 1 --logLevel D
has_err sel "use channel 1"
has_err sel "use channel 3"
printf 'Original Microphone Channels 1,3\nDirect sound Length  8\nReverb sound Length  24\n' >"$T/readme.sel"
printf 'Normalization Type \n- Source     [1]\n- Microphone [0]\n- Frequency  [0]\n' >>"$T/readme.sel"
check "$T/sel/tf.zip" LOC_SEP 8 24 1 1,3 "$T/readme.sel"
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

# ---- SEP only: no window-length lines ----------------------------------------
run sep 0 --impulse-list ../imp.xml --mic-list ../mic.xml --output-file tf.zip \
    --output-type sep --reverb-length 24 --direct-length 64
printf '%s reverb-length(24).\n' "$LOST" >"$T/readme.sep"
printf 'Normalization Type \n- Source     [0]\n- Microphone [0]\n- Frequency  [0]\n' >>"$T/readme.sep"
check "$T/sep/tf.zip" SEP 8 24 0 0,1,2,3 "$T/readme.sep"

# ---- LOC only; an unused reverb length of nfft or more is no matter ---------
run loc 0 --impulse-list ../imp.xml --mic-list ../mic.xml --output-file tf.zip \
    --output-type LOC --direct-length 8 --reverb-length 100
printf '%s direct-length(8).\nDirect sound Length  8\nReverb sound Length  100\n' "$LOST" >"$T/readme.loc"
check "$T/loc/tf.zip" LOC 8 24 0 0,1,2,3 "$T/readme.loc"

# ---- usage screen: --help only as the first option ------------------------
run help 0 --help
cat >"$T/usage" <<'EOF'


Function:
  calctfimp

Description:
  Generate transfer function from impulse responses

Usage: velktool5 calctfimp [OPTIONS]*
      --impulse-list=STRING             Impulse list file  (ex. impulse.xml)
      --mic-list=STRING                 Microphone list file  (ex.
                                        microphone.xml)
      --output-type=LOC|SEP|LOC_SEP     Transfer function type
                                        LOC=Localization,SEP=Separation,LOC_SEP=LOC&SEP (default: "LOC_SEP")
      --output-file=STRING              Output transfer function zip file path
                                        (ex. /path/to/transfer.zip)
      --direct-length=INT               Direct sound length (default: 32)
      --reverb-length=INT               Reverb sound length (default: 256)
      --normalize-src=0|1               Normalize by src  0=disable,1=enable
                                        (default: 0)
      --normalize-mic=0|1               Normalize by mic  0=disable,1=enable
                                        (default: 0)
      --normalize-freq=0|1              Normalize by frequency
                                        0=disable,1=enable (default: 0)
      --reset-mic                       Remove unused channels from
                                        microphones.xml and reset their ids.
                                        (for VELKTOOL4 compatible)
      --logLevel=E|W|I|D                Log information level (default: "E")
  -h, --help                            Show this help message
      --version                         Show the program's version


EOF
cmp -s "$T/help/out" "$T/usage" || { FAIL "usage screen differs"; diff "$T/usage" "$T/help/out"; }
run helplate 1 --logLevel D --help
[ -s "$T/helplate/out" ] && FAIL "helplate: usage printed"
missing_in_order helplate "missing --impulse-list missing --mic-list missing --output-file "
lacks_err helplate "calctfimpExec start"
run onlymic 1 --mic-list ../mic.xml
has_err onlymic "missing --impulse-list"
has_err onlymic "missing --output-file"
lacks_err onlymic "missing --mic-list"

# ---- option errors: status 1 at once -----------------------------------------
option_errors --impulse-list ../imp.xml --mic-list ../mic.xml --output-file tf.zip -- \
    "--normalize-src 2" "--normalize-freq -1" "--direct-length -1" "--reverb-length -5" "--nope"
run opt 1 --impulse-list ../imp.xml --mic-list ../mic.xml --output-file tf.zip --output-type Loc
has_err opt "invalid string value"
no_output opt

# ---- refused inputs: a clear message, status 1, nothing written -----------
refuse() {   # refuse NAME MESSAGE IMPULSELIST [options]
    local name=$1 msg=$2 list=$3; shift 3
    run "$name" 1 --impulse-list "../$list" --mic-list ../mic.xml --output-file tf.zip "$@"
    has_err "$name" "$msg"
    has_err "$name" "velktool abnormal end"
    no_output "$name"
}
config --nfft 48 --peak 1,200 cfg48.xml
merge imp48.xml src.xml cfg48.xml
refuse nfft48 "nfft [48] of the configuration in [../imp48.xml] is not a power of two of at least 4" imp48.xml
refuse direct64 "--direct-length 64 is not below nfft 64" imp.xml --direct-length 64 --reverb-length 24
refuse reverb64 "--reverb-length 64 is not below nfft 64" imp.xml --direct-length 8 --reverb-length 64
refuse noconfig "Config not found in source.xml" src.xml
# (channel-list and position-id refusals: see calctfgeo.sh, same code)
sed 's|imp_X02000|gone_X02000|' imp.xml >impgone.xml
refuse wavgone "can not open wave file [$T/ir/gone_X02000.wav]" impgone.xml --reverb-length 24
sed 's|imp_X0|two_X0|' imp.xml >imptwo.xml
refuse wavtwo "impulse data not found: wav channel [2] in file [$T/ir/two_X01000.wav]" imptwo.xml --reverb-length 24
sed 's|imp_X0|empty_X0|' imp.xml >impempty.xml
refuse wavempty "the peak search starts at sample 1, beyond the 0 samples of [$T/ir/empty_X01000.wav]" impempty.xml --reverb-length 24
config --nfft 64 --peak 301,400 cfg301.xml
merge imp301.xml src.xml cfg301.xml
refuse peak301 "the peak search starts at sample 301, beyond the 300 samples of [$T/ir/imp_X01000.wav]" imp301.xml --reverb-length 24
# The last sample is still a place to search.
config --nfft 64 --peak 300,400 cfg300.xml
merge imp300.xml src.xml cfg300.xml
run peak300 0 --impulse-list ../imp300.xml --mic-list ../mic.xml --output-file tf.zip --output-type LOC --direct-length 8

finish
