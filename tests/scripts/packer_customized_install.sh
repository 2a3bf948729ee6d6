#!/usr/bin/env bash
# Customized launchers the native lodestar-pack wrote, run under Wine with its Windows Installer:
# a slipstreamed patch installs the patched version; a language transform applies for a Japanese
# user and not for another; a transform (written by tests/support/make_transform.py) and preset
# properties reach the installer, and what the user types wins; repair gives the properties
# again; install.cmd from an extracted folder installs the same product; uninstall removes all.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
pack=$LODESTAR_NATIVE_PACK
samples=$source_dir/tests/data/msi-samples

make_scratch "customized install"
temp="$scratch/temp"
mkdir -p "$temp" "$scratch/in"

# installed CODE NAME: the value Windows Installer recorded for the installed product CODE
# (InstallProperties: DisplayName, DisplayVersion, Language), "(not installed)" without one.
installed() {
  "$wine" reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData' \
    "$(windows_path "$scratch/userdata.reg")" /y /reg:64 >/dev/null 2>&1
  "$python" - "$scratch/userdata.reg" "$1" "$2" <<'EOF_PY'
import re, sys
try:
    text = open(sys.argv[1], encoding="utf-16").read()
except OSError:
    text = ""
parts = sys.argv[2].strip("{}").split("-")
tail = parts[3] + parts[4]
packed = parts[0][::-1] + parts[1][::-1] + parts[2][::-1] + "".join(tail[i + 1] + tail[i] for i in range(0, 16, 2))
section = re.search(r"\\Products\\" + packed + r"\\InstallProperties\]\n(.*?)(?:\n\n|\Z)", text, re.S | re.I)
if not section:
    print("(not installed)")
    sys.exit()
for line in section.group(1).splitlines():
    name, _, value = line.partition("=")
    if name.strip('"') == sys.argv[3]:
        print(int(value[6:], 16) if value.startswith("dword:") else value.strip('"').replace('\\\\', '\\'))
        break
else:
    print("(absent)")
EOF_PY
}

# The sample package's registry values (HKLM\Software\Lodestar Tests\Sample): NAME=VALUE;...
# Read from an export (UTF-16): reg query prints in the console's code page.
sample_values() {
  rm -f "$scratch/sample.reg"
  "$wine" reg export 'HKLM\Software\Lodestar Tests\Sample' "$(windows_path "$scratch/sample.reg")" /y /reg:64 \
    >/dev/null 2>&1
  [[ -f $scratch/sample.reg ]] || return 0
  iconv -f UTF-16 -t UTF-8 "$scratch/sample.reg" | tr -d '\r' |
    sed -n 's/^"\(Greeting\|DataPath\)"="\(.*\)"$/\1=\2/p' | sort | paste -sd ';'
}

# --- A patch slipstreamed: Example.msi 1.0.0 with Example.msp installs 1.0.1.
example_code='{877EF582-78AF-4D84-888B-167FDC3BCC11}'
"$pack" "$samples/Example.msi" -o "$scratch/patched.exe" --patch "$samples/Example.msp" >"$scratch/out" 2>&1
check "patched: packed" is "$?" 0
run "$scratch/patched.exe" uninstall  # left by an earlier run that was stopped
run "$scratch/patched.exe" /qn
check "patched: installs (exit code 0)" is "$code" 0
expect_eq "patched: the patch's version is installed" "1.0.1" "$(installed "$example_code" DisplayVersion)"
run "$scratch/patched.exe" uninstall
check "patched: removed (exit code 0)" is "$code" 0
expect_eq "patched: nothing of it is left" "(not installed)" "$(installed "$example_code" DisplayVersion)"

# --- A language transform: the edited copy of Example.msi the sample transforms fit (their README).
edited=$scratch/in/edited.msi
cp "$samples/Example.msi" "$edited" && chmod u+w "$edited"
for update in "Value='{000C1109-0000-0000-C000-000000000046}' WHERE Property='ProductCode'" \
              "Value='0.0.0.0' WHERE Property='ProductVersion'" \
              "Value='{F400B367-33CF-429E-B571-0FDCF253ABC2}' WHERE Property='UpgradeCode'"; do
  msibuild "$edited" -q "UPDATE Property SET $update"
done
edited_code='{000C1109-0000-0000-C000-000000000046}'
"$pack" "$edited" -o "$scratch/languages.exe" --language-transform "$samples/Example.jpn.mst" \
  --transform "$samples/Example.mst" >"$scratch/out" 2>&1
