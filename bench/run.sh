#!/usr/bin/env bash
# Compression ratio and throughput of setuppack beside the usual tools, measured side by side
# in one run on the same corpus, medians of several runs.
# usage: bench/run.sh [RUNS] [CORPUS_MEGABYTES]     (defaults 5 and 120)
# Writes the table to build/bench/results.md as well as to standard output.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
runs=${1:-5}
megabytes=${2:-120}
root=$(pwd)
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
pack="$root/build/release/src/setuppack"

work="$root/build/bench"
mkdir -p "$work"
if [ ! -f "$work/corpus.stamp" ] || [ "$(cat "$work/corpus.stamp")" != "$megabytes" ]; then
  echo "building the corpus ($megabytes MB)..." >&2
  bash bench/corpus.sh "$work/corpus" "$megabytes" >&2
  (cd "$work" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf corpus.tar corpus)
  echo "$megabytes" >"$work/corpus.stamp"
fi
input="$work/corpus.tar"
bytes=$(stat -c %s "$input")

# median_seconds COMMAND...: runs it $runs times, prints the median wall time in seconds.
median_seconds() {
  local times=() start end
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    times+=($((end - start)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.4f\n", t[int((NR + 1) / 2)] / 1e9 }'
}

# rate SECONDS [BYTES]: megabytes of original data per second.
rate() { awk -v b="${2:-$bytes}" -v s="$1" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }

results="$work/results.md"
{
  echo "Corpus: $(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1e6 }') MB ($(du -sb "$work/corpus"/dll | cut -f1) bytes of Windows DLLs, the rest text and images), medians of $runs runs, $(nproc) cores."
  echo
  echo "| tool | ratio | compress MB/s | decompress MB/s |"
  echo "| --- | ---: | ---: | ---: |"
} | tee "$results"

# row NAME COMPRESSED_FILE "COMPRESS COMMAND" "DECOMPRESS COMMAND"
row() {
  local name=$1 packed=$2 compress=$3 decompress=$4
  local c d
  c=$(median_seconds bash -c "$compress")
  d=$(median_seconds bash -c "$decompress")
  local size
  size=$(stat -c %s "$packed")
  printf '| %s | %.3f | %s | %s |\n' "$name" "$(awk -v a="$size" -v b="$bytes" 'BEGIN { print a / b }')" \
    "$(rate "$c")" "$(rate "$d")" | tee -a "$results"
}

o="$work/out"
row "setuppack (default parse)" "$o.q" "'$pack' compress '$input' '$o.q'" "'$pack' decompress '$o.q' '$o.q.back'"
cmp -s "$o.q.back" "$input" || { echo "setuppack round trip differs" >&2; exit 1; }
row "setuppack --fast (greedy)" "$o.qf" "'$pack' compress --fast '$input' '$o.qf'" "'$pack' decompress '$o.qf' '$o.qf.back'"
row "gzip -6" "$o.gz" "gzip -6 -c '$input' > '$o.gz'" "gzip -d -c '$o.gz' > '$o.gz.back'"
row "gzip -9" "$o.gz9" "gzip -9 -c '$input' > '$o.gz9'" "gzip -d -c '$o.gz9' > '$o.gz9.back'"
row "xz -6" "$o.xz" "xz -6 -T1 -c '$input' > '$o.xz'" "xz -d -T1 -c '$o.xz' > '$o.xz.back'"
row "zstd -19" "$o.zst" "zstd -19 -q -f '$input' -o '$o.zst'" "zstd -d -q -f '$o.zst' -o '$o.zst.back'"
row "compress (LZW)" "$o.Z" "compress -c '$input' > '$o.Z'" "compress -d -c '$o.Z' > '$o.Z.back'"

# The whole package, as publishers make it and the launcher unpacks it: compression on all
# cores, and unpacking with the launcher's own staging, decoding and clean-up.
rm -f "$o.pack.qvd"
c=$(median_seconds "$pack" create --quiet "$work/corpus" -o "$o.pack.qvd")
d=$(median_seconds bash -c "rm -rf '$o.tree' && '$pack' extract --quiet '$o.pack.qvd' '$o.tree'")
size=$(stat -c %s "$o.pack.qvd")
tree=$(du -sb "$work/corpus" | cut -f1)
printf '| setuppack create / extract (package, %s cores) | %.3f | %s | %s |\n' "$(nproc)" \
  "$(awk -v a="$size" -v b="$tree" 'BEGIN { print a / b }')" "$(rate "$c" "$tree")" "$(rate "$d" "$tree")" | tee -a "$results"
diff -r "$work/corpus" "$o.tree" >/dev/null || { echo "extracted tree differs" >&2; exit 1; }
rm -rf "$o".*.back "$o.tree"

# What each part of the corpus contributes, with the default parse and gzip -6 for scale.
{
  echo
  echo "| part of the corpus | MB | setuppack ratio | gzip -6 ratio |"
  echo "| --- | ---: | ---: | ---: |"
} | tee -a "$results"
part_row() {
  local name=$1
  shift
  local part="$work/part.tar"
  (cd "$work" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf part.tar "$@")
  local size ours gz
  size=$(stat -c %s "$part")
  "$pack" compress "$part" "$part.q"
  ours=$(stat -c %s "$part.q")
  gz=$(gzip -6 -c "$part" | wc -c)
  printf '| %s | %.1f | %.3f | %.3f |\n' "$name" "$(awk -v b="$size" 'BEGIN { print b / 1e6 }')" \
    "$(awk -v a="$ours" -v b="$size" 'BEGIN { print a / b }')" "$(awk -v a="$gz" -v b="$size" 'BEGIN { print a / b }')" |
    tee -a "$results"
  rm -f "$part" "$part.q"
}
part_row "Windows DLLs" corpus/dll
part_row "text" corpus/text
part_row "images" corpus/image
part_row "DLLs and text, without the images" corpus/dll corpus/text

# Unpacking as the launcher does it beside decoding the same blobs alone, in the temporary
# directory the user has and in memory; then the stub's size if the Windows build is there.
probe="$root/build/release/bench/unpack_probe"
{
  echo
  echo "Unpacking the package (launcher's staging, decoding, removal) against decoding its blobs alone:"
  echo
  echo "- in ${TMPDIR:-/tmp}: $("$probe" "$o.pack.qvd" "$runs")"
  if [ -d /dev/shm ]; then echo "- in /dev/shm: $(TMPDIR=/dev/shm "$probe" "$o.pack.qvd" "$runs")"; fi
  stub="$root/build/win32/src/setup.exe"
  if [ -f "$stub" ]; then
    echo
    echo "setup.exe: $(stat -c %s "$stub") bytes; imports $(i686-w64-mingw32-objdump -p "$stub" 2>/dev/null |
      awk '/DLL Name:/ { printf "%s%s", sep, $3; sep = ", " }')"
  fi
} | tee -a "$results"
