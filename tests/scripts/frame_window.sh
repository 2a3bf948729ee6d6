#!/usr/bin/env bash
# The launch frame through real processes and real windows, on an Xvfb server of this test's own:
# a failure shows exactly one error box, captioned with the program's file name (also a name with
# a blank and a non-ASCII character) and holding only the message meant for the user; the box is
# kept as a screenshot (artifacts/frame/), dismissed with xdotool, and then the exit code is read
# from the Windows parent. A successful payload shows no box. Also: the debug switch's console
# from a command prompt and from a desktop shortcut, and the debug break prompt.
#
# Under Wine a desktop draws on the display of the first program that opened it, so every case
# runs on a desktop of its own (runwin --desktop). Every runner has a watchdog that kills the
# program it started; `timeout` kills a runner that hangs itself.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

start_window_test "frame window" frame
program=$(windows_path "$payload")

run_gui success frame_payload.exe --unset LODESTAR_DEBUG -- "$program" return 7
expect_eq "success: boxes" 0 "$box_count"
expect_eq "success: boxes the runner saw" "" "$(grep '^box' "$scratch/success.out" || true)"
expect_eq "success: exit code" 7 "$exit_code"
expect_eq "success: standard error" "" "$(text_of "$scratch/success.err")"

run_gui_expecting_box located frame_payload.exe --unset LODESTAR_DEBUG -- "$program" lderror "$message"
expect_one_box "located error" located frame_payload.exe "$message"
expect_eq "located error: exit code" -1 "$exit_code"
expect_eq "located error: standard error" "$message" "$(text_of "$scratch/located.err")"

renamed="$scratch/frame payload é.exe"
cp "$payload" "$renamed"
run_gui_expecting_box renamed "frame payload é.exe" --unset LODESTAR_DEBUG -- "$(windows_path "$renamed")" lderror "$message"
expect_one_box "renamed program" renamed "frame payload é.exe" "$message"
expect_eq "renamed program: exit code" -1 "$exit_code"

run_gui_expecting_box runtime frame_payload.exe --unset LODESTAR_DEBUG -- "$program" runtime "secret detail"
expect_one_box "runtime error" runtime frame_payload.exe "No such file or directory"
expect_eq "runtime error: exit code" -1 "$exit_code"

run_gui_expecting_box unknown frame_payload.exe --unset LODESTAR_DEBUG -- "$program" unknown
expect_one_box "unknown exception" unknown frame_payload.exe "Unknown error"
expect_eq "unknown exception: exit code" -1 "$exit_code"

run_gui_expecting_box empty frame_payload.exe --unset LODESTAR_DEBUG -- "$program" lderror ""
expect_one_box "empty message" empty frame_payload.exe ""
expect_eq "empty message: exit code" -1 "$exit_code"

# The debug switch from a command prompt: the records appear in the prompt's console, the message
# for the user after the located record, then the box. The runtime library writes narrow text to a
# console through the C locale's code page, so the message here is plain ASCII.
ascii_message='Package main.msi is missing: code 2'
run_gui console_success frame_payload.exe --own-console --env LODESTAR_DEBUG=true -- "$program" return 7
expect_eq "console success: boxes" 0 "$box_count"
expect_eq "console success: exit code" 7 "$exit_code"
sed -n 's/^console: //p' "$scratch/console_success.out" >"$scratch/console_success.lines"
expect_debug_records "console success" "$scratch/console_success.lines"

run_gui_expecting_box console_failure frame_payload.exe --own-console --env LODESTAR_DEBUG=true -- "$program" lderror \
  "$ascii_message"
expect_one_box "console failure" console_failure frame_payload.exe "$ascii_message"
expect_eq "console failure: exit code" -1 "$exit_code"
sed -n 's/^console: //p' "$scratch/console_failure.out" >"$scratch/console_failure.lines"
expect_debug_records "console failure" "$scratch/console_failure.lines" "$ascii_message"

# From a desktop shortcut (no console to attach to) a console window opens only for the switch.
run_gui_expecting_box shortcut_quiet frame_payload.exe --detached --unset LODESTAR_DEBUG -- "$program" lderror "$message"
expect_one_box "shortcut without the switch" shortcut_quiet frame_payload.exe "$message"
expect_eq "shortcut without the switch: console" "console window: none" \
  "$(grep '^console window: ' "$scratch/shortcut_quiet.out")"
# Under Wine the records do not show in that window: Wine 8's runtime library does not reopen a
# standard stream the process started without, so only the window is checked here.
run_gui_expecting_box shortcut frame_payload.exe --detached --env LODESTAR_DEBUG=true -- "$program" lderror "$message"
expect_one_box "shortcut" shortcut frame_payload.exe "$message"
expect_eq "shortcut: exit code" -1 "$exit_code"
expect_eq "shortcut: console" "console window: visible" "$(grep '^console window: ' "$scratch/shortcut.out")"

# The debug break prompt: a box only when the variable is "*" or holds the key; the text is the
# located message of the calling site, the caption the module's file name.
break_line=$(grep -n 'showDebugBreakPrompt(LD_SOURCE_LOCATION' "$source_dir/tests/programs/frame_payload.cpp" | cut -d: -f1)
break_text="frame_payload.cpp($break_line) at \`anonymous-namespace'::payload(): debug break. Reason: environment variable LODESTAR_TEST_BREAK is set."
run_gui break_unset frame_payload.exe --unset LODESTAR_TEST_BREAK -- "$program" debugbreak setup
expect_eq "break, variable unset: boxes" 0 "$box_count"
expect_eq "break, variable unset: exit code" 0 "$exit_code"
run_gui break_other frame_payload.exe --env LODESTAR_TEST_BREAK=install -- "$program" debugbreak setup
expect_eq "break, other key: boxes" 0 "$box_count"
expect_eq "break, other key: exit code" 0 "$exit_code"
run_gui_expecting_box break_star frame_payload.exe --env 'LODESTAR_TEST_BREAK=*' -- "$program" debugbreak setup
expect_one_box "break, any key" break_star frame_payload.exe "$break_text" no-icon
expect_eq "break, any key: exit code" 0 "$exit_code"
run_gui_expecting_box break_key frame_payload.exe --env LODESTAR_TEST_BREAK=install,setup -- "$program" debugbreak setup
expect_one_box "break, key named" break_key frame_payload.exe "$break_text" no-icon

finish
