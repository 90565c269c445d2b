#!/usr/bin/env bash
# A sealed release under Wine: setup.exe whose seal holds the SHA-256 of its package and its
# bitmap, beside them in a folder or carrying them in one file, runs its installer only with the
# sealed bytes. One changed byte of what it reads ends the run with exit code 1620 and a debug line,
# with nothing started and nothing left; a single file reads nothing beside itself. The hashes
# come from sha256sum, the seal and the region from a fixture that writes the conventions, and a
# probe stands in for the installer and reports the tree it was started from.
# usage: sealed_release.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE MAKE_BUNDLE_EXE
#                          LOOK_AT_SPLASH_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
bundler=$4
inspector=$5

stage_run temp "$probe"
mkdir -p "$work/payload/sub" "$work/other"
echo data >"$work/payload/sub/data.txt"
wine_run "$packer" "$work/payload" "$work/Pack.qvd"
convert -size 160x90 gradient:'#2c3e50-#c0392b' BMP3:"$work/setup.bmp"
# Another package with an installer that would run, for the files planted beside a release.
cp "$probe" "$work/other/Installer.exe"
echo planted >"$work/other/planted.txt"
wine_run "$packer" "$work/other" "$work/planted.qvd"
cp "$work/planted.qvd" "$work/planted.qvd.kept"

report="$work/report"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$report")
sealed_tree="beside=Installer.exe beside=sub\\ beside=sub\\data.txt "

hash_of() { sha256sum "$1" | cut -d' ' -f1; }
empty_hash=$(hash_of /dev/null)
left_in_temp() { (cd "$temp" && find . -mindepth 1 | sort | tr '\n' ' '); }
reported() { [ -f "$report" ] && grep -qxF "$1" "$report"; }
tree_reported() { test "$(grep '^beside=' "$report" 2>/dev/null | tr '\n' ' ')" = "$sealed_tree"; }

# Changes one bit of the byte at OFFSET: flip_byte FILE OFFSET.
flip_byte() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# A sealed folder in DIR: seal_folder DIR [FLAGS [BITMAP_HASH]]; setup.bmp is copied only when
# its hash is the one sealed.
seal_folder() {
  local bitmap_hash=${3:-$(hash_of "$work/setup.bmp")}
  rm -rf "$1" && mkdir -p "$1"
  cp "$work/Pack.qvd" "$1/Pack.qvd"
  [ "$bitmap_hash" = "$empty_hash" ] || cp "$work/setup.bmp" "$1/setup.bmp"
  wine_run "$bundler" "$setup_exe" "$1/setup.exe" "${2:-1}" "$(hash_of "$work/Pack.qvd")" \
    "$bitmap_hash"
}

# A single file: seal_single OUT.
seal_single() {
  mkdir -p "$(dirname "$1")"
  wine_run "$bundler" "$setup_exe" "$1" 2 "$(hash_of "$work/Pack.qvd")" \
    "$(hash_of "$work/setup.bmp")" "$work/Pack.qvd" "$work/setup.bmp"
}

# Runs a launcher with its debug output kept: run EXE. Sets status.
run() {
  rm -f "$report"
  WINEDEBUG=+debugstr wine_run "$1" 2>"$work/debug.raw"
  status=$?
}

# Runs a launcher like run, with its first read of its private copy of the package held up for
# a while: by then it has shown its splash, which is looked at and compared with setup.bmp pixel
# for pixel. Leaves what was found in $work/inspect, and "pixels=N" there for a window found.
run_held() {
  rm -f "$report"
  local copy="$temp/latmp0.tmp/p" differing=none
  WINEDEBUG=+debugstr held_run "$copy" 3 "$1" 2>"$work/debug.raw" &
  local launcher=$!
  for _ in $(seq 1 300); do
    [ -e "$copy" ] && break
    sleep 0.1
  done
  wine_run "$inspector" 0 >"$work/inspect"
  local geometry
  geometry=$(sed -n 's/^window=//p' "$work/inspect")
  while [ -n "$geometry" ] && [ "$differing" != 0 ] && kill -0 "$launcher" 2>/dev/null; do
    import -display "$DISPLAY" -window root "$work/screen.png" 2>/dev/null
    convert "$work/screen.png" -crop "$geometry" +repage "$work/splash.png"
    differing=$(compare -metric AE "$work/setup.bmp" "$work/splash.png" null: 2>&1)
  done
  echo "pixels=$differing" >>"$work/inspect"
  wait "$launcher"
  status=$?
}
inspected() { grep -qxF "$1" "$work/inspect"; }

# expect_runs CASE EXE [SPLASH]: exit 0, the sealed tree started, nothing left; the sealed
# bitmap shown as the splash while unpacking (SPLASH 1, the default), or no splash (0).
expect_runs() {
  run_held "$2"
  check "$1: the installer's exit code 3" test "$status" -eq 3
  # What the launcher said, so that a failure explains itself.
  if [ "$status" -ne 3 ]; then
    {
      echo "exit code $status"
      grep -ao 'setup: [^"]*' "$work/debug.raw"
      tail -5 "$work/debug.raw"
    } >&2
  fi
  check "$1: the installer from the sealed package ran" tree_reported
  if [ "${3:-1}" = 1 ]; then
    check "$1: the splash has the sealed bitmap's size" inspected "client=160x90"
    check "$1: the splash shows the sealed bitmap" inspected "pixels=0"
  else
    check "$1: no splash window" inspected "count=0"
  fi
  check "$1: nothing left" test -z "$(left_in_temp)"
}

