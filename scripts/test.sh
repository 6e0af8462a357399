#!/usr/bin/env bash
# Sets up, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
# The Windows command line, which the Wine tests run.
cmake --preset windows -DTORVANE_TESTS=OFF >/dev/null
cmake --build --preset windows -j"$(nproc)" --target torvane
cmake --preset native -DTORVANE_WERROR=ON >/dev/null
cmake --build --preset native -j"$(nproc)"
TORVANE_REQUIRE_WINE=1 ctest --preset native -j"$(nproc)"
