#!/usr/bin/env bash
# The live profile walk under Wine: `torvane scan --live --all-users` over the
# prefix's own (signed-in) user and one signed-out user, against `scan --live`
# on the signed-in user alone; the median of RUNS (15) runs taking turns, and
# their ratio. Each run is a whole process, as a fleet agent starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows -DTORVANE_TESTS=ON >/dev/null
cmake --build --preset windows -j2 --target torvane profiles_bench >/dev/null

work=$(mktemp -d)
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX="$work/prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8
./scripts/wine_prefix.sh "$WINEPREFIX" >/dev/null
wine build/windows/profiles_bench.exe "${RUNS:-15}" | sed 's/^/profiles: /'
