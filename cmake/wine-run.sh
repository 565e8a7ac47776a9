#!/usr/bin/env bash
# Runs Windows programs of the cross build under wine, in a wine prefix of
# their own (never the user's ~/.wine):
#   wine-run.sh --prefix DIR PROGRAM.exe [ARGS...]   runs one program
#   wine-run.sh --prefix DIR --console PROGRAM.exe [ARGS...]
#                                                    runs it with a console (for console
#                                                    control events), output still plain
#   wine-run.sh --prefix DIR --start                 creates the prefix when missing and keeps
#                                                    one wineserver running for a test run
#   wine-run.sh --prefix DIR --stop                  ends that wineserver
# The prefix is made once with `wineboot -i` (about 10 s); a kept wineserver
# makes each later start take well under a second.
set -euo pipefail
[ "${1:-}" = --prefix ] && [ $# -ge 3 ] || {
  echo "usage: wine-run.sh --prefix DIR (--start | --stop | [--console] PROGRAM.exe [ARGS...])" >&2
  exit 2
}
export WINEPREFIX=$2
shift 2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no prompts to install Mono or Gecko
export WINEARCH=win64
wine=/usr/lib/wine/wine64  # /usr/bin/wine asks for the 32-bit wine
wineserver=/usr/lib/wine/wineserver

# The prefix, made once, by one caller at a time.
make_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i </dev/null >/dev/null 2>&1
      "$wineserver" -w </dev/null >/dev/null 2>&1  # until wineboot's programs have ended
    fi
  ) 9>"$WINEPREFIX.lock"
}

# start_server LINGER: a wineserver that stays LINGER seconds after its last
# program ("" for ever); nothing to do when one is running already. The
# wineserver and the programs wine starts beside the first program of a
# session (services.exe, winedevice.exe, explorer.exe) outlive that program,
# so they are started here with /dev/null for input and output: they cannot
# hold the caller's output open (ctest waits for it to close).
start_server() {
  make_prefix
  "$wineserver" "-p$1" </dev/null >/dev/null 2>&1 || return 0
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

case ${1:-} in
--start)
  start_server ""
  ;;
--stop)
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  "$wineserver" -w </dev/null >/dev/null 2>&1 || true  # gone before a next --start
  ;;
--console)
  # wine gives a program a console when its standard input is a terminal;
  # `script` provides one. The output goes through a file, not through the
  # console, which would redraw it with terminal escapes.
  shift
  start_server 10
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  status=0
  script -qec "$(printf '%q ' "$wine" "$@") >$(printf '%q' "$log") 2>&1" /dev/null \
    </dev/null >/dev/null || status=$?
  cat "$log"
  exit $status
  ;;
*)
  start_server 10
  exec "$wine" "$@"
  ;;
esac
