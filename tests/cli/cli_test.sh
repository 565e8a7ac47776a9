#!/usr/bin/env bash
# One end-to-end case of the qxflash command line: cli_test.sh CASE QXFLASH SOURCE_DIR
set -u
case_name=$1
qx=$2
src=$3
rel=$src/examples/releases
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_STATE_HOME=$tmp/state  # keep the download history out of the home directory

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

# A drive that takes 150 ms per command, so a download runs for seconds.
slow_scenario() {
  cat >"$tmp/slow.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 2, "delay_ms": 150,
  "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
 "completion": {"async": true, "delay_ms": 0}}
JSON
}
# start_download: runs a slow download in the background (pid in $pid) and
# returns once its second block went out (up to 20 s on a loaded machine).
# The output files are emptied first, so that the previous download's lines
# are never taken for this one's.
start_download() {
  slow_scenario
  : >"$tmp/out"
  : >"$tmp/err"
  "$qx" --sim="$tmp/slow.json" download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
  for _ in $(seq 200); do grep -q "block 2 of" "$tmp/out" 2>/dev/null && return; sleep 0.1; done
  cat "$tmp/out" "$tmp/err"
  fail "no block went out"
}

case $case_name in
binary)
  run 0 --help
  has "Usage: qxflash"
  run 0 --version
  has "qxflash "
  run 2 --bogus
  has_err "unknown option '--bogus'"
  run 2 --sim="$tmp/missing.json" scan
  # Without a display the window cannot open: a usage error, as the manual says.
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$qx" >"$tmp/out" 2>"$tmp/err" </dev/null
  rc=$?
  [ "$rc" = 2 ] || { cat "$tmp/err"; fail "exit $rc without a display, expected 2"; }
  grep -q "says so and exits with status $rc\.$" "$src/packaging/qxflash.1" ||
    fail "the manual gives another exit status without a display"
  ;;
download_no_terminal)
  run 1 download "$rel/QXR4410_A0.OUB" --ha 0 --id 2
  has_err "no terminal to ask"
  has "-> Cancel"
  run 1 download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --no
  ;;
