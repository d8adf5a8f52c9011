#!/bin/bash
# velktool5 calctfgeo as a whole process: inputs made with the suite's own
# generators, the archive checked against an independent model of the pure
# propagation delay (numpy), the report text, the calcTF annotations, the
# channel selection with --reset-mic, the usage screen, and every refusal.
set -u
PY=/usr/bin/python3
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
SUBCOMMAND=calctfgeo
. "$VELK_SRC/tests/support/tfcli.bash"

# grid FILE TYPE XMIN XMAX XSTEP ZMIN ZMAX ZSTEP [more options]
grid() {
    local out=$1 type=$2 x0=$3 x1=$4 dx=$5 z0=$6 z1=$7 dz=$8; shift 8
    "$VELK_BIN/velktoolcli-genposxml" grid --type "$type" \
        --min-x_axis "$x0" --max-x_axis "$x1" --interval-x_axis "$dx" \
        --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
        --min-z_axis "$z0" --max-z_axis "$z1" --interval-z_axis "$dz" \
        --output "$out" "$@" 2>/dev/null || FAIL "genposxml $out"
}
config --nfft 512 cfg512.xml
config --nfft 500 cfg500.xml
config --nfft 2 cfg2.xml
# Sources 3.43 m and 17.15 m along x (160 and 800 samples from the origin
# at 16 kHz), at heights 0 and 2 m; microphones at the origin and at 3.43 m.
grid src.xml tsp 3.43 17.15 13.72 0 2 2
grid mic.xml microphone 0 3.43 3.43 0 0 0
merge tsp.xml src.xml cfg512.xml

# ---- the model, LOC_SEP with the defaults -------------------------------
run model 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --logLevel D
has_err model "ignored --normalize*=0 option. calctfgeo always generates normalized value."
has_err model "GEO IR[1] offset=320.000000(0.020000sec)"
has_err model "GEO IR[0] offset=0.000000(0.000000sec)"
has_err model "use all channels. NumCh=2"
has_err model "@ velktoolcli_calctfgeoExec normal end"
printf ' progress:1 / 4\n progress:2 / 4\n progress:3 / 4\n progress:4 / 4\n' >"$T/progress"
cmp -s "$T/model/out" "$T/progress" || FAIL "model: progress lines differ: $(cat "$T/model/out")"
[ -d "$T/model/.velktool-temp" ] || FAIL "model: no temporary directory"

