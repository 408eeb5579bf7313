#!/usr/bin/env bash
# Prints the port that a `quillet serve --listen HOST:0` listens on, once
# its standard error (written to FILE) says "listening on HOST:PORT"; fails
# after about ten seconds (100 looks, 0.1 s apart) without it.
#   tests/support/wait_for_port.sh FILE [HOST]    (HOST: 127.0.0.1)
set -euo pipefail
file=$1
host=${2:-127.0.0.1}
for _ in $(seq 100); do
  while IFS= read -r line; do
    case $line in
      "listening on $host:"*)
        port=${line#"listening on $host:"}
        [[ $port =~ ^[0-9]+$ ]] && { echo "$port"; exit 0; } ;;
    esac
  done < <(cat "$file" 2>/dev/null || true)
  sleep 0.1
done
echo "no 'listening on $host:PORT' in $file" >&2
exit 1
