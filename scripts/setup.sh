#!/usr/bin/env bash
# Installs what the project needs to build and test on Debian 12.
set -euo pipefail

packages=(
  cmake g++ make pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libhivex-dev libhivex-bin time dpkg-dev file
  g++-mingw-w64-x86-64 wine64 wine xvfb xdotool imagemagick fonts-wqy-zenhei locales
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives 936 (GBK).
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i zh_CN -c -f UTF-8 zh_CN.UTF-8
fi
