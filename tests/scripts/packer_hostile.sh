#!/usr/bin/env bash
# Files someone else made, given to the native lodestar-pack and to lodestar-pack.exe under Wine:
# every file that is no installation package (a patch, transforms, a merge module, a compound file
# of another kind or cut short, a text file, an empty file) is refused with one line that says what it is, exit
# code 2 and nothing written; a ProductName made of terminal controls reaches neither the
# terminal nor the JSON raw; the JSON's Intune return codes and braced GUIDs are what the schema
# requires, and the schema refuses what lacks them.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
samples=$source_dir/tests/data/msi-samples

make_scratch "hostile"
check_details() { sed 's/^/  output: /' "$scratch/out" "$scratch/err" 2>/dev/null | head -20; }

# A merge module: a package's class and a ModuleSignature table (wixl 0.101 writes no modules).
cp "$samples/Example.msi" "$scratch/part.msm" && chmod u+w "$scratch/part.msm"
printf 'ModuleID\tLanguage\tVersion\ns72\ti2\ts32\nModuleSignature\tModuleID\tLanguage\nPart.7C2B9E41_5A83_4F0D_9B6E_2D4F8A1C3E57\t1033\t1.0.0\n' \
  >"$scratch/ModuleSignature.idt"
msibuild "$scratch/part.msm" -i "$scratch/ModuleSignature.idt"
msibuild "$scratch/part.msm" -q "DELETE FROM Property WHERE Property='ProductCode'"
# A compound file of another class (a word processor's): header, one FAT sector, one directory
# sector whose root entry carries the class.
"$python" - "$scratch/document.doc" <<'PY'
import struct, sys
free = 0xFFFFFFFF
header = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + bytes(16) + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + bytes(6)
header += struct.pack("<IIIIIIIII", 0, 1, 1, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0)
header += struct.pack("<I", 0) + struct.pack("<I", free) * 108
fat = struct.pack("<II", 0xFFFFFFFD, 0xFFFFFFFE) + struct.pack("<I", free) * 126
name = "Root Entry".encode("utf-16-le") + bytes(2)
word = bytes.fromhex("06090200" "0000" "0000" "C000000000000046")
root = name.ljust(64, b"\0") + struct.pack("<HBBIII", len(name), 5, 1, free, free, free) + word
root += bytes(4 + 16) + struct.pack("<IQ", 0xFFFFFFFE, 0)
empty = bytes(64) + struct.pack("<HBBIII", 0, 0, 0, free, free, free) + bytes(16 + 4 + 16 + 12)
open(sys.argv[1], "wb").write(header + fat + root + empty * 3)
PY
printf 'not a package\n' >"$scratch/notes.msi"
: >"$scratch/empty.msi"
head -c 8 "$samples/Example.msi" >"$scratch/signature-only.msi"
head -c 1024 "$samples/Example.msi" >"$scratch/cut.msi"

# FILE|WHAT IT IS
kinds=(
  "$samples/Example.msp|a patch (.msp)"
  "$samples/Example.mst|a transform (.mst)"
  "$samples/Example.jpn.mst|a transform (.mst)"
  "$scratch/part.msm|a merge module (.msm)"
  "$scratch/document.doc|a compound file of another kind"
  "$scratch/signature-only.msi|a compound file cut short or damaged"
  "$scratch/cut.msi|a compound file cut short or damaged"
  "$scratch/notes.msi|not a compound file"
  "$scratch/empty.msi|not a compound file"
)
# The native packer names the file by its Linux path, lodestar-pack.exe by its Windows one.
for packer in native wine; do
  if [[ $packer == native ]]; then pack=$LODESTAR_NATIVE_PACK; else pack=$build/bin/lodestar-pack; fi
  for entry in "${kinds[@]}"; do
    file=${entry%%|*}
    shown=$file
    [[ $packer == wine ]] && shown=$(windows_path "$file")
    LODESTAR_WINEPREFIX=$prefix pack_run "$file" -o "$scratch/setup.exe"
    what="$packer, $(basename "$file")"
    expect_eq "$what: exit code" 2 "$code"
    expect_eq "$what: one line on standard error" \
      "lodestar-pack: $shown is ${entry#*|}; lodestar-pack takes installation packages (.msi)" "$(text_of "$scratch/err")"
    expect_eq "$what: nothing on standard output" "" "$(text_of "$scratch/out")"
    check "$what: nothing written" test ! -e "$scratch/setup.exe"
  done
