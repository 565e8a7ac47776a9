#!/usr/bin/env bash
# One test of qxflash --sg on a real Linux SCSI stack, in the QEMU rig.
#
#   rig_test.sh setup RIG_DIR                      prepare the rig once (build.sh)
#   rig_test.sh CASE  RIG_DIR QXFLASH SOURCE_DIR   CASE = scan | commands | download | notes
#                                                         | user
#   rig_test.sh CASE  RIG_DIR QXFLASH SOURCE_DIR PROBE
#                     CASE = mounted | busy | mounted_download | busy_download
#   rig_test.sh bench RIG_DIR QX_RIG_BENCH QXFLASH a short round of the rig bench
#
# mounted and busy drive the SG backend's MountPoints/Reserve/Release through
# PROBE (qx_rig_reserve_probe). mounted_download and busy_download check the
# same through "qxflash --sg download"; they report themselves skipped (77)
# while the built qxflash does not refuse a mounted or busy drive on the
# simulator (asked on the host first, see wired_for).
#
# A case boots one guest, runs all its qxflash commands there (guest_steps.sh)
# and checks their exit codes, JSON events and messages here on the host. A guest
# that dies or times out (run-guest.sh exit 125/124) is booted once more.
# Exit 77 (skipped) when the rig scripts are not there.
#
# Guest devices (see RIG_DIR/README.md): adapter 0 = host0 sym53c8xx with a QEMU
# CD-ROM at target 2 and a QEMU HARDDISK at target 5; adapter 1 = host1
# virtio_scsi with an empty QEMU CD-ROM at target 0; adapter 2 = host2
# scsi_debug with one CD/DVD-type device at target 0.
set -u
case_name=$1
rig=$2
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -x "$rig/run-guest.sh" ] || [ ! -x "$rig/build.sh" ]; then
  echo "SKIP: the QEMU SCSI rig is not at '$rig' (expected run-guest.sh and build.sh there;"
  echo "      set -DQXFLASH_RIG_DIR=... to point at it)"
  exit 77
fi
if [ "$case_name" = setup ]; then
  # build.sh may apt-get the rig's packages: let it wait for a busy package
  # manager instead of failing at once (APT_CONFIG adds to apt's own settings).
  conf=$(mktemp /tmp/qx-rig-apt.XXXXXX)
  echo 'DPkg::Lock::Timeout "300";' >"$conf"
  rc=0
  APT_CONFIG=$conf "$rig/build.sh" || rc=$?
  rm -f "$conf"
  exit $rc
fi

