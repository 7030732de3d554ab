#!/usr/bin/env bash
# Remakes the dissector's captures in tests/captures from real runs against
# `vrnsim --pcap` on the default base port 3011. The expected values in
# tests/wireshark/*.expect were written by hand for the captures as checked
# in: a remade capture needs them written again.
#
#   bash tests/wireshark/make_captures.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}
out=tests/captures
sim=$build/sim/vrnsim
prog=$build/tools/vrnprog
stat=$build/tools/vrnstat
calls=$build/tests/wireshark/vrn_library_calls
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '; four bytes\n0x56\n0x52\n0x4E\n0x21\n' > "$work/image.dat"

# run NAME SIM_OPTIONS... -- then the client commands run against it, one per line on stdin.
run() {
  local name=$1
  shift
  "$sim" --port 3011 --pcap "$out/$name.pcap" "$@" 2> "$work/$name.log" &
  local pid=$!
  for _ in $(seq 50); do grep -q listening "$work/$name.log" 2>/dev/null && break; sleep 0.1; done
  while read -r -a cmd; do
    "${cmd[@]}" > "$work/$name.out" 2>&1 || echo "$name: ${cmd[*]} exited $?" >&2
  done
  sleep 6  # a late answer still to come
  kill "$pid"
  wait "$pid" || true
  echo "$name: $(grep -c . "$work/$name.log") log lines; $(tail -n 1 "$work/$name.log")"
}

run clean <<EOF
$prog 127.0.0.1 3011 2 $work/image.dat
$stat 127.0.0.1 3011
EOF

# Dropped and late (past the 4 s wait) acknowledges; the trace tells which.
run faults --trace --seed 4 --faults-after 20 --drop-ack 0.03 --delay-ack 0.03:4500 --fault-limit 3 <<EOF
$prog 127.0.0.1 3011 2 $work/image.dat
EOF
cp "$work/faults.log" "$out/faults.trace"
grep -E '\[dropped\]|\[delayed' "$out/faults.trace" || echo "faults: no wire fault in the trace" >&2

run intel16 --chip intel:0x18:16 <<EOF
$prog 127.0.0.1 3011 2 $work/image.dat
EOF

run library <<EOF
$calls 127.0.0.1 3011
EOF
cat "$work/library.out"
ls -l "$out"
