#!/usr/bin/env bash
# scripts/try-package.sh on release folders made here, as a publisher runs it: for a good one
# it prints the splash's screenshot (which shows the bitmap), the install directory as the
# installer found it, the installer's exit code in full (1603, past the eight bits a Unix exit
# status holds, while the launcher passes it on), the launcher's exit code with its meaning, and
# an empty temporary directory; its throwaway Wine prefix is gone afterwards. For a package
# without an installer it says so, with the launcher's 1620 and its debug line, and fails. Wrong
# calls are refused before Wine starts. A single file's splash is photographed from the bitmap
# inside it. The prefix is a sandbox: an installer that writes to Z:\ and into the user's home
# (directly and through the folders Wine links there) leaves nothing outside the prefix. Each
# run makes a Wine prefix: about two minutes in all.
# usage: try_package.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE SETUPPACK_EXE
#        ESCAPE_INSTALLER_EXE BUILD_DIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
setuppack_exe=$4
escape=$5
build_dir=$6
try_package=$root/scripts/try-package.sh

work=$(mktemp -d)
at_exit 'rm -rf "$work"'
# The Windows setuppack as try-package runs it, with Unix paths.
printf '#!/usr/bin/env bash\nexec %q %q "$@"\n' "$root/scripts/wine-run.sh" "$setuppack_exe" \
  >"$work/setuppack"