tmp=$(mktemp -d /tmp/qx-rig-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
export RIG_TIMEOUT=${RIG_TIMEOUT:-300}          # host-side limit of one boot
export RIG_GUEST_TIMEOUT=${RIG_GUEST_TIMEOUT:-240}  # kills a hung guest program
export RIG_LIST=0

fail() {
  echo "FAIL (rig.$case_name): $*"
  exit 1
}

# boot ARGS...: run-guest.sh ARGS, console in $tmp/console; a second boot when
# the guest died (125) or the host-side timeout hit (124).
boot() {
  local attempt rc
  for attempt in 1 2; do
    "$rig/run-guest.sh" "$@" >"$tmp/console" 2>"$tmp/rig.err"
    rc=$?
    if [ "$rc" != 124 ] && [ "$rc" != 125 ]; then
      return "$rc"
    fi
    echo "rig: boot $attempt ended with $rc (guest died or timed out):"
    tail -n 20 "$tmp/rig.err" "$tmp/console"
    [ "$attempt" = 1 ] && echo "rig: booting once more"
  done
  return "$rc"
}

# run_steps [-f FILE]...: runs the steps in $tmp/steps in one guest and splits
# the console into $tmp/NAME.out, $tmp/NAME.err and $tmp/NAME.rc.
run_steps() {
  local files=(-f "$here/guest_steps.sh:/rig/work/guest_steps.sh" -f "$tmp/steps:/rig/work/steps"
    -f "$here/guest_cases.sh:/rig/work/guest_cases.sh")
  local f
  for f in "$@"; do files+=(-f "$f"); done
  RIG_WRAP="sh /rig/work/guest_steps.sh" boot "${files[@]}" "$qx"
  local rc=$?
  if [ "$rc" != 0 ] || ! grep -aqx '@DONE' "$tmp/console"; then
    cat "$tmp/rig.err" "$tmp/console"
    fail "the guest did not run all steps (run-guest.sh exit $rc)"
  fi
  local name _
  while read -r name _; do
    case $name in '' | \#*) continue ;; esac
    grep -a "^@O $name " "$tmp/console" | sed "s/^@O $name //" >"$tmp/$name.out"
    grep -a "^@E $name " "$tmp/console" | sed "s/^@E $name //" >"$tmp/$name.err"
    sed -n "s/^@R $name \([0-9]*\)$/\1/p" "$tmp/console" >"$tmp/$name.rc"
  done <"$tmp/steps"
}

show() { echo "--- stdout of $1:"; cat "$tmp/$1.out"; echo "--- stderr of $1:"; cat "$tmp/$1.err"; }
rc_is() { [ "$(cat "$tmp/$1.rc")" = "$2" ] || { show "$1"; fail "$1: exit $(cat "$tmp/$1.rc"), expected $2"; }; }
has() { grep -aqxF -- "$2" "$tmp/$1.out" || { show "$1"; fail "$1: no line $2"; }; }
has_part() { grep -aqF -- "$2" "$tmp/$1.out" || { show "$1"; fail "$1: output lacks $2"; }; }
has_err() { grep -aqF -- "$2" "$tmp/$1.err" || { show "$1"; fail "$1: errors lack $2"; }; }
lacks() { ! grep -aqF -- "$2" "$tmp/$1.out" || { show "$1"; fail "$1: output has $2"; }; }
rc_not() { [ "$(cat "$tmp/$1.rc")" != "$2" ] || { show "$1"; fail "$1: exit $2"; }; }
# names STEP TEXT: stdout or stderr of STEP holds TEXT.
names() { grep -aqF -- "$2" "$tmp/$1.out" "$tmp/$1.err" || { show "$1"; fail "$1: names no $2"; }; }
has_re() { grep -aqE -- "$2" "$tmp/$1.out" || { show "$1"; fail "$1: no line like /$2/"; }; }
# timings STEP: the probe's "time NAME MS" lines and its command count, for the log.
timings() { grep -aE '^(time |commands while)' "$tmp/$1.out" | sed "s/^/  $1: /"; }

# wired_for KEY [TEXT]: whether the built qxflash refuses the download to a
# simulated drive with the scenario key KEY (e.g. "in_use":true): it exits 1,
# sends no WRITE BUFFER, and names TEXT when one is given. The download
# procedure does so only once it calls MountPoints/Reserve; until then the
# end-to-end cases report themselves skipped.
wired_for() {
  local key=$1 text=${2:-} rc
  printf '{"adapters":[{"ha":0,"targets":[{"id":2,%s}]}]}\n' "$key" >"$tmp/wired.json"
  (cd "$src/examples/releases" && "$qx" --sim="$tmp/wired.json" --no-history --json --trace \
    download QXR4410_ALL.OUB --ha 0 --id 2 --yes) >"$tmp/wired.out" 2>&1
  rc=$?
  if [ "$rc" = 1 ] && ! grep -aqF 'CDB= 3B' "$tmp/wired.out" &&
    { [ -z "$text" ] || grep -aqF -- "$text" "$tmp/wired.out"; }; then
    return 0
  fi
  echo "SKIP (rig.$case_name): the built qxflash does not refuse this download yet: on the"
  echo "      simulator with $key it ended with exit $rc after $(grep -acF 'CDB= 3B' "$tmp/wired.out")"
  echo "      WRITE BUFFER commands. The case runs once the download procedure calls"
  echo "      MountPoints and Reserve (docs/rig-tests.md)."
  exit 77
}
count_is() {
  local n
  n=$(grep -acF -- "$2" "$tmp/$1.out")
  [ "$n" = "$3" ] || { show "$1"; fail "$1: $n lines with $2, expected $3"; }
}
# same STEP FILTER EXPECTED: the lines of STEP's output that FILTER (grep -E)
# selects are exactly EXPECTED (one per line, in order).
same() {
  grep -aE -- "$2" "$tmp/$1.out" >"$tmp/got"
  printf '%s\n' "$3" >"$tmp/want"
  diff -u "$tmp/want" "$tmp/got" >"$tmp/diff" || { cat "$tmp/diff"; fail "$1: lines /$2/ differ"; }
}

# 14 zero bytes as JSON: the firmware caption is INQUIRY bytes 32-49, and QEMU's
# 36-byte answer leaves 14 of them zero.
nul14=$(printf '\\u0000%.0s' {1..14})
nul6=$(printf '\\u0000%.0s' {1..6})
title_a='QX-R4410 Ambervault Tool 2 '
title_b='QX-R4410 Ambervault Tool 2'

# The full release, for the cases that download.
rel_all=${4:-}/examples/releases/QXR4410_ALL

case $case_name in
scan)
  qx=$3
  cat >"$tmp/steps" <<'EOF'
scan_json --json scan
scan_text scan
scan_trace --json --trace scan
ver_cd --json version --ha 0 --id 2
ver_cd_text version --ha 0 --id 2
ver_disk --json version --ha 0 --id 5
ver_empty --json version --ha 1 --id 0
ver_sdebug --json version --ha 2 --id 0
ver_absent version --ha 0 --id 3
ver_noha version --ha 3 --id 0
EOF
  run_steps
  rc_is scan_json 0
  same scan_json '"event":"(adapter|target)"' '{"event":"adapter","item":"0:sym53c8xx"}
{"event":"target","ha":0,"item":"2:QEMU CD-ROM     "}
{"event":"target","ha":0,"item":"5:QEMU HARDDISK   "}
{"event":"adapter","item":"1:virtio_scsi"}
{"event":"target","ha":1,"item":"0:QEMU CD-ROM     "}
{"event":"adapter","item":"2:scsi_debug"}
{"event":"target","ha":2,"item":"0:scsi_debug      "}'
  has scan_json '{"event":"status","text":"SCSI Rescan Complete "}'

  rc_is scan_text 0
  same scan_text '^(Host adapter|  )' 'Host adapter 0:sym53c8xx
  target 2:QEMU CD-ROM     
  target 5:QEMU HARDDISK   
