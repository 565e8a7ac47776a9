#!/usr/bin/env bash
# shellcheck disable=SC2015,SC2001  # "test && pass || fail": pass always succeeds
# The Win32 window under wine on a virtual X server (Xvfb), driven as an
# operator drives it: xdotool moves the mouse and types on the X display, and
# win32_probe.exe reads the window back through window messages (control
# texts, list items and selections, enabled states, screen rectangles; see
# probe.cpp). Screenshots (xwd, netpbm) check what is painted.
#
#   win32_test.sh QXFLASH_EXE PROBE_EXE SOURCE_DIR [WINE_PREFIX]
#
# WINE_PREFIX: a wine prefix to use (made when missing, about 10 s); default
# a temporary one. Exits 77 when a tool is missing (ctest counts it skipped).
# Needs: wine64, Xvfb, xdotool, xwd, xmessage, netpbm.
set -uo pipefail

exe=${1:?usage: win32_test.sh QXFLASH_EXE PROBE_EXE SOURCE_DIR [WINE_PREFIX]}
probe_exe=${2:?}
source_dir=${3:?}
exe=$(realpath "$exe")
probe_exe=$(realpath "$probe_exe")
source_dir=$(realpath "$source_dir")
wine=${QX_WINE:-/usr/lib/wine/wine64}
wineserver=${QX_WINESERVER:-/usr/lib/wine/wineserver}

for tool in "$wine" "$wineserver" Xvfb xdotool xwd xmessage xwdtopnm pamcut pnmdepth ppmhist; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
export WINEPREFIX=${4:-$work/wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
xvfb_pid=
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "${QX_KEEP:-}" ] && cat "$work/app.log"
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
passes=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() {
  echo "ok: $*"
  passes=$((passes + 1))
}

# A display of its own, sized for the main and the debug window side by side.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=:$(head -1 "$work/display")
export DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
  "$wineserver" -w
fi
"$wineserver" -p </dev/null >/dev/null 2>&1
# Each run starts without settings, placement or history.
"$wine" reg delete 'HKCU\Software\qxflash' /f >/dev/null 2>&1
state=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/qxflash
history_file=$state/history.jsonl
rm -rf "$state"

probe() { "$wine" "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }
# waitfor MS TEXT...: the first window line holding every TEXT, within MS.
waitfor() { probe wait "$@"; }
# center LINE: the middle of the line's rect= in screen pixels.
center() {
  sed -n 's/.* rect=\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\).*/\1 \2 \3 \4/p' <<<"$1" |
    awk '{ printf "%d %d\n", ($1 + $3) / 2, ($2 + $4) / 2 }'
}
click_line() {
  local at
  at=$(center "$1")
  [ -n "$at" ] || return 1
  # shellcheck disable=SC2086  # two numbers
  xdotool mousemove $at click 1
}
control() { probe dump | grep -m1 " name=$1 "; }
# dominant R G B of a screen rectangle (x y w h) in the screenshot $1.
dominant() {
  xwdtopnm "$1" 2>/dev/null | pamcut -left "$2" -top "$3" -width "$4" -height "$5" |
    pnmdepth 255 | ppmhist -noheader 2>/dev/null | head -1 | awk '{ print $1, $2, $3 }'
}
shot() { xwd -root -silent >"$1"; }

# start ARGS...: the program in the sample releases' directory; waits for its window.
start() {
  (cd "$source_dir/examples/releases" && exec "$wine" "$exe" "$@" >"$work/app.log" 2>&1) &
  app_pid=$!
  waitfor 30000 "class=qxflash.MAIN" "visible=1" >/dev/null
}
# stop: Alt+F4 on the main window; the program must end by itself with 0.
# (Keys go to the status line, Text1: wine's combo boxes swallow Alt+F4.)
stop() {
  click_line "$(control Text1)"
  xdotool key alt+F4
  local rc
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app_pid" 2>/dev/null; then
    fail "the window did not close"
    kill "$app_pid"
  fi
  wait "$app_pid"
  rc=$?
  app_pid=
  return $rc
}
rescan() {
  click_line "$(control Text1)"
  xdotool key alt+s
  sleep 0.3
  xdotool key r
}

cat >"$work/slow.json" <<'EOF'
{
  "manager_status": 1,
  "adapters": [
    {"ha": 0, "identifier": "SIM-HA0",
     "targets": [{"id": 2, "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410",
                  "revision": "1.10", "vendor_specific": " (2003/05/12)"},
                  "delay_ms": DELAY}]}
  ]
}
EOF
sed 's/DELAY/6000/' "$work/slow.json" >"$work/slow6000.json"
sed 's/DELAY/2500/' "$work/slow.json" >"$work/slow2500.json"
sed 's/DELAY/700/' "$work/slow.json" >"$work/slow700.json"

