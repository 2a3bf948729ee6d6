#!/usr/bin/env bash
# How the launcher starts the installer, seen from the installer's side. In a Wine prefix of this
# test's own, msiexec.exe is proc_child, which reports the command line it was given, its
# STARTUPINFO, whether it runs in a job and whether it has a console window, then exits with the
# code it is told. The launcher must start it hidden, with no window of its own, outside any job,
# and hand back its exit code.
#
# Whether a console program gets a window shows only where there is a display, and only when no
# console is handed down to it: the test brings an Xvfb server, and the launcher starts as from a
# desktop shortcut (runwin --detached): with no console of its own to pass on.
set -uo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

# Whether TEXT is HEAD, one or more digits, then TAIL.
digits_between() {  # TEXT HEAD TAIL
  local middle=${1#"$2"}
  middle=${middle%"$3"}
  [[ $1 == "$2"* && $1 == *"$3" && $middle =~ ^[0-9]+$ ]]
}

make_scratch "launcher installer child"
own_prefix="$scratch/prefix"
trap 'LODESTAR_WINEPREFIX=$own_prefix "$wine" --stop-server; window_test_cleanup' EXIT
start_xvfb

export LODESTAR_WINEPREFIX=$own_prefix LODESTAR_DISPLAY=$display
# The msiexec.exe file in system32 rather than Wine's builtin one; no Mono or Gecko prompts.
export WINEDLLOVERRIDES='mscoree,mshtml=;msiexec.exe=n'
check "a prefix of the test's own is made" "$wine" --start-server
cp "$tests/proc_child.exe" "$own_prefix/drive_c/windows/system32/msiexec.exe"

# TEMP has blanks, so the package path arrives quoted.
temp="$scratch/temp"
mkdir -p "$temp"
report="$scratch/report.bin"
set_temp_options "$temp"
"$wine" "$runwin" --detached --timeout 60 "${temp_options[@]}" \
  --env "PROC_CHILD_REPORT=$(windows_path "$report")" --env PROC_CHILD_EXIT_CODE=0x2BADC0DE \
  -- "$(windows_path "$tests/launcher/sample-setup.exe")" /qn "PROP=a b" 'TARGETDIR=C:\x' >"$scratch/stdout"
code=$(exit_code_of "$scratch/stdout")
fields=()
[[ -f "$report" ]] && mapfile -t -d '' fields < <(iconv -f UTF-16LE -t UTF-8 "$report")
check "the installer wrote its report" test "${#fields[@]}" -ge 5

command_line=${fields[0]-}
check "the installer's command line is msiexec /i, the package, the launcher's arguments: [$command_line]" \
  digits_between "$command_line" "C:\windows\system32\msiexec.exe /i \"$(windows_path "$temp")\\" \
  '.tmp\main.msi" /qn "PROP=a b" TARGETDIR=C:\x'
check "STARTUPINFO.dwFlags is STARTF_USESHOWWINDOW alone: [${fields[1]-}]" is "${fields[1]-}" 1
check "STARTUPINFO.wShowWindow is SW_HIDE: [${fields[2]-}]" is "${fields[2]-}" 0
check "the installer runs in no job: [${fields[3]-}]" is "${fields[3]-}" 0
check "the installer has no console window: [${fields[4]-}]" is "${fields[4]-}" 0
check "the launcher exits with the installer's code: [$code]" is "$code" $((0x2BADC0DE))
check "the working directory is gone" empty_dir "$temp"

# One setup of a product at a time. The first launcher's installer reports, then takes 40 s, as a
# long installation does (long enough for the checks below on a loaded machine); the others start
# meanwhile, each with a TEMP of its own.
first_report="$scratch/first.bin"
mkdir -p "$scratch/first" "$scratch/second" "$scratch/other"
"$wine" "$runwin" --timeout 120 --env "TEMP=$(windows_path "$scratch/first")" --env "TMP=$(windows_path "$scratch/first")" \
  --env "PROC_CHILD_REPORT=$(windows_path "$first_report")" --env PROC_CHILD_SLEEP_MS=40000 \
  -- "$(windows_path "$tests/launcher/sample-setup.exe")" /qn >"$scratch/first.out" 2>&1 &
first=$!
for _ in $(seq 150); do [[ -s $first_report ]] && break; sleep 0.2; done
check "the first launcher's installer runs" test -s "$first_report"
run --temp "$scratch/second" "$tests/launcher/sample-setup.exe" /qn
check "a second launcher of the product ends with 1618: [$code]" is "$code" 1618
check "the second launcher wrote nothing to its TEMP" empty_dir "$scratch/second"
# With a user interface asked for (/qn inside a property's value is no option), it says so in a box.
artifacts="$build/artifacts/launcher"
mkdir -p "$artifacts"
run_gui_expecting_box held sample-setup.exe --env "TEMP=$(windows_path "$scratch/second")" \
  --env "TMP=$(windows_path "$scratch/second")" -- "$(windows_path "$tests/launcher/sample-setup.exe")" DATAPATH=/qn
expect_one_box "held, with a user interface" held sample-setup.exe \
  "Another installation of Lodestar Sample is already running."
expect_eq "held, with a user interface: exit code" 1618 "$exit_code"
check "held, with a user interface: nothing in its TEMP" empty_dir "$scratch/second"
run --temp "$scratch/other" --env PROC_CHILD_EXIT_CODE=7 "$tests/launcher/failing-setup.exe" /qn
check "a launcher of another product is not held: its installer runs [$code]" is "$code" 7
check "its working directory is gone" empty_dir "$scratch/other"
wait "$first"
check "the first launcher ends with its installer's code: [$(exit_code_of "$scratch/first.out")]" \
  is "$(exit_code_of "$scratch/first.out")" 0
# A launcher killed while its installer runs leaves the lock abandoned, which counts as free.
rm -f "$first_report"
"$wine" "$runwin" --timeout 10 --env "TEMP=$(windows_path "$scratch/first")" --env "TMP=$(windows_path "$scratch/first")" \
  --env "PROC_CHILD_REPORT=$(windows_path "$first_report")" --env PROC_CHILD_SLEEP_MS=15000 \
  -- "$(windows_path "$tests/launcher/sample-setup.exe")" /qn >"$scratch/killed.out" 2>&1
check "the killed launcher's installer had started" test -s "$first_report"
run --temp "$scratch/second" "$tests/launcher/sample-setup.exe" /qn
check "after a launcher was killed, the next one runs: [$code]" is "$code" 0

finish
