#!/usr/bin/env bash
# A private system bus with mock logind and UPower services (python3-dbusmock),
# for running a command that takes a sleep inhibitor or reads the battery.
#
#   with_mock_bus.sh run [--logind[=MODE]] [--upower[=STATE]] [--] COMMAND [ARGS...]
#       Starts a dbus-daemon of its own (configuration and socket in a fresh
#       temporary directory), the chosen mocks on it, and runs COMMAND with
#       DBUS_SYSTEM_BUS_ADDRESS pointing at that bus, QX_MOCK_BUS_DIR at the
#       directory (the mocks' output: logind.log, upower.log) and QX_MOCK_BUS
#       at this script. Afterwards, and on SIGINT, SIGTERM or SIGHUP, COMMAND,
#       whatever it left running (every process with this QX_MOCK_BUS_DIR in
#       its environment), the mocks and the bus are stopped (SIGTERM; SIGKILL
#       after 2 s) and the directory is removed. Without --logind or --upower
#       that service is absent from the bus.
#       Exit status: COMMAND's; 77 when dbus-daemon, dbus-send or dbusmock is
#       missing (ctest's "skipped"); 70 when the bus or a mock does not come up.
#     MODE  how the logind mock answers Inhibit:
#       grant   (the default) with a descriptor; the inhibitor stays listed
#               until the last copy of that descriptor is closed
#       refuse  with org.freedesktop.DBus.Error.AccessDenied "Permission denied"
#       stall   not at all for 30 s (the mock is stuck meanwhile)
#     STATE  what the UPower mock reports (as for "power" below); default "ac".
#
#   Inside COMMAND ("$QX_MOCK_BUS" ...; these use DBUS_SYSTEM_BUS_ADDRESS):
#   with_mock_bus.sh inhibitors
#       The inhibitors logind holds, one a line: WHAT<TAB>WHO<TAB>WHY<TAB>MODE.
#   with_mock_bus.sh inhibit-calls
#       Every Inhibit call logind received so far, one a line, same columns.
#   with_mock_bus.sh wait-inhibitors COUNT [SECONDS]
#       Waits (default 5 s) until exactly COUNT inhibitors are held, then
#       prints them. The mock notices a closed descriptor a moment after the
#       close, so check a release with this rather than "inhibitors". Exit
#       status 1 (the ones held on stderr) when the count is not reached.
#   with_mock_bus.sh power STATE
#       Sets what UPower reports from now on:
#         ac               on mains, no battery
#         ac:PERCENT       on mains, the battery charging at PERCENT
#         battery:PERCENT  on battery at PERCENT (29.6 is fine)
#         wrong-type       OnBattery answered with a string instead of true or false
#
# Example: the inhibitor is held while a download runs and released after it.
#   with_mock_bus.sh run --logind --upower=battery:64 -- bash -c '
#     qxflash download X.OUB --ha 0 --id 3 --yes & pid=$!
#     "$QX_MOCK_BUS" wait-inhibitors 1 && wait $pid && "$QX_MOCK_BUS" wait-inhibitors 0'
#
# The Python that has dbusmock: $QX_PYTHON, default /usr/bin/python3.
set -u

self="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
python=${QX_PYTHON:-/usr/bin/python3}

die() {
  echo "with_mock_bus.sh: $*" >&2
  exit "${EXIT_CODE:-2}"
}

