#!/usr/bin/env bash
# Installs what the build needs, builds the independent peers (when missing)
# and the project into build/, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
werror=OFF
[ "${CI:-}" = true ] && werror=ON
scripts/build-peers.sh build
scripts/build.sh build -DPARVANE_WERROR=$werror
ctest --test-dir build --output-on-failure -j "$(nproc)" -LE fuzz
