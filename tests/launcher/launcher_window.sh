#!/usr/bin/env bash
# The launcher on a real display (an Xvfb server of this test's own): its own failures show
# exactly one error box, captioned with the executable's file name and holding the message that
# also goes to standard error, kept as a screenshot (artifacts/launcher/); the installer's codes
# pass through without any box.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

launchers="$tests/launcher"
start_window_test "launcher window" launcher
mkdir -p "$scratch/temp"

set_temp_options "$scratch/temp"
temp_env=("${temp_options[@]}" --unset LODESTAR_DEBUG)

# A launcher without its package: one box, the same text as on standard error, exit code -1.
run_gui_expecting_box no-msi no-msi.exe "${temp_env[@]}" -- "$(windows_path "$launchers/no-msi.exe")" /qn
message=$(text_of "$scratch/no-msi.err")
expect_match "missing package: message" "^cannot find resource \(name='msi', type='#10'\)\. System error \[1814\]" "$message"
expect_one_box "missing package" no-msi no-msi.exe "$message"
expect_eq "missing package: exit code" -1 "$exit_code"
check "missing package: no working directory left" empty_dir "$scratch/temp"

# The box is captioned with the file name the launcher was started as.
renamed="$scratch/Setup Jérôme 東京.exe"
cp "$launchers/bad-product-code.exe" "$renamed"
run_gui_expecting_box renamed "Setup Jérôme 東京.exe" "${temp_env[@]}" -- "$(windows_path "$renamed")" uninstall
message=$(text_of "$scratch/renamed.err")
expect_match "renamed launcher: message" "^IIDFromString\(\{not-a-product-code\}" "$message"
expect_one_box "renamed launcher" renamed "Setup Jérôme 東京.exe" "$message"
expect_eq "renamed launcher: exit code" -1 "$exit_code"

# The launcher's usage: one box, captioned with its file name, with the information icon; nothing
# extracted and no installer started.
run_gui_expecting_box usage sample-setup.exe "${temp_env[@]}" -- "$(windows_path "$launchers/sample-setup.exe")" '/?'
expect_eq "usage: boxes on the display" 1 "$box_count"
expect_eq "usage: box caption" "box: sample-setup.exe" "$(grep '^box: ' "$scratch/usage.out")"
expect_eq "usage: box text" "box text: Installs the package this setup carries through Windows Installer (msiexec)." \
  "$(grep '^box text: ' "$scratch/usage.out")"
check "usage: the verbs, the progress window, the 1618 rule and the exit codes are in it" \
  bash -c "grep -q 'sample-setup.exe extract DIR' '$scratch/usage.out' && grep -q '^Exit codes: -1' '$scratch/usage.out' &&
           grep -q 'its Cancel ends the setup with 1602' '$scratch/usage.out' && grep -q 'it ends with 1618' '$scratch/usage.out'"
expect_eq "usage: box icon" 1 "$(grep -c '^box icon$' "$scratch/usage.out" || true)"
expect_eq "usage: exit code" 0 "$exit_code"
expect_eq "usage: standard error" "" "$(text_of "$scratch/usage.err")"
check "usage: nothing extracted" empty_dir "$scratch/temp"

# A customized setup's usage says what it carries beyond the package, before the verbs.
"$python" "$source_dir/tests/support/make_transform.py" "$scratch/site.mst" \
  --product-code "$(property "$tests/packages/sample.msi" ProductCode)" "GREETING=from the site"
"$build/bin/lodestar-pack" "$tests/packages/sample.msi" -o "$scratch/custom-setup.exe" --transform "$scratch/site.mst" \
  --property 'DATAPATH=D:\data "x"' --log >/dev/null
run_gui_expecting_box custom custom-setup.exe "${temp_env[@]}" -- "$(windows_path "$scratch/custom-setup.exe")" '/?'
expect_eq "customized usage: box text" "This setup installs the package with what it carries: the transform \
site.mst; DATAPATH=\"D:\\data \"\"x\"\"\"; what you type comes after them and wins. extract also writes install.cmd \
[LANGID] [options], which installs the same way from that folder." "$(grep -F 'This setup installs' "$scratch/custom.out")"
check "customized usage: it says where its default log goes" grep -q 'This setup writes a verbose log of every install' "$scratch/custom.out"
check "customized usage: nothing extracted" empty_dir "$scratch/temp"

# Codes of the installer or its service are no failure of the launcher: no box, nothing on stderr.
run_gui not-installed sample-setup.exe "${temp_env[@]}" -- "$(windows_path "$launchers/sample-setup.exe")" uninstall
expect_eq "product not installed: boxes" 0 "$box_count"
expect_eq "product not installed: exit code" 1605 "$exit_code"
expect_eq "product not installed: standard error" "" "$(text_of "$scratch/not-installed.err")"

run_gui failing failing-setup.exe "${temp_env[@]}" -- "$(windows_path "$launchers/failing-setup.exe")" /qn
expect_eq "failing package: boxes" 0 "$box_count"
expect_eq "failing package: exit code" 1603 "$exit_code"
expect_eq "failing package: standard error" "" "$(text_of "$scratch/failing.err")"
check "failing package: no working directory left" empty_dir "$scratch/temp"

finish
