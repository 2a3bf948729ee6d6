#!/usr/bin/env bash
# Measures a launcher's own work on a large package: writing it into the working directory,
# starting msiexec and removing the directory again. The payload is no package, so msiexec
# refuses it at once and the time is the launcher's. Wall time and the launcher process's peak
# resident set (VmHWM, sampled from /proc while it runs) for each of RUNS runs, for the
# launcher's section-aligned layout and for the linker's default layout, installing (the
# package is written out) and uninstalling (only the product code is read).
#   bench/launcher_extract.sh [PAYLOAD_MIB] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-256}
runs=${2:-3}
build=$root/build/bench

"$root/scripts/bootstrap"
cmake --preset windows -B "$build" -DLODESTAR_BENCHMARKS=ON -DLODESTAR_BENCH_PAYLOAD_MIB="$mib" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_launcher bench_launcher_default_layout runwin >/dev/null

wine=$build/wine-run
"$wine" --start-server
trap '"$wine" --stop-server' EXIT
temp=$build/bench-temp
mkdir -p "$temp"
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The highest VmHWM of any process whose command line names EXE, until the run ends.
peak_of() {
  local exe=$1 peak=0 pid hwm
  while [[ ! -e "$temp.done" ]]; do
    for pid in $(pgrep -f -- "$exe" || true); do
      hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)
      [[ -n "$hwm" && "$hwm" -gt "$peak" ]] && peak=$hwm
    done
    sleep 0.02
  done
  echo "$peak"
}

for exe in bench-setup.exe bench-setup-default-layout.exe; do
 for mode in install uninstall; do
  path=$build/bench/$exe
  # An uninstall run reads only the product code: what the layout costs before any work.
  args=(/qn)
  [[ $mode == uninstall ]] && args=(uninstall)
  echo "$exe ($(($(stat -c %s "$path") / 1048576)) MiB), $mode"
  for run in $(seq "$runs"); do
    rm -f "$temp.done"
    peak_of "$exe" >"$temp.peak" &
    start=$(date +%s.%N)
    "$wine" "$build/tests/runwin.exe" --env "TEMP=$(windows_path "$temp")" --env "TMP=$(windows_path "$temp")" \
      -- "$(windows_path "$path")" "${args[@]}" >/dev/null 2>&1
    end=$(date +%s.%N)
    touch "$temp.done"
    wait
    printf '  run %s: %.2f s wall, launcher peak resident %s MiB\n' "$run" "$(echo "$end - $start" | bc)" \
      "$(($(cat "$temp.peak") / 1024))"
  done
  leftovers=$(find "$temp" -mindepth 1 | wc -l)
  echo "  left in the temporary directory: $leftovers"
 done
done
