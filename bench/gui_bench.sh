#!/usr/bin/env bash
# The Windows program: its stripped size, and the time from process start to
# the painted dialog under Wine against a bare program showing the same
# dialog template (both on the demo registry, median of fifteen warm starts taking turns).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows -DTORVANE_TESTS=ON >/dev/null
cmake --build --preset windows -j"$(nproc)" --target TorvaneSafe bare_dialog startup_bench seed_demo >/dev/null

stripped=$(mktemp)
work=$(mktemp -d)
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work" "$stripped"
}
trap cleanup EXIT

x86_64-w64-mingw32-strip -o "$stripped" build/windows/TorvaneSafe.exe
size=$(stat -c %s "$stripped")
echo "gui: TorvaneSafe.exe stripped: $size bytes (target 256000: $(awk "BEGIN{printf \"%.2f\", $size/256000}")x)"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8
./scripts/wine_prefix.sh "$WINEPREFIX" >/dev/null
wine build/windows/seed_demo.exe >/dev/null
wineserver -w
xvfb-run -a -s "-screen 0 1024x768x24" bash -c 'wine build/windows/startup_bench.exe; wineserver -k 2>/dev/null || true' \
  | sed 's/^/gui: /'
echo "gui: target ratio <= 1.5"
