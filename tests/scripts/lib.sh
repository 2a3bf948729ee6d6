# Sourced by every end-to-end script: the build's programs, Windows paths, Windows programs run
# from a Windows parent, a scratch directory that goes away with the script, and the pass/fail
# bookkeeping. CTest gives the scripts LODESTAR_WINE_RUN, LODESTAR_BUILD_DIR and
# LODESTAR_SOURCE_DIR (lodestar_add_script_test in cmake/LodestarTesting.cmake).

# Read once, however many of a script's files source it.
[[ -z ${lodestar_test_lib-} ]] || return 0
lodestar_test_lib=loaded

export LC_ALL=C.UTF-8
readonly SKIP=77  # the tests' SKIP_RETURN_CODE

build=$LODESTAR_BUILD_DIR
source_dir=$LODESTAR_SOURCE_DIR
wine=$LODESTAR_WINE_RUN
tests=$build/tests
# The Windows parent that passes a changed environment on and reads the full 32-bit exit code.
runwin=$tests/runwin.exe
# The Wine prefix the test programs run in (the build tree's own unless the caller names another).
prefix=${LODESTAR_WINEPREFIX:-$build/wineprefix}

# Wine's Z: drive is the Linux root; a path that already names a drive is left alone.
windows_path() {
  if [[ $1 =~ ^[A-Za-z]: ]]; then printf '%s' "$1"; else printf 'Z:%s' "${1//\//\\}"; fi
}

# A Windows program's text without the carriage returns of its text-mode streams.
text_of() { tr -d '\r' <"$1"; }

# The last "exit code: N" line a Windows runner (runwin, frame_run) wrote to FILE: the child's
# full 32-bit exit status, which a Linux shell would see only as the low 8 bits.
exit_code_of() { text_of "$1" | sed -n 's/^exit code: //p' | tail -n 1; }

# ---------------------------------------------------------------------------------------------
# Scratch space

mounts=()

# make_scratch NAME: makes $scratch, a fresh directory of the build tree whose name starts with
# NAME, and removes it (after unmounting what mount_tmpfs mounted) when the script exits.
make_scratch() {
  scratch=$(mktemp -d "$build/$1.XXXXXX")
  trap remove_scratch EXIT
}

remove_scratch() {
  local mount
  for mount in "${mounts[@]}"; do
    umount "$mount" 2>/dev/null || true
  done
  rm -rf "$scratch"
}

# mount_tmpfs DIR SIZE: mounts a tmpfs of SIZE (as mount's size= option takes it) on DIR, which it
# makes; the script ends as skipped when it may not mount.
mount_tmpfs() {
  mkdir -p "$1"
  local error
  if ! error=$(mount -t tmpfs -o "size=$2" tmpfs "$1" 2>&1); then
    echo "SKIP: cannot mount a tmpfs (root and permission to mount are needed): $error"
    exit $SKIP
  fi
  mounts+=("$1")
}

# ---------------------------------------------------------------------------------------------
# Windows programs

# run [--temp DIR] [RUNWIN OPTIONS...] PROGRAM [ARGS...]
# Runs PROGRAM (a Linux path, or a Windows one such as C:\windows\system32\msiexec.exe) from
# runwin under Wine. Its TEMP and TMP are DIR, or $temp when the script has one: Wine takes them
# from the Windows environment, not from Linux's. Standard output and error land in
# $scratch/stdout and $scratch/stderr; `code` is the exit code, empty when the program did not
# start. RUNWIN OPTIONS are --env NAME=VALUE, --unset NAME, --cmdline RAW and --cmdline-file FILE.
run() {
  local use_temp=${temp-}
  if [[ $1 == --temp ]]; then
    use_temp=$2
    shift 2
  fi
  local options=()
  if [[ -n $use_temp ]]; then
    options+=(--env "TEMP=$(windows_path "$use_temp")" --env "TMP=$(windows_path "$use_temp")")
  fi
  while [[ $1 == --* ]]; do
    options+=("$1" "$2")
    shift 2
  done
  local program=$1
  shift
  "$wine" "$runwin" "${options[@]}" -- "$(windows_path "$program")" "$@" >"$scratch/stdout" 2>"$scratch/stderr" ||
    true
  code=$(exit_code_of "$scratch/stdout")
}

# ---------------------------------------------------------------------------------------------
# Checks

passed=0
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check WHAT COMMAND...: COMMAND is the check. A failure counts WHAT, then shows the end of
# $check_log when the script sends the commands' output there, and whatever the script's own
# check_details function (if it has one) prints.
check() {
  local what=$1 status=0
  shift
  if [[ -n ${check_log-} ]]; then
    "$@" >"$check_log" 2>&1 || status=$?
  else
    "$@" || status=$?
  fi
  if [[ $status -eq 0 ]]; then
    passed=$((passed + 1))
    return 0
  fi
  fail "$what"
  if [[ -n ${check_log-} ]]; then
    tail -n 20 "$check_log" | sed 's/^/  /'
  fi
  if declare -F check_details >/dev/null; then
    check_details
  fi
  return 0
}

is() { [[ "$1" == "$2" ]]; }
contains() { [[ "$1" == *"$2"* ]]; }
matches() { [[ $1 =~ $2 ]]; }
empty_dir() { [[ -d "$1" && -z "$(ls -A "$1")" ]]; }

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() { check "$1: expected [$2], got [$3]" is "$3" "$2"; }

# expect_match WHAT REGEX ACTUAL
expect_match() { check "$1: [$3] does not match [$2]" matches "$3" "$2"; }

# Ends the script: exit status 1 when any check failed.
finish() {
  echo "$passed passed, $failures failed"
  [[ $failures -eq 0 ]] || exit 1
  exit 0
}
