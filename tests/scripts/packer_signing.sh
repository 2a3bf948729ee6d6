#!/usr/bin/env bash
# The signing order that works: sign the package, pack it, sign the launcher. The launcher's
# signature verifies, lodestar-pack --info sees it, the launcher installs under Wine, the package
# it carries is the signed one byte for byte, and one changed byte of that package breaks the
# launcher's signature and is named by --info.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$build/bin/lodestar-pack

make_scratch "packer signing"
cd "$scratch"
check_log="$scratch/log"
verifies() { osslsigncode verify -CAfile cert.pem -in "$1"; }
fails_to_verify() { ! osslsigncode verify -CAfile cert.pem -in "$1"; }

# A throw-away code-signing certificate.
check "a throw-away certificate" openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Lodestar Test Signer" -addext "extendedKeyUsage=codeSigning"
sign() { osslsigncode sign -certs cert.pem -key key.pem -n "Lodestar Sample" -in "$1" -out "$2"; }

check "the package is signed" sign "$tests/packages/sample.msi" signed.msi
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

# lodestar-pack --info sees the signature and still reads every carried byte before it. The
# value at a dotted PATH of lodestar-pack --info --json LAUNCHER:
info_field() {
  "$pack" --info "$1" --json |
    /usr/bin/python3 -c 'import functools, json, sys; print(functools.reduce(lambda v, k: v[k], sys.argv[1].split("."), json.load(sys.stdin)))' "$2"
}
expect_eq "--info: the unsigned launcher" False "$(info_field setup.exe signed)"
expect_eq "--info: the signed launcher" True "$(info_field signed-setup.exe signed)"
expect_eq "--info: the signed launcher's SHA-256" "$(sha256sum signed-setup.exe | cut -d' ' -f1)" \
  "$(info_field signed-setup.exe launcher.sha256)"
expect_eq "--info: the signed package inside it" "$(sha256sum signed.msi | cut -d' ' -f1)" \
  "$(info_field signed-setup.exe package.sha256)"

temp="$scratch/temp"
mkdir "$temp"
run "$scratch/signed-setup.exe" /qn
check "the signed launcher installs" is "$code" 0
run "$scratch/signed-setup.exe" uninstall
check "the signed launcher uninstalls" is "$code" 0

# One byte in the middle of the carried package, changed.
cp signed-setup.exe tampered.exe
byte_at=$(( ${offset:-0} + size / 2 ))
old=$(od -An -tu1 -j "$byte_at" -N1 tampered.exe | tr -d ' ')
printf "\\x$(printf %02x $(( (old + 1) % 256 )))" | dd of=tampered.exe bs=1 seek="$byte_at" conv=notrunc status=none
check "one changed byte of the carried package breaks the signature" fails_to_verify tampered.exe
"$pack" --info tampered.exe >/dev/null 2>"$scratch/info-err"
code=$?
expect_eq "--info: the changed byte, exit code" 2 "$code"
check "--info: the changed byte, named" grep -qF "is damaged: signed.msi does not match its index" "$scratch/info-err"

finish
