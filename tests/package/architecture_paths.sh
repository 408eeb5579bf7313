#!/usr/bin/env bash
# Every path that docs/ARCHITECTURE.md names in backticks exists, and the
# layers point one way: no storage engine includes the back end's rules,
# nothing in the component reaches into the trace, and the
# front ends keep to their layer: no file under tools/ includes a stand-in
# header (quillet/standins/... or a standins/ path). The operation layer
# (operations/) is the front ends' one way to the back end, its
# registration included, so no front-end file needs one.
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

# A front end that includes a stand-in header reaches past the operation
# layer. (The pattern is checked against a line that must match, so that a
# pattern gone wrong cannot pass everything.)
pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^">]*/)?standins/'
echo '#include "quillet/standins/backend_store.h"' | grep -Eq "$pattern" ||
  { echo "the include pattern does not match a stand-in header"; exit 1; }
sources=$(find tools operations/include -name '*.h' -o -name '*.cc' | wc -l)
[ "$sources" -gt 20 ] || { echo "only $sources front-end sources found"; exit 1; }
if bypass=$(grep -rEn "$pattern" tools operations/include --include='*.h' --include='*.cc'); then
  echo "front-end files (or the operation layer's headers) include stand-in headers:"
  echo "$bypass"
  missing=1
fi
# Every lock in product code is the annotated kind (src/runtime/mutex.h),
# which clang checks; the standard ones are used only inside it.
bare='std::(mutex|recursive_mutex|timed_mutex|shared_mutex|condition_variable|lock_guard|unique_lock|scoped_lock|shared_lock)\b'
echo 'std::lock_guard lock(mutex_);' | grep -Eq "$bare" ||
  { echo "the lock pattern does not match a standard lock"; exit 1; }
if unchecked=$(grep -rEn "$bare" src standins operations tools include \
    --include='*.h' --include='*.cc' | grep -v '^src/runtime/mutex\.h:'); then
  echo "product files lock with unannotated standard locks (use quillet::Mutex):"
  echo "$unchecked"
  missing=1
fi
[ "$missing" -eq 0 ] && echo "all $checked paths exist; the layers point one way; every lock is checked"
exit "$missing"
