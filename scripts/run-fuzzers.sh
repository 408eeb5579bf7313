#!/usr/bin/env bash
# Replays each fuzz target's corpus, then fuzzes it for a bounded time.
# New inputs go to a scratch folder; the corpus in the repository is only read.
set -euo pipefail
build=$1
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
total=0
for target in convert calls late_binding items cli_json cli_input cli_batch; do
  exe=$build/fuzz/fuzz_$target
  corpus=$root/fuzz/corpus/$target
  mkdir -p "$scratch/$target"
  echo "== $target: replaying $(ls "$corpus" | wc -l) seeds, then fuzzing ${seconds}s"
  "$exe" -artifact_prefix="$scratch/" -runs=0 "$corpus" 2>"$scratch/$target.replay.log" ||
    { cat "$scratch/$target.replay.log"; exit 1; }
  "$exe" -artifact_prefix="$root/fuzz/crash-$target-" -max_total_time="$seconds" \
    -max_len=4096 -print_final_stats=1 \
    "$scratch/$target" "$corpus" 2>"$scratch/$target.log" ||
    { tail -60 "$scratch/$target.log"; exit 1; }
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$scratch/$target.log")
  echo "   $runs executions, no failure"
  total=$((total + runs))
done
echo "fuzzing: $total executions in all"
