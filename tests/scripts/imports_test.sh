#!/usr/bin/env bash
# Fails when any executable of the build imports a DLL that is not part of Windows itself, and
# when the launcher imports anything at start but kernel32 and the C runtime.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
objdump=$1
allowed='^(kernel32|user32|shell32|shlwapi|ole32|oleaut32|advapi32|msvcrt|msi|version|imagehlp|gdi32|comctl32|ws2_32|ntdll|api-ms-win-crt-[a-z0-9-]+)\.dll$'

imports_of() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }

# The build's own programs only: not Wine's (in the prefixes), nor the tests' scratch copies, nor the
# benchmark's peers.
mapfile -t exes < <(find "$build" \( -name '*wineprefix*' -o -name bench-run -o -name CMakeFiles -o -name '* *' \) -prune \
                      -o -name '*.exe' -print | sort)
[[ ${#exes[@]} -gt 0 ]] || { echo "no executables found under $build"; exit 1; }

for exe in "${exes[@]}"; do
  while read -r dll; do
    check "$(basename "$exe") imports $dll" matches "${dll,,}" "$allowed"
  done < <(imports_of "$exe")
done
echo "${#exes[@]} executables checked"

# The launcher binds everything else on first use, from the system directory, so that a DLL
# planted beside it is never the one that loads: its import table holds exactly these two.
for exe in "$build/bin/lodestar-stub.exe" "$tests/launcher/sample-setup.exe"; do
  check "$exe is built" test -f "$exe"
  mapfile -t dlls < <(imports_of "$exe")
  for dll in "${dlls[@]}"; do
    check "$(basename "$exe") imports $dll at start, but only KERNEL32.dll and msvcrt.dll may be there: calls into\
 user32, shell32, shlwapi, ole32 or advapi32 go through LD_SYSTEM_FUNCTION (windows/native/common/WinDll.h)" \
      matches "${dll,,}" '^(kernel32|msvcrt)\.dll$'
  done
  for dll in kernel32.dll msvcrt.dll; do
    check "$(basename "$exe") imports $dll" matches " ${dlls[*],,} " " ${dll//./\\.} "
  done
done

finish
