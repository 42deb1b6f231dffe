#!/usr/bin/env bash
# Captures real traffic of the talvex program on loopback (a ping, a call, a return
# pulled packet by packet, a chunked call and a chunked return), decodes it with the
# Wireshark dissector and checks the fields of the packets.
# Usage: check_dissector.sh TALVEX_PROGRAM DISSECTOR.lua   (exit 77: skipped)
set -u
talvex=$1
lua=$2
if ! command -v tshark >/dev/null 2>&1; then
  echo "SKIPPED: tshark is not installed"; exit 77
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

start_server() {  # start_server NAME [--plain]: starts it in this shell, so cleanup can stop it
  local name=$1; shift
  "$talvex" serve --port 0 --quiet "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
}

server_port() {  # server_port NAME: the port the server named on its first line
  local name=$1 port
  for _ in $(seq 100); do
    port=$(sed -n 's/^serving on [0-9.]*:\([0-9]*\).*/\1/p' "$work/$name.out" 2>/dev/null | head -1)
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.05
  done
  cat "$work/$name.err" >&2
  return 1
}

start_server plain --plain
start_server extended
plain=$(server_port plain) || fail "plain server did not start"
extended=$(server_port extended) || fail "extended server did not start"

tshark -q -i lo -f "udp port $plain or udp port $extended" -w "$work/capture.pcap" >"$work/tshark.log" 2>&1 &
tshark_pid=$!
pids+=($tshark_pid)
for _ in $(seq 100); do grep -q "Capture started\|Capturing on" "$work/tshark.log" && break; sleep 0.05; done
if ! grep -q "Capture started\|Capturing on" "$work/tshark.log"; then
  echo "SKIPPED: cannot capture on lo here: $(cat "$work/tshark.log")"; exit 77
fi
sleep 0.5

"$talvex" ping "127.0.0.1:$plain" --count 1 >/dev/null || fail "ping"
"$talvex" call "127.0.0.1:$plain" 1 l:7 l:8 >/dev/null || fail "echo call"
"$talvex" call "127.0.0.1:$plain" 2 l:1000 --plain >/dev/null || fail "pulled return"
"$talvex" call "127.0.0.1:$extended" 2 l:1000 >/dev/null || fail "chunked return"
words=$(seq -s, 1 800)
"$talvex" call "127.0.0.1:$extended" 1 "b:$words" >/dev/null || fail "chunked call"
sleep 0.5
kill -INT $tshark_pid; wait $tshark_pid 2>/dev/null

fields=$(tshark -X lua_script:"$lua" -r "$work/capture.pcap" -Y talvex05u -T fields -E separator=' ' \
  -e talvex05u.type -e talvex05u.proc -e talvex05u.ref -e talvex05u.end -e talvex05u.total \
  -e talvex05u.chunk.transfer -e talvex05u.chunk.count -e talvex05u.chunk.index -e talvex05u.chunk.bytes 2>/dev/null)
count_type() { echo "$fields" | awk -v t="$1" '$1 == t' | wc -l; }
[ "$(count_type 3)" -ge 1 ] || fail "no RP_PING decoded"
[ "$(count_type 4)" -ge 1 ] || fail "no RP_PING_ANSWER decoded"
[ "$(count_type 1)" -ge 3 ] || fail "too few RP_CALL packets decoded"
# The echo call: procedure 1, two data words, end 2 of total 2.
echo "$fields" | awk '$1 == 1 && $2 == 1 && $4 == 2 && $5 == 2' | grep -q . || fail "echo call fields"
# Chunk count/index/bytes of the 1000-word answer (1384, 1384, 1232 bytes) and of the
# 801-word echo of the chunked call (1384, 1384, 436): 3 chunks each, no more.
[ "$(echo "$fields" | awk '$1 == 12 {print $7 "/" $8 "/" $9}' | tr '\n' ' ')" = \
  "3/0/1384 3/1/1384 3/2/1232 3/0/1384 3/1/1384 3/2/436 " ] || fail "chunk fields of the chunked returns"
[ "$(echo "$fields" | awk '$1 == 11 {print $7 "/" $8 "/" $9}' | tr '\n' ' ')" = "3/0/1384 3/1/1384 3/2/436 " ] \
  || fail "chunk fields of the chunked call"
# The pulled return asks for positions 350 and 700 only (the wanted position travels in the end field).
[ "$(echo "$fields" | awk '$1 == 9 {print $4}' | tr '\n' ' ')" = "350 700 " ] || fail "next-packet positions"
# Every packet of ours is recognised without configuration (heuristic): nothing left as plain UDP data.
plain_udp=$(tshark -X lua_script:"$lua" -r "$work/capture.pcap" -Y "udp && !talvex05u && udp.length > 8" 2>/dev/null | wc -l)
[ "$plain_udp" -eq 0 ] || fail "$plain_udp datagrams were not decoded as ours"
