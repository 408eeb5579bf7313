#!/usr/bin/env bash
# Installs Quillet into a scratch prefix and builds the example host against
# the installed package with find_package(Quillet), then runs it. The example
# sets no C++ standard: the package's targets carry it. Also checks that
# libquillet exports its API and not the operations' internals.
set -euo pipefail
build_dir=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/include/quillet/standins/embedded_backend.h"
test ! -e "$scratch/prefix/include/standins"
if grep -q "sqlite3.h" "$scratch"/prefix/include/quillet/standins/*.h; then
  echo "a stand-in header includes sqlite3.h" >&2
  exit 1
fi
internals=$(nm -D --defined-only -C "$build_dir/libquillet.so" |
  grep -E 'Toliva|TextPieces|NextPieceLength|Details\(|RaiseObjectNotSet|quillet::Calls::|ManagerAfterBinding' || true)
if [[ -n "$internals" ]]; then
  echo "libquillet exports internals:" >&2
  echo "$internals" >&2
  exit 1
fi
cmake -S "$source_dir/examples/host" -B "$scratch/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" ${CMAKE_CXX_FLAGS:+-DCMAKE_CXX_FLAGS="$CMAKE_CXX_FLAGS"} >/dev/null
cmake --build "$scratch/host" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/host/quillet_host_example"
