#!/usr/bin/env bash
# `cmake --install` of a native build into a scratch prefix: the files land where GNUInstallDirs
# puts them and nothing else does; the installed packer runs; the man page renders without a
# warning, carries the version and documents every command and option the packer's own help
# shows; the bash completion registers itself and completes commands, each command's options,
# option values and the right kind of path for each argument.
# usage: install_test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
build=$(cd "$1" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAILED: cmake --install"
  exit 1
fi
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# 1. The layout, with the Windows programs when the build was given a win32 build to take
#    them from.
{
  echo bin/setuppack
  echo bin/setuppack-try
  echo share/bash-completion/completions/setuppack
  echo share/setup_launcher/try/scripts/setup.sh
  echo share/setup_launcher/try/scripts/try-package.sh
  echo share/setup_launcher/try/scripts/wine-run.sh
  echo share/setup_launcher/try/tests/checks.sh
  echo share/setup_launcher/try/tests/wine/lib.sh
  echo share/doc/setup_launcher/README.md
  echo share/man/man1/setuppack.1
  if [ -n "$(cache_value SETUP_WIN32_BUILD_DIR)" ]; then
    echo bin/setuppack.exe
    echo share/setup_launcher/setup.exe
  fi
} | sort >"$work/expected"
(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed"
check "installed files" same_lines "$work/expected" "$work/installed"
setuppack=$prefix/bin/setuppack
check "the installed setuppack runs" eval '"$setuppack" --help >/dev/null'
# The try tool from the prefix, linked from elsewhere as a user may: its help, and a wrong call
# refused by the installed script itself, before any Wine work.
ln -s "$prefix/bin/setuppack-try" "$work/try-link"
check "setuppack-try --help" eval '"$work/try-link" --help >"$work/try-help" && grep -q "^usage: .*try-package" "$work/try-help"'
check "setuppack-try refuses a folder without setup.exe" \
  eval '"$work/try-link" "$work" 2>&1 >/dev/null | grep -q "has no setup.exe"; [ "${PIPESTATUS[0]}" = 2 ]'

# What the packer's help shows: its commands, and the options of each (those the general usage
# lists apply to every command).
"$setuppack" --help >"$work/usage"
commands=$(sed -n '/^commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p' "$work/usage")
# Read right, or every loop below would pass on nothing.
check "the help lists the seven commands" [ "$(echo $commands)" = \
  "create list verify extract bundle compress decompress" ]
options_of() {  # options_of COMMAND: one per line
  {
    "$setuppack" "$1" --help
    grep '^options:' "$work/usage"
  } | grep -oE '(^|[[ ,])--?[a-z][a-z-]*' | sed 's/^[[ ,]//' | sort -u
}
check "the help shows create's options" eval '[ "$(options_of create | grep -cxE -- "-o|--jobs|--help")" = 3 ]'

# 2. The man page.
page=$prefix/share/man/man1/setuppack.1
groff -man -Tutf8 -ww -z "$page" 2>"$work/warnings"
check "the man page renders without warnings" same_lines /dev/null "$work/warnings"
if command -v man >/dev/null; then
  check "man -l shows the page" eval 'MANWIDTH=80 man -l "$page" 2>&1 | grep -q "^NAME"'
fi
version=$(cache_value CMAKE_PROJECT_VERSION)
check "the man page carries the version" grep -q "^\.TH SETUPPACK 1 .*setup_launcher $version\"" "$page"
# The words of the items of the OPTIONS section, hyphens spelt as roff spells them.
awk '/^\.SH / { on = ($2 == "OPTIONS") } on && previous == ".TP" { print } { previous = $0 }' \
  "$page" | tr ' "' '\n\n' >"$work/option-items"
documented() { grep -qxF -- "${1//-/\\-}" "$work/option-items"; }  # documented OPTION
for command in $commands; do
  check "the man page has a synopsis line for $command" grep -qx "\.B setuppack $command" "$page"
  for option in $(options_of "$command"); do
    check "the man page has an item for $option ($command)" documented "$option"
  done
done

# 3. The completion, driven as bash drives it, in a directory with a folder, a package and
#    another file.
completion=$prefix/share/bash-completion/completions/setuppack
mkdir -p "$work/cwd/payload" "$work/cwd/two words"
touch "$work/cwd/Pack.qvd" "$work/cwd/OLD.QVD" "$work/cwd/notes.txt" "$work/cwd/setup.exe" \
  "$work/cwd/app.ico" "$work/cwd/splash.BMP"
completions() {  # completions WORD... : what TAB offers after the words, the last being typed
  (cd "$work/cwd" && bash --norc --noprofile -c '
    source "$1" || exit 1
    shift
    function=$(complete -p setuppack | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
    COMP_WORDS=(setuppack "$@")
    COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    "$function" setuppack "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@" 2>&1 | sort)
}
offers() {  # offers "EXPECTED,LINES" WORD...
  local expected=$1
  shift
  same_lines <(printf '%s\n' "$expected" | tr , '\n' | sort) <(completions "$@")
}
offers_all() {  # offers_all "WORDS THAT MUST BE AMONG THEM" WORD...
  local wanted=$1
  shift
  local missing
  missing=$(comm -23 <(printf '%s\n' $wanted | sort -u) <(completions "$@"))
  [ -z "$missing" ] || echo "not offered: $missing" >&2
  [ -z "$missing" ]
}
check "cr completes to create" offers "create" cr
check "d completes to decompress alone" offers "decompress" d
check "every command, help and --help at the start" \
  offers "$(echo $commands | tr ' ' ,),help,--help" ""
check "help: the commands" offers "$(echo $commands | tr ' ' ,)" help ""
check "help: one command only" offers "" help list ""
check "--c after create completes to --codepage" offers "--codepage" create --c
for command in $commands; do
  check "$command: every option its help shows" offers_all "$(options_of "$command")" "$command" -
done
for command in create list verify extract; do
  check "$command: --codepage" offers_all "--codepage" "$command" --
done
check "decompress: nothing of the other commands" \
  offers "--help,--jobs,--quiet,--verbose,--version" decompress --
check "the options of the whole tool before the command" offers "verify" -q --jobs 2 ver
check "an unknown command: nothing" offers "" frobnicate --
check "--codepage 125: the code pages 1250 to 1258" \
  offers "1250,1251,1252,1253,1254,1255,1256,1257,1258" create --codepage 125
check "--jobs: numbers from 1" offers_all "1" create --jobs ""
check "create's folder: directories only" offers "payload,two words" create ""
check "a release to verify: packages, programs and directories" \
  offers "OLD.QVD,Pack.qvd,payload,setup.exe,two words" verify ""
check "-o: any file" \
  offers "app.ico,notes.txt,OLD.QVD,Pack.qvd,payload,setup.exe,splash.BMP,two words" \
  create payload -o ""
check "extract's destination: directories, the option's value not counted as an argument" \
  offers "payload,two words" extract --codepage 1252 Pack.qvd ""
check "no third argument to extract" offers "" extract Pack.qvd payload ""
check "bundle's source: packages and directories" \
  offers "OLD.QVD,Pack.qvd,payload,two words" bundle --product "Zeta" ""
check "bundle's --icon: icons and directories" offers "app.ico,payload,two words" bundle payload --icon ""
check "bundle's --splash: bitmaps and directories" \
  offers "payload,splash.BMP,two words" bundle payload --splash ""
check "extract --splash: bitmaps, not an argument" \
  offers "payload,two words" extract --splash x.bmp setup.exe ""
check "compress's output: any file" \
  offers "app.ico,notes.txt,OLD.QVD,Pack.qvd,payload,setup.exe,splash.BMP,two words" \
  compress --fast notes.txt ""

finish
