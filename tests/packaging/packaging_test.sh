#!/usr/bin/env bash
# One check of the Debian packaging: packaging_test.sh CASE QXFLASH SOURCE_DIR [BUILD_DIR]
#   names       every sub-command, option and send builder of the command tables is in
#               "qxflash --help" and the man page, and is offered by the bash completion
#   man         the man page renders without warnings
#   completion  the completion finishes sub-commands and offers *.OUB files in any case
#   deb         the .deb builds, holds the program, its documentation, desktop entry,
#               file type and software-centre metadata, and lintian reports no error
#               or warning
#   desktop     the desktop entry and the AppStream metadata validate without a hint,
#               and a software centre's catalogue made from the package lists qxflash
set -u
case_name=$1
qx=$2
src=$3
build=${4:-}
man_page=$src/packaging/qxflash.1
completion=$build/packaging/qxflash.bash-completion
words=$build/tools/qx_cli_words
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL ($case_name): $*"; exit 1; }

# complete WORD...: what the completion offers for the last word, one per line.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _qxflash
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

case $case_name in
names)
  help=$("$qx" --help) || fail "qxflash --help failed"
  commands=$("$words" commands) && builders=$("$words" builders) && options=$("$words" options) ||
    fail "$words cannot list the tables"
  [ "$(wc -w <<<"$commands")" -ge 6 ] || fail "found too few commands: $commands"
  [ "$(wc -w <<<"$builders")" -ge 14 ] || fail "found too few builders: $builders"
  [ "$(wc -w <<<"$options")" -ge 12 ] || fail "found too few options: $options"
  options+=$'\n-h'
  text=$(LC_ALL=C MANWIDTH=200 man -l "$man_page" 2>/dev/null)
  offered_commands=$(complete_words qxflash "")
  offered_options=$(complete_words qxflash -)
  offered_builders=$(complete_words qxflash send "")
  missing=""
  check() {  # check NAME OFFERED
    grep -qE -- "(^|[^A-Za-z0-9-])$1([^A-Za-z0-9-]|\$)" <<<"$text" ||
      missing+=" $1 (man page)"
    grep -qE -- "(^|[^A-Za-z0-9-])$1([^A-Za-z0-9-]|\$)" <<<"$help" || missing+=" $1 (--help)"
    grep -qxF -- "$1" <<<"$2" || missing+=" $1 (completion)"
  }
  for c in $commands; do check "$c" "$offered_commands"; done
  for o in $options; do check "$o" "$offered_options"; done
  for b in $builders; do check "$b" "$offered_builders"; done
  [ -z "$missing" ] || fail "missing:$missing"
  ;;
man)
  MANWIDTH=80 man --warnings -l "$man_page" >"$tmp/out" 2>"$tmp/err"
  rc=$?
  [ "$rc" = 0 ] || fail "man exited $rc: $(cat "$tmp/err")"
  [ ! -s "$tmp/err" ] || fail "man warns: $(cat "$tmp/err")"
  for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS "EXIT STATUS" FILES ENVIRONMENT \
    EXAMPLES; do
    grep -qx "$section" "$tmp/out" || fail "no section $section"
  done
  ;;
completion)
  got=$(complete_words qxflash se)
  [ "$got" = send ] || fail "qxflash se<TAB> gave '$got', expected 'send'"
  got=$(complete_words qxflash --no-h)
  [ "$got" = --no-history ] || fail "qxflash --no-h<TAB> gave '$got'"
  got=$(complete_words qxflash history --j)
  [ "$got" = --json ] || fail "qxflash history --j<TAB> gave '$got'"
  # Each command is offered the options it takes, and only those.
  got=$(complete_words qxflash scan --m)
  [ -z "$got" ] || fail "qxflash scan --m<TAB> offered '$got', an option scan does not take"
  got=$(complete_words qxflash check --m)
  [ "$got" = --model ] || fail "qxflash check --m<TAB> gave '$got'"
  mkdir "$tmp/rel" "$tmp/rel/sub"
  touch "$tmp/rel/A.OUB" "$tmp/rel/b.oub" "$tmp/rel/c.Oub" "$tmp/rel/d.bin" "$tmp/rel/OUB.txt"
  want=$(printf '%s\n' "$tmp/rel/A.OUB" "$tmp/rel/b.oub" "$tmp/rel/c.Oub" "$tmp/rel/sub" | sort)
  for command in download check dump-image; do
    got=$(complete_words qxflash --sim "$command" "$tmp/rel/" | sort)
    [ "$got" = "$want" ] || fail "qxflash $command DIR/<TAB> gave: $got"
  done
  got=$(complete_words qxflash check "$tmp/rel/A.OUB" "$tmp/rel/")
  [ -z "$got" ] || fail "a second file was offered after check FILE: $got"
  ;;
