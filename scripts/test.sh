#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs the whole test suite in
# the presets default (RelWithDebInfo), asan (AddressSanitizer + UBSan) and
# windows (64-bit Windows with mingw-w64, tests under wine), then makes the
# Windows zip and installer (build/windows).
# Set QXFLASH_RIG=1 to run the real-kernel SCSI rig tests too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
status=0
for preset in default asan windows; do
  echo "=== preset $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
# The Windows packages as released: the zip and the installer.
(cd build/windows && cpack) || status=1
rig_tests=$(ctest --test-dir build/default -N -L rig)
if [ "${QXFLASH_RIG:-0}" = 1 ] && grep -q "Test *#" <<<"$rig_tests"; then
  echo "=== rig ==="
  ctest --test-dir build/default -L rig --output-on-failure || status=1
fi
exit $status
