#!/usr/bin/env bash
# Builds the tool, the driver and the benchmark (optimised, with debug info,
# like the shipped build) into build-bench/ if needed, and prints the table.
# Usage: bench/run.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
# Tests on: the wire rows need the probe client of the client tests (only
# the targets named below are built).
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARVANE_TESTS=ON >/dev/null
cmake --build "$dir" --target parvane lomadyn rtnode master_ini parvane_bench -j 2 >/dev/null
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(uname -sr)"
# Times are only comparable on a quiet machine: the load goes with them.
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$dir/bin/parvane_bench" "$dir/bin" examples
# The same table goes on with the figures over a veth pair (root only: the
# pair lives in a network namespace of its own, removed at the end).
if [ "$(id -u)" -eq 0 ]; then
    cmake --build "$dir" --target ecat-emulator eni_gen master_probe dc_bench -j 2 >/dev/null
    tests/wire/in_netns.sh 900 bench/wire_bench.sh "$dir/bin"
else
    printf '| %-44s | %-26s | %-15s | %-4s |\n' "over veth (bench/wire_bench.sh)" "needs root" "" ""
fi
cmake --build "$dir" --target emulator_bench -j 2 >/dev/null
"$dir/bin/emulator_bench"
cmake --build "$dir" --target master_bench -j 2 >/dev/null
echo
"$dir/bin/master_bench"
cmake --build "$dir" --target dc_bench -j 2 >/dev/null
echo
"$dir/bin/dc_bench" line 100
cmake --build "$dir" --target scan_bench -j 2 >/dev/null
echo
"$dir/bin/scan_bench" ../shared/eni-corpus/bigcjv_6axis_servo.xml
echo
echo "Load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
