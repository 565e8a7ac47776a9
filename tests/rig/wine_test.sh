#!/usr/bin/env bash
# qxflash.exe --spti (the Windows build) under wine on a real Linux SCSI stack,
# in the QEMU rig, and the same download through the Linux build's --sg.
#
#   wine_test.sh RIG_DIR QXFLASH_EXE MKRELEASE [QXFLASH_LINUX]
#
# MKRELEASE is a qx_mkrelease that runs on this host; it makes two releases
# whose model item is "scsi_debug" (the product name scsi_debug answers), one of
# all three areas and one of area 2 alone. Two guests run the .exe under wine
# (wine serves SCSI ioctls for at most five device nodes per process, so each
# maps one kind of node to drive letters):
#   sr  letters for /dev/srN: scan, version, send, and both downloads;
#   sg  letters for /dev/sgN: scan and both downloads.
# With QXFLASH_LINUX a third guest runs the downloads with --sg, and the
# commands of its traces must be those of the sg guest.
#
# Exit 0 = pass, 1 = fail, 77 = skipped (no rig or no executable). QX_KEEP=1
# keeps the temporary directory with every step's output.
#
# Under wine a letter of /dev/srN answers IOCTL_SCSI_GET_ADDRESS with
# PortNumber 2 and PathId = Linux host number, so the sr guest's adapters are
# 0 "port 2 bus 0" (LSI CD at target 2), 1 "port 2 bus 1" (virtio CD without
# medium at target 0), 2 "port 2 bus 2" (scsi_debug at target 0): the Linux
# layout without the disk, which has no /dev/srN. Letters of /dev/sgN answer no
# address and share adapter 0 "no SCSI address" in letter order: targets 0 LSI
# CD, 1 LSI disk, 2 virtio CD, 3 scsi_debug.
#
# A download reserves its drive: the letter is opened once before the first
# command and its handle serves every command until the end. Opening /dev/srN
# makes the Linux sr driver check for a media change with TEST UNIT READY,
# which takes pending unit attentions; with the handle held, none comes between
# the download's commands, so through the sr letters as through the sg letters
# the download sees the unit attentions scsi_debug queues after WRITE BUFFER as
# the Linux build does (block 1 gets 29/02, is reissued, gets 3F/01 and ends the
# download). A command in a later process opens the letter again: through an sr
# letter that open takes the 3F/16 left after the area-2 download, which the sg
# letters still show.
set -u
rig=${1:?usage: wine_test.sh RIG_DIR QXFLASH_EXE MKRELEASE [QXFLASH_LINUX]}
exe=${2:?QXFLASH_EXE}
mkrelease=${3:?MKRELEASE}
linux=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -x "$rig/run-guest.sh" ]; then
  echo "SKIP: the QEMU SCSI rig is not at '$rig'"
  exit 77
fi
if [ ! -f "$exe" ]; then
  echo "SKIP: no Windows build at '$exe'"
  exit 77
fi

tmp=$(mktemp -d /tmp/qx-wine-test.XXXXXX)
[ -n "${QX_KEEP:-}" ] && echo "rig: keeping $tmp" || trap 'rm -rf "$tmp"' EXIT
export RIG_TIMEOUT=${RIG_TIMEOUT:-600}
export RIG_GUEST_TIMEOUT=${RIG_GUEST_TIMEOUT:-540}
export RIG_LIST=0

fail() {
  echo "FAIL (rig.wine): $*"
  exit 1
}

# boot OUT ARGS...: run-guest.sh ARGS, console in $tmp/OUT.console; a second boot
# when the guest died (125) or the host-side timeout hit (124).
boot() {
  local out=$1 attempt rc start
  shift
  for attempt in 1 2; do
    start=$(date +%s.%N)
    "$rig/run-guest.sh" "$@" >"$tmp/$out.console" 2>"$tmp/$out.err"
    rc=$?
    echo "rig: $out boot $attempt: exit $rc after $(echo "$(date +%s.%N) $start" | awk '{printf "%.1f", $1 - $2}') s"
    if [ "$rc" != 124 ] && [ "$rc" != 125 ]; then
      return "$rc"
    fi
    tail -n 20 "$tmp/$out.err" "$tmp/$out.console"
  done
  return "$rc"
}

