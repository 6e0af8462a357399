#!/usr/bin/env bash
# Checks that the Windows programs build reproducibly: TorvaneSafe.exe and
# torvane.exe built for release (preset windows-release, as the zip gets them)
# from this checkout's files in another folder must equal, byte for byte,
# those of the build folder given (CI: build/windows, the programs the Wine
# tests ran), or, with no folder given, those of a second build in a third one.
# The 32-bit programs: the release preset windows32-release.
#   scripts/repro_check.sh [BUILD_DIR [RELEASE_PRESET]]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

programs=(TorvaneSafe.exe torvane.exe)
torvane_step="repro: building ${2:-windows-release} in other folders"
preset=${2:-windows-release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The checkout's files as they stand (committed or not, untracked ones too),
# never its build folders, under a path of another name and depth.
build_copy() {
  local source="$work/$1/torvane-source"
  mkdir -p "$source"
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$source"
  (cd "$source" && cmake --preset "$preset" >/dev/null &&
     cmake --build --preset "$preset" -j"$(nproc)" --target TorvaneSafe torvane >/dev/null)
  echo "$source/build/$preset"
}

if [ $# -ge 1 ] && [ -n "$1" ]; then
  first=$1
else
  echo "repro: first build"
  first=$(build_copy one)
fi
echo "repro: building again in another folder"
second=$(build_copy two)

status=0
for program in "${programs[@]}"; do
  if cmp -s "$first/$program" "$second/$program"; then
    echo "repro: $program identical ($(sha256sum < "$first/$program" | cut -c1-16)...)"
  else
    echo "repro: $program differs between $first and $second:" >&2
    cmp -l "$first/$program" "$second/$program" | head -5 >&2 || true
    status=1
  fi
done
exit $status
