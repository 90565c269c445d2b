# Shared by the Wine tests: a prefix of the build's own, a temporary directory the test chooses,
# and small assertions that count instead of stopping at the first failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# A prefix apart from the one the unit tests use, since these scripts point its TEMP elsewhere.
export WINEPREFIX="${WINE_SCRIPT_PREFIX:-$root/build/wineprefix-scripts}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_run() { "$root/scripts/wine-run.sh" "$@"; }

# Clean-up that runs when the script ends, the latest registered first: at_exit 'command'.
exit_actions=()
at_exit() { exit_actions+=("$1"); }
run_exit_actions() {
  local i
  for ((i = ${#exit_actions[@]} - 1; i >= 0; i--)); do eval "${exit_actions[i]}"; done
}
trap run_exit_actions EXIT

source "$root/tests/checks.sh"

# Z:\... form of a Unix path, as Windows programs under Wine see it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Points the prefix's TEMP and TMP at a Unix directory (Wine takes them from its registry). The
# prefix is shared by the scripts, so the first call notes the values it replaces, and they are
# put back when the script ends.
use_temp_dir() {
  if [ -z "${temp_dir_saved:-}" ]; then
    temp_dir_saved=1
    local name
    for name in TEMP TMP; do
      local saved
      saved=$(wine_run reg query 'HKCU\Environment' /v "$name" 2>/dev/null | tr -d '\r' |
        sed -nE "s/^ +$name +(REG_[A-Z_]+) +(.*)$/\1 \2/p")
      if [ -n "$saved" ]; then
        at_exit "set_temp_value $name ${saved%% *} $(printf '%q' "${saved#* }")"
      fi
    done
  fi
  set_temp_value TEMP REG_SZ "$(windows_path "$1")"
  set_temp_value TMP REG_SZ "$(windows_path "$1")"
  wineserver -w
}
set_temp_value() {  # set_temp_value NAME TYPE VALUE
  wine_run reg add 'HKCU\Environment' /v "$1" /t "$2" /d "$3" /f >/dev/null 2>&1
}

# An X display of the script's own, so that windows really appear and can be looked at: Xvfb on
# the first free number from 47 to 59, at 1024x768. Sets DISPLAY; Wine and Xvfb are stopped
# when the script ends.
start_display() {
  local n pid
  for n in $(seq 47 59); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
      # Another suite's server may answer on a number ours could not take: ours must live on.
      if xdpyinfo -display ":$n" >/dev/null 2>&1 && sleep 0.2 && kill -0 "$pid" 2>/dev/null; then
        export DISPLAY=":$n"
        at_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null"
        # Wine's programs hold on to the display they started with.
        at_exit "wineserver -k 2>/dev/null; wineserver -w || true"
        wineserver -k 2>/dev/null || true
        wineserver -w || true
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  echo "no free X display from :47 to :59" >&2
  return 1
}

# Runs PROGRAM with the first read of PACKAGE held up for SECONDS (twice, if the reads come both
# as read and pread), so that the splash can be looked at while the launcher is still unpacking:
# held_run PACKAGE SECONDS PROGRAM [args].
held_run() {
  local package=$1 seconds=$2
  shift 2
  strace -f -qq -o /dev/null -P "$package" -e trace=read,pread64 \
    -e inject=read,pread64:delay_enter=$((seconds * 1000000)):when=1 "$root/scripts/wine-run.sh" "$@"
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

# The stage of a run of setup.exe: a work directory (removed when the script ends) with payload/,
# whose Installer.exe is PROBE, and app/, which gets setup.exe and the package of payload/; a
# display of the script's own; and the temporary directory TEMP_NAME below the work directory,
# where the prefix's TEMP points. Sets work, app and temp; callers add to payload/ before
# pack_app.
stage_run() {  # stage_run TEMP_NAME PROBE
  work=$(mktemp -d)
  at_exit 'rm -rf "$work"'
  start_display || exit 1
  app="$work/app"
  temp="$work/$1"
  mkdir -p "$temp" "$app" "$work/payload"
  use_temp_dir "$temp"
  cp "$2" "$work/payload/Installer.exe"
}
pack_app() {  # pack_app PACKER SETUP_EXE
  wine_run "$1" "$work/payload" "$app/Pack.qvd"
  cp "$2" "$app/setup.exe"
}
