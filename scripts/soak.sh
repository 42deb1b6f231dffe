#!/usr/bin/env bash
# Soak run (not part of CI): two soak_peer processes call each other with mixed
# sizes and throw random datagrams at each other. Builds a Release tree in
# build-soak when needed. Prints calls, failures and resident memory (VmRSS) of
# each peer after warm-up and at the end; exits non-zero when a peer crashes,
# reports a wrong answer or a call that outlived its time-out, or grows beyond
# 20% + 8 MB of its warmed-up size.
# Usage: scripts/soak.sh [MINUTES]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
seconds=$((minutes * 60))
warmup=30
if [ "$seconds" -le $((warmup + 10)) ]; then warmup=$((seconds / 4)); fi
build=build-soak

if [ ! -x "$build/tools/soak/talvex_soak_peer" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEX_ALLOW_UNDEFINED=ON >/dev/null
fi
cmake --build "$build" -j2 --target talvex_soak_peer >/dev/null

# Two free UDP ports on loopback, chosen by the system.
read -r port_a port_b < <(python3 - <<'PY'
import socket
socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))
PY
)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/talvex-soak.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

"$build/tools/soak/talvex_soak_peer" "$port_a" "$port_b" "$seconds" 1 >"$scratch/a.log" 2>&1 &
pid_a=$!; pids+=("$pid_a")
"$build/tools/soak/talvex_soak_peer" "$port_b" "$port_a" "$seconds" 2 >"$scratch/b.log" 2>&1 &
pid_b=$!; pids+=("$pid_b")

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

echo "soak: ${minutes} min, peers on ports $port_a and $port_b, each throwing 250 random datagrams/s"
sleep "$warmup"
rss_a_start=$(rss_kb "$pid_a"); rss_b_start=$(rss_kb "$pid_b")
echo "after ${warmup}s warm-up: VmRSS a ${rss_a_start} kB, b ${rss_b_start} kB"
# The last sample before the peers end (they stop on their own after $seconds).
rss_a_end=$rss_a_start; rss_b_end=$rss_b_start
while kill -0 "$pid_a" 2>/dev/null && kill -0 "$pid_b" 2>/dev/null; do
  a=$(rss_kb "$pid_a"); b=$(rss_kb "$pid_b")
  [ "${a:-0}" -gt 0 ] && rss_a_end=$a
  [ "${b:-0}" -gt 0 ] && rss_b_end=$b
  sleep 5
done
status=0
wait "$pid_a" || { echo "peer a exited with $?"; status=1; }
wait "$pid_b" || { echo "peer b exited with $?"; status=1; }
pids=()

for side in a b; do
  echo "peer $side: $(grep '^start' "$scratch/$side.log" | tail -1)"
  echo "peer $side: $(grep '^end' "$scratch/$side.log" | tail -1)"
done
check_growth() {
  local name=$1 start=$2 end=$3
  local bound=$((start + start / 5 + 8192))
  echo "peer $name VmRSS: ${start} kB after warm-up, ${end} kB at the end (bound ${bound} kB)"
  if [ "$end" -gt "$bound" ]; then echo "peer $name: memory grew beyond the bound"; status=1; fi
}
check_growth a "$rss_a_start" "$rss_a_end"
check_growth b "$rss_b_start" "$rss_b_end"
if ! grep -q '^end' "$scratch/a.log" || ! grep -q '^end' "$scratch/b.log"; then
  echo "a peer did not finish:"; tail -5 "$scratch/a.log" "$scratch/b.log"; status=1
fi
echo "soak: $([ $status -eq 0 ] && echo PASSED || echo FAILED)"
exit $status
