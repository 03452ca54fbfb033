#!/usr/bin/env bash
# Fails when a tracked C++ source differs from what the repository's
# .clang-format makes of it. `clang-format -i FILE` fixes one.
# Usage: scripts/check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z -- '*.h' '*.hpp' '*.cpp' '*.cc' | xargs -0 -r clang-format --dry-run --Werror
echo "format check: every tracked source is formatted"
