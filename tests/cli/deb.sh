#!/usr/bin/env bash
# The Debian package built by cpack from this build directory: its Depends
# name the package of every shared library the programs link (as ldd sees
# them), and it holds the programs, gzipped manual pages, reference TSP,
# completions, copyright file and documentation under /usr. The package is
# not installed here: it is unpacked into a scratch tree, from which the
# tutorial and the demo run with the packaged programs alone.
set -u
BUILD=$(cd "$VELK_BIN/.." && pwd)
. "$VELK_SRC/tests/support/cli.bash"
for tool in cpack dpkg-deb dpkg ldd readelf; do
    command -v "$tool" >/dev/null || skip "$tool not installed"
done
[ -f "$BUILD/CPackConfig.cmake" ] || skip "$BUILD has no CPack configuration"

. "$VELK_SRC/tests/support/programs.bash"

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/log" 2>&1 ||
    { echo "FAIL: cpack -G DEB: $(tail -n 10 "$T/log")"; exit 1; }
DEB=$(ls "$T"/pkg/*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || { echo "FAIL: cpack wrote no .deb"; exit 1; }

dpkg-deb -f "$DEB" Package Version Architecture Section Maintainer Description >"$T/fields"
grep -qx "Package: velk" "$T/fields" || fail "package name: $(head -1 "$T/fields")"
grep -q "^Version: [0-9]" "$T/fields" || fail "no version"
grep -q "^Architecture: $(dpkg --print-architecture)$" "$T/fields" || fail "architecture"
grep -q "^Maintainer: ." "$T/fields" || fail "no maintainer"
grep -q "^Section: ." "$T/fields" || fail "no section"

# Depends: the package of every shared library that a program links
# directly (its NEEDED entries, resolved to files by ldd).
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
[ -n "$DEPENDS" ] || fail "the package has no Depends"
for prog in $PROGRAMS; do
    [ -x "$VELK_BIN/$prog" ] || continue
    ldd "$VELK_BIN/$prog" >"$T/ldd"
    for lib in $(readelf -d "$VELK_BIN/$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        path=$(awk -v lib="$lib" '$1 == lib && $2 == "=>" { print $3 }' "$T/ldd")
        [ -n "$path" ] || { fail "$prog: ldd does not resolve $lib"; continue; }
        echo "$lib $path"
    done
done | sort -u >"$T/libs"
# One dpkg query for all of them (with and without the /usr of a merged /usr).
dpkg -S $(awk '{ print $2; print "/usr" $2; sub(/^\/usr/, "", $2); print $2 }' "$T/libs" | sort -u) \
    2>/dev/null >"$T/owners"
while read -r lib path; do
    pkg=$(awk -v p="$path" '{ f = $NF; if (f == p || "/usr" f == p || f == "/usr" p) { sub(/:.*/, "", $1); print $1; exit } }' "$T/owners")
    [ -n "$pkg" ] || continue          # not from a package (a local build)
    [[ ", $DEPENDS," == *", $pkg "* || ", $DEPENDS," == *", $pkg,"* ]] ||
        fail "the programs link $lib of $pkg, which Depends ($DEPENDS) does not name"
done <"$T/libs"
[ -s "$T/libs" ] || fail "no shared library found with readelf and ldd"
for pkg in libpopt0 libzip4 libxml2 libsndfile1; do
    [[ $DEPENDS == *"$pkg"* ]] || fail "Depends lacks $pkg"
done

# The file list.
dpkg-deb -c "$DEB" | awk '{ print $NF }' | sed 's:^\./:/:' >"$T/files"
for prog in $PROGRAMS; do
    for f in "/usr/bin/$prog" "/usr/share/man/man1/$prog.1.gz" "/usr/share/bash-completion/completions/$prog"; do
        grep -qx "$f" "$T/files" || fail "package lacks $f"
    done
done
for f in /usr/share/velk/16384.little_endian.wav /usr/share/doc/velk/README.md \
    /usr/share/doc/velk/docs/tutorial.md /usr/share/doc/velk/examples/zip2coord.gp \
    /usr/share/doc/velk/copyright /usr/share/doc/velk/changelog.gz; do
    grep -qx "$f" "$T/files" || fail "package lacks $f"
done
grep -E '/(velksim|velktfsummary|velkwavread|velkzipbench|test_[a-z_]*)$' "$T/files" &&
    fail "package holds developer or test programs"
grep -v '^/usr/' "$T/files" | grep -vx '/' && fail "package installs outside /usr"

# The packaged genconfig names the packaged TSP by default.
dpkg-deb -x "$DEB" "$T/root"
"$T/root/usr/bin/velktoolcli-genconfig" "$T/c.xml" 2>/dev/null || fail "packaged genconfig does not run"
TSP=$(sed -n 's:.*<tspPath>\(.*\)</tspPath>.*:\1:p' "$T/c.xml")
[ -s "$T/root$TSP" ] || fail "genconfig's default TSP $TSP is not in the package"
for page in "$T"/root/usr/share/man/man1/*; do
    gzip -t "$page" 2>/dev/null || fail "manual page $page is not gzipped"
done
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$T/root/usr/share/doc/velk/copyright" || fail "the copyright file is not machine-readable"

# The tutorial, start to finish, with the unpacked package's programs and
# files alone (nothing of the build on PATH).
VELK_BIN="$T/root/usr/bin" VELK_INSTALLED_ROOT="$T/root" bash "$VELK_SRC/tests/cli/tutorial.sh" >"$T/tutorial" 2>&1
case $? in
0) echo "the tutorial runs from the package" ;;
77) echo "tutorial from the package: $(grep SKIP "$T/tutorial")" ;;
*) fail "the tutorial from the package: $(tail -n 15 "$T/tutorial")" ;;
esac
# So does the demo, installed as documentation.
(cd "$T" && PATH="$T/root/usr/bin:/usr/bin:/bin" bash "$T/root/usr/share/doc/velk/examples/demo.sh" - demo) \
    >"$T/demo.log" 2>&1 || fail "the demo from the package: $(tail -n 15 "$T/demo.log")"
grep -q "demo finished" "$T/demo.log" || fail "the demo from the package did not finish"

finish "the .deb depends on what the programs link and holds every file"