usage() {
  sed -n '2,/^set -u/p' "$self" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

# send DEST PATH INTERFACE.METHOD ARGS...: one call on the system bus.
send() {
  local dest=$1 path=$2 method=$3
  shift 3
  dbus-send --system --print-reply --reply-timeout=5000 --dest="$dest" "$path" "$method" "$@"
}

has_owner() {
  send org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
    "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# The helper behind "inhibitors", "inhibit-calls" and "wait-inhibitors":
#   held|calls [COUNT SECONDS]
read -r -d '' inhibitors_py <<'PY'
import sys
import time
import dbus

logind = dbus.SystemBus().get_object('org.freedesktop.login1', '/org/freedesktop/login1')

def rows():
    if sys.argv[1] == 'held':
        return logind.ListInhibitors(dbus_interface='org.freedesktop.login1.Manager')
    return [args for _, args in
            logind.GetMethodCalls('Inhibit', dbus_interface='org.freedesktop.DBus.Mock')]

found = rows()
ok = True
if len(sys.argv) > 2:
    count, deadline = int(sys.argv[2]), time.monotonic() + float(sys.argv[3])
    while len(found) != count and time.monotonic() < deadline:
        time.sleep(0.02)
        found = rows()
    ok = len(found) == count
out = sys.stdout if ok else sys.stderr
for row in found:
    print('\t'.join(str(v) for v in row[:4]), file=out)
if not ok:
    print(f'with_mock_bus.sh: {len(found)} inhibitor(s) held, {count} expected', file=out)
    sys.exit(1)
PY

inhibitors() {
  "$python" -c "$inhibitors_py" "$@"
}

# set_power STATE: what the UPower mock reports from now on.
set_power() {
  local on_battery present percent state type
  if [ "$1" = wrong-type ]; then
    send org.freedesktop.UPower /org/freedesktop/UPower org.freedesktop.DBus.Properties.Set \
      string:org.freedesktop.UPower string:OnBattery variant:string:yes >/dev/null
    return
  fi
  case $1 in
    ac) on_battery=false present=false percent=0 state=0 type=0 ;;
    ac:*) on_battery=false present=true percent=${1#ac:} state=1 type=2 ;;
    battery:*) on_battery=true present=true percent=${1#battery:} state=2 type=2 ;;
    *) die "unknown power state '$1' (ac, ac:PERCENT, battery:PERCENT, wrong-type)" ;;
  esac
  [[ $percent =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "not a percentage: '$percent'"
  send org.freedesktop.UPower /org/freedesktop/UPower org.freedesktop.DBus.Properties.Set \
    string:org.freedesktop.UPower string:OnBattery "variant:boolean:$on_battery" >/dev/null || return
  # Type 2 is a battery (0 unknown); State 1 charging, 2 discharging.
  send org.freedesktop.UPower /org/freedesktop/UPower org.freedesktop.DBus.Mock.SetupDisplayDevice \
    "uint32:$type" "uint32:$state" "double:$percent" "double:$percent" double:100 double:10 \
    int64:3600 int64:0 "boolean:$present" string: uint32:1 >/dev/null
}

# ---------------------------------------------------------------------------
# run

pids=()  # the bus, then the mocks
cmd_pid=
dir=

# The processes that carry this run's QX_MOCK_BUS_DIR in their environment:
# the mocks, the command, and whatever the command started and left behind
# (even once its parent is gone). The scan itself runs without it.
carriers() {
  (
    unset QX_MOCK_BUS_DIR
    grep -lsxz "QX_MOCK_BUS_DIR=$dir" /proc/[0-9]*/environ | sed 's|^/proc/\([0-9]*\)/.*|\1|'
  )
}

cleanup() {
  local i left signal=TERM
  trap '' INT TERM HUP
  if [ -n "$dir" ]; then
    # The command first, then every carrier (what it left running, the
    # mocks) until none is left; what is still there after 2 s is killed.
    [ -n "$cmd_pid" ] && kill -TERM "$cmd_pid" 2>/dev/null
    for ((i = 0; i < 60; i++)); do
      left=$(carriers)
      [ -n "$left" ] || break
      [ "$i" -eq 40 ] && signal=KILL
      # shellcheck disable=SC2086
      kill -"$signal" $left 2>/dev/null
      sleep 0.05
    done
  fi
  # The bus last.
  [ ${#pids[@]} -gt 0 ] && kill -TERM "${pids[0]}" 2>/dev/null
  wait 2>/dev/null
  [ -n "$dir" ] && rm -rf "$dir"
}

# start_mock BUS_NAME TEMPLATE: a dbusmock template on the private bus, once
# it owns its name.
start_mock() {
  local name=$1 template=$2 i
  "$python" -m dbusmock --system --template "$template" >"$dir/$template.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 200; i++)); do
    has_owner "$name" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$dir/$template.log" >&2
  EXIT_CODE=70 die "the $template mock did not come up"
}

run() {
  local logind='' upower='' tool i address='' code=''
  while [ $# -gt 0 ]; do
    case $1 in
      --logind) logind=grant ;;
      --logind=*) logind=${1#--logind=} ;;
      --upower) upower=ac ;;
      --upower=*) upower=${1#--upower=} ;;
      --) shift; break ;;
      -*) die "unknown option '$1'" ;;
      *) break ;;
    esac
    shift
  done
  [ $# -gt 0 ] || die "no command given"
  case $logind in
    '' | grant) ;;
    refuse) code="raise dbus.exceptions.DBusException('Permission denied', name='org.freedesktop.DBus.Error.AccessDenied')" ;;
    stall) code="time.sleep(30)" ;;
    *) die "unknown logind mode '$logind' (grant, refuse, stall)" ;;
  esac

  for tool in dbus-daemon dbus-send; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
  done
  "$python" -c 'import dbusmock' 2>/dev/null ||
    { echo "SKIP: $python has no dbusmock (python3-dbusmock)" >&2; exit 77; }

  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  dir=$(mktemp -d "${TMPDIR:-/tmp}/qx-mock-bus.XXXXXX") || die "no temporary directory"
  cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$dir/bus.conf" --nofork --print-address=3 3>"$dir/address" \
    2>"$dir/bus.log" &
  pids+=($!)
  for ((i = 0; i < 200; i++)); do
    address=$(head -n1 "$dir/address" 2>/dev/null)
    [ -n "$address" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$address" ] || { cat "$dir/bus.log" >&2; EXIT_CODE=70 die "the private bus did not come up"; }
  export DBUS_SYSTEM_BUS_ADDRESS=$address QX_MOCK_BUS_DIR=$dir QX_MOCK_BUS=$self

  if [ -n "$logind" ]; then
    start_mock org.freedesktop.login1 logind
    if [ -n "$code" ]; then
      send org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.DBus.Mock.AddMethod \
        string:org.freedesktop.login1.Manager string:Inhibit string:ssss string:h "string:$code" \
        >/dev/null || EXIT_CODE=70 die "the logind mock took no '$logind' mode"
    fi
  fi
  if [ -n "$upower" ]; then
    start_mock org.freedesktop.UPower upower
    EXIT_CODE=70 set_power "$upower" || EXIT_CODE=70 die "the upower mock took no state '$upower'"
  fi

  # In the background, so that a signal to this script is acted on at once;
  # the command keeps this script's standard input.
  "$@" <&0 &
  cmd_pid=$!
  wait "$cmd_pid"
  local rc=$?
  cmd_pid=
  return $rc
}

case ${1:-} in
  run) shift; run "$@" ;;
  inhibitors) inhibitors held ;;
  inhibit-calls) inhibitors calls ;;
  wait-inhibitors)
    [[ ${2:-} =~ ^[0-9]+$ && ${3:-5} =~ ^[0-9]+(\.[0-9]+)?$ ]] ||
      die "usage: with_mock_bus.sh wait-inhibitors COUNT [SECONDS]"
    inhibitors held "$2" "${3:-5}"
    ;;
  power) [ $# -eq 2 ] || die "usage: with_mock_bus.sh power STATE"; set_power "$2" ;;
  *) usage ;;
esac
