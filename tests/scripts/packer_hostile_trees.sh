#!/usr/bin/env bash
# Trees somebody else could write, packed and extracted: no link below the package's folder is
# followed by either packer (unless --follow-links), and neither extractor writes through a link
# below its target, each saying so in the same words; a file is named only once it is checked; the
# native packer publishes without replacing on file systems without unnamed files or hard links
# (vfat, exFAT: played by an LD_PRELOAD shim, and a real vfat image where a loop mount is allowed)
# and refuses up front, without --force, where renames cannot refuse to replace; the launcher
# extracts to \\?\ and UNC paths; two files that are one name for Windows are refused even when
# one of them is spelled as the package spells it.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
native=$LODESTAR_NATIVE_PACK
shim=$LODESTAR_VFAT_SHIM

make_scratch "hostile trees"
# pack_with PACKER ARGS...: pack_run with PACKER.
pack_with() {
  local pack=$1
  shift
  pack_run "$@"
}
# The path as the packer in use prints it: Linux paths natively, Z:\ paths under Wine.
shown() { if [[ $1 == "$native" ]]; then printf '%s' "$2"; else windows_path "$2"; fi; }
packers=("$native" "$build/bin/lodestar-pack")
name_of() { if [[ $1 == "$native" ]]; then echo native; else echo lodestar-pack.exe; fi; }

secret="$scratch/secret.txt"
echo "not for any launcher" >"$secret"
elsewhere="$scratch/elsewhere"
mkdir -p "$elsewhere"

# ---------------------------------------------------------------------------------------------
# Links beside the package: files and folders, absolute and relative targets

# tree PLANT: a fresh copy of the loose test package (its files under "Loose Source") at
# $scratch/tree, changed by the shell command PLANT run inside it.
tree() {
  rm -rf "$scratch/tree" "$elsewhere/data"
  cp -r "$packages/loose" "$scratch/tree"
  (cd "$scratch/tree" && eval "$1")
}
out="$scratch/packed"
link_cases=(
  "a file, absolute|rm 'Loose Source/payload.txt'; ln -s '$secret' 'Loose Source/payload.txt'|Loose Source/payload.txt"
  "a file, relative|rm 'Loose Source/payload.txt'; ln -s data/data.txt 'Loose Source/payload.txt'|Loose Source/payload.txt"
  "a folder on the way, absolute|mv 'Loose Source/data' '$elsewhere/data'; ln -s '$elsewhere/data' 'Loose Source/data'|Loose Source/data"
  "a folder on the way, relative|mv 'Loose Source' real; ln -s real 'Loose Source'|Loose Source"
)
# Wine shows a Linux symbolic link to a file as that file, with no reparse point on the path or
# the handle (a link to a folder it marks as one): there only the native packer can be asked.
# Windows marks both, and lodestar-pack.exe looks at both.
for entry in "${link_cases[@]}"; do
  IFS='|' read -r what plant link <<<"$entry"
  tree "$plant"
  asked=("$native")
  [[ $what == "a folder"* ]] && asked=("${packers[@]}")
  for pack in "${asked[@]}"; do
    rm -rf "$out" && mkdir -p "$out"
    pack_with "$pack" "$scratch/tree/loose.msi" -o "$out/setup.exe"
    who="$(name_of "$pack"): $what"
    expect_eq "$who: exit code" 2 "$code"
    check "$who: names the link" has err "$(shown "$pack" "$scratch/tree/$link") is a link"
    check "$who: names the option that allows it" has err "unless --follow-links is given"
    check "$who: nothing written" empty_dir "$out"
  done
  rm -rf "$out" && mkdir -p "$out"
  pack_with "$native" "$scratch/tree/loose.msi" -o "$out/setup.exe" --follow-links
  expect_eq "native: $what, with --follow-links: exit code" 0 "$code"
done
# The package's own folder, -o and DIR resolve as usual: a link to the package's folder is fine.
ln -s "$scratch/tree" "$scratch/tree link"
tree ""
rm -rf "$out" && mkdir -p "$out"
pack_with "$native" "$scratch/tree link/loose.msi" -o "$out/setup.exe"
expect_eq "a link to the package's folder itself: exit code" 0 "$code"

# Two entries that are one name for Windows, one of them spelled as the package spells it.
tree "cp 'Loose Source/payload.txt' 'Loose Source/PAYLOAD.TXT'"
for pack in "${packers[@]}"; do
  pack_with "$pack" "$scratch/tree/loose.msi" -o "$out/twins.exe"
  who="$(name_of "$pack"): case twins"
  if [[ $pack == "$native" ]]; then
    expect_eq "$who: exit code" 2 "$code"
    check "$who: both named" grep -q "'payload.txt'.*'PAYLOAD.TXT'\|'PAYLOAD.TXT'.*'payload.txt'" "$scratch/err"
  else
    # Windows itself finds one file for both names: the Windows packer is not asked.
    expect_eq "$who (Windows finds one of them itself): exit code" 0 "$code"
  fi
