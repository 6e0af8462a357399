#!/usr/bin/env bash
# Sets up, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
# The Windows program, the Windows command line (which the native Wine suite
# runs too) and the Windows test programs, for 64-bit Windows and for 32-bit
# Windows; both builds' suites run in one 64-bit prefix (the 32-bit one under
# WOW64).
echo "== Windows programs (64-bit and 32-bit) and their tests under Wine"
for preset in windows windows32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
./scripts/wine_tests.sh windows windows32
echo "== reproducible build: the two programs again, in another folder (64-bit, then 32-bit)"
./scripts/repro_check.sh build/windows
./scripts/repro_check.sh build/windows32 windows32-release

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"
TORVANE_REQUIRE_WINE=1 ctest --preset native -j"$(nproc)"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j"$(nproc)"
ctest --preset native-asan -j"$(nproc)"

echo "== fuzzing smoke"
FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_SEED=${FUZZ_SEED:-1} FUZZ_RUNS=${FUZZ_RUNS:-3000} ./scripts/fuzz.sh
