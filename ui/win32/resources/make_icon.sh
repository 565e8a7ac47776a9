#!/usr/bin/env bash
# Renders qxflash.ico from the picture the Qt window draws (ui/qt/artwork.cpp,
# through packaging/make_icon.cpp) in the sizes Windows asks for. Run by hand
# on a Linux machine with Qt 6 when the picture changes; the icon it writes is
# kept in the tree because the Windows build has no Qt to draw it.
# Needs: g++, pkg-config, Qt 6 Gui (qt6-base-dev), python3.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC2046  # the flags are words
g++ -std=c++20 -O1 -fPIC -I"$root" $(pkg-config --cflags Qt6Gui) \
  "$root/packaging/make_icon.cpp" "$root/ui/qt/artwork.cpp" -o "$work/render" \
  $(pkg-config --libs Qt6Gui)
pictures=()
for size in 16 20 24 32 40 48 64 96 128 256; do
  QT_QPA_PLATFORM=offscreen "$work/render" "$work/$size.png" "$size"
  pictures+=("$work/$size.png")
done
python3 "$here/make_ico.py" "$here/qxflash.ico" "${pictures[@]}"
echo "wrote $here/qxflash.ico"
