#!/usr/bin/env bash
# A packer killed (SIGKILL: no handler, no destructor runs) while it writes a large launcher
# leaves nothing beside its output: the native lodestar-pack writes into an unnamed file
# (O_TMPFILE), which the kernel frees with its last descriptor; lodestar-pack.exe under Wine
# writes a named file with a delete disposition, which Wine's server deletes when it closes the
# killed process's handles. The package carries a sparse cabinet of 768 MiB, so that the write
# lasts; each packer is killed once it has written 64 MiB, and the file it was writing is looked
# at, the packer stopped (SIGSTOP), before the kill. The same write, watched in a terminal (tmux),
# shows the packer's progress line.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
native=$LODESTAR_NATIVE_PACK

make_scratch "packer killed"

input="$scratch/input"
cp -r "$tests/packages/cabinet" "$input"
printf MSCF >"$input/cabinet.cab"
truncate -s 768M "$input/cabinet.cab"
launcher_size=$((768 * 1024 * 1024))  # at least

# wait_for_progress PID: until the packer PID has written 64 MiB of its output; fails when it
# ends first. Sets `progress` to what it has written.
wait_for_progress() {
  local open written
  progress=""
  while kill -0 "$1" 2>/dev/null; do
    open=$(open_files_in "$1" "$out" | head -n 1)
    written=${open%% *}
    if [[ -n $open && ${written:-0} -ge $((64 * 1024 * 1024)) ]]; then
      progress="$written bytes written"
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# The descriptor targets of process PID that lie in DIRECTORY, one a line.
open_files_in() {  # PID DIRECTORY
  local fd target
  for fd in /proc/"$1"/fd/*; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    [[ $target == "$2"/* ]] && printf '%s %s\n' "$(stat -L -c %s "$fd" 2>/dev/null)" "$target"
  done
}

# check_writing PID WHO KIND NAME: the packer PID, stopped (held where it is while it is looked
# at), writes a KIND file whose name matches NAME in the output's folder, and has written part
# of the launcher. Leaves what it saw in `open` and `size`.
check_writing() {
  kill -STOP "$1"
  open=$(open_files_in "$1" "$out")
  size=${open%% *}
  check "$2: it writes a $3 file in the output's folder [$open]" matches "$open" "^[0-9]+ $out/$4$"
  check "$2: the kill lands while it writes (${size:-?} of more than $launcher_size bytes written)" \
    test "${size:-0}" -gt 0 -a "${size:-0}" -lt "$launcher_size"
}

# ---------------------------------------------------------------------------------------------
# Natively: an unnamed file

out="$scratch/native out"
mkdir -p "$out"
# Where the file system refuses unnamed files (overlayfs before Linux 6.6) the packer names its
# output instead (OutputFile_test covers that path); what is looked at here does not happen.
if python3 -c 'import os, sys; os.close(os.open(sys.argv[1], os.O_TMPFILE | os.O_WRONLY, 0o600))' "$out" 2>/dev/null; then
  unset LODESTAR_PACK_NAMED_OUTPUT
  "$native" "$input/cabinet.msi" -o "$out/setup.exe" >"$scratch/stdout" 2>"$scratch/stderr" &
  pid=$!
  if wait_for_progress "$pid"; then
    check_writing "$pid" native unnamed "#[0-9]+ \(deleted\)"
    check "native: the folder shows nothing while it writes" empty_dir "$out"
    kill -KILL "$pid"
    echo "note: native: killed after [$progress], $size bytes written"
  else
    fail "native: the packer ended before it reported progress"
  fi
  wait "$pid" 2>/dev/null
  status=$?
  check "native: ended by SIGKILL (status $status)" is "$status" 137
  check "native: nothing left beside the output" empty_dir "$out"
  check "native: it had not finished" test ! -s "$scratch/stdout"
else
  echo "note: native: skipped, $out refuses unnamed files (O_TMPFILE)"
fi

# In a terminal a write that takes more than a second shows one line that updates in place,
# cleared when it is done: a sparse cabinet of 1.5 GiB, so that it lasts.
shown_input="$scratch/shown input"
cp -r "$tests/packages/cabinet" "$shown_input"
printf MSCF >"$shown_input/cabinet.cab"
truncate -s 1536M "$shown_input/cabinet.cab"
tmux_session="lodestar-progress-$$"
progress_screen="$scratch/progress screen.txt"
# watch_progress WHAT COMMAND: runs COMMAND in an 80-column terminal, where the line must show the
# bytes of 1.5 GiB and the cabinet being read, fit without wrapping (the file's long path cut from
# the left), and be gone once the command ends.
watch_progress() {
  local what=$1 shown=""
  tmux new-session -d -s "$tmux_session" -x 80 -y 10 "$2; echo packer ended; sleep 60"
  for _ in $(seq 100); do
    tmux capture-pane -p -t "$tmux_session" >"$progress_screen" 2>/dev/null
    shown=$(grep -m1 '^lodestar-pack: .* of 1.5 GiB ([0-9]*%), .*/s, .*cabinet.cab' "$progress_screen")
    [[ -n $shown || -n $(grep 'packer ended' "$progress_screen") ]] && break
    sleep 0.1
  done
  check "$what in a terminal: a progress line [$shown]" test -n "$shown"
  check "$what in a terminal: the line fits 79 columns (${#shown})" test "${#shown}" -le 79
  for _ in $(seq 300); do
    tmux capture-pane -p -t "$tmux_session" >"$progress_screen" 2>/dev/null
    grep -q 'packer ended' "$progress_screen" && break
    sleep 0.1
  done
  check "$what in a terminal: the line is gone when it is done" bash -c "! grep -q '^lodestar-pack: ' '$progress_screen'"
  tmux kill-session -t "$tmux_session" 2>/dev/null
}
rm -f "$out/shown.exe"
watch_progress packing "'$native' '$shown_input/cabinet.msi' -o '$out/shown.exe'"
check "packing in a terminal: the result is reported" grep -q '^ *Packed cabinet.msi' "$progress_screen"
rm -f "$out/shown.exe"
# The same packing with standard error on a pipe: no line at all.
"$native" "$shown_input/cabinet.msi" -o "$out/shown.exe" 2>&1 >/dev/null | cat >"$scratch/piped.txt"
check "packing, standard error on a pipe: no progress line [$(head -c 200 "$scratch/piped.txt")]" \
  bash -c "! grep -q 'lodestar-pack: ' '$scratch/piped.txt'"
rm -rf "$out/shown.exe" "$shown_input"

# ---------------------------------------------------------------------------------------------
# lodestar-pack.exe under Wine: a file with a delete disposition. Wine runs the Windows process
# apart from the shell that starts it: it is found in /proc by its command line, which starts with
# its own path.

out="$scratch/windows out"
mkdir -p "$out"
# Its own path and package: other tests' packers may run in the same prefix.
command_line="$build/bin/lodestar-pack.exe $(windows_path "$input/cabinet.msi") "
windows_process() {
  local entry seen
  for entry in /proc/[0-9]*; do
    seen=$(tr '\0' ' ' <"$entry/cmdline" 2>/dev/null) || continue
    [[ $seen == "$command_line"* ]] && printf '%s' "${entry#/proc/}" && return
  done
}
"$build/bin/lodestar-pack" "$input/cabinet.msi" -o "$out/setup.exe" >"$scratch/stdout" 2>"$scratch/stderr" &
wrapper=$!
disown "$wrapper"  # no job report when it dies with the Windows process
pid=""
while [[ -z $pid ]] && kill -0 "$wrapper" 2>/dev/null; do
  pid=$(windows_process)
  [[ -z $pid ]] && sleep 0.05
done
if [[ -n $pid ]] && wait_for_progress "$pid"; then
  check_writing "$pid" Windows named "lodestar-pack-[0-9]+\.partial"
  kill -KILL "$pid"
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  # Wine's server deletes the file when it has closed the dead process's handles, which it does
  # on its own time: give it until the wrapper has ended and a little after.
  while kill -0 "$wrapper" 2>/dev/null; do sleep 0.05; done
  waited=0
  while ! empty_dir "$out" && ((waited < 100)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "note: Windows: killed after [$progress], $size bytes written; the folder was $(empty_dir "$out" || echo "not ")empty after $waited waits of 0.1 s once the wrapper had ended"
  check "Windows: nothing left beside the output once the process is gone" empty_dir "$out"
  check "Windows: it had not finished" test ! -s "$scratch/stdout"
else
  fail "Windows: the packer's process was not seen reporting progress (pid '${pid}')"
  [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
  kill -KILL "$wrapper" 2>/dev/null
fi

finish
