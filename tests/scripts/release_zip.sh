#!/usr/bin/env bash
# The Windows release package: made by cpack from this build, what it holds, and its packer run
# under Wine from where the archive was unpacked.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

make_scratch "release zip"
check_log="$scratch/log"

check "cpack makes the zip" cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch/release"
zip=$(ls "$scratch"/release/lodestar-*-win64.zip 2>/dev/null | head -n 1)
check "the zip is named lodestar-<version>-win64.zip" test -f "$zip"
listing=$(unzip -Z1 "$zip" 2>/dev/null | sed 's|^[^/]*/||')
for entry in bin/lodestar-pack.exe lib/liblodestar.a include/lodestar/Log.h include/lodestar/tstrings.h \
             lib/cmake/Lodestar/LodestarConfig.cmake lib/cmake/Lodestar/LodestarTargets.cmake \
             lib/cmake/Lodestar/LodestarInstaller.cmake share/lodestar/info.schema.json \
             share/doc/lodestar/README.md share/doc/lodestar/LICENSE; do
  check "the zip holds $entry" grep -qx "$entry" <<<"$listing"
done
check "the zip holds no Linux wrapper or test program" bash -c "! grep -qE '^bin/lodestar-pack$|test' <<<\"\$1\"" - "$listing"

unzip -q "$zip" -d "$scratch/unpacked"
packer=$(ls "$scratch"/unpacked/*/bin/lodestar-pack.exe)
"$wine" "$packer" "$(windows_path "$tests/packages/sample.msi")" -o "$(windows_path "$scratch/sample-setup.exe")" \
  >"$scratch/pack.out" 2>&1
check "its packer runs under Wine and packs" test -f "$scratch/sample-setup.exe"
"$wine" "$packer" --version >"$scratch/version.out" 2>&1
check "its packer tells its version" grep -q "^lodestar-pack [0-9]" "$scratch/version.out"

finish
