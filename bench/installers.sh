#!/usr/bin/env bash
# How long a user waits for a setup program, ours beside a solid-archive one: each payload made
# into our three release layouts (a plain folder, a sealed folder, a single file) and into two
# such installers (solid zlib and solid lzma), every one unpacking, running an Installer.exe that
# exits at once, waiting for it and removing what it unpacked. Timed under Wine with the prefix,
# the setup programs and the temporary directory in memory (/dev/shm), the variants alternating
# within each round, medians of the rounds, ratios to the zlib installer.
# usage: bench/installers.sh [--quick] [--runs N]     (5 rounds; --quick: 1)
# Writes the tables to build/bench/installers.md and every time to build/bench/installers.tsv.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

usage() { echo "usage: bench/installers.sh [--quick] [--runs N]"; }
runs=5
while [ $# -gt 0 ]; do
  case $1 in
    --quick) runs=1 ;;
    --runs)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      runs=$2
      shift
      ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
[[ $runs =~ ^[1-9][0-9]?$ ]] || { echo "installers.sh: --runs takes 1 to 99" >&2; exit 2; }

bash scripts/setup.sh
if ! command -v makensis >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installers.sh: installing nsis" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends nsis >/dev/null
fi
# The launcher and the stand-ins for Windows; the packer natively, as publishers on Linux run it.
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target setup bench_installer bench_stopwatch >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target setuppack >/dev/null
stub="$root/build/win32/src/setup.exe"
installer="$root/build/win32/bench/Installer.exe"
stopwatch="$root/build/win32/bench/stopwatch.exe"
pack="$root/build/release/src/setuppack"

out="$root/build/bench"
mkdir -p "$out"
memory=/dev/shm
[ -d "$memory" ] && [ -w "$memory" ] || memory=${TMPDIR:-/tmp}
work=$(mktemp -d "$memory/setup-bench.XXXXXX")
export WINE_SCRIPT_PREFIX="$work/prefix"
source tests/wine/lib.sh
set -e
at_exit 'rm -rf "$work"'
begun=$(date +%s)
note() { echo "installers.sh: $(($(date +%s) - begun)) s: $*" >&2; }

# The payloads. Files every set-up machine has, chosen by sorted name so that one machine
# always gets the same: Wine's PE DLLs of up to 200 kB, both architectures, until 48 MB, and
# then text files of up to 40 kB spread evenly over the sorted list, as many as make 2,850 files
# with Installer.exe. Only plain ASCII names, and short ones, so that every path fits MAX_PATH;
# of names that differ only in letter case, which Windows holds as one, the first.
note "making the payloads in $work"
payloads="$work/payloads"
files="$payloads/files"
mkdir -p "$files/dll" "$files/text"
plain_names() { grep -E '^[A-Za-z0-9._/+-]{1,90}$' | LC_ALL=C sort | awk '!seen[tolower($0)]++'; }
used=0
for arch in i386 x86_64; do
  dir=/usr/lib/$arch-linux-gnu/wine/$arch-windows
  [ -d "$dir" ] || { echo "installers.sh: $dir is missing (run scripts/setup.sh)" >&2; exit 1; }
  (cd "$dir" && find . -maxdepth 1 -type f -name '*.dll' -size -200k -printf '%P\n' | plain_names) |
    while IFS= read -r name; do printf '%s %s\n' "$(stat -c %s "$dir/$name")" "$name"; done >"$work/$arch.list"
done
# Alternately from each architecture, until the budget is spent.
paste -d '\n' "$work/i386.list" "$work/x86_64.list" | awk -v budget=48000000 '
  NF == 0 { next }
  { arch = (NR % 2) ? "i386" : "x86_64" }
  used + $1 <= budget { used += $1; print arch "\t" $2 }' >"$work/dll.pick"
for arch in i386 x86_64; do
  awk -F '\t' -v arch=$arch '$1 == arch { print $2 }' "$work/dll.pick" >"$work/$arch.pick"
  tar -C "/usr/lib/$arch-linux-gnu/wine/$arch-windows" -cf - -T "$work/$arch.pick" |
    tar -C "$files/dll" --one-top-level=$arch -xf -
