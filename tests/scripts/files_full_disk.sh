#!/usr/bin/env bash
# A full disk during a staged write: the write fails, the destination keeps its old content and no
# "rvn" temporary file is left behind. The disk is a 2 MiB tmpfs; the process under test finds it
# as its temporary directory through the Windows environment that its Windows parent (runwin)
# gives it, as Wine takes TEMP and TMP from there and not from the Linux environment.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

for exe in runwin.exe files_child.exe; do
  [[ -f "$tests/$exe" ]] || { echo "FAIL: $tests/$exe is not built"; exit 1; }
done

make_scratch "files full disk"
mount_tmpfs "$scratch/disk" 2m
temp="$scratch/disk/Temp Jérôme Αθήνα 東京"
mkdir "$temp"

# Stages SIZE bytes into NAME in the child's temporary directory; sets `output` and `code`.
stage() {
  run --env FILES_CHILD_MODE=stage "$tests/files_child.exe" "$1" "$2"
  output=$(cat "$scratch/stdout" "$scratch/stderr")
}

leftovers() { find "$temp" -mindepth 1 -not -name package.msi -printf '%f\n'; }

# Room enough: the destination is replaced, which also shows that the child wrote to the tmpfs.
printf 'old package' >"$temp/package.msi"
stage package.msi 1048576
check "1 MiB write: exit code '$code'; output: $output" is "$code" 0
check "the child wrote into the tmpfs: $output" contains "$output" "destination: $(windows_path "$temp/package.msi")"
check "1 MiB write: destination replaced" is "$(stat -c %s "$temp/package.msi")" 1048576
check "1 MiB write left: $(leftovers)" test -z "$(leftovers)"

# No room: WriteFile stops part-way, the write must fail and nothing may change.
printf 'old package' >"$temp/package.msi"
stage package.msi 3145728
check "3 MiB write: exit code '$code' (1 expected); output: $output" is "$code" 1
check "3 MiB write: a disk-full error in: $output" matches "$output" 'WriteFile\(.*System error \[112\]'
check "3 MiB write: the destination is unchanged" is "$(cat "$temp/package.msi")" "old package"
check "3 MiB write left: $(leftovers)" test -z "$(leftovers)"

finish
