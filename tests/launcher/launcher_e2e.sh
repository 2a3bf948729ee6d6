#!/usr/bin/env bash
# The launcher end to end: launchers packed from the test packages run from a Windows parent
# (runwin, which reads the full 32-bit exit code) under Wine, against Wine's real installer.
# Each launcher gets TEMP and TMP pointing at a directory of the test, so that its working
# directory can be watched.
#   launcher_e2e.sh GROUP    GROUP: install passthrough arguments failures errors fulldisk environment
#                                   debug planted hostile removal_log payload
set -uo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
group=${1:?group}

hostile=$tests/hostile.exe
launchers=$tests/launcher
sample_dir="$prefix/drive_c/Program Files/Lodestar Sample"
reg_key='HKLM\Software\Lodestar Tests\Sample'

make_scratch "launcher e2e $group"
# Every launcher runs with this TEMP, unless the case gives another (run --temp).
temp="$scratch/temp"
mkdir -p "$temp"

check_details() {
  echo "  exit code: ${code:-?}"
  if [[ -s "$scratch/stderr" ]]; then sed 's/^/  stderr: /' "$scratch/stderr" | head -20; fi
}

working_dir_name() { [[ $1 =~ \\[0-9]+\.tmp\\?$ ]]; }
no_stderr() { [[ ! -s "$scratch/stderr" ]]; }
stderr_has() { grep -qF -- "$1" "$scratch/stderr"; }
sample_installed() { [[ -f "$sample_dir/payload.txt" ]]; }
sample_absent() { [[ ! -e "$sample_dir/payload.txt" ]]; }
registry_value() {
  "$wine" reg query "$reg_key" /v "$1" /reg:64 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_SZ *//p"
}
# Every value the sample package records, on one line.
registry_values() {
  "$wine" reg query "$reg_key" /reg:64 2>/dev/null | tr -d '\r' | sed -n 's/^ *\([A-Za-z]*\) *REG_SZ */\1=/p' |
    sort | paste -sd ';'
}

# The packages whose files lie beside them (tests/packages: cabinet, cabinets, loose, shortnames),
# as name|Title|installed payload.txt|installed data.txt; they install into
# "C:\Program Files\Lodestar <Title>" and record GREETING under HKLM\Software\Lodestar Tests\<Title>.
beside_packages=(
  'cabinet|Cabinet|payload.txt|data/data.txt'
  'cabinets|Cabinets|payload.txt|data/data.txt'
  'loose|Loose|payload.txt|data/data.txt'
  'shortnames|Short|payload long.txt|data long/data.txt'
)
msiexec='C:\windows\system32\msiexec.exe'

# What a package whose files lie beside it left installed: its two files, each compared with its
# source, and the greeting it recorded; "nothing" when neither files nor registry key are there.
beside_installed() {  # TITLE PAYLOAD DATA
  local dir="$prefix/drive_c/Program Files/Lodestar $1" key='HKLM\Software\Lodestar Tests\'"$1"
  if [[ ! -e $dir ]] && ! "$wine" reg query "$key" /reg:64 >/dev/null 2>&1; then
    printf nothing
    return
  fi
  local file source
  for file in "$2=payload.txt" "$3=data.txt"; do
    source="$source_dir/tests/packages/${file#*=}"
    if cmp -s "$dir/${file%%=*}" "$source"; then printf '%s; ' "${file%%=*}"; else printf '%s differs; ' "${file%%=*}"; fi
  done
  printf 'Greeting=%s' "$("$wine" reg query "$key" /v Greeting /reg:64 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Greeting *REG_SZ *//p')"
}

# Leaves the sample product removed, whatever an earlier run left.
remove_sample() { run "$launchers/sample-setup.exe" uninstall; }

