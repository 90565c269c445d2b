#!/usr/bin/env bash
# setuppack.exe (the Windows build, under Wine) ended by TerminateProcess while it builds a
# package or reads a copy of its input, as Task Manager, a CI time-out or Wine's own SIGTERM end
# it: the file it was building beside the output, and the copies it reads, go with the process,
# every time, so later runs never meet one.
# Usage: packer_hard_stop.sh SETUPPACK_EXE
source "$(dirname "$0")/lib.sh"
setuppack=$1

work=$(mktemp -d)
at_exit 'rm -rf "$work"'
mkdir -p "$work/src" "$work/out"
# Bytes that do not compress keep the encoder busy long enough to be stopped halfway.
for i in 1 2 3 4; do head -c 24M /dev/urandom >"$work/src/part$i.bin"; done
cp "$work/src/part1.bin" "$work/src/Installer.exe"
parts() { compgen -G "$work/out/.Pack.qvd.part*"; }
building() { parts >/dev/null; }
# stop_when CONDITION WHAT: once CONDITION holds (20 s at most), ends the run started in the
# background as $run with TerminateProcess, as Task Manager does.
stop_when() {
  for _ in $(seq 1 400); do
    "$1" && break
    sleep 0.05
  done
  check "$2 when stopped" "$1"
  wine_run taskkill /f /im setuppack.exe >/dev/null 2>&1
  exec 9>&-
  wait "$run"
  wineserver -w
}

for attempt in 1 2 3; do
  wine_run "$setuppack" create "$(windows_path "$work/src")" \
    -o "$(windows_path "$work/out/Pack.qvd")" --quiet --jobs 1 >/dev/null 2>&1 &
  run=$!
  stop_when building "run $attempt: the package was being built"
  check "run $attempt: no part file after TerminateProcess" test -z "$(parts)"
  check "run $attempt: no package either" test ! -e "$work/out/Pack.qvd"
done
# `-o -` builds the package in the temporary directory before copying it out: the same holds
# there.
mkdir -p "$work/temp"
use_temp_dir "$work/temp"
built() { compgen -G "$work/temp/.setuppack-*"; }
building_out() { built >/dev/null; }
wine_run "$setuppack" create "$(windows_path "$work/src")" -o - --quiet --jobs 1 \
  >"$work/stdout.qvd" 2>/dev/null &
run=$!
stop_when building_out "-o -: the package was being built"
check "-o -: nothing left in the temporary directory after TerminateProcess" test -z "$(built)"
check "-o -: nothing written to standard output" test ! -s "$work/stdout.qvd"
wine_run "$setuppack" create "$(windows_path "$work/src")" -o - --quiet >"$work/stdout.qvd" \
  2>/dev/null
check "-o -: a whole run writes the package" test -s "$work/stdout.qvd"
check "-o -: and leaves nothing in the temporary directory" test -z "$(built)"

# Files compressed ahead of the package wait in spill files beside it once the memory budget is
# spent (here at once): those go with the process too.
spills() { compgen -G "$work/out/.Pack.qvd.spill*"; }
spilling() { spills >/dev/null; }
SETUPPACK_HELD_BYTES=0 wine_run "$setuppack" create "$(windows_path "$work/src")" \
  -o "$(windows_path "$work/out/Pack.qvd")" --quiet --jobs 2 >/dev/null 2>&1 &
run=$!
stop_when spilling "spilling"
check "no spill file after TerminateProcess" test -z "$(spills)"
check "and no part file" test -z "$(parts)"

# A run left alone still puts its package in place.
wine_run "$setuppack" create "$(windows_path "$work/src")" \
  -o "$(windows_path "$work/out/Pack.qvd")" --quiet --jobs 2 >/dev/null 2>&1
check "a whole run puts the package in place" test -s "$work/out/Pack.qvd"
check "and leaves nothing beside it" test -z "$(parts)"

# The copies the readers make go the same way: standard input, copied whole before it is read
# (stopped while the sender still holds the pipe open). A single file's package is copied out of
# the release the same way: read by its name while it goes with the process.
copies() { compgen -G "$work/temp/.setuppack-*"; }
copying() { copies >/dev/null; }
mkfifo "$work/in"
wine_run "$setuppack" list - <"$work/in" >/dev/null 2>&1 &
run=$!
exec 9>"$work/in"
head -c 1M "$work/out/Pack.qvd" >&9
stop_when copying "list -: standard input was being copied"
check "list -: no copy of standard input after TerminateProcess" test -z "$(copies)"

wine_run "$setuppack" bundle "$(windows_path "$work/out/Pack.qvd")" --single-file \
  -o "$(windows_path "$work/release/setup.exe")" --quiet >/dev/null 2>&1
check "a single-file release to unpack" test -s "$work/release/setup.exe"
wine_run "$setuppack" extract "$(windows_path "$work/release/setup.exe")" \
  "$(windows_path "$work/unpacked")" --quiet >/dev/null 2>&1
check "extract: a single file is unpacked from its copy" cmp "$work/src/part4.bin" \
  "$work/unpacked/part4.bin"
check "extract: and the copy is gone" test -z "$(copies)"
finish
