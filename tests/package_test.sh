#!/usr/bin/env bash
# Installs Quillet into a scratch prefix and builds the example host against
# the installed package with find_package(Quillet), then runs it.
set -euo pipefail
build_dir=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source_dir/examples/host" -B "$scratch/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" ${CMAKE_CXX_FLAGS:+-DCMAKE_CXX_FLAGS="$CMAKE_CXX_FLAGS"} >/dev/null
cmake --build "$scratch/host" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/host/quillet_host_example"