check "languages: packed" is "$?" 0
# language LC_ALL: the language and name the product installs with for a user of that locale
# (Wine takes the user's interface language from LC_ALL).
language_install() {
  run "$scratch/languages.exe" uninstall
  LC_ALL=$1 "$wine" "$scratch/languages.exe" /qn >/dev/null 2>&1
  printf '%s %s' "$(installed "$edited_code" Language)" "$(installed "$edited_code" DisplayName)"
  run "$scratch/languages.exe" uninstall
}
expect_eq "languages: a Japanese user gets the Japanese transform" "1041 テストプロダクト" "$(language_install ja_JP.UTF-8)"
expect_eq "languages: another user gets the package's own language" "1033 TEST" "$(language_install C.UTF-8)"
expect_eq "languages: removed" "(not installed)" "$(installed "$edited_code" Language)"
# install.cmd LANGID: the language given first chooses its transform; the options after it go on.
run "$scratch/languages.exe" extract "$(windows_path "$scratch/languages")"
check "languages: extracted (exit code 0)" is "$code" 0
# (cmd /c takes the line in quotes and drops the outer pair.)
cmd='C:\windows\system32\cmd.exe'
run --cmdline "$cmd /c \"\"$(windows_path "$scratch/languages/install.cmd")\" 1041 /qn NOTE=\"a b\"\"" "$cmd"
check "languages: install.cmd 1041 /qn installs (exit code 0)" is "$code" 0
expect_eq "languages: install.cmd 1041 installs the Japanese product" "1041 テストプロダクト" \
  "$(installed "$edited_code" Language) $(installed "$edited_code" DisplayName)"
run "$scratch/languages.exe" uninstall

# --- A transform made here and preset properties, on the sample package.
sample_code=$(property "$packages/sample.msi" ProductCode)
check "greeting.mst is written" "$python" "$source_dir/tests/support/make_transform.py" "$scratch/in/greeting.mst" \
  --product-code "$sample_code" "GREETING=from the transform" "ProductName=Lodestar Sample Transformed"
preset='Zürich Ωmega "q" v'
"$pack" "$packages/sample.msi" -o "$scratch/custom.exe" --transform "$scratch/in/greeting.mst" \
  --property "DATAPATH=$preset" >"$scratch/out" 2>&1
check "custom: packed" is "$?" 0
run "$scratch/custom.exe" uninstall
run "$scratch/custom.exe" /qn
check "custom: installs (exit code 0)" is "$code" 0
# Windows Installer reads NAME="A ""q"" v" as A "q" v; Wine's msiexec drops the quotes inside.
expect_eq "custom: the transform's and the preset property's values reach the installer" \
  "DataPath=Zürich Ωmega q v;Greeting=from the transform" "$(sample_values)"
expect_eq "custom: the transform names the product" "Lodestar Sample Transformed" "$(installed "$sample_code" DisplayName)"
check "custom: nothing left in TEMP" empty_dir "$temp"
run "$scratch/custom.exe" repair /qn
check "custom: repair (exit code 0)" is "$code" 0
# Windows Installer applies the cached transforms to a maintenance installation itself; Wine 8
# registers no transforms list and repairs from the package alone, so the greeting returns to the
# package's own. The preset property is given again and stays.
expect_eq "custom: repair gives the preset property again (Wine: without the transform)" \
  "DataPath=Zürich Ωmega q v;Greeting=hello" "$(sample_values)"
run "$scratch/custom.exe" uninstall
check "custom: removed (exit code 0)" is "$code" 0
expect_eq "custom: nothing of it is left" "(not installed) " "$(installed "$sample_code" DisplayName) $(sample_values)"
# What the user types comes last and wins: a transform of their own instead, another value.
check "theirs.mst is written" "$python" "$source_dir/tests/support/make_transform.py" "$scratch/in/theirs.mst" \
  --product-code "$sample_code" "GREETING=from the user's transform"
run --cmdline "\"$(windows_path "$scratch/custom.exe")\" /qn DATAPATH=typed TRANSFORMS=\"$(windows_path "$scratch/in/theirs.mst")\"" \
  "$scratch/custom.exe"
check "custom, overridden: installs (exit code 0)" is "$code" 0
expect_eq "custom, overridden: the user's TRANSFORMS= and DATAPATH= win" \
  "DataPath=typed;Greeting=from the user's transform" "$(sample_values)"
