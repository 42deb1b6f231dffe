#!/usr/bin/env bash
# Builds every libFuzzer target with clang (ASan+UBSan) in build-fuzz and runs
# each for SECONDS (default 60) on a scratch copy of its seed corpus
# (fuzz/corpus/<name without _fuzz>/). Prints executions and findings; exits
# non-zero when a fuzzer finds a crash, leak or time-out.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (no TARGET: every target, one after the other)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DTALVEX_FUZZ=ON -DTALVEX_BUILD_TESTS=OFF \
  -DTALVEX_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mapfile -t targets < <(grep -v '^$' "$build/fuzz/fuzz_targets.txt")
if [ $# -gt 1 ]; then
  shift
  targets=("$@")
fi
cmake --build "$build" -j2 --target "${targets[@]}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/talvex-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "${targets[@]}"; do
  corpus_name=${target%_fuzz}
  work="$scratch/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "fuzz/corpus/$corpus_name" ]; then
    cp -r "fuzz/corpus/$corpus_name/." "$work/corpus/"
  fi
  echo "== $target: ${seconds}s"
  log="$work/log.txt"
  set +e
  "$build/fuzz/$target" "$work/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE' "$log" || true
  findings=$(find "$work/artifacts" -type f | wc -l)
  echo "$target: exit $rc, findings $findings"
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
    tail -n 60 "$log"
    mkdir -p "$build/findings/$target"
    cp -r "$work/artifacts/." "$build/findings/$target/" 2>/dev/null || true
    echo "$target: findings kept in $build/findings/$target"
  fi
done
exit $status