group_install() {
  remove_sample

  run "$launchers/sample-setup.exe"
  check "install without arguments exits 0" is "$code" 0
  check "install without arguments installs the file" sample_installed
  check "install leaves no working directory" empty_dir "$temp"
  check "install writes nothing to stderr" no_stderr

  run "$launchers/sample-setup.exe" uninstall
  check "uninstall exits 0" is "$code" 0
  check "uninstall removes the file" sample_absent
  check "uninstall writes nothing to stderr" no_stderr

  run "$launchers/sample-setup.exe" /qn
  check "install with /qn exits 0" is "$code" 0
  check "install with /qn installs the file" sample_installed
  check "install with /qn leaves no working directory" empty_dir "$temp"

  run "$launchers/sample-setup.exe" /qn REBOOT=ReallySuppress uninstall
  check "uninstall after other arguments exits 0" is "$code" 0
  check "uninstall after other arguments removes the file" sample_absent

  run "$launchers/sample-setup.exe" uninstall
  check "uninstall of a product not installed exits 1605" is "$code" 1605
  check "uninstall of a product not installed writes nothing to stderr" no_stderr
  check "uninstall creates no working directory" empty_dir "$temp"

  # A package whose ProductCode is written in lower-case hex digits, packed in upper case.
  local lowercase_file="$prefix/drive_c/Program Files/Lodestar Lowercase/payload.txt"
  run "$launchers/lowercase-setup.exe" /qn
  check "a lower-case product code: install exits 0" is "$code" 0
  check "a lower-case product code: the file is installed" test -f "$lowercase_file"
  run "$launchers/lowercase-setup.exe" uninstall
  check "a lower-case product code: uninstall exits 0" is "$code" 0
  check "a lower-case product code: the file is removed" test ! -e "$lowercase_file"
}

group_passthrough() {
  remove_sample
  local install_dir='C:\Lodestar Tests\Jérôme Αθήνα 東京'
  run "$launchers/sample-setup.exe" /qn "GREETING=first" "GREETING=a b" 'DATAPATH=C:\Data Dir\sub' \
    "INSTALLDIR=$install_dir"
  check "install with properties exits 0" is "$code" 0
  check "a value with a blank arrives whole and the last of two arrives last" \
    is "$(registry_value Greeting)" "a b"
  check "a path value arrives unchanged" is "$(registry_value DataPath)" 'C:\Data Dir\sub'
  check "a non-ASCII install directory receives the file" \
    test -f "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
  check "the working directory is gone" empty_dir "$temp"

  run --env LODESTAR_DEBUG=true "$launchers/sample-setup.exe" Uninstall /qn
  check "Uninstall with a capital U does not remove the product" \
    test -f "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
  check "Uninstall with a capital U is forwarded to msiexec after the package" \
    grep -qE 'main\.msi"? Uninstall /qn\)' "$scratch/stderr"
  check "the working directory is gone after msiexec refused" empty_dir "$temp"

  run "$launchers/sample-setup.exe" uninstall /qn
  check "uninstall removes the relocated product" is "$code" 0
  check "the relocated file is gone" \
    test ! -e "$prefix/drive_c/Lodestar Tests/Jérôme Αθήνα 東京/payload.txt"
}

# What installing the sample with the command-line tail TAIL leads to, through WAY (msiexec, run
# directly on the package, or the launcher): exit code, recorded property values, log written or
# not. The product is removed again afterwards.
outcome_of() {  # WAY TAIL LOG
  local way=$1 tail=$2 log=$3
  rm -f "$log"
  if [[ $way == msiexec ]]; then
    local msiexec='C:\windows\system32\msiexec.exe'
    run --cmdline "$msiexec /i \"$(windows_path "$tests/packages/sample.msi")\" $tail" "$msiexec"
  else
    run --cmdline "\"$(windows_path "$launchers/sample-setup.exe")\" $tail" "$launchers/sample-setup.exe"
  fi
  local written=none
  [[ -s "$log" ]] && written=written
  printf 'exit code %s; %s; log %s' "$code" "$(registry_values)" "$written"
  run "$launchers/sample-setup.exe" uninstall
}

# The launcher hands msiexec its arguments exactly as typed: for each tail, installing through
# the launcher ends exactly as running msiexec on the package with that tail does.
group_arguments() {
  remove_sample
  local log="$scratch/log dir/install log.txt"
  mkdir -p "$(dirname "$log")"
  local wlog many="" i
  wlog=$(windows_path "$log")
  for i in $(seq 1 150); do many+=" PROP$i=\"value $i\""; done
  local tails=(
    '/qn GREETING="say ""hi"" now"'
    "/qn \"GREETING=x\\\" /l*v \\\"$wlog\""
    '"GREETING=x\"" /qn'
    '/qn INSTALLDIR="C:\Lodestar Tests\App Dir\" GREETING=after'
    '/qn GREETING="" DATAPATH=set'
    $'/qn\tGREETING=tab\tDATAPATH="a\tb"'
    "/qn /l*v \"$wlog\" GREETING=logged"
    '/qn GREETING="Jérôme Αθήνα 東京" DATAPATH=C:\Jérôme\'
    "/qn$many GREETING=many"
  )
  local tail direct through
  for tail in "${tails[@]}"; do
    direct=$(outcome_of msiexec "$tail" "$log")
    through=$(outcome_of launcher "$tail" "$log")
    check "same outcome as msiexec for [$tail]: msiexec [$direct], launcher [$through]" is "$through" "$direct"
    check "no working directory left after [$tail]" empty_dir "$temp"
  done
}

