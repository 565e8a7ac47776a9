#!/usr/bin/env bash
# Runs qx_rig_bench once in the QEMU SCSI rig and prints its figures.
#
#   bench/rig/run-bench.sh BUILD_DIR [ROUNDS [MODE]]
#
# BUILD_DIR holds app/qxflash and bench/rig/qx_rig_bench (build both targets
# first). ROUNDS defaults to 40, MODE to 0x0E (a WRITE BUFFER mode scsi_debug
# accepts without raising a unit attention). The rig scripts are taken from
# QXFLASH_RIG_DIR, else from ../shared/rig beside the repository. qxflash goes
# into the guest as the rig's program, with its libraries (guest-bench.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-bench.sh BUILD_DIR [ROUNDS [MODE]]}
rounds=${2:-40}
mode=${3:-0x0E}
rig=${QXFLASH_RIG_DIR:-$here/../../../shared/rig}
for f in "$rig/run-guest.sh" "$build/app/qxflash" "$build/bench/rig/qx_rig_bench"; do
  [ -x "$f" ] || { echo "run-bench.sh: $f is missing" >&2; exit 1; }
done
log=$(mktemp /tmp/qx-rig-bench.XXXXXX)
trap 'rm -f "$log"' EXIT
# shellcheck source=SCRIPTDIR/guest-bench.sh
. "$here/guest-bench.sh"
set +e
RIG_LIST=0 RIG_TIMEOUT=${RIG_TIMEOUT:-1800} guest_bench "$rig/run-guest.sh" \
  "$build/bench/rig/qx_rig_bench" "$build/app/qxflash" --rounds "$rounds" --mode "$mode" \
  >"$log" 2>&1
rc=$?
set -e
sed -n '/===== RIG: PROGRAM START/,/===== RIG: PROGRAM EXIT CODE/p' "$log"
[ "$rc" = 0 ] || { tail -n 30 "$log"; echo "run-bench.sh: the bench exited with $rc" >&2; }
exit "$rc"
