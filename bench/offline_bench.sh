#!/usr/bin/env bash
# The offline scan as whole processes, each figure a ratio measured in this run:
#   (a) `torvane scan --software HIVE` against `cat HIVE > /dev/null`, the floor
#       for anything that loads the whole hive (target: at most 1.3 times);
#   (b) the peer way of getting the same values: `hivexget` once per value the
#       checks read (hivexsh for the one key the hijack check enumerates), one
#       process each, as a script would (target: the scan 20 times faster);
#   (c) the same scan of a dirty copy of the hive, its newest state in a
#       new-format log pair (HIVE-dirty.LOG1 and .LOG2, which the scan
#       replays), against `cat` of the three files (target: at most 1.5 times);
#   (d) `torvane repair --software COPY 3 12` of a copy of the hive (its
#       image hijack and its Shell damaged), against `cp` of the hive: the
#       repair writes the whole hive once (target: at most 1.5 times);
#   and the scan's peak memory (max RSS) against the hive's size.
#
#   bench/offline_bench.sh TORVANE MAKE_SOFTWARE_HIVE MAKE_DIRTY_HIVE HIVE [MEGABYTES]
# Makes HIVE with MAKE_SOFTWARE_HIVE when it is missing or older than it, and
# HIVE-dirty with its logs from it with MAKE_DIRTY_HIVE likewise. RUNS=N sets
# the number of timed rounds (median taken; default 15).
set -euo pipefail

torvane=$1 generator=$2 dirty_maker=$3 hive=$4 megabytes=${5:-100}
runs=${RUNS:-15}

for tool in hivexget hivexsh /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "offline_bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
if [ ! -s "$hive" ] || [ "$generator" -nt "$hive" ]; then
  mkdir -p "$(dirname "$hive")"
  echo "offline_bench: making a ${megabytes} MB SOFTWARE hive (once)"
  "$generator" "$hive" "$megabytes"
fi
size=$(stat -c %s "$hive")
dirty=$hive-dirty
dirty_files=("$dirty" "$dirty.LOG1" "$dirty.LOG2")
for file in "${dirty_files[@]}"; do
  if [ ! -s "$file" ] || [ "$hive" -nt "$file" ] || [ "$dirty_maker" -nt "$file" ]; then
    echo "offline_bench: making a dirty copy of the hive with its logs (once)"
    "$dirty_maker" "$hive" "$dirty" >/dev/null
    break
  fi
done
dirty_bytes=$(cat "${dirty_files[@]}" | wc -c)

# What the scan reads from a SOFTWARE hive: item 3 enumerates the image
# options; items 5, 8, 9, 10, 12, 13, 21 and 22 read values; the command line
# reads SystemRoot for the system directory.
cv='\Microsoft\Windows NT\CurrentVersion'
win='\Microsoft\Windows\CurrentVersion'
values=(
  "$cv|SystemRoot"
  "$win\\Policies\\Explorer|NoViewContextMenu"
  "$win\\Policies\\System|NoAutoUpdate"
  "$win\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL|CheckedValue"
  "$cv\\Winlogon|Userinit"
  "$cv\\Windows|AppInit_DLLs"
  "$cv\\Winlogon|Shell"
  "$win\\URL\\DefaultPrefix|@"
  "$win\\URL\\Prefixes|ftp"
  "$win\\URL\\Prefixes|gopher"
  "$win\\URL\\Prefixes|home"
  "$win\\URL\\Prefixes|mosaic"
  "$win\\URL\\Prefixes|www"
)

scan() {
  local rc=0
  "$torvane" scan --software "$hive" >/dev/null || rc=$?
  [ "$rc" -le 1 ] || { echo "offline_bench: torvane scan failed ($rc)" >&2; exit 2; }
}
floor() { cat "$hive" >/dev/null; }
scan_dirty() {
  local rc=0
  "$torvane" scan --software "$dirty" >/dev/null 2>&1 || rc=$?
  [ "$rc" -le 1 ] || { echo "offline_bench: torvane scan of the dirty hive failed ($rc)" >&2; exit 2; }
}
floor_dirty() { cat "${dirty_files[@]}" >/dev/null; }
# Beside the hive, on its file system; a fresh copy for each repair.
copy=$hive-repaired
trap 'rm -f "$copy" "$copy-cp"' EXIT
repair() {
  local rc=0
  "$torvane" repair --software "$copy" 3 12 >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || { echo "offline_bench: torvane repair failed ($rc)" >&2; exit 2; }
}
floor_repair() { cp "$hive" "$copy-cp"; }
peer() {
  printf 'cd %s\nls\n' "$cv\\Image File Execution Options" | hivexsh "$hive" >/dev/null
  local entry
  for entry in "${values[@]}"; do
    # A value that is not there is an answer too (exit status 1 or 2).
    hivexget "$hive" "${entry%%|*}" "${entry##*|}" >/dev/null 2>&1 || true
  done
}

