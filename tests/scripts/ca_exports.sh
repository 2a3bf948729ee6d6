#!/bin/bash
# The custom-action DLL exports its entry points under the plain names the package's
# CustomAction table gives (no decoration such as _CaImmediate@4), and nothing else of its own.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
objdump=$1
dll=$2

exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' |
          sed -E 's/^\s+\[\s*[0-9]+\]\s+//' | sort)
expect_eq "export names of $dll" $'CaDeferred\nCaImmediate' "$exports"
finish
