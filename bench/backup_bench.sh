#!/usr/bin/env bash
# Repair of a listed image-options key with many subkeys, with and without
# --backup, in turns on fresh copies of one hive; prints the median of each
# and their ratio.
#   backup_bench.sh TORVANE MAKE_HIJACK_HIVE [SUBKEYS]   (RUNS=N rounds, default 5)
set -euo pipefail
torvane=$1 make_hive=$2 subkeys=${3:-10000} runs=${RUNS:-5}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$make_hive" "$dir/SOFTWARE" "$subkeys"
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
plain=() backed=()
for ((i = 0; i < runs; ++i)); do
  cp "$dir/SOFTWARE" "$dir/a"; cp "$dir/SOFTWARE" "$dir/b"; rm -f "$dir/backup.reg"
  plain+=("$(seconds "$torvane" repair 3 --software "$dir/a")")
  backed+=("$(seconds "$torvane" repair 3 --software "$dir/b" --backup "$dir/backup.reg")")
  cmp -s "$dir/a" "$dir/b" || { echo "the two runs left different hives" >&2; exit 1; }
done
p=$(printf '%s\n' "${plain[@]}" | median) b=$(printf '%s\n' "${backed[@]}" | median)
printf 'repair of a listed key with %d subkeys: %.2f s, with --backup %.2f s (backup %d bytes): ratio %.2f\n' \
  "$subkeys" "$p" "$b" "$(stat -c %s "$dir/backup.reg")" "$(echo "$b / $p" | bc -l)"