done

# A ProductName that would retitle the terminal's window and clear its screen.
pack=$LODESTAR_NATIVE_PACK
cp "$samples/Example.msi" "$scratch/controls.msi" && chmod u+w "$scratch/controls.msi"
msibuild "$scratch/controls.msi" -q "UPDATE Property SET Value='"$'\e'"]0;owned"$'\a\e'"[2J' WHERE Property='ProductName'"
pack_run "$scratch/controls.msi" -o "$scratch/controls.exe"
expect_eq "a ProductName of controls: packed" 0 "$code"
pack_run --info "$scratch/controls.exe"
expect_eq "--info: the ProductName's controls escaped" 'ProductName     \x1b]0;owned\x07\x1b[2J' \
  "$(grep '^ProductName' "$scratch/out")"
check "--info: no control character but line feeds" test "$(tr -d '\n' <"$scratch/out" | tr -d '[:print:]' | wc -c)" -eq 0
pack_run --info "$scratch/controls.exe" --json
expect_eq "--info --json: the ProductName escaped as JSON escapes it" '  "productName": "\u001b]0;owned\u0007\u001b[2J",' \
  "$(grep '^  "productName"' "$scratch/out")"
json=$scratch/info.json
cp "$scratch/out" "$json"
check "--info --json: valid against info.schema.json" schema_valid "$json"
expect_eq "--info --json: the ProductName read back" $'\e]0;owned\a\e[2J' "$(json_field "$json" productName)"
# A name of controls in a message: escaped too.
cp "$scratch/notes.msi" "$scratch/"$'\e[2J'"notes.msi"
pack_run "$scratch/"$'\e[2J'"notes.msi" -o "$scratch/setup.exe"
expect_eq "a file name of controls: escaped in the message" \
  "lodestar-pack: $scratch/\\x1b[2Jnotes.msi is not a compound file; lodestar-pack takes installation packages (.msi)" \
  "$(cat "$scratch/err")"

# Two carried files on the same bytes (a launcher no packer writes): --info and --extract refuse
# it, so that what --extract writes never exceeds what the launcher holds.
"$(dirname "$pack")/../tests/native/craft_launcher" shared "$scratch/shared.exe"
shared="lodestar-pack: $scratch/shared.exe is damaged: data.cab and copy.cab share their bytes, which a packer never does"
pack_run --info "$scratch/shared.exe"
expect_eq "--info, two files on the same bytes: exit code" 2 "$code"
expect_eq "--info, two files on the same bytes: the message" "$shared" "$(cat "$scratch/err")"
pack_run --extract "$scratch/shared.exe" -o "$scratch/extracted"
expect_eq "--extract, two files on the same bytes: exit code" 2 "$code"
expect_eq "--extract, two files on the same bytes: the message" "$shared" "$(cat "$scratch/err")"
check "--extract, two files on the same bytes: nothing written" test ! -e "$scratch/extracted"