done
dll_count=$(wc -l <"$work/dll.pick")
text_count=$((2850 - 1 - dll_count))
(cd /usr && find share/doc share/perl share/perl5 share/vim lib/python3* -type f \
  \( -name '*.txt' -o -name '*.py' -o -name '*.pm' -o -name '*.html' -o -name 'copyright' \
  -o -name '*.vim' -o -name '*.md' \) -size -40k 2>/dev/null | plain_names) >"$work/text.all" || true
awk -v want=$text_count '{ name[NR] = $0 } END {
    if (NR < want) exit 1
    for (i = 0; i < want; i++) print name[int(i * NR / want) + 1] }' "$work/text.all" >"$work/text.pick" ||
  { echo "installers.sh: fewer than $text_count text files under /usr" >&2; exit 1; }
tar -C /usr -cf - -T "$work/text.pick" | tar -C "$files/text" -xf -
cp "$installer" "$files/Installer.exe"
# The same bytes, a mix of both, as one 64 MB file and as four of 16 MB.
tar -C "$files" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf "$work/files.tar" .
[ "$(stat -c %s "$work/files.tar")" -ge 64000000 ] || { echo "installers.sh: the payload is under 64 MB" >&2; exit 1; }
mkdir -p "$payloads/one" "$payloads/four"
head -c 64000000 "$work/files.tar" >"$payloads/one/data.bin"
(cd "$payloads/four" && split -b 16000000 -d -a 1 --additional-suffix=.bin ../one/data.bin data)
rm "$work/files.tar"
cp "$installer" "$payloads/one/Installer.exe"
cp "$installer" "$payloads/four/Installer.exe"
file_count=$(find "$files" -type f | wc -l)
megabytes() { awk -v b="$(du -sb "$1" | cut -f1)" 'BEGIN { printf "%.0f", b / 1e6 }'; }
shapes=(files one four)
declare -A shape_name=(
  [files]="$(echo "$file_count" | sed -E ':a; s/([0-9])([0-9]{3})($|,)/\1,\2\3/; ta') files, $(megabytes "$files/dll") MB DLLs + $(megabytes "$files/text") MB text"
  [one]="one 64 MB file + installer"
  [four]="four 16 MB files + installer")
variants=(plain sealed single nsis-zlib nsis-lzma)
declare -A variant_name=([plain]="plain folder" [sealed]="sealed folder" [single]="single file"
  [nsis-zlib]="NSIS solid zlib" [nsis-lzma]="NSIS solid lzma")

# Each variant of each payload in a folder of its own, started as setup.exe from there. The
# NSIS installers take longest to make (lzma): they are made two at a time beside our packing,
# and kept in build/bench/nsis/ for the next run, keyed by the payload's bytes, the script and
# makensis's version, since only our side changes between runs.
note "packing"
cache="$out/nsis"
mkdir -p "$cache"
nsis_jobs=()
for shape in "${shapes[@]}"; do
  key=$({ makensis -VERSION; cat bench/installers.nsi; cd "$payloads/$shape" &&
    find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum; } | sha256sum | cut -c1-16)
  for compressor in zlib lzma; do
    mkdir -p "$work/$shape/nsis-$compressor"
    cached="$cache/$shape-$compressor.$key.exe"
    if [ ! -f "$cached" ]; then
      rm -f "$cache/$shape-$compressor".*
      nsis_jobs+=("$payloads/$shape" "$compressor" "$cached")
    fi
  done
