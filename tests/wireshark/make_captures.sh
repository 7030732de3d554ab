#!/usr/bin/env bash
# Remakes the dissector's captures in tests/captures from real runs against
# `vrnsim --pcap` on the default base port 3011. The expected values in
# tests/wireshark/*.expect were written by hand for the captures as checked
# in: a remade capture needs them written again.
#
#   bash tests/wireshark/make_captures.sh [BUILD_DIR [NAME...]]
#
# BUILD_DIR defaults to build/default; the NAMEs (clean faults wire intel16
# library) to all of them.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}
shift || true
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(clean faults wire intel16 library)
out=tests/captures
sim=$build/sim/vrnsim
prog=$build/tools/vrnprog
stat=$build/tools/vrnstat
calls=$build/tests/wireshark/vrn_library_calls
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '; four bytes\n0x56\n0x52\n0x4E\n0x21\n' > "$work/image.dat"

# run NAME SIM_OPTIONS...: vrnsim with those options, and against it the
# client commands given on standard input, one per line.
run() {
  local name=$1
  shift
  "$sim" --port 3011 --pcap "$out/$name.pcap" "$@" 2> "$work/$name.log" &
  local pid=$!
  for _ in $(seq 50); do grep -q listening "$work/$name.log" 2>/dev/null && break; sleep 0.1; done
  # Port 3011 held by someone else (a demo's vrnsim) would put their traffic in the capture.
  grep -q listening "$work/$name.log" || { kill "$pid" 2>/dev/null; echo "### ERROR: vrnsim did not start: $(cat "$work/$name.log")" >&2; exit 1; }
  while read -r -a cmd; do
    "${cmd[@]}" > "$work/$name.out" 2>&1 || echo "$name: ${cmd[*]} exited $?" >&2
  done
  sleep 6  # a late answer still to come
  kill "$pid"
  wait "$pid" || true
  echo "$name: $(tail -n 1 "$work/$name.log")"
}

make_clean() {
  printf '%s\n' "$prog 127.0.0.1 3011 2 $work/image.dat" "$stat 127.0.0.1 3011" | run clean
}

# Dropped and late (past the 4 s wait) acknowledges; the trace tells which.
make_faults() {
  echo "$prog 127.0.0.1 3011 2 $work/image.dat" |
    run faults --trace --seed 4 --faults-after 20 --drop-ack 0.03 --delay-ack 0.03:4500 --fault-limit 3
  cp "$work/faults.log" "$out/faults.trace"
}

# Duplicated and split acknowledges, and answers from another port.
make_wire() {
  echo "$prog 127.0.0.1 3011 2 $work/image.dat" |
    run wire --trace --seed 7 --faults-after 20 --dup-ack 0.04 --split-ack 0.04 --other-port 0.04 --fault-limit 4
  cp "$work/wire.log" "$out/wire.trace"
}

make_intel16() {
  echo "$prog 127.0.0.1 3011 2 $work/image.dat" | run intel16 --chip intel:0x18:16
}

make_library() {
  echo "$calls 127.0.0.1 3011" | run library
  cat "$work/library.out"
}

for name in "${names[@]}"; do "make_$name"; done
ls -l "$out"
