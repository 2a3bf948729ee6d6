#!/usr/bin/env bash
# Transforms, language transforms, patches and preset properties carried in a launcher, with the
# samples a real authoring toolset made (tests/data/msi-samples): the native lodestar-pack and
# lodestar-pack.exe under Wine write the same bytes from the same inputs and refuse the same
# inputs with the same exit code, reason and nothing written; --info shows what the launcher
# applies and the identity the product installs with per language, the Japanese transform's
# ProductName decoded from code page 932.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
native=$LODESTAR_NATIVE_PACK
windows=$build/bin/lodestar-pack  # lodestar-pack.exe through its Wine wrapper
samples=$source_dir/tests/data/msi-samples

make_scratch "customization"

# A copy of Example.msi that both sample transforms validate against (the samples' README): the
# ProductCode, version and UpgradeCode they were made for.
# edited_copy FILE [SQL UPDATE...]: the copy, then further updates.
edited_copy() {
  local file=$1 update
  shift
  cp "$samples/Example.msi" "$file" && chmod u+w "$file"
  for update in "Value='{000C1109-0000-0000-C000-000000000046}' WHERE Property='ProductCode'" \
                "Value='0.0.0.0' WHERE Property='ProductVersion'" \
                "Value='{F400B367-33CF-429E-B571-0FDCF253ABC2}' WHERE Property='UpgradeCode'" "$@"; do
    msibuild "$file" -q "UPDATE Property SET $update" || return 1
  done
}
mkdir -p "$scratch/in"
edited=$scratch/in/edited.msi
check "the edited copy is made" edited_copy "$edited"

# both NAME PACKAGE [OPTIONS...]: packs with each packer into SIDE/NAME/setup.exe and compares.
both() {
  local name=$1 package=$2 side
  shift 2
  for side in native windows; do
    pack=${!side}
    mkdir -p "$scratch/$side/$name"
    pack_run "$package" -o "$scratch/$side/$name/setup.exe" "$@"
    check "$name: the $side packer exits 0" is "$code" 0
  done
  check "$name: both launchers are the same bytes" cmp "$scratch/native/$name/setup.exe" "$scratch/windows/$name/setup.exe"
}

quoted='A "quoted" value with blanks'
letters='Zürich Ωmega'
both languages "$edited" --language-transform "$samples/Example.jpn.mst" --transform "$samples/Example.mst" \
  --property "NOTE=$quoted" --property "CITY=$letters"
both patched "$samples/Example.msi" --patch "$samples/Example.msp" --property ALLUSERS=1 --log

# --info of the customized launchers: what they carry and apply, per language.
launcher=$scratch/native/languages/setup.exe
info=$("$native" --info "$launcher")
for line in "Beside it       Example.jpn.mst, 4608 bytes" "Transform       Example.jpn.mst (for language 1041)" \
            "Transform       Example.mst" "Property        NOTE=\"A \"\"quoted\"\" value with blanks\"" \
            "Property        CITY=\"$letters\"" "Installs as     base (1033): ProductCode={000C1109-0000-0000-C000-000000000046};" \
            "Installs as     1041: " "ProductName=テストプロダクト; ProductVersion=0.0.0.0;" \
            "msiexec /i \"<folder>\\main.msi\" TRANSFORMSSECURE=1 TRANSFORMS=\"Example.jpn.mst;Example.mst\" NOTE="; do
  check "--info: [$line]" contains "$info" "$line"
done
"$native" --info "$launcher" --json >"$scratch/languages.json"
check "--info --json: valid against info.schema.json" schema_valid "$scratch/languages.json"
json_load "$scratch/languages.json"
for expected in "verboseLog=false" "transforms.0.language=1041" "transforms.1.language=null" "properties.0.value=$quoted" \
                "properties.1.value=$letters" "installs.0.language=null" "installs.0.productName=TEST" \
                "installs.0.productLanguage=1033" "installs.1.language=1041" "installs.1.productName=テストプロダクト" \
                "installs.1.productLanguage=1041" "productName=TEST" "winget.ProductCode={000C1109-0000-0000-C000-000000000046}" \
                "installs.0.msiexecArguments=/i \"<folder>\\main.msi\" TRANSFORMSSECURE=1 TRANSFORMS=\"Example.mst\" NOTE=\"A \"\"quoted\"\" value with blanks\" CITY=\"$letters\""; do
  expect_eq "--info --json: ${expected%%=*}" "${expected#*=}" "$(json_field "$scratch/languages.json" "${expected%%=*}")"