# expect_refused CASE EXE CODE LINE_PATTERN: the exit code and debug line, no installer started,
# nothing left.
expect_refused() {
  run "$2"
  check "$1: exit code $3" test "$status" -eq $(($3 & 255))
  check "$1: debug line" grep -aq "setup: $4" "$work/debug.raw"
  check "$1: no installer started" test ! -e "$report"
  check "$1: nothing left" test -z "$(left_in_temp)"
}

package_bytes=$(stat -c %s "$work/Pack.qvd")
stub_bytes=$(stat -c %s "$setup_exe")

# --- A sealed folder.
folder="$work/folder"
seal_folder "$folder"
expect_runs "folder" "$folder/setup.exe"

# The package is read once, into the launcher's private copy: one swapped in while the launcher
# holds the sealed one open, once it has started its copy and before it reads a byte, is never
# unpacked.
rm -f "$report"
(
  for _ in $(seq 1 300); do
    [ -e "$temp/latmp0.tmp/p" ] && break
    sleep 0.05
  done
  mv "$work/planted.qvd" "$folder/Pack.qvd"
) &
mover=$!
held_run "$folder/Pack.qvd" 3 "$folder/setup.exe"
status=$?
wait "$mover"
check "folder, package swapped while held open: swapped during the run" \
  cmp -s "$folder/Pack.qvd" "$work/planted.qvd.kept"
check "folder, package swapped while held open: the installer's exit code 3" test "$status" -eq 3
check "folder, package swapped while held open: the sealed installer ran" tree_reported
check "folder, package swapped while held open: nothing left" test -z "$(left_in_temp)"
cp "$work/planted.qvd.kept" "$work/planted.qvd"

seal_folder "$folder"
flip_byte "$folder/Pack.qvd" $((package_bytes - 1))
expect_refused "folder, last byte of Pack.qvd changed" "$folder/setup.exe" 1620 \
  'package damaged: .*folder.*Pack.qvd (package differs from the seal)'

seal_folder "$folder"
flip_byte "$folder/setup.bmp" 70
expect_refused "folder, a pixel of setup.bmp changed" "$folder/setup.exe" 1620 \
  'package damaged: .*folder.*setup.bmp (bitmap differs from the seal)'

seal_folder "$folder"
rm "$folder/setup.bmp"
expect_refused "folder, setup.bmp removed" "$folder/setup.exe" 1620 'package damaged: .*setup.bmp'

seal_folder "$folder"
rm "$folder/Pack.qvd"
expect_refused "folder, Pack.qvd removed" "$folder/setup.exe" 1619 \
  'package missing or unreadable: .*folder.*Pack.qvd'

# Sealed without a splash: no setup.bmp is read, and one planted beside it is a change.
seal_folder "$folder" 1 "$empty_hash"
expect_runs "folder without a splash" "$folder/setup.exe" 0
cp "$work/setup.bmp" "$folder/setup.bmp"
expect_refused "folder without a splash, setup.bmp planted" "$folder/setup.exe" 1620 \
  'package damaged: .*setup.bmp (bitmap differs from the seal)'

# Flags from a newer packer, or both kinds at once, are nothing this launcher can check.
for flags in 3 4; do
  seal_folder "$folder" "$flags"
  expect_refused "folder, seal flags $flags" "$folder/setup.exe" 1620 \
    'package damaged: setup.exe (seal not understood)'
done

# --- A single file.
single="$work/single/setup.exe"
seal_single "$single"
expect_runs "single file" "$single"

moved="$work/elsewhere/renamed release.exe"
mkdir -p "$(dirname "$moved")"
mv "$single" "$moved"
expect_runs "single file, renamed and moved" "$moved"
# With another package and a bitmap that is none beside it: neither is read.
cp "$work/planted.qvd" "$(dirname "$moved")/Pack.qvd"
head -c 5000 /dev/urandom >"$(dirname "$moved")/setup.bmp"
expect_runs "single file, Pack.qvd and setup.bmp planted beside it" "$moved"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Sealed release test" 2>/dev/null
seal_single "$single"
mkdir -p "$work/signed"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Sealed release test" \
  -in "$single" -out "$work/signed/setup.exe" >/dev/null
check "single file, signed: a certificate table follows the region" \
  test "$(stat -c %s "$work/signed/setup.exe")" -gt "$(stat -c %s "$single")"
expect_runs "single file, signed" "$work/signed/setup.exe"

cp "$single" "$work/single/flipped.exe"
flip_byte "$work/single/flipped.exe" $((stub_bytes + package_bytes / 2))
expect_refused "single file, a byte of its package changed" "$work/single/flipped.exe" 1620 \
  'package damaged: .*flipped.exe (package differs from the seal)'

cp "$work/signed/setup.exe" "$work/signed/flipped.exe"
flip_byte "$work/signed/flipped.exe" "$stub_bytes"
expect_refused "single file, signed, first byte of its package changed" \
  "$work/signed/flipped.exe" 1620 'package damaged: .*flipped.exe (package differs from the seal)'

cp "$single" "$work/single/flipped.exe"
flip_byte "$work/single/flipped.exe" $((stub_bytes + package_bytes + 80))
expect_refused "single file, a pixel of its bitmap changed" "$work/single/flipped.exe" 1620 \
  'package damaged: .*flipped.exe (bitmap differs from the seal)'

head -c $(($(stat -c %s "$single") - 1)) "$single" >"$work/single/cut.exe"
expect_refused "single file cut short" "$work/single/cut.exe" 1620 \
  'package damaged: .*cut.exe (no sealed package appended)'

finish
