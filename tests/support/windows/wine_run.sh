#!/usr/bin/env bash
# Runs one Windows test program under Wine for CTest: wine_run.sh WINE PROGRAM ARGS...
#
# Under a loaded suite, Wine now and then ends a program with status 1 before
# its first instruction runs: not a byte written, no test run, where a test
# program always writes its banner first. Such a start is tried again, twice
# at most, and said on stderr. Output passes through as it comes, so a run
# that wrote anything stands as it is.
wine=$1
shift
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  "$wine" "$@" | tee "$out"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 1 ] || [ -s "$out" ] || [ "$attempt" -eq 3 ]; then
    break
  fi
  echo "wine_run.sh: Wine ended ${1##*/} with status 1 before it wrote anything; starting it again" >&2
done
exit "$status"
