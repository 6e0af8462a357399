#!/usr/bin/env bash
# Runs the Windows test programs under Wine on one scratch 64-bit prefix and
# one virtual X server, for each preset given (default: windows, the 64-bit
# build; windows32 is the 32-bit one, which runs under WOW64). Needs those
# presets built.
#   scripts/wine_tests.sh [PRESET...]
set -euo pipefail
cd "$(dirname "$0")/.."

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
  echo "== Wine suites of the $preset build"
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset "$preset"
done