done

# ---------------------------------------------------------------------------------------------
# Extractors through planted links, with and without --force

tree ""
launcher="$scratch/loose-setup.exe"
pack_with "$native" "$scratch/tree/loose.msi" -o "$launcher"
expect_eq "the launcher to extract: exit code" 0 "$code"
target="$scratch/target"
refusal_of() { printf '%s is a link, and nothing is extracted through a link' "$1"; }
for pack in "${packers[@]}"; do
  for force in "" --force; do
    rm -rf "$target" && mkdir -p "$target" && ln -s "$elsewhere" "$target/Loose Source"
    pack_with "$pack" --extract "$launcher" -o "$target" $force
    who="$(name_of "$pack") --extract ${force:-without --force} through a linked folder"
    expect_eq "$who: exit code" 3 "$code"
    check "$who: the refusal" has err "$(refusal_of "$(shown "$pack" "$target/Loose Source")")"
    check "$who: nothing written where the link points" empty_dir "$elsewhere"
    check "$who: nothing written in the target" is "$(ls -A "$target")" "Loose Source"
  done
done
temp="$scratch/temp"
mkdir -p "$temp"
run --env LODESTAR_DEBUG=true "$launcher" extract "$(windows_path "$target")"
sed -i 's/\r$//' "$scratch/stdout" "$scratch/stderr"
expect_eq "the launcher's extract through a linked folder: exit code" -1 "$code"
check "the launcher's extract: the same refusal" \
  grep -qF "$(refusal_of "$(windows_path "$target/Loose Source")")" "$scratch/stderr"
check "the launcher's extract: nothing written where the link points" empty_dir "$elsewhere"
# A link where a file goes is a file that exists: replaced only with --force, and then the link
# itself, never what it points to.
rm -rf "$target" && mkdir -p "$target" && ln -s "$secret" "$target/loose.msi"
pack_with "$native" --extract "$launcher" -o "$target"
expect_eq "native --extract over a link where a file goes: exit code" 3 "$code"
pack_with "$native" --extract "$launcher" -o "$target" --force
expect_eq "native --extract --force over a link where a file goes: exit code" 0 "$code"
check "native --extract --force: the link is replaced by the file" cmp "$scratch/tree/loose.msi" "$target/loose.msi"
expect_eq "native --extract --force: what the link pointed to is untouched" "not for any launcher" "$(cat "$secret")"

# A damaged carried file is never seen under its name, not even while it is being checked: a
# cabinet of 48 MiB with one byte changed inside the launcher, the folder watched while both
# extractors run.
big="$scratch/big"
cp -r "$packages/cabinet" "$big"
{ printf MSCF; head -c $((48 * 1024 * 1024)) /dev/urandom; } >"$big/cabinet.cab"
pack_with "$native" "$big/cabinet.msi" -o "$scratch/big-setup.exe"
expect_eq "the launcher to damage: exit code" 0 "$code"
python3 - "$scratch/big-setup.exe" "$big/cabinet.cab" <<'EOF'
import sys
launcher, cabinet = sys.argv[1], sys.argv[2]
data = bytearray(open(launcher, "rb").read())
head = open(cabinet, "rb").read(4096)
start = data.find(head)
assert start >= 0, "the cabinet is not in the launcher"
data[start + 40 * 1024 * 1024] ^= 0xFF
open(launcher, "wb").write(data)
EOF
# watch_extraction DIR NAME COMMAND...: runs COMMAND in the background; `seen` says whether DIR/NAME
# appeared while it ran.
watch_extraction() {
  local dir=$1 name=$2
  shift 2
  "$@" >"$scratch/out" 2>"$scratch/err" &
  local pid=$!
  seen=no
  while kill -0 "$pid" 2>/dev/null; do
    [[ -e $dir/$name ]] && seen=yes
    sleep 0.002
  done
  wait "$pid"
  code=$?
}
rm -rf "$target"
watch_extraction "$target" cabinet.cab "$native" --extract "$scratch/big-setup.exe" -o "$target"
expect_eq "native --extract of a damaged launcher: exit code" 2 "$code"
expect_eq "native --extract: the damaged cabinet appeared under its name" no "$seen"
rm -rf "$target"
watch_extraction "$target" cabinet.cab "$wine" "$runwin" -- "$(windows_path "$scratch/big-setup.exe")" extract \
  "$(windows_path "$target")"
