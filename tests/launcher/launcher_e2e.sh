#!/usr/bin/env bash
# The launcher end to end: launchers packed from the test packages run from a Windows parent
# (runwin, which reads the full 32-bit exit code) under Wine, against Wine's real installer.
# Each launcher gets TEMP and TMP pointing at a directory of the test, so that its working
# directory can be watched.
#   launcher_e2e.sh GROUP    GROUP: install passthrough failures errors fulldisk environment debug planted
set -uo pipefail
export LC_ALL=C.UTF-8
readonly SKIP=77
group=${1:?group}

build=$LODESTAR_BUILD_DIR
wine=$LODESTAR_WINE_RUN
runwin=$build/tests/runwin.exe
launchers=$build/tests/launcher
prefix=${LODESTAR_WINEPREFIX:-$build/wineprefix}
sample_dir="$prefix/drive_c/Program Files/Lodestar Sample"
reg_key='HKLM\Software\Lodestar Tests\Sample'

scratch=$(mktemp -d "$build/launcher e2e $group.XXXXXX")
mounted=
cleanup() {
  [[ -n "$mounted" ]] && umount "$mounted" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
    echo "  exit code: ${code:-?}"
    [[ -s "$scratch/stderr" ]] && sed 's/^/  stderr: /' "$scratch/stderr" | head -20
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit
}

# Wine's Z: drive is the Linux root; a path that already names a drive is left alone.
windows_path() {
  if [[ $1 =~ ^[A-Za-z]: ]]; then printf '%s' "$1"; else printf 'Z:%s' "${1//\//\\}"; fi
}

temp="$scratch/temp"
mkdir -p "$temp"

# run [--temp DIR] [runwin options...] EXE [ARGS...]: sets `code`, stdout and stderr in files.
run() {
  local use_temp=$temp
  if [[ $1 == --temp ]]; then
    use_temp=$2
    shift 2
  fi
  local options=()
  while [[ $1 == --* ]]; do
    options+=("$1" "$2")
    shift 2
  done
  local exe=$1
  shift
  "$wine" "$runwin" --env "TEMP=$(windows_path "$use_temp")" --env "TMP=$(windows_path "$use_temp")" \
    "${options[@]}" -- "$(windows_path "$exe")" "$@" >"$scratch/stdout" 2>"$scratch/stderr"
  code=$(tr -d '\r' <"$scratch/stdout" | sed -n 's/^exit code: //p' | tail -n 1)
}

is() { [[ "$1" == "$2" ]]; }
working_dir_name() { [[ $1 =~ \\[0-9]+\.tmp\\?$ ]]; }
empty_dir() { [[ -d "$1" && -z "$(ls -A "$1")" ]]; }
no_stderr() { [[ ! -s "$scratch/stderr" ]]; }
stderr_has() { grep -qF -- "$1" "$scratch/stderr"; }
sample_installed() { [[ -f "$sample_dir/payload.txt" ]]; }
sample_absent() { [[ ! -e "$sample_dir/payload.txt" ]]; }
registry_value() {
  "$wine" reg query "$reg_key" /v "$1" /reg:64 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_SZ *//p"
}

# Leaves the sample product removed, whatever an earlier run left.
remove_sample() { run "$launchers/sample-setup.exe" uninstall; }

group_install() {
  remove_sample

  run "$launchers/sample-setup.exe"
  check "install without arguments exits 0" is "$code" 0
  check "install without arguments installs the file" sample_installed
  check "install leaves no working directory" empty_dir "$temp"
  check "install writes nothing to stderr" no_stderr

  run "$launchers/sample-setup.exe" uninstall
  check "uninstall exits 0" is "$code" 0
  check "uninstall removes the file" sample_absent
  check "uninstall writes nothing to stderr" no_stderr

  run "$launchers/sample-setup.exe" /qn
  check "install with /qn exits 0" is "$code" 0
  check "install with /qn installs the file" sample_installed
  check "install with /qn leaves no working directory" empty_dir "$temp"

  run "$launchers/sample-setup.exe" /qn REBOOT=ReallySuppress uninstall
  check "uninstall after other arguments exits 0" is "$code" 0
  check "uninstall after other arguments removes the file" sample_absent

  run "$launchers/sample-setup.exe" uninstall
  check "uninstall of a product not installed exits 1605" is "$code" 1605
  check "uninstall of a product not installed writes nothing to stderr" no_stderr
  check "uninstall creates no working directory" empty_dir "$temp"
}

