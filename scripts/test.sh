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
for preset in native release win32; do
  echo "== $preset"
  dir="${BUILD_ROOT:-build}/$preset"
  cmake --preset "$preset" -B "$dir" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure $([ "$preset" = win32 ] && echo -j1)) || status=1
done

echo "== fuzz"
bash scripts/fuzz.sh 60 || status=1
exit $status
