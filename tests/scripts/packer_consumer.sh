#!/usr/bin/env bash
# Lodestar used by other projects: installed and found with find_package(Lodestar), from a
# Linux project that only packs and from a Windows project that also links the library; and
# added as a subproject, whose configuration needs none of the test tools.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
projects=$source_dir/tests/projects
# The wrapper's prefix is the tests' one.

make_scratch "packer consumer"
check_log="$scratch/log"

installed="$scratch/installed Lodestar"
check "the build installs" cmake --install "$build" --prefix "$installed"
check "the install holds lodestar-pack.exe" test -f "$installed/bin/lodestar-pack.exe"
check "the install holds the headers under include/lodestar" test -f "$installed/include/lodestar/Log.h"
check "the install holds the licence" test -f "$installed/share/doc/lodestar/LICENSE"
check "the install holds the package configuration" test -f "$installed/lib/cmake/Lodestar/LodestarConfig.cmake"
check "the install holds the schema of --info --json" test -f "$installed/share/lodestar/info.schema.json"

# A Linux project: no compiler for Windows, only packing. lodestar-pack.exe does not run here: the
# project takes the packer that does (this build's, under Wine, standing in for the native one).
check "a Linux project configures against it" cmake -S "$projects/consumer" -B "$scratch/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$installed" -DAPP_PACKAGE="$tests/packages/sample.msi" \
  -DLODESTAR_PACK_EXECUTABLE="$build/bin/lodestar-pack"
check "a Linux project builds its launcher" cmake --build "$scratch/host"
check "the launcher carries the package and the icon" \
  bash -c "resources_out=\$(x86_64-w64-mingw32-windres -J coff -O rc -i '$scratch/host/app setup.exe') &&
           grep -q '\"MSI\" RCDATA' <<<\"\$resources_out\" && grep -q 'RT_GROUP_ICON' <<<\"\$resources_out\""

# A Windows project (cross-compiled) that also links the library.
check "a Windows project configures against it" cmake -S "$projects/consumer" -B "$scratch/cross" -G Ninja \
  --toolchain "$source_dir/cmake/toolchain-mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$installed" \
  -DAPP_PACKAGE="$tests/packages/sample.msi" -DLODESTAR_PACK_EXECUTABLE="$build/bin/lodestar-pack"
check "a Windows project builds its program and launcher" cmake --build "$scratch/cross"
check "the program linked against the library runs, its own Log.h and the library's both found" \
  bash -c "'$wine' '$scratch/cross/hello.exe' | tr -d '\r' | grep -qx '{6F9619FF-8B86-D011-B42D-00C04FC964FF} consumer-log'"

# The sources as a subproject: configures without GoogleTest or wixl, defines no tests.
check "a subproject configures without the test tools" cmake -S "$projects/subproject" -B "$scratch/sub" -G Ninja \
  --toolchain "$source_dir/cmake/toolchain-mingw-w64-x86_64.cmake" -DLODESTAR_SOURCE_DIR="$source_dir" \
  -DLODESTAR_GTEST_SOURCE_DIR=/nonexistent -DAPP_PACKAGE="$tests/packages/sample.msi"
check "a subproject defines none of Lodestar's tests" \
  bash -c "ctest --test-dir '$scratch/sub' -N | grep -q 'Total Tests: 0'"
targets=$(cmake --build "$scratch/sub" --target help 2>&1 || true)
check "a subproject has lodestar-pack and the launcher target" \
  bash -c "grep -q lodestar-pack <<<\"\$1\" && grep -q app_setup <<<\"\$1\"" - "$targets"
check "a subproject's program reaches the headers as <lodestar/...>" cmake --build "$scratch/sub" --target hello
check "that program runs" \
  bash -c "'$wine' '$scratch/sub/hello.exe' | tr -d '\r' | grep -qx '{6F9619FF-8B86-D011-B42D-00C04FC964FF} consumer-log'"

finish
