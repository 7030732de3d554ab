# Starting and stopping vrnsim from the scripts; sourced by
# scripts/windows-tests.sh and scripts/package-tests.sh.
#
# The scripts' simulators take base ports in 20000-29990, multiples of 10,
# and the four ports from there, so that base+5 is nobody's (a port where
# nobody listens). The test programs take theirs in 30000-32699 and 10000-19999
# (tests/support/port_lease.cpp), so a simulator that a test kills cannot
# leave its ports to one started here, nor the other way round.

# vrn_start_sim VRNSIM DIR TAG [OPTION...]: starts VRNSIM with a fresh
# flash file DIR/flash-TAG.bin, its log in DIR/sim-TAG.log, on a free base
# (tried again when taken); sets sim_port and adds the pid to DIR/sim.pids
# (the callers start simulators from subshells of their own).
vrn_start_sim() {
  local sim="$1" dir="$2" tag="$3"
  shift 3
  local port pid log="$dir/sim-$tag.log"
  for _ in $(seq 1 30); do
    port=$((20000 + (RANDOM % 1000) * 10))
    rm -f "$dir/flash-$tag.bin"
    "$sim" --port "$port" --flash "$dir/flash-$tag.bin" "$@" </dev/null >/dev/null 2>"$log" &
    pid=$!
    echo "$pid" >>"$dir/sim.pids"
    for _ in $(seq 1 100); do
      if grep -q "listening" "$log" 2>/dev/null; then
        sim_port="$port"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "### ERROR: vrnsim did not start: $(cat "$log")" >&2
  return 1
}

# vrn_stop_sims DIR: stops every simulator started with DIR.
vrn_stop_sims() {
  local p
  if [ -f "$1/sim.pids" ]; then
    while read -r p; do kill -TERM "$p" 2>/dev/null || true; done <"$1/sim.pids"
    rm -f "$1/sim.pids"
  fi
}