# check.py ARCHIVE TYPE DIRECT README_FILE LOGFILE: the archive against the
# model.  TF[m][k] = exp(-2 pi i k (tau_m - offset) / nfft), tau = distance
# * rate / 343 (single precision, as the annotations print it), offset =
# max(0, max tau + direct - nfft); SEP is the conjugate.
cat >"$T/check.py" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import tfarchive
path, kind, direct, readme_file, log_file = sys.argv[2:7]
direct = int(direct)
a = tfarchive.Archive(path)
errors = []
f32 = np.float32
factor = f32(a.rate) / f32(343.0)
nfft = a.nfft
k = np.arange(nfft // 2 + 1)
log = open(log_file).read() if log_file != '-' else ''
mic_xyz = [a.mics[m] for m in a.mic_ids]
if a.readme != open(readme_file).read():
    errors.append('README %r' % a.readme)
for sid in sorted(a.sources):
    s = a.sources[sid]
    tau = [f32(np.sqrt(f32(f32(f32((s[0] - m[0]) ** 2) + f32((s[1] - m[1]) ** 2))
                            + f32((s[2] - m[2]) ** 2)))) * factor for m in mic_xyz]
    offset = max(f32(0), f32(f32(max(tau) + f32(direct)) - f32(nfft)))
    expected = np.array([np.exp(-2j * np.pi * k * float(t - offset) / nfft) for t in tau])
    if kind in ('LOC', 'LOC_SEP'):
        e = tfarchive.max_error(a.loc[sid], expected)
        if e > 2e-4:
            errors.append('LOC %d error %g' % (sid, e))
    elif a.loc:
        errors.append('unexpected LOC members')
    if kind in ('SEP', 'LOC_SEP'):
        e = tfarchive.max_error(a.sep[sid], np.conj(expected))
        if e > 2e-4:
            errors.append('SEP %d error %g' % (sid, e))
    elif a.sep:
        errors.append('unexpected SEP members')
    if np.max(np.abs(np.abs(a.loc.get(sid, a.sep.get(sid))) - 1)) > 1e-5:
        errors.append('magnitude not 1 for %d' % sid)
    want = []
    if offset != 0:
        want = [(t, {'type': t, 'offset': '%f' % offset})
                for t in ('localization', 'separation')]
    if a.readme is not None and a.calctf[sid] != want:
        errors.append('calcTF of %d: %s, expected %s' % (sid, a.calctf[sid], want))
    if log and 'GEO IR[%d] offset=%f(%fsec)' % (sid, offset, offset / a.rate) not in log:
        errors.append('no offset log line for %d' % sid)
if errors:
    print('\n'.join(errors))
    sys.exit(1)
EOF
check() { $PY "$T/check.py" "$VELK_SRC/tests/support" "$@" || FAIL "archive check: $*"; }

printf 'Normalization Type \n- Source     [1]\n- Microphone [1]\n- Frequency  [1]\nDirect sound Length  32\n' >"$T/readme.sep"
check "$T/model/tf.zip" LOC_SEP 32 "$T/readme.sep" "$T/model/err"

# The worked distances by hand: source 0 (3.43 m) is 160 samples from
# microphone 0 and at microphone 1 (all ones); source 1 (17.15 m) is
# shifted by 320, so microphone 0 uses 480 and microphone 1 (13.72 m) 320.
$PY - "$VELK_SRC/tests/support" "$T/model/tf.zip" <<'EOF' || FAIL "worked distances"
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np, tfarchive
a = tfarchive.Archive(sys.argv[2])
k = np.arange(257)
ok = (np.allclose(a.loc[0][0], np.exp(-2j * np.pi * k * 160 / 512), atol=2e-4)
      and np.allclose(a.loc[0][1], 1, atol=1e-6)
      and np.allclose(a.loc[1][0], np.exp(-2j * np.pi * k * 480 / 512), atol=2e-4)
      and np.allclose(a.loc[1][1], np.exp(-2j * np.pi * k * 320 / 512), atol=2e-4)
      and np.allclose(a.sep[1][0], np.exp(2j * np.pi * k * 480 / 512), atol=2e-4))
sys.exit(0 if ok else 1)
EOF

# ---- SEP with a longer direct sound and all normalizations on --------------
run sep 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type SEP \
    --direct-length 100 --normalize-src 1 --normalize-mic 1 --normalize-freq 1 --logLevel W
lacks_err sep "ignored --normalize"
printf 'Normalization Type \n- Source     [1]\n- Microphone [1]\n- Frequency  [1]\nDirect sound Length  100\n' >"$T/readme.sep100"
check "$T/sep/tf.zip" SEP 100 "$T/readme.sep100" -

# ---- LOC: no normalization block, no warning; loc_sep spelled small ---------
run loc 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type loc --logLevel W
lacks_err loc "ignored --normalize"
printf 'Direct sound Length  32\n' >"$T/readme.loc"
check "$T/loc/tf.zip" LOC 32 "$T/readme.loc" -
run small 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type LOC --output-type loc_sep
check "$T/small/tf.zip" LOC_SEP 32 "$T/readme.sep" -

# ---- a source list not in id order: every matrix under its own id ----------
sed 's|<position id="0">|<position id="X">|; s|<position id="3">|<position id="0">|; s|<position id="X">|<position id="3">|' \
    tsp.xml >unsorted.xml
run unsorted 0 --tsp-list ../unsorted.xml --mic-list ../mic.xml --output-file tf.zip --logLevel D
check "$T/unsorted/tf.zip" LOC_SEP 32 "$T/readme.sep" "$T/unsorted/err"

# ---- channel list 0,2 with --reset-mic on four microphones ----------------
grid src02.xml tsp 3.43 17.15 13.72 0 0 0 --channels 0,2
grid mic4.xml microphone 0 3 1 0 0 0
merge tsp02.xml src02.xml cfg512.xml
run reset 0 --tsp-list ../tsp02.xml --mic-list ../mic4.xml --output-file tf.zip --reset-mic --logLevel D
has_err reset "use channel 0"
has_err reset "use channel 2"
printf 'Original Microphone Channels 0,2\n' >"$T/readme.reset"
cat "$T/readme.sep" >>"$T/readme.reset"
check "$T/reset/tf.zip" LOC_SEP 32 "$T/readme.reset" "$T/reset/err"
$PY - "$VELK_SRC/tests/support" "$T/reset/tf.zip" <<'EOF' || FAIL "reset-mic microphones"
import sys
sys.path.insert(0, sys.argv[1])
import tfarchive
a = tfarchive.Archive(sys.argv[2])
ok = (a.mic_ids == [0, 1] and float(a.mics[0][0]) == 0.0 and float(a.mics[1][0]) == 2.0
      and a.loc[0].shape == (2, 257) and '<channels>' not in a.source_text)
sys.exit(0 if ok else 1)
EOF

# ---- usage screen: --help only as the first option ------------------------
run help 0 --help
cat >"$T/usage" <<'EOF'


Function:
  calctfgeo

Description:
  Generate transfer function by geometric calculation

Usage: velktool5 calctfgeo [OPTIONS]*
      --tsp-list=STRING                 TSP list file  (ex. tsp.xml)
      --mic-list=STRING                 Microphone list file  (ex.
                                        microphone.xml)
      --output-type=LOC|SEP|LOC_SEP     Transfer function type
                                        LOC=Localization,SEP=Separation,LOC_SEP=LOC&SEP (default: "LOC_SEP")
      --output-file=STRING              Output transfer function zip file path
                                        (ex. /path/to/transfer.zip)
      --direct-length=INT               Direct sound length (default: 32)
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
# After another option --help is ignored: the mandatory options are
# reported, in table order.
run helplate 1 --logLevel D --help
[ -s "$T/helplate/out" ] && FAIL "helplate: usage printed"
missing_in_order helplate "missing --tsp-list missing --mic-list missing --output-file "
lacks_err helplate "calctfgeoExec start"
run onlyout 1 --output-file tf.zip
has_err onlyout "missing --tsp-list"
lacks_err onlyout "missing --output-file"

# ---- option errors: status 1 at once, before anything is read ---------------
option_errors --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip -- \
    "--normalize-src 2" "--normalize-mic -1" "--normalize-freq 5" "--direct-length -1" "--bogus"
run opt 1 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --output-type Loc
has_err opt "invalid string value"
no_output opt
run zero 0 --tsp-list ../tsp.xml --mic-list ../mic.xml --output-file tf.zip --direct-length 0

# ---- refused inputs: a clear message, status 1, nothing written -----------
refuse() {   # refuse NAME MESSAGE TSP MIC
    run "$1" 1 --tsp-list "../$3" --mic-list "../$4" --output-file tf.zip
    has_err "$1" "$2"
    has_err "$1" "velktool abnormal end"
    no_output "$1"
}
merge tsp500.xml src.xml cfg500.xml
merge tsp2.xml src.xml cfg2.xml
refuse nfft500 "nfft [500] of the configuration in [../tsp500.xml] is not a power of two of at least 4" tsp500.xml mic.xml
refuse nfft2 "nfft [2] of the configuration" tsp2.xml mic.xml
refuse noconfig "Config not found in source.xml" src.xml mic.xml
refuse nofile "can not open file [../nothere.xml]" nothere.xml mic.xml
sed 's|<channels>0 2</channels>|<channels>0 64</channels>|' tsp02.xml >tsp64.xml
refuse ch64 "channel [64] of the channel list in [../tsp64.xml] is outside 0 .. 63" tsp64.xml mic4.xml
sed 's|<channels>0 2</channels>|<channels>2 -1</channels>|' tsp02.xml >tspneg.xml
refuse chneg "channel [-1] of the channel list" tspneg.xml mic4.xml
sed 's|<channels>0 2</channels>|<channels>2 0 2</channels>|' tsp02.xml >tsptwice.xml
refuse chtwice "channel [2] appears twice in the channel list in [../tsptwice.xml]" tsptwice.xml mic4.xml
refuse chmissing "microphone channel [2] is not a position id of [../mic.xml]" tsp02.xml mic.xml
# (the generator keeps microphone lists to 64 positions; a hand-made list
# may hold more)
grid mic65.xml soundsource 0 64 1 0 0 0
refuse mic65 "65 microphones in [../mic65.xml]: at most 64 can be used without a channel list" tsp.xml mic65.xml
sed 's|<position id="1">|<position id="0">|' tsp.xml >tspdup.xml
refuse srcdup "source position id [0] appears twice in [../tspdup.xml]" tspdup.xml mic.xml

finish
