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

# Test packages (tests/packages), and the prefix the packer's Wine wrapper runs in: the tests' own.
packages=$tests/packages
export LODESTAR_WINEPREFIX=$prefix

# Wine's Z: drive is the Linux root; a path that already names a drive is left alone.
windows_path() {
  if [[ $1 =~ ^[A-Za-z]: ]]; then printf '%s' "$1"; else printf 'Z:%s' "${1//\//\\}"; fi
}

# A Windows program's text without the carriage returns of its text-mode streams.
text_of() { tr -d '\r' <"$1"; }

# The last "exit code: N" line a Windows runner (runwin) wrote to FILE: the child's
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
# Sets `temp_options` to the runner options (runwin) that make DIR a Windows program's
# TEMP and TMP: Wine takes them from the Windows environment, not from Linux's.
set_temp_options() {  # DIR
  temp_options=(--env "TEMP=$(windows_path "$1")" --env "TMP=$(windows_path "$1")")
}

# Runs PROGRAM (a Linux path, or a Windows one such as C:\windows\system32\msiexec.exe) from
# runwin under Wine. Its TEMP and TMP are DIR, or $temp when the script has one. Standard output and error land in
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
    set_temp_options "$use_temp"
    options+=("${temp_options[@]}")
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
# What lodestar-pack reports, and what the package and the files say independently of it

# Debian's interpreter, where python3-jsonschema is installed, whatever else is on the PATH.
python=/usr/bin/python3
schema=$source_dir/packer/info.schema.json

# The value of NAME in the Property table of PACKAGE as msiinfo reads it; "null" when it has none.
property() {
  msiinfo export "$1" Property | tr -d '\r' |
    awk -F'\t' -v name="$2" 'NR > 3 && $1 == name { print $2; found = 1 } END { if (!found) print "null" }'
}

# The value at a dotted PATH of the JSON document FILE: null as "null", booleans as true/false, a
# key that is not there as "(absent)", a list or an object as its JSON text. json_load FILE reads
# the document once, by one interpreter, for every json_field of it that follows (in command
# substitutions too); json_field of a document not loaded loads it itself.
declare -A json_fields=()
json_document=""
json_load() {
  json_fields=()
  local path value
  while IFS=$'\t' read -r -d '' path value; do
    json_fields[$path]=$value
  done < <("$python" - "$1" <<'EOF_PY'
import json, sys
def emit(path, value):
    if path:
        text = "null" if value is None else str(value).lower() if isinstance(value, bool) else value
        if isinstance(value, (list, dict)):
            text = json.dumps(value, ensure_ascii=False)
        sys.stdout.write(path + "\t" + str(text) + "\0")
    items = enumerate(value) if isinstance(value, list) else value.items() if isinstance(value, dict) else []
    for key, item in items:
        emit((path + "." if path else "") + str(key), item)
emit("", json.load(open(sys.argv[1], encoding="utf-8")))
EOF_PY
  )
  json_document="$1@$(stat -c %Y.%s "$1")"
}
json_field() {
  [[ $json_document == "$1@$(stat -c %Y.%s "$1")" ]] || json_load "$1"
  if [[ -v json_fields[$2] ]]; then printf '%s\n' "${json_fields[$2]}"; else echo "(absent)"; fi
}

schema_valid() {
  "$python" - "$schema" "$1" <<'EOF'
import json, sys
import jsonschema
schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
jsonschema.Draft202012Validator(schema).validate(json.load(open(sys.argv[2], encoding="utf-8")))
EOF
}

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# ---------------------------------------------------------------------------------------------
# Checks

passed=0
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check WHAT COMMAND...: COMMAND is the check. A failure counts WHAT, then says what was expected
# and what was got for the comparisons below (is, has, contains, matches), shows the end of
# $check_log when the script sends the commands' output there, and what the script's own
# check_details function prints, or else the output the last program left in $scratch.
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
  show_comparison "$@"
  if [[ -n ${check_log-} ]]; then
    tail -n 20 "$check_log" | sed 's/^/  /'
  fi
  if declare -F check_details >/dev/null; then
    check_details
  else
    show_standard_error
  fi
  return 0
}

# What a failed comparison expected and got; for `test`, the values it was given.
show_comparison() {
  case $1 in
    is) printf '  expected: [%s]\n  got:      [%s]\n' "$3" "$2" ;;
    contains) printf '  expected [%s] to contain [%s]\n' "$2" "$3" ;;
    matches) printf '  expected [%s] to match [%s]\n' "$2" "$3" ;;
    has) printf '  expected %s to hold [%s]; it holds:\n' "$2" "$3"
      sed 's/^/    /' "$scratch/$2" 2>/dev/null | head -n 20 ;;
    test) printf '  failed, with the values it got: test%s\n' "$(printf ' [%s]' "${@:2}")" ;;
  esac
}

