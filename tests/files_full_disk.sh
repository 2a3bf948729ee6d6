#!/usr/bin/env bash
# A full disk during a staged write: the write fails, the destination keeps its old content and no
# "rvn" temporary file is left behind. The disk is a 2 MiB tmpfs; the process under test finds it
# as its temporary directory through the Windows environment that its Windows parent (runwin)
# gives it, as Wine takes TEMP and TMP from there and not from the Linux environment.
set -euo pipefail
export LC_ALL=C.UTF-8
readonly SKIP=77

tests="$LODESTAR_BUILD_DIR/tests"
for exe in runwin.exe files_child.exe; do
  [[ -f "$tests/$exe" ]] || { echo "FAIL: $tests/$exe is not built"; exit 1; }
done

disk=$(mktemp -d "$LODESTAR_BUILD_DIR/files full disk.XXXXXX")
cleanup() {
  if mountpoint -q "$disk"; then
    umount "$disk"
  fi
  rmdir "$disk"
}
trap cleanup EXIT
if ! error=$(mount -t tmpfs -o size=2m tmpfs "$disk" 2>&1); then
  echo "SKIP: cannot mount a 2 MiB tmpfs (root and permission to mount are needed): $error"
  exit $SKIP
fi

temp="$disk/Temp Jérôme Αθήνα 東京"
mkdir "$temp"
# Wine's Z: drive is the Linux root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Stages SIZE bytes into NAME in the child's temporary directory; sets `output` and `exit_code`.
stage() {
  output=$("$LODESTAR_WINE_RUN" "$tests/runwin.exe" \
             --env "TEMP=$(windows_path "$temp")" --env "TMP=$(windows_path "$temp")" \
             --env FILES_CHILD_MODE=stage \
             -- "$(windows_path "$tests/files_child.exe")" "$1" "$2" 2>&1) || true
  exit_code=$(printf '%s\n' "$output" | tr -d '\r' | sed -n 's/^exit code: //p' | tail -n 1)
}

leftovers() { find "$temp" -mindepth 1 -not -name package.msi -printf '%f\n'; }

# Room enough: the destination is replaced, which also shows that the child wrote to the tmpfs.
printf 'old package' >"$temp/package.msi"
stage package.msi 1048576
[[ "$exit_code" == 0 ]] || fail "1 MiB write: exit code '$exit_code'; output: $output"
[[ "$output" == *"destination: $(windows_path "$temp/package.msi")"* ]] ||
  fail "the child did not write into the tmpfs: $output"
[[ $(stat -c %s "$temp/package.msi") == 1048576 ]] || fail "1 MiB write: destination not replaced"
[[ -z "$(leftovers)" ]] || fail "1 MiB write left: $(leftovers)"

# No room: WriteFile stops part-way, the write must fail and nothing may change.
printf 'old package' >"$temp/package.msi"
stage package.msi 3145728
[[ "$exit_code" == 1 ]] || fail "3 MiB write: exit code '$exit_code' (1 expected); output: $output"
[[ "$output" == *"WriteFile("*"System error [112]"* ]] || fail "3 MiB write: no disk-full error in: $output"
[[ "$(cat "$temp/package.msi")" == "old package" ]] || fail "3 MiB write changed the destination"
[[ -z "$(leftovers)" ]] || fail "3 MiB write left: $(leftovers)"

if [[ $failures -ne 0 ]]; then
  exit 1
fi
echo "PASS: a staged write onto a full disk fails and leaves the destination and the directory as they were"