code=$(exit_code_of "$scratch/out")
expect_eq "the launcher's extract of a damaged launcher: exit code" -1 "$code"
expect_eq "the launcher's extract: the damaged cabinet appeared under its name" no "$seen"
check "the launcher's extract: says it is damaged" grep -q "This setup is damaged: cabinet.cab is not what was packed" \
  "$scratch/err"
check "the launcher's extract: nothing left" test ! -e "$target"

# ---------------------------------------------------------------------------------------------
# Publishing where there are no unnamed files and no hard links

if [[ -f $shim ]]; then
  for kind in launcher extract; do
    rm -rf "$out" && mkdir -p "$out"
    if [[ $kind == launcher ]]; then
      args=("$scratch/tree/loose.msi" -o "$out/setup.exe")
    else
      args=(--extract "$launcher" -o "$out")
    fi
    pack_with env LD_PRELOAD="$shim" "$native" "${args[@]}"
    expect_eq "as on vfat ($kind): exit code" 0 "$code"
    check "as on vfat ($kind): no partial file left" test -z "$(find "$out" -name '*.partial')"
    pack_with env LD_PRELOAD="$shim" "$native" "${args[@]}"
    expect_eq "as on vfat ($kind), again without --force: exit code" 3 "$code"
    check "as on vfat ($kind), again: says how" has err "add --force to replace it"
    rm -rf "$out" && mkdir -p "$out"
    pack_with env LD_PRELOAD="$shim" LODESTAR_SHIM_NO_RENAME_FLAGS=1 "$native" "${args[@]}"
    expect_eq "no rename flags ($kind), without --force: exit code" 3 "$code"
    check "no rename flags ($kind): names the file system's limit" \
      has err "can neither link a file nor rename one without replacing another"
    check "no rename flags ($kind): nothing written" empty_dir "$out"
    pack_with env LD_PRELOAD="$shim" LODESTAR_SHIM_NO_RENAME_FLAGS=1 "$native" "${args[@]}" --force
    expect_eq "no rename flags ($kind), with --force: exit code" 0 "$code"
  done
  # Without /proc an unnamed file could never be named: the packer finds that out before it writes.
  rm -rf "$out" && mkdir -p "$out"
  pack_with env LD_PRELOAD="$shim" LODESTAR_SHIM_NO_PROC=1 "$native" "$scratch/tree/loose.msi" -o "$out/setup.exe"
  expect_eq "without /proc: exit code" 0 "$code"
  check "without /proc: the launcher is there" test -s "$out/setup.exe"
else
  fail "the file-system shim is missing: $shim"
fi
# A real vfat file system, where this machine lets a loop device be mounted.
vfat="$scratch/vfat"
mkdir -p "$vfat"
if command -v mkfs.vfat >/dev/null && truncate -s 64M "$scratch/vfat.img" && mkfs.vfat "$scratch/vfat.img" >/dev/null 2>&1 &&
  mount -o loop "$scratch/vfat.img" "$vfat" 2>/dev/null; then
  mounts+=("$vfat")
  pack_with "$native" "$scratch/tree/loose.msi" -o "$vfat/setup.exe"
  expect_eq "a real vfat file system: exit code" 0 "$code"
  check "a real vfat file system: no partial file left" test -z "$(find "$vfat" -name '*.partial')"
else
  echo "note: no vfat image could be mounted here; the shim stands in for it"
fi

# ---------------------------------------------------------------------------------------------
# The launcher's extract to \\?\ and UNC paths (Wine maps \\server\share to dosdevices/unc)

long="$scratch/long"
run "$launcher" extract "\\\\?\\$(windows_path "$long")\\a\\b"
expect_eq "extract to a \\\\?\\ path: exit code" 0 "$code"
check "extract to a \\\\?\\ path: the package is there" cmp "$scratch/tree/loose.msi" "$long/a/b/loose.msi"
share="lodestar-test-$$"
mkdir -p "$prefix/dosdevices/unc/localhost" "$scratch/share"
ln -sfn "$scratch/share" "$prefix/dosdevices/unc/localhost/$share"
trap 'rm -f "$prefix/dosdevices/unc/localhost/$share"; remove_scratch' EXIT
run "$launcher" extract "\\\\localhost\\$share\\x\\y"
expect_eq "extract to a UNC path: exit code" 0 "$code"
check "extract to a UNC path: the package is there" cmp "$scratch/tree/loose.msi" "$scratch/share/x/y/loose.msi"
check "extract to a UNC path: its folders too" \
  cmp "$scratch/tree/Loose Source/data/data.txt" "$scratch/share/x/y/Loose Source/data/data.txt"
rm -f "$prefix/dosdevices/unc/localhost/$share"

finish