Host adapter 1:virtio_scsi
  target 0:QEMU CD-ROM     
Host adapter 2:scsi_debug
  target 0:scsi_debug      '

  # Host adapter inquiry as the backend answers it: three adapters, each
  # traced once (adapters 3-7 do not answer), with the driver's proc_name.
  rc_is scan_trace 0
  count_is scan_trace '"line":"ASPI HA Inquiry' 3
  count_is scan_trace '"line":"HA Count     = 3"' 3
  count_is scan_trace '"line":"HA SCSI ID   = 7"' 3
  count_is scan_trace '"line":"HA ManagerId = Linux SG_IO"' 3
  same scan_trace '"line":"HA (Identifier|Unique)' '{"event":"trace","line":"HA Identifier= sym53c8xx"}
{"event":"trace","line":"HA Unique    = host0"}
{"event":"trace","line":"HA Identifier= virtio_scsi"}
{"event":"trace","line":"HA Unique    = host1"}
{"event":"trace","line":"HA Identifier= scsi_debug"}
{"event":"trace","line":"HA Unique    = host2"}'

  # Firmware caption = one blank + INQUIRY bytes 32-49 (revision and what follows).
  for step in ver_cd ver_disk ver_empty; do
    rc_is $step 0
    [ "$(grep -a '"event":"fwver"' "$tmp/$step.out" | tail -n1)" = \
      "{\"event\":\"fwver\",\"text\":\" 2.5+$nul14\"}" ] || { show $step; fail "$step: caption"; }
  done
  rc_is ver_sdebug 0
  [ "$(grep -a '"event":"fwver"' "$tmp/ver_sdebug.out" | tail -n1)" = \
    "{\"event\":\"fwver\",\"text\":\" 019120210520$nul6\"}" ] || { show ver_sdebug; fail "caption"; }
  rc_is ver_cd_text 0
  has ver_cd_text '2:QEMU CD-ROM     '
  has_part ver_cd_text 'Current Firmware Version: 2.5+'

  rc_is ver_absent 1
  has_err ver_absent 'no device answered at target ID 3 on host adapter 0'
  rc_is ver_noha 1
  has_err ver_noha 'host adapter 3 did not answer the scan'
  ;;

commands)
  qx=$3
  cat >"$tmp/steps" <<'EOF'
tur_empty --json send TestUnitReady --ha 1 --id 0
tur_cd --json send TestUnitReady --ha 0 --id 2
tur_disk --json send TestUnitReady --ha 0 --id 5
tur_sdebug --json send TestUnitReady --ha 2 --id 0
mr_cd --json send MemoryRead 0x7FE0 0x7FE1 0 --ha 0 --id 2
mr_empty --json send MemoryRead 0x7FE0 0x7FE1 0 --ha 1 --id 0
mr_sdebug --json send MemoryRead 0x7FE0 0x7FE1 0 --ha 2 --id 0
diout_sdebug --json send DiOut 0xE3 0x80 --ha 2 --id 0
rb_cd --json send ReadBuffer --ha 0 --id 2
rb_empty --json send ReadBuffer --ha 1 --id 0
inq_disk --json send Inquiry --ha 0 --id 5
inq_cd --json send Inquiry --ha 0 --id 2
inq_absent --json send Inquiry --ha 0 --id 3
inq_own_id --json send Inquiry --ha 0 --id 7
inq_vscsi_t1 --json send Inquiry --ha 1 --id 1
trace_tur --json --trace send TestUnitReady --ha 1 --id 0
EOF
  run_steps
  # The drive's CHECK CONDITION and sense, decoded into the system's texts.
  rc_is tur_empty 1
  has tur_empty '{"code":4,"errmsg":"TestUnitReady 3A(00)00:MEDIUM NOT PRESENT","event":"result"}'
  for step in tur_cd tur_disk tur_sdebug; do
    rc_is $step 0
    has $step '{"code":1,"errmsg":"","event":"result"}'
  done
  # Vendor 0xDF commands: refused as an unknown opcode, on the empty CD too
  # (QEMU rejects group-6 opcodes before it looks for a medium).
  for step in mr_cd mr_empty mr_sdebug; do
    rc_is $step 1
    has $step '{"code":4,"errmsg":"MemoryRead 20(00)00:INVALID COMMAND OPERATION CODE","event":"result"}'
    lacks $step '"event":"data"'
  done
  rc_is diout_sdebug 1
  has diout_sdebug '{"code":4,"errmsg":"DI OUT 20(00)00:INVALID COMMAND OPERATION CODE","event":"result"}'
  rc_is rb_cd 1
  has rb_cd '{"code":4,"errmsg":"ReadBuffer  20(00)00:INVALID COMMAND OPERATION CODE","event":"result"}'
  rc_is rb_empty 1
  has rb_empty '{"code":4,"errmsg":"ReadBuffer  3A(00)00:MEDIUM NOT PRESENT","event":"result"}'
  # INQUIRY data arrives in DataBuf: vendor and product of the disk.
  rc_is inq_disk 0
  has inq_disk '{"code":1,"errmsg":"","event":"result"}'
  has inq_disk '{"event":"data","line":"000010:51 45 4D 55 20 48 41 52 44 44 49 53 4B 20 20 20 "}'
  # The CD answers 36 of the 58 bytes asked for (resid 22); the scan before the
  # command left scsi_debug's longer answer in DataBuf. Bytes 36-57 read zero,
  # not the earlier device's bytes.
  rc_is inq_cd 0
  has inq_cd '{"event":"data","line":"000020:32 2E 35 2B 00 00 00 00 00 00 00 00 00 00 00 00 "}'
  has inq_cd '{"event":"data","line":"000030:00 00 00 00 00 00 00 00 00 00 "}'
  # Empty target IDs, the adapter's own ID and an ID beyond the virtio target:
  # the scan found nothing there, so nothing is sent.
  for step in inq_absent:3:0 inq_own_id:7:0 inq_vscsi_t1:1:1; do
    IFS=: read -r s id ha <<<"$step"
    rc_is "$s" 1
    has_err "$s" "no device answered at target ID $id on host adapter $ha"
    lacks "$s" '"event":"result"'
  done
  # The request block as the backend filled it in.
  rc_is trace_tur 1
  has trace_tur '{"event":"trace","line":"CDB= 00 00 00 00 00 C0"}'
  has trace_tur '{"event":"trace","line":"SRB Status   = 4"}'
  has trace_tur '{"event":"trace","line":"SRB HaStat   = 0"}'
  has trace_tur '{"event":"trace","line":"SRB TargStat = 2"}'
  ;;

