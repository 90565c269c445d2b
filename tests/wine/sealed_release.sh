#!/usr/bin/env bash
# A sealed release under Wine: setup.exe whose seal holds the SHA-256 of its package and its
# bitmap, beside them in a folder or carrying them in one file, runs its installer only with the
# sealed bytes. One changed byte of what it reads ends the run with exit code 1620 and a debug line,
# with nothing started and nothing left; a single file reads nothing beside itself. The hashes
# come from sha256sum, the seal and the region from a fixture that writes the conventions, and a
# probe stands in for the installer and reports the tree it was started from.
# usage: sealed_release.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE MAKE_BUNDLE_EXE
#                          LOOK_AT_SPLASH_EXE HOLD_FILE_EXE SETUPPACK_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
bundler=$4
inspector=$5
holder=$6
setuppack=$7

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

size_of() { stat -c %s "$1"; }
# A sealed folder in DIR: seal_folder DIR [FLAGS [BITMAP_HASH]]; setup.bmp is copied only when
# its hash is the one sealed, and sealed with its size, or 0 without it.
seal_folder() {
  local bitmap_hash=${3:-$(hash_of "$work/setup.bmp")} bitmap_size=0
  rm -rf "$1" && mkdir -p "$1"
  cp "$work/Pack.qvd" "$1/Pack.qvd"
  if [ "$bitmap_hash" != "$empty_hash" ]; then
    cp "$work/setup.bmp" "$1/setup.bmp"
    bitmap_size=$(size_of "$work/setup.bmp")
  fi
  wine_run "$bundler" "$setup_exe" "$1/setup.exe" "${2:-1}" "$(hash_of "$work/Pack.qvd")" \
    "$bitmap_hash" "$(size_of "$work/Pack.qvd")" "$bitmap_size"
}

# A single file: seal_single OUT [SEALED_PACKAGE_SIZE]; the trailer gives the real sizes.
seal_single() {
  mkdir -p "$(dirname "$1")"
  wine_run "$bundler" "$setup_exe" "$1" 2 "$(hash_of "$work/Pack.qvd")" \
    "$(hash_of "$work/setup.bmp")" "${2:-$(size_of "$work/Pack.qvd")}" \
    "$(size_of "$work/setup.bmp")" "$work/Pack.qvd" "$work/setup.bmp"
}

# Runs a launcher with its debug output kept: run EXE. Sets status.
run() {
  rm -f "$report"
  WINEDEBUG=+debugstr wine_run "$1" 2>"$work/debug.raw"
  status=$?
}

# Where a launcher stages the installer's blob: in the first directory it makes, or in the second
# when it made a private one for its splash first.
staged_installer() { echo "$temp/latmp$((${1:-1})).tmp/Installer.exe"; }

