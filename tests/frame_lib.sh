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

# Window tests: the caller sets $work (scratch directory) and $artifacts (screenshots), and kills
# $runner and $xvfb_pid on exit.
xvfb_pid=""
runner=""
# Kills what the window test started and removes its scratch directory.
window_test_cleanup() {
  if [[ -n "$runner" ]]; then kill "$runner" 2>/dev/null || true; fi
  if [[ -n "$xvfb_pid" ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

# Xvfb picks a free display itself and writes its number once it accepts clients.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
      cat "$work/xvfb.log"
      echo "FAIL: Xvfb did not start"
      exit 1
    fi
    sleep 0.1
  done
  display=":$(tr -dc 0-9 <"$work/display")"
  if [[ "$display" == ":" ]]; then
    echo "FAIL: Xvfb named no display"
    exit 1
  fi
}

visible_windows() { DISPLAY="$display" xdotool search --onlyvisible --name . 2>/dev/null || true; }
window_name() { DISPLAY="$display" xdotool getwindowname "$1" 2>/dev/null || true; }

# run_gui NAME CAPTION [FRAME_RUN OPTIONS] -- PROGRAM ARGS...
# Runs the program on a desktop of its own and watches the display until it ends: every visible
# window named CAPTION is counted as a box, photographed the first time, and dismissed with
# Return. Leaves NAME.out and NAME.err, $box_count, $runner_status and $exit_code.
run_gui() {
  local name=$1 caption=$2
  shift 2
  local out="$work/$name.out"
  LODESTAR_DISPLAY="$display" timeout 120 "$LODESTAR_WINE_RUN" "$frame_run" --desktop "lodestar-$name-$$-${run_gui_attempt:-1}" \
    --report-boxes --timeout 45 "$@" >"$out" 2>"$work/$name.err" &
  runner=$!
  local -a boxes=()
  local id photographed=""
  while kill -0 "$runner" 2>/dev/null; do
    for id in $(visible_windows); do
      [[ "$(window_name "$id")" == "$caption" ]] || continue
      [[ " ${boxes[*]} " == *" $id "* ]] || boxes+=("$id")
      if [[ -z "$photographed" ]]; then
        sleep 0.5  # until the box has drawn itself
        DISPLAY="$display" import -window root "$artifacts/$name.png"
        photographed=yes
      fi
      # Keys reach the active window only, and without a window manager a console window opened
      # by the same program may stay active: a click on the box's margin activates it, as a
      # user's would, then Return presses its button.
      DISPLAY="$display" timeout 10 xdotool mousemove --window "$id" 5 5 click 1 sleep 0.2 \
        key --window "$id" Return 2>/dev/null || true
    done
    sleep 0.2
  done
  runner_status=0
  wait "$runner" || runner_status=$?
  runner=""
  box_count=${#boxes[@]}
  exit_code=$(exit_code_of "$out")
}

# run_gui_expecting_box: run_gui for a case that must show a box. Under load Wine now and then
# fails to bring up a new desktop, and the program's box then returns at once without ever being
# drawn; a case that showed no window at all, neither on the display nor to the runner, runs once
# more on a fresh desktop. A box that is really missing is missing both times.
run_gui_expecting_box() {
  run_gui_attempt=1 run_gui "$@"
  if [[ $box_count -eq 0 ]] && ! grep -q '^box' "$work/$1.out"; then
    echo "note: '$1' showed no window at all; running it once more on a new desktop"
    run_gui_attempt=2 run_gui "$@"
  fi
}

# expect_one_box WHAT NAME CAPTION TEXT [icon|no-icon]: the box the runner saw from inside Windows.
expect_one_box() {
  local what=$1 out="$work/$2.out" caption=$3 text=$4 icon=${5:-icon}
  expect_eq "$what: boxes on the display" 1 "$box_count"
  expect_eq "$what: runner ended without its watchdog" 0 "$runner_status"
  expect_eq "$what: box caption" "box: $caption" "$(grep '^box: ' "$out")"
  expect_eq "$what: box text" "box text: $text" "$(grep '^box text: ' "$out")"
  expect_eq "$what: box icon" "$([[ $icon == icon ]] && echo 1 || echo 0)" "$(grep -c '^box icon$' "$out" || true)"
}

finish() {
  if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
