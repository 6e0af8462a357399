#!/usr/bin/env bash
# Sets up, builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

step "setup"
./scripts/setup.sh
# Where this machine cannot run 32-bit programs, the 32-bit build is still
# built and checked byte for byte, but its Wine suites are skipped.
skipped=""
if ! torvane_can_run_wine32; then
  skipped="test: skipped the Wine suites of the 32-bit build (windows32): $torvane_no_i386_reason"
  echo "$skipped"
fi

# The Windows program, the Windows command line (which the native Wine suite
# runs too) and the Windows test programs, for 64-bit Windows and for 32-bit
# Windows; both builds' suites run in one 64-bit prefix (the 32-bit one under
# WOW64).
step "Windows programs (64-bit and 32-bit) and their tests under Wine"
for preset in windows windows32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
./scripts/wine_tests.sh windows windows32
step "reproducible build: the two programs again, in another folder (64-bit, then 32-bit)"
./scripts/repro_check.sh build/windows
./scripts/repro_check.sh build/windows32 windows32-release

step "native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"
TORVANE_REQUIRE_WINE=1 ctest --preset native -j"$(nproc)"

step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j"$(nproc)"
ctest --preset native-asan -j"$(nproc)"

step "fuzzing smoke"
FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_SEED=${FUZZ_SEED:-1} FUZZ_RUNS=${FUZZ_RUNS:-3000} ./scripts/fuzz.sh

echo "test: every suite passed"
[[ -z "$skipped" ]] || echo "$skipped"
