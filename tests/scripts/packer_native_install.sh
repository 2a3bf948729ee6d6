#!/usr/bin/env bash
# Launchers the native lodestar-pack wrote, run under Wine with Windows Installer: the sample
# installs and its launcher removes it; a package whose two cabinets lie beside it in other case
# than its Media table names them (FIRST.CAB, SECOND É.CAB) installs from what the launcher
# carries under the table's names, and is removed. Nothing is left in the launcher's TEMP.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$LODESTAR_NATIVE_PACK

make_scratch "native install"
temp="$scratch/temp"
mkdir -p "$temp"
program_files="$prefix/drive_c/Program Files"

# install_and_remove WHAT LAUNCHER FOLDER FILE=SOURCE...: LAUNCHER installs every FILE (relative
# to FOLDER under Program Files) as a copy of SOURCE, and removes them all again.
install_and_remove() {
  local what=$1 launcher=$2 folder="$program_files/$3" entry
  shift 3
  run "$launcher" uninstall  # left by an earlier run that was stopped
  run "$launcher" /qn
  check "$what: installs (exit code 0)" is "$code" 0
  for entry in "$@"; do
    check "$what: ${entry%%=*} installed" cmp "$folder/${entry%%=*}" "${entry#*=}"
  done
  run "$launcher" uninstall
  check "$what: removes it (exit code 0)" is "$code" 0
  check "$what: its files are gone" test ! -e "$folder"
  check "$what: nothing left in TEMP" empty_dir "$temp"
}

"$pack" "$packages/sample.msi" -o "$scratch/sample-setup.exe" >"$scratch/stdout" 2>"$scratch/stderr"
check "sample: packed natively" is "$?" 0
install_and_remove sample "$scratch/sample-setup.exe" "Lodestar Sample" \
  "payload.txt=$source_dir/tests/packages/payload.txt"

cp -r "$packages/cabinets" "$scratch/cabinets"
mv "$scratch/cabinets/first.cab" "$scratch/cabinets/FIRST.CAB"
mv "$scratch/cabinets/second é.cab" "$scratch/cabinets/SECOND É.CAB"
"$pack" "$scratch/cabinets/cabinets.msi" -o "$scratch/cabinets-setup.exe" >"$scratch/stdout" 2>"$scratch/stderr"
check "cabinets in upper case: packed natively" is "$?" 0
check "cabinets in upper case: both carried" grep -qF "with 2 files beside it" "$scratch/stdout"
install_and_remove "cabinets in upper case" "$scratch/cabinets-setup.exe" "Lodestar Cabinets" \
  "payload.txt=$source_dir/tests/packages/payload.txt" "data/data.txt=$source_dir/tests/packages/data.txt"

finish
