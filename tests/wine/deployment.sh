#!/usr/bin/env bash
# setup.exe started as a deployment agent starts it, unattended: the arguments reach the
# installer exactly, the installer's exit code comes back in all 32 bits and each failure of the
# launcher's own has the system's code for it, a hidden start stays hidden, and the log asked
# for through SETUP_LAUNCHER_LOG tells what happened. A console starter stands in for the agent.
# usage: deployment.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE START_AND_WAIT_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
starter=$4

stage_run "temp" "$probe"
pack_app "$packer" "$setup_exe"
convert -size 64x48 xc:'#336699' BMP3:"$app/setup.bmp"
cp "$app/Pack.qvd" "$work/whole.qvd"
installer="$(windows_path "$temp")\\ZeKolInst0\\Installer.exe"
report="$work/report"
export PROBE_REPORT PROBE_LINGER_MS=300
PROBE_REPORT=$(windows_path "$report")

left_in_temp() { (cd "$temp" && find . -mindepth 1 | sort | tr '\n' ' '); }
reported() { grep -qxF -- "$1" "$report"; }  # reported "key=value"
# started MODE [ARGUMENTS]: setup.exe started by the starter (normal, hidden or show=N) with
# ARGUMENTS after its quoted path, byte for byte; sets code (all 32 bits) and splash (0 or 1).
started() {
  rm -f "$report"
  printf '%s' "${2-}" >"$work/arguments"
  START_ARGUMENTS=$(windows_path "$work/arguments") \
    wine_run "$starter" "$1" "$(windows_path "$app/setup.exe")" | tr -d '\r' >"$work/started"
  code=$(sed -n 's/^exit_code=//p' "$work/started")
  splash=$(sed -n 's/^splash_seen=//p' "$work/started")
}

