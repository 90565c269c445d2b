#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UBSan) and runs each for SECONDS
# seconds (default 60), one fuzzer process at a time at low priority.
# Usage: scripts/fuzz.sh [SECONDS [HARNESS...]]
# Under ${BUILD_ROOT:-build}/fuzz-run: corpus/<harness>/ is the working corpus, seeded from
# fuzz/corpus and kept between runs; findings/<harness>/ receives crashing or slow inputs;
# <harness>.log is the last run's output and history.txt one line per run. A finding makes the
# script fail; replay it with build/fuzz/fuzz/<harness> FILE, then keep it in fuzz/regressions.
# fuzz/<harness>.dict, where there is one, is handed to libFuzzer as its dictionary.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds="${1:-60}"
shift || true
root="${BUILD_ROOT:-build}"
build="$root/fuzz"
run="$(mkdir -p "$root/fuzz-run" && cd "$root/fuzz-run" && pwd)"
# One fuzzer at a time: the machine is small and shared, and so is the working corpus. A second
# run waits for the first.
exec 9>"$run/lock"
flock 9

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for source in fuzz/*_fuzzer.cpp; do harnesses+=("$(basename "$source" .cpp)"); done
fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "${harnesses[@]}" >/dev/null

status=0
for name in "${harnesses[@]}"; do
  corpus="$run/corpus/$name"
  findings="$run/findings/$name"
  # The harnesses' temporary directories go here, so nothing of theirs mixes with the system's.
  temp="$run/temp/$name"
  mkdir -p "$corpus" "$findings" "$temp"
  if [ -d "fuzz/corpus/$name" ]; then cp -n "fuzz/corpus/$name"/* "$corpus/" 2>/dev/null || true; fi
  log="$run/$name.log"
  dict=()
  if [ -f "fuzz/$name.dict" ]; then dict=(-dict="fuzz/$name.dict"); fi
  started=$SECONDS
  set +e
  TMPDIR="$temp" nice -n 19 "$build/fuzz/$name" "$corpus" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dict[@]}" >"$log" 2>&1
  result=$?
  set -e
  elapsed=$((SECONDS - started))
  executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  inputs=$(find "$corpus" -type f | wc -l)
  echo "$(date -u +%FT%TZ) $name seconds=$elapsed executions=$executions exit=$result" >>"$run/history.txt"
  if [ "$result" -eq 0 ]; then
    echo "$name: $executions executions in $elapsed s, corpus of $inputs inputs"
  else
    echo "$name: FAILED after $executions executions (exit $result); see $log and $findings" >&2
    grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+_fuzzer: |.*runtime error)' "$log" | head -5 >&2 || true
    status=1
  fi
done
exit $status
