#!/usr/bin/env bash
# lodestar-pack as a user on Linux runs it: through its Wine wrapper, with Linux paths, relative
# and absolute; its help, version and exit codes as a shell sees them; a package large enough to
# report progress, packed and installed through its launcher.
set -uo pipefail
export LC_ALL=C.UTF-8
build=$LODESTAR_BUILD_DIR
pack=$build/bin/lodestar-pack
packages=$build/tests/packages
runwin=$build/tests/runwin.exe
wine=$LODESTAR_WINE_RUN
export LODESTAR_WINEPREFIX=${LODESTAR_WINEPREFIX:-$build/wineprefix}

work=$(mktemp -d "$build/packer cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    failures=$((failures + 1))
    echo "FAIL: $what"
    sed 's/^/  output: /' "$work/out" "$work/err" 2>/dev/null | head -20
  fi
}
pack_run() { "$pack" "$@" >"$work/out" 2>"$work/err"; code=$?; }
has() { grep -qF -- "$2" "$work/$1"; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

pack_run --help
check "--help exits 0" test "$code" -eq 0
check "--help shows the usage" has out "Usage: lodestar-pack PACKAGE.msi -o OUTPUT.exe"
check "--help documents the exit codes" has out "3  the launcher cannot be written"
pack_run --version
check "--version exits 0 and names the program" test "$code" -eq 0 -a "$(cat "$work/out")" = "lodestar-pack 1.0.0"

pack_run
check "no arguments: exit code 1" test "$code" -eq 1
check "no arguments: says so and where to look" has err "lodestar-pack: no package given"
check "no arguments: points to --help" has err "Try 'lodestar-pack --help'."
pack_run "$work/missing.msi" -o "$work/out.exe"
check "a missing package: exit code 2" test "$code" -eq 2
check "a missing package: named as Windows sees it" has err "There is no package at $(windows_path "$work/missing.msi")"
check "a missing package: nothing written" test ! -e "$work/out.exe"

# Relative paths from a directory with blanks and non-ASCII letters; the summary names both.
mkdir -p "$work/My Setup Jérôme"
cp "$packages/sample.msi" "$work/My Setup Jérôme/app.msi"
(cd "$work/My Setup Jérôme" && "$pack" app.msi -o "dist/app setup.exe" >"$work/out" 2>"$work/err")
code=$?
check "relative paths: exit code 0" test "$code" -eq 0
check "relative paths: the launcher is where asked" test -s "$work/My Setup Jérôme/dist/app setup.exe"
check "relative paths: a one-line summary" test "$(wc -l <"$work/out")" -eq 1
check "relative paths: the summary names the product code" has out "ProductCode {100863FF-45AF-4660-A9BB-5F26D5F08205}"
check "relative paths: nothing on standard error" test ! -s "$work/err"
pack_run "$work/My Setup Jérôme/app.msi" -o "$work/My Setup Jérôme/dist/app setup.exe"
check "an existing launcher without --force: exit code 3" test "$code" -eq 3
check "an existing launcher without --force: says how" has err "exists; add --force to replace it"

# A package of 70 MiB (a stream of random bytes added to the sample): progress on standard error,
# and its launcher installs it.
large="$work/large.msi"
cp "$packages/sample.msi" "$large"
head -c $((70 * 1024 * 1024)) /dev/urandom >"$work/filler.bin"
msibuild "$large" -a filler "$work/filler.bin"
pack_run "$large" -o "$work/large-setup.exe"
check "a large package: exit code 0" test "$code" -eq 0
check "a large package: progress by tenths" test "$(grep -c '% of 70' "$work/err")" -ge 9
check "a large package: progress ends at 100%" has err "100% of 70"
mkdir -p "$work/temp"
run_launcher() {
  "$wine" "$runwin" --env "TEMP=$(windows_path "$work/temp")" --env "TMP=$(windows_path "$work/temp")" \
    -- "$(windows_path "$work/large-setup.exe")" "$@" | tr -d '\r' | sed -n 's/^exit code: //p'
}
check "a large package: its launcher installs it" test "$(run_launcher /qn)" = 0
check "a large package: the product's file is there" test -f "$LODESTAR_WINEPREFIX/drive_c/Program Files/Lodestar Sample/payload.txt"
check "a large package: its launcher removes it" test "$(run_launcher uninstall)" = 0
check "a large package: no working directory left" test -z "$(ls -A "$work/temp")"

[[ $failures -eq 0 ]] && echo "PASS" || exit 1
