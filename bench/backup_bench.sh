#!/usr/bin/env bash
# Repair of a listed image-options key with many subkeys, with and without
# --backup, in turns on fresh copies of one hive; prints the median of each
# and their ratio. Then the restore of that backup: its time against the
# repair's (target: at most 3 times), and how much it grew the hive against
# the backup's size (target: at most twice); the same restore of a key of
# as many values, and that backup restored into the key still there with
# its Debugger (target: at most 3 times the repair). The repair of a listed
# key with BIG_SUBKEYS subkeys (target: under a second). Last, the repair of a small
# hive padded (sparsely) to 768 MB, then of one whose bins hold a free cell
# of 768 MB: its peak memory and the disk the result occupies (target: in
# proportion to the hive's cells in use, not the file's length).
#   backup_bench.sh TORVANE MAKE_HIJACK_HIVE [SUBKEYS] [BIG_SUBKEYS]
#   (default 10000 100000; RUNS=N rounds, default 5)
set -euo pipefail
torvane=$1 make_hive=$2 subkeys=${3:-10000} big=${4:-100000} runs=${RUNS:-5}
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
restored=()
for ((i = 0; i < runs; ++i)); do
  cp "$dir/b" "$dir/c"
  restored+=("$(seconds "$torvane" restore "$dir/backup.reg" --software "$dir/c")")
done
r=$(printf '%s\n' "${restored[@]}" | median)
# Against the hive restored into: a repair may have written it smaller.
grown=$(($(stat -c %s "$dir/c") - $(stat -c %s "$dir/b")))
printf 'restore of that backup: %.2f s (%.2f times the repair); the hive grew %d bytes for a %d-byte backup (%.2f times)\n' \
  "$r" "$(echo "$r / $b" | bc -l)" "$grown" "$(stat -c %s "$dir/backup.reg")" \
  "$(echo "$grown / $(stat -c %s "$dir/backup.reg")" | bc -l)"
# The same for a listed key holding many values (a restore fills the key it
# creates with each of them).
"$make_hive" "$dir/values" 0 0 "$subkeys"
cp "$dir/values" "$dir/v"
rm -f "$dir/values.reg"
b=$(seconds "$torvane" repair 3 --software "$dir/v" --backup "$dir/values.reg")
r=$(seconds "$torvane" restore "$dir/values.reg" --software "$dir/v")
printf 'repair with --backup of a listed key with %d values: %.2f s; its restore %.2f s (%.2f times the repair)\n' \
  "$subkeys" "$b" "$r" "$(echo "$r / $b" | bc -l)"
# The key that backup came from, still there with its Debugger alone: the
# restore sets each value in a key the hive holds.
"$make_hive" "$dir/existing" 0
restored=()
for ((i = 0; i < runs; ++i)); do
  cp "$dir/existing" "$dir/e"
  restored+=("$(seconds "$torvane" restore "$dir/values.reg" --software "$dir/e")")
done
r=$(printf '%s\n' "${restored[@]}" | median)
cmp -s "$dir/e" "$dir/existing" && { echo "the restore into the existing key changed nothing" >&2; exit 1; }
printf 'restore of those %d values into the key still there: %.2f s (%.2f times the repair, target <= 3)\n' \
  "$subkeys" "$r" "$(echo "$r / $b" | bc -l)"
"$make_hive" "$dir/big" "$big"
deleted=()
for ((i = 0; i < runs; ++i)); do
  cp "$dir/big" "$dir/d"
  deleted+=("$(seconds "$torvane" repair 3 --software "$dir/d")")
done
d=$(printf '%s\n' "${deleted[@]}" | median)
cmp -s "$dir/d" "$dir/big" && { echo "the repair of the listed key with $big subkeys changed nothing" >&2; exit 1; }
printf 'repair of a listed key with %d subkeys: %.2f s (target < 1 s)\n' "$big" "$d"
"$make_hive" "$dir/padded" 10
bins=$(stat -c %s "$dir/padded")
truncate -s 768M "$dir/padded"
peak=$( { /usr/bin/time -f %M "$torvane" repair 3 --software "$dir/padded" >/dev/null; } 2>&1 | tail -1)
printf 'repair of a %d-byte hive padded to 768 MB: peak %d KB; the result occupies %d KB of disk (%d bytes long)\n' \
  "$bins" "$peak" "$(du -k "$dir/padded" | cut -f1)" "$(stat -c %s "$dir/padded")"
"$make_hive" "$dir/free" 10 768
peak=$( { /usr/bin/time -f %M "$torvane" repair 3 --software "$dir/free" >/dev/null; } 2>&1 | tail -1)
printf 'repair of a %d-byte hive whose bins hold a 768 MB free cell: peak %d KB; the result occupies %d KB of disk (%d bytes long)\n' \
  "$bins" "$peak" "$(du -k "$dir/free" | cut -f1)" "$(stat -c %s "$dir/free")"
