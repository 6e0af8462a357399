#!/usr/bin/env bash
# Installs what the project needs to build and test on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

packages=(
  cmake g++ make pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libhivex-dev libhivex-bin libregf-utils reglookup xz-utils time dpkg-dev file
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine xvfb xdotool imagemagick fonts-wqy-zenhei locales
)

# The 32-bit build is always built; its tests run under 32-bit Wine (WOW64 in
# a 64-bit prefix), which Debian ships for the i386 architecture and which
# only a kernel that runs i386 programs can start.
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
step "setup: can this machine run 32-bit programs"
if torvane_can_run_i386; then
  packages+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $sudo dpkg --add-architecture i386
  fi
else
  echo "setup: $torvane_no_i386_reason: 32-bit Wine is neither installed nor used, and the 32-bit build's Wine suites will be skipped"
fi

step "setup: installing the packages"
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  # A mirror in mid-sync can fail one index: try again, then go on with the
  # lists there are; the install below fails if a package cannot be had.
  if ! $sudo apt-get update -qq; then
    sleep 5
    $sudo apt-get update -qq || echo "setup: apt-get update failed twice; installing from the package lists there are" >&2
  fi
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null; then
    # 32-bit Wine needs the i386 lists to match the 64-bit ones exactly; a
    # mirror that serves them out of step must not stop the rest.
    [[ " ${missing[*]} " == *" wine32:i386 "* ]] || false
    rest=()
    for package in "${missing[@]}"; do [[ "$package" == wine32:i386 ]] || rest+=("$package"); done
    echo "setup: 32-bit Wine (wine32:i386) cannot be installed from these package lists; installing the rest, and the 32-bit build's Wine suites will be skipped" >&2
    [[ ${#rest[@]} -eq 0 ]] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${rest[@]}" >/dev/null
  fi
fi

# Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives 936 (GBK).
step "setup: the zh_CN.UTF-8 locale"
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  $sudo localedef -i zh_CN -c -f UTF-8 zh_CN.UTF-8
fi
