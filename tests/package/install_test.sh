#!/usr/bin/env bash
# Installs Quillet into a scratch prefix and builds the example host against
# the installed package with find_package(Quillet), then runs it. The example
# sets no C++ standard: the package's targets carry it. Also checks that
# libquillet exports its API and not the operations' internals, and that the
# stand-ins install and export only what a host needs of them, which a host
# running the embedded back end builds against (embedded_host.cc).
set -euo pipefail
build_dir=$1
source_dir=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
# The stand-ins install and export what a host needs to register and
# configure them, not the back end's rules, store pool or engines.
installed=$(cd "$scratch/prefix/include/quillet/standins" && ls | tr '\n' ' ')
if [[ "$installed" != "embedded_backend.h file_log.h transaction_host.h " ]]; then
  echo "the stand-in headers installed are $installed" >&2
  exit 1
fi
exported=$(nm -D --defined-only "$build_dir/libquillet_standins.so" | wc -l)
if (( exported > 150 )); then
  echo "libquillet_standins exports $exported symbols" >&2
  exit 1
fi
internals=$(nm -D --defined-only -C "$build_dir/libquillet_standins.so" |
  grep -E 'WriteGroup|BackendStore|StorageEngine|TakeStore\(|GiveBackStore|Postgres|Sqlite' || true)
if [[ -n "$internals" ]]; then
  echo "libquillet_standins exports internals:" >&2
  echo "$internals" >&2
  exit 1
fi
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
# A host that runs Quillet over the embedded back end, built against the
# installed headers and libraries only.
mkdir "$scratch/embedded"
cat >"$scratch/embedded/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(EmbeddedHost LANGUAGES CXX)
find_package(Quillet REQUIRED)
add_executable(embedded_host "$source_dir/tests/package/embedded_host.cc")
target_link_libraries(embedded_host PRIVATE Quillet::standins)
EOF
cmake -S "$scratch/embedded" -B "$scratch/embedded/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" ${CMAKE_CXX_FLAGS:+-DCMAKE_CXX_FLAGS="$CMAKE_CXX_FLAGS"} >/dev/null
cmake --build "$scratch/embedded/build" >/dev/null
ran=$(LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/embedded/build/embedded_host" "$scratch")
if ! [[ "$ran" =~ ^CALL\ (SC[0-9]{6})\ AGAIN\ (SC[0-9]{6})\ REPLAYED$ ]] ||
   [[ "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ]]; then
  echo "the embedded host answered: $ran" >&2
  exit 1
fi
cmake -S "$source_dir/examples/host" -B "$scratch/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" ${CMAKE_CXX_FLAGS:+-DCMAKE_CXX_FLAGS="$CMAKE_CXX_FLAGS"} >/dev/null
cmake --build "$scratch/host" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/host/quillet_host_example"