# 1. Arguments: everything after the launcher's own name and the blanks after it, as it was.
started normal
check "no arguments: the quoted path alone" reported "wide_command_line=\"$installer\""
for arguments in '/S /log C:\x.log' '/D="C:\Program Files\App" "" "a \"quoted\" word" \\ end\' \
  '/name=Łódź /log=C:\日本語\x.log' '  	 two blanks and a tab before, three after   '; do
  started normal " $arguments"
  check "arguments [$arguments]: exit code 3, the probe's" test "$code" = 3
  expected=${arguments#"${arguments%%[! 	]*}"}
  check "arguments [$arguments]: passed on exactly" \
    reported "wide_command_line=\"$installer\" $expected"
done
check "arguments: nothing left" test -z "$(left_in_temp)"

# 2. The installer's exit code, all 32 bits: success, the reboots, retry later, a fatal error,
#    and a crash.
for installer_code in 0 1707 3010 1641 1618 1603 3221225477; do
  PROBE_EXIT_CODE=$installer_code started normal /S
  check "installer's $installer_code: passed on" test "$code" = "$installer_code"
done
check "installer's codes: nothing left" test -z "$(left_in_temp)"

# 3. The launcher's own failures, each with the system code whose text says what happened.
head -c -2 "$work/whole.qvd" >"$app/Pack.qvd"
started normal
check "damaged package: 1620, package invalid" test "$code" = 1620
check "damaged package: nothing started" test ! -e "$report"
printf 'MZ not really a program\n' >"$work/payload/Installer.exe"
wine_run "$packer" "$work/payload" "$app/Pack.qvd"
started normal
check "an installer that is no program: the system's 193" test "$code" = 193
rm "$work/payload/Installer.exe"
echo data >"$work/payload/readme.txt"
wine_run "$packer" "$work/payload" "$app/Pack.qvd"
started normal
check "no installer in the package: 1620, package invalid" test "$code" = 1620
rm "$app/Pack.qvd"
started normal
check "no package: 1619, package cannot be opened" test "$code" = 1619
mkdir "$work/nothing"
huge=()
for i in $(seq 1 64); do huge+=(+huge "\\huge$i"); done
wine_run "$packer" "$work/nothing" "$app/Pack.qvd" "${huge[@]}"
started normal
check "a package that declares 256 GiB: 112, disk full" test "$code" = 112
cp "$work/whole.qvd" "$app/Pack.qvd"
use_temp_dir "$work/missing"
started normal
check "no temporary directory: 1632, temporary folder unwritable" test "$code" = 1632
use_temp_dir "$temp"
check "failures: nothing left" test -z "$(left_in_temp)"

# 4. A hidden start shows nothing and hands the hidden state on; a normal one shows the splash
#    and brings the installer forward; any state the caller gave is handed on.
started normal
check "normal: the splash was shown" test "$splash" = 1
check "normal: no show state handed on" reported "show_state=(none)"
check "normal: the installer's window was shown" reported "visible_windows=1"
check "normal: and made topmost" reported "topmost_windows=1"
started hidden
check "hidden: exit code 3, the probe's" test "$code" = 3
check "hidden: no splash" test "$splash" = 0
check "hidden: the installer is handed SW_HIDE" reported "show_state=0"
check "hidden: its window was not shown by the launcher" reported "visible_windows=0"
check "hidden: nor made topmost" reported "topmost_windows=0"
started show=7
check "minimised: the splash was shown" test "$splash" = 1
check "minimised: the installer is handed the same state" reported "show_state=7"

# 5. The log: appended by each run as it goes, in UTF-8 under a path outside the code page.
logs="$work/journal Łódź"
mkdir "$logs"
log="$logs/setup.log"
echo "kept from before" >"$log"
export SETUP_LAUNCHER_LOG
SETUP_LAUNCHER_LOG="$(windows_path "$log")"
PROBE_EXIT_CODE=3010 started normal ' /S /name=Łódź'
rm "$app/Pack.qvd"
started hidden
cp "$work/whole.qvd" "$app/Pack.qvd"
tr -d '\r' <"$log" >"$work/log"
logged() { grep -qE -- "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\.[0-9]{3} \[[0-9]+\] $1\$" "$work/log"; }
check "log: what was there is kept" test "$(head -1 "$work/log")" = "kept from before"
check "log: two runs, by their process ids" \
  test "$(sed -n 's/^[^[]*\[\([0-9]*\)\].*/\1/p' "$work/log" | uniq | wc -l)" = 2
check "log: the launcher and its kind" logged "start, plain: $(windows_path "$app" | sed 's/\\/\\\\/g')\\\\setup.exe"
check "log: the install directory" \
  logged "install directory: $(windows_path "$temp" | sed 's/\\/\\\\/g')\\\\ZeKolInst0"
check "log: the installer's command line, outside the code page too" \
  grep -qF "installer command line: \"$installer\" /S /name=Łódź" "$work/log"
check "log: the installer's exit code" logged "installer exit code: 3010"
check "log: the first run's end" logged "end, exit code 3010"
check "log: the failure's code" logged "failed, exit code 1619"
check "log: the failure in words" logged "setup: package missing or unreadable: .*Pack.qvd \\(.*\\)"
check "log: the second run's end" logged "end, exit code 1619"
check "log: in the order things happened" test "$(grep -oE 'start|install directory|command line|installer exit|failed|end' "$work/log" | tr '\n' ' ')" = \
  "start install directory command line installer exit end start install directory failed end "

# A log that is a second name of another file is not written to, and the run goes on.
echo "not the launcher's" >"$work/victim"
ln "$work/victim" "$logs/linked.log"
SETUP_LAUNCHER_LOG="$(windows_path "$logs/linked.log")" started normal
check "hard link: the run goes on" test "$code" = 3
check "hard link: the other file is untouched" test "$(cat "$work/victim")" = "not the launcher's"
# A symbolic link is not tried here: Wine shows a Unix file link as the file it leads to, where
# Windows shows a reparse point, which the launcher refuses.
unset SETUP_LAUNCHER_LOG
check "log: nothing left" test -z "$(left_in_temp)"

finish