# Runs a launcher like run, with its first read of the installer's staged blob held up for a
# while: by then it has checked its package and shown its splash, which is looked at and
# compared with setup.bmp pixel for pixel. Leaves what was found in $work/inspect, and
# "pixels=N" there for a window found: run_held EXE [SPLASH].
run_held() {
  rm -f "$report"
  local staged differing=none
  staged=$(staged_installer "${2:-1}")
  WINEDEBUG=+debugstr held_run "$staged" 3 "$1" 2>"$work/debug.raw" &
  local launcher=$!
  for _ in $(seq 1 300); do
    [ -e "$staged" ] && break
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
  run_held "$2" "${3:-1}"
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

# The package is read from the file the launcher opened, never again by its name: one swapped
# in while the launcher holds the sealed one open, before it reads a byte of it, is never read.
rm -f "$report"
(
  for _ in $(seq 1 300); do
    [ -e "$temp/latmp0.tmp/b" ] && break
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

# What another Windows program may do to a file while a launcher holds it: hold_changes FILE,
# run while the launcher unpacks, prints "write=..." and "rename=...".
hold_changes() { wine_run "$holder" change "$(windows_path "$1")" | tr -d '\r'; }

# expect_held CASE EXE FILE...: while EXE unpacks, no other program can write or rename any
# FILE; the run then goes on with the sealed installer.
expect_held() {
  local name=$1 exe=$2 staged file
  shift 2
  staged=$(staged_installer 1)
  rm -f "$report" "$work/changes"
  (
    for _ in $(seq 1 300); do
      [ -e "$staged" ] && break
      sleep 0.05
    done
    for file in "$@"; do hold_changes "$file" >>"$work/changes"; done
  ) &
  local changer=$!
  held_run "$staged" 3 "$exe"
  status=$?
  wait "$changer"
  check "$name: no other program could write" test "$(grep -c '^write=refused$' "$work/changes")" -eq $#
  check "$name: no other program could rename" \
    test "$(grep -c '^rename=refused$' "$work/changes")" -eq $#
  check "$name: the installer's exit code 3" test "$status" -eq 3
  check "$name: the sealed installer ran" tree_reported
  check "$name: nothing left" test -z "$(left_in_temp)"
}
seal_folder "$folder"
expect_held "folder, held while unpacking" "$folder/setup.exe" "$folder/Pack.qvd" \
  "$folder/setup.bmp"
check "folder, held while unpacking: the files are as sealed" \
  cmp -s "$folder/Pack.qvd" "$work/Pack.qvd"

# A file another program holds open for writing may change under any check: it is refused.
# expect_refused_while_held CASE EXE FILE
expect_refused_while_held() {
  local holding
  coproc holding { wine_run "$holder" hold "$(windows_path "$3")" 6000; }
  local line=""
  read -r -t 30 line <&"${holding[0]}"
  check "$1: the other program holds it" test "${line%$'\r'}" = held
  expect_refused "$1" "$2" 1619 "package missing or unreadable: .*$(basename "$3") (open for writing elsewhere)"
  wait "$holding_PID" 2>/dev/null
  wineserver -w
}
seal_folder "$folder"
expect_refused_while_held "folder, Pack.qvd open for writing elsewhere" "$folder/setup.exe" \
  "$folder/Pack.qvd"
expect_refused_while_held "folder, setup.bmp open for writing elsewhere" "$folder/setup.exe" \
  "$folder/setup.bmp"

# Sizes come first: a file of another size than sealed is refused before it is read. (Wine
# itself peeks at the first few bytes of a file it opens.)
# run_counting_reads FILE EXE: runs EXE like run, with the bytes it read of FILE in `reads`.
run_counting_reads() {
  rm -f "$report"
  WINEDEBUG=+debugstr strace -f -qq -o "$work/reads" -P "$1" -e trace=read,pread64 \
    "$root/scripts/wine-run.sh" "$2" 2>"$work/debug.raw"
  status=$?
  reads=$(sed -n 's/.*read.* = \([0-9]*\)$/\1/p' "$work/reads" | awk '{ n += $1 } END { print n + 0 }')
}
for name in Pack.qvd setup.bmp; do
  seal_folder "$folder"
  echo >>"$folder/$name"
  run_counting_reads "$folder/$name" "$folder/setup.exe"
  check "folder, $name one byte longer: exit code 1620" test "$status" -eq $((1620 & 255))
  check "folder, $name one byte longer: debug line" \
    grep -aq "setup: package damaged: .*$name (.* differs from the seal)" "$work/debug.raw"
  check "folder, $name one byte longer: not read ($reads bytes)" test "$reads" -lt 64
  check "folder, $name one byte longer: nothing left" test -z "$(left_in_temp)"
done

# A hard stop while unpacking leaves no copy of the package: only the staged blobs and the
# checked bitmap, which a later clean-up of TEMP takes.
# expect_no_copy_after_stop CASE EXE
descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1"); do
    echo "$child"
    descendants "$child"
  done
}
expect_no_copy_after_stop() {
  local staged copies=0 file
  staged=$(staged_installer 1)
  held_run "$staged" 5 "$2" 2>/dev/null &
  local launcher=$!
  for _ in $(seq 1 300); do
    [ -e "$staged" ] && break
    sleep 0.05
  done
  # The launcher's own process among those this run started, killed as a power cut would.
  local pid
  for pid in $(descendants "$launcher"); do
    # Wine pads the command line it rewrites.
    [ "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | sed 's/ *$//')" = "$2" ] &&
      kill -KILL "$pid"
  done
  wait "$launcher"
  wineserver -w
  while IFS= read -r -d '' file; do
    cmp -s "$file" "$work/Pack.qvd" && copies=$((copies + 1))
  done < <(find "$temp" -type f -print0)
  check "$1: stopped while unpacking" test -e "$staged"
  check "$1: no copy of the package left" test "$copies" -eq 0
  check "$1: no file of the package's size left" \
    test -z "$(find "$temp" -type f -size "$(size_of "$work/Pack.qvd")c")"
  rm -rf "${temp:?}"/*
}
seal_folder "$folder"
expect_no_copy_after_stop "folder, hard stop" "$folder/setup.exe"

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

seal_single "$single"
expect_held "single file, held while unpacking" "$single" "$single"
expect_no_copy_after_stop "single file, hard stop" "$single"

seal_single "$work/single/larger.exe" $((package_bytes + 1))
expect_refused "single file sealed with another package size" "$work/single/larger.exe" 1620 \
  'package damaged: .*larger.exe (package differs from the seal)'

# A single file from the packer stores its splash compressed; the launcher shows it as it was.
mkdir -p "$work/packed"
wine_run "$setuppack" bundle "$work/payload" --single-file -o "$work/packed/setup.exe" \
  --stub "$setup_exe" --splash "$work/setup.bmp" --quiet
# The bitmap's stored size is the trailer's last field.
stored_bitmap=$(od -An -tu4 -j $(($(size_of "$work/packed/setup.exe") - 4)) -N4 \
  "$work/packed/setup.exe" | tr -d ' ')
check "packed single file: the splash is stored smaller than it is" \
  test "$stored_bitmap" -lt "$(size_of "$work/setup.bmp")"
expect_runs "packed single file, compressed splash" "$work/packed/setup.exe"

head -c $(($(stat -c %s "$single") - 1)) "$single" >"$work/single/cut.exe"
expect_refused "single file cut short" "$work/single/cut.exe" 1620 \
  'package damaged: .*cut.exe (no sealed package appended)'

finish
