#!/usr/bin/env bash
# Shows Talvex05u on this computer: installs the packages of
# scripts/packages-build.txt that are missing (Debian 12, apt-get; not the test
# packages), builds the talvex program in build-demo (Release, no tests) and runs
# `talvex demo`. Usage: scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh build

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 4 ] || jobs=4   # each compile takes up to 1 GB; small machines swap beyond this
echo "== building build-demo"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$jobs" --target talvex >/dev/null
echo "== talvex demo"
exec ./build-demo/tools/talvex/talvex demo
