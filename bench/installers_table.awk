# Makes the tables of bench/installers.sh from its raw times, one run a line, tab-separated:
#   PAYLOAD <tab> VARIANT <tab> ROUND <tab> SECONDS
# Rows are the payloads and columns the variants, each in the order it first appears, except
# that -v columns="A;B;..." puts the variants it names first, in its order. The first
# table holds each variant's median over its runs divided by the median of the variant named by
# -v baseline=NAME on the same payload (so the baseline's column reads 1.00): ratios only mean
# something within one run of the benchmark. The second holds the medians in seconds and the
# number of runs. The median of an even number of runs is the mean of the middle two. A cell
# without runs reads "-"; a payload without the baseline gets "n/a" ratios, and the exit code
# is then 1.
BEGIN {
  FS = "\t"
  named = split(columns, fixed, ";")
  for (v = 1; v <= named; v++) { variantSeen[fixed[v]] = 1; variants[++variantCount] = fixed[v] }
}
NF >= 4 && $4 ~ /^[0-9]+(\.[0-9]+)?$/ {
  if (!($1 in payloadSeen)) { payloadSeen[$1] = 1; payloads[++payloadCount] = $1 }
  if (!($2 in variantSeen)) { variantSeen[$2] = 1; variants[++variantCount] = $2 }
  cell = $1 SUBSEP $2
  times[cell, ++runs[cell]] = $4 + 0
  next
}
NF > 0 { printf "installers_table: line %d is not PAYLOAD, VARIANT, ROUND, SECONDS\n", NR > "/dev/stderr"; bad = 1 }

function median(cell,    n, i, j, t, sorted) {
  n = runs[cell]
  for (i = 1; i <= n; i++) sorted[i] = times[cell, i]
  for (i = 2; i <= n; i++) {  # insertion sort: a handful of runs
    t = sorted[i]
    for (j = i - 1; j >= 1 && sorted[j] > t; j--) sorted[j + 1] = sorted[j]
    sorted[j + 1] = t
  }
  return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}
function header(first,    v, line, rule) {
  line = "| " first
  rule = "| ---"
  for (v = 1; v <= variantCount; v++) { line = line " | " variants[v]; rule = rule " | ---:" }
  print line " |"
  print rule " |"
}

END {
  if (payloadCount == 0) { print "installers_table: no times" > "/dev/stderr"; exit 1 }
  header("payload")
  for (p = 1; p <= payloadCount; p++) {
    base = payloads[p] SUBSEP baseline
    line = "| " payloads[p]
    noBase = !(base in runs) || median(base) <= 0
    if (noBase) {
      printf "installers_table: no time of %s for %s\n", baseline, payloads[p] > "/dev/stderr"
      missing = 1
    }
    for (v = 1; v <= variantCount; v++) {
      cell = payloads[p] SUBSEP variants[v]
      if (!(cell in runs)) line = line " | -"
      else if (noBase) line = line " | n/a"
      else line = line " | " sprintf("%.2f", median(cell) / median(base))
    }
    print line " |"
  }
  print ""
  header("median seconds (runs)")
  for (p = 1; p <= payloadCount; p++) {
    line = "| " payloads[p]
    for (v = 1; v <= variantCount; v++) {
      cell = payloads[p] SUBSEP variants[v]
      line = line " | " (cell in runs ? sprintf("%.3f (%d)", median(cell), runs[cell]) : "-")
    }
    print line " |"
  }
  exit (missing || bad) ? 1 : 0
}
