#!/usr/bin/env bash
# setup.exe under Wine, run where others share the temporary directory: its install directory is
# private; what the installer leaves is removed in full and nothing outside it, whatever the
# names and however deep; a temporary directory too long for its walks leaves nothing behind; a
# link planted while it unpacks receives nothing, and the installer is then not started.
# usage: shared_machine.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3

# A temporary directory inside a profile, as a user's is: best-fit mapped, "..\.." from the
# install directory leads into the profile.
stage_run profile/Temp "$probe"
profile="$work/profile"
mkdir -p "$work/payload/sub"
echo data >"$work/payload/sub/data.txt"
pack_app "$packer" "$setup_exe"
report="$work/report"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$report")

left_in() { (cd "$1" && find . -mindepth 1 | sort | head -n 8 | tr '\n' ' '); }  # the first few
reported() { grep -qxF "$1" "$report"; }  # reported "key=value"

# 1. The install directory is for the launcher's user alone (Wine maps the access list to Unix
#    permissions and builds one back), and the installer's leavings go, all of them and nothing
#    else: names the ANSI search hands back best-fit mapped as paths out of the tree, names
#    outside the ANSI code page and a tree deeper than MAX_PATH.
echo "the profile's own" >"$profile/victim.txt"
mkdir "$profile/victim-dir"
echo "the profile's own" >"$profile/victim-dir/precious.txt"
PROBE_TRAPS=1 wine_run "$app/setup.exe"
check "the installer was started: its exit code 3" test $? -eq 3
check "the installer ran" reported "done=1"
check "the installer left its traps" reported "traps=1"
access=$(sed -n 's/^access=//p' "$report")
user=$(sed -n 's/^user=//p' "$report")
check "install directory: no entry for everyone ($access)" \
  test -n "$access" -a "${access/;WD)/}" = "$access"
check "install directory: full access for the user ($user)" \
  grep -qF "(A;OICI;FA;;;$user)" <<<"$access"
check "a file where a best-fit name points survives" grep -qx "the profile's own" "$profile/victim.txt"
check "a directory where a best-fit name points survives" \
  grep -qx "the profile's own" "$profile/victim-dir/precious.txt"
check "nothing left in TEMP (found: $(left_in "$work/profile/Temp"))" \
  test -z "$(left_in "$work/profile/Temp")"

# 2. A long temporary directory. At 245 bytes for "<temp>\ZeKolInst0" the installer's path is
#    259 bytes, the longest that works; from 256 bytes on, the launcher's directories could not
#    be searched with "\*.*" appended, so none is made. Nothing stays in any case.
long_temp() {  # long_temp LENGTH: sets temp, for which "<temp>\ZeKolInst0" is LENGTH bytes long
  # "Z:", the Unix path, "\ZeKolInst0"
  local pad=$(($1 - 13 - ${#work} - 1))
  temp="$work/$(printf "%${pad}s" | tr ' ' 'l')"
  mkdir -p "$temp"
  use_temp_dir "$temp"
}
long_temp 245
rm -f "$report"
wine_run "$app/setup.exe"
check "245-byte install directory: the installer's exit code 3" test $? -eq 3
installer=$(sed -n 's/^program=//p' "$report" 2>/dev/null)
check "245-byte install directory: the installer starts from a 259-byte path" \
  test "${#installer}" -eq 259
check "245-byte install directory: nothing left" test -z "$(left_in "$temp")"
for length in 256 259; do
  long_temp "$length"
  rm -f "$report"
  wine_run "$app/setup.exe"
  check "$length-byte install directory: 1632, no directory of its own" test $? -eq $((1632 & 255))
  check "$length-byte install directory: the installer is not started" test ! -e "$report"
  check "$length-byte install directory: nothing left (found: $(left_in "$temp"))" \
    test -z "$(left_in "$temp")"
done

# 3. A link planted in the install directory while the package is read, under the name of a
#    directory in the payload and pointing outside: the launcher's first read is held up until a
#    watcher has planted it.
temp="$work/link-temp"
mkdir "$temp"
use_temp_dir "$temp"
outside="$work/outside"
mkdir "$outside"
# Wine may take long to start on a busy machine: the watcher waits until the launcher is over.
(
  until [ -d "$temp/ZeKolInst0" ]; do sleep 0.05; done
  ln -s "$outside" "$temp/ZeKolInst0/sub"
) &
watcher=$!
rm -f "$report"
held_run "$app/Pack.qvd" 4 "$app/setup.exe"
check "planted link: 1620, damaged" test $? -eq $((1620 & 255))
kill $watcher 2>/dev/null
wait $watcher 2>/dev/null
check "planted link: planted while the launcher unpacked" test -L "$temp/ZeKolInst0/sub"
check "planted link: nothing written where it points (found: $(left_in "$outside"))" \
  test -z "$(left_in "$outside")"
check "planted link: the installer is not started" test ! -e "$report"
# Removed by name, the link would take with it the empty directory it points to under Wine.
check "planted link: the directory it points to is still there" test -d "$outside"
# Wine cannot remove a Unix link through a handle on the link either, so it stays with its
# parent.
rm -f "$temp/ZeKolInst0/sub"

finish
