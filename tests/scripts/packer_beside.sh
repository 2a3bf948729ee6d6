#!/usr/bin/env bash
# lodestar-pack's refusals of packages whose files beside them it cannot carry, through its
# command line: a file missing, unreadable or no cabinet; a name that would not stay below the
# package's folder, that clashes with another in case only, or with the package itself; more than a
# launcher can hold. Each ends with exit code 2, one line naming the file and the table row that
# asks for it, and nothing written. The sizes are sparse files: lodestar-pack must decide from
# them before it reads a byte, and the files it was not to read keep their access times.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$build/bin/lodestar-pack

make_scratch "packer beside"
out="$scratch/packed"

# copy_case NAME PACKAGE: a copy of the test package PACKAGE's folder at $scratch/NAME; sets
# `dir` (its Windows path, as messages show it) and `package`.
copy_case() {
  rm -rf "${scratch:?}/$1"
  cp -r "$packages/$2" "$scratch/$1"
  dir=$(windows_path "$scratch/$1")
  package="$scratch/$1/$2.msi"
}
query() {  # QUERY...: run on $package
  local sql arguments=()
  for sql in "$@"; do arguments+=(-q "$sql"); done
  msibuild "$package" "${arguments[@]}"
}

# Runs lodestar-pack on $package into an empty folder.
pack_case() {
  rm -rf "$out"
  mkdir -p "$out"
  pack_run "$package" -o "$out/setup.exe"
}

# expect_refusal WHAT MESSAGE: exit code 2, exactly "lodestar-pack: MESSAGE" on stderr, nothing
# on stdout, nothing in the output folder (not even a staged file).
expect_refusal() {
  check "$1: exit code 2" is "$code" 2
  check "$1: the message is [$2]" is "$(text_of "$scratch/err")" "lodestar-pack: $2"
  check "$1: nothing on stdout" test ! -s "$scratch/out"
  check "$1: nothing written" empty_dir "$out"
}

# ---------------------------------------------------------------------------------------------
# Files missing, unreadable, or no cabinet

