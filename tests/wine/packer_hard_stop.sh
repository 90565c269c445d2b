#!/usr/bin/env bash
# setuppack.exe (the Windows build, under Wine) ended by TerminateProcess while it builds a
# package, as Task Manager, a CI time-out or Wine's own SIGTERM end it: the file it was building
# beside the output goes with the process, every time, so later runs never meet one.
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

for attempt in 1 2 3; do
  wine_run "$setuppack" create "$(windows_path "$work/src")" \
    -o "$(windows_path "$work/out/Pack.qvd")" --quiet --jobs 1 >/dev/null 2>&1 &
  run=$!
  for _ in $(seq 1 400); do
    parts >/dev/null && break
    sleep 0.05
  done
  check "run $attempt: the package was being built when stopped" building
  wine_run taskkill /f /im setuppack.exe >/dev/null 2>&1
  wait "$run"
  wineserver -w
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
for _ in $(seq 1 400); do
  building_out && break
  sleep 0.05
done
check "-o -: the package was being built when stopped" building_out
wine_run taskkill /f /im setuppack.exe >/dev/null 2>&1
wait "$run"
wineserver -w
check "-o -: nothing left in the temporary directory after TerminateProcess" test -z "$(built)"
check "-o -: nothing written to standard output" test ! -s "$work/stdout.qvd"
wine_run "$setuppack" create "$(windows_path "$work/src")" -o - --quiet >"$work/stdout.qvd" \
  2>/dev/null
check "-o -: a whole run writes the package" test -s "$work/stdout.qvd"
check "-o -: and leaves nothing in the temporary directory" test -z "$(built)"

# A run left alone still puts its package in place.
wine_run "$setuppack" create "$(windows_path "$work/src")" \
  -o "$(windows_path "$work/out/Pack.qvd")" --quiet --jobs 2 >/dev/null 2>&1
check "a whole run puts the package in place" test -s "$work/out/Pack.qvd"
check "and leaves nothing beside it" test -z "$(parts)"
finish
