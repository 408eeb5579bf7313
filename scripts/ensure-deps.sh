#!/usr/bin/env bash
# Installs the Debian packages the build needs when any is missing.
set -euo pipefail
packages=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev valgrind
  libsqlite3-dev libpq-dev postgresql libxxhash-dev pkg-config nlohmann-json3-dev libcli11-dev libcpp-httplib-dev wrk chromium chromium-driver
  python3-selenium libutfcpp-dev clang
  clang-format libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
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
