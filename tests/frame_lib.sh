# Sourced by the launch frame's script tests: the programs, Windows paths and failure bookkeeping.

payload="$LODESTAR_BUILD_DIR/tests/frame_payload.exe"
frame_run="$LODESTAR_BUILD_DIR/tests/frame_run.exe"
runwin="$LODESTAR_BUILD_DIR/tests/runwin.exe"

# The message of the located error most cases raise: blanks, guillemets, a check mark.
message='Paket «main.msi» fehlt: ✓'

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  [[ "$2" == "$3" ]] || fail "$1: expected [$2], got [$3]"
}

# expect_match WHAT REGEX ACTUAL
expect_match() {
  [[ "$3" =~ $2 ]] || fail "$1: [$3] does not match [$2]"
}

# Wine's Z: drive is the Linux root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The last "exit code: N" line a Windows runner printed: the child's full 32-bit exit status.
exit_code_of() { sed -n 's/^exit code: //p' "$1" | tail -n 1 | tr -d '\r'; }

# What a GUI child wrote to standard error, without the carriage returns of its text-mode stream.
text_of() { tr -d '\r' <"$1"; }

# The one-line record format of the debug switch.
entering_re='^\[TRACE\] app\.cpp:[0-9]+: Entering app::launch$'
exiting_re='^\[TRACE\] app\.cpp:0: Exiting app::launch \(entered at app\.cpp:[0-9]+\)$'
payload_re='^\[INFO\] frame_payload\.cpp:[0-9]+: payload returns 7$'
located_re="^\[ERROR\] app\.cpp:[0-9]+: Exception with message 'frame_payload\.cpp\([0-9]+\) at \`anonymous-namespace'::payload\(\): (.*)' caught$"

# expect_debug_records WHAT FILE [MESSAGE]: the records of one run with the debug switch on,
# in order: entering, the payload's own record (success) or the located error record and the
# message for the user (failure), exiting.
expect_debug_records() {
  local what=$1 file=$2 raw=${3-}
  local -a lines
  mapfile -t lines < <(tr -d '\r' <"$file")
  if [[ $# -eq 2 ]]; then
    expect_eq "$what: record count" 3 "${#lines[@]}"
    expect_match "$what: record 1" "$entering_re" "${lines[0]-}"
    expect_match "$what: record 2" "$payload_re" "${lines[1]-}"
    expect_match "$what: record 3" "$exiting_re" "${lines[2]-}"
  else
    expect_eq "$what: record count" 4 "${#lines[@]}"
    expect_match "$what: record 1" "$entering_re" "${lines[0]-}"
    expect_match "$what: record 2" "$located_re" "${lines[1]-}"
    if [[ "${lines[1]-}" =~ $located_re ]]; then
      expect_eq "$what: located message" "$raw" "${BASH_REMATCH[1]}"
    fi
    expect_eq "$what: message for the user" "$raw" "${lines[2]-}"
    expect_match "$what: record 4" "$exiting_re" "${lines[3]-}"
  fi
}

finish() {
  if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
