# Shared by the Wine tests: a prefix of the build's own, a temporary directory the test chooses,
# and small assertions that count instead of stopping at the first failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# A prefix apart from the one the unit tests use, since these scripts point its TEMP elsewhere.
export WINEPREFIX="${WINE_SCRIPT_PREFIX:-$root/build/wineprefix-scripts}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_run() { "$root/scripts/wine-run.sh" "$@"; }

passed=0
failed=0
check() {  # check "what" command...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Z:\... form of a Unix path, as Windows programs under Wine see it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Points the prefix's TEMP and TMP at a Unix directory (Wine takes them from its registry).
use_temp_dir() {
  wine_run reg add 'HKCU\Environment' /v TEMP /d "$(windows_path "$1")" /f >/dev/null 2>&1
  wine_run reg add 'HKCU\Environment' /v TMP /d "$(windows_path "$1")" /f >/dev/null 2>&1
  wineserver -w
}

# Runs a Windows program with the Wine server started under strace, so that the server's own
# file operations are traced too: traced_run TRACE_FILE [strace options] -- PROGRAM [args].
# Each process is traced into a file of its own, so that no line is split by another's; the
# pieces are then put together in TRACE_FILE.
traced_run() {
  local trace=$1
  shift
  local options=()
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  wineserver -k 2>/dev/null || true
  wineserver -w
  strace -f -ff -qq -o "$trace.part" "${options[@]}" "$root/scripts/wine-run.sh" "$@"
  local status=$?
  wineserver -w
  cat "$trace".part.* >"$trace"
  rm -f "$trace".part.*
  return $status
}
