#!/usr/bin/env bash
# A packer killed (SIGKILL: no handler, no destructor runs) while it writes a large launcher
# leaves nothing beside its output: the native lodestar-pack writes into an unnamed file
# (O_TMPFILE), which the kernel frees with its last descriptor; lodestar-pack.exe under Wine
# writes a named file with a delete disposition, which Wine's server deletes when it closes the
# killed process's handles. The package carries a sparse cabinet of 768 MiB, so that the write
# lasts; each packer is killed once it has reported its first tenth written, and the file it was
# writing is looked at, the packer stopped (SIGSTOP), before the kill.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
native=$LODESTAR_NATIVE_PACK

make_scratch "packer killed"

input="$scratch/input"
cp -r "$tests/packages/cabinet" "$input"
printf MSCF >"$input/cabinet.cab"
truncate -s 768M "$input/cabinet.cab"
launcher_size=$((768 * 1024 * 1024))  # at least

# wait_for_progress PID: until the packer PID has reported a tenth written; fails when it ends
# first. Sets `progress` to the line.
wait_for_progress() {
  progress=""
  while kill -0 "$1" 2>/dev/null; do
    progress=$(grep -m1 '% of .* written' "$scratch/stderr")
    [[ -n $progress ]] && return 0
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
