#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each one for a bounded time over a
# scratch copy of its committed seed corpus.
#   FUZZ_SECONDS=1800 scripts/fuzz.sh [harness...]
# FUZZ_SEED and FUZZ_RUNS make a run repeatable (the test script's smoke run:
# the same inputs every time, so a fault it finds is found again).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

seconds=${FUZZ_SECONDS:-20}
repeatable=()
# A seeded run tries the same inputs every time only when nothing else steers
# the mutations: comparisons' operands (a file's times differ from run to
# run), the corpus reread every second, and addresses (hash orders and the
# code they take differ with each layout of memory).
no_aslr=()
if [ -n "${FUZZ_SEED:-}" ]; then
  repeatable+=(-seed="$FUZZ_SEED" -use_cmp=0 -reload=0)
  setarch "$(uname -m)" -R true 2>/dev/null && no_aslr=(setarch "$(uname -m)" -R)
fi
[ -n "${FUZZ_RUNS:-}" ] && repeatable+=(-runs="$FUZZ_RUNS")
step "fuzz: building the harnesses"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=($(cd fuzz/corpus && ls))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for harness in "${harnesses[@]}"; do
  mkdir -p "$work/$harness" "$work/artifacts"
  cp -r "fuzz/corpus/$harness/." "$work/$harness/"
  step "fuzz: $harness for ${seconds}s"
  "${no_aslr[@]}" "build/fuzz/fuzz/${harness}_fuzz" -max_total_time="$seconds" "${repeatable[@]}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/$harness" 2>"$work/$harness.log" || {
    tail -40 "$work/$harness.log"
    echo "fuzz: $harness found a fault; the input is in fuzz/crashes/" >&2
    mkdir -p fuzz/crashes && cp "$work"/artifacts/* fuzz/crashes/ 2>/dev/null || true
    exit 1
  }
  grep -E 'DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$work/$harness.log" | sed -E "s/ +exec\/s.*//; s/^/fuzz: $harness /"
done
