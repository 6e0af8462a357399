#!/usr/bin/env bash
# Runs the Windows test programs under Wine (ctest --preset windows) on a
# scratch prefix and one virtual X server. Needs the windows preset built.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows
