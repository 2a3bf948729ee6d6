#!/usr/bin/env bash
# Recursive deletion does not follow a link, inside the tree or as the tree itself (a working
# directory renamed away and replaced by a link): the directory it points to, and the files in
# it, survive. (Wine shows a Linux symbolic link to a directory as a directory with the
# reparse-point attribute, as Windows shows a junction; a Windows program cannot make one in Wine.)
set -euo pipefail
source "$(dirname "$0")/lib.sh"

child="$tests/files_child.exe"
make_scratch "files links"

tree="$scratch/tree Jérôme Αθήνα 東京"
mkdir -p "$tree/sub dir" "$scratch/outside"
echo keep >"$scratch/outside/precious.txt"
echo a >"$tree/a.txt"
echo b >"$tree/sub dir/b.txt"
ln -s "$scratch/outside" "$tree/sub dir/link"

status=0
output=$(FILES_CHILD_MODE=deltree "$wine" "$child" "$(windows_path "$tree")" 2>&1) || status=$?

check "the file behind the link survives" test -f "$scratch/outside/precious.txt"
check "the tree's own files are deleted" test ! -e "$tree/a.txt" -a ! -e "$tree/sub dir/b.txt"
case $status in
  0) check "success reported and the tree is gone" test ! -e "$tree" ;;
  4) # Wine cannot remove a Linux link through RemoveDirectory: the link stays, reported as a failure.
     check "only the link is left: $(find "$tree" -mindepth 1)" \
       is "$(find "$tree" -mindepth 1 | sort)" "$(printf '%s\n%s' "$tree/sub dir" "$tree/sub dir/link")" ;;
  *) fail "files_child exited with $status: $output" ;;
esac

# The root itself is a link: only the link may go.
mkdir -p "$scratch/target dir"
echo keep >"$scratch/target dir/precious.txt"
ln -s "$scratch/target dir" "$scratch/root link"
status=0
output=$(FILES_CHILD_MODE=deltree "$wine" "$child" "$(windows_path "$scratch/root link")" 2>&1) || status=$?
check "a root link is not followed: the file behind it survives" test -f "$scratch/target dir/precious.txt"
check "a root link is not followed: the directory behind it survives" test -d "$scratch/target dir"
case $status in
  0) check "success reported and the root link is gone" test ! -e "$scratch/root link" -a ! -L "$scratch/root link" ;;
  4) check "failure reported and the root link is still there" test -L "$scratch/root link" ;;
  *) fail "files_child exited with $status for the root link: $output" ;;
esac

echo "files_child exit status for the root link: $status"
finish
