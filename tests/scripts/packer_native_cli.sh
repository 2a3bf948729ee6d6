#!/usr/bin/env bash
# The native lodestar-pack's command line as a user on Linux runs it: help, version, each exit
# code, --info (text, and JSON valid against packer/info.schema.json) and --extract; every path in
# its messages is the user's own Linux path, absolute or made so from a relative one, never a
# Z:\ path. Names found without regard to case: two files that Windows cannot tell apart are
# refused with both named.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$LODESTAR_NATIVE_PACK
packages=$tests/packages

make_scratch "native cli"
check_details() { sed 's/^/  output: /' "$scratch/out" "$scratch/err" 2>/dev/null | head -20; }
no_drive_letters() { ! grep -q 'Z:' "$scratch/out" "$scratch/err"; }


# ---------------------------------------------------------------------------------------------
# Help, version, usage errors: exit codes 0 and 1

pack_run --help
check "--help exits 0" is "$code" 0
check "--help shows the usage" has out "Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe"
check "--help documents the exit codes" has out "3  the launcher cannot be written"
pack_run --version
check "--version exits 0" is "$code" 0
expect_eq "--version names the program and the version lodestar-pack.exe has" \
  "$(LODESTAR_WINEPREFIX=$prefix "$build/bin/lodestar-pack" --version | tr -d '\r')" "$(cat "$scratch/out")"
expect_match "--version: a version number" '^lodestar-pack [0-9]+\.[0-9]+\.[0-9]+$' "$(cat "$scratch/out")"

pack_run
check "no arguments: exit code 1" is "$code" 1
check "no arguments: says so" has err "lodestar-pack: no package given"
check "no arguments: points to --help" has err "Try 'lodestar-pack --help'."
pack_run "$packages/sample.msi" -o "$scratch/x.exe" --sign
check "an unknown option: exit code 1" is "$code" 1
check "an unknown option: named" has err "lodestar-pack: unknown option --sign"
pack_run $'caf\xe9.msi' -o "$scratch/x.exe"
check "an argument that is not UTF-8: exit code 1" is "$code" 1
check "an argument that is not UTF-8: named by its place" has err "lodestar-pack: argument 1 is not UTF-8 text"
check "usage errors: nothing written" test ! -e "$scratch/x.exe"

# ---------------------------------------------------------------------------------------------
# Packing from relative and absolute paths: exit codes 0, 2 and 3, Linux paths in every message

work="$scratch/My Setup Jérôme"
mkdir -p "$work"
cp "$packages/sample.msi" "$work/app.msi"
in_work() { (cd "$work" && "$pack" "$@" >"$scratch/out" 2>"$scratch/err"); code=$?; }

in_work app.msi -o "dist/app setup.exe"
check "relative paths: exit code 0" is "$code" 0
check "relative paths: the launcher is where asked" test -s "$work/dist/app setup.exe"
check "relative paths: the summary names the package as given" has out "Packed app.msi ("
check "relative paths: the summary names the launcher's absolute Linux path" has out "into $work/dist/app setup.exe ("
check "relative paths: nothing on standard error" test ! -s "$scratch/err"
in_work missing.msi -o setup.exe
check "a missing package: exit code 2" is "$code" 2
expect_eq "a missing package: named by its Linux path" "lodestar-pack: There is no package at $work/missing.msi" \
  "$(cat "$scratch/err")"
in_work ../../"$(basename "$scratch")"/"My Setup Jérôme"/./app.msi -o "dist/app setup.exe"
check "an existing launcher without --force: exit code 3" is "$code" 3
expect_eq "an existing launcher without --force: says how, naming its Linux path" \
  "lodestar-pack: $work/dist/app setup.exe exists; add --force to replace it" "$(cat "$scratch/err")"