group_failures() {
  run "$launchers/failing-setup.exe" /qn
  check "a failing custom action passes 1603 through" is "$code" 1603
  check "an installer failure shows no error text" no_stderr
  check "the working directory is gone after 1603" empty_dir "$temp"

  # Windows' installer answers 1620 for a file that is no package, Wine's 1627: either way the
  # launcher must hand back exactly what msiexec says of the same file.
  cp "$(dirname "$0")/not-a-package.txt" "$scratch/not-a-package.msi"
  run 'C:\windows\system32\msiexec.exe' /i "$(windows_path "$scratch/not-a-package.msi")" /qn
  local direct=$code
  run "$launchers/not-a-package-setup.exe" /qn
  check "a payload that is no package passes msiexec's code ($direct) through" is "$code" "$direct"
  check "msiexec refused the payload" test "$direct" != 0 -a "$direct" != -1
  check "the working directory is gone after 1620" empty_dir "$temp"

  run "$launchers/reboot-setup.exe" /qn
  check "a package that asks for a reboot passes 3010 through" is "$code" 3010
  check "the working directory is gone after 3010" empty_dir "$temp"
  run "$launchers/reboot-setup.exe" uninstall
  check "its removal passes 3010 through" is "$code" 3010
  check "a reboot request shows no error text" no_stderr
}

# The launcher's own failures: exit code -1 read in full, the raw message on stderr, nothing left.
expect_launcher_failure() {  # DESCRIPTION MESSAGE
  check "$1: exit code 0xFFFFFFFF" is "$code" -1
  check "$1: the message on stderr" stderr_has "$2"
  check "$1: no working directory or staged file left" empty_dir "$temp"
}

