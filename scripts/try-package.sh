#!/usr/bin/env bash
# Tries a release folder (setup.exe beside Pack.qvd and setup.bmp, or a single-file setup.exe)
# without Windows: runs its setup.exe under Wine in a throwaway prefix, on an X display of its
# own, and tells what a publisher needs to know: the splash as it appeared, the install directory
# as the installer found it, the installer's exit code, the launcher's exit code and what was
# left in the temporary directory. The folder is only read.
#
# The prefix is a sandbox for the package, which may come from someone else: the folder is
# copied into it, and it keeps no drive and no folder link that reaches outside it (Wine's Z:,
# which maps /, and its links to the user's Desktop, Documents...), so the installer can write
# only into the prefix, which goes at the end. It is no security boundary against a program made
# to break out of Wine (Wine's own Unix path names, Unix system calls): try only what you would
# run on a test machine.
#
# How each is seen:
# - The splash: the launcher's first read of the package is held up with strace (--hold, 3 s),
#   and the splash window, found by the bitmap's size, is photographed until a capture matches
#   the bitmap. A single file's bitmap is taken from it with setuppack (extract --splash), and
#   the launcher is held up at its first read of the installer it staged.
# - The install directory: the Wine server is run with its request trace, which says the moment
#   the launcher asks for the installer's process; the server is stopped and the directory
#   listed then, when everything is unpacked and the installer cannot have run yet.
# - The installer's exit code: from the same trace, the code the installer's process hands to
#   Wine when it ends (ExitProcess, a return from WinMain, an unhandled exception), all 32 bits,
#   as GetExitCodeProcess would tell it on Windows. Nothing is changed in the package.
# - The launcher's exit code: likewise, and explained as the README's table does: once it started
#   the installer, the installer's own.
#
# Exits with the launcher's verdict: 0 when it started the installer, 1 when it did not or the
# run had to be ended (--timeout, 300 s), 2 for a wrong call.
# --keep-prefix moves the prefix into the report folder at the end instead of removing it, to
# look at what the installer wrote there.
# usage: scripts/try-package.sh [--hold SECONDS] [--timeout SECONDS] [--report DIR]
#                               [--keep-prefix] FOLDER
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# setuppack as SETUPPACK names it, from the path (setuppack-try puts its own folder first), or
# from a native build.
find_setuppack() {
  local candidate
  for candidate in "${SETUPPACK:-}" "$(command -v setuppack 2>/dev/null)" \
    "$root/build/native/src/setuppack" "$root/build/release/src/setuppack"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && echo "$candidate" && return 0
  done
  return 1
}

usage() {
  echo "usage: $0 [--hold SECONDS] [--timeout SECONDS] [--report DIR] [--keep-prefix] FOLDER" >&2
  exit 2
}
hold=3
timeout=300
report=""
folder=""
keep_prefix=""
while [ $# -gt 0 ]; do
  case $1 in
    --keep-prefix)
      keep_prefix=yes
      shift
      ;;
    --hold | --timeout | --report)
      [ $# -ge 2 ] || usage
      declare "${1#--}=$2"
      shift 2
      ;;
    -h | --help) sed -n '2,/^# usage/s/^# \{0,1\}//p' "$0" && sed -n '/^# usage/,/^[^#]/{/^#  /s/^# \{0,1\}//p}' "$0" && exit 0 ;;
    -*) usage ;;
    *)
      [ -z "$folder" ] || usage
      folder=$1
      shift
      ;;
  esac
done
[ -n "$folder" ] || usage
[[ $hold =~ ^[0-9]+$ && $timeout =~ ^[1-9][0-9]*$ ]] || usage
if ! folder=$(cd "$folder" 2>/dev/null && pwd); then
  echo "try-package: no such folder: $folder" >&2
  exit 2
fi
# Windows finds the launcher's files whatever their letter case; so does this script.
beside() { find "$folder" -maxdepth 1 -type f -iname "$1" -print -quit; }
setup_exe=$(beside setup.exe)
package=$(beside Pack.qvd)
bitmap=$(beside setup.bmp)
if [ -z "$setup_exe" ]; then
  echo "try-package: $folder has no setup.exe" >&2
  exit 2
