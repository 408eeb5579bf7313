#!/usr/bin/env bash
# Load test of `quillet serve` on loopback: CreateCall over HTTP with wrk at
# 1, 16 and 64 connections (a fixed number of seconds each, then it stops);
# then 16 connections again while 1,000 idle kept-alive connections and 100
# slowloris ones are held open and /healthz is probed one request at a time;
# then a header flood, with the server's resident memory before and after;
# and, in the same run, CreateCall in process on the same kind of back end,
# with the ratios computed here. Checks that the calls stored are exactly
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
ulimit -n "$(ulimit -Hn)"  # the held connections
# Deadlines long enough that the hostile clients stay for the whole run.
"$quillet" serve --listen 127.0.0.1:0 --db "$scratch/q.db" \
  --max-connections-per-client 2000 --idle-timeout 300 --timeout 300 \
  2>"$scratch/serve.err" &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$scratch/serve.err")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start"; exit 1; }

rss() { awk '/^VmRSS/ {print int($2 / 1024)}' "/proc/$server/status"; }
hostile="/usr/bin/python3 $root/bench/hostile_clients.py"
total=0
declare -A rate
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
  rate[$connections]=$rps
  echo "| $connections | $rps | $p50 | $p99 | ${errors:-0}${socket:+ ($socket)} |"
done

idle_rss=$(rss)
$hostile hold "$port" 1000 100 $((seconds + 10)) >"$scratch/hold.out" &
holder=$!
for _ in $(seq 300); do grep -qs holding "$scratch/hold.out" && break; sleep 0.1; done
$hostile probe "$port" "$seconds" >"$scratch/probe.out" &
prober=$!
out=$(wrk -t2 -c16 -d"${seconds}s" -s "$root/bench/http_load.lua" \
  "http://127.0.0.1:$port/calls")
loaded=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
total=$((total + $(awk '/requests in/ {print $1}' <<<"$out")))
wait "$prober"
read -r probe50 probe99 probes <"$scratch/probe.out"
held_rss=$(rss)
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true
echo
echo "with 1,000 idle kept-alive and 100 slowloris connections held (server RSS $held_rss MB):"
echo "  POST /calls at 16 connections: $loaded requests/s," \
  "$(awk -v a="$loaded" -v b="${rate[16]}" 'BEGIN {printf "%.0f", 100 * a / b}')% of unloaded (aim: >= 80%)"
echo "  GET /healthz one at a time: p50 $probe50 ms, p99 $probe99 ms over $probes (aim: p99 <= 50 ms)"
sleep 1
before=$(rss)
answered=$($hostile flood "$port" 200 2097152)
sleep 1
after=$(rss)
echo "header flood, 200 connections of 2 MiB of header lines each ($answered answered 431):"
echo "  server RSS idle $idle_rss MB, before $before MB, after $after MB:" \
  "$((after - idle_rss)) MB over idle (aim: <= 32 MB)"
echo
kill -TERM "$server"
wait "$server" || true
server=""
created=$(grep -o '"status":201' "$scratch/serve.err" | wc -l)
stored=$("$quillet" --db "$scratch/q.db" calls | tail -1 | awk '{print $1}')
echo "answered 201: $created, stored: $stored (wrk counted $total)"
[ "$created" = "$stored" ] || { echo "stored calls differ from answered"; exit 1; }

echo "in process, same back end (SQLite file):"
line=$("$build/bench/quillet_bench" \
  --benchmark_filter='BM_CreateCall_Embedded/memory:0/keyed:0$' \
  --benchmark_min_time="$seconds" 2>/dev/null |
  sed 's/\x1b\[[0-9;]*m//g' | grep BM_CreateCall)
echo "$line"
# Time and unit of the in-process run, as calls a second.
in_process=$(awk '{t = $2; u = $3; s = (u == "ns") ? t / 1e9 : (u == "us") ? t / 1e6 : t / 1e3;
  printf "%.0f", 1 / s}' <<<"$line")
ratio=$(awk -v a="${rate[16]}" -v b="$in_process" 'BEGIN {printf "%.2f", a / b}')
echo "HTTP at 16 connections: ${rate[16]} requests/s against $in_process calls/s in process:" \
  "${ratio}x (target >= 1.5x: $(awk -v r="$ratio" 'BEGIN {print (r >= 1.5) ? "met" : "MISSED"}'))"