abort_ctrl_c)
  start_download
  kill -INT $pid
  # Acknowledged while the command in flight still runs (waited for, up to
  # 10 s, rather than timed).
  for _ in $(seq 100); do
    grep -q "Abort requested: the drive finishes the current command first (at most 300 s)" \
      "$tmp/err" && break
    sleep 0.1
  done
  grep -q "Abort requested: the drive finishes the current command first (at most 300 s)" \
    "$tmp/err" || { cat "$tmp/err"; fail "no acknowledgement after Ctrl-C"; }
  wait $pid
  rc=$?
  [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after Ctrl-C"; }
  has "Abort By User"
  has_err "download aborted before block"
  grep -q "block 16 of" "$tmp/out" && fail "download went on after Ctrl-C"
  ;;
stop_signals)
  for sig in TERM HUP QUIT; do
    start_download
    kill -$sig $pid
    wait $pid
    rc=$?
    [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after SIG$sig"; }
    has_err "download stopped by signal"
    grep -q "block 16 of" "$tmp/out" && fail "download went on after SIG$sig"
  done
  # Outside a download the signal ends the program as usual.
  slow_scenario
  "$qx" --sim="$tmp/slow.json" scan >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
  sleep 0.3
  kill -TERM $pid
  wait $pid
  rc=$?
  [ "$rc" = 143 ] || fail "scan ended with $rc after SIGTERM, expected 143"
  ;;
stop_phases)
  # A stop while the drive is being prepared: the command in flight completes,
  # nothing more goes to the drive.
  slow_scenario
  "$qx" --sim="$tmp/slow.json" --trace download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
  for _ in $(seq 200); do grep -q "Download Start !!" "$tmp/out" 2>/dev/null && break; sleep 0.01; done
  kill -TERM $pid
  wait $pid
  rc=$?
  [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after SIGTERM in the preparation"; }
  after=$(sed -n '/Download Start !!/,$p' "$tmp/out" | grep -c "CDB=")
  [ "$after" -le 1 ] || { cat "$tmp/out"; fail "$after commands went out after the stop"; }
  has_err "download stopped by signal"
  # A stop while the last block goes out comes too late, and says so.
  cat >"$tmp/last.json" <<'JSON'
{"adapters": [{"ha": 0, "targets": [{"id": 2, "delay_ms": 400,
  "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
 "completion": {"async": true, "delay_ms": 0}}
JSON
  "$qx" --sim="$tmp/last.json" download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes \
    >"$tmp/out" 2>"$tmp/err" </dev/null &
  pid=$!
  for _ in $(seq 500); do grep -q "block 1 of 2" "$tmp/out" 2>/dev/null && break; sleep 0.01; done
  kill -INT $pid
  wait $pid
  rc=$?
  [ "$rc" = 0 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after a late Ctrl-C"; }
  has "block 2 of 2"
  has_err "the stop came too late: the download had completed (2 of 2 blocks sent)"
  ;;
nohup)
  # Started with SIGHUP ignored (nohup), a hang-up does not stop the download.
  slow_scenario
  (trap '' HUP; exec "$qx" --sim="$tmp/slow.json" download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 \
    --yes >"$tmp/out" 2>"$tmp/err" </dev/null) &
  pid=$!
  for _ in $(seq 100); do grep -q "Download Start" "$tmp/out" 2>/dev/null && break; sleep 0.05; done
  kill -HUP $pid
  wait $pid
  rc=$?
  [ "$rc" = 0 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc after an ignored SIGHUP"; }
  has "block 2 of 2"
  ;;
killed)
  # While the download runs, the history and a scan beside it show it in
  # progress, naming its process, with no advice to download again.
  start_download
  for args in history "--sim=$tmp/slow.json scan"; do
    # shellcheck disable=SC2086
    "$qx" $args >"$tmp/beside" 2>&1 </dev/null || fail "$args beside the download failed"
    grep -qF "in progress (process $pid)" "$tmp/beside" || { cat "$tmp/beside"; fail "$args: not in progress"; }
    grep -qE "Download the release again|never reported" "$tmp/beside" &&
      { cat "$tmp/beside"; fail "$args: a running download taken for an interrupted one"; }
  done
  # A download killed outright is not forgotten: the history shows it
  # interrupted, and the next scan says what to do.
  kill -KILL $pid
  wait $pid
  run 0 history
  has "interrupted ?/16 blocks: the download of QXR4410_ALL.OUB"
  run 0 --sim="$tmp/slow.json" scan
  has "never reported its end"
  run 0 --json history
  has '"interrupted":true'
  ;;
full_disk)
  # A history on a file system that fills up (a file size limit stands in for
  # it): a record that fits only in part is cut off again, the warning names
  # it, and the download goes on. Each row: how much of the limit is left for
  # the start record (in its size), the records missing.
  "$qx" download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes >/dev/null 2>&1 </dev/null ||
    fail "the sizing download failed"
  hist=$XDG_STATE_HOME/qxflash/history.jsonl
  start=$(sed -n 1p "$hist" | wc -c)
  end=$(sed -n 2p "$hist" | wc -c)
  limit=8192  # bytes (ulimit -f 8)
  for row in "$((start / 2)) began,ended" "$((start + end / 2)) ended"; do
    read -r room missing <<<"$row"
    head -c $((limit - room)) /dev/zero | tr '\0' '\n' >"$hist"  # empty lines are skipped
    before=$(wc -c <"$hist")
    ( ulimit -f $((limit / 1024)); trap '' XFSZ
      exec "$qx" download "$rel/QXR4410_A0.OUB" --ha 0 --id 2 --yes >"$tmp/out" 2>"$tmp/err" </dev/null )
    rc=$?
    [ "$rc" = 0 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc: the download did not go on"; }
    has "block 2 of 2 sent"
    for word in began ended; do
      want="the record that the download of QXR4410_A0.OUB to 0:2 began is missing"
      [ $word = ended ] && want="the record of how the download of QXR4410_A0.OUB to 0:2 ended is missing"
      if [[ ,$missing, == *,$word,* ]]; then has_err "$want"; else
        grep -qF "$want" "$tmp/err" && { cat "$tmp/err"; fail "said missing: $word"; }; fi
    done
    # The file holds whole records only: what fitted, nothing torn.
    kept=$(( $(wc -c <"$hist") - before ))
    [ "$missing" = began,ended ] && [ "$kept" != 0 ] && fail "$kept bytes of torn records kept"
    [ "$missing" = ended ] && [ "$kept" != "$start" ] && fail "$kept bytes kept, not the start record"
    run 0 history
    grep -q "damaged" "$tmp/err" && { cat "$tmp/err"; fail "a torn line is left"; }
  done
  ;;
write_errors)
  "$qx" scan >/dev/full 2>"$tmp/err"
  [ $? = 1 ] || fail "scan to /dev/full did not fail"
  has_err "cannot write the output: No space left on device"
  # A reader that goes away in the middle of a download stops it like an abort.
  slow_scenario
  set -o pipefail
  "$qx" --sim="$tmp/slow.json" download "$rel/QXR4410_ALL.OUB" --ha 0 --id 2 --yes \
    2>"$tmp/err" </dev/null | head -n 12 >"$tmp/out"
  rc=$?
  [ "$rc" = 1 ] || { cat "$tmp/out" "$tmp/err"; fail "exit $rc with a closed pipe"; }
  has_err "download stopped"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
