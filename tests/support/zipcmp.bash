# same_members A B: the zip archives A and B hold the same members, in any
# order, with the same bytes.  The zip headers carry the time of writing,
# so archives of the same data written at different times differ as files.
same_members() {
    python3 - "$1" "$2" <<'PY'
import sys, zipfile
def members(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n) for n in z.namelist()}
a, b = members(sys.argv[1]), members(sys.argv[2])
sys.exit(0 if a and a == b else 1)
PY
}
