#!/usr/bin/env bash
# Lodestar used by other projects: installed and found with find_package(Lodestar), from a
# Linux project that only packs and from a Windows project that also links the library; and
# added as a subproject, whose configuration needs none of the test tools.
set -uo pipefail
export LC_ALL=C.UTF-8
build=$LODESTAR_BUILD_DIR
source=$LODESTAR_SOURCE_DIR
here=$(cd "$(dirname "$0")" && pwd)
export LODESTAR_WINEPREFIX=${LODESTAR_WINEPREFIX:-$build/wineprefix}

work=$(mktemp -d "$build/packer consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@" >"$work/log" 2>&1; then
    failures=$((failures + 1))
    echo "FAIL: $what"
    tail -n 20 "$work/log" | sed 's/^/  /'
  fi
}

prefix="$work/installed Lodestar"
check "the build installs" cmake --install "$build" --prefix "$prefix"
check "the install holds lodestar-pack and its wrapper" test -f "$prefix/bin/lodestar-pack.exe" -a -x "$prefix/bin/lodestar-pack"
check "the install holds the package configuration" test -f "$prefix/lib/cmake/Lodestar/LodestarConfig.cmake"

# A Linux project: no compiler for Windows, only packing.
check "a Linux project configures against it" cmake -S "$here/consumer" -B "$work/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DAPP_PACKAGE="$build/tests/packages/sample.msi"
check "a Linux project builds its launcher" cmake --build "$work/host"
check "the launcher carries the package and the icon" \
  bash -c "resources_out=\$(x86_64-w64-mingw32-windres -J coff -O rc -i '$work/host/app setup.exe') &&
           grep -q '\"MSI\" RCDATA' <<<\"\$resources_out\" && grep -q 'RT_GROUP_ICON' <<<\"\$resources_out\""

# A Windows project (cross-compiled) that also links the library.
check "a Windows project configures against it" cmake -S "$here/consumer" -B "$work/cross" -G Ninja \
  --toolchain "$source/cmake/toolchain-mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DAPP_PACKAGE="$build/tests/packages/sample.msi"
check "a Windows project builds its program and launcher" cmake --build "$work/cross"
check "the program linked against the library runs" \
  bash -c "'$LODESTAR_WINE_RUN' '$work/cross/hello.exe' | tr -d '\r' | grep -qx '{6F9619FF-8B86-D011-B42D-00C04FC964FF}'"

# The sources as a subproject: configures without GoogleTest or wixl, defines no tests.
check "a subproject configures without the test tools" cmake -S "$here/subproject" -B "$work/sub" -G Ninja \
  --toolchain "$source/cmake/toolchain-mingw-w64-x86_64.cmake" -DLODESTAR_SOURCE_DIR="$source" \
  -DLODESTAR_GTEST_SOURCE_DIR=/nonexistent -DAPP_PACKAGE="$build/tests/packages/sample.msi"
check "a subproject defines none of Lodestar's tests" bash -c "ctest --test-dir '$work/sub' -N | grep -q 'Total Tests: 0'"
check "a subproject has lodestar-pack and the launcher target" \
  bash -c "cmake --build '$work/sub' --target help | grep -q lodestar-pack &&
           cmake --build '$work/sub' --target help | grep -q app_setup"

[[ $failures -eq 0 ]] && echo "PASS" || exit 1
