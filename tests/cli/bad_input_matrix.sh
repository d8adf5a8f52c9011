#!/bin/bash
# Every program against damaged input: one table row per (program,
# arguments, damaged input).  Each row must end with exit status 1 and a
# message on standard error, within its time limit, without a crash or a
# sanitizer report, and without leaving an output file behind (an output
# path that existed before the run, such as an input named as the output,
# must still hold the same bytes).
#
# The good fixtures are made with the suite's own programs (velksim for
# signals); the damaged ones are cut, emptied or patched copies of them.
set -u
BIN=${VELK_BIN:?}
LEGACY=${VELK_SRC:?}/tests/support/legacy_files.py
. "$VELK_SRC/tests/support/cli.bash"
command -v python3 >/dev/null || skip "python3 is needed"
cd "$T" || exit 1
F=$T/f   # fixtures, good and damaged
mkdir "$F"

rows=0

# row NAME OUTPUT PROGRAM ARGS...: runs the program in a fresh directory
# $T/run/NAME (relative paths are taken from there) and checks the rules
# above.  OUTPUT is the path the run must not create or change ("-" for
# none); a relative OUTPUT is inside the run directory.  The fixtures named
# in COPY are copied into the run directory first, so that a row naming an
# input as its output works on its own copy.  With MAXKB set, the run's
# peak resident memory (getrusage of the waited-for processes) must stay
# within that many kB; with EXPECT set, standard error must hold that text.
row() {
    local name=$1 out=$2 prog=$3 f
    shift 3
    rows=$((rows + 1))
    local dir="$T/run/$name"
    mkdir -p "$dir" && cd "$dir" || exit 1
    for f in ${COPY:-}; do cp "$F/$f" . || exit 1; done
    local before=""
    if [ "$out" != "-" ] && [ -e "$out" ]; then
        before=$(cksum <"$out")
    fi
    python3 -c 'import resource, subprocess, sys
r = subprocess.call(sys.argv[2:])
open(sys.argv[1], "w").write("%d\n" % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(r if r >= 0 else 128 - r)' rss timeout 60 "$BIN/$prog" "$@" >stdout 2>stderr
    local got=$?
    if [ -n "${MAXKB:-}" ] && [ "$(cat rss)" -gt "$MAXKB" ]; then
        fail "$name: peak memory $(cat rss) kB, more than $MAXKB kB"
    fi
    if [ "$got" = 124 ]; then
        fail "$name: no end within 60 s"
    elif [ "$got" -ge 128 ]; then
        fail "$name: crashed (status $got)"
    elif [ "$got" != 1 ]; then
        fail "$name: status $got, expected 1"
    fi
    if grep -qE 'Sanitizer|runtime error:' stderr; then
        fail "$name: sanitizer report"
    fi
    [ -s stderr ] || fail "$name: nothing on standard error"
    if [ -n "${EXPECT:-}" ] && ! grep -qF -- "$EXPECT" stderr; then
        fail "$name: standard error lacks [$EXPECT]"
    fi
    if [ "$out" != "-" ]; then
        if [ -n "$before" ]; then
            [ "$(cksum <"$out" 2>/dev/null)" = "$before" ] || fail "$name: $out was changed"
        elif [ -e "$out" ]; then
            fail "$name: $out was left behind"
        fi
    fi
    if [ "$got" != 1 ] || [ "${VELK_MATRIX_VERBOSE:-0}" = 1 ]; then
        head -c 400 stderr
    fi
    cd "$T" || exit 1
}

# ---- good fixtures -------------------------------------------------------
quiet() { "$@" >/dev/null 2>"$T/setup.err" || { echo "setup failed: $*"; cat "$T/setup.err"; exit 1; }; }
cd "$F" || exit 1
circle() { # FILE TYPE RADIUS MAX_AZIMUTH STEP [options]
    local out=$1 type=$2 r=$3 max=$4 step=$5
    shift 5
    quiet "$BIN/velktoolcli-genposxml" circle --type "$type" --min-radius "$r" --max-radius "$r" \
        --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth "$max" \
        --interval-azimuth "$step" -o "$out" "$@"
}
quiet "$BIN/velksim" --mics 4 --sources 2 --azimuth-step 90 --length 512 --output-dir ir --pcm16
quiet "$BIN/velksim" --make-tsp tsp.wav --tsp-length 4096
quiet "$BIN/velksim" --tsp tsp.wav --repeat 2 --mics 4 --sources 2 --azimuth-step 90 --length 256 \
    --output-dir rec --name "tsp_D{AZIMUTH:%03.0f}.wav" --voice
quiet "$BIN/velktoolcli-genconfig" --nfft 64 --peak 1,200 cfg.xml
quiet "$BIN/velktoolcli-genconfig" --nfft 64 --peak 1,200 --length 4096 --sync 2 --tsp-path "$F/tsp.wav" rcfg.xml
circle mic.xml microphone 0.05 270 90
circle isrc.xml impulse 1.5 90 90 --path "$F/ir/imp_D{AZIMUTH:%03.0f}.wav"
circle tsrc.xml tsp 1.5 90 90 --path "$F/rec/tsp_D{AZIMUTH:%03.0f}.wav"
quiet "$BIN/velktoolcli-mergexmls" -o imp.xml isrc.xml cfg.xml
quiet "$BIN/velktoolcli-mergexmls" -o tsp.xml tsrc.xml rcfg.xml
quiet "$BIN/velktool5" calctfimp --impulse-list imp.xml --mic-list mic.xml --output-type LOC_SEP \
    --output-file tf.zip --reverb-length 48
quiet python3 "$LEGACY" write tf loc.tff 2 4 16 0
quiet python3 "$LEGACY" write tf sep.tff 2 4 16 1
quiet python3 "$LEGACY" write sm mat.tff 2 4 16 2
quiet python3 "$LEGACY" write tf loc3.tff 3 4 16 0
quiet "$BIN/velktoolcli-conv-tf" -l loc.tff ltf.zip
head -c 1024 /dev/zero >a.flt
head -c 1024 /dev/zero >b.flt
printf 'a.flt\nb.flt\n' >list.txt

# ---- damaged fixtures ----------------------------------------------------
: >empty
printf 'this is not a file of the suite\n' >text
half() { head -c $(($(stat -c %s "$1") / 2)) "$1" >"$2"; }
half imp.xml imp_trunc.xml
half mic.xml mic_trunc.xml
half tf.zip tf_trunc.zip
half loc.tff loc_trunc.tff
half mat.tff mat_trunc.tff
head -c 30 ir/imp_D000.wav >wav_header_trunc.wav
head -c 7 a.flt >odd.flt
{ echo a.flt; head -c 5000 /dev/zero | tr '\0' x; echo; } >list_long_line.txt
{ echo a.flt; head -c 1100000 /dev/zero | tr '\0' '\n'; } >list_large.txt
sed 's/velk_xml/other_xml/g' imp.xml >imp_root.xml
sed 's/velk_xml/other_xml/g' mic.xml >mic_root.xml
sed 's/velk_xml/other_xml/g' cfg.xml >cfg_root.xml
# An external entity: the parser must refuse it, never fetch it.
{ echo '<?xml version="1.0"?>'
  echo '<!DOCTYPE velk_xml [<!ENTITY e SYSTEM "file:///etc/passwd">]>'
  echo '<velk_xml><positions type="microphone"><position id="0"><cartesian x="&e;" y="0" z="0"/></position></positions></velk_xml>'
} >entity.xml
sed 's/id="1"/id="2147483648"/' mic.xml >mic_hugeid.xml
sed 's/id="3"/id="64"/' mic.xml >mic_id64.xml
sed 's/x="1.5"/x="abc"/' imp.xml >imp_nan.xml
# Finite coordinates too far apart for a finite distance in single precision.
sed 's/x="1.5"/x="1e20"/' imp.xml >imp_far.xml
sed '0,/x="0.0500000007" y="0"/s//x="1.5e19" y="1.5e19"/' mic.xml >mic_far.xml
# A recording, reference or raw float file that is a FIFO without a writer:
# a reader that opened it for reading would wait for ever.
mkfifo fifo.wav fifo.flt
sed 's|<nfft>[^<]*</nfft>|<nfft>2147483647</nfft>|; s|nfft="[^"]*"|nfft="2147483647"|' imp.xml >imp_hugenfft.xml
sed "s|$F/ir/imp_D000.wav|$F/empty|" imp.xml >imp_wav_empty.xml
sed "s|$F/ir/imp_D000.wav|$F/wav_header_trunc.wav|" imp.xml >imp_wav_trunc.xml
sed "s|$F/ir/imp_D000.wav|$F/text|" imp.xml >imp_wav_text.xml
sed "s|$F/ir/imp_D000.wav|$F/wav_channels.wav|" imp.xml >imp_wav_channels.xml
sed "s|$F/ir/imp_D000.wav|$F/ir|" imp.xml >imp_wav_dir.xml
sed "s|$F/ir/imp_D000.wav|$F/fifo.wav|" imp.xml >imp_wav_fifo.xml
sed "s|$F/rec/tsp_D000.wav|$F/fifo.wav|" tsp.xml >tsp_rec_fifo.xml
sed "s|$F/tsp.wav|$F/fifo.wav|" tsp.xml >tsp_ref_fifo.xml
sed "s|$F/rec/tsp_D000.wav|$F/empty|" tsp.xml >tsp_rec_empty.xml
sed "s|$F/rec/tsp_D000.wav|$F/wav_header_trunc.wav|" tsp.xml >tsp_rec_trunc.xml
sed "s|$F/rec/tsp_D000.wav|$F/wav_huge.wav|" tsp.xml >tsp_rec_huge.xml
sed "s|$F/tsp.wav|$F/text|" tsp.xml >tsp_ref_text.xml
sed "s|$F/tsp.wav|$F/empty|" tsp.xml >tsp_ref_empty.xml
# Inputs that a row copies into its own directory and names as its output.
cp ir/imp_D000.wav own_ir.wav && cp rec/tsp_D000.wav own_rec.wav && cp tsp.wav own_tsp.wav &&
    cp rec/tsp_D000.wav own_ch0.flt && cp tsp.wav ownref_ch0.flt || exit 1
sed "s|$F/ir/imp_D000.wav|./own_ir.wav|" imp.xml >imp_own.xml
sed "s|$F/rec/tsp_D000.wav|./own_rec.wav|; s|$F/tsp.wav|./own_tsp.wav|" tsp.xml >tsp_own.xml
python3 - "$F" <<'EOF' || { echo "setup failed: python patches"; exit 1; }
import struct, sys, zipfile
F = sys.argv[1]
def patch(src, dst, at, fmt, *values):
    b = bytearray(open(F + '/' + src, 'rb').read())
    struct.pack_into(fmt, b, at, *values)
    open(F + '/' + dst, 'wb').write(b)
# WAV headers claiming far more than the file holds.
wav = open(F + '/ir/imp_D000.wav', 'rb').read()
data = wav.find(b'data')
b = bytearray(wav); struct.pack_into('<I', b, data + 4, 0xFFFFFFF0)
open(F + '/wav_huge.wav', 'wb').write(b)
b = bytearray(wav); struct.pack_into('<H', b, 22, 0xFFFF)
open(F + '/wav_channels.wav', 'wb').write(b)
# Legacy files: counts of sources, microphones and bins far beyond the file.
for at, name in ((12, 'src'), (16, 'mic'), (20, 'bins')):
    patch('loc.tff', 'loc_huge_%s.tff' % name, at, '<I', 0x7FFFFFFF)
    patch('mat.tff', 'mat_huge_%s.tff' % name, at, '<I', 0x7FFFFFFF)
patch('loc.tff', 'loc_magic.tff', 0, '4s', b'KLEV')
patch('loc.tff', 'loc_kind.tff', 8, '<I', 2)
# Archives: a MAT member with huge dimensions, a position member with a
# wrong root, a missing member, and an unrelated zip.
z = zipfile.ZipFile(F + '/tf.zip')
members = {n: z.read(n) for n in z.namelist()}
def rezip(dst, change):
    with zipfile.ZipFile(F + '/' + dst, 'w') as out:
        for n, d in members.items():
            d = change(n, d)
            if d is not None:
                out.writestr(n, d)
def hugemat(n, d):
    if n.endswith('.mat') and 'localization' in n:
        d = bytearray(d); struct.pack_into('<2i', d, 160, 0x7FFFFFFF, 0x7FFFFFFF)
    return bytes(d)
rezip('tf_hugemat.zip', hugemat)
rezip('tf_srcroot.zip', lambda n, d: d.replace(b'velk_xml', b'other_xml') if n.endswith('source.xml') or n.endswith('microphone.xml') else d)
rezip('tf_nomic.zip', lambda n, d: None if 'microphone' in n else d)
with zipfile.ZipFile(F + '/other.zip', 'w') as out:
    out.writestr('hello.txt', 'hello')
# MAT members no reader may take: another class, compressed data, a NaN
# (the library stores them, so byte offsets are those of its layout), a
# missing one, and one bit flipped in the file (only the checksum tells).
first = sorted(n for n in members if n.endswith('.mat') and 'localization' in n)[0]
def matpatch(dst, at, fmt, value):
    def change(n, d):
        if n == first:
            d = bytearray(d); struct.pack_into(fmt, d, at, value)
        return bytes(d)
    rezip(dst, change)
matpatch('tf_double.zip', 144, '<B', 6)         # mxDOUBLE_CLASS
matpatch('tf_compressed.zip', 128, '<I', 15)    # miCOMPRESSED
matpatch('tf_nan.zip', 192, '<f', float('nan')) # first real value
rezip('tf_missing.zip', lambda n, d: None if n == first else d)
b = bytearray(open(F + '/tf.zip', 'rb').read())
i = z.getinfo(first)
n, e = struct.unpack_from('<HH', b, i.header_offset + 26)
b[i.header_offset + 30 + n + e + 200] ^= 0x01
open(F + '/tf_flip.zip', 'wb').write(b)
EOF
# Zip bombs of 2 MB: whatisthis.txt or source.xml inflates to 2 GB; the
# lying one declares the real size of source.xml.
BOMB="python3 $VELK_SRC/tests/support/zip_bomb.py"
$BOMB tf.zip bomb_what.zip transferFunction/whatisthis.txt 2000000000 &&
    $BOMB tf.zip bomb_source.zip transferFunction/source.xml 2000000000 &&
    $BOMB tf.zip bomb_lie.zip transferFunction/source.xml 2000000000 \
        "$(unzip -Zl tf.zip transferFunction/source.xml | awk '{print $4; exit}')" ||
    { echo "setup failed: zip bombs"; exit 1; }
# Every recreated member above must exist, or the rows test nothing.
for f in wav_huge.wav wav_channels.wav loc_huge_src.tff mat_huge_bins.tff tf_hugemat.zip \
         tf_srcroot.zip tf_nomic.zip other.zip tf_double.zip tf_compressed.zip tf_nan.zip \
         tf_missing.zip tf_flip.zip bomb_what.zip bomb_source.zip bomb_lie.zip; do
    [ -s "$f" ] || { echo "setup failed: $f"; exit 1; }
done
# SOFA files (with Python's netCDF4; without it the SOFA rows are left
# out): a good set of impulse responses and damaged ones, made by an
# independent writer, and a GeneralTF file of the suite's own export.
SOFA_ROWS=0
if /usr/bin/python3 -c 'import netCDF4' 2>/dev/null; then
    SOFA_ROWS=1
    quiet "$BIN/velktoolcli-tfexport" --format sofa tf.zip tf.sofa
    PYTHONPATH=$VELK_SRC/tests/support /usr/bin/python3 - <<'EOF' || { echo "setup failed: SOFA files"; exit 1; }
import numpy as np, sofa_files
ir = np.zeros((3, 2, 64)); ir[:, :, 10] = 1
src = [[0, 0, 1], [90, 0, 1], [180, 0, 1]]
rec = [[0, 0.1, 0], [0, -0.1, 0]]
def fir(name, **kw):
    sofa_files.write_fir(name, kw.pop('ir', ir), kw.pop('rate', 16000), kw.pop('src', src),
                         kw.pop('rec', rec), **kw)
fir('good.sofa')
fir('sofa_conv.sofa', conventions='SimpleFreeFieldSOS')
fir('sofa_disagree.sofa', src=[[0, 0, 1], [90, 0, 1]], source_dims=('R', 'C'))
fir('sofa_huge_m.sofa', dims={'M': 10 ** 9})
fir('sofa_huge_n.sofa', dims={'N': 2 ** 31})
fir('sofa_receivers.sofa', ir=np.zeros((1, 100, 8)), src=[[0, 0, 1]], rec=np.zeros((100, 3)))
fir('sofa_emitters.sofa', emitters=2)
fir('sofa_fir_e.sofa', data_type='FIR-E')
fir('sofa_listener.sofa', listener=[[0, 0, 0], [0, 0, 0], [0.5, 0, 0]])
fir('sofa_rate.sofa', rate=44100.5)
EOF
    half good.sofa sofa_trunc.sofa
fi
# Unwritable outputs are paths in a missing directory ($F/nodir) or below a
# regular file ($F/text): permissions would not stop a run as root.
cd "$T" || exit 1

# ---- velktool5 calctfimp -------------------------------------------------
TF5=velktool5
imp() { row "imp_$1" "$2" $TF5 calctfimp --impulse-list "$3" --mic-list "$4" --output-type LOC_SEP \
            --output-file "${5:-out.zip}" --reverb-length 48 "${@:6}"; }
imp empty_list      out.zip "$F/empty" "$F/mic.xml"
imp trunc_list      out.zip "$F/imp_trunc.xml" "$F/mic.xml"
imp text_list       out.zip "$F/text" "$F/mic.xml"
imp root_list       out.zip "$F/imp_root.xml" "$F/mic.xml"
imp entity_mics     out.zip "$F/imp.xml" "$F/entity.xml"
imp nan_coordinate  out.zip "$F/imp_nan.xml" "$F/mic.xml"
imp huge_nfft       out.zip "$F/imp_hugenfft.xml" "$F/mic.xml"
imp empty_mics      out.zip "$F/imp.xml" "$F/empty"
imp trunc_mics      out.zip "$F/imp.xml" "$F/mic_trunc.xml"
imp huge_mic_id     out.zip "$F/imp.xml" "$F/mic_hugeid.xml"
imp mic_id_64       out.zip "$F/imp.xml" "$F/mic_id64.xml"
imp wav_empty       out.zip "$F/imp_wav_empty.xml" "$F/mic.xml"
imp wav_trunc       out.zip "$F/imp_wav_trunc.xml" "$F/mic.xml"
imp wav_text        out.zip "$F/imp_wav_text.xml" "$F/mic.xml"
imp wav_channels    out.zip "$F/imp_wav_channels.xml" "$F/mic.xml"
imp wav_directory   out.zip "$F/imp_wav_dir.xml" "$F/mic.xml"
imp direct_huge     out.zip "$F/imp.xml" "$F/mic.xml" out.zip --direct-length 2147483647
imp direct_negative out.zip "$F/imp.xml" "$F/mic.xml" out.zip --direct-length -5
imp reverb_huge     out.zip "$F/imp.xml" "$F/mic.xml" out.zip --reverb-length 99999999999
imp bad_type        out.zip "$F/imp.xml" "$F/mic.xml" out.zip --output-type BOTH
imp normalize_two   out.zip "$F/imp.xml" "$F/mic.xml" out.zip --normalize-src 2
imp unwritable      "$F/nodir/out.zip" "$F/imp.xml" "$F/mic.xml" "$F/nodir/out.zip"
imp below_file      "$F/text/out.zip" "$F/imp.xml" "$F/mic.xml" "$F/text/out.zip"
COPY=imp.xml imp out_is_list imp.xml imp.xml "$F/mic.xml" imp.xml
COPY=mic.xml imp out_is_mics mic.xml "$F/imp.xml" mic.xml ./mic.xml
imp out_is_dir      - "$F/imp.xml" "$F/mic.xml" "$F/ir"
EXPECT="[$F/fifo.wav] is not a regular file" imp wav_fifo out.zip "$F/imp_wav_fifo.xml" "$F/mic.xml"
COPY=own_ir.wav EXPECT="output file [own_ir.wav] is the input file [./own_ir.wav]" \
    imp out_is_irfile own_ir.wav "$F/imp_own.xml" "$F/mic.xml" own_ir.wav

# ---- velktool5 calctfgeo -------------------------------------------------
geo() { row "geo_$1" "$2" $TF5 calctfgeo --tsp-list "$3" --mic-list "$4" --output-type LOC_SEP \
            --output-file "${5:-out.zip}" "${@:6}"; }
geo empty_list     out.zip "$F/empty" "$F/mic.xml"
geo root_mics      out.zip "$F/imp.xml" "$F/mic_root.xml"
geo entity_list    out.zip "$F/entity.xml" "$F/mic.xml"
geo normalize_neg  out.zip "$F/imp.xml" "$F/mic.xml" out.zip --normalize-mic -1
geo unwritable     "$F/nodir/out.zip" "$F/imp.xml" "$F/mic.xml" "$F/nodir/out.zip"
COPY=mic.xml geo out_is_mics mic.xml "$F/imp.xml" mic.xml mic.xml
EXPECT="delay from source position [0] (1e+20, 0, 0) to microphone [0]" \
    geo far_source out.zip "$F/imp_far.xml" "$F/mic.xml"
EXPECT="to microphone [0] (1.5e+19, 1.5e+19, 0) is not a finite number" \
    geo far_mic out.zip "$F/imp.xml" "$F/mic_far.xml"

# ---- velktool5 calctfrec -------------------------------------------------
rec() { row "rec_$1" "$2" $TF5 calctfrec --tsp-list "$3" --mic-list "$F/mic.xml" --output-type LOC_SEP \
            --output-file "${4:-out.zip}" --reverb-length 48 "${@:5}"; }
rec recording_empty out.zip "$F/tsp_rec_empty.xml"
rec recording_trunc out.zip "$F/tsp_rec_trunc.xml"
rec recording_huge  out.zip "$F/tsp_rec_huge.xml"
rec reference_text  out.zip "$F/tsp_ref_text.xml"
rec reference_empty out.zip "$F/tsp_ref_empty.xml"
rec trunc_list      out.zip "$F/imp_trunc.xml"
rec reverb_negative out.zip "$F/tsp.xml" out.zip --reverb-length -1
rec unwritable      "$F/text/out.zip" "$F/tsp.xml" "$F/text/out.zip"
COPY=tsp.xml rec out_is_list tsp.xml tsp.xml tsp.xml
EXPECT="[$F/fifo.wav] is not a regular file" rec recording_fifo out.zip "$F/tsp_rec_fifo.xml"
EXPECT="[$F/fifo.wav] is not a regular file" rec reference_fifo out.zip "$F/tsp_ref_fifo.xml"
COPY="own_rec.wav own_tsp.wav" EXPECT="output file [own_rec.wav] is the input file [./own_rec.wav]" \
    rec out_is_recording own_rec.wav "$F/tsp_own.xml" own_rec.wav
COPY="own_rec.wav own_tsp.wav" EXPECT="output file [own_tsp.wav] is the input file [./own_tsp.wav]" \
    rec out_is_reference own_tsp.wav "$F/tsp_own.xml" own_tsp.wav

# ---- velktool5 calctfmouth -----------------------------------------------
mouth() { row "mouth_$1" "$2" $TF5 calctfmouth --tsp-list "$3" --mic-list "$F/mic.xml" \
              --output-type LOC_SEP --output-file "${4:-out.zip}" --reverb-length 48 --mch 3 "${@:5}"; }
mouth hop_zero        out.zip "$F/tsp.xml" out.zip --hop 0
mouth mch_huge        out.zip "$F/tsp.xml" out.zip --mch 2147483647
mouth end_negative    out.zip "$F/tsp.xml" out.zip --end -1
mouth headmargin_huge out.zip "$F/tsp.xml" out.zip --headmargin 2147483647
mouth recording_empty out.zip "$F/tsp_rec_empty.xml"
mouth recording_huge  out.zip "$F/tsp_rec_huge.xml"
COPY=tsp.xml mouth out_is_list tsp.xml tsp.xml tsp.xml
EXPECT="[$F/fifo.wav] is not a regular file" mouth recording_fifo out.zip "$F/tsp_rec_fifo.xml"
COPY="own_rec.wav" EXPECT="output file [own_rec.wav] is the input file [./own_rec.wav]" \
    mouth out_is_recording own_rec.wav "$F/tsp_own.xml" own_rec.wav

# ---- velktool5 calcsysimp ------------------------------------------------
sys() { row "sys_$1" "$2" $TF5 calcsysimp --tsporigwav "${3:-$F/tsp.wav}" --inputwave "${4:-$F/rec/tsp_D000.wav}" \
            --outputpath "${5:-out}" --samplebyframe 4096 --syncaddfreq 2 --syncaddoffset 0 "${@:6}"; }
sys input_empty      out_ch0.flt "" "$F/empty"
sys input_trunc      out_ch0.flt "" "$F/wav_header_trunc.wav"
sys input_huge       out_ch0.flt "" "$F/wav_huge.wav"
sys input_channels   out_ch0.flt "" "$F/wav_channels.wav"
sys input_text       out_ch0.flt "" "$F/text"
sys reference_empty  out_ch0.flt "$F/empty"
sys reference_text   out_ch0.flt "$F/text"
sys searchoffset_rev out_ch0.flt "" "" out --searchoffset 9,1
sys searchoffset_bad out_ch0.flt "" "" out --searchoffset 1,x
sys channel_64       out_ch0.flt "" "" out --outchannellist 64
sys channel_text     out_ch0.flt "" "" out --outchannellist 1,two
sys frame_zero       out_ch0.flt "" "" out --samplebyframe 0
sys syncadd_zero     out_ch0.flt "" "" out --syncaddfreq 0
sys syncadd_huge     out_ch0.flt "" "" out --syncaddfreq 2147483647
sys tsp_channel_huge out_ch0.flt "" "" out --tsporigchannel 999
row sys_flt_reference_odd out_ch0.flt $TF5 calcsysimp --tsporigflt "$F/odd.flt" --sigmax 32768 \
    --inputwave "$F/rec/tsp_D000.wav" --outputpath out --samplebyframe 4096 --syncaddfreq 2 --syncaddoffset 0
sys unwritable       "$F/nodir/out_ch0.flt" "" "" "$F/nodir/out"
COPY=own_ch0.flt EXPECT="output file [own_ch0.flt] is the input file [own_ch0.flt]" \
    sys out_is_input own_ch0.flt "" own_ch0.flt own
COPY=ownref_ch0.flt EXPECT="output file [ownref_ch0.flt] is the input file [ownref_ch0.flt]" \
    sys out_is_reference ownref_ch0.flt ownref_ch0.flt "" ownref
EXPECT="[$F/fifo.flt] is not a regular file" row sys_flt_reference_fifo out_ch0.flt $TF5 calcsysimp \
    --tsporigflt "$F/fifo.flt" --sigmax 32768 --inputwave "$F/rec/tsp_D000.wav" --outputpath out \
    --samplebyframe 4096 --syncaddfreq 2 --syncaddoffset 0

# ---- velktoolcli-zip2coord -----------------------------------------------
# What the archive readers say about the damaged archives and the bombs.
TOO_LARGE_WHAT="member transferFunction/whatisthis.txt is too large: 2000000000 bytes"
TOO_LARGE_SOURCE="member transferFunction/source.xml is too large: 2000000000 bytes"
LONGER_SOURCE="member transferFunction/source.xml holds more than the"
BAD_CRC="member transferFunction/localization/tf00000.mat is damaged (CRC error)"

z2c() { row "zip2coord_$1" "$2" velktoolcli-zip2coord "${@:3}"; }
z2c empty        out.csv "$F/empty" out.csv
z2c truncated    out.csv "$F/tf_trunc.zip" out.csv
z2c text         out.csv "$F/text" out.csv
z2c other_zip    out.csv "$F/other.zip" out.csv
z2c huge_matrix  out.csv "$F/tf_hugemat.zip" out.csv
z2c wrong_root   out.csv "$F/tf_srcroot.zip" out.csv
z2c no_mics      out.csv "$F/tf_nomic.zip" out.csv
z2c bad_type     out.csv --type BOTH "$F/tf.zip" out.csv
z2c bad_axis     out.csv --z_axis volume "$F/tf.zip" out.csv
EXPECT="$BAD_CRC" z2c bit_flip     out.csv "$F/tf_flip.zip" out.csv
z2c compressed   out.csv "$F/tf_compressed.zip" out.csv
MAXKB=102400 EXPECT="$TOO_LARGE_WHAT" z2c bomb_whatisthis out.csv "$F/bomb_what.zip" out.csv
MAXKB=102400 EXPECT="$TOO_LARGE_SOURCE" z2c bomb_source     out.csv "$F/bomb_source.zip" out.csv
MAXKB=102400 EXPECT="$LONGER_SOURCE" z2c bomb_lie        out.csv "$F/bomb_lie.zip" out.csv
z2c unwritable   "$F/nodir/out.csv" "$F/tf.zip" "$F/nodir/out.csv"
COPY=tf.zip z2c out_is_input tf.zip tf.zip tf.zip

# ---- velktoolcli-validtf -------------------------------------------------
vtf() { row "validtf_$1" - velktoolcli-validtf "${@:2}"; }
vtf empty      "$F/empty"
vtf truncated  "$F/tf_trunc.zip"
vtf text       "$F/text"
vtf other_zip  "$F/other.zip"
vtf wrong_root "$F/tf_srcroot.zip"
vtf no_mics    "$F/tf_nomic.zip"
vtf xml_given  --show "$F/imp.xml"
vtf directory  "$F/ir"
EXPECT="$BAD_CRC" vtf bit_flip "$F/tf_flip.zip"
EXPECT="tf00000.mat: array class is not single precision" vtf double "$F/tf_double.zip"
EXPECT="tf00000.mat: compressed MAT-file data" vtf compressed "$F/tf_compressed.zip"
EXPECT="tf00000.mat: the real part of row 0, column 0 is not a finite number" vtf nan_value "$F/tf_nan.zip"
EXPECT="transferFunction/localization/tf00000.mat not found." vtf missing_tf "$F/tf_missing.zip"
MAXKB=102400 EXPECT="$TOO_LARGE_WHAT" vtf bomb_whatisthis "$F/bomb_what.zip"
MAXKB=102400 EXPECT="$TOO_LARGE_SOURCE" vtf bomb_source     "$F/bomb_source.zip"
MAXKB=102400 EXPECT="$LONGER_SOURCE" vtf bomb_lie        "$F/bomb_lie.zip"

# ---- velktoolcli-diagnose ------------------------------------------------
dgn() { row "diagnose_$1" "$2" velktoolcli-diagnose "${@:3}"; }
dgn empty         report.html --report report.html "$F/empty"
dgn truncated     report.html --report report.html "$F/tf_trunc.zip"
dgn text          - "$F/text"
dgn other_zip     - "$F/other.zip"
dgn wrong_root    - "$F/tf_srcroot.zip"
dgn no_mics       - "$F/tf_nomic.zip"
dgn huge_matrix   - "$F/tf_hugemat.zip"
dgn directory     - "$F/ir"
dgn no_archive    - --json
dgn two_archives  - "$F/tf.zip" "$F/tf.zip"
dgn bad_speed     - --speed-of-sound 0 "$F/tf.zip"
dgn bad_gain      - --max-gain-deviation -3 "$F/tf.zip"
dgn lone_list     - --recordings "$F/imp.xml" "$F/tf.zip"
dgn rec_empty     mic_out.xml --suggest-mic-list mic_out.xml --recordings "$F/imp_wav_empty.xml" \
    --mic-list "$F/mic.xml" "$F/tf.zip"
dgn rec_trunc     report.html --report report.html --recordings "$F/imp_wav_trunc.xml" \
    --mic-list "$F/mic.xml" "$F/tf.zip"
dgn rec_text      - --recordings "$F/imp_wav_text.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn rec_dir       - --recordings "$F/imp_wav_dir.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn rec_channels  - --recordings "$F/imp_wav_channels.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn tsp_empty     - --recordings "$F/tsp_rec_empty.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn tsp_huge      - --recordings "$F/tsp_rec_huge.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn tsp_ref_text  - --recordings "$F/tsp_ref_text.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn list_is_mics  - --recordings "$F/mic.xml" --mic-list "$F/mic.xml" "$F/tf.zip"
dgn mics_entity   - --recordings "$F/imp.xml" --mic-list "$F/entity.xml" "$F/tf.zip"
dgn unwritable    "$F/nodir/r.html" --report "$F/nodir/r.html" "$F/tf.zip"
COPY=tf.zip dgn report_is_input tf.zip --report tf.zip tf.zip
COPY=mic.xml dgn list_is_input mic.xml --suggest-mic-list mic.xml --recordings "$F/imp.xml" \
    --mic-list mic.xml "$F/tf.zip"

# ---- velktoolcli-validxml ------------------------------------------------
vxml() { row "validxml_$1" - velktoolcli-validxml "${@:2}"; }
vxml empty      "$F/empty"
vxml truncated  "$F/imp_trunc.xml"
vxml text       "$F/text"
vxml wrong_root "$F/imp_root.xml"
vxml entity     "$F/entity.xml"
vxml zip_given  "$F/tf.zip"
vxml huge_id    --mic "$F/mic_hugeid.xml"
vxml id_64      --mic "$F/mic_id64.xml"

# ---- velktoolcli-genposxml -----------------------------------------------
gp() { row "genposxml_$1" "$2" velktoolcli-genposxml circle --type "${3:-tsp}" --min-radius 1 --max-radius 1 \
           --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 90 --interval-azimuth 10 \
           -o "${4:-out.xml}" "${@:5}"; }
gp bad_type        out.xml speaker
gp channel_64      out.xml tsp out.xml --channels 64
gp channel_text    out.xml tsp out.xml --channels 1,two
gp bad_placeholder out.xml tsp out.xml --path "x_{AZIMUTH:%d}.wav"
gp open_brace      out.xml tsp out.xml --path "x_{AZIMUTH:%f.wav"
gp long_template   out.xml tsp out.xml --path "$(printf 'a%.0s' $(seq 5000))"
gp huge_width      out.xml tsp out.xml --path "x_{AZIMUTH:%99999f}.wav"
gp id_huge         out.xml tsp out.xml --id 2147483647
gp mic_too_many    out.xml microphone out.xml --interval-azimuth 1
gp unwritable      "$F/nodir/out.xml" tsp "$F/nodir/out.xml"
row genposxml_huge_list out.xml velktoolcli-genposxml grid --min-x_axis 0 --max-x_axis 1e30 \
    --interval-x_axis 1e-30 --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
    --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0 -o out.xml
row genposxml_nan out.xml velktoolcli-genposxml circle --min-radius nan --max-radius 1 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 90 --interval-azimuth 10 -o out.xml
row genposxml_model out.xml velktoolcli-genposxml sphere -o out.xml
row genposxml_over_reader_limit out.xml velktoolcli-genposxml grid --min-x_axis 0 --max-x_axis 222220 \
    --interval-x_axis 1 --min-y_axis 0 --max-y_axis 0 --interval-y_axis 0 \
    --min-z_axis 0 --max-z_axis 0 --interval-z_axis 0 -o out.xml
gp document_too_large out.xml tsp out.xml --interval-azimuth 1e-3 --path "$(printf 'a%.0s' $(seq 3000)){AZIMUTH:%f}"

# ---- velktoolcli-genconfig -----------------------------------------------
gc() { row "genconfig_$1" "$2" velktoolcli-genconfig "${@:3}"; }
# The generator passes every value but the peak range to the document
# unchanged (the programs that read it check them); only what it parses
# itself can be refused.
gc nfft_text      out.xml --nfft many out.xml
gc nfft_overflow  out.xml --nfft 99999999999 out.xml
gc rate_text      out.xml --rate 16k out.xml
gc peak_one       out.xml --peak 5 out.xml
gc peak_text      out.xml --peak 1,x out.xml
gc peak_negative  out.xml --peak -1,10 out.xml
gc peak_huge      out.xml --peak 0,99999999999 out.xml
gc peak_int_max   out.xml --peak 1,2147483648 out.xml
gc unwritable     "$F/nodir/out.xml" "$F/nodir/out.xml"
gc below_file     "$F/text/out.xml" "$F/text/out.xml"

# ---- velktoolcli-genneighbors --------------------------------------------
gn() { row "genneighbors_$1" "$2" velktoolcli-genneighbors "${@:3}"; }
gn empty          out.xml "$F/empty" out.xml
gn truncated      out.xml "$F/imp_trunc.xml" out.xml
gn wrong_root     out.xml "$F/imp_root.xml" out.xml
gn entity         out.xml "$F/entity.xml" out.xml
gn algorithm      out.xml --algorithm 7 "$F/imp.xml" out.xml
gn num_text       out.xml --num-max many "$F/imp.xml" out.xml
gn threshold_text out.xml --threshold half "$F/imp.xml" out.xml
gn unwritable     "$F/nodir/out.xml" "$F/imp.xml" "$F/nodir/out.xml"
COPY=imp.xml gn out_is_input imp.xml imp.xml imp.xml

# ---- velktoolcli-mergexmls -----------------------------------------------
mx() { row "mergexmls_$1" "$2" velktoolcli-mergexmls "${@:3}"; }
mx empty        out.xml -o out.xml "$F/isrc.xml" "$F/empty"
mx truncated    out.xml -o out.xml "$F/isrc.xml" "$F/imp_trunc.xml"
mx wrong_root   out.xml -o out.xml "$F/isrc.xml" "$F/cfg_root.xml"
mx entity       out.xml -o out.xml "$F/entity.xml" "$F/cfg.xml"
mx zip_given    out.xml -o out.xml "$F/isrc.xml" "$F/tf.zip"
mx unwritable   "$F/nodir/out.xml" -o "$F/nodir/out.xml" "$F/isrc.xml" "$F/cfg.xml"
COPY=cfg.xml mx out_is_input cfg.xml -o cfg.xml "$F/isrc.xml" cfg.xml

# ---- velktoolcli-flt2multiwav --------------------------------------------
fw() { row "flt2multiwav_$1" "$2" velktoolcli-flt2multiwav "${@:3}"; }
fw missing_input out.wav out.wav "$F/a.flt" "$F/none.flt"
fw directory     out.wav out.wav "$F/ir"
fw empty_list    out.wav -l "$F/empty" out.wav
fw list_missing  out.wav -l "$F/text" out.wav
fw list_device   out.wav -l /dev/zero out.wav
fw list_long_line out.wav -l "$F/list_long_line.txt" out.wav
fw list_too_large out.wav -l "$F/list_large.txt" out.wav
fw odd_input     out.wav out.wav "$F/a.flt" "$F/odd.flt"
fw unwritable    "$F/nodir/out.wav" "$F/nodir/out.wav" "$F/a.flt"
COPY=b.flt fw out_is_input b.flt b.flt "$F/a.flt" b.flt

# ---- velktoolcli-conv-tf -------------------------------------------------
ct() { row "conv_tf_$1" "$2" velktoolcli-conv-tf "${@:3}"; }
ct empty        out.zip -l "$F/empty" out.zip
ct truncated    out.zip -l "$F/loc_trunc.tff" out.zip
ct text         out.zip -l "$F/text" out.zip
ct magic        out.zip -l "$F/loc_magic.tff" out.zip
ct kind         out.zip -l "$F/loc_kind.tff" out.zip
ct huge_sources out.zip -l "$F/loc_huge_src.tff" out.zip
ct huge_mics    out.zip -s "$F/loc_huge_mic.tff" out.zip
ct huge_bins    out.zip -l "$F/loc_huge_bins.tff" out.zip
ct sm_given     out.zip -l "$F/mat.tff" out.zip
ct mismatch     out.zip -l "$F/loc.tff" -s "$F/loc3.tff" out.zip
ct unwritable   "$F/nodir/out.zip" -l "$F/loc.tff" "$F/nodir/out.zip"
COPY=loc.tff ct out_is_input loc.tff -l loc.tff loc.tff
COPY=sep.tff ct out_is_sep sep.tff -l "$F/loc.tff" -s sep.tff -o sep.tff

# ---- velktoolcli-conv-sm -------------------------------------------------
cs() { row "conv_sm_$1" "$2" velktoolcli-conv-sm "${@:3}"; }
cs empty           out.zip "$F/empty" "$F/ltf.zip" out.zip
cs truncated       out.zip "$F/mat_trunc.tff" "$F/ltf.zip" out.zip
cs huge_sources    out.zip "$F/mat_huge_src.tff" "$F/ltf.zip" out.zip
cs huge_mics       out.zip "$F/mat_huge_mic.tff" "$F/ltf.zip" out.zip
cs huge_bins       out.zip "$F/mat_huge_bins.tff" "$F/ltf.zip" out.zip
cs tf_given        out.zip "$F/loc.tff" "$F/ltf.zip" out.zip
cs archive_text    out.zip "$F/mat.tff" "$F/text" out.zip
cs archive_trunc   out.zip "$F/mat.tff" "$F/tf_trunc.zip" out.zip
cs archive_other   out.zip "$F/mat.tff" "$F/tf.zip" out.zip
EXPECT="$BAD_CRC" cs archive_flip out.zip "$F/mat.tff" "$F/tf_flip.zip" out.zip
MAXKB=102400 EXPECT="$TOO_LARGE_WHAT" cs bomb_whatisthis out.zip "$F/mat.tff" "$F/bomb_what.zip" out.zip
MAXKB=102400 EXPECT="$TOO_LARGE_SOURCE" cs bomb_source     out.zip "$F/mat.tff" "$F/bomb_source.zip" out.zip
cs unwritable      "$F/nodir/out.zip" "$F/mat.tff" "$F/ltf.zip" "$F/nodir/out.zip"
COPY=mat.tff cs out_is_matrix mat.tff mat.tff "$F/ltf.zip" mat.tff
COPY=ltf.zip cs out_is_archive ltf.zip "$F/mat.tff" ltf.zip ltf.zip

# ---- velktoolcli-tfexport and velktoolcli-sofa2tf ------------------------
te() { row "tfexport_$1" "$2" velktoolcli-tfexport "${@:3}"; }
te empty        out.sofa --format sofa "$F/empty" out.sofa
te truncated    out.mat --format mat "$F/tf_trunc.zip" out.mat
te bad_format   out.x --format hdf5 "$F/tf.zip" out.x
te bad_kind     out.npz --format npz --kind BOTH "$F/tf.zip" out.npz
te unwritable   "$F/nodir/out.npz" --format npz "$F/tf.zip" "$F/nodir/out.npz"
EXPECT="[$F/ir] is not a regular file" te out_is_dir - --format mat "$F/tf.zip" "$F/ir"
EXPECT="holds no separation transfer functions" COPY=text te no_kind text --format npz --kind SEP "$F/ltf.zip" text
EXPECT="$BAD_CRC" te bit_flip out.sofa --format sofa "$F/tf_flip.zip" out.sofa
COPY=tf.zip te out_is_input tf.zip --format mat tf.zip tf.zip

if [ "$SOFA_ROWS" = 1 ]; then
    s2t() { row "sofa2tf_$1" "$2" velktoolcli-sofa2tf "${@:3}"; }
    EXPECT="not a readable netCDF-4 file" s2t truncated out.zip "$F/sofa_trunc.sofa" out.zip
    EXPECT="not a netCDF-4 (HDF5) file" s2t text out.zip "$F/text" out.zip
    EXPECT="not a netCDF-4 (HDF5) file" s2t archive out.zip "$F/tf.zip" out.zip
    EXPECT="convention [SimpleFreeFieldSOS] is not read" s2t convention out.zip "$F/sofa_conv.sofa" out.zip
    EXPECT="SourcePosition has dimensions [R C]; expected [I C] or [M C]" \
        s2t dims_disagree out.zip "$F/sofa_disagree.sofa" out.zip
    MAXKB=102400 EXPECT="1000000000 measurements (dimension M)" s2t huge_m out.zip "$F/sofa_huge_m.sofa" out.zip
    MAXKB=102400 EXPECT="2147483648 samples (dimension N)" s2t huge_n out.zip "$F/sofa_huge_n.sofa" out.zip
    EXPECT="100 receivers (dimension R)" s2t receivers out.zip "$F/sofa_receivers.sofa" out.zip
    EXPECT="2 emitters (dimension E)" s2t emitters out.zip "$F/sofa_emitters.sofa" out.zip
    EXPECT="DataType FIR-E: several emitters" s2t fir_e out.zip "$F/sofa_fir_e.sofa" out.zip
    EXPECT="a listener that moves is not taken" s2t listener out.zip "$F/sofa_listener.sofa" out.zip
    EXPECT="sampling rate 44100.5 Hz" s2t rate out.zip "$F/sofa_rate.sofa" out.zip
    EXPECT="--direct-length 600 is not below nfft 512" s2t direct_long out.zip --direct-length 600 "$F/good.sofa" out.zip
    s2t nfft_odd     out.zip --nfft 100 "$F/good.sofa" out.zip
    s2t bad_type     out.zip --output-type BOTH "$F/good.sofa" out.zip
    s2t unwritable   "$F/nodir/out.zip" "$F/good.sofa" "$F/nodir/out.zip"
    EXPECT="[$F/fifo.wav] is not a regular file" s2t fifo out.zip "$F/fifo.wav" out.zip
    EXPECT="[$F/ir] is not a regular file" s2t out_is_dir - "$F/good.sofa" "$F/ir"
    COPY=good.sofa s2t out_is_input good.sofa good.sofa good.sofa
    EXPECT="holds the bins of nfft 64, not of --nfft 512" s2t tf_nfft out.zip --nfft 512 "$F/tf.sofa" out.zip
fi

# ---- device targets ------------------------------------------------------
# An output that exists and is not a regular file is refused before any
# work, for root too: as root the target is a character device like
# /dev/null (a node of the fixtures, so that a failing program could not
# replace the machine's own), otherwise a FIFO.
DEV=$F/dev_ch0.flt
if [ "$(id -u)" = 0 ]; then mknod -m 666 "$DEV" c 1 3; else mkfifo "$DEV"; fi || exit 1
export EXPECT="output file [$DEV] is not a regular file"
imp device      - "$F/imp.xml" "$F/mic.xml" "$DEV"
geo device      - "$F/imp.xml" "$F/mic.xml" "$DEV"
rec device      - "$F/tsp.xml" "$DEV"
mouth device    - "$F/tsp.xml" "$DEV"
sys device      - "" "" "${DEV%_ch0.flt}"
z2c device      - "$F/tf.zip" "$DEV"
dgn device_report - --report "$DEV" "$F/tf.zip"
dgn device_miclist - --suggest-mic-list "$DEV" --recordings "$F/imp.xml" --mic-list "$F/mic.xml" \
    "$F/tf.zip"
gp device       - tsp "$DEV"
gc device       - "$DEV"
gn device       - "$F/imp.xml" "$DEV"
mx device       - -o "$DEV" "$F/isrc.xml" "$F/cfg.xml"
fw device       - "$DEV" "$F/a.flt"
ct device       - -l "$F/loc.tff" "$DEV"
cs device       - "$F/mat.tff" "$F/ltf.zip" "$DEV"
unset EXPECT
[ -c "$DEV" ] || [ -p "$DEV" ] || fail "the device target was replaced: $(ls -l "$DEV")"

echo "$rows rows, $FAILS failures"
finish