# split OUT STEPS: $tmp/OUT.console into $tmp/OUT/NAME.{out,err,rc,time}.
split() {
  local out=$1 name _
  mkdir -p "$tmp/$out"
  grep -aqx '@DONE' "$tmp/$out.console" || { cat "$tmp/$out.err" "$tmp/$out.console"; fail "$out: the guest did not run all steps"; }
  while read -r name _; do
    case $name in '' | \#*) continue ;; esac
    grep -a "^@O $name " "$tmp/$out.console" | sed "s/^@O $name //" >"$tmp/$out/$name.out"
    grep -a "^@E $name " "$tmp/$out.console" | sed "s/^@E $name //" >"$tmp/$out/$name.err"
    sed -n "s/^@R $name \([0-9]*\)$/\1/p" "$tmp/$out.console" >"$tmp/$out/$name.rc"
    sed -n "s/^@T $name \([0-9.]*\)$/\1/p" "$tmp/$out.console" >"$tmp/$out/$name.time"
  done <"$2"
}

d=sr
show() { echo "--- stdout of $1:"; cat "$tmp/$d/$1.out"; echo "--- stderr of $1:"; cat "$tmp/$d/$1.err"; }
rc_is() { [ "$(cat "$tmp/$d/$1.rc")" = "$2" ] || { show "$1"; fail "$1: exit $(cat "$tmp/$d/$1.rc"), expected $2"; }; }
has() { grep -aqxF -- "$2" "$tmp/$d/$1.out" || { show "$1"; fail "$1: no line $2"; }; }
has_err() { grep -aqF -- "$2" "$tmp/$d/$1.err" || { show "$1"; fail "$1: errors lack $2"; }; }
lacks() { ! grep -aqF -- "$2" "$tmp/$d/$1.out" || { show "$1"; fail "$1: output has $2"; }; }
same() {
  grep -aE -- "$2" "$tmp/$d/$1.out" >"$tmp/got"
  printf '%s\n' "$3" >"$tmp/want"
  diff -u "$tmp/want" "$tmp/got" || fail "$1: lines /$2/ differ"
}

# The two releases.
for r in "SDEBUG_ALL 1,1,1" "SDEBUG_A2 0,0,1"; do
  set -- $r
  "$mkrelease" --dir "$tmp" --name "$1" --flags "$2" --model scsi_debug >/dev/null ||
    fail "$mkrelease could not write $1"
done

cat >"$tmp/steps" <<'STEPS'
scan_text scan
scan_json --json scan
scan_trace --json --trace scan
ver_cd --json version --ha 0 --id 2
ver_sdebug --json version --ha 2 --id 0
inq_cd --json send Inquiry --ha 0 --id 2
inq_absent send Inquiry --ha 0 --id 5
tur_empty --json send TestUnitReady --ha 1 --id 0
mr_cd --json send MemoryRead 0x7FE0 0x7FE1 0 --ha 0 --id 2
dl_all --json --trace download SDEBUG_ALL.OUB --ha 2 --id 0 --yes
dl_tur_after_all --json send TestUnitReady --ha 2 --id 0
dl_a2 --json --trace download SDEBUG_A2.OUB --ha 2 --id 0 --yes
dl_tur_after_a2 --json send TestUnitReady --ha 2 --id 0
STEPS
# wine_boot NAME DEVS STEPS: one guest with the .exe under wine and letters for
# the DEVS nodes, the steps split into $tmp/NAME/.
wine_boot() {
  local name=$1 devs=$2 steps=$3
  local f=(-f "$here/wine_steps.sh:/rig/work/wine_steps.sh" -f "$steps:/rig/work/steps")
  for r in SDEBUG_ALL SDEBUG_A2; do f+=(-f "$tmp/$r.OUB" -f "$tmp/$r.bin"); done
  RIG_WINE_DEVS=$devs RIG_WRAP="sh /rig/work/wine_steps.sh" boot "$name" -w "${f[@]}" "$exe" --version
  split "$name" "$steps"
  sed -n "s/^@T \([a-z_0-9]*\) \([0-9.]*\)$/rig: $name step \1: \2 s/p" "$tmp/$name.console"
}
wine_boot sr sr "$tmp/steps"

rc_is scan_text 0
same scan_text '^(Host adapter|  )' 'Host adapter 0:port 2 bus 0
  target 2:QEMU CD-ROM     
Host adapter 1:port 2 bus 1
  target 0:QEMU CD-ROM     
Host adapter 2:port 2 bus 2
  target 0:scsi_debug      '
