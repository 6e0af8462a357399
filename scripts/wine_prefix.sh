#!/usr/bin/env bash
# Creates a scratch Wine prefix for the Windows program: Chinese ANSI code
# page, a CJK font in place of the dialog and tree fonts, and a virtual
# desktop so that windows get their frames and captions without a window
# manager. Usage: scripts/wine_prefix.sh PREFIX_DIR
set -euo pipefail
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all LANG=zh_CN.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix"
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
wineserver -w

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
wine regedit /S "$settings" >/dev/null 2>&1
wineserver -w
