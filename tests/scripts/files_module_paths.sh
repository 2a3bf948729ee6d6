#!/usr/bin/env bash
# An executable in a directory deeper than MAX_PATH, named with spaces, accents, Greek and CJK,
# reports its own path: the process and current module paths come back whole.
# (Started from the Linux side: Wine's CreateProcessW cannot start a program from such a path.)
set -euo pipefail
source "$(dirname "$0")/lib.sh"

make_scratch "files module paths"

name='Jérôme Αθήνα 東京 0123456789'  # 27 UTF-16 units
deep="$scratch/long"
for _ in $(seq 12); do
  deep="$deep/$name"
done
mkdir -p "$deep"
cp "$tests/files_child.exe" "$deep/"
expected="$(windows_path "$deep/files_child.exe")"

units=$(printf '%s' "$expected" | iconv -f UTF-8 -t UTF-16LE | wc -c)
units=$((units / 2))
check "the test path is deeper than MAX_PATH: $units UTF-16 units" test "$units" -gt 260

status=0
output=$(cd "$deep" && FILES_CHILD_MODE=modules FILES_CHILD_OUTPUT="$(windows_path "$scratch/report.txt")" \
  "$wine" ./files_child.exe 2>&1) || status=$?
check "files_child exits 0: $output" is "$status" 0
expect_eq "module paths" "$(printf '%s\n%s' "$expected" "$expected")" \
  "$(iconv -f UTF-16LE -t UTF-8 "$scratch/report.txt" 2>&1)"
finish