group_passthrough() {
  remove_sample
  local install_dir='C:\Lodestar Tests\Jérôme Αθήνα 東京'
  run "$launchers/sample-setup.exe" /qn "GREETING=first" "GREETING=a b" 'DATAPATH=C:\Data Dir\sub' \
    "INSTALLDIR=$install_dir"
  check "install with properties exits 0" is "$code" 0
  check "a value with a blank arrives whole and the last of two arrives last" \
    is "$(registry_value Greeting)" "a b"
  check "a path value arrives unchanged" is "$(registry_value DataPath)" 'C:\Data Dir\sub'
  check "a non-ASCII install directory receives the file" \
    test -f "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
  check "the working directory is gone" empty_dir "$temp"

  run --env LODESTAR_DEBUG=true "$launchers/sample-setup.exe" Uninstall /qn
  check "Uninstall with a capital U does not remove the product" \
    test -f "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
  check "Uninstall with a capital U is forwarded to msiexec after the package" \
    grep -qE 'main\.msi"? Uninstall /qn\)' "$scratch/stderr"
  check "the working directory is gone after msiexec refused" empty_dir "$temp"

  run "$launchers/sample-setup.exe" uninstall /qn
  check "uninstall removes the relocated product" is "$code" 0
  check "the relocated file is gone" \
    test ! -e "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
}

group_failures() {
  run "$launchers/failing-setup.exe" /qn
  check "a failing custom action passes 1603 through" is "$code" 1603
  check "an installer failure shows no error text" no_stderr
  check "the working directory is gone after 1603" empty_dir "$temp"

  # Windows' installer answers 1620 for a file that is no package, Wine's 1627: either way the
  # launcher must hand back exactly what msiexec says of the same file.
  cp "$(dirname "$0")/not-a-package.txt" "$scratch/not-a-package.msi"
  run 'C:\windows\system32\msiexec.exe' /i "$(windows_path "$scratch/not-a-package.msi")" /qn
  local direct=$code
  run "$launchers/not-a-package-setup.exe" /qn
  check "a payload that is no package passes msiexec's code ($direct) through" is "$code" "$direct"
  check "msiexec refused the payload" test "$direct" != 0 -a "$direct" != -1
  check "the working directory is gone after 1620" empty_dir "$temp"

  run "$launchers/reboot-setup.exe" /qn
  check "a package that asks for a reboot passes 3010 through" is "$code" 3010
  check "the working directory is gone after 3010" empty_dir "$temp"
  run "$launchers/reboot-setup.exe" uninstall
  check "its removal passes 3010 through" is "$code" 3010
  check "a reboot request shows no error text" no_stderr
}

# The launcher's own failures: exit code -1 read in full, the raw message on stderr, nothing left.
expect_launcher_failure() {  # DESCRIPTION MESSAGE
  check "$1: exit code 0xFFFFFFFF" is "$code" -1
  check "$1: the message on stderr" stderr_has "$2"
  check "$1: no working directory or staged file left" empty_dir "$temp"
}

group_errors() {
  run "$launchers/no-msi.exe" /qn
  expect_launcher_failure "no package resource" "cannot find resource (name='msi', type='#10')"
  run "$launchers/no-product-code.exe" uninstall
  expect_launcher_failure "no product code resource" "cannot find resource (name='product_code', type='#10')"
  run "$launchers/bad-product-code.exe" uninstall
  expect_launcher_failure "a product code that is no GUID" "IIDFromString("

  run --temp "$scratch/does not exist" "$launchers/sample-setup.exe" /qn
  check "TEMP pointing nowhere: exit code 0xFFFFFFFF" is "$code" -1
  check "TEMP pointing nowhere: the message on stderr" stderr_has "createTempFile(, .tmp, "
  check "TEMP pointing nowhere: nothing was made" test ! -e "$scratch/does not exist"
}

group_fulldisk() {
  local disk="$scratch/full disk"
  mkdir -p "$disk"
  if ! error=$(mount -t tmpfs -o size=64k tmpfs "$disk" 2>&1); then
    echo "SKIP: cannot mount a tmpfs (root and permission to mount are needed): $error"
    exit $SKIP
  fi
  mounted=$disk
  local package_size
  package_size=$(stat -c %s "$build/tests/packages/sample.msi")
  # Leave room for the working directory but not for the package.
  head -c $((64 * 1024 - package_size / 2)) /dev/zero >"$disk/filler" 2>/dev/null || true
  mkdir "$disk/temp"
  run --temp "$disk/temp" "$launchers/sample-setup.exe" /qn
  check "a full disk: exit code 0xFFFFFFFF" is "$code" -1
  check "a full disk: the write failure on stderr" stderr_has "System error [112]"
  check "a full disk: no working directory or rvn file left" empty_dir "$disk/temp"
}

