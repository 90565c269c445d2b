# Assertions for the shell tests that count instead of stopping at the first failure:
# check "what" command... for each, finish at the end (prints the tally, fails if any failed).
passed=0
failed=0
check() {
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
# same_lines EXPECTED_FILE ACTUAL_FILE: equal, or the difference on standard error.
same_lines() { diff -u "$1" "$2" >&2; }
