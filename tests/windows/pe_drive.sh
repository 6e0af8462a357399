#!/usr/bin/env bash
# Runs a Windows test program (through scripts/wine_run.sh) with drive T: of
# the Wine prefix mapped to a fresh folder, named to the program in
# TORVANE_PE_VOLUME; the mapping and the folder go afterwards.
#   tests/windows/pe_drive.sh PROGRAM [ARGS...]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wineprefix}"
# A prefix made now would not keep the mapping: made first.
if [[ ! -f "$WINEPREFIX/.torvane-ready" ]]; then
  "$root/scripts/wine_run.sh" cmd /c exit >/dev/null 2>&1 || true
fi
volume=$(mktemp -d)
ln -sfn "$volume" "$WINEPREFIX/dosdevices/t:"
export TORVANE_PE_VOLUME="$volume"
status=0
"$root/scripts/wine_run.sh" "$@" || status=$?
rm -f "$WINEPREFIX/dosdevices/t:"
rm -rf "$volume"
exit $status