# What the last program run left in $scratch: its standard output and error.
show_standard_error() {
  local file
  for file in "${scratch-}/out" "${scratch-}/stdout" "${scratch-}/err" "${scratch-}/stderr"; do
    [[ -s $file ]] && sed "s/^/  $(basename "$file"): /" "$file" | head -n 20
  done
  return 0
}

is() { [[ "$1" == "$2" ]]; }
contains() { [[ "$1" == *"$2"* ]]; }
matches() { [[ $1 =~ $2 ]]; }
empty_dir() { [[ -d "$1" && -z "$(ls -A "$1")" ]]; }

# pack_run ARGS...: the packer the script names in `pack`, its output in $scratch/out and
# $scratch/err (carriage returns removed), its exit code in `code`. has out|err TEXT: that output
# holds TEXT.
#
# lodestar-pack writes a line for every outcome. Under Wine (its wrapper), a run that wrote nothing
# at all and failed is a run Wine never started: on a loaded machine Wine now and then fails a
# process start before the program runs (runwin tries its children again for the same), and the
# wrapper can only hand on Wine's status. Such a run is tried again, twice at most, and said so.
pack_run() {
  local attempt
  for attempt in 1 2 3; do
    "$pack" "$@" >"$scratch/out" 2>"$scratch/err"
    code=$?
    [[ $code -eq 0 || -s $scratch/out || -s $scratch/err || $pack != "$build/bin/lodestar-pack" ]] && break
    echo "note: lodestar-pack.exe wrote nothing and Wine ended with $code: it never ran; trying again"
  done
  sed -i 's/\r$//' "$scratch/out" "$scratch/err"
}
has() { grep -qF -- "$2" "$scratch/$1"; }

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() { check "$1" is "$3" "$2"; }

# expect_match WHAT REGEX ACTUAL
expect_match() { check "$1" matches "$3" "$2"; }

# Ends the script: exit status 1 when any check failed.
finish() {
  echo "$passed passed, $failures failed"
  [[ $failures -eq 0 ]] || exit 1
  exit 0
}

# ---------------------------------------------------------------------------------------------
# The launch frame's script tests and the window tests: the frame's test programs, the records
# of its debug switch, and for the window tests an Xvfb display of their own, the boxes on it and
# their screenshots.

payload="$tests/frame_payload.exe"

# The message of the located error most cases raise: blanks, guillemets, a check mark.
message='Paket «main.msi» fehlt: ✓'

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
  mapfile -t lines < <(text_of "$file")
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

# Window tests: start_window_test first, then run_gui for each case.
xvfb_pid=""
runner=""

# start_window_test NAME SHOTS: the scratch directory (NAME), $artifacts for the screenshots
# (artifacts/SHOTS in the build tree) and an Xvfb display of the test's own; what the test started
# is killed when the script exits.
start_window_test() {
  local tool
  for tool in Xvfb xdotool import; do
    if ! command -v "$tool" >/dev/null; then
      echo "FAIL: $tool is missing (scripts/bootstrap installs it)"
      exit 1
    fi
  done
  make_scratch "$1"
  trap window_test_cleanup EXIT
  artifacts="$build/artifacts/$2"
  mkdir -p "$artifacts"
  start_xvfb
}

window_test_cleanup() {
  if [[ -n "$runner" ]]; then kill "$runner" 2>/dev/null || true; fi
  if [[ -n "$xvfb_pid" ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  remove_scratch
}

# Xvfb picks a free display itself and writes its number once it accepts clients.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [[ -s "$scratch/display" ]] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
      cat "$scratch/xvfb.log"
      echo "FAIL: Xvfb did not start"
      exit 1
    fi
    sleep 0.1
  done
  display=":$(tr -dc 0-9 <"$scratch/display")"
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
  local out="$scratch/$name.out"
  LODESTAR_DISPLAY="$display" timeout 120 "$wine" "$runwin" --desktop "lodestar-$name-$$-${run_gui_attempt:-1}" \
    --report-boxes --timeout 45 "$@" >"$out" 2>"$scratch/$name.err" &
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
  if [[ $box_count -eq 0 ]] && ! grep -q '^box' "$scratch/$1.out"; then
    echo "note: '$1' showed no window at all; running it once more on a new desktop"
    run_gui_attempt=2 run_gui "$@"
  fi
}

# expect_one_box WHAT NAME CAPTION TEXT [icon|no-icon]: the box the runner saw from inside Windows.
expect_one_box() {
  local what=$1 out="$scratch/$2.out" caption=$3 text=$4 icon=${5:-icon}
  expect_eq "$what: boxes on the display" 1 "$box_count"
  expect_eq "$what: runner ended without its watchdog" 0 "$runner_status"
  expect_eq "$what: box caption" "box: $caption" "$(grep '^box: ' "$out")"
  expect_eq "$what: box text" "box text: $text" "$(grep '^box text: ' "$out")"
  expect_eq "$what: box icon" "$([[ $icon == icon ]] && echo 1 || echo 0)" "$(grep -c '^box icon$' "$out" || true)"
}
