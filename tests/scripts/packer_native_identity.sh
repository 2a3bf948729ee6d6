#!/usr/bin/env bash
# The native lodestar-pack and lodestar-pack.exe under Wine write the same launcher, byte for
# byte, from the same inputs under the same output file name (the version block records it): the
# sample with an icon, the packages with files beside them, a cabinet whose name on disk differs
# in case from the Media table's, and a package whose ProductName lies outside the Basic
# Multilingual Plane. libmsi (native) and Wine's msi.dll (lodestar-pack.exe) read the package's
# tables; the facts each records and the version block show they read the same text.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
native=$LODESTAR_NATIVE_PACK
windows=$build/bin/lodestar-pack  # lodestar-pack.exe through its Wine wrapper

make_scratch "native identity"

# both NAME PACKAGE [OPTIONS...]: packs PACKAGE with each packer into native/NAME/setup.exe and
# windows/NAME/setup.exe below the scratch directory, and compares the two.
both() {
  local name=$1 package=$2 packer side
  shift 2
  for side in native windows; do
    packer=${!side}
    mkdir -p "$scratch/$side/$name"
    "$packer" "$package" -o "$scratch/$side/$name/setup.exe" "$@" >"$scratch/out" 2>"$scratch/err"
    check "$name: the $side packer exits 0" is "$?" 0
  done
  check "$name: both launchers are the same bytes" cmp "$scratch/native/$name/setup.exe" "$scratch/windows/$name/setup.exe"
}

# The ProductName --info --json reads from LAUNCHER's recorded facts.
recorded_name() {
  "$native" --info "$1" --json | "$python" -c 'import json, sys; print(json.load(sys.stdin)["productName"])'
}

# The ProductName value of LAUNCHER's version block, as windres shows it in a resource script.
version_block_name() {
  x86_64-w64-mingw32-windres -J coff -O rc -i "$1" | sed -n 's/^ *VALUE "ProductName", //p'
}

both sample "$packages/sample.msi" --icon "$source_dir/tests/data/sample.ico"
for name in cabinet cabinets loose shortnames; do
  cp -r "$packages/$name" "$scratch/$name"
  both "$name" "$scratch/$name/$name.msi"
done
expect_eq "the files beside the packages were carried" "1 2 2 2" \
  "$(for name in cabinet cabinets loose shortnames; do
    "$native" --info "$scratch/native/$name/setup.exe" --json |
      "$python" -c 'import json, sys; print(len(json.load(sys.stdin)["files"]), end=" ")'
  done | sed 's/ $//')"

# The Media table names cabinet.cab; the disk holds CABINET.CAB, which Windows finds for it.
cp -r "$packages/cabinet" "$scratch/upper"
mv "$scratch/upper/cabinet.cab" "$scratch/upper/CABINET.CAB"
both "cabinet in upper case" "$scratch/upper/cabinet.msi"
check "cabinet in upper case: carried under the Media table's name" \
  contains "$("$native" --info "$scratch/native/cabinet in upper case/setup.exe")" "Beside it       cabinet.cab, 160 bytes"

# ProductName with U+1D11E and U+1F600, which UTF-16 stores as surrogate pairs: the package's
# code page must be UTF-8 (65001) to hold them.
clef=$scratch/clef/clef.msi
name=$'Clef \U0001D11E \U0001F600'
mkdir -p "$scratch/clef"
cp "$packages/sample.msi" "$clef"
printf '\r\n\r\n65001\t_ForceCodepage\r\n' >"$scratch/clef/_ForceCodepage.idt"
check "clef: the code page becomes 65001" msibuild "$clef" -i "$scratch/clef/_ForceCodepage.idt"
check "clef: the name is set" msibuild "$clef" -q "UPDATE Property SET Value='$name' WHERE Property='ProductName'"
expect_eq "clef: msiinfo reads the name back" "ProductName	$name" \
  "$(msiinfo export "$clef" Property | tr -d '\r' | grep '^ProductName	')"
both clef "$clef"
expect_eq "clef: libmsi's reading, recorded by the native packer" "$name" "$(recorded_name "$scratch/native/clef/setup.exe")"
expect_eq "clef: Wine's msi.dll's reading, recorded by lodestar-pack.exe" "$name" \
  "$(recorded_name "$scratch/windows/clef/setup.exe")"
expect_eq "clef: the version block holds the surrogate pairs" 'L"Clef \xd834\xdd1e \xd83d\xde00"' \
  "$(version_block_name "$scratch/native/clef/setup.exe")"
expect_eq "the sample's version block, for comparison" '"Lodestar Sample"' \
  "$(version_block_name "$scratch/native/sample/setup.exe")"

finish
