#!/usr/bin/env bash
# The Windows program: its stripped size, and the time from process start to
# the painted dialog under Wine against a bare program showing the same
# dialog template (both on the demo registry, median of fifteen warm starts taking turns);
# the same for the 32-bit build (under WOW64), and its start against the 64-bit one.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows -DTORVANE_TESTS=ON >/dev/null
cmake --build --preset windows -j"$(nproc)" --target TorvaneSafe bare_dialog startup_bench seed_demo >/dev/null
cmake --preset windows32 -DTORVANE_TESTS=ON >/dev/null
cmake --build --preset windows32 -j"$(nproc)" --target TorvaneSafe bare_dialog startup_bench >/dev/null

stripped=$(mktemp)
work=$(mktemp -d)
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work" "$stripped"
}
trap cleanup EXIT

for build in windows:x86_64 windows32:i686; do
  "${build#*:}-w64-mingw32-strip" -o "$stripped" "build/${build%%:*}/TorvaneSafe.exe"
  size=$(stat -c %s "$stripped")
  echo "gui: ${build%%:*}/TorvaneSafe.exe stripped: $size bytes (target 327680: $(awk "BEGIN{printf \"%.2f\", $size/327680}")x)"
done

export WINEPREFIX="$work/prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8
./scripts/wine_prefix.sh "$WINEPREFIX" >/dev/null
wine build/windows/seed_demo.exe >/dev/null
wineserver -w
xvfb-run -a -s "-screen 0 1024x768x24" bash -c \
  'for b in windows windows32; do echo "$b: $(wine build/$b/startup_bench.exe)"; done; wineserver -k 2>/dev/null || true' \
  > "$work/starts"
sed 's/^/gui: /' "$work/starts"
echo "gui: target ratio <= 1.5"
ms() { sed -n "s/^$1: .*TorvaneSafe.exe \([0-9.]*\) ms.*/\1/p" "$work/starts"; }
echo "gui: 32-bit against 64-bit start to painted dialog: $(awk "BEGIN{printf \"%.2f\", $(ms windows32)/$(ms windows)}")x"
