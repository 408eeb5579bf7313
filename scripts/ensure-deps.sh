#!/usr/bin/env bash
# Installs the Debian packages the build needs when any is missing, and the
# npm packages of the tests (from their lock files).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev valgrind strace
  libsqlite3-dev libpq-dev postgresql pgbouncer postgresql-15-auto-failover pg-auto-failover-cli libxxhash-dev pkg-config nlohmann-json3-dev libcli11-dev libcpp-httplib-dev libboost-dev libssl-dev wrk chromium chromium-driver
  python3-selenium libutfcpp-dev clang
  clang-format libclang-rt-14-dev lintian dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
# Node.js from wherever it came; Debian's when there is none.
command -v npm >/dev/null || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
    echo "Please run: apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
# npm packages of the tests, each from its lock file: the OpenAPI check and
# the accessibility rules of the console's browser test.
for dir in "$root/tests/openapi" "$root/tests/console"; do
  if [ ! -d "$dir/node_modules" ] ||
     [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    npm ci --prefix "$dir" --no-audit --no-fund --loglevel=error
    touch "$dir/node_modules"
  fi
done
