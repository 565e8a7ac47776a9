#!/usr/bin/env bash
# The layers of the source tree, bottom first; an include may name its own
# layer or one below it, never one above. Transports and front ends are peers
# that must not include each other; the pass-through bus sits below the
# transports that give it their systems' devices.
#   check_layers.sh SOURCE_DIR        checks the tree, lists every upward include
#   check_layers.sh --self-test       shows that an upward include is caught
set -u

layers=(
  "text"
  "platform"
  "decode"
  "aspi"
  "commands"
  "download"
  "history"
  "ui"
  "transport/passthrough"
  "transport/sim transport/sg transport/spti"
  "ui/qt ui/win32"
  "app"
)

# rank DIR: the layer number of a source directory, -1 when it has none.
rank() {
  local i dir
  for i in "${!layers[@]}"; do
    for dir in ${layers[$i]}; do
      [ "$1" = "$dir" ] && { echo "$i"; return; }
    done
  done
  echo -1
}

# layer_of PATH: the layered directory a file or include path belongs to.
layer_of() {
  case $1 in
    transport/*/* | ui/qt/* | ui/win32/*) echo "${1%%/*}/$(cut -d/ -f2 <<<"$1")" ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;;
  esac
}

check() {
  local root=$1 bad=0 file dir from inc to r_from r_to
  while IFS= read -r file; do
    dir=$(layer_of "${file#"$root"/}")
    r_from=$(rank "$dir")
    [ "$r_from" -ge 0 ] || continue
    while IFS= read -r inc; do
      to=$(layer_of "$inc")
      r_to=$(rank "$to")
      [ "$r_to" -ge 0 ] || continue
      if [ "$r_to" -gt "$r_from" ] || { [ "$r_to" -eq "$r_from" ] && [ "$to" != "$dir" ]; }; then
        echo "${file#"$root"/}: includes \"$inc\" ($to is not below $dir)"
        bad=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  done < <(find "$root/text" "$root/platform" "$root/decode" "$root/aspi" "$root/commands" \
             "$root/download" "$root/history" "$root/ui" "$root/transport" "$root/app" \
             -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.h.in' \) 2>/dev/null | sort)
  return $bad
}

if [ "${1:-}" = --self-test ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/history" "$tmp/ui" "$tmp/transport/sim" "$tmp/transport/sg" \
    "$tmp/transport/passthrough"
  printf '#include "ui/main_form.h"\n' >"$tmp/history/h.cpp"
  printf '#include "history/history.h"\n' >"$tmp/ui/u.cpp"
  printf '#include "transport/sg/sg_bus.h"\n' >"$tmp/transport/sim/s.cpp"
  printf '#include "transport/sg/sg_bus.h"\n' >"$tmp/transport/passthrough/p.cpp"
  printf '#include "transport/passthrough/device.h"\n' >"$tmp/transport/sg/d.cpp"
  out=$(check "$tmp") && { echo "FAIL: upward includes were not caught"; exit 1; }
  grep -q 'history/h.cpp: includes "ui/main_form.h"' <<<"$out" || { echo "FAIL: $out"; exit 1; }
  grep -q 'transport/sim/s.cpp' <<<"$out" || { echo "FAIL: peers not caught: $out"; exit 1; }
  grep -q 'transport/passthrough/p.cpp' <<<"$out" || { echo "FAIL: bus above sg: $out"; exit 1; }
  grep -q 'ui/u.cpp\|transport/sg/d.cpp' <<<"$out" && { echo "FAIL: a downward include was refused: $out"; exit 1; }
  echo "ok (self-test)"
  exit 0
fi

check "${1:?usage: check_layers.sh SOURCE_DIR | --self-test}" || {
  echo "FAIL: includes point up a layer"
  exit 1
}
echo "ok (layers)"
