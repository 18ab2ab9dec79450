#!/bin/sh
# Builds the benchmarks (Release) and prints the cost of a sensor reading:
# line operations, ioctls issued by the real control (on the simulated board,
# then on a umockdev-emulated port), and CPU time. Opens no serial device.
#   BUILD_DIR  build directory (default: build-bench beside this folder)
#   JOBS       parallel build jobs (default: 2)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELVANE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target quelvane_figures quelvane_bench quelvane_bench_umockdev

echo
echo "== Figures (simulated board, no device)"
"$build/bench/quelvane_figures"

echo
echo "== Real control on an emulated port (umockdev)"
umockdev-wrapper "$build/bench/quelvane_bench_umockdev"

echo
echo "== Google Benchmark"
"$build/bench/quelvane_bench" --benchmark_counters_tabular=true
