#!/usr/bin/env bash
# The HTML report of velktoolcli-diagnose in a real browser: headless
# Chromium loads the page from a file (no network, no scripts), every
# picture is present and non-empty in the rendered DOM, and a screenshot is
# taken. With VELK_SCREENSHOT=PATH the screenshot is also copied there (the
# README's picture, docs/images/diagnose-report.png, is made that way).
set -u
. "$VELK_SRC/tests/support/cli.bash"
for prog in velksim velktool5 velktoolcli-genposxml velktoolcli-genconfig \
    velktoolcli-mergexmls velktoolcli-diagnose; do
    [ -x "$VELK_BIN/$prog" ] || skip "$prog not built"
done
BROWSER=""
for b in chromium-headless-shell chromium; do
    command -v "$b" >/dev/null && { BROWSER=$(command -v "$b"); break; }
done
[ -n "$BROWSER" ] || skip "no headless Chromium (chromium-headless-shell)"
export PATH="$VELK_BIN:$PATH"
cd "$T" || exit 1
quiet() { "$@" >quiet.out 2>&1 || { fail "setup: $*"; tail -5 quiet.out; }; }

# A TSP measurement with two swapped channels and one overdriven recording.
quiet velksim --make-tsp tsp.wav --tsp-length 4096 --rate 16000
quiet velktoolcli-genposxml circle --type tsp --min-radius 1.5 --max-radius 1.5 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 350 --interval-azimuth 10 \
    --path 'rec/tsp_D{AZIMUTH:%03.0f}.wav' --output tsp_positions.xml
quiet velktoolcli-genposxml circle --type microphone --min-radius 0.05 --max-radius 0.05 \
    --interval-radius 0 --elevation 0 --min-azimuth 0 --max-azimuth 315 --interval-azimuth 45 \
    --output mic.xml
quiet velktoolcli-genconfig --sync 2 --offset 1000 --length 4096 --tsp-path "$T/tsp.wav" \
    --nfft 512 --rate 16000 --peak 0,0 config.xml
quiet velktoolcli-mergexmls --output tsp.xml tsp_positions.xml config.xml
quiet velksim --mics 8 --mic-radius 0.05 --sources 36 --azimuth-step 10 --source-radius 1.5 \
    --room 6,5,3 --center 3,2.5,1.2 --order 2 --rate 16000 --tsp tsp.wav --repeat 3 \
    --length 2048 --lead 1000 --gain 0.5 --seed 2 --output-dir rec --name 'tsp_D{AZIMUTH:%03.0f}.wav' \
    --swap 2,5 --clip 3,20
quiet velktool5 calctfrec --tsp-list tsp.xml --mic-list mic.xml --output-file tf.zip
velktoolcli-diagnose --recordings tsp.xml --mic-list mic.xml --report report.html tf.zip \
    >report.txt 2>report.err
[ $? = 2 ] || fail "diagnose did not exit with 2: $(cat report.err)"

# Self-contained: nothing to fetch, nothing to run.
grep -qiE '<script|<link|<img|<iframe|src=|url\(|@import' report.html &&
    fail "the report refers to something outside itself or runs a script"

# browser ARGS...: Chromium without network services or a shared profile.
browser() {
    timeout 120 "$BROWSER" --headless --no-sandbox --disable-gpu --disable-background-networking \
        --disable-component-update --disable-sync --no-first-run \
        --user-data-dir="$T/profile-$1" "${@:2}" "file://$T/report.html"
}
browser dom --dump-dom >dom.html 2>browser.err || fail "chromium could not load the page: $(tail -3 browser.err)"
/usr/bin/python3 - dom.html <<'EOF' || fail "a picture is missing or empty in the rendered page"
import re, sys
dom = open(sys.argv[1]).read()
bad = 0
for pic, marks in (('array', ('<circle',)), ('direction', ('<circle',)),
                   ('residuals', ('<rect',)), ('magnitude', ('<polyline',))):
    m = re.search(r'<svg id="%s".*?</svg>' % pic, dom, re.S)
    if m is None:
        print('no picture', pic); bad = 1; continue
    for mark in marks:
        if m.group(0).count(mark) < 8:
            print('picture', pic, 'holds too few', mark); bad = 1
    if pic == 'magnitude' and len(re.findall(r'points="([^"]+)"', m.group(0))[0].split()) < 200:
        print('magnitude curves are too short'); bad = 1
m = re.search(r'<table id="recordings".*?</table>', dom, re.S)
if m is None or m.group(0).count('<tr') != 37 or 'clipped' not in m.group(0):
    print('recordings table missing, short, or without the clipped recording'); bad = 1
if 'Channels 2 and 5 appear swapped' not in dom:
    print('the swap finding is not on the page'); bad = 1
sys.exit(bad)
EOF
browser shot --hide-scrollbars --window-size=1100,1560 --screenshot="$T/report.png" \
    >/dev/null 2>browser.err || fail "no screenshot: $(tail -3 browser.err)"
[ "$(head -c 4 report.png 2>/dev/null | tail -c 3)" = PNG ] && [ "$(stat -c %s report.png)" -gt 20000 ] ||
    fail "the screenshot is not a picture"
if [ -n "${VELK_SCREENSHOT:-}" ] && [ "$FAILS" = 0 ]; then
    cp report.png "$VELK_SCREENSHOT" || fail "cannot copy the screenshot to $VELK_SCREENSHOT"
fi

finish "the report renders in Chromium with every picture"
