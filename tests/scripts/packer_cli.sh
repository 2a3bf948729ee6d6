#!/usr/bin/env bash
# lodestar-pack as a user on Linux runs it: through its Wine wrapper, with Linux paths, relative
# and absolute; its help, version and exit codes as a shell sees them; a package large enough to
# report progress, packed and installed through its launcher.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$build/bin/lodestar-pack
packages=$tests/packages
# The wrapper's prefix is the tests' one, where the launcher installs.
export LODESTAR_WINEPREFIX=$prefix

make_scratch "packer cli"
check_details() { sed 's/^/  output: /' "$scratch/out" "$scratch/err" 2>/dev/null | head -20; }

pack_run --help
check "--help exits 0" is "$code" 0
check "--help shows the usage" has out "Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe"
check "--help documents the exit codes" has out "3  the launcher cannot be written"
pack_run --version
expect_eq "--version exits 0" 0 "$code"
expect_eq "--version names the program" "lodestar-pack 1.0.0" "$(text_of "$scratch/out")"

pack_run
check "no arguments: exit code 1" is "$code" 1
check "no arguments: says so and where to look" has err "lodestar-pack: no package given"
check "no arguments: points to --help" has err "Try 'lodestar-pack --help'."
pack_run "$scratch/missing.msi" -o "$scratch/out.exe"
check "a missing package: exit code 2" is "$code" 2
check "a missing package: named as Windows sees it" \
  has err "There is no package at $(windows_path "$scratch/missing.msi")"
check "a missing package: nothing written" test ! -e "$scratch/out.exe"

# Relative paths from a directory with blanks and non-ASCII letters; the summary names both.
mkdir -p "$scratch/My Setup Jérôme"
cp "$packages/sample.msi" "$scratch/My Setup Jérôme/app.msi"
(cd "$scratch/My Setup Jérôme" && "$pack" app.msi -o "dist/app setup.exe" >"$scratch/out" 2>"$scratch/err")
code=$?
check "relative paths: exit code 0" is "$code" 0
check "relative paths: the launcher is where asked" test -s "$scratch/My Setup Jérôme/dist/app setup.exe"
check "relative paths: a one-line summary" is "$(wc -l <"$scratch/out")" 1
check "relative paths: the summary names the product code" has out "ProductCode {100863FF-45AF-4660-A9BB-5F26D5F08205}"
check "relative paths: nothing on standard error" test ! -s "$scratch/err"
pack_run "$scratch/My Setup Jérôme/app.msi" -o "$scratch/My Setup Jérôme/dist/app setup.exe"
check "an existing launcher without --force: exit code 3" is "$code" 3
check "an existing launcher without --force: says how" has err "exists; add --force to replace it"

# A package of 70 MiB (a stream of random bytes added to the sample): progress on standard error,
# and its launcher installs it.
large="$scratch/large.msi"
cp "$packages/sample.msi" "$large"
head -c $((70 * 1024 * 1024)) /dev/urandom >"$scratch/filler.bin"
msibuild "$large" -a filler "$scratch/filler.bin"
pack_run "$large" -o "$scratch/large-setup.exe"
check "a large package: exit code 0" is "$code" 0
check "a large package: progress by tenths" test "$(grep -c '% of 70' "$scratch/err")" -ge 9
check "a large package: progress ends at 100%" has err "100% of 70"
temp="$scratch/temp"
mkdir -p "$temp"
run "$scratch/large-setup.exe" /qn
check "a large package: its launcher installs it" is "$code" 0
check "a large package: the product's file is there" test -f "$prefix/drive_c/Program Files/Lodestar Sample/payload.txt"
run "$scratch/large-setup.exe" uninstall
check "a large package: its launcher removes it" is "$code" 0
check "a large package: no working directory left" empty_dir "$temp"

finish
