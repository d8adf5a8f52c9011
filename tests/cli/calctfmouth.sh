#!/bin/bash
# velktool5 calctfmouth as a whole process.  Mouth-TSP recordings are made
# with numpy: channel 4 (the voice input) carries a periodic TSP, channels
# 0, 2 and 3 that TSP through known impulse responses, channel 1 unrelated
# noise.  The raw float files the run leaves in its temporary tree are
# checked against an estimator written here in numpy; the archive against
# calctfimp run on those estimates (same cut, same transforms) and, for
# the accuracy of the method, against calctfimp run on the true impulse
# responses.  Also: the README's Mouth TSP Info block, the channel-list
# numbering, the consistency checks reported together and in order, and
# every refusal.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
SUBCOMMAND=calctfmouth
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

# The estimator of the test, and the recordings.  TSP length 4096, offset
# 1024, four periods of 4096 samples; impulse responses of 300 samples with
# the direct sound at 40 .. 75.
cat >"$T/mouth.py" <<'EOF'
import glob
import sys
import numpy as np
import scipy.io.wavfile

N, OFFSET, RATE, FRAMES = 4096, 1024, 16000, 16384
USED = [0, 2, 3]
VOICE = 4

def tsp(n):
    k = np.arange(n // 2 + 1)
    spectrum = np.exp(-1j * 4 * np.pi * (n // 4) * (k / n) ** 2)
    return np.roll(np.fft.irfft(spectrum, n), n // 4)   # the sweep in mid-frame

def true_irs(source):
    rng = np.random.default_rng(10 + source)
    irs = np.zeros((5, 300))
    for c in range(5):
        d = 40 + 10 * c + 5 * source
        irs[c, d] = 0.8 - 0.1 * c
        irs[c, d + 1:] = rng.standard_normal(299 - d) * 0.05 * np.exp(-np.arange(299 - d) / 40)
    return irs

def recording(source):
    # Played periodically, one period starting at the TSP offset; the
    # response is in its steady state from the first sample on.
    x = np.tile(tsp(N), FRAMES // N + 2)
    lead = N - OFFSET
    rec = np.zeros((5, FRAMES))
    rec[VOICE] = x[lead:lead + FRAMES]
    irs = true_irs(source)
    for c in USED:
        rec[c] = np.convolve(x, irs[c])[lead:lead + FRAMES]
    rec[1] = np.random.default_rng(99).standard_normal(FRAMES) * 0.1
    return (rec * 0.5).astype(np.float32), irs

def estimate(rec, s, e, mch, chans, n, hop, hm, fltlen=4096):
    rec = rec.astype(np.float64)
    w = np.hamming(n)
    F = (e - s - n) // hop + 1
    X = np.array([np.fft.rfft(w * rec[mch, s + t * hop:s + t * hop + n]) for t in range(F)])
    pxx = np.sum(np.abs(X) ** 2, axis=0)
    out = []
    for c in chans:
        Y = np.array([np.fft.rfft(w * rec[c, s - hm + t * hop:s - hm + t * hop + n]) for t in range(F)])
        H = np.sum(Y * np.conj(X), axis=0) / pxx
        out.append(np.fft.irfft(H, n)[:fltlen])
    return np.array(out)

def wav5(path, rows, chans, frames=4096):
    data = np.zeros((frames, 5), np.float32)
    for row, c in zip(rows, chans):
        data[:len(row), c] = row[:frames]
    scipy.io.wavfile.write(path, RATE, data)

def make(d):
    for s in range(2):
        rec, irs = recording(s)
        scipy.io.wavfile.write('%s/rec/rec_X%05d.wav' % (d, 1000 * (s + 1)), RATE, rec.T)
        wav5('%s/ir/true_X%05d.wav' % (d, 1000 * (s + 1)), irs[USED], USED)
        wav5('%s/ir/est_X%05d.wav' % (d, 1000 * (s + 1)),
             estimate(rec, OFFSET, OFFSET + N, VOICE, USED, N, 1000, 0), USED)
    rec, _ = recording(0)
    scipy.io.wavfile.write('%s/rec/short_X01000.wav' % d, RATE, rec[:, :5000].T)
    scipy.io.wavfile.write('%s/rec/short_X02000.wav' % d, RATE, rec[:, :5000].T)
    scipy.io.wavfile.write('%s/rec/three_X01000.wav' % d, RATE, rec[:3].T)
    scipy.io.wavfile.write('%s/rec/three_X02000.wav' % d, RATE, rec[:3].T)
    scipy.io.wavfile.write('%s/rec/r8k_X01000.wav' % d, 8000, rec.T)
    scipy.io.wavfile.write('%s/rec/r8k_X02000.wav' % d, 8000, rec.T)

def flts(run, d, end, hop, hm):
    """The raw float files of the run against the estimate of the test."""
    errs = []
    for s in range(2):
        rec, _ = recording(s)
        want = estimate(rec, OFFSET, end, VOICE, USED, N, hop, hm)
        for j in range(3):
            files = glob.glob('%s/.velktool-temp/*/tsp/rec_X%05d.wav/float_ch%d.flt'
                              % (run, 1000 * (s + 1), j))
            if len(files) != 1:
                errs.append('source %d: %d files float_ch%d.flt' % (s, len(files), j))
                continue
            got = np.fromfile(files[0], '<f4')
            err = np.max(np.abs(got - want[j])) if got.shape == want[j].shape else np.inf
            if err > 1e-5 * np.max(np.abs(want[j])):
                errs.append('source %d file %d: error %g' % (s, j, err))
        if glob.glob('%s/.velktool-temp/*/tsp/rec_X%05d.wav/float_ch3.flt' % (run, 1000 * (s + 1))):
            errs.append('source %d: a fourth file' % s)
    return errs

def archives(mouth, est, true, kinds):
    """mouth against calctfimp on the test's estimates (to rounding) and on
    the true impulse responses (normalised RMS error below 5%)."""
    sys.path.insert(0, sys.argv[3])
    import tfarchive
    a, b = tfarchive.Archive(mouth), tfarchive.Archive(est)
    errs = []
    if a.names != b.names:
        errs.append('members %s, expected %s' % (a.names, b.names))
    for kind in kinds:
        for s in (0, 1):
            x, y = getattr(a, kind)[s], getattr(b, kind)[s]
            if tfarchive.max_error(x, y) > 1e-4 * max(1, np.max(np.abs(y))):
                errs.append('%s %d differs from calctfimp on the estimates' % (kind, s))
    if a.calctf != b.calctf:
        errs.append('calcTF %s, expected %s' % (a.calctf, b.calctf))
    if true:
        c = tfarchive.Archive(true)
        for s in (0, 1):
            e = np.linalg.norm(a.loc[s] - c.loc[s]) / np.linalg.norm(c.loc[s])
            print('position %d: LOC normalised RMS error against the true responses %.4f' % (s, e))
            if not e < 0.05:
                errs.append('LOC %d: normalised RMS error %g' % (s, e))
    return errs

if __name__ == '__main__':
    cmd = sys.argv[1]
    if cmd == 'make':
        make(sys.argv[2])
        sys.exit(0)
    if cmd == 'flts':
        errs = flts(sys.argv[2], None, *map(int, sys.argv[3:6]))
    else:
        errs = archives(sys.argv[2], sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else None,
                        sys.argv[6].split(',') if len(sys.argv) > 6 else ['loc', 'sep'])
    print('\n'.join(errs))
    sys.exit(1 if errs else 0)
EOF
mkdir rec ir
$PY "$T/mouth.py" make "$T" || FAIL "recordings"
config --nfft 512 --length 4096 --offset 1024 --peak 0,0 cfg.xml
config --nfft 512 --length 2048 --offset 1024 --peak 0,0 cfg2048.xml
grid src.xml tsp 2 --path "$T/rec/rec_X{X_AXIS:%05.0f}.wav" --channels 0,2,3
grid est.xml impulse 2 --path "$T/ir/est_X{X_AXIS:%05.0f}.wav" --channels 0,2,3
grid true.xml impulse 2 --path "$T/ir/true_X{X_AXIS:%05.0f}.wav" --channels 0,2,3
grid mic.xml microphone 5
merge tsp.xml src.xml cfg.xml
merge tsp2048.xml src.xml cfg2048.xml
merge imp_est.xml est.xml cfg.xml
merge imp_true.xml true.xml cfg.xml
for name in short three r8k; do
    sed "s|rec/rec_X|rec/${name}_X|" tsp.xml >"tsp_$name.xml"
done
flts() { $PY "$T/mouth.py" flts "$T/$1" "${@:2}" || FAIL "$1: raw float files"; }
imp() {   # imp NAME LIST [options]: calctfimp with the same settings
    mkdir -p "$T/$1" && (cd "$T/$1" && "$VELK_BIN/velktool5" calctfimp --impulse-list "../$2" \
        --mic-list ../mic.xml --output-file tf.zip "${@:3}" >/dev/null 2>err) || FAIL "calctfimp $1"
}
readme_is() {   # readme_is RUN EXPECTED-FILE
    $PY -c 'import sys, zipfile
got = zipfile.ZipFile(sys.argv[1]).read("transferFunction/README").decode()
sys.exit(0 if got == open(sys.argv[2]).read() else 1)' "$T/$1/tf.zip" "$2" \
        || { FAIL "$1: README differs"; unzip -p "$T/$1/tf.zip" transferFunction/README; }
}

# ---- defaults: one frame over the TSP, LOC_SEP ------------------------------
run def 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --mch 4 --logLevel D
flts def 5120 1000 0
has_err def "@ velktoolcli_calctfmoutnExec start"
has_err def "@ velktoolcli_calctfmouthExec normal end"
has_err def "use channel 2"
has_err def "mouth TSP frames=1 (segment 1024 .. 5120)"
has_err def "                    , outputChannels [0,2,3]"
has_err def "progress:2 / 2"
printf ' progress:1 / 2\n progress:2 / 2\n' >"$T/progress"
cmp -s "$T/def/out" "$T/progress" || FAIL "def: progress lines differ: $(cat "$T/def/out")"
imp est imp_est.xml
imp true imp_true.xml
$PY "$T/mouth.py" archives "$T/def/tf.zip" "$VELK_SRC/tests/support" "$T/est/tf.zip" "$T/true/tf.zip" \
    || FAIL "def: archive"
printf 'Direct sound Length  32\nReverb sound Length  256\nMouth TSP Info\n- start 1024  end 5120\n- mch 4\n- hop 1000\n- headmargin 0\n' >"$T/readme.def"
printf 'Normalization Type \n- Source     [0]\n- Microphone [0]\n- Frequency  [0]\n' >>"$T/readme.def"
readme_is def "$T/readme.def"

# ---- five frames, head margin, SEP only: no window-length lines ---------
run sep 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --mch 4 \
    --end 9216 --hop 1024 --headmargin 16 --output-type SEP --normalize-src 1 --logLevel D
flts sep 9216 1024 16
has_err sep "mouth TSP frames=5 (segment 1024 .. 9216)"
printf 'Mouth TSP Info\n- start 1024  end 9216\n- mch 4\n- hop 1024\n- headmargin 16\n' >"$T/readme.sep"
printf 'Normalization Type \n- Source     [1]\n- Microphone [0]\n- Frequency  [0]\n' >>"$T/readme.sep"
readme_is sep "$T/readme.sep"
# The head margin shifts every response by 16 samples.
$PY - "$T/sep" <<'EOF' || FAIL "sep: lead-in"
import glob, sys
import numpy as np
f = glob.glob(sys.argv[1] + '/.velktool-temp/*/tsp/rec_X01000.wav/float_ch0.flt')[0]
h = np.fromfile(f, '<f4')
sys.exit(0 if np.argmax(np.abs(h)) == 40 + 16 and np.max(np.abs(h[:16])) < 1e-3 else 1)
EOF

# ---- the three consistency checks, together and in order -------------------
refuse() {   # refuse NAME MESSAGE LIST [options]
    local name=$1 msg=$2 list=$3; shift 3
    run "$name" 1 --tsp-list "../$list" --mic-list ../mic.xml --output-file tf.zip --mch 4 "$@"
    has_err "$name" "$msg"
    has_err "$name" "velktool abnormal end"
    no_output "$name"
}
run three 1 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip \
    --mch 5 --end 5000 --headmargin 1025
got=$(grep -oE -- '--(mch|end|headmargin) shuould not [a-z ]+[^)]*\)' "$T/three/err" | tr '\n' '|')
want='--mch shuould not less than number of microphones (5)|--end shuould not less than TSPOffset + TSPLength (5120)|--headmargin shuould not more than TSPOffset (1024)|'
[ "$got" = "$want" ] || FAIL "three: checks [$got]"
no_output three
run edge 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type LOC \
    --mch 4 --end 5120 --headmargin 1024

# ---- refused before anything is written --------------------------------------
refuse negmargin "--headmargin -1 is negative" tsp.xml --headmargin -1
refuse tsp2048 "TSP length [2048] of the configuration in [../tsp2048.xml] is not a power of two of at least 4096" tsp2048.xml
refuse endbeyond "Wav($T/rec/rec_X01000.wav) frames(16384) is less than end of sample (16385)" tsp.xml --end 16385
refuse short "Wav($T/rec/short_X01000.wav) frames(5000) is less than end of sample (5120)" tsp_short.xml
refuse three_ch "mouth TSP data not found: wav channel [4] in file [$T/rec/three_X01000.wav]" tsp_three.xml
refuse r8k "Config SamplingRate (16000) differ from Wav($T/rec/r8k_X01000.wav) SamplingRate (8000)" tsp_r8k.xml
refuse direct "--direct-length 512 is not below nfft 512" tsp.xml --direct-length 512
refuse noconfig "Config not found in source.xml" src.xml
sed 's|rec/rec_X02000|rec/gone_X02000|' tsp.xml >tsp_gone.xml
refuse gone "wavefile($T/rec/gone_X02000.wav) is not found." tsp_gone.xml

# ---- options -----------------------------------------------------------------
option_errors --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip -- \
    "--hop 9" "--end 0" "--mch -1" "--reverb-length -1" "--normalize-mic 2"
run opt 1 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type Loc
has_err opt "invalid string value"
run helplate 1 --logLevel D --help
missing_in_order helplate "missing --tsp-list missing --mic-list missing --output-file "
run help 0 --help
for line in "  calctfmouth" "  Generate transfer function from mouth TSPs" \
    "Usage: velktool5 calctfmouth [OPTIONS]*" "--hop=INT" "(Minimum 10) (default: 1000)" \
    "--end=INT" "--headmargin=INT" "--mch=INT"; do
    grep -qF -- "$line" "$T/help/out" || FAIL "usage lacks [$line]"
done
grep -q -- "--end=INT.*default" "$T/help/out" && FAIL "usage shows a default for --end"

# ---- a 19 s recording analysed every 10 samples: 30209 frames ---------------
# Peak memory stays bounded: the frames are summed as they are read.
"$VELK_BIN/velksim" --make-tsp tsp4096.wav --tsp-length 4096 --rate 16000 >/dev/null &&
    "$VELK_BIN/velksim" --mics 1 --sources 1 --tsp tsp4096.wav --repeat 75 --voice \
        --rate 16000 --output-dir long --name long.wav >/dev/null || FAIL "long recording"
grid long_src.xml tsp 1 --path "$T/long/long.wav" --channels 0
merge tsp_long.xml long_src.xml cfg.xml
mkdir -p "$T/long_run" && cd "$T/long_run" || exit 1
read -r status peak < <($PY - "$VELK_BIN/velktool5" calctfmouth --tsp-list ../tsp_long.xml \
    --mic-list ../mic.xml --output-file tf.zip --mch 1 --end 307200 --hop 10 --logLevel D <<'EOF'
import resource, subprocess, sys
with open('out', 'w') as out, open('err', 'w') as err:
    status = subprocess.call(sys.argv[1:], stdout=out, stderr=err)
print(status, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
EOF
)
cd "$T" || exit 1
echo "19 s recording, --hop 10: status $status, peak memory $peak kB"
[ "$status" = 0 ] && [ -s "$T/long_run/tf.zip" ] || { FAIL "long_run: status $status"; cat "$T/long_run/err"; }
has_err long_run "mouth TSP frames=30209 (segment 1024 .. 307200)"
[ "${peak:-999999}" -lt 102400 ] || FAIL "long_run: peak memory $peak kB, expected below 100 MB"

finish
