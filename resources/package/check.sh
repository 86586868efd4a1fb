#!/bin/sh
# Builds the Debian package from a build folder (into OUT_DIR, the build
# folder by default) and checks it as Debian would: lintian (any error or
# warning fails; pedantic and info tags are shown), the desktop entry and the
# AppStream description.
#   check.sh BUILD_DIR [OUT_DIR]
set -eu
build=$1
out=${2:-$1}
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/tovrel_*.deb "$out"/tovrel-dbgsym_*.ddeb
if ! (cd "$build" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    exit 1
fi
deb=$(ls "$out"/tovrel_*.deb)
echo "lintian $deb"
status=0
lintian --fail-on error,warning --display-info --pedantic "$deb" >"$out/lintian.txt" 2>&1 ||
    status=$?
grep -v '^running with root privileges' "$out/lintian.txt" || true
if [ "$status" -ne 0 ]; then
    echo "lintian found errors or warnings (exit status $status)"
    exit 1
fi
desktop-file-validate "$here/tovrel.desktop"
appstreamcli validate --no-net "$here"/*.metainfo.xml
echo "package checks passed"
