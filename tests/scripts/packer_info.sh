#!/usr/bin/env bash
# lodestar-pack --info and --extract as deployment tools and users run them, through the Wine
# wrapper: the JSON is valid against packer/info.schema.json and says what the package and the
# files say when read on their own (msiinfo, sha256sum); the scope follows ALLUSERS and
# MSIINSTALLPERUSER; a launcher packed before facts and indexes gives what it holds and null for
# the rest; --extract writes byte-identical files under their own names, refuses to overwrite
# unless forced and writes nothing when it refuses; non-launchers and damaged launchers end with
# exit code 2 and name what does not match.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$build/bin/lodestar-pack

make_scratch "packer info"

size_of() { stat -c %s "$1"; }
listing() { (cd "$1" && find . -type f | sort); }

# info_json LAUNCHER NAME: --info --json of LAUNCHER into $scratch/NAME.json ($json).
info_json() {
  pack_run --info "$1" --json
  json=$scratch/$2.json
  cp "$scratch/out" "$json"
  json_load "$json"
}

# expect_file WHAT JSON PATH FILE [NAME]: the entry at PATH describes FILE (under NAME).
expect_file() {
  local what=$1 json=$2 path=$3 file=$4 name=${5-$(basename "$4")}
  expect_eq "$what: name" "$name" "$(json_field "$json" "$path.name")"
  expect_eq "$what: size" "$(size_of "$file")" "$(json_field "$json" "$path.size")"
  expect_eq "$what: SHA-256" "$(sha256_of "$file")" "$(json_field "$json" "$path.sha256")"
}

