#!/usr/bin/env bash
# velktoolcli-simulate, the measurement simulator: the files hold what it
# says (names from the path template, channel count, rate, length, sample
# format), the direct sound of every microphone peaks at the sample its distance
# predicts, the output depends only on the seed, a TSP recording is the
# periodic response whose deconvolution gives back the impulse response, and
# bad parameters are refused.
set -u
PROG="$VELK_BIN/velktoolcli-simulate"
. "$VELK_SRC/tests/support/cli.bash"
if [ ! -x "$PROG" ]; then skip "$PROG not built"; fi
PY=/usr/bin/python3
cd "$T" || exit 1

# A WAV reader of its own (standard library only), so the checks do not
# lean on libsndfile, which wrote the files.
cat >"$T/wav.py" <<'EOF'
import math, struct

def read(path):
    """(frames as lists per channel, rate, 'float'|'pcm16')"""
    b = open(path, 'rb').read()
    assert b[:4] == b'RIFF' and b[8:12] == b'WAVE', 'not a WAV file'
    i, fmt, data = 12, None, None
    while i + 8 <= len(b):
        cid, n = b[i:i + 4], struct.unpack('<I', b[i + 4:i + 8])[0]
        body = b[i + 8:i + 8 + n]
        if cid == b'fmt ':
            fmt = body
        elif cid == b'data':
            data = body
        i += 8 + n + (n & 1)
    tag, ch, rate, _, _, bits = struct.unpack('<HHIIHH', fmt[:16])
    if tag == 0xFFFE:
        tag = struct.unpack('<H', fmt[24:26])[0]
    if tag == 3 and bits == 32:
        kind, vals = 'float', struct.unpack('<%df' % (len(data) // 4), data)
    elif tag == 1 and bits == 16:
        kind = 'pcm16'
        vals = [v / 32768.0 for v in struct.unpack('<%dh' % (len(data) // 2), data)]
    else:
        raise ValueError('format %d/%d bits' % (tag, bits))
    return [list(vals[c::ch]) for c in range(ch)], rate, kind

def argmax_abs(x):
    return max(range(len(x)), key=lambda i: (abs(x[i]), -i))

def direct_sample(src_az, src_r, mic_az, mic_r, rate):
    """Sample of the direct sound: distance in the array plane / 343 m/s."""
    a, b = math.radians(src_az), math.radians(mic_az)
    d = math.hypot(src_r * math.cos(a) - mic_r * math.cos(b),
                   src_r * math.sin(a) - mic_r * math.sin(b))
    return d * rate / 343.0
EOF

# ---- impulse responses: names, format, direct-sound peaks ----
"$PROG" --sources 3 --min-azimuth 10 --azimuth-step 100 --length 1000 --output-dir ir \
    >"$T/out" 2>"$T/err" || fail "impulse run: exit $? ($(head -c 300 "$T/err"))"
[ "$(ls ir | tr '\n' ' ')" = "imp_D010.wav imp_D110.wav imp_D210.wav " ] ||
    fail "file names: $(ls ir | tr '\n' ' ')"
grep -q "3 impulse-response files of 8 channels x 1000 frames at 16000 Hz" "$T/out" ||
    fail "summary line: $(cat "$T/out")"
PYTHONPATH="$T" $PY - <<'EOF' || fail "impulse responses (see above)"
import sys, wav
bad = 0
for az in (10, 110, 210):
    chans, rate, kind = wav.read('ir/imp_D%03d.wav' % az)
    if (len(chans), rate, kind, len(chans[0])) != (8, 16000, 'float', 1000):
        print('imp_D%03d.wav: %d channels, %d Hz, %s, %d frames' %
              (az, len(chans), rate, kind, len(chans[0])))
        bad = 1
    for m, x in enumerate(chans):
        want = wav.direct_sample(az, 1.5, 45.0 * m, 0.05, 16000)
        got = wav.argmax_abs(x)
        if abs(got - want) > 1.0:
            print('azimuth %d mic %d: peak at %d, geometry says %.2f' % (az, m, got, want))
            bad = 1
        # 1/r attenuation: the direct peak is about 1/d (the windowed sinc
        # keeps 0.63 .. 1 of it, by the fractional part of the delay).
        amp, expect = abs(x[got]), 16000 / 343.0 / want
        if not 0.6 * expect <= amp <= 1.02 * expect:
            print('azimuth %d mic %d: peak %.3f, 1/d = %.3f' % (az, m, amp, expect))
            bad = 1
sys.exit(bad)
EOF

# A wider array, other counts and 16-bit samples.
"$PROG" --sources 2 --azimuth-step 45 --mics 5 --mic-radius 0.2 --source-radius 2 \
    --rate 48000 --length 600 --pcm16 --name 'p_{AZIMUTH:%.1f}_{RADIUS:%g}.wav' \
    --output-dir w >/dev/null 2>"$T/err" || fail "16-bit run: $(head -c 300 "$T/err")"
PYTHONPATH="$T" $PY - <<'EOF' || fail "16-bit impulse responses (see above)"
import sys, wav
bad = 0
for az in (0.0, 45.0):
    chans, rate, kind = wav.read('w/p_%.1f_2.wav' % az)
    if (len(chans), rate, kind, len(chans[0])) != (5, 48000, 'pcm16', 600):
        print('p_%.1f: %d channels, %d Hz, %s, %d frames' % (az, len(chans), rate, kind, len(chans[0])))
        bad = 1
    for m, x in enumerate(chans):
        want = wav.direct_sample(az, 2.0, 72.0 * m, 0.2, 48000)
        if abs(wav.argmax_abs(x) - want) > 1.0:
            print('azimuth %g mic %d: peak at %d, geometry says %.2f' % (az, m, wav.argmax_abs(x), want))
            bad = 1
sys.exit(bad)
EOF

# The names are those the position-list generator writes for the same circle.
GEN="$VELK_BIN/velktoolcli-genposxml"
if [ -x "$GEN" ]; then
    "$GEN" circle --type impulse --min-radius 1.5 --max-radius 1.5 --interval-radius 0 \
        --elevation 0 --min-azimuth 10 --max-azimuth 210 --interval-azimuth 100 \
        --path 'ir/imp_D{AZIMUTH:%03.0f}.wav' --output pos.xml 2>/dev/null
    paths=$(xmllint --xpath '//position/path/text()' pos.xml 2>/dev/null | tr '\n' ' ')
    [ "$paths" = "ir/imp_D010.wav ir/imp_D110.wav ir/imp_D210.wav " ] ||
        fail "genposxml names [$paths] differ from the simulated files"
fi

# ---- the seed alone fixes the output ----
"$PROG" --sources 2 --length 300 --seed 7 --output-dir s1 >/dev/null 2>&1
"$PROG" --sources 2 --length 300 --seed 7 --output-dir s2 >/dev/null 2>&1
"$PROG" --sources 2 --length 300 --seed 8 --output-dir s3 >/dev/null 2>&1
for f in imp_D000.wav imp_D005.wav; do
    cmp -s "s1/$f" "s2/$f" || fail "seed 7 twice: $f differs"
    cmp -s "s1/$f" "s3/$f" && fail "seeds 7 and 8: $f is the same"
done

# ---- reference TSP and TSP recordings ----
"$PROG" --make-tsp ref.wav --tsp-length 256 >/dev/null 2>"$T/err" ||
    fail "--make-tsp: $(head -c 300 "$T/err")"
"$PROG" --tsp ref.wav --repeat 3 --lead 100 --noise 0 --sources 1 --azimuth-step 30 \
    --length 600 --name rec.wav --output-dir rec >/dev/null 2>"$T/err" ||
    fail "TSP recording: $(head -c 300 "$T/err")"
"$PROG" --noise 0 --sources 1 --azimuth-step 30 --length 600 --name ir.wav \
    --output-dir rec >/dev/null 2>&1
PYTHONPATH="$T" $PY - <<'EOF' || fail "TSP (see above)"
import cmath, math, sys, wav
bad = 0
def dft(x):
    n = len(x)
    return [sum(x[t] * cmath.exp(-2j * math.pi * k * t / n) for t in range(n)) for k in range(n)]
(tsp,), rate, kind = wav.read('ref.wav')
N = len(tsp)
# H(k) = exp(-j pi k^2 / N) shifted by N/4: flat magnitude, quadratic phase.
T = dft(tsp)
for k in range(N // 2 + 1):
    want = cmath.exp(-1j * math.pi * k * k / N) * cmath.exp(-2j * math.pi * k * (N // 4) / N)
    r = T[k] / want
    if abs(abs(T[k]) - abs(T[1])) > 1e-4 * abs(T[1]) or abs(cmath.phase(r)) > 1e-4:
        print('TSP bin %d: %s against %s' % (k, T[k], want))
        bad = 1
        break
if (N, rate, kind, round(max(abs(v) for v in tsp), 6)) != (256, 16000, 'float', 0.5):
    print('TSP file: %d samples, %d Hz, %s, peak %g' % (N, rate, kind, max(map(abs, tsp))))
    bad = 1
rec, _, _ = wav.read('rec/rec.wav')
ir, _, _ = wav.read('rec/ir.wav')
if (len(rec), len(rec[0])) != (8, 100 + 3 * N):
    print('recording: %d channels x %d frames' % (len(rec), len(rec[0])))
    sys.exit(1)
for m in (0, 5):
    x = rec[m]
    if any(v != 0.0 for v in x[:100]) or x[100:100 + N] != x[100 + 2 * N:]:
        print('mic %d: not silent before the TSP or not periodic' % m)
        bad = 1
    # Deconvolution of one period: the impulse response folded onto N samples.
    H = [a / b for a, b in zip(dft(x[100 + N:100 + 2 * N]), T)]
    h = [(sum(H[k] * cmath.exp(2j * math.pi * k * t / N) for k in range(N)) / N).real
         for t in range(N)]
    folded = [sum(ir[m][t::N]) for t in range(N)]
    err = max(abs(a - b) for a, b in zip(h, folded))
    if err > 1e-5:
        print('mic %d: deconvolved period differs from the impulse response by %g' % (m, err))
        bad = 1
sys.exit(bad)
EOF

# ---- refusals: message, exit 1, nothing written ----
refuse() {
    local what=$1 msg=$2; shift 2
    "$PROG" --output-dir bad "$@" >/dev/null 2>"$T/err"; local rc=$?
    [ "$rc" = 1 ] || fail "$what: exit $rc"
    grep -qF -- "$msg" "$T/err" || fail "$what: stderr lacks [$msg]: $(head -c 300 "$T/err")"
}
refuse "65 microphones" "--mics must be 1 .. 64" --mics 65
refuse "source inside the array" "--source-radius must exceed --mic-radius" --source-radius 0.01
refuse "room too small" "does not fit into the room" --room 2,2,2
refuse "bad room text" "--room must be X,Y,Z" --room 6,5
refuse "unknown option" "--frobnicate" --frobnicate
refuse "same name twice" "give the same file" --name same.wav --sources 2
refuse "bad template" "bad format" --name 'a{AZIMUTH:%d}.wav'
refuse "TSP file missing" "can not open wave file" --tsp missing.wav
refuse "TSP rate" "the simulation runs at 48000 Hz" --tsp ref.wav --rate 48000
refuse "16-bit clipping" "would clip in 16 bits" --pcm16 --gain 2 --sources 1
refuse "TSP length" "--tsp-length must be a power of two" --make-tsp t.wav --tsp-length 1000
[ -e bad ] && [ -n "$(ls bad)" ] && fail "a refused run left files: $(ls bad)"

finish "all simulator checks passed"