done
"$native" --info "$scratch/native/patched/setup.exe" --json >"$scratch/patched.json"
check "--info --json of the patched launcher: valid" schema_valid "$scratch/patched.json"
check "--info of the patched launcher: it logs" contains "$("$native" --info "$scratch/native/patched/setup.exe")" \
  "Log             verbose, into the user's temporary folder"
for expected in "verboseLog=true" "patches.0.name=Example.msp" "patches.0.patchCode={FF63D787-26E2-49CA-8FAA-28B5106ABD3A}" \
                "scope=machine" "installs.0.msiexecArguments=/i \"<folder>\\main.msi\" PATCH=\"<folder>\\Example.msp\" ALLUSERS=\"1\""; do
  expect_eq "patched --info --json: ${expected%%=*}" "${expected#*=}" "$(json_field "$scratch/patched.json" "${expected%%=*}")"
done
mkdir -p "$scratch/extracted"
check "--extract writes the transforms beside the package" "$native" --extract "$launcher" -o "$scratch/extracted"
check "--extract: Example.jpn.mst byte for byte" cmp "$samples/Example.jpn.mst" "$scratch/extracted/Example.jpn.mst"

# Refusals, by both packers: exit code, the reason, and no launcher.
other_upgrade=$scratch/in/other-upgrade.msi
check "a copy with another UpgradeCode" \
  edited_copy "$other_upgrade" "Value='{00000000-0000-0000-0000-000000000001}' WHERE Property='UpgradeCode'"
japanese=$scratch/in/japanese.msi
check "a copy in Japanese already" edited_copy "$japanese" "Value='1041' WHERE Property='ProductLanguage'"
mkdir -p "$scratch/in/again" "$scratch/in/case"
cp "$samples/Example.jpn.mst" "$scratch/in/again/Japanese again.mst"
cp "$samples/Example.mst" "$scratch/in/case/EXAMPLE.MST"
cp "$samples/Example.mst" "$scratch/in/install.cmd"
refusals=(
  "2|ProductCode is {877EF582-78AF-4D84-888B-167FDC3BCC11}, the transform is for {000C1109|$samples/Example.msi|--transform|$samples/Example.mst"
  "2|ProductCode is {877EF582-78AF-4D84-888B-167FDC3BCC11}, the transform is for {000C1109|$samples/Example.msi|--language-transform|$samples/Example.jpn.mst"
  "2|UpgradeCode is {00000000-0000-0000-0000-000000000001}, the transform is for {F400B367|$other_upgrade|--transform|$samples/Example.mst"
  "2|does not apply to the product: it lists the ProductCodes [{877EF582|$edited|--patch|$samples/Example.msp"
  "2|is an installation package; --transform takes a transform (.mst)|$edited|--transform|$samples/Example.msi"
  "2|is a transform (.mst); --patch takes a patch (.msp)|$samples/Example.msi|--patch|$samples/Example.mst"
  "2|are both language transforms for 1041|$edited|--language-transform|$samples/Example.jpn.mst|--language-transform|$scratch/in/again/Japanese again.mst"
  "2|is a language transform for 1041, the language|$japanese|--language-transform|$samples/Example.jpn.mst"
  "2|differ only in case|$edited|--transform|$samples/Example.mst|--transform|$scratch/in/case/EXAMPLE.MST"
  "2|the name 'install.cmd' cannot be carried: it is the name of the script extract writes|$edited|--transform|$scratch/in/install.cmd"
  "1|--property lower: only a public property can be preset|$edited|--property|lower=1"
  "1|--property PATCH: the launcher sets it|$edited|--property|PATCH=x"
)
for refusal in "${refusals[@]}"; do
  IFS='|' read -r -a fields <<<"$refusal"
  for side in native windows; do
    pack=${!side}
    rm -f "$scratch/refused.exe"
    pack_run "${fields[2]}" -o "$scratch/refused.exe" "${fields[@]:3}"
    check "$side refuses [${fields[1]}]: exit code" is "$code" "${fields[0]}"
    check "$side refuses [${fields[1]}]: the reason" has err "${fields[1]}"
    given=${fields[-1]}
    if [[ $given == */* ]]; then
      check "$side refuses [${fields[1]}]: the file is named" has err "${given##*/}"
    fi
    check "$side refuses [${fields[1]}]: nothing written" test ! -e "$scratch/refused.exe"
  done
done

finish