download)
  qx=$3
  rel=$4/examples/releases
  # scsi_debug poses as the drive: a CD/DVD-type device named QX-R4410.
  # The module copies the parameter as a C string over its 16-byte default
  # "scsi_debug      " and answers all 16 bytes, so the product field reads
  # "QX-R4410", a zero byte, "g" and six blanks. The scan turns the zero byte
  # into a blank; the model check only needs "QX-R4410" in the entry.
  export RIG_SDEBUG_OPTS="ptype=5 inq_product=QX-R4410"
  entry='0:QX-R4410 g      '
  cat >"$tmp/steps" <<'EOF'
dl_scan --json scan
dl_inquiry --json send Inquiry --ha 2 --id 0
dl_all --json --trace download QXR4410_ALL.OUB --ha 2 --id 0 --yes
dl_tur_after_all --json send TestUnitReady --ha 2 --id 0
dl_a2 --json --trace download QXR4410_A2.OUB --ha 2 --id 0 --yes
dl_tur_after_a2 --json send TestUnitReady --ha 2 --id 0
dl_tur_again --json send TestUnitReady --ha 2 --id 0
dl_badsum --json --trace download BAD_CHECKSUM.OUB --ha 2 --id 0 --yes
EOF
  files=()
  for r in QXR4410_ALL QXR4410_A2 BAD_CHECKSUM; do files+=("$rel/$r.OUB" "$rel/$r.bin"); done
  run_steps "${files[@]}"
  rc_is dl_scan 0
  has dl_scan "{\"event\":\"target\",\"ha\":2,\"item\":\"$entry\"}"
  rc_is dl_inquiry 0
  has dl_inquiry '{"event":"data","line":"000010:51 58 2D 52 34 34 31 30 00 67 20 20 20 20 20 20 "}'

  # Full release: the memory read is refused by the drive (no host adapter
  # error, so no DI OUT and the download goes on), TEST UNIT READY is good,
  # block 0 (mode 4) is accepted and makes scsi_debug queue two unit
  # attentions. Block 1 gets 29/02 first, is reissued, then gets 3F/01, which
  # is not reissued: the download ends there.
  rc_is dl_all 1
  has dl_all "{\"answer\":1,\"event\":\"msgbox\",\"style\":33,\"text\":\"Firmware Download Execute\",\"title\":\"$title_a\"}"
  has dl_all '{"event":"status","text":"Download Start !!"}'
  same dl_all '"event":"block"' '{"block":0,"count":16,"event":"block","index":1,"mode":4}'
  same dl_all '"line":"CDB= ([^1]|1[^2])' '{"event":"trace","line":"CDB= DF 00 E2 00 00 00 7F E0 00 7F E1 00"}
{"event":"trace","line":"CDB= 00 00 00 00 00 C0"}
{"event":"trace","line":"CDB= 3B 04 00 00 00 00 00 40 00 00"}
{"event":"trace","line":"CDB= 3B 04 01 00 00 00 00 40 00 00"}
{"event":"trace","line":"CDB= 3B 04 01 00 00 00 00 40 00 00"}'
  same dl_all '"line":"70 00 0[0-9A-F] [0-9A-F ]*"}$' '{"event":"trace","line":"70 00 05 00 00 00 00 0A 00 00 00 00 20 00 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 29 02 00 00 "}
{"event":"trace","line":"70 00 06 00 00 00 00 0A 00 00 00 00 3F 01 00 00 "}'
  has dl_all '{"event":"status","text":"WriteBuffer  1  3F(01)00:Unknown QUALIFIRE"}'
  same dl_all '"event":"msgbox","style":16' "{\"answer\":1,\"event\":\"msgbox\",\"style\":16,\"text\":\"WriteBuffer  1  3F(01)00:Unknown QUALIFIRE\",\"title\":\"$title_b\"}"
  lacks dl_all 'HostAdaptrError'
  lacks dl_all 'Wait until all LED off.'
  # Both unit attentions were consumed by block 1.
  rc_is dl_tur_after_all 0
  has dl_tur_after_all '{"code":1,"errmsg":"","event":"result"}'

  # Area 2 alone: block 15 in mode 5 is accepted, the download completes; the
  # unit attention it raises (3F/16) reaches the next command, once.
  rc_is dl_a2 0
  same dl_a2 '"event":"block"' '{"block":15,"count":1,"event":"block","index":1,"mode":5}'
  same dl_a2 '"line":"CDB= 3B' '{"event":"trace","line":"CDB= 3B 05 0F 00 00 00 00 40 00 00"}'
  has dl_a2 "{\"answer\":1,\"event\":\"msgbox\",\"style\":48,\"text\":\"$entry\\r\\n\\r\\nWait until all LED off.\\r\\nAfter all LED off ,turn Off drive & PC power.\",\"title\":\"$title_b\"}"
  lacks dl_a2 '"style":16'
  [ "$(grep -a '"event":"status"' "$tmp/dl_a2.out" | tail -n1)" = '{"event":"status","text":""}' ] ||
    { show dl_a2; fail "dl_a2: the status line is not cleared at the end"; }
  rc_is dl_tur_after_a2 1
  has dl_tur_after_a2 '{"code":4,"errmsg":"TestUnitReady 3F(16)00:Unknown QUALIFIRE","event":"result"}'
  rc_is dl_tur_again 0

  # A release with a wrong checksum: refused before anything but the scan's
  # INQUIRY commands reaches the drive.
  rc_is dl_badsum 1
  has dl_badsum "{\"answer\":1,\"event\":\"msgbox\",\"style\":16,\"text\":\"File CheckSum Error\",\"title\":\"$title_a\"}"
  lacks dl_badsum '"line":"CDB= 3B'
  lacks dl_badsum '"line":"CDB= DF'
  lacks dl_badsum '"line":"CDB= 00'
  lacks dl_badsum 'Download Start !!'
  lacks dl_badsum '"event":"block"'
  ;;