fi
# Without a Pack.qvd the folder is taken as a single-file release, which carries its package and
# splash inside setup.exe and reads nothing beside it: there is no package file to hold up.
single_file=""
[ -z "$package" ] && single_file=yes

bash "$root/scripts/setup.sh"
if [ -z "$report" ]; then
  report=$(mktemp -d "${TMPDIR:-/tmp}/try-package-report.XXXXXX")
fi
mkdir -p "$report" && report=$(cd "$report" && pwd)
rm -f "$report"/{splash.png,screen.png,install-directory.txt,debug-output.log}

work=$(mktemp -d "${TMPDIR:-/tmp}/try-package.XXXXXX")
# Wine keeps its server's socket below TMPDIR: there too, so that it goes with the rest.
export TMPDIR=$work
export WINE_SCRIPT_PREFIX=$work/prefix
source "$root/tests/wine/lib.sh"
at_exit 'rm -rf "$work"'

if [ -n "$single_file" ]; then
  bitmap=""
  if setuppack=$(find_setuppack) &&
    "$setuppack" extract -q --splash "$work/splash.bmp" "$setup_exe" "$work/unpacked" 2>/dev/null &&
    [ -s "$work/splash.bmp" ]; then
    bitmap=$work/splash.bmp
  fi
  rm -rf "$work/unpacked"
fi

