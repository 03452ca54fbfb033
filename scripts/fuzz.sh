#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer + UndefinedBehavior-
# Sanitizer) into build-fuzz/ (or the given folder) and runs the ctest label
# fuzz: every target for a bounded time on a copy of its corpus, then its
# regression inputs. Exits non-zero on any crash, leak or sanitizer report.
# Usage: scripts/fuzz.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}
PARVANE_FUZZ=1 scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 \
    -DCMAKE_CXX_FLAGS="-include $PWD/fuzz/libstdcxx_expected.h -Wno-builtin-macro-redefined" -DPARVANE_FUZZ=ON -DPARVANE_TESTS=OFF \
    -DPARVANE_WERROR=ON >/dev/null
cmake --build "$dir" --target parvane_fuzzers -j "$(nproc)"
ctest --test-dir "$dir" -L fuzz --output-on-failure
