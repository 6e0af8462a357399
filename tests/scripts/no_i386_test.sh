#!/usr/bin/env bash
# The scripts on a machine that cannot run 32-bit programs, tried on any
# machine: TORVANE_NO_I386=1 and, where a mount namespace can be made, a
# 32-bit Wine loader that the kernel refuses to execute, as on such a machine
# with wine32 installed. 64-bit programs must still run; 32-bit ones are
# skipped (exit 77) with the reason; failures name their step and loader.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
check() {  # check DESCRIPTION COMMAND...
  local description=$1; shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description" >&2; failures=$((failures + 1)); fi
}

for tool in x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc xvfb-run; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[[ -x /usr/lib/wine/wine64 ]] || { echo "skipped: Debian's 64-bit Wine loader is not installed"; exit 77; }

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" TORVANE_NO_I386=1
cleanup() { wineserver -k 2>/dev/null; [[ -n "${KEEP:-}" ]] || rm -rf "$work"; }
trap cleanup EXIT

printf '#include <stdio.h>\nint main(void) { puts("ran"); return 3; }\n' > "$work/hello.c"
x86_64-w64-mingw32-gcc -o "$work/hello64.exe" "$work/hello.c"
i686-w64-mingw32-gcc -o "$work/hello32.exe" "$work/hello.c"

# A script's failure names its step and the command.
cat > "$work/failing.sh" <<SCRIPT
set -euo pipefail
source "$root/scripts/common.sh"
step "the step that fails"
ls "$work/not-there"
SCRIPT
bash "$work/failing.sh" 2>"$work/failing.err" >/dev/null
check "a failing script names its step, command and the command's error" \
  grep -q 'step "the step that fails" failed (exit 2) at line 4: ls' "$work/failing.err"
check "... and keeps the command's own error" grep -q 'No such file or directory' "$work/failing.err"

# The variable forces the path, whatever the machine.
(source "$root/scripts/common.sh" && ! torvane_can_run_i386 "$work" &&
   [[ "$torvane_no_i386_reason" == *TORVANE_NO_I386=1* ]])
check "TORVANE_NO_I386=1 makes the probe answer no, with the reason" test $? -eq 0

# Inside a mount namespace, the 32-bit loader becomes a file the kernel will
# not execute.
in_machine_without_i386() {
  local refused="$work/refused-loader"
  printf '\x00\x01\x02\x03not a program' > "$refused" && chmod +x "$refused"
  local runner=()
  if [[ -e /usr/lib/wine/wine ]]; then
    if unshare -m true 2>/dev/null; then runner=(unshare -m); elif unshare -rm true 2>/dev/null; then runner=(unshare -rm); fi
  fi
  if [[ ${#runner[@]} -eq 0 ]]; then
    "$@"
  else
    "${runner[@]}" bash -c 'mount --bind "$1" /usr/lib/wine/wine && shift && exec "$@"' bash "$refused" "$@"
  fi
}

in_machine_without_i386 "$root/scripts/wine_run.sh" "$work/hello64.exe" >"$work/run64.out" 2>"$work/run64.err"
status=$?
check "a 64-bit program runs through the 64-bit loader (exit 3, got $status)" test $status -eq 3
check "... and its output arrives" grep -q "^ran" "$work/run64.out"
check "... in a prefix that was made" test -s "$WINEPREFIX/system.reg"

in_machine_without_i386 "$root/scripts/wine_run.sh" "$work/hello32.exe" >"$work/run32.out" 2>"$work/run32.err"
status=$?
check "a 32-bit program is skipped with 77, which ctest counts as skipped (got $status)" test $status -eq 77
check "... saying which program and why" grep -q 'skipped hello32.exe, a 32-bit program: TORVANE_NO_I386=1' "$work/run32.err"
check "... and not run" test ! -s "$work/run32.out"

TORVANE_WINE=/bin/false "$root/scripts/wine_prefix.sh" "$work/bad-prefix" >/dev/null 2>"$work/bad.err"
status=$?
check "a prefix that cannot be made fails (got $status)" test $status -ne 0
check "... and says so, naming the loader" grep -q "cannot make the Wine prefix $work/bad-prefix with the loader /bin/false" "$work/bad.err"

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed" >&2; exit 1; }
