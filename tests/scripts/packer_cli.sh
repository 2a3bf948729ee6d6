#!/usr/bin/env bash
# lodestar-pack's command line as a user on Linux runs it, one script for both packers: the native
# lodestar-pack, and lodestar-pack.exe through its Wine wrapper ($LODESTAR_PACK names the one).
# Help, version, each exit code, relative and absolute paths with blanks and non-ASCII letters,
# every path in a message the user's own (a Linux path natively, a Z:\ path under Wine), --info
# (text, and JSON valid against packer/info.schema.json) and --extract, a package large enough to
# report progress, packed and installed through its launcher. Natively also: names Windows cannot
# tell apart, a FIFO where a file should be, more files than the open-file limit, output to a
# full disk.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$LODESTAR_PACK
windows_pack=$build/bin/lodestar-pack
native() { [[ $pack != "$windows_pack" ]]; }
# The path as this packer prints it.
shown() { if native; then printf '%s' "$1"; else windows_path "$1"; fi; }

make_scratch "packer cli"
no_drive_letters() { ! grep -q 'Z:' "$scratch/out" "$scratch/err"; }

# ---------------------------------------------------------------------------------------------
# Help, version, usage errors: exit codes 0 and 1

pack_run --help
check "--help exits 0" is "$code" 0
check "--help shows the usage" has out "Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe"
check "--help documents the exit codes" has out "3  the launcher cannot be written"
pack_run --version
check "--version exits 0" is "$code" 0
expect_match "--version: a version number" '^lodestar-pack [0-9]+\.[0-9]+\.[0-9]+$' "$(cat "$scratch/out")"
if native; then
  expect_eq "--version names the version lodestar-pack.exe has" \
    "$("$windows_pack" --version | tr -d '\r')" "$(cat "$scratch/out")"
fi

pack_run
check "no arguments: exit code 1" is "$code" 1
check "no arguments: says so" has err "lodestar-pack: no package given"
check "no arguments: points to --help" has err "Try 'lodestar-pack --help'."
pack_run "$packages/sample.msi" -o "$scratch/x.exe" --sign
check "an unknown option: exit code 1" is "$code" 1
check "an unknown option: named" has err "lodestar-pack: unknown option --sign"
if native; then
  pack_run $'caf\xe9.msi' -o "$scratch/x.exe"
  check "an argument that is not UTF-8: exit code 1" is "$code" 1
  check "an argument that is not UTF-8: named by its place" has err "lodestar-pack: argument 1 is not UTF-8 text"
fi
check "usage errors: nothing written" test ! -e "$scratch/x.exe"

# A package of 70 MiB (a stream of random bytes added to the sample): no progress line when
# standard error is a pipe (a terminal gets one: packer_killed.sh), and its launcher installs it.
large_package_installs() {
  local large="$scratch/large.msi" temp="$scratch/temp"
  cp "$packages/sample.msi" "$large"
  head -c $((70 * 1024 * 1024)) /dev/urandom >"$scratch/filler.bin"
  msibuild "$large" -a filler "$scratch/filler.bin"
  pack_run "$large" -o "$scratch/large-setup.exe"
  check "a large package: exit code 0" is "$code" 0
  check "a large package: nothing on a piped standard error" test ! -s "$scratch/err"
  mkdir -p "$temp"
  run --temp "$temp" "$scratch/large-setup.exe" /qn
  check "a large package: its launcher installs it" is "$code" 0
  check "a large package: the product's file is there" \
    test -f "$prefix/drive_c/Program Files/Lodestar Sample/payload.txt"
  run --temp "$temp" "$scratch/large-setup.exe" uninstall
  check "a large package: its launcher removes it" is "$code" 0
  check "a large package: no working directory left" empty_dir "$temp"
}

# ---------------------------------------------------------------------------------------------
# Packing from relative and absolute paths: exit codes 0, 2 and 3, the user's paths in every message

work="$scratch/My Setup Jérôme"
mkdir -p "$work"
cp "$packages/sample.msi" "$work/app.msi"
in_work() { pushd "$work" >/dev/null && pack_run "$@" && popd >/dev/null; }

in_work app.msi -o "dist/app setup.exe"
check "relative paths: exit code 0" is "$code" 0
check "relative paths: the launcher is where asked" test -s "$work/dist/app setup.exe"
check "relative paths: the summary names the package as given" has out "Packed app.msi ("
check "relative paths: the summary names the launcher's absolute path" has out "into $(shown "$work/dist/app setup.exe") ("
check "relative paths: the summary names the product code" has out "ProductCode {100863FF-45AF-4660-A9BB-5F26D5F08205}"
check "relative paths: nothing on standard error" test ! -s "$scratch/err"
in_work missing.msi -o setup.exe
check "a missing package: exit code 2" is "$code" 2
expect_eq "a missing package: named by its path" "lodestar-pack: There is no package at $(shown "$work/missing.msi")" \
  "$(cat "$scratch/err")"