in_work app.msi -o "dist/app setup.exe" --force
check "--force: exit code 0" is "$code" 0
in_work app.msi -o app.msi/setup.exe
check "an output below a file: exit code 3" is "$code" 3
check "an output below a file: names the Linux path" has err "lodestar-pack: Cannot write $work/app.msi/setup.exe:"
in_work --icon "$scratch/no.ico" app.msi -o other.exe
check "a missing icon: exit code 2" is "$code" 2
check "a missing icon: named by its Linux path" has err "$scratch/no.ico"
check "a missing icon: nothing written" test ! -e "$work/other.exe"
in_work app.msi -o other.exe --product-code "{00000000-0000-0000-0000-000000000000}"
check "another product code: exit code 2" is "$code" 2
check "another product code: both named" has err \
  "The ProductCode of $work/app.msi is {100863FF-45AF-4660-A9BB-5F26D5F08205}, not {00000000-0000-0000-0000-000000000000}"
check "the messages name no drive" no_drive_letters
check "no staged file is left" is "$(cd "$work" && find . | sort | tr '\n' ' ')" \
  ". ./app.msi ./dist ./dist/app setup.exe "

# ---------------------------------------------------------------------------------------------
# --info and --extract

cp -r "$packages/cabinets" "$scratch/cabinets"
package=$scratch/cabinets/cabinets.msi
launcher=$scratch/cabinets-setup.exe
pack_run "$package" -o "$launcher"
check "cabinets: packed" is "$code" 0
(cd "$scratch" && "$pack" --info cabinets-setup.exe >"$scratch/out" 2>"$scratch/err")
check "--info: exit code 0" is "$?" 0
check "--info: the product code" has out "ProductCode     $(property "$package" ProductCode)"
check "--info: the launcher's own hash" has out "setup.exe, $(stat -c %s "$launcher") bytes, SHA-256 $(sha256_of "$launcher")"
check "--info: a cabinet with a non-ASCII name" \
  has out "second é.cab, $(stat -c %s "$scratch/cabinets/second é.cab") bytes, SHA-256 $(sha256_of "$scratch/cabinets/second é.cab")"
pack_run --info "$launcher" --json
json=$scratch/info.json
cp "$scratch/out" "$json"
check "--info --json: exit code 0" is "$code" 0
check "--info --json: valid against info.schema.json" schema_valid "$json"
for field in ProductCode UpgradeCode ProductName ProductVersion Manufacturer; do
  expect_eq "--info --json: ${field,}" "$(property "$package" "$field")" "$(json_field "$json" "${field,}")"
done
expect_eq "--info --json: the package's hash" "$(sha256_of "$package")" "$(json_field "$json" package.sha256)"
expect_eq "--info --json: the second cabinet" "second é.cab $(sha256_of "$scratch/cabinets/second é.cab")" \
  "$(json_field "$json" files.1.name) $(json_field "$json" files.1.sha256)"

(cd "$scratch" && "$pack" --extract cabinets-setup.exe -o "extracted here" >"$scratch/out" 2>"$scratch/err")
check "--extract: exit code 0" is "$?" 0
check "--extract: the summary names the Linux directory" has out "Extracted 3 files"
check "--extract: the summary names the Linux directory" has out "into $scratch/extracted here"
for file in cabinets.msi first.cab "second é.cab"; do
  check "--extract: $file byte for byte" cmp "$scratch/cabinets/$file" "$scratch/extracted here/$file"
done
pack_run --extract "$launcher" -o "$scratch/extracted here"
check "--extract again: exit code 3" is "$code" 3
check "--extract again: names the Linux path" has err "$scratch/extracted here/"
"$pack" --info "$launcher" >/dev/full 2>"$scratch/err"
check "--info to a full disk: exit code 3" is "$?" 3
check "--info to a full disk: says so" has err "lodestar-pack: Cannot write to standard output"
pack_run --extract "$launcher" -o "$scratch/extracted here" --force
check "--extract --force over the same files: exit code 0" is "$code" 0
pack_run --info "$package"
check "--info of a package: exit code 2" is "$code" 2
expect_eq "--info of a package: named by its Linux path" \
  "lodestar-pack: $package is not a launcher: it is no executable (it does not start with MZ)" "$(cat "$scratch/err")"
