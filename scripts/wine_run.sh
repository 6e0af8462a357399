#!/usr/bin/env bash
# Runs one Windows program under Wine: ctest's emulator for the windows
# presets, and what scripts/wine_tests.sh runs the suites through.
#
# The prefix is $WINEPREFIX when set, else build/windows/wineprefix, made by
# scripts/wine_prefix.sh the first time. Without a display the program gets
# its own virtual X server. The Wine server is stopped afterwards, so that no
# desktop process outlives the display it was started on.
#
# A 32-bit program on a machine that cannot run 32-bit programs is not run:
# the reason goes to stderr and the exit status is 77, which ctest counts as
# skipped.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
export WINEDEBUG=-all LANG=zh_CN.UTF-8
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wineprefix}"

# The machine field of the PE header: 014c is i386.
program=$1
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [[ -n "$offset" ]] && od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
if [[ -f "$program" && "$(pe_machine "$program")" == 014c ]] && ! torvane_can_run_wine32 "$root/build"; then
  echo "wine_run: skipped $(basename "$program"), a 32-bit program: $torvane_no_i386_reason" >&2
  exit 77
fi

if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

# A prefix made where 32-bit programs could not run cannot run them later:
# the ready mark says which Wine made the prefix, and a prefix made by
# another is made anew.
wine_kind="64-bit only"
torvane_can_run_wine32 "$root/build" && wine_kind="64-bit and 32-bit"

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ "$(cat "$WINEPREFIX/.torvane-ready" 2>/dev/null)" != "$wine_kind" ]]; then
    "$root/scripts/wine_prefix.sh" "$WINEPREFIX" >/dev/null && echo "$wine_kind" > "$WINEPREFIX/.torvane-ready"
  fi
) 9>"$WINEPREFIX.lock" || { echo "wine_run: no Wine prefix at $WINEPREFIX, so $(basename "$program") did not run" >&2; exit 1; }

status=0
timeout 600 "$(torvane_wine_loader)" "$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
