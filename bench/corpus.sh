#!/usr/bin/env bash
# Builds the payload corpus for the benchmarks from files every set-up machine has: about three
# quarters Windows DLLs (those the Wine packages install), the rest text and images from /usr.
# usage: corpus.sh OUT_DIR [MEGABYTES]   (default 120)
# No pipefail: `take` stops reading once its budget is spent, by design.
set -eu
out=$1
total=$((${2:-120} * 1000 * 1000))
rm -rf "$out"
mkdir -p "$out/dll" "$out/text" "$out/image"

# take BUDGET DIR: copies the files named on stdin, in order, until BUDGET bytes are in DIR.
take() {
  local budget=$1 dir=$2 used=0 size
  while IFS= read -r file; do
    size=$(stat -c %s "$file")
    [ $((used + size)) -le "$budget" ] || continue
    cp "$file" "$dir/$(echo "${file#/}" | tr '/' '_')"
    used=$((used + size))
    [ $((budget - used)) -gt 20000 ] || break
  done
}

# find over folders some machines lack: what is missing is simply not taken.
list() { find "$@" 2>/dev/null || true; }

dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$dlls" ] || { echo "corpus.sh: $dlls is missing (run scripts/setup.sh)" >&2; exit 1; }
# Every third DLL, so the sample spans the alphabet rather than its first letters.
list "$dlls" -name '*.dll' -size +4k | LC_ALL=C sort | awk 'NR % 3 == 1' | take $((total * 75 / 100)) "$out/dll"
list /usr/share/doc /usr/share/vim /usr/share/perl /usr/lib/python3* /usr/share/common-licenses \
  -type f \( -name '*.txt' -o -name '*.py' -o -name '*.pm' -o -name '*.html' -o -name 'copyright' \) \
  | LC_ALL=C sort | take $((total * 21 / 100)) "$out/text"
list /usr/share/icons /usr/share/pixmaps /usr/share/doc -type f \( -name '*.png' -o -name '*.svg' -o -name '*.jpg' \) \
  | LC_ALL=C sort | take $((total * 4 / 100)) "$out/image"
du -sb "$out"/* | sed "s|$out/||"
