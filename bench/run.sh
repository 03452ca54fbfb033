#!/usr/bin/env bash
# Builds the tool, the driver and the benchmark (optimised, with debug info,
# like the shipped build) into build-bench/ if needed, and prints the table.
# Usage: bench/run.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARVANE_TESTS=OFF >/dev/null
fi
cmake --build "$dir" --target parvane lomadyn rtnode master_ini parvane_bench -j 2 >/dev/null
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(uname -sr)"
echo
"$dir/bin/parvane_bench" "$dir/bin" examples
cmake --build "$dir" --target emulator_bench -j 2 >/dev/null
"$dir/bin/emulator_bench"
cmake --build "$dir" --target master_bench -j 2 >/dev/null
echo
"$dir/bin/master_bench"