pack_run --version
packer_version=$(tr -d '\r' <"$scratch/out")
packer_version=${packer_version#lodestar-pack }

pack_run --help
check "--help shows --info" has out "lodestar-pack --info SETUP.exe [--json]"
check "--help shows --extract" has out "lodestar-pack --extract SETUP.exe -o DIR [--force]"
check "--help documents exit code 2 for launchers" has out "launcher, is cut short, or a file it carries does not match its index"

# ---------------------------------------------------------------------------------------------
# The facts of packages of every scope, against the package read on its own

# NAME|QUERIES (;-separated, run on a copy of sample.msi)|SCOPE|DUAL PURPOSE
cases=(
  "machine||machine|false"
  "dual-machine|UPDATE Property SET Value='2' WHERE Property='ALLUSERS'|machine|true"
  "dual-user|UPDATE Property SET Value='2' WHERE Property='ALLUSERS';INSERT INTO Property (Property, Value) VALUES ('MSIINSTALLPERUSER', '1')|user|true"
  "per-user|DELETE FROM Property WHERE Property='ALLUSERS'|user|false"
  "sparse|DELETE FROM Property WHERE Property='ALLUSERS';DELETE FROM Property WHERE Property='UpgradeCode';DELETE FROM Property WHERE Property='Manufacturer';DELETE FROM Property WHERE Property='ProductVersion'|user|false"
)
mkdir -p "$scratch/packages"
for entry in "${cases[@]}"; do
  IFS='|' read -r name queries scope dual <<<"$entry"
  package=$scratch/packages/$name.msi
  launcher=$scratch/$name-setup.exe
  cp "$packages/sample.msi" "$package"
  IFS=';' read -ra query_list <<<"$queries"
  for query in "${query_list[@]}"; do
    check "$name: msibuild $query" msibuild "$package" -q "$query"
  done
  pack_run "$package" -o "$launcher"
  check "$name: packed" is "$code" 0

  info_json "$launcher" "$name"
  check "$name: --info --json exits 0" is "$code" 0
  check "$name: the JSON is valid against info.schema.json" schema_valid "$json"
  expect_eq "$name: schemaVersion" 1 "$(json_field "$json" schemaVersion)"
  for field in ProductCode UpgradeCode ProductName ProductVersion Manufacturer; do
    expect_eq "$name: ${field,}" "$(property "$package" "$field")" "$(json_field "$json" "${field,}")"
  done
  expect_eq "$name: scope" "$scope" "$(json_field "$json" scope)"
  expect_eq "$name: dualPurpose" "$dual" "$(json_field "$json" dualPurpose)"
  expect_file "$name: launcher" "$json" launcher "$launcher"
  expect_file "$name: package" "$json" package "$package"
  expect_eq "$name: no files beside the package" "[]" "$(json_field "$json" files)"
  expect_eq "$name: packerVersion" "$packer_version" "$(json_field "$json" packerVersion)"
  expect_eq "$name: signed" false "$(json_field "$json" signed)"

  upgrade=$(property "$package" UpgradeCode)
  version=$(property "$package" ProductVersion)
  expect_eq "$name: winget InstallerSha256" "$(sha256_of "$launcher")" "$(json_field "$json" winget.InstallerSha256)"
  expect_eq "$name: winget ProductCode" "$(property "$package" ProductCode)" "$(json_field "$json" winget.ProductCode)"
  expect_eq "$name: winget UpgradeCode" "${upgrade/#null/(absent)}" \
    "$(json_field "$json" winget.AppsAndFeaturesEntries.0.UpgradeCode)"
  expect_eq "$name: winget Scope" "$scope" "$(json_field "$json" winget.Scope)"
  expect_eq "$name: intune productCode" "$(property "$package" ProductCode)" "$(json_field "$json" intune.productCode)"
  expect_eq "$name: intune productVersion" "$version" "$(json_field "$json" intune.productVersion)"
  expect_eq "$name: intune operator" "$([[ $version == null ]] && echo notConfigured || echo greaterThanOrEqual)" \
    "$(json_field "$json" intune.productVersionOperator)"
done

pack_run --info "$scratch/dual-user-setup.exe"
check "text: exit code 0" is "$code" 0
check "text: the product code" has out "ProductCode     $(property "$packages/sample.msi" ProductCode)"
check "text: a dual-purpose scope" has out "Scope           user (dual purpose: ALLUSERS=2, either scope can be chosen)"
check "text: the package" has out "Package         dual-user.msi, $(size_of "$scratch/packages/dual-user.msi") bytes, SHA-256 $(sha256_of "$scratch/packages/dual-user.msi")"
check "text: the packer" has out "Packed by       lodestar-pack $packer_version"
pack_run --info "$scratch/sparse-setup.exe"
check "text: what the package lacks is not recorded" has out "UpgradeCode     (not recorded)"

# ---------------------------------------------------------------------------------------------
# A launcher as lodestar-pack made them before facts and indexes: product code, version block,
# package

legacy=$tests/legacy-setup.exe
info_json "$legacy" legacy
check "legacy: --info --json exits 0" is "$code" 0
check "legacy: the JSON is valid against info.schema.json" schema_valid "$json"
for field in ProductCode ProductName ProductVersion Manufacturer; do
  expect_eq "legacy: ${field,}" "$(property "$packages/sample.msi" "$field")" "$(json_field "$json" "${field,}")"
done
for field in upgradeCode scope dualPurpose packerVersion package.name winget.Scope winget.AppsAndFeaturesEntries.0.UpgradeCode; do
  expect_eq "legacy: $field is not recorded" "$([[ $field == winget.* ]] && echo "(absent)" || echo null)" \
    "$(json_field "$json" "$field")"
done
expect_file "legacy: package" "$json" package "$packages/sample.msi" null
expect_eq "legacy: no files beside the package" "[]" "$(json_field "$json" files)"

pack_run --extract "$legacy" -o "$scratch/legacy out"
check "legacy: --extract exits 0" is "$code" 0
expect_eq "legacy: the package goes by the launcher's name" "./legacy-setup.msi" "$(listing "$scratch/legacy out")"
check "legacy: the package is extracted byte for byte" cmp "$packages/sample.msi" "$scratch/legacy out/legacy-setup.msi"

# ---------------------------------------------------------------------------------------------
# A package with its cabinet beside it

# wixl names the external cabinet in the Media table without writing it; gcab makes it from the
# payload stored under its File table key.
external=$scratch/external
mkdir -p "$external"
cat >"$external/external.wxs" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="6E0C3B77-2A41-4F8E-9D5B-1C7A8E3F2B90" Name="Lodestar External" Language="1033" Version="4.5.6"
           Manufacturer="Lodestar Tests" UpgradeCode="B5E2D9A1-7C34-4E8F-A1D6-3F9B0C2E7A58">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="sample.cab" EmbedCab="no"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Lodestar External">
          <Component Id="Payload" Guid="4A7D2E91-B3C8-4F15-8E6A-0D9C5B1F3A27" Win64="yes">
            <File Id="PayloadFile" Name="payload.txt" Source="payload.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
EOF
cp "$source_dir/tests/packages/payload.txt" "$external/payload.txt"
cp "$source_dir/tests/packages/payload.txt" "$external/PayloadFile"
check "external: wixl builds the package" bash -c "cd '$external' && wixl -a x64 -o 'External App.msi' external.wxs"
check "external: gcab builds its cabinet" bash -c "cd '$external' && gcab -c -n sample.cab PayloadFile"
package="$external/External App.msi"
cabinet=$external/sample.cab
setup=$scratch/external-setup.exe
pack_run "$package" -o "$setup"
check "external: packed with its cabinet" is "$code" 0
check "external: the summary counts the cabinet" has out "with 1 file beside it"

info_json "$setup" external
check "external: --info --json exits 0" is "$code" 0
check "external: the JSON is valid against info.schema.json" schema_valid "$json"
expect_file "external: package" "$json" package "$package"
expect_file "external: cabinet" "$json" files.0 "$cabinet"
expect_eq "external: one file beside the package" "(absent)" "$(json_field "$json" files.1)"
pack_run --info "$setup"
check "text: the cabinet beside the package" has out "Beside it       sample.cab, $(size_of "$cabinet") bytes, SHA-256 $(sha256_of "$cabinet")"

out="$scratch/extracted/new folder"
pack_run --extract "$setup" -o "$out"
check "extract: exit code 0" is "$code" 0
check "extract: one line of summary" has out "Extracted 2 files"
expect_eq "extract: the files, under their own names" "$(printf './External App.msi\n./sample.cab')" "$(listing "$out")"
check "extract: the package byte for byte" cmp "$package" "$out/External App.msi"
check "extract: the cabinet byte for byte" cmp "$cabinet" "$out/sample.cab"

before=$(cd "$out" && sha256sum ./* && stat -c '%n %Y %s' ./*)
pack_run --extract "$setup" -o "$out"
check "extract again: exit code 3" is "$code" 3
check "extract again: says why and that nothing was written" \
  has err "External App.msi exists; add --force to replace it: nothing was extracted"
expect_eq "extract again: nothing changed" "$before" "$(cd "$out" && sha256sum ./* && stat -c '%n %Y %s' ./*)"

# One target of two taken: refused before the other is written.
partial=$scratch/partial
mkdir -p "$partial"
echo "not the cabinet" >"$partial/sample.cab"
pack_run --extract "$setup" -o "$partial"
check "one target taken: exit code 3" is "$code" 3
check "one target taken: named" has err "sample.cab exists; add --force to replace it: nothing was extracted"
expect_eq "one target taken: the other is not written" "./sample.cab" "$(listing "$partial")"
expect_eq "one target taken: it is left as it was" "not the cabinet" "$(cat "$partial/sample.cab")"
pack_run --extract "$setup" -o "$partial" --force
check "--force: exit code 0" is "$code" 0
check "--force: the cabinet is replaced byte for byte" cmp "$cabinet" "$partial/sample.cab"
check "--force: the package is written byte for byte" cmp "$package" "$partial/External App.msi"
expect_eq "--force: no temporary file left" "$(printf './External App.msi\n./sample.cab')" "$(listing "$partial")"

# ---------------------------------------------------------------------------------------------
# Non-launchers and damaged launchers: exit code 2, what is wrong named, nothing extracted

# The offset of the last occurrence of the bytes of NEEDLE (a file, or text) in FILE: the carried
# parts follow the stub's code, where a format's signature may also appear as a constant.
offset_of() {
  "$python" - "$1" "$2" <<'EOF'
import os, sys
data = open(sys.argv[1], "rb").read()
needle = open(sys.argv[2], "rb").read() if os.path.isfile(sys.argv[2]) else sys.argv[2].encode()
print(data.rfind(needle))
EOF
}
# damaged COPY OFFSET: COPY of $setup with the byte at OFFSET changed.
damaged() {
  cp "$setup" "$1"
  local old
  old=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $(((old + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

package_at=$(offset_of "$setup" "$package")
cabinet_at=$(offset_of "$setup" "$cabinet")
index_at=$(offset_of "$setup" LPIX)
facts_at=$(offset_of "$setup" LPFX)
for at in "$package_at" "$cabinet_at" "$index_at" "$facts_at"; do
  check "the carried parts are found in the launcher" test "$at" -gt 0
done
damaged "$scratch/damaged-package.exe" $((package_at + $(size_of "$package") / 2))
damaged "$scratch/damaged-cabinet.exe" $((cabinet_at + $(size_of "$cabinet") - 1))
damaged "$scratch/damaged-index.exe" $((index_at + 20))
damaged "$scratch/damaged-facts.exe" $((facts_at + 20))
head -c $(($(size_of "$setup") / 2)) "$setup" >"$scratch/cut-short.exe"
echo "plain text" >"$scratch/notes.txt"

win() { windows_path "$1"; }
# FILE|THE END OF THE MESSAGE (after the file's Windows path, for the damaged and the cut short)
refusals=(
  "$scratch/damaged-package.exe| is damaged: External App.msi does not match its index"
  "$scratch/damaged-cabinet.exe| is damaged: sample.cab does not match its index"
  "$scratch/damaged-index.exe| is damaged: the payload index does not match its own hash"
  "$scratch/damaged-facts.exe| is damaged: the launcher's facts do not match their own hash"
  "$scratch/cut-short.exe| is cut short: it ends after $(($(size_of "$setup") / 2)) bytes"
  "$build/bin/lodestar-stub.exe| is not a launcher: it carries no resources"
  "$build/bin/lodestar-pack.exe| is not a launcher: it carries no package (no RCDATA resource MSI)"
  "$packages/sample.msi| is not a launcher: it is no executable (it does not start with MZ)"
  "$scratch/notes.txt| is not a launcher: it is no executable (it does not start with MZ)"
  "$scratch/missing.exe|There is no launcher at $(win "$scratch/missing.exe")"
)
for entry in "${refusals[@]}"; do
  IFS='|' read -r file message <<<"$entry"
  [[ $message == " "* ]] && message="lodestar-pack: $(win "$file")$message" || message="lodestar-pack: $message"
  what=$(basename "$file")
  pack_run --info "$file"
  check "$what: --info exit code 2" is "$code" 2
  check "$what: --info says [$message]" has err "$message"
  check "$what: --info writes nothing to standard output" test ! -s "$scratch/out"
  pack_run --extract "$file" -o "$scratch/refused/$what"
  check "$what: --extract exit code 2" is "$code" 2
  check "$what: --extract says [$message]" has err "$message"
  check "$what: --extract leaves nothing behind" test ! -e "$scratch/refused"
done

finish