dry_run)
  qx=$3
  rel=$4/examples/releases
  # scsi_debug poses as the drive (as in the download case); the QEMU CD-ROM
  # at 0:2 gets a release whose model item is "QEMU". Neither knows the
  # vendor memory read: the drive refuses it, the dry run passes over it.
  export RIG_SDEBUG_OPTS="ptype=5 inq_product=QX-R4410"
  sed '2s/.*/QEMU\r/' "$rel/QXR4410_ALL.OUB" >"$tmp/QEMU_ALL.OUB"
  cp "$rel/QXR4410_ALL.bin" "$tmp/QEMU_ALL.bin"
  cat >"$tmp/steps" <<'EOF'
dr_sdebug --json --trace download QXR4410_ALL.OUB --ha 2 --id 0 --dry-run --record sdebug.json
dr_twin_sdebug !$QX --sim=sdebug.json --no-history --json --trace download QXR4410_ALL.OUB --ha 2 --id 0 --dry-run
dr_cd --trace download QEMU_ALL.OUB --ha 0 --id 2 --dry-run --record cd.json
dr_twin_cd !$QX --sim=cd.json --no-history --trace download QEMU_ALL.OUB --ha 0 --id 2 --dry-run
dr_twin_file !cat cd.json
dr_empty --json download QEMU_ALL.OUB --ha 1 --id 0 --dry-run
dr_disk --json download QXR4410_ALL.OUB --ha 0 --id 5 --dry-run
dr_history history
EOF
  run_steps "$rel/QXR4410_ALL.OUB" "$rel/QXR4410_ALL.bin" "$tmp/QEMU_ALL.OUB" "$tmp/QEMU_ALL.bin"
  # Only reading commands reach a drive in a dry run, and the exit code says
  # whether the download would start.
  for step in dr_sdebug dr_twin_sdebug dr_cd dr_twin_cd; do
    rc_is $step 0
    lacks $step 'CDB= 3B'
    lacks $step 'CDB= DF 00 E3'
    lacks $step 'CDB= DF 00 D7'
  done
  has_part dr_sdebug '"step":"state_word","text":"the drive refused the memory read (MemoryRead'
  has_part dr_sdebug '"release":"QXR4410_ALL.OUB","state_word":null,"would_end":null,"would_start":true'
  has_part dr_sdebug '"event":"twin","file":"sdebug.json"'
  # The twins replay to the same commands and the same report.
  for name in sdebug cd; do
    grep -aF 'CDB= ' "$tmp/dr_$name.out" >"$tmp/want_$name"
    grep -aF 'CDB= ' "$tmp/dr_twin_$name.out" >"$tmp/got_$name"
    [ -s "$tmp/want_$name" ] || { show "dr_$name"; fail "dr_$name: no command traced"; }
    diff -u "$tmp/want_$name" "$tmp/got_$name" || fail "dr_twin_$name: other commands than the drive got"
  done
  grep -aE '^  (ok|note|refused) ' "$tmp/dr_cd.out" >"$tmp/want_report"
  grep -aE '^  (ok|note|refused) ' "$tmp/dr_twin_cd.out" >"$tmp/got_report"
  diff -u "$tmp/want_report" "$tmp/got_report" || fail "dr_twin_cd: another report than the drive's"
  has_err dr_twin_cd 'replays a recording of the drive at 0:2 (QEMU CD-ROM), /dev/sg'
  has_part dr_twin_file '"device": "the drive at 0:2 (QEMU CD-ROM), /dev/sg'
  has_part dr_twin_file '"transport": "SCSI generic"'
  # The disk: told why the download would not start.
  rc_is dr_disk 1
  has_part dr_disk '"would_end":"check_failed"'
  # Dry runs are recorded as such, never as downloads.
  rc_is dr_history 0
  has_part dr_history 'dry run: would start'
  lacks dr_history '  done '
  ;;

