#!/usr/bin/env bash
# Instruction counts of one CreateCall and one UpdateCall (option 2, a
# 5000-character solution text) on the null adapter, beside the same work
# written by hand, under callgrind: figures that do not move with the
# machine's noise. A warm-up call runs first and is not counted; building
# the caller's dictionary (or copying its map) is counted, as in the
# benchmarks.
set -euo pipefail
build=${1:-build-bench}
driver=$build/bench/quillet_instructions
[ -x "$driver" ] || cmake --build "$build" --target quillet_instructions >/dev/null
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count() {
  valgrind --tool=callgrind --callgrind-out-file="$out/$1.out" \
    --collect-atstart=no --toggle-collect=MeasuredOperation "$driver" "$1" 2>/dev/null
  callgrind_annotate "$out/$1.out" 2>/dev/null |
    awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}'
}
for op in create update; do
  quillet=$(count "$op")
  hand=$(count "$op-hand")
  ratio=$(awk -v q="$quillet" -v h="$hand" 'BEGIN {printf "%.2f", q / h}')
  echo "$op: Quillet $quillet instructions, by hand $hand, ratio $ratio"
done
