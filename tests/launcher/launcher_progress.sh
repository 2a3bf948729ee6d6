#!/usr/bin/env bash
# The window a person sees while a setup unpacks, on an Xvfb display and in a Wine prefix of this
# test's own, where proc_child stands in for msiexec.exe (it reports whether the window is still
# on the screen when it starts).
#
# The seam: the sample package unpacks in milliseconds, so the launcher tested here is the stub
# built with LODESTAR_TEST_SLOW_UNPACK (slow-stub.exe), which waits LODESTAR_TEST_PIECE_MS after
# every piece it writes or checks, as a slow disk would, given the resources lodestar-pack put
# into sample-setup.exe (graft_resources): a packed launcher in everything but that wait. The
# launchers users get have no such wait; the ordinary sample-setup.exe is the small package that
# must show nothing. The title is read back with xdotool; the bar's position and the buttons come
# from runwin, which asks the window itself (xdotool sees no controls inside a Wine window).
set -uo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

start_window_test "launcher progress" launcher
own_prefix="$scratch/prefix"
trap 'LODESTAR_WINEPREFIX=$own_prefix "$wine" --stop-server; window_test_cleanup' EXIT
export LODESTAR_WINEPREFIX=$own_prefix LODESTAR_DISPLAY=$display
export WINEDLLOVERRIDES='mscoree,mshtml=;msiexec.exe=n'
check "a prefix of the test's own is made" "$wine" --start-server
cp "$tests/proc_child.exe" "$own_prefix/drive_c/windows/system32/msiexec.exe"

launchers="$tests/launcher"
slow="$scratch/slow-setup.exe"
cp "$launchers/slow-stub.exe" "$slow"
check "the slow stub gets the packed launcher's resources" \
  "$wine" "$launchers/graft_resources.exe" "$(windows_path "$launchers/sample-setup.exe")" "$(windows_path "$slow")"
title="Lodestar Sample"  # the installed name the launcher records

# watch NAME [--cancel] [RUNWIN OPTIONS] -- PROGRAM ARGS...: runs the program on a desktop of its
# own, with TEMP its own empty folder, and watches the display: the first window titled $title is
# read back with xdotool and photographed (once its bar moved), and with --cancel its Cancel is clicked where runwin
# says it is. Leaves NAME.out (runwin's report), $window_name, $exit_code and $temp_dir.
watch() {
  local name=$1 cancel=""
  shift
  [[ $1 == --cancel ]] && { cancel=yes; shift; }
  local out="$scratch/$name.out"
  temp_dir="$scratch/$name.temp"
  mkdir -p "$temp_dir"
  set_temp_options "$temp_dir"
  LODESTAR_DISPLAY="$display" timeout 120 "$wine" "$runwin" --desktop "lodestar-$name-$$" --report-boxes --timeout 60 \
    "${temp_options[@]}" --env PROC_CHILD_WINDOW_TITLE="$title" \
    --env PROC_CHILD_WINDOW_REPORT="$(windows_path "$scratch/$name.window")" \
    --env PROC_CHILD_REPORT="$(windows_path "$scratch/$name.installer")" "$@" >"$out" 2>"$scratch/$name.err" &
  runner=$!
  window_name=""
  local id
  while kill -0 "$runner" 2>/dev/null; do
    if [[ -z $window_name ]] && id=$(DISPLAY="$display" xdotool search --onlyvisible --name "^$title\$" 2>/dev/null |
                                      head -n 1) && [[ -n $id ]]; then
      window_name=$(window_name "$id")
      # Photographed once its bar has moved (or when it is about to go).
      for _ in $(seq 50); do
        grep -q '^box progress: [1-9]' "$out" && break
        sleep 0.1
      done
      sleep 0.2  # until it has drawn itself
      DISPLAY="$display" import -window root "$artifacts/progress-$name.png"
      if [[ -n $cancel ]]; then
        local at
        for _ in $(seq 20); do
          at=$(sed -n 's/^box button: Cancel at \([0-9]*\),\([0-9]*\)\r\?$/\1 \2/p' "$out")
          [[ -n $at ]] && break
          sleep 0.1
        done
        # Without a window manager the first click may only activate the window; the second
        # finds the button disabled if the first pressed it.
        # shellcheck disable=SC2086
        DISPLAY="$display" timeout 10 xdotool mousemove $at click 1 sleep 0.3 click 1 2>/dev/null || true
      fi
    fi
    sleep 0.1
  done
  wait "$runner"
  runner=""
  exit_code=$(exit_code_of "$out")
}

