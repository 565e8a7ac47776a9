#!/usr/bin/env bash
# The Windows package: windows_package_test.sh BUILD_DIR EMULATOR [EMULATOR ARGS...]
# cpack makes the zip; it holds qxflash.exe and the window program
# qxflashw.exe, the README and the license, and the packed qxflash.exe runs
# (under the emulator) and says it is the Windows build.
set -u
build=$1
shift
emulator=("$@")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL (windows package): $*"; exit 1; }

cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack failed"; }
zip=$(ls "$tmp"/out/*.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || fail "cpack made no zip"
cmake -E tar tf "$zip" >"$tmp/list" || fail "cannot list $zip"
for f in bin/qxflash.exe bin/qxflashw.exe README.md LICENSE examples/releases/QXR4410_ALL.OUB; do
  grep -q "/$f\$" "$tmp/list" || fail "$zip lacks $f"
done
(cd "$tmp" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
exe=$(ls "$tmp"/*/bin/qxflash.exe)
version=$("${emulator[@]}" "$exe" --version 2>&1) || fail "the packed qxflash.exe does not run: $version"
[[ $version == *"(Windows build)"* ]] || fail "qxflash.exe --version said: $version"
echo "ok (windows package: $(basename "$zip"))"
