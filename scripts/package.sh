#!/usr/bin/env bash
# Builds the release files into dist/ from clean build folders:
#   TorvaneSafe-<version>-win64.zip  both Windows programs and their guides
#   TorvaneSafe-<version>-win32.zip  the same, 32-bit (older Windows PE sticks)
#   torvane_<version>_amd64.deb      the Linux command line, for rescue systems
#   SHA256SUMS                       their checksums
#   BUILDINFO                        the commit and the tool versions they were built with
# The files are reproducible: the same commit built with the same Debian
# packages gives the same bytes, whatever the folder (README: verifying).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

step "package: setup"
./scripts/setup.sh
step "package: the Windows zip and the Linux package"
rm -rf dist build/windows-release build/windows32-release build/native-release
mkdir -p dist
for preset in windows-release windows32-release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" --target package
done
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j"$(nproc)" --target package

commit=$(git rev-parse --verify -q HEAD || echo unknown)
[ -z "$(git status --porcelain 2>/dev/null)" ] || commit="$commit (with uncommitted changes)"
cd dist
sha256sum -- *.zip *.deb > SHA256SUMS
{
  echo "commit: $commit"
  dpkg-query -W -f='${Package} ${Version}\n' cmake g++ binutils g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 \
    g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-x86-64-dev libhivex-dev \
    libc6-dev 2>/dev/null
} > BUILDINFO
cat SHA256SUMS
