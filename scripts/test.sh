#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages-build.txt and
# scripts/packages-test.txt that are missing, builds the
# library and runs the whole test suite twice: a normal build, and an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Usage: scripts/test.sh [--fast]
# (--fast: the normal build only). Set TALVEX_TSAN=1 to add a ThreadSanitizer run.
# The normal build also builds the Python module and runs its tests; the sanitizer
# builds leave it out, since an instrumented library cannot be loaded into the
# stock python3 interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh build test
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  echo "== build $dir ($*)"
  cmake -S . -B "$dir" -DTALVEX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300 -LE slow)
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_PYTHON=ON
if [ "${1:-}" != "--fast" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVEX_SANITIZE=address -DTALVEX_PYTHON=OFF
fi
if [ "${TALVEX_TSAN:-0}" = 1 ]; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DTALVEX_SANITIZE=thread -DTALVEX_PYTHON=OFF
fi
echo "== all tests passed"