echo "try-package: $folder"
echo "making a Wine prefix of its own (about 15 s)"
start_display || exit 2
wine_run wineboot -i >/dev/null 2>&1
wineserver -w
# The sandbox: no drive and no folder link of the prefix reaches outside it.
for drive in "$WINEPREFIX"/dosdevices/*; do
  [ -L "$drive" ] || continue
  case $(readlink -f "$drive") in
    "$WINEPREFIX" | "$WINEPREFIX"/*) ;;
    *) rm -f "$drive" ;;
  esac
done
find "$WINEPREFIX/drive_c" -type l -print0 | while IFS= read -r -d '' link; do
  case $(readlink -f "$link") in
    "$WINEPREFIX" | "$WINEPREFIX"/*) ;;
    *) rm -f "$link" && mkdir -p "$link" ;;
  esac
done
# The release as the installer may see it: a copy inside the prefix. Names as found above.
inside=$WINEPREFIX/drive_c/release
mkdir -p "$inside"
cp -R "$folder/." "$inside/"
setup_exe=$inside/${setup_exe##*/}
[ -n "$package" ] && package=$inside/${package##*/}
[ -n "$bitmap" ] && [ -z "$single_file" ] && bitmap=$inside/${bitmap##*/}
temp=$WINEPREFIX/drive_c/temp
mkdir -p "$temp"
set_temp_value TEMP REG_SZ 'C:\temp'
set_temp_value TMP REG_SZ 'C:\temp'
wineserver -w

# The Wine server with its request trace, read as the server writes it. Kept are the lines that
# say which process is which and how each ended. When the launcher asks for the installer's
# process, the server is stopped while the install directory is listed: everything is unpacked
# by then, and the installer cannot run a step before the listing is done.
mkfifo "$work/trace"
wineserver -f -d1 2>"$work/trace" &
server=$!
export LIST_FROM=$temp LIST_INTO=$report/install-directory.txt
awk -v server="$server" -v named="$work/installer-directory" '
  /^[0-9a-f]+: (new_process|init_first_thread|new_thread|terminate_process)\(/ {
    print
    fflush()
  }
  !listed && / new_process\( / && match($0, /ZeKolInst[0-9]+\\\\Installer\.exe"/) {
    listed = 1
    directory = substr($0, RSTART, index(substr($0, RSTART), "\\") - 1)
    system("kill -STOP " server)
    system("cd \"$LIST_FROM/" directory "\" && find . -mindepth 1 -printf \"%P\\t%y\\t%s\\n\" |" \
      " sort >\"$LIST_INTO\"")
    system("kill -CONT " server)
    print directory >named
    close(named)
  }' <"$work/trace" >"$work/server.log" &
filter=$!
at_exit "wineserver -k 2>/dev/null; wait $server $filter 2>/dev/null"
for _ in $(seq 1 100); do
  [ -S "/proc/$server/cwd/socket" ] && break
  sleep 0.1
done
if [ ! -S "/proc/$server/cwd/socket" ]; then
  echo "try-package: the Wine server did not start" >&2
  exit 2
fi

splash_size=""
[ -n "$bitmap" ] && splash_size=$(identify -format '%wx%h' "$bitmap" 2>/dev/null)
held=""
if [ "$hold" -gt 0 ]; then
  if [ -n "$package" ]; then
    held=", its first read of the package held up for $hold s"
  elif [ -n "$bitmap" ]; then
    held=", held up for $hold s when it first reads the installer it staged"
  fi
fi
echo "running ${folder}/${setup_exe##*/} on display $DISPLAY$held"
(
  cd "$inside" || exit 1
  export WINEDEBUG=-all,+debugstr
  if [ "$hold" -gt 0 ] && [ -n "$package" ]; then
    held_run "$package" "$hold" "$setup_exe"
  elif [ "$hold" -gt 0 ] && [ -n "$bitmap" ]; then
    # A single file reads its package from itself, many times. Its installer's staged blob is
    # read once everything is staged, long after the splash shows: the splash thread has had
    # its time, and the main thread holds nothing it needs. The temporary directory is new, so
    # the directories are the first two: the checked splash's, then the staging one.
    held_run "$temp/latmp1.tmp/Installer.exe" "$hold" "$setup_exe"
  else
    wine_run "$setup_exe"
  fi
) 2>"$report/debug-output.log" &
launcher=$!

photographed=""
differing=""
listed=""
installer_dir=""
timed_out=""
deadline=$((SECONDS + timeout))
while kill -0 "$launcher" 2>/dev/null; do
  # The splash is closed before the installer starts.
  if [ -n "$splash_size" ] && [ "$differing" != 0 ] && [ -z "$listed" ]; then
    # Taken from the whole screen: a capture of the window itself can hang when the window
    # goes away meanwhile.
    place=$(xwininfo -root -tree 2>/dev/null |
      awk -v size="$splash_size" '{ for (i = 1; i < NF; i++) if (index($i, size "+") == 1) {
        print $(i + 1); exit } }')
    if [ -n "$place" ] && timeout 10 import -silent -window root "$work/screen.png" 2>/dev/null &&
      convert "$work/screen.png" -crop "$splash_size$place" +repage "$report/splash.png"; then
      photographed=yes
      differing=$(compare -metric AE "$bitmap" "$report/splash.png" null: 2>&1)
    fi
  fi
  if [ -z "$listed" ] && [ -s "$work/installer-directory" ]; then
    installer_dir=$(cat "$work/installer-directory")
    listed=yes
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    timed_out=yes
    timeout 10 import -silent -window root "$report/screen.png" 2>/dev/null
    wineserver -k
    break
  fi
  sleep 0.1
done
wait "$launcher"
launcher_status=$?
# Whatever the installer left running ends with the session, or is ended.
timeout 20 wineserver -w || wineserver -k
wait "$server" "$filter" 2>/dev/null

# Which process is which, and the exit code each handed to Wine: a thread belongs to the
# process whose first thread it is or whose thread made it; the installer is the process made
# for ZeKolInst<n>\Installer.exe, the launcher the first process of the session.
codes=$(awk '
  function value(key,   rest) {
    rest = substr($0, index($0, key "=") + length(key) + 1)
    return substr(rest, 1, match(rest, /[,} )]/) - 1)
  }
  { thread = substr($1, 1, length($1) - 1) }
  / new_process\( / && /imagepath=L"[^"]*\\\\ZeKolInst[0-9]+\\\\Installer\.exe"/ && !asked {
    asked = thread
  }
  / new_process\(\) = 0 / && thread == asked && !installer { installer = value("pid") }
  / init_first_thread\(\) = 0 / {
    owner[value("tid")] = value("pid")
    if (!launcher) launcher = value("pid")
  }
  / new_thread\( process=ffffffff,/ { making[thread] = 1 }
  / new_thread\(\) = 0 / && making[thread] { owner[value("tid")] = owner[thread]; making[thread] = 0 }
  / terminate_process\( handle=(ffffffff|0000),/ { code[owner[thread]] = value("exit_code") }
  END {
    printf "%s %s %s\n", (installer ? "started" : "none"),
      (installer in code ? code[installer] : "-"), (launcher in code ? code[launcher] : "-")
  }' "$work/server.log")
read -r installer_started installer_code launcher_code <<<"$codes"

as_code() {  # decimal and hex of an exit code as the trace prints it (signed)
  local code=$1
  [ "$code" -lt 0 ] && code=$((code + 4294967296))
  printf '%d (0x%08X)' "$code" "$code"
}
meaning() {  # the README's table of the launcher's own exit codes
  case $1 in
    1619) echo "no Pack.qvd beside the launcher, or it cannot be read" ;;
    1620) echo "the package is damaged or unsafe, or holds no Installer.exe" ;;
    1632) echo "no directory of its own could be made under the temporary directory" ;;
    112) echo "the package declares more than the temporary directory's disk has free" ;;
    1603) echo "Installer.exe cannot be started, and the system gave no reason" ;;
    *) echo "Installer.exe cannot be started: the system's error $1" ;;
  esac
}

