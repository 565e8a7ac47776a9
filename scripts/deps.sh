#!/usr/bin/env bash
# Installs the Debian 12 packages qxflash needs to build, test and run.
# Skips apt-get when everything is already there. dpkg-dev, binutils and file
# let cpack build the .deb; man-db, lintian, appstream(-compose), desktop-file-utils and
# shared-mime-info check it (tests/packaging).
# libsystemd-dev gives the sleep inhibitor and battery state their D-Bus
# library; dbus and python3-dbusmock run their tests on a private bus.
# at-spi2-core, python3-pyatspi and openbox let the window be tested from the
# keyboard and through the accessibility bus, as a screen reader reads it. The
# Windows build takes mingw-w64 (posix threads), GoogleTest's sources to build
# for it, wine to run its tests, nsis for its installer and python3 to read the
# installer's shortcuts.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
      qt6-base-dev fonts-liberation2 fonts-vlgothic xvfb xauth x11-apps x11-utils netpbm xdotool
      dpkg-dev binutils file man-db lintian appstream appstream-compose desktop-file-utils
      shared-mime-info
      libsystemd-dev dbus python3-dbusmock
      at-spi2-core python3-pyatspi dbus-x11 openbox
      g++-mingw-w64-x86-64-posix mingw-w64-tools googletest wine64 wine nsis python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# Waits up to 5 minutes for another apt-get or dpkg to let go of its lock.
lock=(-o DPkg::Lock::Timeout=300)
$sudo apt-get "${lock[@]}" update
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y --no-install-recommends \
  "${missing[@]}"
