# Sourced by the other scripts: a failure that names its step, whether this
# machine runs 32-bit programs, and the loader that starts 64-bit Windows
# programs.
#
#   TORVANE_NO_I386=1   behave as on a machine that cannot run i386 programs
#   TORVANE_WINE=PATH   the Wine loader to start 64-bit programs with

torvane_script=$(basename "$0")
torvane_step="start"

# Prints a step's title and remembers it for the failure message.
step() {
  torvane_step="$*"
  echo "== $*"
}

# No silent ends: whatever fails under `set -e` says where, and what it ran.
set -E
trap 'torvane_status=$?; echo "$torvane_script: step \"$torvane_step\" failed (exit $torvane_status) at line $LINENO: $BASH_COMMAND" >&2' ERR

# A 96-byte static i386 program that exits with 42: Linux's exit system call
# through int 0x80, nothing else. Whether the kernel runs it is the question,
# so it is written beside the build (a /tmp mounted noexec would answer
# another question).
torvane_probe_i386() {
  local dir=${1:-build}
  mkdir -p "$dir"
  local probe="$dir/.i386-probe.$BASHPID"
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08' > "$probe"
  printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >> "$probe"
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00' >> "$probe"
  printf '\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >> "$probe"
  chmod +x "$probe"
  local status=0 error
  error=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  if [[ $status -eq 42 ]]; then
    return 0
  fi
  error=${error##*: }
  torvane_no_i386_reason="this machine cannot run 32-bit (i386) programs (${error:-exit $status})"
  return 1
}

# True when 32-bit Windows programs can run here; otherwise sets
# torvane_no_i386_reason.
torvane_can_run_i386() {
  if [[ "${TORVANE_NO_I386:-}" == 1 ]]; then
    torvane_no_i386_reason="TORVANE_NO_I386=1 forces the path of a machine without 32-bit support"
    return 1
  fi
  torvane_probe_i386 "${1:-build}"
}

# True when 32-bit Windows programs can run here: the kernel runs i386
# programs and 32-bit Wine is installed (setup goes on without it where the
# package cannot be had); otherwise sets torvane_no_i386_reason.
torvane_can_run_wine32() {
  torvane_can_run_i386 "${1:-build}" || return 1
  if [[ ! -x /usr/lib/wine/wine ]]; then
    torvane_no_i386_reason="32-bit Wine (wine32:i386) is not installed"
    return 1
  fi
}

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, even
# where the kernel cannot run it; 64-bit programs go to the 64-bit loader
# directly, which starts the 32-bit one only for 32-bit programs.
torvane_wine_loader() {
  if [[ -n "${TORVANE_WINE:-}" ]]; then
    echo "$TORVANE_WINE"
  elif [[ -x /usr/lib/wine/wine64 ]]; then
    echo /usr/lib/wine/wine64
  elif command -v wine64 >/dev/null; then
    command -v wine64
  else
    echo wine
  fi
}
