#!/usr/bin/env bash
# setup.exe under Wine, with the Western code page, for users whose folders it cannot spell: a
# temporary directory and a download folder named in Cyrillic, and a user "Łukasz" beside a
# "Lukasz", which the code page's best fit would turn one into the other. The launcher must find
# its own package, unpack into the user's own temporary directory, run the installer from there
# and leave it clean; when there is no way to spell the temporary directory, run nothing and say
# so in the exit code.
# usage: foreign_paths.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# Wine reads Unix names in the locale's character set, and takes its code page (1252) from the
# locale's language.
export LC_ALL=C.UTF-8
setup_exe=$1
packer=$2
probe=$3

stage_run Временная "$probe"
echo data >"$work/payload/data.txt"
pack_app "$packer" "$setup_exe"
report="$work/report"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$report")

reported() { grep -sqxF "$1" "$report"; }  # reported "key=value"
# Runs FOLDER/setup.exe from FOLDER, as a double click does, and writes down which of the WATCHED
# temporary directories held the install directory while the installer ran (it writes beside
# itself at once and lingers): run_setup FOLDER WATCHED...
run_setup() {
  local folder=$1 dir launcher status
  shift
  rm -f "$report" "$work/installed_in"
  (cd "$folder" && "$root/scripts/wine-run.sh" "$folder/setup.exe") &
  launcher=$!
  while kill -0 "$launcher" 2>/dev/null; do
    for dir in "$@"; do
      [ -d "$dir/ZeKolInst0/installer-data" ] && echo "$dir" >>"$work/installed_in"
    done
    sleep 0.1
  done
  wait "$launcher"
  status=$?
  sort -u -o "$work/installed_in" "$work/installed_in" 2>/dev/null
  return $status
}
installed_in() { [ "$(cat "$work/installed_in" 2>/dev/null)" = "$1" ]; }
empty() { [ -z "$(find "$1" -mindepth 1)" ]; }

# 1. Temporary directory and launcher folder in Cyrillic.
cyrillic="$work/Установка"
mv "$app" "$cyrillic"
run_setup "$cyrillic" "$temp"
check "cyrillic: the installer's exit code 3" test $? -eq 3
check "cyrillic: the code page cannot spell these names" \
  grep -sqE '^current_directory=.*\?{9}$' "$report"
check "cyrillic: the installer ran to its end" reported "done=1"
check "cyrillic: the whole package came out" \
  test "$(grep -s '^beside=' "$report" | tr '\n' ' ')" = "beside=Installer.exe beside=data.txt "
check "cyrillic: unpacked into the user's temporary directory" installed_in "$temp"
check "cyrillic: nothing left" empty "$temp"

# 2. Łukasz's download folder and temporary directory, with those of a "Lukasz" beside them: the
#    look-alike's package is never read and his temporary directory never used.
own="$work/Łukasz"
other="$work/Lukasz"
mkdir -p "$own/Temp" "$other/Temp" "$other/Downloads" "$work/planted"
mv "$cyrillic" "$own/Downloads"
cp "$probe" "$work/planted/Installer.exe"
echo planted >"$work/planted/planted.txt"
wine_run "$packer" "$work/planted" "$other/Downloads/Pack.qvd"
use_temp_dir "$own/Temp"
run_setup "$own/Downloads" "$own/Temp" "$other/Temp"
check "look-alike: the installer's exit code 3" test $? -eq 3
check "look-alike: the installer ran to its end" reported "done=1"
check "look-alike: the package beside the launcher, not the look-alike's" \
  test "$(grep -s '^beside=' "$report" | tr '\n' ' ')" = "beside=Installer.exe beside=data.txt "
check "look-alike: unpacked into the user's own temporary directory" installed_in "$own/Temp"
check "look-alike: nothing left" empty "$own/Temp"
check "look-alike: his temporary directory untouched" empty "$other/Temp"

# 3. A temporary directory with no short form (here, because it is gone), but whose best fit
#    exists: nothing is unpacked anywhere and no installer runs.
rmdir "$own/Temp"
run_setup "$own/Downloads" "$other/Temp"
check "no short form: 1632, no temporary directory" test $? -eq $((1632 & 255))
check "no short form: no installer started" test ! -e "$report"
check "no short form: the look-alike's temporary directory untouched" empty "$other/Temp"

finish