group_errors() {
  run "$launchers/no-msi.exe" /qn
  expect_launcher_failure "no package resource" "cannot find resource (name='msi', type='#10')"
  run "$launchers/no-product-code.exe" uninstall
  expect_launcher_failure "no product code resource" "cannot find resource (name='product_code', type='#10')"
  run "$launchers/bad-product-code.exe" uninstall
  expect_launcher_failure "a product code that is no GUID" "IIDFromString("

  # An exception with nowhere to go ends the launcher with -1 too, not with the runtime's abort code.
  run "$launchers/terminate_child.exe"
  check "std::terminate: exit code 0xFFFFFFFF [$code]" is "$code" -1

  # The launcher's own exception state and static guards: eight threads at once.
  run "$launchers/cxx_runtime_child.exe"
  check "exceptions and statics under threads: exit code 0 [$(tail -n 3 "$scratch/stdout" | tr '\n' ' ')]" is "$code" 0

  run --temp "$scratch/does not exist" "$launchers/sample-setup.exe" /qn
  check "TEMP pointing nowhere: exit code 0xFFFFFFFF" is "$code" -1
  check "TEMP pointing nowhere: the message on stderr" stderr_has "createTempFile(, .tmp, "
  check "TEMP pointing nowhere: nothing was made" test ! -e "$scratch/does not exist"

  # The resource's size decides the text: a NUL inside is part of it, and shows in the message.
  local guid='\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}'
  run "$launchers/nul-product-code.exe" uninstall
  expect_launcher_failure "a product code followed by a NUL" "IIDFromString({"
  check "a product code followed by a NUL: the NUL shows" grep -qE "IIDFromString\($guid\\\\0\) failed" "$scratch/stderr"
  run "$launchers/nul-junk-product-code.exe" uninstall
  expect_launcher_failure "a product code, a NUL and more" "\\0junk) failed"
  run "$launchers/utf16-product-code.exe" uninstall
  expect_launcher_failure "a UTF-16 product code" 'IIDFromString({\0'
  check "a UTF-16 product code: the whole text shows" grep -qE '\}\\0\) failed' "$scratch/stderr"

  # A temporary directory the system cannot give: the working directory goes nowhere else.
  local long_temp="$scratch/$(printf 'a%.0s' {1..150})/$(printf 'b%.0s' {1..150})"
  local cwd="$scratch/current dir"
  mkdir -p "$long_temp" "$cwd"
  cd "$cwd"
  run --temp "$long_temp" "$launchers/sample-setup.exe" /qn
  cd - >/dev/null
  expect_launcher_failure "TEMP too long" "GetTempPath() failed"
  check "TEMP too long: nothing in the current directory" empty_dir "$cwd"
  check "TEMP too long: nothing in TEMP" empty_dir "$long_temp"

  # A command line that would be cut for msiexec is refused whole: the launcher's own line is as
  # long as Windows allows, msiexec's would be longer once /i and the package path come first.
  local launcher_line
  launcher_line="\"$(windows_path "$launchers/sample-setup.exe")\" /qn GREETING="
  launcher_line+=$(head -c $((32766 - ${#launcher_line})) /dev/zero | tr '\0' 'x')
  # Too long for runwin's own command line too: it reads this one from a file.
  printf '%s' "$launcher_line" >"$scratch/command line.txt"
  run --cmdline-file "$(windows_path "$scratch/command line.txt")" "$launchers/sample-setup.exe"
  expect_launcher_failure "a command line too long for msiexec" "Windows accepts at most 32766"
  check "a command line too long for msiexec: nothing installed" sample_absent
}

group_fulldisk() {
  local disk="$scratch/full disk"
  mount_tmpfs "$disk" 64k
  local package_size
  package_size=$(stat -c %s "$tests/packages/sample.msi")
  # Leave room for the working directory but not for the package.
  head -c $((64 * 1024 - package_size / 2)) /dev/zero >"$disk/filler" 2>/dev/null || true
  mkdir "$disk/temp"
  run --temp "$disk/temp" "$launchers/sample-setup.exe" /qn
  check "a full disk: exit code 0xFFFFFFFF" is "$code" -1
  check "a full disk: the write failure on stderr" stderr_has "System error [112]"
  check "a full disk: no working directory or rvn file left" empty_dir "$disk/temp"
}

group_environment() {
  remove_sample
  local odd="$scratch/Temp Jérôme Αθήνα 東京"
  mkdir -p "$odd"
  run --temp "$odd" "$launchers/sample-setup.exe" /qn
  check "TEMP with blanks and non-ASCII: install exits 0" is "$code" 0
  check "TEMP with blanks and non-ASCII: the working directory is gone" empty_dir "$odd"
  remove_sample

  # Two launchers at once (of two products: one product's take turns), each tracing the directory
  # it made.
  local first="$scratch/first" second="$scratch/second"
  mkdir -p "$first" "$second"
  (scratch=$first run --env LODESTAR_DEBUG=true "$launchers/not-a-package-setup.exe" /qn) &
  (scratch=$second run --env LODESTAR_DEBUG=true "$launchers/other-not-a-package-setup.exe" /qn)
  wait
  local dir1 dir2
  dir1=$(sed -n 's/.*Created \[\(.*\)\] directory.*/\1/p' "$first/stderr" | head -n 1)
  dir2=$(sed -n 's/.*Created \[\(.*\)\] directory.*/\1/p' "$second/stderr" | head -n 1)
  check "two launchers at once: both made a working directory" test -n "$dir1" -a -n "$dir2"
  check "two launchers at once: the directories differ" test "$dir1" != "$dir2"
  check "two launchers at once: both directories are gone" empty_dir "$temp"
  check "two launchers at once: the first name is digits then .tmp" working_dir_name "$dir1"
  check "two launchers at once: the second name is digits then .tmp" working_dir_name "$dir2"
}

group_debug() {
  # The whole child command line: msiexec from the system directory, /i, the package in a fresh
  # digits-only working directory, then the launcher's own arguments exactly as its command line
  # held them (runwin quotes them for the launcher as CommandLineToArgvW reads them back).
  run --env LODESTAR_DEBUG=true "$launchers/not-a-package-setup.exe" /qn "PROP=a b" "" '"Q=x y"' 'TARGETDIR=C:\x'
  local dir_re
  dir_re=$(printf '%s' "$(windows_path "$temp")" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
  check "debug run: the exact child command line" grep -qE \
    "CreateProcess\(C:\\\\windows\\\\system32\\\\msiexec\.exe, C:\\\\windows\\\\system32\\\\msiexec\.exe /i \"$dir_re\\\\[0-9]+\.tmp\\\\main\.msi\" /qn \"PROP=a b\" \"\" \"\\\\\"Q=x y\\\\\"\" TARGETDIR=C:\\\\x\) succeeded" \
    "$scratch/stderr"
  check "debug run: the installer's code still comes back" test "$code" != 0 -a "$code" != -1
  check "debug run: the child's PID is traced" grep -qiE 'pid[^0-9]*[0-9]+' "$scratch/stderr"
  check "debug run: the exit code is traced" stderr_has "Exit code=$code"
  check "debug run: the deletions are traced" stderr_has '] directory'
  check "debug run: records are one-line [LEVEL] file:line: message" \
    grep -qE '^\[(TRACE|INFO|WARNING|ERROR)\] [^ :]+:[0-9]+: ' "$scratch/stderr"

  run --env LODESTAR_DEBUG=TRUE "$launchers/not-a-package-setup.exe" /qn
  check "LODESTAR_DEBUG=TRUE is off: nothing on stderr" no_stderr
  run "$launchers/not-a-package-setup.exe" /qn
  check "no debug switch: nothing on stderr" no_stderr
}

group_planted() {
  remove_sample
  local dir="$scratch/Downloads"
  mkdir -p "$dir"
  local names=(msi mspatcha cabinet shell32 shlwapi ole32 user32 imm32 uxtheme comctl32 msimsg
               wintrust crypt32 sfc_os)
  local name
  for name in "${names[@]}"; do
    cp "$launchers/launcher_planted.dll" "$dir/$name.dll"
  done
  for exe in sample-setup.exe no-msi.exe; do
    cp "$launchers/$exe" "$dir/$exe"
  done
  local overrides
  overrides="$(IFS=,; echo "${names[*]}")=n,b;mscoree,mshtml="
  planted_loaded() { ls "$dir"/*.loaded >/dev/null 2>&1; }
  not_loaded() { ! planted_loaded; }

  WINEDLLOVERRIDES=$overrides run "$dir/sample-setup.exe" /qn
  check "planted DLLs: install exits 0" is "$code" 0
  check "planted DLLs: none loaded during install" not_loaded
  WINEDLLOVERRIDES=$overrides run "$dir/sample-setup.exe" uninstall
  check "planted DLLs: uninstall exits 0" is "$code" 0
  check "planted DLLs: none loaded during uninstall" not_loaded
  WINEDLLOVERRIDES=$overrides run "$dir/no-msi.exe"
  check "planted DLLs: failure exits -1" is "$code" -1
  check "planted DLLs: none loaded on the failure path" not_loaded
  planted_loaded && ls "$dir"/*.loaded
}

# Another process of the same user attacks the working directory while msiexec runs: it can
# neither swap the package nor rename the directory away (to put a link in its place).
# attack [--while-installing] LAUNCHER ATTACK [ARGS...]: runs LAUNCHER /qn with the attacker
# (hostile ATTACK TEMP ARGS...) watching; sets attack_result, the attacker's exit code.
attack() {
  local options=()
  if [[ $1 == --while-installing ]]; then
    options=("$1")
    shift
  fi
  local launcher=$1 attempt attacker waited status
  shift
  code=  # the launcher's, once it ran
  : >"$scratch/stderr"
  for attempt in 1 2 3; do
    rm -f "$scratch/hostile.out"
    "$wine" "$hostile" "${options[@]}" "$1" "$(windows_path "$temp")" "${@:2}" 30 >"$scratch/hostile.out" 2>&1 &
    attacker=$!
    for waited in $(seq 1 200); do
      grep -q watching "$scratch/hostile.out" 2>/dev/null && break
      kill -0 "$attacker" 2>/dev/null || break
      sleep 0.1
    done
    # An attacker that never started watching made no attack: Wine once ended one with 1 and no
    # output at all. The launcher runs only against one that watches; bad usage (3) is not retried.
    if ! grep -q watching "$scratch/hostile.out" 2>/dev/null; then
      kill "$attacker" 2>/dev/null
      wait "$attacker"
      status=$?
      echo "  attack, attempt $attempt of 3: the attacker did not start watching (exit code $status; it" \
        "printed: $(tr -d '\r' <"$scratch/hostile.out" | paste -sd ' '))"
      attack_result=2
      [[ $status -eq 3 ]] && return
      continue
    fi
    run "$launcher" /qn
    wait "$attacker"
    attack_result=$?
    [[ $attack_result -ne 2 ]] && return
  done
}

# The flip of one byte of FILE at OFFSET.
flip_byte() {  # FILE OFFSET
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Where the bytes of FILE start inside LAUNCHER: each carried file starts on a page of its own.
carried_offset() {  # LAUNCHER FILE
  local size at
  size=$(stat -c %s "$2")
  for ((at = 0; at < $(stat -c %s "$1"); at += 4096)); do
    if cmp -s -n "$size" -i "$at:0" "$1" "$2"; then
      echo "$at"
      return
    fi
  done
}

group_hostile() {
  remove_sample
  run "$launchers/reboot-setup.exe" uninstall
  local reboot_file="$prefix/drive_c/Program Files/Lodestar Reboot/payload.txt"

  attack "$launchers/sample-setup.exe" overwrite "$(windows_path "$tests/packages/reboot.msi")"
  check "overwrite: the attacker found the package" test "$attack_result" != 2
  check "overwrite: another product was not installed" test ! -e "$reboot_file"
  if [[ $attack_result -eq 0 ]]; then
    check "overwrite refused: the carried product installed" is "$code" 0
    check "overwrite refused: the carried product is there" sample_installed
  else
    # The copy landed before the package was held: the check of its bytes must catch it, or, when
    # the attacker still has the file open, the hold itself.
    check "overwrite before the hold: launcher failure" is "$code" -1
    check "overwrite before the hold: the other program is named" stderr_has "by another program after it was written"
  fi
  check "overwrite: no working directory left" empty_dir "$temp"
  sed 's/^/  attacker: /' "$scratch/hostile.out"
  run "$launchers/reboot-setup.exe" uninstall
  remove_sample

  attack "$launchers/sample-setup.exe" rename
  check "rename: the attacker found the working directory" test "$attack_result" != 2
  check "rename: the working directory could not be renamed" is "$attack_result" 0
  check "rename: the installation went on" is "$code" 0
  check "rename: no working directory left, renamed or not" empty_dir "$temp"
  sed 's/^/  attacker: /' "$scratch/hostile.out"
  remove_sample

  # The files beside the package, attacked as soon as they appear (racing the launcher's hold) or
  # while msiexec runs (when they are held): the installation uses the carried bytes or fails, and
  # never installs others. The other bytes: a cabinet with other files under the same keys, and
  # another data.txt.
  mkdir -p "$scratch/other"
  echo "hostile payload" >"$scratch/other/PayloadFile"
  echo "hostile data" >"$scratch/other/DataFile"
  gcab -c -n "$scratch/other.cab" "$scratch/other/PayloadFile" "$scratch/other/DataFile"
  cp "$scratch/other/DataFile" "$scratch/other.txt"
  local attacks=(
    'as soon as it appears|cabinet|Cabinet|swap|other.cab|cabinet.cab'
    'while installing|cabinet|Cabinet|overwrite|other.cab|cabinet.cab'
    'while installing|cabinets|Cabinets|swap|other.cab|second é.cab'
    'while installing|loose|Loose|overwrite|other.txt|Loose Source\data\data.txt'
    'while installing|loose|Loose|rename||Loose Source\data'
  )
  local entry when name title how source target what arguments installed
  for entry in "${attacks[@]}"; do
    IFS='|' read -r when name title how source target <<<"$entry"
    what="$name: $how $target $when"
    run "$launchers/$name-setup.exe" uninstall
    arguments=()
    [[ -n $source ]] && arguments+=("$(windows_path "$scratch/$source")")
    if [[ $when == 'while installing' ]]; then
      attack --while-installing "$launchers/$name-setup.exe" "$how" "${arguments[@]}" "$target"
      check "$what: refused" is "$attack_result" 0
    else
      attack "$launchers/$name-setup.exe" "$how" "${arguments[@]}" "$target"
      check "$what: the attacker found it" test "$attack_result" != 2
    fi
    installed=$(beside_installed "$title" payload.txt data/data.txt)
    if [[ $attack_result -eq 0 || $when == 'while installing' ]]; then
      check "$what: the carried files are installed [$code: $installed]" \
        is "$code: $installed" "0: payload.txt; data/data.txt; Greeting=hello"
    else
      # Done before the file was held: the launcher's check of its bytes must catch it.
      check "$what, before the hold: the launcher fails [$code: $installed]" is "$code: $installed" "-1: nothing"
      check "$what, before the hold: the file is named" stderr_has "${target##*\\}"
    fi
    check "$what: no working directory left" empty_dir "$temp"
    sed 's/^/  attacker: /' "$scratch/hostile.out"
    run "$launchers/$name-setup.exe" uninstall
  done

  # Launchers with one byte changed in the data of a carried file, or in the data of their index
  # (its last "LPIX": the stub's code holds the others): refused before msiexec starts, with one
  # message naming what does not match; nothing installed, nothing left.
  local damaged=(
    'cabinet|Cabinet|cabinet/cabinet.msi|cabinet.msi'
    'cabinet|Cabinet|cabinet/cabinet.cab|cabinet.cab'
    'cabinets|Cabinets|cabinets/second é.cab|second é.cab'
    'loose|Loose|loose/Loose Source/data/data.txt|Loose Source\data\data.txt'
    'cabinets|Cabinets||its index'
  )
  local file offset launcher
  for entry in "${damaged[@]}"; do
    IFS='|' read -r name title file target <<<"$entry"
    what="$name: one byte of $target changed"
    launcher="$scratch/damaged-$name.exe"
    cp "$launchers/$name-setup.exe" "$launcher"
    if [[ -n $file ]]; then
      offset=$(carried_offset "$launcher" "$tests/packages/$file")
      check "$what: the carried bytes are found" test -n "$offset"
      offset=$((${offset:-0} + $(stat -c %s "$tests/packages/$file") / 2))
    else
      offset=$(grep -obUa LPIX "$launcher" | tail -n 1 | cut -d: -f1)
      offset=$((offset + 12 + 18))  # the first letter of the first name
    fi
    flip_byte "$launcher" "$offset"
    run "$launcher" /qn
    check "$what: exit code 0xFFFFFFFF" is "$code" -1
    check "$what: the one message" is "$(text_of "$scratch/stderr")" \
      "This setup is damaged: $target is not what was packed. Download it again."
    check "$what: nothing installed" is "$(beside_installed "$title" payload.txt data/data.txt)" nothing
    check "$what: no working directory left" empty_dir "$temp"
    run --env LODESTAR_DEBUG=true "$launcher" /qn
    check "$what: msiexec never started" test -z "$(grep -F 'CreateProcess(' "$scratch/stderr")"
  done
}

# msiexec's logging switch also works on removal: the service writes the log.
group_removal_log() {
  local logs="$scratch/logs dir"
  mkdir -p "$logs"
  local entry switch name
  for entry in '/l*v|verbose log.txt' '/log|log switch.txt' '-Liwe|short.txt' '/L*V!|flushed.txt'; do
    switch=${entry%%|*}
    name=${entry#*|}
    run "$launchers/sample-setup.exe" /qn
    run "$launchers/sample-setup.exe" uninstall "$switch" "$(windows_path "$logs/$name")"
    check "uninstall $switch: exits 0" is "$code" 0
    check "uninstall $switch: the product is removed" sample_absent
    check "uninstall $switch: the log is written" test -s "$logs/$name"
  done

  # A relative log path is the user's current directory's.
  run "$launchers/sample-setup.exe" /qn
  cd "$logs"
  run "$launchers/sample-setup.exe" uninstall /l*v relative.log
  cd - >/dev/null
  check "uninstall with a relative log path: exits 0" is "$code" 0
  check "uninstall with a relative log path: the log is in the current directory" test -s "$logs/relative.log"

  run "$launchers/sample-setup.exe" uninstall /l*v
  expect_launcher_failure "a logging switch without a file" "The logging switch /l*v needs a log file after it"
  run "$launchers/sample-setup.exe" uninstall /lq "$(windows_path "$logs/bad.txt")"
  expect_launcher_failure "an unknown logging mode" "Unknown logging mode 'q' in /lq"
  check "an unknown logging mode: no log" test ! -e "$logs/bad.txt"
}

# Each installs when msiexec runs it from its folder, and through its launcher, which carries what
# lies beside it; a property on the command line reaches the installer either way, and removal
# leaves nothing.
group_payload() {
  local entry name title payload data installed
  for entry in "${beside_packages[@]}"; do
    IFS='|' read -r name title payload data <<<"$entry"
    run "$launchers/$name-setup.exe" uninstall
    check "$name: nothing installed before" is "$(beside_installed "$title" "$payload" "$data")" nothing

    run "$msiexec" /i "$(windows_path "$tests/packages/$name/$name.msi")" /qn "GREETING=direct $name"
    check "$name: msiexec installs it from its folder" is "$code" 0
    installed=$(beside_installed "$title" "$payload" "$data")
    check "$name: msiexec installed [$installed]" is "$installed" "$payload; $data; Greeting=direct $name"
    run "$launchers/$name-setup.exe" uninstall
    check "$name: its launcher removes what msiexec installed" is "$code" 0

    run "$launchers/$name-setup.exe" /qn "GREETING=through the launcher"
    check "$name: installs through its launcher" is "$code" 0
    installed=$(beside_installed "$title" "$payload" "$data")
    check "$name: the launcher installed [$installed]" is "$installed" \
      "$payload; $data; Greeting=through the launcher"
    check "$name: the launcher writes nothing to stderr" no_stderr
    check "$name: no working directory left after installing" empty_dir "$temp"
    run "$launchers/$name-setup.exe" uninstall
    check "$name: uninstall exits 0" is "$code" 0
    check "$name: nothing left installed" is "$(beside_installed "$title" "$payload" "$data")" nothing
    check "$name: no working directory left after removing" empty_dir "$temp"
  done

  # The layouts are what the installer needs, so a launcher that carried the files under other
  # names would fail: under the target name instead of the source name, or under long names
  # instead of short ones, msiexec cannot install from the folder.
  local wrong
  for wrong in 'loose|Lodestar Loose/payload.txt|Lodestar Loose/data/data.txt' \
               'shortnames|Lodestar Short/payload long.txt|Lodestar Short/data long/data.txt'; do
    IFS='|' read -r name payload data <<<"$wrong"
    rm -rf "$scratch/wrong"
    mkdir -p "$scratch/wrong/$(dirname "$data")"
    cp "$tests/packages/$name/$name.msi" "$scratch/wrong/"
    cp "$source_dir/tests/packages/payload.txt" "$scratch/wrong/$payload"
    cp "$source_dir/tests/packages/data.txt" "$scratch/wrong/$data"
    run "$msiexec" /i "$(windows_path "$scratch/wrong/$name.msi")" /qn
    check "$name: laid out as $payload, msiexec fails (1603)" is "$code" 1603
  done
}

# The launcher's verbs: extract writes what it carries without installing, repair puts an installed
# product back from the carried package, /? shows the launcher's own usage and starts nothing.
group_verbs() {
  local out="$scratch/out dir é"
  run "$launchers/cabinets-setup.exe" extract "$(windows_path "$out")"
  check "extract exits 0" is "$code" 0
  check "extract writes nothing to stderr" no_stderr
  check "extract makes no working directory" empty_dir "$temp"
  local file
  for file in cabinets.msi first.cab "second é.cab"; do
    check "extract writes $file as it was packed" cmp "$tests/packages/cabinets/$file" "$out/$file"
  done
  check "extract writes nothing else" is "$(ls "$out" | wc -l)" 3
  touch -d '2000-01-01' "$out/first.cab"
  run "$launchers/cabinets-setup.exe" extract "$(windows_path "$out")"
  check "extract over existing files fails (-1)" is "$code" -1
  check "extract names the first existing file" stderr_has "cabinets.msi exists already: nothing was extracted"
  check "extract leaves the existing files as they were" test "$(stat -c %Y "$out/first.cab")" -lt 1000000000
  run "$launchers/cabinets-setup.exe" extract
  check "extract without a directory fails (-1) with its usage" is "$code/$(grep -c 'extract DIR' "$scratch/stderr")" -1/1
  run "$launchers/cabinets-setup.exe" extract "$(windows_path "$out")" more
  check "extract with two directories fails (-1)" is "$code" -1

  remove_sample
  run "$launchers/sample-setup.exe" repair /qn
  check "repair of a product not installed gives 1605" is "$code" 1605
  check "repair of a product not installed extracts nothing" empty_dir "$temp"
  # The package's own default comes back: a repair writes the registry from the package's values.
  run "$launchers/sample-setup.exe" /qn
  rm -f "$sample_dir/payload.txt"
  "$wine" reg add "$reg_key" /v Greeting /d changed /f /reg:64 >/dev/null 2>&1
  local log="$scratch/repair log.txt"
  run "$launchers/sample-setup.exe" repair /qn /l*v "$(windows_path "$log")"
  check "repair exits 0" is "$code" 0
  check "repair restores the deleted file" sample_installed
  check "repair restores the changed registry value" is "$(registry_value Greeting)" hello
  check "repair writes the log asked for" test -s "$log"
  check "repair leaves no working directory" empty_dir "$temp"
  remove_sample

  run --env LODESTAR_DEBUG=true "$launchers/sample-setup.exe" /?
  check "/? exits 0" is "$code" 0
  check "/? starts no installer" bash -c "! grep -q 'CreateProcess' '$scratch/stderr'"
  check "/? extracts nothing" empty_dir "$temp"
  local help
  for help in -? /help --help; do
    run "$launchers/sample-setup.exe" "$help"
    check "$help shows the usage (standard error, no display here)" stderr_has "sample-setup.exe repair [options]"
    check "$help exits 0" is "$code" 0
  done
}

case "$group" in
  install | passthrough | arguments | failures | errors | fulldisk | environment | debug | planted | hostile | \
    removal_log | payload | verbs) "group_$group" ;;
  *) echo "unknown group '$group'"; exit 2 ;;
esac
finish
