#!/usr/bin/env bash
# The offline scan as whole processes, each figure a ratio measured in this run:
#   (a) `torvane scan --software HIVE` against `cat HIVE > /dev/null`, the floor
#       for anything that loads the whole hive (target: at most 1.3 times);
#   (b) the peer way of getting the same values: `hivexget` once per value the
#       checks read (hivexsh for the one key the hijack check enumerates), one
#       process each, as a script would (target: the scan 20 times faster);
#   and the scan's peak memory (max RSS) against the hive's size.
#
#   bench/offline_bench.sh TORVANE MAKE_SOFTWARE_HIVE HIVE [MEGABYTES]
# Makes HIVE with MAKE_SOFTWARE_HIVE when it is missing or older than it. RUNS=N sets the
# number of timed rounds (median taken; default 15).
set -euo pipefail

torvane=$1 generator=$2 hive=$3 megabytes=${4:-100}
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

floor; scan; peer  # warm the page cache
declare -a t_floor t_scan t_peer
for ((i = 0; i < runs; i++)); do
  # Interleaved, so that a busy moment costs all three alike.
  s=$(now); floor; e=$(now); t_floor+=($((e - s)))
  s=$(now); scan; e=$(now); t_scan+=($((e - s)))
  if ((i < (runs + 2) / 3)); then  # the peer is slow: a third of the rounds
    s=$(now); peer; e=$(now); t_peer+=($((e - s)))
  fi
done
m_floor=$(printf '%s\n' "${t_floor[@]}" | median)
m_scan=$(printf '%s\n' "${t_scan[@]}" | median)
m_peer=$(printf '%s\n' "${t_peer[@]}" | median)
# The scan exits 1 when it finds damage, as it does here.
rss_kb=$({ /usr/bin/time -f %M "$torvane" scan --software "$hive" 2>&1 >/dev/null || true; } | tail -1)

awk -v size="$size" -v f="$m_floor" -v s="$m_scan" -v p="$m_peer" -v rss="$rss_kb" -v n="${#values[@]}" \
    -v runs="$runs" -v peer_runs="${#t_peer[@]}" 'BEGIN {
  mb = size / 1048576
  printf "offline scan of a %.1f MB SOFTWARE hive (median of %d runs; the peer of %d)\n", mb, runs, peer_runs
  printf "  cat > /dev/null (floor)          %9.1f ms\n", f / 1e6
  printf "  torvane scan --software          %9.1f ms   %.2fx the floor       (target <= 1.3x)\n", s / 1e6, s / f
  printf "  hivexget x %d + hivexsh ls x 1   %9.1f ms   scan is %.1fx faster  (target >= 20x)\n", n, p / 1e6, p / s
  printf "  peak memory of the scan          %9.1f MB   %.2fx the hive size\n", rss / 1024, rss * 1024 / size
}'