rc_is scan_json 0
same scan_json '"event":"(adapter|target)"' '{"event":"adapter","item":"0:port 2 bus 0"}
{"event":"target","ha":0,"item":"2:QEMU CD-ROM     "}
{"event":"adapter","item":"1:port 2 bus 1"}
{"event":"target","ha":1,"item":"0:QEMU CD-ROM     "}
{"event":"adapter","item":"2:port 2 bus 2"}
{"event":"target","ha":2,"item":"0:scsi_debug      "}'
rc_is scan_trace 0
same scan_trace '"line":"HA (ManagerId|Identifier|Unique)' '{"event":"trace","line":"HA ManagerId = Windows SPTI"}
{"event":"trace","line":"HA Identifier= port 2 bus 0"}
{"event":"trace","line":"HA Unique    = unknown bus"}
{"event":"trace","line":"HA ManagerId = Windows SPTI"}
{"event":"trace","line":"HA Identifier= port 2 bus 1"}
{"event":"trace","line":"HA Unique    = unknown bus"}
{"event":"trace","line":"HA ManagerId = Windows SPTI"}
{"event":"trace","line":"HA Identifier= port 2 bus 2"}
{"event":"trace","line":"HA Unique    = unknown bus"}'

nul14=$(printf '\\u0000%.0s' {1..14})
nul6=$(printf '\\u0000%.0s' {1..6})
rc_is ver_cd 0
[ "$(grep -a '"event":"fwver"' "$tmp/sr/ver_cd.out" | tail -n1)" = \
  "{\"event\":\"fwver\",\"text\":\" 2.5+$nul14\"}" ] || { show ver_cd; fail "ver_cd: caption"; }
rc_is ver_sdebug 0
[ "$(grep -a '"event":"fwver"' "$tmp/sr/ver_sdebug.out" | tail -n1)" = \
  "{\"event\":\"fwver\",\"text\":\" 019120210520$nul6\"}" ] || { show ver_sdebug; fail "ver_sdebug: caption"; }

# INQUIRY data in DataBuf: the CD answers 36 of the 58 bytes; the rest reads zero.
rc_is inq_cd 0
has inq_cd '{"code":1,"errmsg":"","event":"result"}'
has inq_cd '{"event":"data","line":"000010:51 45 4D 55 20 43 44 2D 52 4F 4D 20 20 20 20 20 "}'
has inq_cd '{"event":"data","line":"000020:32 2E 35 2B 00 00 00 00 00 00 00 00 00 00 00 00 "}'
has inq_cd '{"event":"data","line":"000030:00 00 00 00 00 00 00 00 00 00 "}'
rc_is inq_absent 1
has_err inq_absent 'no device answered at target ID 5 on host adapter 0'
rc_is tur_empty 1
has tur_empty '{"code":4,"errmsg":"TestUnitReady 3A(00)00:MEDIUM NOT PRESENT","event":"result"}'
rc_is mr_cd 1
has mr_cd '{"code":4,"errmsg":"MemoryRead 20(00)00:INVALID COMMAND OPERATION CODE","event":"result"}'

# The downloads hold the sr letter (see above): block 0 (mode 4) is accepted;
# block 1 gets 29/02, is reissued, then gets 3F/01.
rc_is dl_all 1
same dl_all '"event":"block"' '{"block":0,"count":16,"event":"block","index":1,"mode":4}'
same dl_all '"line":"70 00 0[0-9A-F] [0-9A-F ]*"}$' '{"event":"trace","line":"70 00 05 00 00 00 00 0A 00 00 00 00 20 00 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 29 02 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 3F 01 00 00 "}'
has dl_all '{"event":"status","text":"WriteBuffer  1  3F(01)00:Unknown QUALIFIRE"}'
rc_is dl_tur_after_all 0
rc_is dl_a2 0
same dl_a2 '"event":"block"' '{"block":15,"count":1,"event":"block","index":1,"mode":5}'
same dl_a2 '"line":"CDB= 3B' '{"event":"trace","line":"CDB= 3B 05 0F 00 00 00 00 40 00 00"}'
# A new process's open of the sr letter takes the 3F/16 (see above).
rc_is dl_tur_after_a2 0