chmod +x "$work/setuppack"
export SETUPPACK=$work/setuppack
said() { grep -qxF -- "$1" "$work/out"; }  # said LINE: try-package printed exactly LINE
# The lines under a heading that starts with HEADING, up to the next unindented line.
listed_under() { awk -v heading="$1" 'index($0, heading) == 1 { on = 1; next }
  on && /^  / { print substr($0, 3); next } { on = 0 }' "$work/out"; }

# A release folder of the probe installer, a file in a folder, and a splash bitmap.
mkdir -p "$work/payload/docs" "$work/release" "$work/tmp"
cp "$probe" "$work/payload/Installer.exe"
echo "read me" >"$work/payload/docs/readme.txt"
wine_run "$packer" "$work/payload" "$work/release/Pack.qvd"
cp "$setup_exe" "$work/release/setup.exe"
convert -size 200x120 gradient:'#1d3557-#457b9d' -fill '#e63946' -draw 'circle 60,60 60,90' \
  BMP3:"$work/release/setup.bmp"
cp "$work/release/setup.bmp" "$work/splash.bmp"

# 1. The good folder.
export PROBE_REPORT PROBE_EXIT_CODE=1603
# The sandbox keeps the probe from writing anywhere but the prefix, which is kept for a look.
PROBE_REPORT='C:\probe-report'
TMPDIR=$work/tmp bash "$try_package" --keep-prefix "$work/release" >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
check "a started installer: exit status 0" [ "$status" = 0 ]
report=$(sed -n 's/^report: //p' "$work/out")
check "the report folder is kept, in TMPDIR" eval '[ -d "$report" ] && [ "${report%/*}" = "$work/tmp" ]'
check "the splash, pixel for pixel" said "splash: $report/splash.png (200x120, pixel for pixel setup.bmp)"
check "the screenshot shows the bitmap" \
  [ "$(compare -metric AE "$work/release/setup.bmp" "$report/splash.png" null: 2>&1)" = 0 ]
# What the probe found beside itself when it started, against what try-package listed: the
# same, so listed before the probe wrote its own files there, which it does first thing.
tr -d '\r' <"$report/prefix/drive_c/probe-report" | sed -n 's/^beside=//p' | tr '\\' / |
  sort >"$work/beside"
listed_under "install directory, as the installer started: %TEMP%\\ZeKolInst" |
  sed 's/  ([0-9]* bytes)$//' | sort >"$work/listed"
check "the probe found files beside it" grep -qx docs/readme.txt "$work/beside"
check "the install directory as the installer found it" same_lines "$work/beside" "$work/listed"
check "sizes of the unpacked files" \
  eval "listed_under 'install directory' | grep -qxF 'docs/readme.txt  (8 bytes)'"
check "the installer's exit code in full" said "installer exit code: 1603 (0x00000643)"
check "the launcher's exit code and its meaning" \
  said "setup.exe exit code: 1603 (0x00000643), the installer's, passed on once the launcher cleaned up"
check "nothing left in the temporary directory" said "left in the temporary directory: nothing"
check "the throwaway prefix is removed" \
  [ "$(cd "$work/tmp" && ls -A)" = "$(basename "$report")" ]
unset PROBE_EXIT_CODE

# 2. A package without an installer; no bitmap, no hold.
rm "$work/payload/Installer.exe" "$work/release/setup.bmp" "$work/release/Pack.qvd"
wine_run "$packer" "$work/payload" "$work/release/Pack.qvd"
bash "$try_package" --hold 0 --report "$work/report2" "$work/release" >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
check "a launcher failure: exit status 1" [ "$status" = 1 ]
check "no splash without a bitmap" said "splash: none, there is no setup.bmp"
check "no install directory" said "install directory: the installer was not started"
check "no installer exit code" said "installer exit code: none, it was not started"
check "the launcher's 1620 and its meaning" \
  said "setup.exe exit code: 1620, the package is damaged or unsafe, or holds no Installer.exe"
check "the launcher's debug line" grep -q '^setup.exe debug line: setup: no installer in the package.*\\Installer.exe' "$work/out"
check "unpacked and cleaned up" said "left in the temporary directory: nothing"

# 3. Wrong calls, refused before any Wine work.
refused() {  # refused MESSAGE ARGUMENTS...: exit status 2 and MESSAGE on standard error
  local message=$1
  shift
  bash "$try_package" "$@" >/dev/null 2>"$work/err"
  local status=$?
  [ "$status" = 2 ] && grep -qF -- "$message" "$work/err"
}
check "no folder" refused "usage:"
check "two folders" refused "usage:" "$work/release" "$work/payload"
check "a hold that is no number" refused "usage:" --hold soon "$work/release"
check "a folder that is not there" refused "no such folder" "$work/nowhere"
check "a folder without setup.exe" refused "has no setup.exe" "$work/payload"

# 4. A folder holding only setup.exe is tried as a single-file release: a plain launcher there
#    finds no package beside it.
mkdir "$work/no-package"
cp "$setup_exe" "$work/no-package/"
bash "$try_package" --report "$work/report4" "$work/no-package" >"$work/out" 2>"$work/err"
status=$?
check "single file: a launcher failure: exit status 1" [ "$status" = 1 ]
check "single file: no bitmap in a plain launcher" \
  said "splash: none in setup.exe (or setuppack, which reads it out, was not found)"
check "single file: the plain launcher's 1619" \
  grep -q '^setup.exe exit code: 1619, no Pack.qvd beside the launcher' "$work/out"

# 5. A single file made by setuppack: its splash read out of it and photographed, by the try
#    tool as installed.
mkdir -p "$work/single"
cp "$probe" "$work/payload/Installer.exe"
wine_run "$setuppack_exe" bundle "$work/payload" --single-file -o "$work/single/setup.exe" \
  --stub "$setup_exe" --splash "$work/splash.bmp" --quiet
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
"$work/prefix/bin/setuppack-try" --report "$work/report5" "$work/single" >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
check "single file: the installer started" [ "$status" = 0 ]
check "single file: the splash, pixel for pixel" \
  said "splash: $work/report5/splash.png (200x120, pixel for pixel the bitmap in setup.exe)"

# 6. The sandbox: an installer that writes to Z:\ and into the home directory, straight and
#    through the folders Wine links to it. Nothing lands outside the prefix.
home=$work/home
mkdir -p "$home/Desktop" "$home/Documents" "$work/escape/payload" "$work/escape/release"
cp "$escape" "$work/escape/payload/Installer.exe"
wine_run "$packer" "$work/escape/payload" "$work/escape/release/Pack.qvd"
cp "$setup_exe" "$work/escape/release/setup.exe"
ESCAPE_TARGETS="$(windows_path "$work/escaped-z.txt")|$(windows_path "$home/escaped-home.txt")" \
  HOME=$home bash "$try_package" --hold 0 --report "$work/report6" "$work/escape/release" \
  >"$work/out" 2>"$work/err"
cat "$work/out"
check "the escaping installer ran, and wrote none of its targets" \
  said "installer exit code: 100 (0x00000064)"
check "nothing written through Z:" [ ! -e "$work/escaped-z.txt" ]
check "nothing in the home directory" eval '[ -z "$(find "$home" -type f)" ]'
check "the release folder is as it was" \
  eval '[ "$(cd "$work/escape/release" && ls -A | tr "\n" " ")" = "Pack.qvd setup.exe " ]'

finish
