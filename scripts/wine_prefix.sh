#!/usr/bin/env bash
# Creates a scratch Wine prefix for the Windows program: Chinese ANSI code
# page, a CJK font in place of the dialog and tree fonts, and a virtual
# desktop so that windows get their frames and captions without a window
# manager. Usage: scripts/wine_prefix.sh PREFIX_DIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
loader=$(torvane_wine_loader)
rm -rf "$prefix"
mkdir -p "$prefix"
step "wine_prefix: booting $prefix with $loader"
# Wine's own messages go to a log, shown when the prefix cannot be made.
log="$prefix.boot.log"
if ! "$loader" wineboot -i >"$log" 2>&1 || ! wineserver -w >>"$log" 2>&1 || [[ ! -s "$prefix/system.reg" ]]; then
  echo "wine_prefix: cannot make the Wine prefix $prefix with the loader $loader; what Wine said:" >&2
  tail -20 "$log" >&2
  exit 1
fi
rm -f "$log"

settings="$prefix/torvane-settings.reg"
# regedit reads the ANSI code page, GBK here.
iconv -f UTF-8 -t GBK > "$settings" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"宋体"="WenQuanYi Zen Hei Sharp"
"SimSun"="WenQuanYi Zen Hei Sharp"
"Tahoma"="WenQuanYi Zen Hei Sharp"
"MS Shell Dlg"="WenQuanYi Zen Hei Sharp"

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"
REG
step "wine_prefix: fonts and desktop settings"
"$loader" regedit /S "$settings" >/dev/null
wineserver -w
