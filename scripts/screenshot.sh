#!/usr/bin/env bash
# Takes docs/screenshot.png: the desktop window on the simulated bus after a
# "SCSI Rescan", on a virtual X server (Xvfb), captured with xwd and converted
# with netpbm. Builds qxflash with the GUI first if the build has none.
#
# Usage: scripts/screenshot.sh [OUTPUT.png]
# Environment: QXFLASH_BUILD_DIR (default build-qt), SCREEN (default 1024x768x24).
# Needs: xvfb-run (xvfb, xauth), xwd (x11-apps), netpbm, fonts-liberation2.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QXFLASH_BUILD_DIR:-$root/build-qt}
out=${1:-$root/docs/screenshot.png}
screen=${SCREEN:-1024x768x24}

for tool in xvfb-run xwd xwdtopnm pnmcrop pnmtopng; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 2; }
done

if [[ ! -x $build/app/qxflash ]] || ! grep -q "QXFLASH_HAVE_QT" "$build/app/CMakeFiles/qxflash.dir/flags.make" 2>/dev/null; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXFLASH_BUILD_BENCH=OFF \
    -DQXFLASH_BUILD_GUI=ON >/dev/null
fi
cmake --build "$build" --target qxflash -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"

# Runs inside the X session: start the window with the scan hook, wait until
# the scan has finished and the window has repainted, grab the screen, and let
# the program close its window by itself.
cat >"$work/inside.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
qxflash=$1 releases=$2 work=$3
QXFLASH_GUI_AUTOSCAN=1 QXFLASH_GUI_QUIT_AFTER_MS=3000 \
  "$qxflash" --sim --dir "$releases" 2>"$work/app.log" &
pid=$!
for _ in $(seq 1 200); do
  grep -q "autoscan finished" "$work/app.log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/app.log" >&2; exit 1; }
  sleep 0.1
done
grep -q "autoscan finished" "$work/app.log" || { echo "window did not come up" >&2; kill "$pid"; exit 1; }
sleep 0.7
xwd -root -silent >"$work/screen.xwd"
wait "$pid"
INNER
chmod +x "$work/inside.sh"

XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/runtime \
  xvfb-run -a -s "-screen 0 $screen -br -nolisten tcp" \
  "$work/inside.sh" "$build/app/qxflash" "$root/examples/releases" "$work"

# The window sits in the top-left corner of a black screen: crop the black.
mkdir -p "$(dirname "$out")"
xwdtopnm "$work/screen.xwd" 2>/dev/null | pnmcrop -black -right -bottom 2>/dev/null | pnmtopng >"$out"
echo "wrote $out"