# The libraries the process that ran PROGRAM (a file name) loaded, one path a line, from Wine's
# loader trace in NAME.err (watch runs with LODESTAR_WINEDEBUG=+loaddll,+pid).
loaded_by() {  # NAME PROGRAM
  local pid
  pid=$(grep -F "\\$2\" at " "$scratch/$1.err" | head -n 1 | cut -d: -f1)
  [[ -n $pid ]] && grep "^$pid:.*trace:loaddll:build_module Loaded" "$scratch/$1.err" | sed 's/.*Loaded L"\([^"]*\)".*/\1/'
}
export LODESTAR_WINEDEBUG=+loaddll,+pid

lines_of() { text_of "$scratch/$1.out" | sed -n "s/^$2: //p"; }
# Whether the bar's positions, as runwin saw them change, only rose, from below half to half or more.
bar_moved() {
  local -a positions
  mapfile -t positions < <(lines_of "$1" "box progress")
  ((${#positions[@]} >= 2 && positions[0] < 500 && positions[-1] >= 500)) || return 1
  local i
  for ((i = 1; i < ${#positions[@]}; ++i)); do
    ((positions[i] > positions[i - 1])) || return 1
  done
}

# Without any option, a user interface is asked for: the window with its title, text, bar and
# Cancel, gone before the installer starts.
watch full --env LODESTAR_TEST_PIECE_MS=1500 -- "$(windows_path "$slow")"
expect_eq "full: the window's title, read with xdotool" "$title" "$window_name"
expect_eq "full: its boxes, as runwin saw them" "$title" "$(lines_of full box)"
expect_eq "full: its text" "Preparing to install…" "$(lines_of full "box text")"
check "full: it has Cancel: [$(lines_of full "box button")]" matches "$(lines_of full "box button")" '^Cancel at [0-9]+,[0-9]+$'
check "full: its bar moved: [$(lines_of full "box progress" | tr '\n' ' ')]" bar_moved full
expect_eq "full: the window was gone when the installer started" none "$(text_of "$scratch/full.window" | iconv -f UTF-16LE -t UTF-8)"
expect_eq "full: exit code" 0 "$exit_code"
check "full: common controls 6, as the manifest asks, loaded by the launcher: [$(loaded_by full slow-setup.exe | grep -i comctl32)]" \
  bash -c "grep -qi 'winsxs.*common-controls.*6\.0.*comctl32\.dll' <<<'$(loaded_by full slow-setup.exe)'"
check "full: nothing left in TEMP" empty_dir "$temp_dir"

# Cancel, clicked: the unpacking stops, what was written goes, and the installer's own code for a
# user's cancel comes back; no installer ever started.
watch cancel --cancel --env LODESTAR_TEST_PIECE_MS=2500 -- "$(windows_path "$slow")"
expect_eq "cancel: the window's title" "$title" "$window_name"
expect_eq "cancel: exit code" 1602 "$exit_code"
check "cancel: no installer started" test ! -e "$scratch/cancel.installer"
check "cancel: nothing left in TEMP" empty_dir "$temp_dir"

# /passive and the /qb! forms promise a setup that runs to its end: the window without Cancel. A
# /qn inside a property's value is no option: it asks for a window too.
for case in "passive|/passive" "qb-bang|-QB!" "value|DATAPATH=/qn"; do
  name=${case%%|*} option=${case#*|}
  watch "$name" --env LODESTAR_TEST_PIECE_MS=1000 -- "$(windows_path "$slow")" "$option"
  expect_eq "$option: the window's title" "$title" "$window_name"
  expect_eq "$option: exit code" 0 "$exit_code"
  if [[ $name == value ]]; then
    check "$option: it has Cancel" test -n "$(lines_of "$name" "box button")"
  else
    expect_eq "$option: no Cancel" "" "$(lines_of "$name" "box button")"
  fi
done

# A second launcher of the product started while the first still unpacks: it unpacks nothing and
# ends with 1618.
first_temp="$scratch/first.temp"
mkdir -p "$first_temp" "$scratch/second.temp"
set_temp_options "$first_temp"
LODESTAR_DISPLAY="$display" "$wine" "$runwin" --desktop "lodestar-first-$$" --timeout 60 "${temp_options[@]}" \
  --env LODESTAR_TEST_PIECE_MS=3000 -- "$(windows_path "$slow")" >"$scratch/first.out" 2>/dev/null &
runner=$!
for _ in $(seq 100); do
  [[ -n $(DISPLAY="$display" xdotool search --onlyvisible --name "^$title\$" 2>/dev/null) ]] && break
  sleep 0.1
done
run --temp "$scratch/second.temp" "$launchers/sample-setup.exe" /qn
check "while the first unpacks, a second launcher ends with 1618 [$code]" is "$code" 1618
check "the second launcher wrote nothing to its TEMP" empty_dir "$scratch/second.temp"
wait "$runner"
runner=""
expect_eq "the first launcher goes on to install" 0 "$(exit_code_of "$scratch/first.out")"

# No window: the quiet options as msiexec reads them, a small package, extract and uninstall.
for case in "qn|slow|/qn" "upper-qn|slow|-QN" "quiet|slow|/quiet" "small|small|" "extract|slow|extract" \
            "uninstall|slow|uninstall"; do
  IFS='|' read -r name launcher option <<<"$case"
  program=$slow
  [[ $launcher == small ]] && program=$launchers/sample-setup.exe
  args=()
  [[ -n $option ]] && args=("$option")
  [[ $option == extract ]] && args=(extract "$(windows_path "$scratch/extracted")")
  watch "$name" --env LODESTAR_TEST_PIECE_MS=1000 -- "$(windows_path "$program")" "${args[@]}"
  expect_eq "${option:-small package}: no window on the display" "" "$window_name"
  expect_eq "${option:-small package}: no window seen by runwin" "" "$(lines_of "$name" box)"
  expected=0
  [[ $name == uninstall ]] && expected=1605  # not installed
  expect_eq "${option:-small package}: exit code" "$expected" "$exit_code"
  check "${option:-small package}: the loader trace names the launcher" test -n "$(loaded_by "$name" "$(basename "$program")")"
  # uninstall calls msi.dll, which brings common controls of its own.
  [[ $name == uninstall ]] && continue
  check "${option:-small package}: no common controls or theming loaded" \
    bash -c "! grep -qiE 'comctl32|uxtheme' <<<'$(loaded_by "$name" "$(basename "$program")")'"
done

# The window's libraries come from the system directory only: copies planted beside the launcher
# under their names never load, while the window is shown.
planted="$scratch/Downloads"
mkdir -p "$planted"
names=(user32 comctl32 uxtheme imm32 gdi32 msctf dwmapi version oleaut32 ole32 shell32 shlwapi msimg32)
for name in "${names[@]}"; do
  cp "$launchers/launcher_planted.dll" "$planted/$name.dll"
done
cp "$slow" "$planted/slow-setup.exe"
WINEDLLOVERRIDES="$(IFS=,; echo "${names[*]}")=n,b;mscoree,mshtml=;msiexec.exe=n" \
  watch planted --env LODESTAR_TEST_PIECE_MS=1000 -- "$(windows_path "$planted/slow-setup.exe")"
expect_eq "planted DLLs: the window was shown" "$title" "$window_name"
expect_eq "planted DLLs: exit code" 0 "$exit_code"
check "planted DLLs: none loaded [$(ls "$planted" | grep loaded | tr '\n' ' ')]" \
  bash -c "! ls '$planted'/*.loaded >/dev/null 2>&1"

finish