deb)
  [ -n "$build" ] || fail "needs the build directory"
  out=$tmp/deb
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
  deb=$(ls "$out"/*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "cpack made no .deb"
  dpkg-deb -c "$deb" >"$tmp/contents" || fail "dpkg-deb cannot list $deb"
  for f in ./usr/bin/qxflash ./usr/share/man/man1/qxflash.1.gz \
    ./usr/share/bash-completion/completions/qxflash ./usr/share/doc/qxflash/copyright \
    ./usr/share/doc/qxflash/changelog.Debian.gz ./usr/share/applications/qxflash.desktop \
    ./usr/share/metainfo/io.github.qxflash.qxflash.metainfo.xml \
    ./usr/share/mime/packages/qxflash.xml ./usr/share/icons/hicolor/scalable/apps/qxflash.svg \
    ./usr/share/icons/hicolor/48x48/apps/qxflash.png; do
    grep -q " $f\$" "$tmp/contents" || fail "$deb lacks $f"
  done
  version=$(dpkg-deb -f "$deb" Version)
  mkdir "$tmp/x" && dpkg-deb -x "$deb" "$tmp/x"
  top=$(zcat "$tmp/x/usr/share/doc/qxflash/changelog.Debian.gz" | head -n 1)
  [[ $top == "qxflash ($version) "* ]] ||
    fail "the changelog's latest entry '$top' does not name the package version $version"
  root=()
  [ "$(id -u)" = 0 ] && root=(--allow-root)
  lintian "${root[@]}" --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1
  cat "$tmp/lintian"
  if grep -qE '^[EW]: ' "$tmp/lintian"; then fail "lintian reports errors or warnings"; fi
  ;;
desktop)
  out=$(desktop-file-validate "$src/packaging/qxflash.desktop" 2>&1)
  [ -z "$out" ] || fail "desktop-file-validate: $out"
  appstreamcli validate --no-net --pedantic \
    "$src/packaging/io.github.qxflash.qxflash.metainfo.xml" >"$tmp/as" 2>&1 ||
    { cat "$tmp/as"; fail "appstreamcli validate failed"; }
  grep -qE '^[EWI]: ' "$tmp/as" && { cat "$tmp/as"; fail "appstreamcli has something to say"; }
  # What a software centre would list, made from the installed files.
  [ -n "$build" ] || fail "needs the build directory"
  DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >/dev/null 2>&1 ||
    fail "cmake --install failed"
  appstreamcli compose --no-net --origin qxflash --result-root="$tmp/out" "$tmp/root" \
    >"$tmp/compose" 2>&1 || { cat "$tmp/compose"; fail "appstreamcli compose failed"; }
  catalogue=$(find "$tmp/out" -name 'qxflash.xml.gz' | head -n 1)
  [ -n "$catalogue" ] || { cat "$tmp/compose"; fail "compose made no catalogue"; }
  zcat "$catalogue" | grep -q '<id>io.github.qxflash.qxflash</id>' ||
    { cat "$tmp/compose"; fail "the catalogue does not list qxflash"; }
  # The file type: a release is known by its name, in any case.
  mkdir -p "$tmp/mime/packages" && cp "$src/packaging/qxflash-mime.xml" "$tmp/mime/packages/"
  update-mime-database "$tmp/mime" || fail "update-mime-database failed"
  grep -q 'application/x-qxflash-release:\*\.oub' "$tmp/mime/globs2" ||
    fail "no glob for *.OUB: $(cat "$tmp/mime/globs2")"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "ok ($case_name)"