check "--info and --extract name no drive" no_drive_letters

# ---------------------------------------------------------------------------------------------
# Names Windows cannot tell apart: the Media table says Cabinet.cab, the folder holds cabinet.cab
# and CABINET.CAB

cp -r "$packages/cabinet" "$scratch/two"
cp "$scratch/two/cabinet.cab" "$scratch/two/CABINET.CAB"
msibuild "$scratch/two/cabinet.msi" -q "UPDATE Media SET Cabinet='Cabinet.cab'"
mkdir -p "$scratch/two out"
pack_run "$scratch/two/cabinet.msi" -o "$scratch/two out/setup.exe"
check "two files differing in case: exit code 2" is "$code" 2
check "two files differing in case: says what and where" has err \
  "lodestar-pack: Cabinet.cab, which the Media table's row 1 (Cabinet 'Cabinet.cab') of cabinet.msi names, cannot be found: 'Cabinet.cab' in $scratch/two is more than one file for Windows, which does not tell case apart:"
check "two files differing in case: both named" has err "'cabinet.cab'"
check "two files differing in case: both named" has err "'CABINET.CAB'"
check "two files differing in case: nothing written" empty_dir "$scratch/two out"
rm "$scratch/two/cabinet.cab"
pack_run "$scratch/two/cabinet.msi" -o "$scratch/two out/setup.exe"
check "the one left, in another case: packed" is "$code" 0
check "the one left, in another case: its bytes carried" has out "with 1 file beside it (160 bytes)"

# ---------------------------------------------------------------------------------------------
# What lies at a file's place: a FIFO is no file to read (opening it would wait for a writer)

cp -r "$packages/cabinet" "$scratch/fifo"
rm "$scratch/fifo/cabinet.cab"
mkfifo "$scratch/fifo/cabinet.cab"
mkdir -p "$scratch/fifo out"
timeout 60 "$pack" "$scratch/fifo/cabinet.msi" -o "$scratch/fifo out/setup.exe" >"$scratch/out" 2>"$scratch/err"
code=$?
check "a FIFO for a cabinet: exit code 2, at once" is "$code" 2
check "a FIFO for a cabinet: says what it is" has err "$scratch/fifo/cabinet.cab is not a regular file"
check "a FIFO for a cabinet: nothing written" empty_dir "$scratch/fifo out"

# ---------------------------------------------------------------------------------------------
# More files beside a package than the soft limit on open files: each stays open from its check
# until it is carried, and --extract holds each one it writes until all are checked

many=$scratch/many
cp -r "$packages/cabinet" "$many"
inserts=()
for disk in $(seq 10 79); do
  printf 'MSCF' >"$many/c$disk.cab"
  inserts+=(-q "INSERT INTO Media (DiskId, LastSequence, Cabinet) VALUES ($disk, 1, 'c$disk.cab')")
done
check "many: 70 Media rows added" msibuild "$many/cabinet.msi" "${inserts[@]}"
(ulimit -Sn 40 && "$pack" "$many/cabinet.msi" -o "$scratch/many-setup.exe" >"$scratch/out" 2>"$scratch/err")
check "71 files beside the package, 40 descriptors allowed at first: packed" is "$?" 0
check "71 files beside the package: all carried" has out "with 71 files beside it"
(ulimit -Sn 40 && "$pack" --extract "$scratch/many-setup.exe" -o "$scratch/many out" >"$scratch/out" 2>"$scratch/err")
check "71 files beside the package: extracted" is "$?" 0
check "71 files beside the package: c79.cab extracted" cmp "$many/c79.cab" "$scratch/many out/c79.cab"

finish
