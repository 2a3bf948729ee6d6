#!/usr/bin/env bash
# The Debian package as a user gets it: made by cpack from this build, installed with apt, used
# from the PATH without Wine (packing, --info, --extract, a CMake project's lodestar_add_installer),
# and removed without leaving a file. It replaces nothing: a machine that has a lodestar package
# installed already, or where neither root nor password-less sudo may install, skips the test.
set -uo pipefail
source "$LODESTAR_SOURCE_DIR/tests/scripts/lib.sh"
windows_build=${LODESTAR_WINDOWS_BUILD_DIR:?the Windows build tree}

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! sudo -n true 2>/dev/null; then
    echo "SKIP: installing a package needs root or password-less sudo, and this user has neither"
    exit $SKIP
  fi
  as_root=(sudo -n)
fi
apt_get() { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@"; }
# Set while the package this test installed may be on the machine: a run killed outright (a
# timeout's SIGKILL runs no trap) leaves it, and the next run removes what is its own.
installed_by_test="$build/release-deb-installed-by-test"
if dpkg-query -W -f='${Status}' lodestar 2>/dev/null | grep -q 'ok installed'; then
  if [[ ! -e $installed_by_test ]]; then
    echo "SKIP: a lodestar package is installed on this machine already; the test will not replace it"
    exit $SKIP
  fi
  echo "note: removing the package an interrupted run of this test left installed"
  apt_get purge lodestar >/dev/null 2>&1 || { echo "the package an earlier run left cannot be removed"; exit 1; }
fi
rm -f "$installed_by_test"

make_scratch "release deb"
check_log="$scratch/log"
# Removed on every way out, even when a check or the script fails half-way.
remove_package() { apt_get purge lodestar >/dev/null 2>&1 && rm -f "$installed_by_test"; }
trap 'remove_package; remove_scratch' EXIT

check "cpack makes the .deb" cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/release"
deb=$(ls "$scratch"/release/lodestar_*_amd64.deb 2>/dev/null | head -n 1)
check "the .deb is named lodestar_<version>_amd64.deb" test -f "$deb"
check "it declares what lodestar-pack links (libmsi)" bash -c "dpkg-deb -f '$deb' Depends | grep -q libmsi"
touch "$installed_by_test"
check "apt installs it, with what it depends on" apt_get install "$deb"
check "lodestar-pack is on the PATH" is "$(command -v lodestar-pack)" /usr/bin/lodestar-pack
check "it needs no Wine" bash -c "! ldd /usr/bin/lodestar-pack | grep -qi wine"

# From the PATH, with a home of its own: no Wine prefix appears anywhere.
home="$scratch/home"
mkdir -p "$home"
pack() { HOME="$home" lodestar-pack "$@"; }
sample=$windows_build/tests/packages/sample.msi
check "it packs" pack "$sample" -o "$scratch/sample-setup.exe"
check "it reads the launcher back (--info --json)" \
  bash -c "HOME='$home' lodestar-pack --info '$scratch/sample-setup.exe' --json >'$scratch/info.json' &&
           /usr/bin/python3 -c 'import json, jsonschema, sys; jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' \
             '$scratch/info.json' /usr/share/lodestar/info.schema.json"
check "it extracts the package from the launcher" pack --extract "$scratch/sample-setup.exe" -o "$scratch/extracted"
check "the extracted package is the package" cmp "$sample" "$scratch/extracted/sample.msi"
check "it made no Wine prefix" test -z "$(find "$home" -mindepth 1 -print -quit)"

# The launcher it made installs under Wine, with the real installer, and goes again.
export LODESTAR_WINEPREFIX=$windows_build/wineprefix
wine=$windows_build/wine-run
runwin=$windows_build/tests/runwin.exe
installed="$LODESTAR_WINEPREFIX/drive_c/Program Files/Lodestar Sample/payload.txt"
"$wine" "$runwin" -- "$(windows_path "$scratch/sample-setup.exe")" uninstall >/dev/null 2>&1 || true
"$wine" "$runwin" -- "$(windows_path "$scratch/sample-setup.exe")" /qn >"$scratch/install.out" 2>&1 || true
check "the launcher installs under Wine" is "$(exit_code_of "$scratch/install.out")" 0
check "the product is there" test -f "$installed"
"$wine" "$runwin" -- "$(windows_path "$scratch/sample-setup.exe")" uninstall >"$scratch/remove.out" 2>&1 || true
check "it removes the product" is "$(exit_code_of "$scratch/remove.out")" 0

# A CMake project finds the installed package by itself and packs at build time.
check "a project finds it with find_package(Lodestar)" \
  cmake -S "$source_dir/tests/projects/consumer" -B "$scratch/consumer" -G Ninja -DAPP_PACKAGE="$sample"
check "lodestar_add_installer builds the launcher" cmake --build "$scratch/consumer"
check "the launcher carries the package" \
  bash -c "HOME='$home' lodestar-pack --info '$scratch/consumer/app setup.exe' | grep -q 'sample.msi'"

# Removal leaves nothing of what the package put in place.
files=$(dpkg-query -L lodestar)
remove_package
left=""
while IFS= read -r path; do
  case $path in
    /usr/bin/lodestar-pack | /usr/lib/cmake/Lodestar* | /usr/share/lodestar* | /usr/share/doc/lodestar*)
      [[ -e $path ]] && left+="$path " ;;
  esac
done <<<"$files"
check "removal leaves no file behind (left: ${left:-nothing})" test -z "$left"
check "the package is gone" bash -c "! dpkg-query -W -f='\${Status}' lodestar 2>/dev/null | grep -q 'ok installed'"

finish