in_work ../../"$(basename "$scratch")"/"My Setup Jérôme"/./app.msi -o "dist/app setup.exe"
check "an existing launcher without --force: exit code 3" is "$code" 3
expect_eq "an existing launcher without --force: says how, naming its path" \
  "lodestar-pack: $(shown "$work/dist/app setup.exe") exists; add --force to replace it" "$(cat "$scratch/err")"
in_work app.msi -o "dist/app setup.exe" --force
check "--force: exit code 0" is "$code" 0
in_work app.msi -o app.msi/setup.exe
check "an output below a file: exit code 3" is "$code" 3
check "an output below a file: names the path" has err "lodestar-pack: Cannot write $(shown "$work/app.msi/setup.exe"):"
in_work --icon "$scratch/no.ico" app.msi -o other.exe
check "a missing icon: exit code 2" is "$code" 2
check "a missing icon: named by its path" has err "$(shown "$scratch/no.ico")"
check "a missing icon: nothing written" test ! -e "$work/other.exe"
in_work app.msi -o other.exe --product-code "{00000000-0000-0000-0000-000000000000}"
check "another product code: exit code 2" is "$code" 2
check "another product code: both named" has err \
  "The ProductCode of $(shown "$work/app.msi") is {100863FF-45AF-4660-A9BB-5F26D5F08205}, not {00000000-0000-0000-0000-000000000000}"
if native; then
  check "the messages name no drive" no_drive_letters
fi
check "no staged file is left" is "$(cd "$work" && find . | sort | tr '\n' ' ')" \
  ". ./app.msi ./dist ./dist/app setup.exe "

# ---------------------------------------------------------------------------------------------
# --info and --extract

cp -r "$packages/cabinets" "$scratch/cabinets"
package=$scratch/cabinets/cabinets.msi
launcher=$scratch/cabinets-setup.exe
pack_run "$package" -o "$launcher"
check "cabinets: packed" is "$code" 0
pushd "$scratch" >/dev/null && pack_run --info cabinets-setup.exe && popd >/dev/null
check "--info: exit code 0" is "$code" 0
check "--info: the product code" has out "ProductCode     $(property "$package" ProductCode)"
check "--info: the launcher's own hash" has out "setup.exe, $(stat -c %s "$launcher") bytes, SHA-256 $(sha256_of "$launcher")"
check "--info: a cabinet with a non-ASCII name" \
  has out "second é.cab, $(stat -c %s "$scratch/cabinets/second é.cab") bytes, SHA-256 $(sha256_of "$scratch/cabinets/second é.cab")"
pack_run --info "$launcher" --json
json=$scratch/info.json
cp "$scratch/out" "$json"
json_load "$json"
check "--info --json: exit code 0" is "$code" 0
check "--info --json: valid against info.schema.json" schema_valid "$json"
for field in ProductCode UpgradeCode ProductName ProductVersion Manufacturer; do
  expect_eq "--info --json: ${field,}" "$(property "$package" "$field")" "$(json_field "$json" "${field,}")"
done
expect_eq "--info --json: the package's hash" "$(sha256_of "$package")" "$(json_field "$json" package.sha256)"
expect_eq "--info --json: the second cabinet" "second é.cab $(sha256_of "$scratch/cabinets/second é.cab")" \
  "$(json_field "$json" files.1.name) $(json_field "$json" files.1.sha256)"

pushd "$scratch" >/dev/null && pack_run --extract cabinets-setup.exe -o "extracted here" && popd >/dev/null
check "--extract: exit code 0" is "$code" 0
check "--extract: the summary counts the files" has out "Extracted 3 files"
check "--extract: the summary names the directory" has out "into $(shown "$scratch/extracted here")"
for file in cabinets.msi first.cab "second é.cab"; do
  check "--extract: $file byte for byte" cmp "$scratch/cabinets/$file" "$scratch/extracted here/$file"
done
pack_run --extract "$launcher" -o "$scratch/extracted here"
check "--extract again: exit code 3" is "$code" 3
check "--extract again: names the path" has err "$(shown "$scratch/extracted here")"
if native; then
  "$pack" --info "$launcher" >/dev/full 2>"$scratch/err"
  check "--info to a full disk: exit code 3" is "$?" 3
  check "--info to a full disk: says so" has err "lodestar-pack: Cannot write to standard output"
fi
pack_run --extract "$launcher" -o "$scratch/extracted here" --force
check "--extract --force over the same files: exit code 0" is "$code" 0
pack_run --info "$package"
check "--info of a package: exit code 2" is "$code" 2
expect_eq "--info of a package: named by its path" \
  "lodestar-pack: $(shown "$package") is not a launcher: it is no executable (it does not start with MZ)" \
  "$(cat "$scratch/err")"
if ! native; then
  large_package_installs
  finish
fi
check "--info and --extract name no drive" no_drive_letters
large_package_installs

# ---------------------------------------------------------------------------------------------
# The native packer alone from here on: Windows finds names without regard to case itself, knows
# no FIFO and no open-file limit.
#
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
