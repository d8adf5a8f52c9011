#!/usr/bin/env bash
# The worked example of the documentation runs as written: its commands are
# taken from docs/formats.md between the marker
# comments and run in an empty directory; the documents shown in it must
# match what the commands produce.  Steps whose program is not built are
# skipped together with every later step (they use the earlier outputs).
set -u
DOC="$VELK_SRC/docs/formats.md"
grep -q 'worked-example:commands:begin' "$DOC" || { echo "FAIL: no worked example in docs"; exit 1; }
. "$VELK_SRC/tests/support/cli.bash"
cd "$T" || exit 1
export PATH="$VELK_BIN:$PATH"

# The commands, one per line: continuation lines joined, comments, blank
# lines and code fences dropped.
/usr/bin/python3 - "$DOC" >"$T/commands" <<'EOF'
import sys
text = open(sys.argv[1], encoding='utf-8').read()
block = text.split('<!-- worked-example:commands:begin -->')[1]
block = block.split('<!-- worked-example:commands:end -->')[0]
command = ''
for line in block.splitlines():
    stripped = line.strip()
    if not command and (not stripped or stripped.startswith('#') or stripped.startswith('```')):
        continue
    if stripped.endswith('\\'):
        command += stripped[:-1] + ' '
        continue
    print(command + stripped)
    command = ''
EOF
[ "$(wc -l <"$T/commands")" -ge 6 ] || fail "fewer commands than expected: $(cat "$T/commands")"

ran_all=1
while IFS= read -r cmd; do
    prog=${cmd%% *}
    if [ ! -x "$VELK_BIN/$prog" ]; then
        echo "SKIP: $prog not built; skipping it and the later steps"
        ran_all=0
        break
    fi
    bash -c "$cmd" >"$T/step.out" 2>"$T/step.err" </dev/null
    rc=$?
    [ "$rc" = 0 ] || fail "[$cmd] exit $rc: $(head -c 400 "$T/step.err")"
    grep -q '^SUCCESS$' "$T/step.err" || fail "[$cmd] printed no SUCCESS"
done <"$T/commands"

# Every document shown in the text (elided parts aside) is what the
# commands wrote, line for line and in order.
for f in measurement.xml mic.xml tsp.xml config.xml neighbors.xml; do
    grep -q "worked-example:output:$f:begin" "$DOC" || continue
    [ -e "$T/$f" ] || continue
    /usr/bin/python3 - "$DOC" "$f" "$T/$f" <<'EOF' || fail "$f differs from the documentation"
import sys
doc, name, path = sys.argv[1:]
text = open(doc, encoding='utf-8').read()
shown = text.split('<!-- worked-example:output:%s:begin -->' % name)[1]
shown = shown.split('<!-- worked-example:output:%s:end -->' % name)[0]
expected = [l for l in shown.splitlines()
            if l.strip() and not l.startswith('```') and '<!-- …' not in l]
actual = open(path, encoding='utf-8').read().splitlines()
at = 0
for line in expected:
    while at < len(actual) and actual[at] != line:
        at += 1
    if at == len(actual):
        print('not found in order: ' + line)
        sys.exit(1)
    at += 1
EOF
done

if [ -e "$T/tsp.xml" ]; then
    n=$(xmllint --xpath 'count(//position)' "$T/tsp.xml")
    [ "$n" = 72 ] || fail "tsp.xml holds $n positions, expected 72"
fi
if [ -e "$T/mic.xml" ]; then
    n=$(xmllint --xpath 'count(//position)' "$T/mic.xml")
    [ "$n" = 8 ] || fail "mic.xml holds $n positions, expected 8"
fi

if [ "$ran_all" = 1 ]; then
    velktoolcli-validxml measurement.xml >/dev/null 2>"$T/valid.err"
    rc=$?
    [ "$rc" = 0 ] && [ "$(cat "$T/valid.err")" = "SUCCESS" ] \
        || fail "validxml on measurement.xml: exit $rc, [$(cat "$T/valid.err")]"
fi

[ "$ran_all" = 1 ] || [ "$FAILS" != 0 ] || skip "the later steps of the example did not run"
finish "worked example ran as written"