notes)
  qx=$3
  # Ten SCSI hosts (AHCI ports 3-8 and USB on host 9): adapters 0-7 are hosts
  # 0-6 and 9, and the scan says which hosts it leaves out, one note per line.
  export RIG_ATAPI=1 RIG_USB=1
  cat >"$tmp/steps" <<'EOF'
notes_scan scan
notes_json --json scan
EOF
  run_steps
  rc_is notes_scan 0
  grep -aqE '^qxflash: note: .*not shown: host7 \(ahci\) host8 \(ahci\)' "$tmp/notes_scan.err" ||
    { show notes_scan; fail "notes_scan: no note naming host7 and host8"; }
  rc_is notes_json 0
  grep -aqE '^\{"event":"warning","text":".*not shown: host7 \(ahci\) host8 \(ahci\)' \
    "$tmp/notes_json.out" || { show notes_json; fail "notes_json: no warning event"; }
  ;;

user)
  qx=$3
  # Root is not needed: a user who may read and write scsi_debug's node (made
  # the user's own) scans, reads the version and downloads. With read access
  # only, the scan still lists the drive and its note says that the download
  # needs write access; the download is refused before any WRITE BUFFER.
  export RIG_SDEBUG_OPTS="ptype=5 inq_product=QX-R4410"
  entry='0:QX-R4410 g      '
  cat >"$tmp/steps" <<'EOF'
u_own !chown 1000:1000 /dev/sg3 && chmod 0600 /dev/sg3 && chmod 0755 /rig /rig/work && ls -l /dev/sg3
u_id !as_user id -u
u_scan !as_user "$QX" --sg --json scan
u_version !as_user "$QX" --sg --json version --ha 2 --id 0
u_download !as_user "$QX" --sg --json --trace download QXR4410_A2.OUB --ha 2 --id 0 --yes
r_read !chown 0:0 /dev/sg3 && chmod 0644 /dev/sg3 && ls -l /dev/sg3
r_scan !as_user "$QX" --sg --json scan
r_text !as_user "$QX" --sg scan
r_download !as_user "$QX" --sg --json --trace download QXR4410_A2.OUB --ha 2 --id 0 --yes
EOF
  rel=$4/examples/releases
  run_steps "$rel/QXR4410_A2.OUB" "$rel/QXR4410_A2.bin"
  rc_is u_own 0
  rc_is u_id 0
  has u_id 1000
  rc_is u_scan 0
  has u_scan "{\"event\":\"target\",\"ha\":2,\"item\":\"$entry\"}"
  lacks u_scan 'reading only'
  rc_is u_version 0
  has_part u_version '"event":"fwver"'
  rc_is u_download 0
  same u_download '"line":"CDB= 3B' '{"event":"trace","line":"CDB= 3B 05 0F 00 00 00 00 40 00 00"}'
  has_part u_download '"end":"done","event":"download"'
  rc_is r_read 0
  rc_is r_scan 0
  has r_scan "{\"event\":\"target\",\"ha\":2,\"item\":\"$entry\"}"
  has_part r_scan 'sg3 (2:0:0:0) on adapter 2 (host2) is open for reading only: the kernel passes INQUIRY but refuses the vendor commands and WRITE BUFFER; run as root or give your user read/write access to /dev/sg3 before a download'
  rc_is r_text 0
  grep -aqF 'qxflash: note: sg3 (2:0:0:0) on adapter 2 (host2) is open for reading only' \
    "$tmp/r_text.err" || { show r_text; fail "r_text: no note on the read-only node"; }
  rc_is r_download 1
  lacks r_download '"line":"CDB= 3B'
  names r_download 'read/write access to /dev/sg3'
  ;;

