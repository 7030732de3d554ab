#!/usr/bin/env bash
# The main job against the bundled simulator: install the Debian packages
# the native build needs when missing (scripts/packages.sh), build, start
# vrnsim with a fresh flash file, write examples/netcfg.dat into sector 2
# with vrnprog, print the module with vrnstat, stop the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
vrn_install_packages "the demo" native
port="${VRN_DEMO_PORT:-3011}"

cmake --preset default >/dev/null
cmake --build --preset default --target vrnprog vrnstat vrnsim >/dev/null

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

build/default/sim/vrnsim --port "$port" --flash "$work/flash.bin" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q "listening" "$work/sim.log" 2>/dev/null && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then cat "$work/sim.log" >&2; exit 1; fi
  sleep 0.1
done

status=0
echo "\$ vrnprog 127.0.0.1 $port 2 examples/netcfg.dat"
build/default/tools/vrnprog 127.0.0.1 "$port" 2 examples/netcfg.dat </dev/null || status=$?
echo "(exit status $status)"
echo
echo "\$ vrnstat 127.0.0.1 $port"
build/default/tools/vrnstat 127.0.0.1 "$port" </dev/null || status=$?
echo "(exit status $status)"
exit "$status"
