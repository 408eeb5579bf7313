#!/usr/bin/env bash
# Every path that docs/ARCHITECTURE.md names in backticks exists, and the
# layers point one way: no storage engine includes the back end's rules,
# and nothing in the component reaches into the trace.
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
# Engines (the storage interface, SQLite's and PostgreSQL's files and what
# they share) know the storage types, never the rules that use them.
engines=$(ls standins/storage_engine.h standins/sqlite_* standins/postgres_* \
  standins/call_row_json.* standins/backend_failure.*)
if grep -l '#include.*backend_store\.h' $engines; then
  echo "the storage engines above include the rules (backend_store.h)"; missing=1
fi
# The component tells the runtime of what it withholds; only the trace
# knows the trace.
if grep -rl '#include "trace/' src --include='*.cc' --include='*.h' | grep -v '^src/trace/'; then
  echo "the files above include the trace's internals"; missing=1
fi
[ "$missing" -eq 0 ] && echo "all $checked paths exist; the layers point one way"
