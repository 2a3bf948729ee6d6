#!/bin/bash
# The custom-action DLL exports its entry points under the plain names the package's
# CustomAction table gives (no decoration such as _CaImmediate@4), and nothing else of its own.
set -euo pipefail
objdump=$1
dll=$2

exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' |
          sed -E 's/^\s+\[\s*[0-9]+\]\s+//' | sort)
expected=$'CaDeferred\nCaImmediate'
if [[ "$exports" != "$expected" ]]; then
    echo "unexpected export names in $dll:"
    echo "$exports"
    exit 1
fi
echo "exports: $(echo $exports)"
