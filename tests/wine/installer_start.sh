#!/usr/bin/env bash
# setup.exe under Wine starts the installer it unpacked: from a temporary directory with blanks
# in its path, by its quoted path alone, with the launcher's current directory and environment;
# brings its first window forward once it waits for input; waits for it, however long it is
# busy, and then removes what the installer left. A probe stands in for the installer and writes
# down what it found.
# usage: installer_start.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE
#                           START_FALLBACK_TEST_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
fallback_test=$4

stage_run "temp dir" "$probe"
cwd="$work/current dir"
mkdir -p "$cwd" "$work/payload/sub"
echo data >"$work/payload/sub/data.txt"
pack_app "$packer" "$setup_exe"
# Where an unquoted "...\temp dir\ZeKolInst0\Installer.exe" would be looked for first.
cp "$probe" "$work/temp.exe"

installer="$(windows_path "$temp")\\ZeKolInst0\\Installer.exe"
report="$work/report"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$report")

left_in_temp() { (cd "$temp" && find . -mindepth 1 | sort | tr '\n' ' '); }
reported() { grep -qxF "$1" "$report"; }  # reported "key=value"
run_setup() {  # run_setup [VAR=value...]: from the current directory of its own
  rm -f "$report"
  (cd "$cwd" && env "$@" "$root/scripts/wine-run.sh" "$work/app/setup.exe")
}

# 1. The normal case.
run_setup PROBE_INHERITED="inherited value, with blanks"
check "the installer's exit code 3" test $? -eq 3
check "the installer has finished when the launcher returns" reported "done=1"
check "the unpacked installer runs, not a program planted along its unquoted path" \
  reported "program=$installer"
check "command line: the quoted path, no arguments" reported "command_line=\"$installer\""
check "the launcher's current directory" reported "current_directory=$(windows_path "$cwd")"
check "the launcher's environment" reported "inherited=inherited value, with blanks"
check "started from the unpacked tree" \
  test "$(grep '^beside=' "$report" | tr '\n' ' ')" = "beside=Installer.exe beside=sub\\ beside=sub\\data.txt "
check "the installer could write beside itself" reported "wrote_beside=1"
check "its window was shown" reported "visible_windows=1"
check "its window was made topmost" reported "topmost_windows=1"
check "its window is in the foreground" reported "foreground=1"
check "install directory removed with what the installer wrote" test -z "$(left_in_temp)"

# 2. An installer that does not wait for input within 5 s is left alone, and still waited for.
run_setup PROBE_BUSY_MS=7000
check "busy: the installer's exit code 3" test $? -eq 3
check "busy: the installer has finished when the launcher returns" reported "done=1"
check "busy: its window was not touched" reported "topmost_windows=0"
check "busy: nothing left" test -z "$(left_in_temp)"

# 3. Of several top-level windows only the first one found is brought forward.
run_setup PROBE_WINDOWS=3
check "several windows: exactly one made topmost" reported "topmost_windows=1"
check "several windows: exactly one shown" reported "visible_windows=1"
check "several windows: the one shown is in the foreground" reported "foreground=1"

# 4. A package cut short in its last blob, sub\data.txt: Installer.exe comes out whole, but an
#    installer from a package that did not unpack in full is not started.
cp "$work/app/Pack.qvd" "$work/whole.qvd"
head -c -2 "$work/whole.qvd" >"$work/app/Pack.qvd"
run_setup
check "damaged package: 1620" test $? -eq $((1620 & 255))
check "damaged package: the installer is not started" test ! -e "$report"
check "damaged package: nothing left" test -z "$(left_in_temp)"
cp "$work/whole.qvd" "$work/app/Pack.qvd"

# 5. Slips of the package's maker that every machine sees alike are passed over and the installer
#    starts: the root record, a trailing backslash, a directory before its parent, a file without
#    its directory, a directory listed twice, a name given twice (the later wins).
wine_run "$packer" "$work/payload" "$work/app/Pack.qvd" +d '\' +d '\Data\' +d '\late\x' \
  +d '\late' +d '\late\x' +d '\Data' +f '\nodir\f' lost +f '\twice.txt' first \
  +f '\late\x\in.txt' deep +f '\TWICE.txt' second
run_setup
check "slips: the installer's exit code 3" test $? -eq 3
check "slips: the installer starts" reported "done=1"
for name in 'Data\' 'late\' 'late\x\' 'late\x\in.txt' 'sub\data.txt' TWICE.txt; do
  check "slips: $name unpacked" reported "beside=$name"
done
check "slips: nothing more" test "$(grep -c '^beside=' "$report")" -eq 8
check "slips: nothing left" test -z "$(left_in_temp)"
cp "$work/whole.qvd" "$work/app/Pack.qvd"

# 6. An installer that needs elevation goes through the shell and is still waited for.
rm -f "$report"
(cd "$cwd" && wine_run "$fallback_test" "$(windows_path "$work/payload/Installer.exe")")
check "elevation: StartInstaller's checks pass" test $? -eq 0
check "elevation: the installer ran to its end" reported "done=1"
check "elevation: with the launcher's current directory" \
  reported "current_directory=$(windows_path "$cwd")"

finish
