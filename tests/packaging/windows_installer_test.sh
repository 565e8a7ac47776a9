#!/usr/bin/env bash
# The Windows installer: windows_installer_test.sh BUILD_DIR
# cpack makes the NSIS installer, a 64-bit program. Installed silently under
# wine (a private prefix in a temporary folder, no display) it puts the files
# into C:\Program Files\qxflash, the Start menu entries and the desktop icon
# onto qxflashw.exe, the release file type, the PATH entry and the uninstall
# entry into the 64-bit registry; the silent uninstaller removes all of that
# again and leaves the user's settings and history alone. A second round
# installs over an installed version (which goes first) without the options,
# and uninstalls after another program has taken the file type: that program
# keeps it.
# Every wine step has a time limit, so that a hanging wine fails the test.
set -u
build=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d)
wine=/usr/lib/wine/wine64  # /usr/bin/wine asks for the 32-bit wine
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$tmp/wine WINEARCH=win64 WINEDEBUG=-all HOME=$tmp/home
# No Mono or Gecko prompts, and no menu entries of the host made from the
# Start menu the installer writes.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME
mkdir -p "$HOME"
trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL (windows installer): $*"
  exit 1
}

# win LIMIT PROGRAM [ARGS...]: runs a Windows program for at most LIMIT
# seconds; its output goes to $tmp/out. Wine's own helper processes inherit
# the output: a file, never a pipe that someone waits on.
win() {
  local limit=$1
  shift
  timeout "$limit" "$wine" "$@" </dev/null >"$tmp/out" 2>"$tmp/err"
}
# until_wine_ends: waits (at most 120 s) until every program of the prefix
# has ended and the wineserver with them.
until_wine_ends() { timeout 120 "$wineserver" -w </dev/null >/dev/null 2>&1; }
# reg_query KEY [ARGS...]: reg query, its output in $tmp/out; status 1 when
# the key or value is missing. Wine itself may fail to start a program now and
# then (a CI run once lost one value of the uninstall entry that every other
# run found); a failure that is not reg's "Unable to find"
# is tried again and, if it stays, ends the test with what wine said.
reg_query() {
  local try
  for try in 1 2 3; do
    win 60 reg query "$@" && return 0
    grep -q "Unable to find the specified registry" "$tmp/out" && return 1
    sleep 1
  done
  echo "FAIL (windows installer): reg query $* failed: $(cat "$tmp/out" "$tmp/err" | tr -d '\r' | head -c 500)" >&2
  exit 1
}
# reg_value KEY [NAME]: the data of a value (the default value without NAME);
# status 1 when the key or value is missing.
reg_value() {
  local which=(/ve)
  [ $# -ge 2 ] && which=(/v "$2")
  reg_query "$1" "${which[@]}" || return 1
  tr -d '\r' <"$tmp/out" | sed -n 's/^    .*    REG_[A-Z_]*\( \{4\}\|$\)//p' | head -n 1
}
reg_key_exists() { reg_query "$1"; }
unix_path() { win 60 winepath -u "$1" && tr -d '\r' <"$tmp/out"; }

# The installer, from the build's package settings.
cpack -G NSIS --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack -G NSIS failed"; }
made=("$tmp"/pkg/*.exe)
installer=${made[0]}
[ -f "$installer" ] || fail "cpack made no installer"
# is_64_bit WHAT FILE: fails unless FILE is a 64-bit Windows program.
is_64_bit() {
  local kind
  kind=$(file -b "$2")
  [[ $kind == "PE32+ executable (GUI) x86-64"* ]] || fail "$1 is not a 64-bit program: $kind"
}
is_64_bit "the installer" "$installer"

timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot -i failed"
until_wine_ends || fail "wine did not end after wineboot"

dir='C:\Program Files\qxflash'
exe="$dir"'\bin\qxflashw.exe'
udir=$(unix_path "$dir") || fail "winepath"
win 60 cmd /c 'echo %ProgramData%\Microsoft\Windows\Start Menu\Programs\qxflash' || fail "cmd"
start_menu=$(unix_path "$(tr -d '\r' <"$tmp/out")") || fail "winepath"
win 60 cmd /c 'echo %PUBLIC%\Desktop\qxflash.lnk' || fail "cmd"
desktop_lnk=$(unix_path "$(tr -d '\r' <"$tmp/out")") || fail "winepath"
win 60 cmd /c 'echo %LOCALAPPDATA%\qxflash\history.jsonl' || fail "cmd"
history=$(unix_path "$(tr -d '\r' <"$tmp/out")") || fail "winepath"

# The user's own state, which no install or uninstall may touch.
settings='HKCU\Software\qxflash\DUDUrevorod\Startup'
win 60 reg add "$settings" /v Ha /d 1 /f || fail "cannot write the user's settings"
mkdir -p "$(dirname "$history")" && echo '{"seeded":true}' >"$history"

env_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
path_before=$(reg_value "$env_key" PATH) || fail "no system PATH"
# A PATH longer than the 1024 characters of an NSIS string, as on many a
# developer's machine.
for i in $(seq 100 159); do path_before+=";C:\\Tools\\tool-$i\\bin"; done
win 60 reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$path_before" /f ||
  fail "cannot lengthen the system PATH"
[ "$(reg_value "$env_key" PATH)" = "$path_before" ] || fail "the long system PATH did not stick"
[ ${#path_before} -gt 1100 ] || fail "the PATH is too short to test: ${#path_before}"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\qxflash'
open_command="\"$exe\" --drives \"%1\""

# What an install adds to the registry: KEY|NAME (empty: the default)|DATA.
registered=(
  "HKLM\\Software\\Classes\\.OUB||qxflash.Release"
  "HKLM\\Software\\Classes\\.OUB\\OpenWithProgids|qxflash.Release|"
  "HKLM\\Software\\Classes\\qxflash.Release\\shell\\open\\command||$open_command"
  "HKLM\\Software\\Classes\\qxflash.Release\\DefaultIcon||$exe,0"
  "$uninstall_key|DisplayIcon|$exe"
  "$uninstall_key|UninstallString|\"$dir\\Uninstall.exe\""
  "$uninstall_key|QuietUninstallString|\"$dir\\Uninstall.exe\" /S"
  "$uninstall_key|InstallLocation|$dir"
  "$uninstall_key|Publisher|qxflash developers"
  "HKLM\\Software\\qxflash developers\\qxflash||$dir"
)
# Shortcuts: FILE|TARGET|ARGUMENTS|WORKING FOLDER.
shortcuts=(
  "$start_menu/qxflash.lnk|$exe|--drives|$dir"
  "$start_menu/qxflash (simulated bus).lnk|$exe|--sim|$dir\\examples\\releases"
  "$start_menu/Uninstall qxflash.lnk|$dir\\Uninstall.exe||$dir"
)
installed_files=(bin/qxflash.exe bin/qxflashw.exe README.md LICENSE
                 examples/releases/QXR4410_ALL.OUB Uninstall.exe)
copyright=$(grep -m 1 '^Copyright ' "$here/../../LICENSE")
# The programs' own descriptions: FILE|DESCRIPTION.
descriptions=(
  "bin/qxflash.exe|qxflash - QX-R4410 firmware download (command line)"
  "bin/qxflashw.exe|qxflash - QX-R4410 firmware download"
)

# check_shortcut "FILE|TARGET|ARGUMENTS|WORKING FOLDER"
check_shortcut() {
  local lnk target args workdir want
  IFS='|' read -r lnk target args workdir <<<"$1"
  [ -f "$lnk" ] || fail "no shortcut $lnk"
  python3 "$here/read_lnk.py" "$lnk" >"$tmp/lnk" || fail "cannot read $lnk"
  for want in "target=$target" "arguments=$args" "workdir=$workdir"; do
    grep -qxF "$want" "$tmp/lnk" ||
      fail "$(basename "$lnk"): wants $want; has $(tr '\n' ' ' <"$tmp/lnk")"
  done
}

check_installed() {
  local f row key name want got
  for f in "${installed_files[@]}"; do
    [ -f "$udir/$f" ] || fail "not installed: $dir\\$f"
  done
  is_64_bit "the uninstaller" "$udir/Uninstall.exe"
  for row in "${registered[@]}"; do
    IFS='|' read -r key name want <<<"$row"
    got=$(reg_value "$key" ${name:+"$name"}) || fail "not registered: $key [$name]"
    [ "$got" = "$want" ] || fail "$key [$name] is '$got', not '$want'"
  done
  reg_key_exists 'HKLM\Software\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\qxflash' &&
    fail "the uninstall entry is in the 32-bit registry view"
  for row in "${shortcuts[@]}"; do
    check_shortcut "$row"
  done
  # The version resource of both programs: makers, copyright, what it is.
  for row in "${descriptions[@]}"; do
    IFS='|' read -r f want <<<"$row"
    strings -el "$udir/$f" >"$tmp/strings"
    for want in "qxflash developers" "$copyright" "qxflash" "$want"; do
      grep -qxF "$want" "$tmp/strings" || fail "the version resource of $f lacks '$want'"
    done
  done
  win 60 "$udir/bin/qxflash.exe" --version || fail "the installed qxflash.exe does not run"
  grep -q "(Windows build)" "$tmp/out" || fail "qxflash.exe --version said: $(cat "$tmp/out")"
}

# Uninstalls as Settings > Apps does: the uninstaller copies itself to a
# temporary folder, starts the copy and ends; the copy does the work.
uninstall() {
  win 60 "$udir/Uninstall.exe" /S || fail "Uninstall.exe /S failed"
  until_wine_ends || fail "the uninstaller did not end"
  [ ! -e "$udir" ] || fail "left behind: $(cd "$udir" && find . | tr '\n' ' ')"
  [ ! -e "$start_menu" ] || fail "left behind: the Start menu folder"
  [ ! -e "$desktop_lnk" ] || fail "left behind: the desktop icon"
  local row key name want
  for row in "${registered[@]}"; do
    IFS='|' read -r key name want <<<"$row"
    [ "$key" = 'HKLM\Software\Classes\.OUB' ] && continue  # checked by each round
    reg_value "$key" ${name:+"$name"} >/dev/null && fail "left behind: $key [$name]"
  done
  reg_key_exists "$uninstall_key" && fail "left behind: $uninstall_key"
  reg_key_exists 'HKLM\Software\qxflash developers' && fail "left behind: the installer's key"
  [ "$(reg_value "$env_key" PATH)" = "$path_before" ] || fail "the system PATH is not as before"
  [ "$(reg_value "$settings" Ha)" = 1 ] || fail "the user's settings are gone"
  [ -f "$history" ] || fail "the user's history is gone"
}

# Round 1: everything, then all of it away again.
win 180 "$installer" /S /DESKTOP /PATH || fail "the silent install failed ($(cat "$tmp/err"))"
until_wine_ends || fail "the installer did not end"
check_installed
check_shortcut "$desktop_lnk|$exe|--drives|$dir"
[ "$(reg_value "$env_key" PATH)" = "$path_before;$dir\\bin" ] ||
  fail "the system PATH does not end in $dir\\bin: $(reg_value "$env_key" PATH)"
uninstall
reg_key_exists 'HKLM\Software\Classes\.OUB' && fail "left behind: the .OUB file type"

# Round 2: an install with a desktop icon, replaced by one without (the
# installed version is uninstalled first, its icon with it); another program
# takes .OUB before the uninstall.
for options in /DESKTOP ""; do
  win 180 "$installer" /S $options ||
    fail "the silent install $options failed ($(cat "$tmp/err"))"
  until_wine_ends || fail "the installer $options did not end"
done
check_installed
[ ! -e "$desktop_lnk" ] ||
  fail "the installed version was not removed first: its desktop icon is left"
[ "$(reg_value "$env_key" PATH)" = "$path_before" ] || fail "the PATH changed without /PATH"
win 60 reg add 'HKLM\Software\Classes\.OUB' /ve /d Other.Release /f || fail "reg add"
uninstall
[ "$(reg_value 'HKLM\Software\Classes\.OUB')" = Other.Release ] ||
  fail "the uninstaller took .OUB from the program that has it now"
echo "ok (windows installer: $(basename "$installer"))"
