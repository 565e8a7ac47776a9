#!/usr/bin/env bash
# One end-to-end case of the qxflash command line: cli_test.sh CASE QXFLASH SOURCE_DIR
set -u
case_name=$1
qx=$2
src=$3
rel=$src/examples/releases
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL ($case_name): $*"; exit 1; }
# run EXPECTED_RC ARGS...: runs qxflash, keeps stdout/stderr, checks the exit code.
run() {
  local want=$1
  shift
  "$qx" "$@" >"$tmp/out" 2>"$tmp/err" </dev/null
  local rc=$?
  [ "$rc" = "$want" ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc, expected $want: $*"; }
}
has() { grep -qF -- "$1" "$tmp/out" || { cat "$tmp/out"; fail "output lacks: $1"; }; }
has_err() { grep -qF -- "$1" "$tmp/err" || { cat "$tmp/err"; fail "errors lack: $1"; }; }

case $case_name in
scan)
  run 0 scan
  has "Host adapter 0:SIM-HA0"
  has "Host adapter 2:SIM-HA2"
  has "target 2:QX-R4410"
  run 0 --json scan
  has '{"event":"adapter","item":"0:SIM-HA0"}'
  has '{"event":"target","ha":2,"item":"4:QX-R4410        "}'
  ;;
version)
  run 0 version --ha 0 --id 2
  has "Current Firmware Version: 1.10"
  run 1 version --ha 1 --id 2
  has_err "host adapter 1 did not answer"
  run 1 version --ha 0 --id 3
  has_err "no device answered at target ID 3"
  ;;
download_json)
  run 0 --json download "$rel/QXR4410_ALL.OUB" --ha 2 --id 4 --yes
  has '{"answer":1,"event":"msgbox","style":33,"text":"Firmware Download Execute","title":"QX-R4410 Ambervault Tool 2 "}'
  has '{"block":15,"count":16,"event":"block","index":16,"mode":5}'
  has 'Wait until all LED off.\r\nAfter all LED off ,turn Off drive & PC power."'
  [ "$(grep -c '"event":"block"' "$tmp/out")" = 16 ] || fail "16 blocks expected"
  ;;
download_refused)
  cat >"$tmp/refuse.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 3, "refuse_download": "rpc",
  "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}]}
JSON
  run 1 --sim="$tmp/refuse.json" download "$rel/QXR4410_A0.OUB" --ha 0 --id 3 --yes
  has "because the RPC mode is not corresponding."
  run 1 download "$rel/BAD_CHECKSUM.OUB" --ha 0 --id 2 --yes
  has "File CheckSum Error"
  run 2 --sim="$tmp/missing.json" scan
  ;;
download_no_terminal)
  run 1 download "$rel/QXR4410_A0.OUB" --ha 0 --id 2
  has_err "no terminal to ask"
  has "-> Cancel"
  run 1 download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --no
  ;;
usage)
  run 2 --bogus
  run 2 version --ha 9 --id 1
  run 2 frobnicate
  run 2 download --ha 0 --id 2 --yes
  run 2 send DiIn 1 --ha 0 --id 2
  run 2 send DiIn 1 256 --ha 0 --id 2
  run 2 --timeout -3 scan
  run 0 --help
  has "Usage: qxflash"
  run 0 --version
  has "qxflash "
  ;;
send)
  run 0 send MemoryRead 0x7FE0 0x7FE1 0 --ha 0 --id 2
  has "000000:"
  has "MemoryRead: completed without error"
  run 1 --json send MemoryRead 0 40000 0 --ha 0 --id 2
  has '"event":"result"'
  has 'MemoryReadInvalid parameter set in SRB'
  run 0 --json send Inquiry --ha 0 --id 5
  has '{"code":1,"errmsg":"","event":"result"}'
  ;;
check)
  run 0 check "$rel/QXR4410_A1.OUB"
  has "blocks sent: 2 3 4 5 6 7 8 9 10 11 12 13 14"
  run 1 check "$rel/BAD_NOAREA.OUB"
  has "Program Error"
  run 1 check "$rel/QXR4410_A1.OUB" --model qx-r4410
  has "Select 'QX-R4410'"
  run 0 dump-image "$rel/QXR4410_A2.OUB"
  [ "$(wc -l <"$tmp/out")" = 16384 ] || fail "16384 dump lines expected"
  ;;
abort_ctrl_c)
  cat >"$tmp/slow.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 2, "delay_ms": 150,
  "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
 "completion": {"async": true, "delay_ms": 0}}
JSON
  "$qx" --sim="$tmp/slow.json" download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
  for _ in $(seq 100); do grep -q "block 2 of" "$tmp/out" 2>/dev/null && break; sleep 0.1; done
  kill -INT $pid
  wait $pid
  rc=$?
  [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after Ctrl-C"; }
  has "Abort By User"
  grep -q "block 16 of" "$tmp/out" && fail "download went on after Ctrl-C"
  ;;
trace)
  run 0 --trace send TestUnitReady --ha 0 --id 2
  has "| CDB= 00 00 00 00 00 C0"
  has "| SRB SenseLen = 255"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
