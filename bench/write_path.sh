#!/usr/bin/env bash
# Counts that do not move with the machine's load, per single write on a
# SQLite file on a RAM file system: system calls by kind (strace -c, N
# writes less a run of none), instructions and SQLite statement steps
# (callgrind, between the markers): CreateCall, the same under a request
# key, and the floor (one 400-byte INSERT per transaction).
# Usage: write_path.sh BUILD_DIR [N]
set -euo pipefail
build=${1:-build-bench}
n=${2:-500}
driver=$(realpath "$build")/bench/quillet_write_path
[ -x "$driver" ] || cmake --build "$build" --target quillet_write_path >/dev/null
dir=$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")
scratch=$(mktemp -d "$dir/quillet-write-path.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
run() {  # mode, writes, tool...
  local mode=$1 count=$2
  shift 2
  rm -f "$scratch/db"*
  "$@" "$driver" "$mode" "$scratch/db" "$count" >"$scratch/out" 2>/dev/null
}
# System calls per write, by kind: the run of N less the run of none.
syscalls() {
  run "$1" "$2" strace -f -c -o "$scratch/strace.$2"
  awk '$NF != "total" && $4 ~ /^[0-9]+$/ {print $NF, $4}' "$scratch/strace.$2"
}
for mode in floor create keyed; do
  declare -A none=() many=()
  while read -r name calls; do none[$name]=$calls; done < <(syscalls "$mode" 0)
  while read -r name calls; do many[$name]=$calls; done < <(syscalls "$mode" "$n")
  total=0
  line=""
  for name in "${!many[@]}"; do
    per=$(awk -v a="${many[$name]}" -v b="${none[$name]:-0}" -v n="$n" \
      'BEGIN {printf "%.1f", (a - b) / n}')
    total=$(awk -v t="$total" -v p="$per" 'BEGIN {print t + p}')
    [ "$per" != "0.0" ] && line="$line $name $per,"
  done
  echo "$mode: $total system calls a write:${line%,}"
  run "$mode" "$n"
  echo "$mode: $(sed -n 's/^bytes written a write: //p' "$scratch/out") bytes written a write (WAL and checkpoints)"
  if command -v valgrind >/dev/null; then
    run "$mode" 50 valgrind --tool=callgrind \
      --callgrind-out-file="$scratch/cg.$mode" --collect-atstart=no \
      --toggle-collect=MeasuredWrites
    instructions=$(callgrind_annotate "$scratch/cg.$mode" 2>/dev/null |
      awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
    # Calls of sqlite3_step: one a statement run (a SELECT's rows aside).
    # Calls of sqlite3_step: one a statement run (and one a row read). A
    # function's name is given with its id the first time, the id alone
    # after.
    steps=$(awk '/^c?fn=\([0-9]+\) / {split($0, p, /[=) ]+/); if ($2 == "sqlite3_step") step_id = p[2]}
      /^cfn=/ {split($0, p, /[=) ]+/); step = (p[2] == step_id)}
      /^calls=/ && step {split($0, c, /[= ]/); s += c[2]}
      END {print s + 0}' "$scratch/cg.$mode")
    echo "$mode: $((instructions / 50)) instructions a write, $(awk -v s="$steps" 'BEGIN {printf "%.1f", s / 50}') sqlite3_step calls a write"
  fi
done
