#!/bin/sh
# Runs in the rig guest (busybox sh) as the prefix of rig-wine (run-guest.sh -w
# with RIG_WRAP): "$@" is "/rig/bin/rig-wine /rig/bin/qxflash.exe ARGS". The
# first run through rig-wine unpacks wine and gives the drives their letters
# (its output is tagged with the step name "setup"); then every line
# "NAME ARGS..." of /rig/work/steps becomes one "wine64 qxflash.exe --spti ARGS"
# (ARGS are split at blanks), with the same tags as guest_steps.sh:
#   @O NAME line    standard output
#   @E NAME line    standard error
#   @R NAME CODE    exit status (137: killed after STEP_TIMEOUT seconds)
#   @T NAME SECONDS how long the step took
#   @DONE           all steps ran
step_timeout=${STEP_TIMEOUT:-120}
up() { cut -d' ' -f1 /proc/uptime; }
since() { echo "$(up) $1" | awk '{printf "%.1f", $1 - $2}'; }

t0=$(up)
"$@" >/tmp/setup.out 2>&1
echo "@R setup $?"
sed "s/^/@O setup /" /tmp/setup.out
echo "@T setup $(since "$t0")"

exe=$2
export WINEPREFIX=/rig/wineprefix
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# One wine server for every step: a new one would boot the prefix again.
server=$(ls /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver 2>/dev/null | head -n1)
if [ -n "$server" ]; then
  "$server" -w  # the one rig-wine started ends first
  "$server" -p
fi
cd /rig/work || exit 125
while read -r name args; do
  case $name in '' | \#*) continue ;; esac
  t=$(up)
  # shellcheck disable=SC2086  # the arguments are meant to be split
  timeout -s KILL "$step_timeout" /usr/lib/wine/wine64 "$exe" --spti $args \
    >/tmp/step.out 2>/tmp/step.err </dev/null
  rc=$?
  sed "s/^/@O $name /" /tmp/step.out | tr -d '\r'
  sed "s/^/@E $name /" /tmp/step.err | tr -d '\r'
  echo "@R $name $rc"
  echo "@T $name $(since "$t")"
done </rig/work/steps
[ -n "$server" ] && "$server" -k
echo "@DONE"
