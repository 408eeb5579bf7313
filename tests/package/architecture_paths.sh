#!/usr/bin/env bash
# Every path that docs/ARCHITECTURE.md names in backticks exists, and the
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
[ "$missing" -eq 0 ] && echo "all $checked paths exist; no front-end file includes a stand-in header"
