#!/usr/bin/env bash
# setup.exe on a Japanese system (ANSI code page 932), where the second byte of a character may
# be a backslash ("ソ" is 83 5C) or a bar ("ポ" is 83 7C): a package whose names and directories
# hold such characters unpacks whole and its installer starts, with the launcher itself in such
# a directory. Wine takes its code page from the locale, made here in a folder of the build's own.
# usage: code_pages.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3

locales="$root/build/locale"
if [ ! -d "$locales/ja_JP.UTF-8" ]; then
  mkdir -p "$locales"
  localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" 2>/dev/null || true
fi
export LOCPATH="$locales" LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8
# A prefix of its own: a prefix keeps the code page it was made with.
export WINEPREFIX="$root/build/wineprefix-ja"
at_exit 'wineserver -k 2>/dev/null; wineserver -w || true'

stage_run temp "$probe"
software="$work/payload/ソフト"
mkdir -p "$software/ポート"
echo table >"$software/表.txt"
echo port >"$software/ポート/readme.txt"
echo plain >"$work/payload/ascii.txt"
# The launcher's own folder holds a backslash byte too.
app="$work/ソフト"
mkdir -p "$app"
pack_app "$packer" "$setup_exe"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$work/report")

wine_run "$app/setup.exe"
check "the installer's exit code 3" test $? -eq 3
check "the installer ran" grep -qx "done=1" "$work/report"
iconv -f CP932 -t UTF-8 "$work/report" | tr -d '\r' >"$work/report.utf8"
for name in 'ascii.txt' 'ソフト\' 'ソフト\表.txt' 'ソフト\ポート\' 'ソフト\ポート\readme.txt'; do
  check "$name unpacked" grep -qxF "beside=$name" "$work/report.utf8"
done
check "nothing left in the temporary directory" test -z "$(ls -A "$temp")"

finish