# The sg letters: the drives without an address, and the downloads as on Linux.
cat >"$tmp/sg-steps" <<'STEPS'
scan_json --json scan
dr_all --json --trace download SDEBUG_ALL.OUB --ha 0 --id 3 --dry-run
dl_all --json --trace download SDEBUG_ALL.OUB --ha 0 --id 3 --yes
dl_tur_after_all --json send TestUnitReady --ha 0 --id 3
dl_a2 --json --trace download SDEBUG_A2.OUB --ha 0 --id 3 --yes
dl_tur_after_a2 --json send TestUnitReady --ha 0 --id 3
dl_tur_again --json send TestUnitReady --ha 0 --id 3
STEPS
wine_boot sg sg "$tmp/sg-steps"
d=sg
rc_is scan_json 0
same scan_json '"event":"(adapter|target)"' '{"event":"adapter","item":"0:no SCSI address"}
{"event":"target","ha":0,"item":"0:QEMU CD-ROM     "}
{"event":"target","ha":0,"item":"1:QEMU HARDDISK   "}
{"event":"target","ha":0,"item":"2:QEMU CD-ROM     "}
{"event":"target","ha":0,"item":"3:scsi_debug      "}'
grep -aqF '"event":"warning","text":"adapter 0 holds the devices that answer no SCSI address, at target IDs in the order found: 0 \\\\.\\M: 1 \\\\.\\N: 2 \\\\.\\O: 3 \\\\.\\P:;' \
  "$tmp/sg/scan_json.out" || { show scan_json; fail "scan_json: no note on the devices without address"; }
# The dry run: only reading commands, and the download would start.
rc_is dr_all 0
lacks dr_all 'CDB= 3B'
lacks dr_all 'CDB= DF 00 E3'
grep -aqF '"event":"dry_run","prepare":false' "$tmp/sg/dr_all.out" || { show dr_all; fail "dr_all: no report"; }
# Block 0 (mode 4) is accepted; block 1 gets 29/02, is reissued, then gets 3F/01.
rc_is dl_all 1
same dl_all '"event":"block"' '{"block":0,"count":16,"event":"block","index":1,"mode":4}'
same dl_all '"line":"70 00 0[0-9A-F] [0-9A-F ]*"}$' '{"event":"trace","line":"70 00 05 00 00 00 00 0A 00 00 00 00 20 00 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 29 02 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 3F 01 00 00 "}'
has dl_all '{"event":"status","text":"WriteBuffer  1  3F(01)00:Unknown QUALIFIRE"}'
rc_is dl_tur_after_all 0
rc_is dl_a2 0
same dl_a2 '"event":"block"' '{"block":15,"count":1,"event":"block","index":1,"mode":5}'
rc_is dl_tur_after_a2 1
has dl_tur_after_a2 '{"code":4,"errmsg":"TestUnitReady 3F(16)00:Unknown QUALIFIRE","event":"result"}'
rc_is dl_tur_again 0

if [ -n "$linux" ]; then
  # The same steps through the Linux build, at scsi_debug's address there.
  sed 's/--ha 0 --id 3/--ha 2 --id 0/; /^scan_json /d' "$tmp/sg-steps" >"$tmp/linux-steps"
  lfiles=(-f "$here/guest_steps.sh:/rig/work/guest_steps.sh" -f "$tmp/linux-steps:/rig/work/steps")
  for r in SDEBUG_ALL SDEBUG_A2; do lfiles+=(-f "$tmp/$r.OUB" -f "$tmp/$r.bin"); done
  RIG_WRAP="sh /rig/work/guest_steps.sh" boot linux "${lfiles[@]}" "$linux"
  split linux "$tmp/linux-steps"
  # Every command but the scan's INQUIRYs (the two scans probe other adapters),
  # and the sense each one got back.
  filter='"line":"(CDB= ([^1]|1[^2])|7[01] 00 )'
  while read -r step _; do
    for side in sg linux; do grep -aE "$filter" "$tmp/$side/$step.out" >"$tmp/$step.$side.cdb"; done
    diff -u "$tmp/$step.linux.cdb" "$tmp/$step.sg.cdb" ||
      fail "$step: the Windows build sent other commands or got other sense than the Linux build"
    [ "$(cat "$tmp/linux/$step.rc")" = "$(cat "$tmp/sg/$step.rc")" ] ||
      fail "$step: exit $(cat "$tmp/sg/$step.rc") under wine, $(cat "$tmp/linux/$step.rc") on Linux"
    echo "rig: $step: $(grep -c 'CDB= ' "$tmp/$step.sg.cdb") commands and their sense, the same under wine and on Linux"
  done <"$tmp/linux-steps"
  # The downloads through the sr letters too: the held letter keeps the unit
  # attentions, so their commands and sense are the Linux build's as well.
  for step in dl_all dl_a2; do
    grep -aE "$filter" "$tmp/sr/$step.out" >"$tmp/$step.sr.cdb"
    diff -u "$tmp/$step.linux.cdb" "$tmp/$step.sr.cdb" ||
      fail "$step: through the sr letter the Windows build sent other commands or got other sense than the Linux build"
    echo "rig: $step: $(grep -c 'CDB= ' "$tmp/$step.sr.cdb") commands and their sense through the sr letter, the same as on Linux"
  done
fi
echo "PASS (rig.wine)"
