#!/usr/bin/env bash
# An executable in a directory deeper than MAX_PATH, named with spaces, accents, Greek and CJK,
# reports its own path: the process and current module paths come back whole.
# (Started from the Linux side: Wine's CreateProcessW cannot start a program from such a path.)
set -euo pipefail

child="$LODESTAR_BUILD_DIR/tests/files_child.exe"
work=$(mktemp -d "$LODESTAR_BUILD_DIR/files module paths.XXXXXX")
trap 'rm -rf "$work"' EXIT

name='Jérôme Αθήνα 東京 0123456789'  # 27 UTF-16 units
deep="$work/long"
for _ in $(seq 12); do
  deep="$deep/$name"
done
mkdir -p "$deep"
cp "$child" "$deep/"

# Wine's Z: drive is the Linux root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
expected="$(windows_path "$deep/files_child.exe")"

status=0
output=$(cd "$deep" && FILES_CHILD_MODE=modules FILES_CHILD_OUTPUT="$(windows_path "$work/report.txt")" \
  "$LODESTAR_WINE_RUN" ./files_child.exe 2>&1) || status=$?
if [[ $status -ne 0 ]]; then
  echo "FAIL: files_child exited with $status: $output"
  exit 1
fi

report=$(iconv -f UTF-16LE -t UTF-8 "$work/report.txt")
expected_report=$(printf '%s\n%s' "$expected" "$expected")
if [[ "$report" != "$expected_report" ]]; then
  echo "FAIL: module paths differ"
  echo "expected: $expected_report"
  echo "actual:   $report"
  exit 1
fi
units=$(printf '%s' "$expected" | iconv -f UTF-8 -t UTF-16LE | wc -c)
units=$((units / 2))
if [[ $units -le 260 ]]; then
  echo "FAIL: the test path has only $units units"
  exit 1
fi
echo "PASS: module path of $units UTF-16 units reported whole"
