#!/usr/bin/env bash
# The launch frame through real processes, without a display: what reaches standard error and
# which exit code the parent reads (full 32 bits, from a Windows parent).
# - Nothing on success unless LODESTAR_DEBUG is exactly "true"; on failure one line, the message
#   meant for the user. With the switch, every record in the one-line format.
# - On a window station nobody can see (a service or deployment agent in session 0), the error box
#   is skipped: the message still goes to standard error and the process ends with -1.
#
# The runners start from Wine's Linux side with pipes and no console: the frame finds no console
# to attach to or create, so its standard error stays the runner's pipe, which the test reads.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

make_scratch "frame streams"

# run_case NAME RUNNER [RUNNER OPTIONS] -- PROGRAM ARGS...: leaves NAME.out, NAME.err and $exit_code.
run_case() {
  local name=$1 runner=$2
  shift 2
  local status=0
  timeout 90 "$wine" "$runner" "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
  runner_status=$status
  exit_code=$(exit_code_of "$scratch/$name.out")
}

program=$(windows_path "$payload")

# Success: silent unless the switch is exactly "true".
run_case unset "$runwin" --unset LODESTAR_DEBUG -- "$program" return 7
expect_eq "unset: exit code" 7 "$exit_code"
expect_eq "unset: standard error" "" "$(text_of "$scratch/unset.err")"
for value in TRUE True 'true ' ' true' 1 ''; do
  run_case off "$runwin" --env "LODESTAR_DEBUG=$value" -- "$program" return 7
  expect_eq "LODESTAR_DEBUG='$value': exit code" 7 "$exit_code"
  expect_eq "LODESTAR_DEBUG='$value': standard error" "" "$(text_of "$scratch/off.err")"
done

# Failure without the switch: the message for the user only, and -1.
run_case located "$runwin" --unset LODESTAR_DEBUG -- "$program" lderror "$message"
expect_eq "located error: exit code" -1 "$exit_code"
expect_eq "located error: standard error" "$message" "$(text_of "$scratch/located.err")"

run_case empty "$runwin" --unset LODESTAR_DEBUG -- "$program" lderror ""
expect_eq "empty message: exit code" -1 "$exit_code"
expect_eq "empty message: standard error" "" "$(text_of "$scratch/empty.err")"
expect_eq "empty message: one empty line" 1 "$(text_of "$scratch/empty.err" | wc -l)"

run_case runtime "$runwin" --unset LODESTAR_DEBUG -- "$program" runtime "secret detail"
expect_eq "runtime error: exit code" -1 "$exit_code"
expect_eq "runtime error: runtime library text, not the exception's" "No such file or directory" \
  "$(text_of "$scratch/runtime.err")"

run_case unknown "$runwin" --unset LODESTAR_DEBUG -- "$program" unknown
expect_eq "unknown exception: exit code" -1 "$exit_code"
expect_eq "unknown exception: standard error" "Unknown error" "$(text_of "$scratch/unknown.err")"

# With the switch: every record, one line each.
run_case debug "$runwin" --env LODESTAR_DEBUG=true -- "$program" return 7
expect_eq "debug: exit code" 7 "$exit_code"
expect_debug_records "debug success" "$scratch/debug.err"

run_case debug_located "$runwin" --env LODESTAR_DEBUG=true -- "$program" lderror "$message"
expect_eq "debug located error: exit code" -1 "$exit_code"
expect_debug_records "debug located error" "$scratch/debug_located.err" "$message"

run_case debug_runtime "$runwin" --env LODESTAR_DEBUG=true -- "$program" runtime "secret detail"
expect_eq "debug runtime error: exit code" -1 "$exit_code"
expect_match "debug runtime error: the exception's own message, in the log only" \
  "^\[ERROR\] app\.cpp:[0-9]+: Exception with message 'secret detail' caught$" \
  "$(text_of "$scratch/debug_runtime.err" | sed -n 2p)"
expect_eq "debug runtime error: message for the user" "No such file or directory" \
  "$(text_of "$scratch/debug_runtime.err" | sed -n 3p)"

# A window station nobody can see: no box, the message on standard error, -1, and no watchdog.
run_case hidden "$runwin" --hidden-station --timeout 30 --unset LODESTAR_DEBUG -- "$program" lderror "$message"
expect_eq "hidden station: runner ended without its watchdog" 0 "$runner_status"
expect_eq "hidden station: exit code" -1 "$exit_code"
expect_eq "hidden station: standard error" "$message" "$(text_of "$scratch/hidden.err")"

run_case hidden_debug "$runwin" --hidden-station --timeout 30 --env LODESTAR_DEBUG=true -- "$program" unknown
expect_eq "hidden station, debug: runner ended without its watchdog" 0 "$runner_status"
expect_eq "hidden station, debug: exit code" -1 "$exit_code"
expect_eq "hidden station, debug: message for the user" "Unknown error" \
  "$(text_of "$scratch/hidden_debug.err" | sed -n 3p)"

# The control: a box on that station (the debug break prompt, which does not look at the station)
# never returns, and only the watchdog ends the process.
run_case hidden_control "$runwin" --hidden-station --timeout 5 --env 'LODESTAR_TEST_BREAK=*' -- \
  "$program" debugbreak key
expect_eq "hidden station control: killed by the watchdog" 4 "$runner_status"

finish
