#!/usr/bin/env bash
# Takes docs/screenshot-win32.png (the main window on the simulated bus after
# a rescan, QXR4410_ALL.OUB chosen) and docs/screenshot-win32-debug.png (the
# debug window of a run with --trace after a rescan), from the Win32 build
# under wine on a virtual X server, captured with xwd and cut out with netpbm.
#
#   screenshot.sh QXFLASH_EXE PROBE_EXE [OUTPUT_DIR]
#
# OUTPUT_DIR defaults to docs/ of this tree. Needs: wine64, Xvfb, xdotool,
# xwd, netpbm.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exe=$(realpath "${1:?usage: screenshot.sh QXFLASH_EXE PROBE_EXE [OUTPUT_DIR]}")
probe_exe=$(realpath "${2:?}")
out=${3:-$root/docs}
wine=${QX_WINE:-/usr/lib/wine/wine64}
wineserver=${QX_WINESERVER:-/usr/lib/wine/wineserver}

work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
xvfb_pid=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=:$(head -1 "$work/display")
export DISPLAY
"$wine" wineboot -i </dev/null >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1

probe() { "$wine" "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }
rect_of() { sed -n 's/.* rect=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p' <<<"$1"; }
# cutout OUTPUT LINE: the window of the probe line, without the black around it.
cutout() {
  local l t r b
  read -r l t r b < <(rect_of "$2")
  xwd -root -silent | xwdtopnm 2>/dev/null |
    pamcut -left "$l" -top "$t" -width $((r - l)) -height $((b - t)) |
    pnmcrop -black 2>/dev/null | pnmtopng >"$1"
  echo "wrote $1"
}
app_pid=
run() {
  (cd "$root/examples/releases" &&
    QXFLASH_GUI_AUTOSCAN=1 exec "$wine" "$exe" --sim "$@" >"$work/app.log" 2>&1) &
  app_pid=$!
  for _ in $(seq 300); do grep -q "autoscan finished" "$work/app.log" && return; sleep 0.1; done
  echo "screenshot.sh: the window did not come up" >&2
  cat "$work/app.log" >&2
  exit 1
}
finish() {
  probe close
  wait "$app_pid"
}

mkdir -p "$out"
run
read -r l t _ < <(rect_of "$(probe wait 5000 'name=File1 ')")
xdotool mousemove $((l + 40)) $((t + 10)) click 1
xdotool key End
probe wait 5000 'name=ReleaseSummary ' 'visible=1' 'Areas 0, 1, 2' >/dev/null
xdotool mousemove 1270 790
sleep 0.5
cutout "$out/screenshot-win32.png" "$(probe wait 2000 'class=qxflash.MAIN')"
finish

run --trace
sleep 0.5
cutout "$out/screenshot-win32-debug.png" "$(probe wait 2000 'class=qxflash.D_WIn')"
finish