# missing CASE PACKAGE PATH ROW: PATH (relative to the package's folder) removed; ROW asks for it.
missing() {
  copy_case "$1" "$2"
  rm -r "${scratch:?}/$1/$3"
  pack_case
  local file=${4#*=}
  expect_refusal "$1" "$dir\\${file//\//\\}, which ${4%%=*} of $2.msi names, is missing: the package cannot be installed without it"
}
missing missing-cabinet cabinet cabinet.cab "the Media table's row 1 (Cabinet 'cabinet.cab')=cabinet.cab"
missing missing-second-cabinet cabinets 'second é.cab' "the Media table's row 2 (Cabinet 'second é.cab')=second é.cab"
missing missing-loose-file loose 'Loose Source/data/data.txt' "the File table's row 'DataFile'=Loose Source/data/data.txt"
missing missing-loose-folder loose 'Loose Source' "the File table's row 'PayloadFile'=Loose Source/payload.txt"
missing missing-short-name shortnames LSDIR/PAYSHORT.TXT "the File table's row 'PayloadFile'=LSDIR/PAYSHORT.TXT"

copy_case unreadable cabinet
rm "$scratch/unreadable/cabinet.cab"
mkdir "$scratch/unreadable/cabinet.cab"
pack_case
expect_refusal "a folder where the cabinet should be" "$dir\\cabinet.cab, which the Media table's row 1 (Cabinet 'cabinet.cab') of cabinet.msi names, cannot be read ($dir\\cabinet.cab is a directory)"

for content in '' 'MSC' 'mscf and more' 'MSCD and more' 'PK zip'; do
  copy_case not-a-cabinet cabinet
  printf '%s' "$content" >"$scratch/not-a-cabinet/cabinet.cab"
  pack_case
  expect_refusal "a cabinet holding [$content]" "$dir\\cabinet.cab, which the Media table's row 1 (Cabinet 'cabinet.cab') of cabinet.msi names, is no cabinet: it does not start with MSCF"
done

# ---------------------------------------------------------------------------------------------
# Names that cannot lie below the package's folder

# bad_cabinet_name NAME PROBLEM [SHOWN]: the cabinet package naming the cabinet NAME, which the
# message shows as SHOWN (its control characters escaped) when given.
bad_cabinet_name() {
  local shown=${3:-$1}
  copy_case bad-name cabinet
  query "UPDATE Media SET Cabinet='$1'"
  pack_case
  expect_refusal "Cabinet '$shown'" "cabinet.msi: the Media table's row 1 (Cabinet '$shown') names '$shown', which cannot lie below the package's folder: $2"
}
bad_cabinet_name '..\cabinet.cab' 'one of its parts is ..'
bad_cabinet_name 'sub\..\..\cabinet.cab' 'one of its parts is ..'
bad_cabinet_name '.\cabinet.cab' 'one of its parts is .'
bad_cabinet_name 'sub\\cabinet.cab' 'one of its parts is empty'
bad_cabinet_name 'sub/' 'one of its parts is empty'
bad_cabinet_name '\cabinet.cab' 'it is absolute'
bad_cabinet_name '/cabinet.cab' 'it is absolute'
bad_cabinet_name '\\server\share\cabinet.cab' 'it is absolute'
bad_cabinet_name 'C:\cabinet.cab' 'it holds a colon (a drive or a stream)'
bad_cabinet_name 'C:cabinet.cab' 'it holds a colon (a drive or a stream)'
bad_cabinet_name 'cabinet.cab:stream' 'it holds a colon (a drive or a stream)'
bad_cabinet_name $'cabinet\t.cab' 'it holds a control character' 'cabinet\x09.cab'
bad_cabinet_name $'sub\x1f\\cabinet.cab' 'it holds a control character' 'sub\x1f\cabinet.cab'
for character in '<' '>' '"' '|' '?' '*'; do
  bad_cabinet_name "cab${character}inet.cab" "it holds the character $character"
done
bad_cabinet_name 'cabinet.cab.' 'a part of it ends in a dot or a blank, which Windows drops'
bad_cabinet_name 'cabinet.cab ' 'a part of it ends in a dot or a blank, which Windows drops'
bad_cabinet_name 'sub.\cabinet.cab' 'a part of it ends in a dot or a blank, which Windows drops'
bad_cabinet_name 'CON' 'a part of it names a device (CON)'
bad_cabinet_name 'nul.cab' 'a part of it names a device (nul.cab)'
bad_cabinet_name 'sub\Com1.tar.cab' 'a part of it names a device (Com1.tar.cab)'
bad_cabinet_name 'lpt9\cabinet.cab' 'a part of it names a device (lpt9)'

# Names made from the Directory and File tables: the source name, and the short one when the
# package says its source names are short.
bad_file_name() {  # CASE PACKAGE NAME PROBLEM QUERY...
  copy_case "$1" "$2"
  query "${@:5}"
  pack_case
  expect_refusal "$1" "$2.msi: the File table's row 'PayloadFile' names '$3', which cannot lie below the package's folder: $4"
}
bad_file_name source-dotdot loose '..\payload.txt' 'one of its parts is ..' \
  "UPDATE Directory SET DefaultDir='Lodestar Loose:..' WHERE Directory='INSTALLDIR'"
bad_file_name source-device loose 'AUX\payload.txt' 'a part of it names a device (AUX)' \
  "UPDATE Directory SET DefaultDir='Lodestar Loose:AUX' WHERE Directory='INSTALLDIR'"
bad_file_name file-drive loose 'C:\payload.txt' 'a file name holds a separator' \
  "UPDATE File SET FileName='C:\payload.txt' WHERE File='PayloadFile'"
bad_file_name short-dot shortnames 'LSDIR.\PAYSHORT.TXT' 'a part of it ends in a dot or a blank, which Windows drops' \
  "UPDATE Directory SET DefaultDir='LSDIR.|Lodestar Short' WHERE Directory='INSTALLDIR'"

# ---------------------------------------------------------------------------------------------
# Names Windows cannot hold side by side, and the package's own places

copy_case case-clash cabinets
query "UPDATE Media SET Cabinet='FIRST.CAB' WHERE DiskId=2"
pack_case
expect_refusal "two cabinets differing in case" "cabinets.msi: the Media table's row 1 (Cabinet 'first.cab') names 'first.cab' and the Media table's row 2 (Cabinet 'FIRST.CAB') names 'FIRST.CAB': Windows cannot hold both, as the names differ only in case"
copy_case case-clash loose
query "UPDATE Media SET Cabinet='loose source\PAYLOAD.TXT'"
pack_case
expect_refusal "a cabinet and a file differing in case" "loose.msi: the Media table's row 1 (Cabinet 'loose source\PAYLOAD.TXT') names 'loose source\PAYLOAD.TXT' and the File table's row 'PayloadFile' names 'Loose Source\payload.txt': Windows cannot hold both, as the names differ only in case"
copy_case file-and-folder loose
query "UPDATE Media SET Cabinet='loose source'"
pack_case
expect_refusal "a cabinet named as a folder of files" "loose.msi: the Media table's row 1 (Cabinet 'loose source') names 'loose source' and the File table's row 'PayloadFile' names 'Loose Source\payload.txt' below a folder of that name: Windows cannot hold a file and a folder of one name"

for name in Cabinet.MSI main.msi MAIN.MSI; do
  copy_case own-name cabinet
  query "UPDATE Media SET Cabinet='$name'"
  pack_case
  expect_refusal "Cabinet '$name'" "cabinet.msi: the Media table's row 1 (Cabinet '$name') names '$name', which is where the package itself goes"
done
copy_case own-name loose
query "UPDATE Directory SET DefaultDir='Lodestar Loose:.' WHERE Directory='INSTALLDIR'" \
  "UPDATE File SET FileName='Main.msi' WHERE File='PayloadFile'"
pack_case
expect_refusal "a source file named Main.msi" "loose.msi: the File table's row 'PayloadFile' names 'Main.msi', which is where the package itself goes"

# ---------------------------------------------------------------------------------------------
# More than a launcher can hold, decided from the sizes

# Whether reading a file moves its access time here (relatime does when it is older than the
# file's last change): only then can the access times tell that lodestar-pack read nothing.
probe="$scratch/probe"
echo probe >"$probe"
touch -a -d 2001-01-01 "$probe"
cat "$probe" >/dev/null
atimes_tell=yes
if [[ $(stat -c %X "$probe") -le $(date -d 2001-01-02 +%s) ]]; then
  atimes_tell=""
  echo "note: reading does not move access times here; whether the large files were read is not checked"
fi
mark_unread() { touch -a -d 2001-01-01 "$1"; }
expect_unread() {  # WHAT FILE
  [[ -n $atimes_tell ]] && check "$1: not read" test "$(stat -c %X "$2")" -eq "$(date -d 2001-01-01 +%s)"
}

# sparse FILE SIZE [FIRST BYTES]
sparse() {
  rm -rf "$1"
  printf '%s' "${3-}" >"$1"
  truncate -s "$2" "$1"
}

largest_image=2147479552  # pe::kLargestImage
# expect_too_large WHAT CARRIED: the launcher would be larger than Windows loads, by at least the
# CARRIED bytes.
expect_too_large() {
  local size
  size=$(sed -n 's/.* would make a launcher of \(more than \)\{0,1\}\([0-9]*\) bytes in memory.*/\2/p' "$scratch/err")
  local more=""
  grep -q ' would make a launcher of more than ' "$scratch/err" && more="more than "
  expect_refusal "$1" "$(windows_path "$package") and the files beside it would make a launcher of $more${size:-?} bytes in memory; Windows loads no executable over $largest_image bytes (2 GiB)"
  check "$1: the launcher's size [${size:-?}] counts every carried byte" test "${size:-0}" -ge "$2"
}
package_size=$(stat -c %s "$packages/cabinet/cabinet.msi")

copy_case large-cabinet cabinet
sparse "$scratch/large-cabinet/cabinet.cab" 2G MSCF
mark_unread "$scratch/large-cabinet/cabinet.cab"
pack_case
expect_too_large "a cabinet of 2 GiB" $((2 * 1024 ** 3 + package_size))
expect_unread "a cabinet of 2 GiB, not even its signature" "$scratch/large-cabinet/cabinet.cab"

# Neither cabinet alone is too large: their sum is.
copy_case large-cabinets cabinets
sparse "$scratch/large-cabinets/first.cab" 1100M MSCF
sparse "$scratch/large-cabinets/second é.cab" 1100M MSCF
pack_case
expect_too_large "two cabinets of 1100 MiB" $((2200 * 1024 ** 2))

# Past what the executable's headers could even describe.
copy_case huge-cabinet cabinet
sparse "$scratch/huge-cabinet/cabinet.cab" 5G MSCF
pack_case
expect_too_large "a cabinet of 5 GiB" $((5 * 1024 ** 3))

copy_case large-loose loose
large="$scratch/large-loose/Loose Source/data/data.txt"
sparse "$large" 2G
mark_unread "$large"
pack_case
expect_too_large "an uncompressed file of 2 GiB" $((2 * 1024 ** 3))
expect_unread "an uncompressed file of 2 GiB" "$large"

# A package over 2 GiB; one of exactly 2 GiB is not refused for its size.
package="$scratch/huge.msi"
sparse "$package" 2147483649
mark_unread "$package"
pack_case
expect_refusal "a package of 2 GiB + 1" "$(windows_path "$package") is 2147483649 bytes: Windows Installer opens no package over 2 GiB"
expect_unread "a package of 2 GiB + 1" "$package"
sparse "$package" 2G
pack_case
check "a package of exactly 2 GiB: refused as no package, not for its size" \
  contains "$(text_of "$scratch/err")" "lodestar-pack: $(windows_path "$package") is not a compound file; lodestar-pack takes"
check "a package of exactly 2 GiB: nothing written" empty_dir "$out"
rm -f "$package"

finish
