#!/usr/bin/env bash
# Recursive deletion does not follow a link, inside the tree or as the tree itself (a working
# directory renamed away and replaced by a link): the directory it points to, and the files in
# it, survive. (Wine shows a Linux symbolic link to a directory as a directory with the
# reparse-point attribute, as Windows shows a junction; a Windows program cannot make one in Wine.)
set -euo pipefail
export LC_ALL=C.UTF-8

child="$LODESTAR_BUILD_DIR/tests/files_child.exe"
work=$(mktemp -d "$LODESTAR_BUILD_DIR/files links.XXXXXX")
trap 'rm -rf "$work"' EXIT

tree="$work/tree Jérôme Αθήνα 東京"
mkdir -p "$tree/sub dir" "$work/outside"
echo keep >"$work/outside/precious.txt"
echo a >"$tree/a.txt"
echo b >"$tree/sub dir/b.txt"
ln -s "$work/outside" "$tree/sub dir/link"

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
status=0
output=$(FILES_CHILD_MODE=deltree "$LODESTAR_WINE_RUN" "$child" "$(windows_path "$tree")" 2>&1) || status=$?

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[[ -f "$work/outside/precious.txt" ]] || fail "the file behind the link was deleted"
[[ ! -e "$tree/a.txt" && ! -e "$tree/sub dir/b.txt" ]] || fail "the tree's own files were not deleted"
case $status in
  0) [[ ! -e "$tree" ]] || fail "success reported but the tree is still there" ;;
  4) # Wine cannot remove a Linux link through RemoveDirectory: the link stays, reported as a failure.
     [[ "$(find "$tree" -mindepth 1 | sort)" == "$(printf '%s\n%s' "$tree/sub dir" "$tree/sub dir/link")" ]] ||
       fail "more than the link is left: $(find "$tree" -mindepth 1)" ;;
  *) fail "files_child exited with $status: $output" ;;
esac

# The root itself is a link: only the link may go.
mkdir -p "$work/target dir"
echo keep >"$work/target dir/precious.txt"
ln -s "$work/target dir" "$work/root link"
status=0
output=$(FILES_CHILD_MODE=deltree "$LODESTAR_WINE_RUN" "$child" "$(windows_path "$work/root link")" 2>&1) || status=$?
[[ -f "$work/target dir/precious.txt" ]] || fail "a root link was followed: the file behind it was deleted"
[[ -d "$work/target dir" ]] || fail "a root link was followed: the directory behind it was deleted"
case $status in
  0) [[ ! -e "$work/root link" && ! -L "$work/root link" ]] || fail "success reported but the root link is still there" ;;
  4) [[ -L "$work/root link" ]] || fail "failure reported but the root link is gone" ;;
  *) fail "files_child exited with $status for the root link: $output" ;;
esac

if [[ $failures -ne 0 ]]; then
  exit 1
fi
echo "PASS: the link was not followed (files_child exit status $status)"