mounted)
  qx=$3
  probe=$5
  # The LSI CD's disc mounted at a directory with a blank in its name (the
  # mount table writes it \040); then the same ISO on the disk's second
  # partition; then on scsi_debug, whose mount the reservation keeps out.
  cat >"$tmp/steps" <<'EOF'
m_none !$PROBE mounts --ha 0 --id 2
m_mount !mkdir -p "/mnt/qx cd" && mount -t iso9660 -o ro /dev/sr0 "/mnt/qx cd"
m_table !grep ' 11:0 ' /proc/self/mountinfo
m_list !$PROBE mounts --ha 0 --id 2
m_other !$PROBE mounts --ha 0 --id 5
m_reserve !$PROBE reserve --ha 0 --id 2
m_send --json send TestUnitReady --ha 0 --id 2
m_download --json --trace download QXR4410_ALL.OUB --ha 0 --id 2 --yes
m_umount !umount "/mnt/qx cd"
m_unmounted !$PROBE mounts --ha 0 --id 2
m_free !$PROBE reserve --ha 0 --id 2
p_disk !dd if=/dev/sr0 of=/tmp/cd.iso bs=2048 && printf 'o\nn\np\n1\n\n+1M\nn\np\n2\n\n\nw\n' | fdisk /dev/sda >/dev/null && dd if=/tmp/cd.iso of=/dev/sda2 && mkdir -p /mnt/part && mount -t iso9660 -o ro /dev/sda2 /mnt/part
p_list !$PROBE mounts --ha 0 --id 5
p_reserve !$PROBE reserve --ha 0 --id 5
p_umount !umount /mnt/part
h_copy !sg_dd if=/tmp/cd.iso of=/dev/sg3 bs=512
h_hold !start_bg hold 'reserve: taken' $PROBE hold --ha 2 --id 0 --until /tmp/hold.stop
h_mount !mount -t iso9660 -o ro /dev/sr2 /mnt && umount /mnt
h_stop !stop_bg hold /tmp/hold.stop
h_mount_after !mount -t iso9660 -o ro /dev/sr2 /mnt && $PROBE mounts --ha 2 --id 0 && umount /mnt
EOF
  run_steps "$rel_all.OUB" "$rel_all.bin" "$probe:/rig/bin/qx_rig_reserve_probe"
  rc_is m_none 0
  has m_none 'mounts: 0'
  rc_is m_mount 0
  has_part m_table ' /mnt/qx\040cd '
  rc_is m_list 0
  same m_list '^mount' 'mount: /mnt/qx cd
mounts: 1'
  has m_other 'mounts: 0'
  # Mounted: the refusal names the mount point (from the mount table; the block
  # device is never opened), and the sg node is not left held.
  rc_is m_reserve 3
  has m_reserve 'reserve: refused: /dev/sr0 is mounted at /mnt/qx cd'
  has m_reserve 'node after refusal: free'
  # send does not reserve: it still reaches the mounted drive.
  rc_is m_send 0
  has m_send '{"code":1,"errmsg":"","event":"result"}'
  # Nothing is written to the mounted QEMU CD-ROM (its model check refuses it
  # already; once the procedure reserves, the mount may be named first).
  rc_is m_download 1
  lacks m_download '"line":"CDB= 3B'
  rc_is m_umount 0
  has m_unmounted 'mounts: 0'
  rc_is m_free 0
  has m_free 'reserve: taken'
  # A partition of the disk: found through sysfs by its device number, and the
  # disk is refused while the partition is mounted.
  rc_is p_disk 0
  same p_list '^mount' 'mount: /mnt/part
mounts: 1'
  rc_is p_reserve 3
  has p_reserve 'reserve: refused: /dev/sda is mounted at /mnt/part'
  rc_is p_umount 0
  # Reserving takes the sg node only: the block device is not claimed (its open
  # and close would send the kernel's own commands to the drive), so a mount
  # meanwhile is not prevented; the download checks the mounts before it starts.
  rc_is h_copy 0
  rc_is h_hold 0
  rc_is h_mount 0
  rc_is h_stop 0
  has h_stop 'node after release: free'
  rc_is h_mount_after 0
  has h_mount_after 'mount: /mnt'
  timings h_stop
  ;;

busy)
  qx=$3
  probe=$5
  # The probe holds scsi_debug (50 ms per command) and keeps sending WRITE
  # BUFFER while other programs try to open its node.
  cat >"$tmp/steps" <<'EOF'
