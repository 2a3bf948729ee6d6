#!/usr/bin/env bash
# The readers of what a launcher carries do work in step with their input: for each record, the
# instructions its reader executes (counted by callgrind inside that reader only, the same count
# on every run) for an input twice as large are at most twice as many.
#   parse_work.sh PARSE_WORK
set -euo pipefail
parse_work=$1
failures=0

# instructions KIND SIZE FUNCTION: what FUNCTION executed for parse_work KIND SIZE.
instructions() {
  local log
  log=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "--toggle-collect=$3" \
    "$parse_work" "$1" "$2" 2>&1) || { echo "parse_work $1 $2 failed: $log" >&2; return 1; }
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' <<<"$log"
}

# KIND SIZE FUNCTION
cases=(
  "facts 4000 facts::parseFacts*"
  "name 8000 payload::indexNameProblem*"
  "entries 4000 payload::indexNameProblem*"
  "carried 4000 LauncherContents::digests*"
)
for case in "${cases[@]}"; do
  read -r kind size function <<<"$case"
  once=$(instructions "$kind" "$size" "$function")
  twice=$(instructions "$kind" $((size * 2)) "$function")
  if [[ -z "$once" || "$once" -eq 0 || -z "$twice" || "$twice" -gt $((once * 2)) ]]; then
    echo "FAIL $kind: expected at most $((once * 2)) instructions for $((size * 2)), got $twice ($once for $size)" >&2
    failures=$((failures + 1))
  else
    echo "ok $kind: $once instructions for $size, $twice for $((size * 2))"
  fi
done
exit "$failures"
