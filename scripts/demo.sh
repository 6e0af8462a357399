#!/usr/bin/env bash
# Sets up, builds and runs the program on its built-in demo registry.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target torvane
./build/native/torvane scan --demo || [ $? -eq 1 ]  # 1: damage found, as the demo has

# The Windows program under Wine, on a scratch prefix whose registry carries
# the demo damage. With a display it opens there; without one it runs on a
# virtual X server and leaves a screenshot.
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target TorvaneSafe seed_demo
demo_dir=${TORVANE_DEMO_DIR:-/tmp/torvane-demo}
export WINEPREFIX="$demo_dir/prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8
echo "demo: preparing the Wine prefix $WINEPREFIX"
./scripts/wine_prefix.sh "$WINEPREFIX"
wine build/windows/seed_demo.exe
wineserver -w

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: starting TorvaneSafe.exe; close its window to end"
  wine build/windows/TorvaneSafe.exe
  wineserver -k 2>/dev/null || true
else
  shot="$demo_dir/TorvaneSafe.png"
  cat > "$demo_dir/shot.sh" <<SHOT
set -u
wine build/windows/TorvaneSafe.exe &
timeout 60 xdotool search --sync --onlyvisible --name 'Torvane' >/dev/null
# Until the first paint has put the damaged leaves on the screen in red.
for attempt in \$(seq 1 100); do
  import -window root "$shot"
  red=\$(convert "$shot" -fill black -fuzz 10% +opaque '#ff0000' -fill white -opaque '#ff0000' -format '%[fx:round(mean*w*h)]' info:)
  [ "\$red" -gt 50 ] && break
  sleep 0.2
done
wineserver -k 2>/dev/null || true
SHOT
  xvfb-run -a -s "-screen 0 1024x768x24" bash "$demo_dir/shot.sh"
  echo "demo: screenshot of the first display saved to $shot"
fi
