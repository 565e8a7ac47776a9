#!/bin/sh
# Sourced in the rig guest (busybox sh) before the command of a step
# "NAME !COMMAND" (see guest_steps.sh): helpers for those commands.
# shellcheck disable=SC2034  # PROBE is used by the steps' commands
PROBE=/rig/bin/qx_rig_reserve_probe

# start_bg NAME TEXT CMD...: runs CMD in the background (output in
# /tmp/NAME.out, exit status in /tmp/NAME.rc) and returns once its output holds
# TEXT (status 0), or once it ended or 60 s passed without it (status 1).
start_bg() {
  name=$1 text=$2
  shift 2
  rm -f "/tmp/$name.out" "/tmp/$name.rc"
  ( "$@" >"/tmp/$name.out" 2>&1 </dev/null; echo $? >"/tmp/$name.rc" ) &
  i=0
  while ! grep -qF -- "$text" "/tmp/$name.out" 2>/dev/null; do
    if [ -e "/tmp/$name.rc" ] || [ $i -ge 600 ]; then
      echo "$name: no '$text' in its output"
      cat "/tmp/$name.out"
      return 1
    fi
    i=$((i + 1))
    sleep 0.1
  done
  echo "$name: '$text' after about $((i * 100)) ms"
}

# stop_bg NAME [FILE]: creates FILE (when given), waits for the background
# command NAME to end (at most 120 s), prints its output and returns its exit
# status (124 when it did not end).
stop_bg() {
  [ -n "${2:-}" ] && : >"$2"
  i=0
  while [ ! -e "/tmp/$1.rc" ] && [ $i -lt 1200 ]; do
    i=$((i + 1))
    sleep 0.1
  done
  cat "/tmp/$1.out"
  [ -e "/tmp/$1.rc" ] || { echo "$1: still running"; return 124; }
  return "$(cat "/tmp/$1.rc")"
}

# sdebug_delay NS: scsi_debug takes NS nanoseconds for every command from now
# on. The module refuses the change while a command is queued (EBUSY), so it is
# tried again for a while.
sdebug_delay() {
  i=0
  until echo "$1" 2>/dev/null >/sys/bus/pseudo/drivers/scsi_debug/ndelay; do
    i=$((i + 1))
    [ $i -ge 50 ] && { echo "scsi_debug ndelay not set"; return 1; }
    sleep 0.1
  done
  echo "scsi_debug ndelay $(cat /sys/bus/pseudo/drivers/scsi_debug/ndelay)"
}

# as_user CMD ARGS...: runs CMD as the unprivileged user qx (uid and gid 1000,
# home /tmp/qx), made on first use; the environment (the libraries' path) is
# kept.
as_user() {
  if ! grep -q '^qx:' /etc/passwd 2>/dev/null; then
    grep -q '^root:' /etc/passwd 2>/dev/null || echo 'root:x:0:0:root:/root:/bin/sh' >>/etc/passwd
    grep -q '^root:' /etc/group 2>/dev/null || echo 'root:x:0:' >>/etc/group
    echo 'qx:x:1000:1000:qx:/tmp/qx:/bin/sh' >>/etc/passwd
    echo 'qx:x:1000:' >>/etc/group
    mkdir -p /tmp/qx && chown 1000:1000 /tmp/qx
  fi
  cmd=$1
  shift
  # shellcheck disable=SC2016  # expanded by the user's shell
  # "--" keeps su from taking the command's options for its own.
  su -s /bin/sh -c 'exec "$0" "$@"' qx -- "$cmd" "$@"
}
