#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds qxflash and runs it on the simulated
# bus with the sample releases: the desktop window when a display is there, the
# command-line walk-through (scan, version, download) otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qxflash
qx=build/default/app/qxflash
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && "$qx" --help >/dev/null; then
  exec "$qx" --sim --dir examples/releases "$@"
fi
echo "No display: showing the command line on the simulated bus instead."
echo "\$ qxflash --sim scan"
"$qx" --sim scan
echo "\$ qxflash --sim version --ha 0 --id 2"
"$qx" --sim version --ha 0 --id 2
echo "\$ qxflash --sim download examples/releases/QXR4410_ALL.OUB --ha 0 --id 2 --yes"
"$qx" --sim download examples/releases/QXR4410_ALL.OUB --ha 0 --id 2 --yes
