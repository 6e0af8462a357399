#!/usr/bin/env bash
# Runs the Windows test programs under Wine on one scratch 64-bit prefix and
# one virtual X server, for each preset given (default: windows, the 64-bit
# build; windows32 is the 32-bit one, which runs under WOW64). Needs those
# presets built. Where 32-bit programs cannot run, ctest reports the 32-bit
# suites as skipped, and this script says why.
#   scripts/wine_tests.sh [PRESET...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows)
for preset in "${presets[@]}"; do
  step "Wine suites of the $preset build"
  if [[ "$preset" == windows32* ]] && ! torvane_can_run_wine32; then
    echo "wine_tests: skipping the Wine suites of the 32-bit build ($preset): $torvane_no_i386_reason"
  fi
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset "$preset"
done
