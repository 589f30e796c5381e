#!/usr/bin/env bash
# Runs the tests of one CMake preset and shows what a person reads: each
# test as it starts and its result, each check's ok or FAILED line as it
# comes, the summary, and the whole output of a test that failed:
#   ctest-quiet.sh PRESET
set -o pipefail
[ $# -eq 1 ] || { echo "usage: ctest-quiet.sh PRESET" >&2; exit 2; }
declare -A out
ctest --preset "$1" -V 2>&1 | while IFS= read -r line; do
  [[ $line =~ ^([0-9]+):\  ]] && out[${BASH_REMATCH[1]}]+=$line$'\n'
  if [[ $line =~ Test\ +#([0-9]+): ]]; then
    echo "$line"
    [[ $line == *" Passed "* ]] || printf %s "${out[${BASH_REMATCH[1]}]}"
  elif [[ $line =~ ^[0-9]+:\ (ok|FAILED|.*: still ) || $line =~ ^\ +Start\ +[0-9]+: ||
    $line =~ tests\ (passed|failed)|The\ following\ tests|^$'\t'\ *[0-9]+\ -\  ]]; then
    echo "$line"
  fi
done
