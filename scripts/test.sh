#!/usr/bin/env bash
# Sets up, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset native -DTORVANE_WERROR=ON >/dev/null
cmake --build --preset native -j"$(nproc)"
ctest --preset native -j"$(nproc)"
