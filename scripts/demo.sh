#!/usr/bin/env bash
# Sets up, builds and runs the program on its built-in demo registry.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target torvane
./build/native/torvane scan --demo || [ $? -eq 1 ]  # 1: damage found, as the demo has
