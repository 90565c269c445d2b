#!/usr/bin/env bash
# The tables of bench/installers.sh: medians of odd and even numbers of runs in any order,
# ratios to the baseline per payload, the order of rows and columns, and what a missing cell
# or baseline gives.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# table BASELINE [COLUMNS] < RAW: the table maker's output in $work/out, its exit code in $status.
table() {
  awk -v baseline="$1" -v columns="${2:-}" -f "$root/bench/installers_table.awk" >"$work/out" 2>"$work/err"
  status=$?
}
# row TITLE: the ratio row of a payload (the first table), without the title.
row() { awk -v t="| $1 |" 'index($0, t) == 1 { print substr($0, length(t) + 1); exit }' "$work/out"; }
# seconds_row TITLE: the same payload's row in the second table.
seconds_row() {
  awk -v t="| $1 |" 'index($0, t) == 1 && ++n == 2 { print substr($0, length(t) + 1); exit }' "$work/out"
}
tab() { local IFS=$'\t'; printf '%s\n' "$*"; }

# Runs alternate between variants and arrive unsorted; names hold spaces and commas.
{
  tab "2,850 files" "plain folder" 1 3.0
  tab "2,850 files" "NSIS zlib" 1 2.0
  tab "2,850 files" "plain folder" 2 1.0
  tab "2,850 files" "NSIS zlib" 2 8.0
  tab "2,850 files" "plain folder" 3 2.0
  tab "2,850 files" "NSIS zlib" 3 4.0
  tab "one file" "NSIS zlib" 1 3.0
  tab "one file" "plain folder" 1 1.0
  tab "one file" "NSIS zlib" 2 1.0
  tab "one file" "plain folder" 2 10.0
  tab "one file" "plain folder" 3 3.0
  tab "one file" "plain folder" 4 2.0
} >"$work/raw"
table "NSIS zlib" <"$work/raw"
check "a full table is made" [ "$status" -eq 0 ]
check "columns in the order they first appear" \
  [ "$(head -1 "$work/out")" = "| payload | plain folder | NSIS zlib |" ]
check "numbers right-aligned" [ "$(sed -n 2p "$work/out")" = "| --- | ---: | ---: |" ]
# Medians 2 and 4 (odd runs); 2.5 (even: mean of 2 and 3) and 2 (mean of 1 and 3).
check "ratio of medians, odd runs" [ "$(row "2,850 files")" = " 0.50 | 1.00 |" ]
check "ratio of medians, even runs" [ "$(row "one file")" = " 1.25 | 1.00 |" ]
check "medians in seconds with their run counts" \
  [ "$(seconds_row "one file")" = " 2.500 (4) | 2.000 (2) |" ]
check "payloads in the order they first appear" \
  [ "$(grep -n '^| 2,850 files' "$work/out" | head -1 | cut -d: -f1)" -lt \
    "$(grep -n '^| one file' "$work/out" | head -1 | cut -d: -f1)" ]

# Rounding to two places, and a variant that one payload lacks.
{
  tab "small" "zlib" 1 3
  tab "small" "ours" 1 2
  tab "small" "lzma" 1 4.004
  tab "big" "zlib" 1 0.3
  tab "big" "ours" 1 0.2
} >"$work/raw"
table zlib <"$work/raw"
check "rounded ratios" [ "$(row small)" = " 1.00 | 0.67 | 1.33 |" ]
check "a cell without runs" [ "$(row big)" = " 1.00 | 0.67 | - |" ]
check "its seconds" [ "$(seconds_row big)" = " 0.300 (1) | 0.200 (1) | - |" ]

# A fixed column order: the named variants first, even one without runs, then the others.
{
  tab "p" "lzma" 1 4
  tab "p" "extra" 1 1
  tab "p" "zlib" 1 2
} >"$work/raw"
table zlib "zlib;ours;lzma" <"$work/raw"
check "named columns first, in their order" \
  [ "$(head -1 "$work/out")" = "| payload | zlib | ours | lzma | extra |" ]
check "their cells follow them" [ "$(row p)" = " 1.00 | - | 2.00 | 0.50 |" ]

# A payload without the baseline cannot be compared: said, and the exit code tells.
{
  tab "a" "zlib" 1 2
  tab "a" "ours" 1 1
  tab "b" "ours" 1 1
} >"$work/raw"
table zlib <"$work/raw"
check "no baseline: exit code 1" [ "$status" -eq 1 ]
check "no baseline: n/a" [ "$(row b)" = " - | n/a |" ]
check "no baseline: the other payload still compared" [ "$(row a)" = " 1.00 | 0.50 |" ]
check "no baseline: named" grep -q 'no time of zlib for b' "$work/err"

# Lines that are not times are refused, not counted.
{
  tab "a" "zlib" 1 2
  tab "a" "zlib" 2 failed
} >"$work/raw"
table zlib <"$work/raw"
check "a malformed line: exit code 1" [ "$status" -eq 1 ]
check "a malformed line is not a run" [ "$(seconds_row a)" = " 2.000 (1) |" ]
table zlib </dev/null
check "no times at all: exit code 1" [ "$status" -eq 1 ]

finish
