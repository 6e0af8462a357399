#!/usr/bin/env bash
# Sets up, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
# The Windows program, the Windows command line (which the native Wine suite
# runs too) and the Windows test programs.
echo "== Windows program and its tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)"
./scripts/wine_tests.sh
echo "== reproducible build: the two programs again, in another folder"
./scripts/repro_check.sh build/windows

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"
TORVANE_REQUIRE_WINE=1 ctest --preset native -j"$(nproc)"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j"$(nproc)"
ctest --preset native-asan -j"$(nproc)"

echo "== fuzzing smoke"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} ./scripts/fuzz.sh