done
if [ ${#nsis_jobs[@]} -gt 0 ]; then
  # Each made under a temporary name, so that a stopped run leaves no half-made installer.
  printf '%s\0' "${nsis_jobs[@]}" | xargs -0 -n 3 -P 2 sh -c \
    'makensis -V1 -DPAYLOAD="$1" -DCOMPRESSOR="$2" -DOUTFILE="$3.part" bench/installers.nsi >&2 &&
     mv "$3.part" "$3"' makensis &
  nsis_pid=$!
fi
for shape in "${shapes[@]}"; do
  source_dir="$payloads/$shape"
  at="$work/$shape"
  mkdir -p "$at/plain" "$at/single"
  "$pack" create --quiet "$source_dir" -o "$at/plain/Pack.qvd"
  cp "$stub" "$at/plain/setup.exe"
  "$pack" bundle --quiet "$source_dir" --stub "$stub" -o "$at/sealed"
  "$pack" bundle --quiet --single-file "$source_dir" --stub "$stub" -o "$at/single/setup.exe"
done
if [ -n "${nsis_pid:-}" ]; then
  wait "$nsis_pid" || { echo "installers.sh: makensis failed" >&2; exit 1; }
fi
for shape in "${shapes[@]}"; do
  for compressor in zlib lzma; do
    cp "$cache/$shape-$compressor".*.exe "$work/$shape/nsis-$compressor/setup.exe"
  done
done

# The prefix, its temporary directory, and a Wine server kept alive between the rounds, so that
# no round pays for starting it. The stopwatch runs inside Wine and times each setup.exe from
# its start to its end; Wine's own start-up, which Windows users do not have, is left out.
note "making the Wine prefix"
temp="$work/temp"
mkdir -p "$temp"
use_temp_dir "$temp"
wineserver -p
at_exit 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null || true'

raw="$out/installers.tsv"
: >"$raw"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started_at=$(date +%s)
# Round 0 warms up (Wine's DLLs, the page cache) and is not counted. Each round starts the
# variants in a rotated order, so that none always follows the same one.
for round in $(seq 0 "$runs"); do
  programs=()
  labels=()
  for shape in "${shapes[@]}"; do
    for k in "${!variants[@]}"; do
      variant=${variants[$(((k + round) % ${#variants[@]}))]}
      programs+=("$(windows_path "$work/$shape/$variant/setup.exe")")
      labels+=("$shape $variant")
    done
  done
  rm -rf "${temp:?}"/*
  mapfile -t lines < <(wine_run "$stopwatch" "${programs[@]}")
  [ ${#lines[@]} -eq ${#programs[@]} ] || { echo "installers.sh: the stopwatch stopped early in round $round" >&2; exit 1; }
  for i in "${!lines[@]}"; do
    read -r seconds code ran left <<<"${lines[i]//$'\r'/}"
    read -r shape variant <<<"${labels[i]}"
    if [ "$code" != 0 ] || [ "$ran" != 1 ] || [ "$left" != 0 ]; then
      echo "installers.sh: $shape/$variant: exit code $code, installer started: $ran, left in TEMP: $left" >&2
      exit 1
    fi
    [ "$round" -eq 0 ] ||
      printf '%s\t%s\t%s\t%s\n' "${shape_name[$shape]}" "${variant_name[$variant]}" "$round" "$seconds" >>"$raw"
  done
  if [ "$round" -eq 0 ]; then note "warmed up; $runs timed rounds"; else note "round $round of $runs done"; fi
done
elapsed=$(($(date +%s) - started_at))

table="$out/installers.md"
{
  echo "Setup programs under Wine $(wine --version | sed 's/^wine-//'), makensis $(makensis -VERSION), \
$(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), everything in $memory; \
medians of $runs rounds, each variant once a round in rotated order, after a warm-up round; \
load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after, $elapsed s of rounds."
  echo "Time from the start of setup.exe until the installer has run and the unpacked files are"
  echo "removed, as a ratio to the NSIS solid zlib installer of the same payload:"
  echo
  columns=$(for variant in "${variants[@]}"; do printf '%s;' "${variant_name[$variant]}"; done)
  awk -v baseline="${variant_name[nsis-zlib]}" -v columns="${columns%;}" -f bench/installers_table.awk "$raw"
  echo
  echo "What is shipped, in MB (a plain or sealed folder: setup.exe and Pack.qvd):"
  echo
  line="| payload"
  rule="| ---"
  for variant in "${variants[@]}"; do line+=" | ${variant_name[$variant]}"; rule+=" | ---:"; done
  echo "$line |"
  echo "$rule |"
  for shape in "${shapes[@]}"; do
    line="| ${shape_name[$shape]}"
    for variant in "${variants[@]}"; do
      line+=" | $(awk -v b="$(du -sb "$work/$shape/$variant" | cut -f1)" 'BEGIN { printf "%.1f", b / 1e6 }')"
    done
    echo "$line |"
  done
} >"$table"
cat "$table"