echo
if [ -n "$single_file" ] && [ -z "$bitmap" ]; then
  echo "splash: none in setup.exe (or setuppack, which reads it out, was not found)"
elif [ -z "$bitmap" ]; then
  echo "splash: none, there is no setup.bmp"
elif [ -z "$photographed" ]; then
  echo "splash: not seen (a ${splash_size:-unreadable} window never appeared)"
elif [ "$differing" = 0 ]; then
  echo "splash: $report/splash.png ($splash_size, pixel for pixel $([ -n "$single_file" ] &&
    echo "the bitmap in setup.exe" || echo setup.bmp))"
else
  echo "splash: $report/splash.png ($splash_size, caught before it was painted whole:" \
    "$differing pixels differ from setup.bmp; a longer --hold helps)"
fi

if [ -n "$listed" ]; then
  echo "install directory, as the installer started: %TEMP%\\$installer_dir"
  awk -F '\t' '{ if ($2 == "d") printf "  %s/\n", $1; else printf "  %s  (%s bytes)\n", $1, $3 }' \
    "$report/install-directory.txt"
else
  echo "install directory: the installer was not started"
fi

if [ "$installer_started" = none ]; then
  echo "installer exit code: none, it was not started"
elif [ "$installer_code" = - ] && [ -n "$timed_out" ]; then
  echo "installer exit code: none, it was still running when the run was ended (--timeout)"
elif [ "$installer_code" = - ]; then
  echo "installer exit code: unknown, its process was ended from outside or never ran"
else
  echo "installer exit code: $(as_code "$installer_code")"
fi

if [ -n "$timed_out" ]; then
  echo "setup.exe exit code: none, still running after $timeout s and ended; the screen then: $report/screen.png"
else
  code=$launcher_code
  [ "$code" = - ] && code=$launcher_status
  if [ "$installer_started" != none ] && [ "$code" = "$installer_code" ]; then
    echo "setup.exe exit code: $(as_code "$code"), the installer's, passed on once the launcher cleaned up"
  elif [ "$installer_started" = none ] && [ "$code" -gt 0 ] && [ "$code" -lt 65536 ]; then
    echo "setup.exe exit code: $code, $(meaning "$code")"
  else
    echo "setup.exe exit code: $(as_code "$code"), not one of its own: it crashed or was ended"
  fi
fi
# Its debug line, which Wine prints with backslashes doubled.
tr -d '\r' <"$report/debug-output.log" | sed -n 's/.*OutputDebugStringA "\(setup: .*\)\\n"$/\1/p' |
  sed 's/\\\\/\\/g; s/^/setup.exe debug line: /'

left=$(cd "$temp" && find . -mindepth 1 -printf '%P\t%y\n' | sort |
  awk -F '\t' '{ print $1 ($2 == "d" ? "/" : "") }')
if [ -z "$left" ]; then
  echo "left in the temporary directory: nothing"
else
  echo "left in the temporary directory: $(echo "$left" | wc -l) entries"
  echo "$left" | sed 's/^/  /'
fi
if [ -n "$keep_prefix" ]; then
  rm -rf "$report/prefix"
  mv "$WINEPREFIX" "$report/prefix" && echo "prefix kept: $report/prefix"
fi
echo "report: $report"

# The installer was started when the launcher passed its exit code on.
[ -z "$timed_out" ] && [ "$installer_started" != none ] && [ "$code" = "$installer_code" ]
