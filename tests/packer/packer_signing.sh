#!/usr/bin/env bash
# The signing order that works: sign the package, pack it, sign the launcher. The launcher's
# signature verifies, the launcher installs under Wine, the package it carries is the signed one
# byte for byte, and one changed byte of that package breaks the launcher's signature.
set -uo pipefail
export LC_ALL=C.UTF-8
build=$LODESTAR_BUILD_DIR
pack=$build/bin/lodestar-pack
runwin=$build/tests/runwin.exe
wine=$LODESTAR_WINE_RUN
export LODESTAR_WINEPREFIX=${LODESTAR_WINEPREFIX:-$build/wineprefix}

work=$(mktemp -d "$build/packer signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@" >>log 2>&1; then
    failures=$((failures + 1))
    echo "FAIL: $what"
    tail -n 15 log | sed 's/^/  /'
  fi
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
verifies() { osslsigncode verify -CAfile cert.pem -in "$1"; }
fails_to_verify() { ! osslsigncode verify -CAfile cert.pem -in "$1"; }

# A throw-away code-signing certificate.
check "a throw-away certificate" openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Lodestar Test Signer" -addext "extendedKeyUsage=codeSigning"
sign() { osslsigncode sign -certs cert.pem -key key.pem -n "Lodestar Sample" -in "$1" -out "$2"; }

check "the package is signed" sign "$build/tests/packages/sample.msi" signed.msi
check "the package's signature verifies" verifies signed.msi
check "the signed package packs" "$pack" signed.msi -o setup.exe
check "the launcher is signed" sign setup.exe signed-setup.exe
check "the launcher's signature verifies" verifies signed-setup.exe

# The carried package starts on a page of its own: find it and compare it whole.
size=$(stat -c %s signed.msi)
offset=
for ((at = 0; at < $(stat -c %s signed-setup.exe); at += 4096)); do
  if cmp -s -n 4096 -i "$at:0" signed-setup.exe signed.msi; then
    offset=$at
    break
  fi
done
check "the carried package is found on a page boundary" test -n "$offset"
check "the carried package is the signed package, byte for byte" cmp -n "$size" -i "${offset:-0}:0" signed-setup.exe signed.msi

mkdir temp
run() {
  "$wine" "$runwin" --env "TEMP=$(windows_path "$work/temp")" --env "TMP=$(windows_path "$work/temp")" \
    -- "$(windows_path "$work/signed-setup.exe")" "$@" | tr -d '\r' | sed -n 's/^exit code: //p'
}
check "the signed launcher installs" test "$(run /qn)" = 0
check "the signed launcher uninstalls" test "$(run uninstall)" = 0

# One byte in the middle of the carried package, changed.
cp signed-setup.exe tampered.exe
byte_at=$(( ${offset:-0} + size / 2 ))
old=$(od -An -tu1 -j "$byte_at" -N1 tampered.exe | tr -d ' ')
printf "\\x$(printf %02x $(( (old + 1) % 256 )))" | dd of=tampered.exe bs=1 seek="$byte_at" conv=notrunc status=none
check "one changed byte of the carried package breaks the signature" fails_to_verify tampered.exe

[[ $failures -eq 0 ]] && echo "PASS" || exit 1
