#!/usr/bin/env bash
# Runs one Windows program under Wine: ctest's emulator for the windows
# preset, and what scripts/wine_tests.sh runs the suites through.
#
# The prefix is $WINEPREFIX when set, else build/windows/wineprefix, made by
# scripts/wine_prefix.sh the first time. Without a display the program gets
# its own virtual X server. The Wine server is stopped afterwards, so that no
# desktop process outlives the display it was started on.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEDEBUG=-all LANG=zh_CN.UTF-8
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wineprefix}"

if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ ! -f "$WINEPREFIX/.torvane-ready" ]]; then
    "$root/scripts/wine_prefix.sh" "$WINEPREFIX" && touch "$WINEPREFIX/.torvane-ready"
  fi
) 9>"$WINEPREFIX.lock" || exit 1

timeout 600 wine "$@"
status=$?
wineserver -k 2>/dev/null
exit $status
