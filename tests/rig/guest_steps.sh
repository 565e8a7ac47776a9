#!/bin/sh
# Runs in the rig guest (busybox sh) as the prefix of the qxflash given as $1.
# Every line of /rig/work/steps is one step:
#   NAME ARGS...    "qxflash --sg ARGS" (ARGS are split at blanks)
#   NAME !COMMAND   COMMAND run by sh, with QX set to qxflash's path and the
#                   helpers of /rig/work/guest_cases.sh at hand (mount, a probe,
#                   a program in the background, ...)
# Each output line is tagged with its step so the host can take the console
# apart again:
#   @O NAME line    standard output
#   @E NAME line    standard error
#   @R NAME CODE    exit status (137: killed after STEP_TIMEOUT seconds)
#   @DONE           all steps ran
qx=$1
step_timeout=${STEP_TIMEOUT:-120}
while read -r name args; do
  case $name in '' | \#*) continue ;; esac
  case $args in
  '!'*)
    QX=$qx timeout -s KILL "$step_timeout" sh -c \
      "[ -f /rig/work/guest_cases.sh ] && . /rig/work/guest_cases.sh; ${args#!}" \
      >/tmp/step.out 2>/tmp/step.err </dev/null
    ;;
  *)
    # shellcheck disable=SC2086  # the arguments are meant to be split
    timeout -s KILL "$step_timeout" "$qx" --sg $args >/tmp/step.out 2>/tmp/step.err </dev/null
    ;;
  esac
  rc=$?
  sed "s/^/@O $name /" /tmp/step.out
  sed "s/^/@E $name /" /tmp/step.err
  echo "@R $name $rc"
done </rig/work/steps
echo "@DONE"