# ---------------------------------------------------------------------------
phase_download() {
echo "== the window on the simulated bus: rescan, a release, a download"
t0=$SECONDS
start --sim
main=$(waitfor 5000 "class=qxflash.MAIN")
grep -q 'title="QX-R4410 Firmware Download — SIMULATED BUS (no real drive)"' <<<"$main" &&
  pass "title names the simulated bus" || fail "title: $main"
grep -q 'text="SIMULATED BUS — no real drive is written"' <<<"$(control TransportBadge)" &&
  pass "banner" || fail "banner: $(control TransportBadge)"
grep -q "count=0" <<<"$(control ComboHA)" && pass "no adapters before the scan" ||
  fail "adapters before the scan: $(control ComboHA)"
grep -q 'enabled=0' <<<"$(control Tyusi)" && pass "Abort disabled while idle" || fail "Abort"

rescan
if waitfor 10000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null; then
  pass "SCSI Option > SCSI Rescan (Alt+S, R) ran the scan"
else
  fail "no scan: $(control Text1)"
fi
grep -q 'items="0:SIM-HA0|2:SIM-HA2"' <<<"$(control ComboHA)" && pass "adapter list" ||
  fail "adapters: $(control ComboHA)"
grep -q 'sel=0 items="2:QX-R4410        |5:SIMDISK         "' <<<"$(control ComboID)" &&
  pass "target list" || fail "targets: $(control ComboID)"
grep -q 'text=" 1.10 (2003/05/12) "' <<<"$(control FWVer)" && pass "firmware version" ||
  fail "firmware: $(control FWVer)"
grep -q 'count=12 ' <<<"$(control File1)" && pass "the twelve releases in File1" ||
  fail "files: $(control File1)"

# The first release (top of the list), then the last one with the End key.
read -r l t _ < <(sed -n 's/.* rect=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p' \
  <<<"$(control File1)")
xdotool mousemove $((l + 40)) $((t + 10)) click 1
line=$(waitfor 3000 'name=ReleaseSummary ' 'visible=1')
grep -q 'text="Download would stop: \\"File CheckSum Error\\"' <<<"$line" &&
  pass "a click on BAD_CHECKSUM.OUB shows why it would stop" || fail "summary: $line"
grep -q 'text="BAD_CHECKSUM.OUB"' <<<"$(control Label4)" && pass "Label4" || fail "$(control Label4)"
xdotool key End
line=$(waitfor 3000 'name=ReleaseSummary ' 'Areas 0, 1, 2: blocks 0-15 (16 of 16)')
[ -n "$line" ] && pass "End chooses QXR4410_ALL.OUB and its summary" ||
  fail "summary: $(control ReleaseSummary)"

click_line "$(control Command1)"
box=$(waitfor 5000 'id=65535' 'text="Firmware Download Execute"')
if [ -n "$box" ]; then
  pass "confirmation box"
  click_line "$(probe dump | grep -m1 'id=1 class=Button text="OK"')"
  done_box=$(waitfor 20000 'id=65535' 'Wait until all LED off.\r\nAfter all LED off ,turn Off drive & PC power.')
  [ -n "$done_box" ] && pass "done box" || fail "no done box"
  grep -q 'pos=16 max=16' <<<"$(control Progress)" && pass "progress 16 of 16" ||
    fail "progress: $(control Progress)"
  click_line "$(probe dump | grep -m1 'id=2 class=Button text="OK"\|id=1 class=Button text="OK"')"
  waitfor 5000 'name=Command1 ' 'enabled=1' >/dev/null && pass "idle again" || fail "still busy"
else
  fail "no confirmation box: $(probe dump | grep -A4 '#32770')"
fi
if grep -q '"blocks_sent":16,.*"outcome":"done"' "$history_file" 2>/dev/null; then
  pass "the history records the download: 16 blocks, done"
else
  fail "history: $(cat "$history_file" 2>/dev/null)"
fi
# The drive restarts after the save (the simulator's reprogramming commands:
# a scan meanwhile does not list it); once it answers again, a scan checks it
# against the history.
line=
for _ in 1 2 3 4; do
  rescan
  waitfor 5000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null
  line=$(waitfor 1000 'name=HistoryNotes ' 'visible=1' 'Target 0:2:QX-R4410: firmware now 1.20')
  [ -n "$line" ] && break
done
[ -n "$line" ] && pass "after the restart a rescan says the firmware changed" ||
  fail "history notice: $(control HistoryNotes)"
# The History menu lists it (its key, Ctrl+H; Alt+H is the adapter list's).
click_line "$(control Text1)"
xdotool key ctrl+h
line=$(waitfor 5000 'name=HistoryTable ' 'rows=2' 'visible=1')
[ -n "$line" ] && pass "History shows the download and the check" ||
  fail "history table: $(control HistoryTable)"
xdotool key Escape
waitfor 3000 'class=qxflash.History' 'visible=0' >/dev/null && pass "Escape closes it" ||
  fail "history window still open"
stop && pass "Alt+F4 closes the window, exit status 0" || fail "exit status"
"$wine" reg query 'HKCU\Software\qxflash\DUDUrevorod\Startup' /v ID 2>/dev/null | grep -q REG_SZ &&
  pass "settings in HKCU\\Software\\qxflash\\DUDUrevorod\\Startup" || fail "no settings"
echo "   ($((SECONDS - t0)) s)"

}