group_environment() {
  remove_sample
  local odd="$scratch/Temp Jérôme Αθήνα 東京"
  mkdir -p "$odd"
  run --temp "$odd" "$launchers/sample-setup.exe" /qn
  check "TEMP with blanks and non-ASCII: install exits 0" is "$code" 0
  check "TEMP with blanks and non-ASCII: the working directory is gone" empty_dir "$odd"
  remove_sample

  # Two launchers at once, each tracing the directory it made.
  local first="$scratch/first" second="$scratch/second"
  mkdir -p "$first" "$second"
  (
    "$wine" "$runwin" --env "TEMP=$(windows_path "$temp")" --env "TMP=$(windows_path "$temp")" \
      --env LODESTAR_DEBUG=true -- "$(windows_path "$launchers/not-a-package-setup.exe")" /qn \
      >"$first/stdout" 2>"$first/stderr"
  ) &
  "$wine" "$runwin" --env "TEMP=$(windows_path "$temp")" --env "TMP=$(windows_path "$temp")" \
    --env LODESTAR_DEBUG=true -- "$(windows_path "$launchers/not-a-package-setup.exe")" /qn \
    >"$second/stdout" 2>"$second/stderr"
  wait
  local dir1 dir2
  dir1=$(sed -n 's/.*Created \[\(.*\)\] directory.*/\1/p' "$first/stderr" | head -n 1)
  dir2=$(sed -n 's/.*Created \[\(.*\)\] directory.*/\1/p' "$second/stderr" | head -n 1)
  check "two launchers at once: both made a working directory" test -n "$dir1" -a -n "$dir2"
  check "two launchers at once: the directories differ" test "$dir1" != "$dir2"
  check "two launchers at once: both directories are gone" empty_dir "$temp"
  check "two launchers at once: the first name is digits then .tmp" working_dir_name "$dir1"
  check "two launchers at once: the second name is digits then .tmp" working_dir_name "$dir2"
}

group_debug() {
  run --env LODESTAR_DEBUG=true "$launchers/not-a-package-setup.exe" /qn "PROP=a b"
  check "debug run: the installer's code still comes back" test "$code" != 0 -a "$code" != -1
  check "debug run: the child's command line is traced" stderr_has 'msiexec.exe /i '
  check "debug run: the forwarded argument is quoted whole" stderr_has '"PROP=a b"'
  # The whole child command line: msiexec from the system directory, /i, the package in a fresh
  # digits-only working directory, then the arguments in order; an empty argument leaves two
  # blanks and an argument already in quotes passes unchanged.
  run --env LODESTAR_DEBUG=true "$launchers/not-a-package-setup.exe" /qn "PROP=a b" "" '"Q=x y"' 'TARGETDIR=C:\x'
  local dir_re
  dir_re=$(printf '%s' "$(windows_path "$temp")" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
  check "debug run: the exact child command line" grep -qE \
    "CreateProcess\(C:\\\\windows\\\\system32\\\\msiexec\.exe, C:\\\\windows\\\\system32\\\\msiexec\.exe /i \"$dir_re\\\\[0-9]+\.tmp\\\\main\.msi\" /qn \"PROP=a b\"  \"Q=x y\" TARGETDIR=C:\\\\x\) succeeded" \
    "$scratch/stderr"
  check "debug run: the child's PID is traced" grep -qiE 'pid[^0-9]*[0-9]+' "$scratch/stderr"
  check "debug run: the exit code is traced" stderr_has "Exit code=$code"
  check "debug run: the deletions are traced" stderr_has '] directory'
  check "debug run: records are one-line [LEVEL] file:line: message" \
    grep -qE '^\[(TRACE|INFO|WARNING|ERROR)\] [^ :]+:[0-9]+: ' "$scratch/stderr"

  run --env LODESTAR_DEBUG=TRUE "$launchers/not-a-package-setup.exe" /qn
  check "LODESTAR_DEBUG=TRUE is off: nothing on stderr" no_stderr
  run "$launchers/not-a-package-setup.exe" /qn
  check "no debug switch: nothing on stderr" no_stderr
}

group_planted() {
  remove_sample
  local dir="$scratch/Downloads"
  mkdir -p "$dir"
  local names=(msi mspatcha cabinet shell32 shlwapi ole32 user32 imm32 uxtheme comctl32 msimsg
               wintrust crypt32 sfc_os)
  local name
  for name in "${names[@]}"; do
    cp "$launchers/launcher_planted.dll" "$dir/$name.dll"
  done
  for exe in sample-setup.exe no-msi.exe; do
    cp "$launchers/$exe" "$dir/$exe"
  done
  local overrides
  overrides="$(IFS=,; echo "${names[*]}")=n,b;mscoree,mshtml="
  planted_loaded() { ls "$dir"/*.loaded >/dev/null 2>&1; }
  not_loaded() { ! planted_loaded; }

  WINEDLLOVERRIDES=$overrides run "$dir/sample-setup.exe" /qn
  check "planted DLLs: install exits 0" is "$code" 0
  check "planted DLLs: none loaded during install" not_loaded
  WINEDLLOVERRIDES=$overrides run "$dir/sample-setup.exe" uninstall
  check "planted DLLs: uninstall exits 0" is "$code" 0
  check "planted DLLs: none loaded during uninstall" not_loaded
  WINEDLLOVERRIDES=$overrides run "$dir/no-msi.exe"
  check "planted DLLs: failure exits -1" is "$code" -1
  check "planted DLLs: none loaded on the failure path" not_loaded
  planted_loaded && ls "$dir"/*.loaded
}

case "$group" in
  install | passthrough | failures | errors | fulldisk | environment | debug | planted) "group_$group" ;;
  *) echo "unknown group '$group'"; exit 2 ;;
esac
finish
