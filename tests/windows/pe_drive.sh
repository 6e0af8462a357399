#!/usr/bin/env bash
# Runs a Windows test program (through scripts/wine_run.sh) with drive T: of
# the Wine prefix mapped to a fresh folder, named to the program in
# TORVANE_PE_VOLUME; the mapping and the folder go afterwards.
#   tests/windows/pe_drive.sh PROGRAM [ARGS...]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wineprefix}"
volume=$(mktemp -d)
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$volume" "$WINEPREFIX/dosdevices/t:"
export TORVANE_PE_VOLUME="$volume"
status=0
"$root/scripts/wine_run.sh" "$@" || status=$?
rm -f "$WINEPREFIX/dosdevices/t:"
rm -rf "$volume"
exit $status
