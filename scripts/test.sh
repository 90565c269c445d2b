#!/usr/bin/env bash
# Builds every preset and runs every test: the native ones with sanitizers and optimised, the
# Windows ones under Wine, then each fuzzer for a minute. Installs what is missing first.
# BUILD_ROOT=DIR builds into DIR/<preset> instead of build/<preset>, so that two checkouts'
# worth of work can run side by side in one tree.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh

echo "== format"
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests bench -name '*.cpp' -o -name '*.h')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files

status=0
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in native release win32; do
  echo "== $preset"
  dir="${BUILD_ROOT:-build}/$preset"
  cmake --preset "$preset" -B "$dir" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure $([ "$preset" = win32 ] && echo -j1)) | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  # "N% tests passed, F tests failed out of T"
  counts=$(sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$log" | tail -1)
  if [ -n "$counts" ]; then
    failed=$((failed + ${counts% *}))
    passed=$((passed + ${counts#* } - ${counts% *}))
  else
    status=1
  fi
done

echo "== fuzz"
if bash scripts/fuzz.sh 60; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
echo "tests: $passed passed, $failed failed"
exit $status
