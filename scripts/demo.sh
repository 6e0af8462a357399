#!/usr/bin/env bash
# Sets up, builds and runs the program on its built-in demo registry.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

step "demo: setup"
./scripts/setup.sh
step "demo: the command line on the demo registry"
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target torvane
./build/native/torvane scan --demo || [ $? -eq 1 ]  # 1: damage found, as the demo has

# The Windows program under Wine, on a scratch prefix whose registry carries
# the demo damage. With a display it opens there; without one it runs on a
# virtual X server and leaves a screenshot.
step "demo: the Windows program"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target TorvaneSafe seed_demo
demo_dir=${TORVANE_DEMO_DIR:-/tmp/torvane-demo}
export WINEPREFIX="$demo_dir/prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8
# 64-bit programs through the 64-bit loader: they never need 32-bit Wine.
wine=$(torvane_wine_loader)
step "demo: preparing the Wine prefix $WINEPREFIX"
./scripts/wine_prefix.sh "$WINEPREFIX"
step "demo: the demo damage in the prefix's registry"
"$wine" build/windows/seed_demo.exe
wineserver -w

if [ -n "${DISPLAY:-}" ]; then
  step "demo: starting TorvaneSafe.exe; close its window to end"
  "$wine" build/windows/TorvaneSafe.exe
  wineserver -k 2>/dev/null || true
else
  step "demo: the first display, on a virtual X server"
  shot="$demo_dir/TorvaneSafe.png"
  rm -f "$shot"
  cat > "$demo_dir/shot.sh" <<SHOT
set -u
"$wine" build/windows/TorvaneSafe.exe &
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
  if [[ ! -s "$shot" ]]; then
    echo "demo: no screenshot was taken: the program's window did not appear within 60 s" >&2
    exit 1
  fi
  echo "demo: screenshot of the first display saved to $shot"
fi
