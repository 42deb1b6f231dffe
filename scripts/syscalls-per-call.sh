#!/usr/bin/env bash
# Counts the system calls of one 16-byte library call (a client caller calling a server
# caller, both in one process: both peers counted) and of one raw UDP ping-pong of the
# same datagram size, under `strace -f -c`; for machines where `talvex bench --only
# syscalls` cannot open its perf counters. Each side runs twice, with N and with 3N
# calls after the same warm-up (`talvex bench --only syscalls-loop[-raw] --calls ...`):
# the difference of the two counts over 2N is what one call costs in steady state,
# without the start and the end of the process. strace slows every system call down,
# so counts that depend on timing (futex, poll that find nothing yet) can differ from
# the counts of the bench's perf counters.
# Installs strace with apt-get when it is missing (scripts/packages-bench.txt).
# Usage: scripts/syscalls-per-call.sh [--talvex PATH] [--calls N] [--pin CPU]
set -euo pipefail
cd "$(dirname "$0")/.."

talvex=""
calls=2000
pin=()
while [ $# -gt 0 ]; do
  case "$1" in
    --talvex) talvex="$2"; shift 2 ;;
    --calls) calls="$2"; shift 2 ;;
    --pin) pin=(--pin "$2"); shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "$0: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$calls" in
  ''|*[!0-9]*) echo "$0: --calls takes a number" >&2; exit 2 ;;
esac
if [ "$calls" -lt 1 ] || [ "$calls" -gt 1000000 ]; then
  echo "$0: --calls takes 1 to 1000000" >&2
  exit 2
fi

./scripts/install-deps.sh bench >&2

if [ -z "$talvex" ]; then
  for candidate in build-release build-rel build; do
    if [ -x "$candidate/tools/talvex/talvex" ]; then talvex="$candidate/tools/talvex/talvex"; break; fi
  done
fi
if [ -z "$talvex" ]; then
  echo "== building build-release" >&2
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTALVEX_BUILD_TESTS=OFF -DTALVEX_PYTHON=OFF >/dev/null
  cmake --build build-release -j 2 --target talvex >/dev/null
  talvex=build-release/tools/talvex/talvex
fi

work="$(mktemp -d /tmp/talvex-syscalls-XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Runs one loop under strace; its summary (calls and name of each system call) to $work/$2.
count() {
  local only="$1" file="$2" n="$3"
  strace -f -c -o "$work/$file.strace" "$talvex" bench "${pin[@]}" --only "$only" --calls "$n" >&2
  # Lines of the summary: "% time, seconds, usecs/call, calls, [errors,] name"; the calls are the 4th field.
  awk '$1 ~ /^[0-9.]+$/ && NF >= 5 { print $NF, $4 }' "$work/$file.strace" >"$work/$file"
}

# Per call: (count with 3N calls - count with N calls) / 2N, total first, then the most frequent.
per_call() {
  awk -v span=$((2 * calls)) '
    FNR == NR { short[$1] = $2; next }
    { long[$1] = $2 }
    END {
      for (name in short) if (!(name in long)) long[name] = 0
      for (name in long) {
        value = (long[name] - short[name]) / span
        if (name == "total") printf "total %.2f\n", value
        else if (value >= 0.005 || value <= -0.005) printf "%s %.2f\n", name, value
      }
    }' "$work/$1" "$work/$2" | awk '{ if ($1 == "total") print "0", $0; else print "1", $0 }' |
    sort -k1,1n -k3,3gr | cut -d' ' -f2-
}

for side in syscalls-loop syscalls-loop-raw; do
  count "$side" "$side.short" "$calls"
  count "$side" "$side.long" $((3 * calls))
  per_call "$side.short" "$side.long" >"$work/$side.result"
done

echo "system calls per call, both peers, steady state (strace -f -c; ($((3 * calls)) - $calls calls) / $((2 * calls))${pin[*]:+; ${pin[*]}})"
printf '%-24s %20s %34s\n' "system call" "call 16 B, threads" "raw UDP ping-pong 32 B, threads"
# Every system call of either side, in the library's order, then the reference's own.
awk '
  FNR == NR { order[++n] = $1; library[$1] = $2; next }
  { raw[$1] = $2; if (!($1 in library)) { order[++n] = $1; library[$1] = "0.00" } }
  END {
    for (i = 1; i <= n; ++i) {
      name = order[i]
      value = (name in raw) ? raw[name] : "0.00"
      if (name == "total") printf "%-24s %20s %34s\n", name, library[name], value
      else printf "  %-22s %20s %34s\n", name, library[name], value
    }
  }' "$work/syscalls-loop.result" "$work/syscalls-loop-raw.result"