now() { date +%s%N; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# The logs change a value the scan reads: a scan that did not replay them
# would be timed reading the stale hive.
if [ "$("$torvane" scan --software "$hive" 2>/dev/null)" = "$("$torvane" scan --software "$dirty" 2>/dev/null)" ]; then
  echo "offline_bench: the scan of $dirty does not show what its logs hold" >&2
  exit 2
fi

floor; scan; peer; floor_dirty; scan_dirty  # warm the page cache
cp "$hive" "$copy"; repair
if [ "$("$torvane" scan --software "$copy" 2>/dev/null)" = "$("$torvane" scan --software "$hive" 2>/dev/null)" ]; then
  echo "offline_bench: the repair of a copy of $hive changed nothing it scans" >&2
  exit 2
fi
declare -a t_floor t_scan t_peer t_floor_dirty t_scan_dirty t_repair t_floor_repair
for ((i = 0; i < runs; i++)); do
  # Interleaved, so that a busy moment costs all of them alike.
  s=$(now); floor; e=$(now); t_floor+=($((e - s)))
  s=$(now); scan; e=$(now); t_scan+=($((e - s)))
  s=$(now); floor_dirty; e=$(now); t_floor_dirty+=($((e - s)))
  s=$(now); scan_dirty; e=$(now); t_scan_dirty+=($((e - s)))
  rm -f "$copy-cp"
  s=$(now); floor_repair; e=$(now); t_floor_repair+=($((e - s)))
  cp "$hive" "$copy"
  s=$(now); repair; e=$(now); t_repair+=($((e - s)))
  if ((i < (runs + 2) / 3)); then  # the peer is slow: a third of the rounds
    s=$(now); peer; e=$(now); t_peer+=($((e - s)))
  fi
done
m_floor=$(printf '%s\n' "${t_floor[@]}" | median)
m_scan=$(printf '%s\n' "${t_scan[@]}" | median)
m_peer=$(printf '%s\n' "${t_peer[@]}" | median)
m_floor_dirty=$(printf '%s\n' "${t_floor_dirty[@]}" | median)
m_scan_dirty=$(printf '%s\n' "${t_scan_dirty[@]}" | median)
m_floor_repair=$(printf '%s\n' "${t_floor_repair[@]}" | median)
m_repair=$(printf '%s\n' "${t_repair[@]}" | median)
# The scan exits 1 when it finds damage, as it does here.
rss_kb=$({ /usr/bin/time -f %M "$torvane" scan --software "$hive" 2>&1 >/dev/null || true; } | tail -1)
dirty_rss_kb=$({ /usr/bin/time -f %M "$torvane" scan --software "$dirty" 2>&1 >/dev/null || true; } | tail -1)

awk -v size="$size" -v f="$m_floor" -v s="$m_scan" -v p="$m_peer" -v rss="$rss_kb" -v n="${#values[@]}" \
    -v runs="$runs" -v peer_runs="${#t_peer[@]}" -v df="$m_floor_dirty" -v ds="$m_scan_dirty" \
    -v dirty_size="$dirty_bytes" -v drss="$dirty_rss_kb" -v fr="$m_floor_repair" -v r="$m_repair" 'BEGIN {
  mb = size / 1048576
  printf "offline scan of a %.1f MB SOFTWARE hive (median of %d runs; the peer of %d)\n", mb, runs, peer_runs
  printf "  cat > /dev/null (floor)          %9.1f ms\n", f / 1e6
  printf "  torvane scan --software          %9.1f ms   %.2fx the floor       (target <= 1.3x)\n", s / 1e6, s / f
  printf "  hivexget x %d + hivexsh ls x 1   %9.1f ms   scan is %.1fx faster  (target >= 20x)\n", n, p / 1e6, p / s
  printf "  peak memory of the scan          %9.1f MB   %.2fx the hive size\n", rss / 1024, rss * 1024 / size
  printf "the same hive dirty, its newest state in two logs (%.1f MB with them)\n", dirty_size / 1048576
  printf "  cat hive and logs > /dev/null    %9.1f ms\n", df / 1e6
  printf "  torvane scan --software          %9.1f ms   %.2fx the floor       (target <= 1.5x)\n", ds / 1e6, ds / df
  printf "  peak memory of the scan          %9.1f MB   %.2fx the hive size\n", drss / 1024, drss * 1024 / size
  printf "repair of a copy of the hive (items 3 and 12)\n"
  printf "  cp of the hive (floor)           %9.1f ms\n", fr / 1e6
  printf "  torvane repair --software 3 12   %9.1f ms   %.2fx the floor       (target <= 1.5x)\n", r / 1e6, r / fr
}'