# ---------------------------------------------------------------------------
phase_repaint() {
echo "== a 6 s command: the window repaints and drops other input"
t0=$SECONDS
start --sim="$work/slow6000.json"
rescan
# (The probe's arguments pass through the ANSI code page: ASCII only.)
line=$(waitfor 5000 'name=WaitInfo ' 'text="Inquiry ')
grep -q 'text="Inquiry – [0-9] s"' <<<"$line" &&
  pass "the waiting line names the command: $(sed 's/.*text="\([^"]*\)".*/\1/' <<<"$line")" ||
  fail "no waiting line: $(control WaitInfo)"
banner=$(control TransportBadge)
read -r bl bt br bb < <(sed -n 's/.* rect=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p' <<<"$banner")
# A click on Download Start while the drive works must come to nothing.
click_line "$(control Command1)"
xmessage -geometry 700x700+0+0 -bg '#203050' -fg '#203050' cover 2>/dev/null &
cover_pid=$!
sleep 1.5
shot "$work/covered.xwd"
kill "$cover_pid"
wait "$cover_pid" 2>/dev/null
sleep 0.1
shot "$work/uncovered.xwd"
covered=$(dominant "$work/covered.xwd" $((bl + 4)) $((bt + 4)) $((br - bl - 8)) $((bb - bt - 8)))
uncovered=$(dominant "$work/uncovered.xwd" $((bl + 4)) $((bt + 4)) $((br - bl - 8)) $((bb - bt - 8)))
[ "$covered" != "255 216 77" ] && pass "covered: the banner is hidden ($covered)" ||
  fail "the cover did not cover"
[ "$uncovered" = "255 216 77" ] && pass "100 ms after uncovering, the banner is painted again" ||
  fail "not repainted after uncovering: $uncovered"
grep -q 'text="SCSI Rescan Executing"' <<<"$(control Text1)" &&
  pass "the command was still running then" || fail "the scan had ended: $(control Text1)"
line=$(waitfor 20000 'name=Text1 ' 'text="SCSI Rescan Complete "')
[ -n "$line" ] && pass "the scan completed" || fail "scan: $(control Text1)"
sleep 1
probe dump | grep -q 'text="Firmware Download Execute"\|text="Set File Name"' &&
  fail "the click during the command started a download" ||
  pass "the click on Download Start during the command was dropped"
stop || fail "exit status"
echo "   ($((SECONDS - t0)) s)"

}

# ---------------------------------------------------------------------------
phase_abort() {
echo "== Abort during a slow download"
t0=$SECONDS
rm -f "$history_file"
start --sim="$work/slow2500.json"
rescan
waitfor 20000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null || fail "scan"
read -r l t _ < <(sed -n 's/.* rect=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p' \
  <<<"$(control File1)")
xdotool mousemove $((l + 40)) $((t + 10)) click 1
waitfor 3000 'name=Label4 ' 'text="BAD_CHECKSUM.OUB"' >/dev/null || fail "first release"
xdotool key End
waitfor 3000 'name=Label4 ' 'text="QXR4410_ALL.OUB"' >/dev/null || fail "release: $(control File1)"
click_line "$(control Command1)"
waitfor 5000 'id=65535' 'text="Firmware Download Execute"' >/dev/null || fail "no confirmation"
click_line "$(probe dump | grep -m1 'id=1 class=Button text="OK"')"
waitfor 20000 'name=Progress ' 'enabled=1' >/dev/null || fail "the download did not start"
# While blocks go out, log-off and shutdown are refused and the window stays.
line=$(probe session-end)
grep -q 'answer=0' <<<"$line" && pass "log-off and shutdown refused during the download" ||
  fail "session end during the download: $line"
# (Wine cannot give the reason back: the probe says "?" there.)
grep -q 'reason="Writing firmware to the drive.\|reason="?"' <<<"$line" &&
  pass "with the reason the system shows" || fail "block reason: $line"
# A close asked now is handled at the next pass of the events, between
# blocks: refused (checked once the download has ended).
probe close
# Abort is clicked just after a block went out, so that the notice stays up
# while the next one is in flight (long enough for the probe to see it).
abort_at=$(center "$(control Tyusi)")
sent_before=0
for _ in $(seq 400); do
  sent_before=$(control Progress | sed -n 's/.* pos=\([0-9]*\).*/\1/p')
  [ "${sent_before:-0}" -ge 2 ] && break
done
[ "${sent_before:-0}" -ge 2 ] && [ "$sent_before" -lt 14 ] || fail "progress: $(control Progress)"
# shellcheck disable=SC2086  # two numbers
xdotool mousemove $abort_at click 1
t_click=$(date +%s%N)
line=$(waitfor 2000 'name=AbortNotice ' 'visible=1' 'Abort requested')
t_ack=$(date +%s%N)
[ -n "$line" ] && pass "Abort acknowledged at once ($(((t_ack - t_click) / 1000000)) ms, polled)" ||
  fail "no acknowledgement: $(control AbortNotice)"
grep -q 'enabled=0' <<<"$(control Tyusi)" && pass "Abort disabled after the click" || fail "Abort"
sent_at_ack=$(control Progress | sed -n 's/.* pos=\([0-9]*\).*/\1/p')
line=$(waitfor 15000 'name=Text1 ' 'text="Abort By User"')
[ -n "$line" ] && pass "the download ended: Abort By User" || fail "not aborted: $(control Text1)"
waitfor 1000 'class=qxflash.MAIN' 'visible=1' >/dev/null &&
  pass "the close asked during the download was refused" || fail "the window closed"
sent=$(sed -n 's/.*"blocks_sent":\([0-9]*\).*"outcome":"aborted".*/\1/p' "$history_file" 2>/dev/null)
# The block in flight at the acknowledgement completes; no other goes out.
if [ -n "$sent" ] && [ "$sent" -ge "${sent_at_ack:-99}" ] && [ "$sent" -le $((sent_at_ack + 1)) ]; then
  pass "stopped before the next block: $sent of 16 sent ($sent_at_ack when Abort was acknowledged)"
else
  fail "history after Abort: $(cat "$history_file" 2>/dev/null) ($sent_at_ack at the acknowledgement)"
fi
waitfor 3000 'name=Command1 ' 'enabled=1' >/dev/null && pass "idle again" || fail "still busy"
line=$(probe session-end)
grep -q 'answer=1 reason="?\?"' <<<"$line" && pass "log-off allowed again, no reason left" ||
  fail "session end when idle: $line"
stop || fail "exit status"
echo "   ($((SECONDS - t0)) s)"
}

# ---------------------------------------------------------------------------
phase_keyboard() {
echo "== the keyboard alone: rescan, choose, download, Abort, the outcome, the focus"
t0=$SECONDS
rm -f "$history_file"
start --sim="$work/slow700.json"
# What a screen reader is told, for the whole phase.
"$wine" "$probe_exe" listen 120000 2>/dev/null | sed -u 's/\r$//' >"$work/events" &
listen_pid=$!
for _ in $(seq 50); do grep -q listening "$work/events" && break; sleep 0.1; done
keys() { xdotool key --delay 80 "$@"; sleep 0.3; }
focused() { waitfor 3000 " name=$1 " 'focused=1' >/dev/null; }
# Without a window manager X gives the keys to the window under the pointer:
# the pointer rests on the banner, and nothing is clicked.
read -r bx by < <(center "$(control TransportBadge)")
xdotool mousemove "$bx" "$by"
focused ComboHA && pass "at start the first list has the focus" ||
  fail "focus at start: $(probe dump | grep focused=1)"
keys alt+s r
waitfor 15000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null &&
  pass "Alt+S, R: SCSI Option > SCSI Rescan" || fail "no scan: $(control Text1)"
keys F5
waitfor 5000 'name=Text1 ' 'text="SCSI Rescan Executing"' >/dev/null &&
  waitfor 15000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null &&
  pass "F5 rescans" || fail "F5: $(control Text1)"
keys alt+h Home
focused ComboHA && pass "Alt+H reaches the adapter list" || fail "Alt+H: $(probe dump | grep focused=1)"
keys alt+i
focused ComboID && pass "Alt+I reaches the target list" || fail "Alt+I: $(control ComboID)"
keys Home
waitfor 5000 'name=FWVer ' 'text=" 1.10 (2003/05/12) "' >/dev/null &&
  pass "Home chooses the drive again; its version is read" || fail "version: $(control FWVer)"
keys alt+f
focused File1 && grep -q 'text=""' <<<"$(control Label4)" &&
  pass "Alt+F reaches the file list; the focus alone chooses no file" ||
  fail "Alt+F: $(control File1) $(control Label4)"
# (wine's list box takes the first key in a list without a selection for
# its first row; Down, then End, as an operator may press them.)
keys Down End
waitfor 3000 'name=Label4 ' 'text="QXR4410_ALL.OUB"' >/dev/null && pass "End chooses the last release" ||
  fail "release: $(control Label4)"
keys ctrl+o
waitfor 5000 'class=#32770' 'title="Open Release"' 'visible=1' >/dev/null &&
  pass "Ctrl+O opens the system's Open dialog" || fail "no Open dialog: $(probe dump | grep window)"
keys Escape
sleep 0.5
waitfor 3000 'class=qxflash.MAIN' 'enabled=1' >/dev/null && focused File1 &&
  grep -q 'text="QXR4410_ALL.OUB"' <<<"$(control Label4)" &&
  pass "Escape cancels it; the release stays chosen" || fail "after the dialog: $(control Label4)"
unnamed=$(probe names | grep 'visible=1' | grep 'text=""')
[ -z "$unnamed" ] && pass "every control that shows has a name for a screen reader" ||
  fail "unnamed: $unnamed"
grep -q 'name=ComboHA .*text="Host adapter"' <<<"$(probe names)" &&
  grep -q 'name=ComboID .*text="Target ID"' <<<"$(probe names)" &&
  pass "the lists are named Host adapter and Target ID" || fail "names: $(probe names)"
keys alt+d
waitfor 5000 'id=65535' 'text="Firmware Download Execute"' >/dev/null &&
  pass "Alt+D: Download Start asks for confirmation" || fail "no confirmation box"
keys Return
focused Tyusi && pass "Enter confirms; the focus is on Abort" ||
  fail "focus after the start: $(probe dump | grep focused=1)"
keys alt+F4
line=$(waitfor 10000 'name=HistoryNotes ' 'visible=1' 'The window stays open until the download has ended')
[ -n "$line" ] && waitfor 1000 'class=qxflash.MAIN' 'visible=1' >/dev/null &&
  pass "Alt+F4 during the download is refused, and the window says why" ||
  fail "Alt+F4: $(control HistoryNotes)"
for _ in $(seq 200); do
  [ "$(control Progress | sed -n 's/.* pos=\([0-9]*\).*/\1/p')" -ge 3 ] 2>/dev/null && break
  sleep 0.05
done
keys space
waitfor 15000 'name=Text1 ' 'text="Abort By User"' >/dev/null &&
  pass "Space on Abort after block 3 stops the download" || fail "not aborted: $(control Text1)"
line=$(waitfor 5000 'name=HistoryNotes ' 'Download aborted before block ')
[ -n "$line" ] && pass "the outcome is in the notes" || fail "notes: $(control HistoryNotes)"
line=$(waitfor 3000 ' name=File1 ' 'focused=1')
read -r sel top shown < <(sed -n 's/.* sel=\([0-9-]*\) .* top=\([0-9]*\) shown=\([0-9]*\).*/\1 \2 \3/p' <<<"$line")
[ -n "$line" ] && [ "$sel" -ge "$top" ] && [ "$sel" -lt $((top + shown)) ] &&
  pass "the focus is back on the file list, the chosen file in view" ||
  fail "focus after the download: $(probe dump | grep focused=1) / $(control File1)"
keys Tab
focused OpenRelease && pass "Tab moves the focus on, to Open Release…" ||
  fail "Tab: $(probe dump | grep focused=1)"
# Escape on Abort stops a second download.
keys alt+d
waitfor 5000 'id=65535' 'text="Firmware Download Execute"' >/dev/null && keys Return
focused Tyusi && waitfor 20000 'name=Progress ' 'pos=1 ' >/dev/null && keys Escape
waitfor 15000 'name=Text1 ' 'text="Abort By User"' >/dev/null && focused File1 &&
  pass "Escape stops a download too" || fail "Escape: $(control Text1)"
grep -q 'event=value control=Text1 text="Abort By User"' "$work/events" &&
  pass "the new status line is announced" || fail "events: $(cat "$work/events")"
grep -q 'event=value control=HistoryNotes text=".*Download aborted' "$work/events" &&
  pass "the outcome is announced" || fail "events: $(cat "$work/events")"
kill "$listen_pid" 2>/dev/null
keys alt+F4
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app_pid" 2>/dev/null; then
  fail "Alt+F4 did not close the window"
  kill "$app_pid"
fi
wait "$app_pid" && pass "Alt+F4 closes the window, exit status 0" || fail "exit status"
app_pid=
echo "   ($((SECONDS - t0)) s)"
}

# ---------------------------------------------------------------------------
phase_release() {
echo "== a release from another folder: the command line, the Open dialog, a drop"
t0=$SECONDS
other=$WINEPREFIX/drive_c/other
rm -rf "$other" && mkdir -p "$other"
cp "$source_dir/examples/releases/QXR4410_A1.OUB" "$source_dir/examples/releases/QXR4410_A1.bin" \
  "$other/"
# The window opens with the release chosen in its folder, and the drive
# named by --ha and --id chosen once it shows.
start --sim 'C:\other\QXR4410_A1.OUB' --ha 0 --id 2
line=$(waitfor 5000 'name=File1 ' 'count=1 ')
grep -q 'count=1 sel=0 items="QXR4410_A1.OUB"' <<<"$line" &&
  grep -q 'text="QXR4410_A1.OUB"' <<<"$(control Label4)" &&
  pass "qxflash R.OUB: its folder listed, it chosen" ||
  fail "release at start: $(control File1) $(control Label4)"
waitfor 15000 'name=FWVer ' 'text=" 1.10 (2003/05/12) "' >/dev/null &&
  grep -q 'sel=0 items="2:QX-R4410' <<<"$(control ComboID)" &&
  pass "--ha 0 --id 2: scanned and chosen once the window shows" ||
  fail "drive at start: $(control ComboID) $(control FWVer)"
# A release dropped on the window (through wine's Z: drive, the sources).
releases_z="Z:$(sed 's|/|\\|g' <<<"$source_dir/examples/releases")"
probe drop "$releases_z\\QXR4410_ALL.OUB"
waitfor 5000 'name=Label4 ' 'text="QXR4410_ALL.OUB"' >/dev/null &&
  grep -q 'count=12 ' <<<"$(control File1)" &&
  pass "a dropped release is opened: its folder listed, it chosen" ||
  fail "drop: $(control File1) $(control Label4)"
probe drop "$releases_z\\README.md"
waitfor 5000 'name=HistoryNotes ' 'visible=1' 'Not a release: ' >/dev/null &&
  grep -q 'text="QXR4410_ALL.OUB"' <<<"$(control Label4)" &&
  pass "a dropped file that is no release changes nothing but a note" ||
  fail "dropped README: $(control HistoryNotes)"
# The Open dialog: a path typed in its name box.
click_line "$(control OpenRelease)"
if waitfor 5000 'class=#32770' 'title="Open Release"' 'visible=1' >/dev/null; then
  sleep 0.5
  xdotool type --delay 20 'C:\other\QXR4410_A1.OUB'
  xdotool key Return
  waitfor 5000 'name=Label4 ' 'text="QXR4410_A1.OUB"' >/dev/null &&
    grep -q 'count=1 sel=0 ' <<<"$(control File1)" &&
    pass "Open Release…: the chosen release opened from its folder" ||
    fail "Open dialog: $(control File1) $(control Label4) $(probe dump | grep window)"
else
  fail "no Open dialog"
fi
stop || fail "exit status"
# The folder is remembered for the next start.
start --sim
grep -q 'count=1 sel=-1 items="QXR4410_A1.OUB"' <<<"$(control File1)" &&
  pass "the next start lists the folder of the last release opened" ||
  fail "remembered folder: $(control File1)"
grep -q 'visible=0' <<<"$(control RestartElevated)" &&
  pass "no restart as administrator on the simulated bus" ||
  fail "restart offered: $(control RestartElevated)"
stop || fail "exit status"
echo "   ($((SECONDS - t0)) s)"
}

# ---------------------------------------------------------------------------
phase_scale() {
echo "== 200 %: the window fits a 1280x720 screen, every part in it, nothing on another"
t0=$SECONDS
# wine's DPI for the programs it starts next (the system's "scale" setting).
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f >/dev/null 2>&1
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1
start --sim
rescan
waitfor 10000 'name=Text1 ' 'text="SCSI Rescan Complete "' >/dev/null
# Controls as "name left top right bottom" (shown ones), the window first.
probe dump | sed -n \
  -e 's/^window class=qxflash.MAIN .* rect=\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\) .*/MAIN \1 \2 \3 \4/p' \
  -e '/name=Image1 /d' \
  -e 's/^control name=\([^ ]*\) .* rect=\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\),\(-\?[0-9]*\) visible=1.*/\1 \2 \3 \4 \5/p' \
  >"$work/rects"
read -r _ wl wt wr wb < <(grep '^MAIN ' "$work/rects")
[ -n "$wr" ] && [ $((wr - wl)) -le 1280 ] && [ $((wb - wt)) -le 720 ] &&
  pass "the window is $((wr - wl))x$((wb - wt)) at 200 %" || fail "window: $(head -1 "$work/rects")"
outside=$(awk -v l="$wl" -v t="$wt" -v r="$wr" -v b="$wb" \
  '$1 != "MAIN" && $4 > $2 && ($2 < l || $3 < t || $4 > r || $5 > b) { print $1 }' "$work/rects")
[ -z "$outside" ] && pass "every part inside it" || fail "outside the window: $outside"
overlaps=$(awk '$1 != "MAIN" && $4 > $2 && $5 > $3 { n++; name[n] = $1; x1[n] = $2; y1[n] = $3; x2[n] = $4; y2[n] = $5 }
  END { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
          if (x1[i] < x2[j] && x1[j] < x2[i] && y1[i] < y2[j] && y1[j] < y2[i]) print name[i] "/" name[j] }' \
  "$work/rects")
[ -z "$overlaps" ] && pass "no part on another" || fail "overlapping: $overlaps"
shown=$(sed -n 's/.* shown=\([0-9]*\).*/\1/p' <<<"$(control File1)")
[ "${shown:-0}" -ge 3 ] && pass "the file list shows $shown rows and scrolls" ||
  fail "file list: $(control File1)"
stop || fail "exit status"
"$wine" reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1
echo "   ($((SECONDS - t0)) s)"
}

# QX_PHASES picks some (download repaint abort keyboard release scale); all by default.
for phase in ${QX_PHASES:-download repaint abort keyboard release scale}; do "phase_$phase"; done
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