run "$scratch/custom.exe" uninstall

# --- install.cmd from an extracted folder, run by Wine's cmd. Wine's cmd knows no code page 65001,
# so its value stays ASCII here: '%' and a variable's name reach the installer as they are.
"$pack" "$packages/sample.msi" -o "$scratch/script.exe" --transform "$scratch/in/greeting.mst" \
  --property 'DATAPATH=100% "sure" %PATH%' >"$scratch/out" 2>&1
check "script: packed" is "$?" 0
run "$scratch/script.exe" extract "$(windows_path "$scratch/extracted")"
check "script: extracted (exit code 0)" is "$code" 0
check "script: install.cmd is beside the package" test -f "$scratch/extracted/install.cmd"
check "script: lodestar-pack --extract writes it too" "$pack" --extract "$scratch/script.exe" -o "$scratch/packer extracted"
check "script: the same install.cmd" cmp "$scratch/extracted/install.cmd" "$scratch/packer extracted/install.cmd"
run 'C:\windows\system32\cmd.exe' /c "$(windows_path "$scratch/extracted/install.cmd")" /qn
check "script: install.cmd installs (exit code 0)" is "$code" 0
expect_eq "script: the same product, the value as typed (Wine drops the inner quotes)" \
  "DataPath=100% sure %PATH%;Greeting=from the transform" "$(sample_values)"
run "$scratch/script.exe" uninstall
check "script: the launcher removes it (exit code 0)" is "$code" 0
expect_eq "script: nothing of it is left" "(not installed) " "$(installed "$sample_code" DisplayName) $(sample_values)"

# --- A default log (lodestar-pack --log): every install, repair and removal leaves a verbose log in
# TEMP, named for the product, unless the user's text asks for one of its own.
logs="$scratch/logs"
mkdir -p "$logs"
"$pack" "$packages/sample.msi" -o "$scratch/logged.exe" --log >"$scratch/out" 2>&1
check "logged: packed" is "$?" 0
logs_in_temp() { find "$logs" -maxdepth 1 -name 'Lodestar Sample_*.log' | sort; }
run --temp "$logs" "$scratch/logged.exe" /qn
check "logged: installs (exit code 0)" is "$code" 0
run --temp "$logs" "$scratch/logged.exe" repair /qn
check "logged: repairs (exit code 0)" is "$code" 0
run --temp "$logs" "$scratch/logged.exe" uninstall
check "logged: removes it (exit code 0)" is "$code" 0
mapfile -t written < <(logs_in_temp)
expect_eq "logged: one log for each of the three runs" 3 "${#written[@]}"
for log in "${written[@]}"; do
  expect_match "logged: named [installed name]_[yyyyMMddHHmmss]_[process id].log" \
    '/Lodestar Sample_20[0-9]{12}_[0-9]+\.log$' "$log"
done
check "logged: the install's log is Windows Installer's verbose one" \
  bash -c "iconv -f UTF-16LE -t UTF-8 '${written[0]}' 2>/dev/null | grep -q 'Property(S): GREETING' || grep -aq 'Property(S): GREETING' '${written[0]}'"
rm -f "$logs"/*.log
run --temp "$logs" "$scratch/logged.exe" /qn /l*v "$(windows_path "$scratch/mine.log")"
check "logged: the user's /l*v FILE replaces the default log" bash -c "[[ -s '$scratch/mine.log' && -z \"\$(ls '$logs')\" ]]"
run --temp "$logs" "$scratch/logged.exe" uninstall /l*v "$(windows_path "$scratch/mine-removal.log")"
check "logged: the user's uninstall /l*v FILE replaces it too" bash -c "[[ -s '$scratch/mine-removal.log' && -z \"\$(ls '$logs')\" ]]"
"$pack" "$packages/failing.msi" -o "$scratch/failing-logged.exe" --log >"$scratch/out" 2>&1
run --temp "$logs" "$scratch/failing-logged.exe" /qn
check "logged, failing: the installer's code (1603)" is "$code" 1603
mapfile -t written < <(find "$logs" -maxdepth 1 -name '*.log')
# Windows Installer logs the failing action's message and "Return value 3"; Wine 8's log of the
# same run ends with the last action that succeeded, before the error custom action.
check "logged, failing: the failed install's log is there, the installer's own" \
  grep -q 'Property(S): ProductName = Lodestar Failing' "${written[0]-none}"

finish
