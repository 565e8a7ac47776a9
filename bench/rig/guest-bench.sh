# shellcheck shell=bash
# Sourced by bench/rig/run-bench.sh and tests/rig/rig_test.sh (bash): how
# qx_rig_bench is started in the QEMU rig.
#
#   guest_bench RUNNER QX_RIG_BENCH QXFLASH [BENCH_OPTION...]
#
# RUNNER is the rig's run-guest.sh or a function that takes the same arguments
# (rig_test.sh retries a boot that died). qxflash is the rig's PROGRAM, so that
# run-guest.sh copies every library ldd finds for it into the guest (Qt in a GUI
# build); a qxflash passed with -f alone would get none and exit 127 there. The
# bench is copied with -f and runs as the program's RIG_WRAP prefix: the guest
# appends the program's path, which becomes the value of the bench's last
# option, --qxflash. The bench links only libraries qxflash needs too (libstdc++
# and libc), so the libraries copied for qxflash serve it as well.
#
# RIG_WRAP is split at blanks in the guest, so a BENCH_OPTION must not hold one.
guest_bench() {
  local runner=$1 bench=$2 qx=$3
  shift 3
  local opt
  for opt in "$@"; do
    case $opt in
    *[[:space:]]* | '')
      echo "guest_bench: a bench option may not be empty or hold a blank: '$opt'" >&2
      return 2
      ;;
    esac
  done
  RIG_WRAP="/rig/bin/qx_rig_bench $* --sg-write-buffer /usr/bin/sg_write_buffer --qxflash" \
    "$runner" -f "$bench:/rig/bin/qx_rig_bench" "$qx"
}