b_slow !sdebug_delay 50000000
b_hold !start_bg hold 'reserve: taken' $PROBE hold --ha 2 --id 0 --until /tmp/hold.stop
b_sg_inq !sg_inq /dev/sg3
b_qx --json send Inquiry --ha 2 --id 0
b_reserve !$PROBE reserve --ha 2 --id 0
b_stop !stop_bg hold /tmp/hold.stop
b_after !sg_inq /dev/sg3
b_slower !sdebug_delay 300000000
b_in_flight !$PROBE release-in-flight --ha 2 --id 0
EOF
  run_steps "$probe:/rig/bin/qx_rig_reserve_probe"
  rc_is b_slow 0
  rc_is b_hold 0
  # sg3_utils exits 50 + errno: EBUSY.
  rc_is b_sg_inq 66
  has_err b_sg_inq 'Device or resource busy'
  # Another qxflash: its scan finds the node busy and says why.
  rc_is b_qx 1
  has_err b_qx 'hint: /dev/sg3 is in use by another program that opened it exclusively'
  rc_is b_reserve 3
  has b_reserve 'reserve: refused: /dev/sg3 is open in another program'
  # The holder's own commands went on all the while, through its descriptor.
  rc_is b_stop 0
  has_re b_stop '^commands while reserved: [1-9][0-9]* good, 0 failed$'
  has b_stop 'own open while reserved: EBUSY'
  has b_stop 'node after release: free'
  has b_stop 'command after release: good'
  rc_is b_after 0
  # Released while a command is in the kernel: the node stays open until the
  # command is back.
  rc_is b_slower 0
  rc_is b_in_flight 0
  has b_in_flight 'node right after release: EBUSY'
  has b_in_flight 'node after the command: free'
  timings b_stop
  timings b_in_flight
  ;;

mounted_download)
  qx=$3
  src=$4
  wired_for '"mounted":["/mnt/qx cd"]' '/mnt/qx cd'
  # scsi_debug poses as the drive (as in rig.download) with the LSI CD's ISO
  # on it, mounted.
  export RIG_SDEBUG_OPTS="ptype=5 inq_product=QX-R4410"
  cat >"$tmp/steps" <<'EOF'
d_mount !dd if=/dev/sr0 of=/tmp/cd.iso bs=2048 && sg_dd if=/tmp/cd.iso of=/dev/sg3 bs=512 && mkdir -p "/mnt/qx cd" && mount -t iso9660 -o ro /dev/sr2 "/mnt/qx cd"
d_download --json --trace download QXR4410_ALL.OUB --ha 2 --id 0 --yes
d_umount !umount "/mnt/qx cd"
d_tur --json send TestUnitReady --ha 2 --id 0
EOF
  run_steps "$rel_all.OUB" "$rel_all.bin"
  rc_is d_mount 0
  rc_is d_download 1
  names d_download '/mnt/qx cd'
  # Refused before anything but the scan's INQUIRY reaches the drive.
  lacks d_download '"line":"CDB= 3B'
  lacks d_download '"line":"CDB= DF'
  lacks d_download '"line":"CDB= 00'
  rc_is d_umount 0
  rc_is d_tur 0
  ;;

busy_download)
  qx=$3
  src=$4
  wired_for '"in_use":true'
  # A download to scsi_debug posing as the drive, 900 ms per command; once its
  # first command is traced, other programs try to open the node.
  export RIG_SDEBUG_OPTS="ptype=5 inq_product=QX-R4410"
  cat >"$tmp/steps" <<'EOF'
bd_slow !sdebug_delay 900000000
bd_start !start_bg dl 'CDB= DF' $QX --sg --json --trace download QXR4410_ALL.OUB --ha 2 --id 0 --yes
bd_sg_inq !sg_inq /dev/sg3
bd_qx --json send Inquiry --ha 2 --id 0
bd_end !stop_bg dl
bd_after !sg_inq /dev/sg3
EOF
  run_steps "$rel_all.OUB" "$rel_all.bin"
  rc_is bd_start 0
  rc_is bd_sg_inq 66
  has_err bd_sg_inq 'Device or resource busy'
  rc_is bd_qx 1
  has_err bd_qx 'in use by another program'
  # The download's own commands were not refused, and it came to its end.
  has_re bd_end '"end":"[a-z_]+","event":"download"'
  lacks bd_end 'Inuse'
  rc_is bd_after 0
  ;;

bench)
  bench=$3
  qx=$4
  # The same start as bench/rig/run-bench.sh: qxflash with its libraries (Qt in
  # a GUI build) as the rig's program, the bench as its prefix.
  # shellcheck source=SCRIPTDIR/../../bench/rig/guest-bench.sh
  . "$here/../../bench/rig/guest-bench.sh"
  guest_bench boot "$bench" "$qx" --rounds "${QX_RIG_BENCH_ROUNDS:-3}"
  rc=$?
  sed -n '/===== RIG: PROGRAM START/,/===== RIG: PROGRAM EXIT CODE/p' "$tmp/console"
  [ "$rc" = 0 ] || { cat "$tmp/rig.err"; fail "qx_rig_bench exited with $rc"; }
  for key in 'time qx-inproc' 'time raw-inproc' 'time sgwb-proc' 'time scan-proc' \
    'ratio qx-proc/sgwb-proc' 'TUR after rounds: good'; do
    grep -aqF -- "$key" "$tmp/console" || fail "bench output lacks $key"
  done
  ;;

*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS (rig.$case_name)"
