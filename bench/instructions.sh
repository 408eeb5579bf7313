#!/usr/bin/env bash
# Instruction counts of one CreateCall and one UpdateCall (option 2, a
# 5000-character solution text) on the null adapter, under callgrind: a
# figure that does not move with the machine's noise. A warm-up call runs
# first and is not counted.
set -euo pipefail
build=${1:-build}
driver=$build/bench/quillet_instructions
[ -x "$driver" ] || cmake --build "$build" --target quillet_instructions >/dev/null
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for op in create update; do
  fn=$([ $op = create ] && echo MeasuredCreateCall || echo MeasuredUpdateCall)
  valgrind --tool=callgrind --callgrind-out-file="$out/$op.out" \
    --collect-atstart=no --toggle-collect="$fn" "$driver" "$op" 2>/dev/null
  total=$(callgrind_annotate "$out/$op.out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  echo "$op: $total instructions per call"
done
