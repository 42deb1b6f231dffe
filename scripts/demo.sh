#!/usr/bin/env bash
# Shows Talvex05u on this computer: installs the build tools that are missing
# (Debian 12, with apt-get), builds the talvex program in build-demo (Release,
# no tests) and runs `talvex demo`. Usage: scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev ccache iproute2 util-linux)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
echo "== building build-demo"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$jobs" --target talvex >/dev/null
echo "== talvex demo"
exec ./build-demo/tools/talvex/talvex demo
