#!/usr/bin/env bash
# Builds the programs in Release mode and runs the benchmarks of both programs (bench/bench.py):
# cost per forwarded order against a bare libcurl POST, database cost and fsync count, idle
# cost, memory growth, start-up, update runs and stripped sizes. Prints one table.
#
# Usage: scripts/bench.sh [--quick]
#   (full)   also cross-builds for armhf (sizes) and writes the table, the machine and the
#            notes to docs/performance.md; takes about ten minutes, most of it the idle and
#            growth measurement of the real agent (one order per second)
#   --quick  every measurement briefly, amd64 only (armhf sizes when build-bench-armhf is
#            already built), a few seconds after the build; prints the table and writes
#            nothing under docs/. Fails only when a program does not work, never on a figure.
# Build folders: build-bench, build-bench-armhf (BENCH_BUILD_DIR, BENCH_ARMHF_BUILD_DIR).
# BENCH_MACHINE_NOTE: a sentence added to the machine line of docs/performance.md (for example
# that other work shared the machine during the run).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

quick=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1; shift ;;
    *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 64 ;;
  esac
done

build=${BENCH_BUILD_DIR:-build-bench}
armhf=${BENCH_ARMHF_BUILD_DIR:-build-bench-armhf}
jobs=$(nproc)
targets=(cee-agent cee-updater mqtt-if logger-sim bench_forward bench_exec_time)

if [ $quick -eq 1 ]; then
  scripts/install-deps.sh
else
  scripts/install-deps.sh --arch armhf
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCEE_WERROR=ON -DCEE_BUILD_TESTS=OFF \
  >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
if [ $quick -eq 0 ]; then
  cmake -S "$src" -B "$armhf" -DCMAKE_BUILD_TYPE=Release -DCEE_WERROR=ON -DCEE_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/armhf-toolchain.cmake" >/dev/null
  cmake --build "$armhf" -j"$jobs" --target cee-agent cee-updater mqtt-if
fi

start=$SECONDS
if [ $quick -eq 1 ]; then
  python3 bench/bench.py --build "$build" --armhf-build "$armhf" --quick
else
  python3 bench/bench.py --build "$build" --armhf-build "$armhf" \
    --out docs/performance.md --notes bench/performance-notes.md
  echo "bench.sh: table written to docs/performance.md"
fi
echo "bench.sh: measurements took $((SECONDS - start)) s"
