#!/usr/bin/env bash
# Installs what the build needs, builds into build/ and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
werror=OFF
[ "${CI:-}" = true ] && werror=ON
scripts/build.sh build -DPARVANE_WERROR=$werror
ctest --test-dir build --output-on-failure -j "$(nproc)" -LE fuzz
