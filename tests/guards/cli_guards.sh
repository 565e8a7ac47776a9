#!/usr/bin/env bash
# The command line's download guards against mock logind and UPower services:
#   cli_guards.sh CASE QXFLASH SOURCE_DIR   (runs itself under with_mock_bus.sh)
#   inhibitor   taken once (what, who, why, "block"), held while the blocks go
#               out, released after done, a failed block, Ctrl-C and each stop signal
#   battery     below 30 % on battery: refused before any command; above: a note
#   no_logind   no logind on the bus: one line says so, the download goes on
#   power_unknown  UPower answers OnBattery with a string: unknown, said beside
#               the confirmation, the download goes on
set -u
case_name=$1
qx=$2
src=$3
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QX_MOCK_BUS:-}" ]; then
  case $case_name in
    inhibitor) mocks=(--logind --upower) ;;
    battery) mocks=(--logind --upower=battery:22) ;;
    no_logind) mocks=(--upower) ;;
    power_unknown) mocks=(--logind --upower=wrong-type) ;;
    *) echo "unknown case $case_name"; exit 2 ;;
  esac
  exec bash "$here/with_mock_bus.sh" run "${mocks[@]}" -- bash "$0" "$@"
fi

rel=$src/examples/releases
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_STATE_HOME=$tmp/state
fail() { echo "FAIL ($case_name): $*"; exit 1; }

# A drive that takes 250 ms per command (a stop sent after block 2 comes in
# time however busy the machine), and one whose fourth block fails.
cat >"$tmp/slow.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 2, "delay_ms": 250,
  "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
 "completion": {"async": true, "delay_ms": 0}}
JSON
cat >"$tmp/failing.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 2}]}],
 "faults": [{"opcode": "0x3B", "nth": 4, "ha_status": "0x0E"}]}
JSON

# download SCENARIO: a download in the background ($pid), output in $tmp/out, $tmp/err.
# The files are emptied first, here: the background job's own redirection may
# come only after wait_for_block has looked, which must not find the "block 2
# of" of an earlier download there and stop a download that has not started.
download() {
  : >"$tmp/out"
  : >"$tmp/err"
  "$qx" --sim="$tmp/$1" download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
}
wait_for_block() {
  # Up to 20 s: on a loaded machine the start and the preparation take long.
  for _ in $(seq 400); do grep -q "block 2 of" "$tmp/out" 2>/dev/null && return; sleep 0.05; done
  cat "$tmp/out" "$tmp/err"
  fail "no block went out"
}
released() {
  "$QX_MOCK_BUS" wait-inhibitors 0 15 >/dev/null || fail "$1: the inhibitor was not released"
}

case $case_name in
inhibitor)
  download slow.json
  wait_for_block
  held=$("$QX_MOCK_BUS" inhibitors)
  [ "$(wc -l <<<"$held")" = 1 ] || fail "while blocks go out, inhibitors held: $held"
  want=$'shutdown:sleep:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key:handle-power-key\tqxflash\twriting firmware to the drive at 0:2 (QX-R4410)\tblock'
  [ "$held" = "$want" ] || fail "inhibitor held: $held"
  wait $pid || fail "the download failed: $(cat "$tmp/err")"
  released done
  [ "$("$QX_MOCK_BUS" inhibit-calls | wc -l)" = 1 ] || fail "Inhibit was called more than once"

  "$qx" --sim="$tmp/failing.json" download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>&1 </dev/null && fail "a failing block reported success"
  released "a failed block"

  for sig in INT TERM HUP QUIT PIPE; do
    download slow.json
    wait_for_block
    kill -$sig $pid
    wait $pid
    rc=$?
    [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after SIG$sig"; }
    grep -q "block 16 of" "$tmp/out" && fail "the download went on after SIG$sig"
    released "SIG$sig"
  done
  ;;
battery)
  "$qx" --sim --trace download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes >"$tmp/out" 2>&1 \
    </dev/null && fail "a download on 22 % battery was not refused"
  grep -q "The battery is at 22 %: connect the charger before writing firmware" "$tmp/out" ||
    { cat "$tmp/out"; fail "no word of the battery"; }
  # Nothing but the scan's and the selection's INQUIRY reached the drive.
  grep "CDB=" "$tmp/out" | grep -qv "CDB= 12 " && { cat "$tmp/out"; fail "a command went out"; }
  [ -z "$("$QX_MOCK_BUS" inhibit-calls)" ] || fail "the inhibitor was taken for a refused download"
  # The dry run gives the same verdict, with exit 1 and nothing sent.
  "$qx" --sim --trace download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --dry-run >"$tmp/out" 2>&1 \
    </dev/null && fail "a dry run on 22 % battery said the download would start"
  grep -q "The download would not start: The battery is at 22 %" "$tmp/out" ||
    { cat "$tmp/out"; fail "the dry run gave no word of the battery"; }
  grep "CDB=" "$tmp/out" | grep -qv "CDB= 12 " && { cat "$tmp/out"; fail "a dry run command went out"; }
  "$QX_MOCK_BUS" power battery:64
  "$qx" --sim download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes >"$tmp/out" 2>"$tmp/err" \
    </dev/null || { cat "$tmp/out" "$tmp/err"; fail "a download on 64 % battery failed"; }
  grep -q "note: The machine runs on battery (64 %)." "$tmp/err" ||
    { cat "$tmp/err"; fail "no note of the battery"; }
  ;;
no_logind)
  "$qx" --sim download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes >"$tmp/out" 2>"$tmp/err" \
    </dev/null || { cat "$tmp/out" "$tmp/err"; fail "the download failed without logind"; }
  [ "$(grep -c "could not be held off" "$tmp/err")" = 1 ] ||
    { cat "$tmp/err"; fail "not one line about the missing inhibitor"; }
  # The dry run finds the inhibitor missing too, and takes nothing.
  "$qx" --sim download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --dry-run >"$tmp/out" 2>&1 </dev/null ||
    { cat "$tmp/out"; fail "the dry run without logind said the download would not start"; }
  grep -q "note     drive taken: the system's sleep and shutdown could not be held off" "$tmp/out" ||
    { cat "$tmp/out"; fail "the dry run gave no word of the missing inhibitor"; }
  ;;
power_unknown)
  "$qx" --sim download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes >"$tmp/out" 2>"$tmp/err" \
    </dev/null || { cat "$tmp/out" "$tmp/err"; fail "the download failed with the power unknown"; }
  grep -q "note: The power supply is not known (UPower answered OnBattery with a value of type 's'" \
    "$tmp/err" || { cat "$tmp/err"; fail "no word of the unknown power supply"; }
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
