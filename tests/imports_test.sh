#!/usr/bin/env bash
# Fails when any executable of the build imports a DLL that is not part of Windows itself.
set -euo pipefail
objdump=$1
allowed='^(kernel32|user32|shell32|shlwapi|ole32|oleaut32|advapi32|msvcrt|msi|version|imagehlp|gdi32|comctl32|ws2_32|ntdll|api-ms-win-crt-[a-z0-9-]+)\.dll$'

# The build's own programs only: not Wine's (in the prefixes), nor the tests' scratch copies, nor the
# benchmark's peers.
mapfile -t exes < <(find "$LODESTAR_BUILD_DIR" \( -name '*wineprefix*' -o -name bench-run -o -name CMakeFiles -o -name '* *' \) -prune \
                      -o -name '*.exe' -print | sort)
[[ ${#exes[@]} -gt 0 ]] || { echo "no executables found under $LODESTAR_BUILD_DIR"; exit 1; }

bad=0
for exe in "${exes[@]}"; do
  while read -r dll; do
    if ! [[ ${dll,,} =~ $allowed ]]; then
      echo "FAIL: $(basename "$exe") imports $dll"
      bad=1
    fi
  done < <("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done
echo "${#exes[@]} executables checked"
exit $bad
