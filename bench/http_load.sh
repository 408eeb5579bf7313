#!/usr/bin/env bash
# Load test of `quillet serve` on loopback: CreateCall over HTTP with wrk at
# 1, 16 and 64 connections (a fixed number of seconds each, then it stops),
# and, in the same run, CreateCall in process on the same kind of back end.
# Checks that no answer was an error and that the calls stored are exactly
# the calls answered. Usage: http_load.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
quillet=$build/tools/quillet/quillet

"$quillet" --db "$scratch/q.db" backend load /dev/stdin <<'JSON' >/dev/null
{"serviceObjects":[{"object":"PRN-1","contract":"K-100","warranty":"W-STD"}],
 "businessPartners":[{"number":"BP-1"}],
 "engineerTime":[{"question":"Q-1","minutes":45}]}
JSON
"$quillet" serve --listen 127.0.0.1:0 --db "$scratch/q.db" \
  2>"$scratch/serve.err" &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$scratch/serve.err")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start"; exit 1; }

total=0
echo "| connections | requests/s | p50 | p99 | errors |"
echo "|---|---|---|---|---|"
for connections in 1 16 64; do
  threads=$(( connections < 2 ? 1 : 2 ))
  out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency \
    -s "$root/bench/http_load.lua" "http://127.0.0.1:$port/calls")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  count=$(awk '/requests in/ {print $1}' <<<"$out")
  errors=$(awk '/Non-2xx/ {print $5}' <<<"$out")
  socket=$(awk '/Socket errors/ {print $0}' <<<"$out")
  total=$((total + count))
  echo "| $connections | $rps | $p50 | $p99 | ${errors:-0}${socket:+ ($socket)} |"
done
kill -TERM "$server"
wait "$server" || true
server=""
created=$(grep -o '"status":201' "$scratch/serve.err" | wc -l)
stored=$("$quillet" --db "$scratch/q.db" calls | tail -1 | awk '{print $1}')
echo "answered 201: $created, stored: $stored (wrk counted $total)"
[ "$created" = "$stored" ] || { echo "stored calls differ from answered"; exit 1; }

echo "in process, same back end (SQLite file):"
"$build/bench/quillet_bench" \
  --benchmark_filter='BM_CreateCall_Embedded/memory:0/keyed:0$' \
  --benchmark_min_time="$seconds" 2>/dev/null | grep BM_CreateCall
