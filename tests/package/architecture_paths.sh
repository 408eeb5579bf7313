#!/usr/bin/env bash
# Every path that docs/ARCHITECTURE.md names in backticks exists.
#   tests/package/architecture_paths.sh SOURCE_DIR
set -euo pipefail
cd "$1"
missing=0 checked=0
while read -r path; do
  checked=$((checked + 1))
  [ -e "$path" ] || { echo "docs/ARCHITECTURE.md names $path, which does not exist"; missing=1; }
done < <(grep -o '`[^` ]*`' docs/ARCHITECTURE.md | tr -d '`' |
         grep -E '^[A-Za-z0-9_.-]+(/[A-Za-z0-9_.-]*)+$|^[A-Za-z0-9_-]+\.md$' | sort -u)
[ "$checked" -gt 20 ] || { echo "only $checked paths found: is the pattern right?"; exit 1; }
[ "$missing" -eq 0 ] && echo "all $checked paths exist"
