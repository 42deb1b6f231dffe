#!/usr/bin/env bash
# Measures Talvex05u on this computer: installs the build tools that are missing
# (Debian 12, with apt-get; libtirpc-dev for the ONC RPC comparison), builds the
# talvex program in build-release (Release, no tests) and runs `talvex bench` with
# the arguments given. Usage: scripts/bench.sh [--quick] [--json FILE] [--csv FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libtirpc-dev iproute2 util-linux)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" >&2
fi

echo "== building build-release" >&2
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j 2 --target talvex >/dev/null
echo "== talvex bench $*   (load average: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
exec ./build-release/tools/talvex/talvex bench "$@"
