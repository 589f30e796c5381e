#!/usr/bin/env bash
# Runs the tests of one CMake preset and shows what a person reads: each
# test as it starts and its result, each check's ok or FAILED line as it
# comes, the summary, and the whole output of a test that failed:
#   ctest-quiet.sh PRESET
set -o pipefail
[ $# -eq 1 ] || { echo "usage: ctest-quiet.sh PRESET" >&2; exit 2; }
ctest --preset "$1" -V 2>&1 | awk '
  match($0, /^[0-9]+: /) { n = substr($0, 1, RLENGTH - 2); out[n] = out[n] $0 "\n" }
  /^[0-9]+: (ok|FAILED)/ || /^ +Start +[0-9]+:/ || /tests passed|tests failed|The following tests/ ||
    /^\t *[0-9]+ - / { print; fflush() }
  match($0, /Test +#[0-9]+:/) {
    print; fflush()
    if ($0 !~ / Passed /) { n = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", n); printf "%s", out[n] }
  }'