# The same in a launcher that runs: two cabinets of equal bytes packed, then the second's resource
# pointed at the first's bytes. Its index still matches every byte it would write; the launcher's
# extract refuses it as damaged all the same, before writing anything.
cp -r "$packages/cabinets" "$scratch/twins"
cp "$scratch/twins/first.cab" "$scratch/twins/second é.cab"
pack_run "$scratch/twins/cabinets.msi" -o "$scratch/twins.exe"
expect_eq "twin cabinets: packed" 0 "$code"
"$python" - "$scratch/twins.exe" <<'PY'
import struct, sys
path = sys.argv[1]
image = bytearray(open(path, "rb").read())
nt = struct.unpack_from("<I", image, 0x3C)[0]
sections = struct.unpack_from("<H", image, nt + 6)[0]
optional = nt + 24
resources_rva = struct.unpack_from("<I", image, optional + 112 + 2 * 8)[0]
table = nt + 24 + struct.unpack_from("<H", image, nt + 20)[0]
def offset(rva):
    for i in range(sections):
        size, address, _, raw = struct.unpack_from("<IIII", image, table + 40 * i + 8)
        if address <= rva < address + max(size, 1):
            return raw + rva - address
    raise SystemExit("no section holds RVA %#x" % rva)
base = offset(resources_rva)
def entries(at):
    named, numbered = struct.unpack_from("<HH", image, at + 12)
    for i in range(named + numbered):
        yield struct.unpack_from("<II", image, at + 16 + 8 * i)
def data_entry(type_id, name_id):
    for name, target in entries(base):
        if name == type_id:
            for inner, below in entries(base + (target & 0x7FFFFFFF)):
                if inner == name_id:
                    language = next(entries(base + (below & 0x7FFFFFFF)))[1]
                    return base + language
    raise SystemExit("no resource %d/%d" % (type_id, name_id))
first, second = data_entry(10, 1), data_entry(10, 2)
struct.pack_into("<I", image, second, struct.unpack_from("<I", image, first)[0])
open(path, "wb").write(image)
PY
run --env LODESTAR_DEBUG=true "$scratch/twins.exe" extract "$(windows_path "$scratch/twins out")"
expect_eq "the launcher's extract, two files on the same bytes: exit code" -1 "$code"
check "the launcher's extract, two files on the same bytes: damaged" \
  grep -q "This setup is damaged: .* is not what was packed" "$scratch/stderr"
check "the launcher's extract, two files on the same bytes: nothing written" test ! -e "$scratch/twins out"
pack_run --info "$scratch/twins.exe"
expect_eq "--info of the running kind, two files on the same bytes: exit code" 2 "$code"

# Intune's return codes, each with its type, and the schema's hold on them and on the GUIDs.
expect_eq "intune.returnCodes" '[[0, "success"], [1707, "success"], [3010, "softReboot"], [1641, "hardReboot"], [1618, "retry"]]' \
  "$("$python" -c 'import json, sys; print([[c["returnCode"], c["type"]] for c in json.load(open(sys.argv[1]))["intune"]["returnCodes"]])' "$json" | tr "'" '"')"
# CHANGE (Python, on the document d)|WHETHER THE SCHEMA TAKES IT
changes=(
  'pass|valid'
  'd["upgradeCode"] = d["upgradeCode"].lower()|valid'
  'd["upgradeCode"] = None|valid'
  'd["upgradeCode"] = "AC460ECB-9287-45F3-BF66-E464EDE4AAF2"|invalid'
  'd["upgradeCode"] = "not a guid"|invalid'
  'd["productCode"] = d["productCode"].lower()|valid'
  'd["winget"]["AppsAndFeaturesEntries"][0]["UpgradeCode"] = "{AC460ECB}"|invalid'
  'd["winget"]["ExpectedReturnCodes"] = []|invalid'
  'del d["intune"]["returnCodes"]|invalid'
  'd["intune"]["returnCodes"] = d["intune"]["returnCodes"][1:]|invalid'
  'd["intune"]["returnCodes"][2]["type"] = "hardReboot"|invalid'
)
for entry in "${changes[@]}"; do
  "$python" -c 'import json, sys
d = json.load(open(sys.argv[1]))
exec(sys.argv[2])
json.dump(d, open(sys.argv[3], "w"))' "$json" "${entry%|*}" "$scratch/changed.json"
  got=valid
  schema_valid "$scratch/changed.json" >/dev/null 2>&1 || got=invalid
  expect_eq "the schema on: ${entry%|*}" "${entry#*|}" "$got"
done

finish
