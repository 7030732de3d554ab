#!/usr/bin/env bash
# The Windows build, proven under Wine:
#  1. cross-compile everything with mingw-w64 (build/mingw) and check that the
#     programs need no DLL beyond those every Windows has;
#  2. run the test programs under Wine (ctest, two at a time);
#  3. cross run: vrnprog.exe, vrnstat.exe, vrndump.exe, vrnrec.exe and
#     vrnscan.exe under Wine against the Linux vrnsim on loopback must print
#     exactly what the Linux programs print (apart from the "\r\n" line ends
#     of the Windows C runtime, see below, and vrnscan's measured round
#     trips) and end with the same exit status.
# Needs the native build's programs and vrnsim (built here if missing).
#
#   bash scripts/windows-tests.sh --installed LINUX_BIN WINDOWS_BIN
#
# checks installed programs instead, with steps 1 (the DLLs only) and 3:
# the Linux programs and vrnsim from the folder LINUX_BIN, the .exe files
# from WINDOWS_BIN (scripts/package-tests.sh: the .deb's and the zip's).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/sim.sh

WINE="${VRN_WINE:-/usr/lib/wine/wine64}"
WINESERVER="$(dirname "$WINE")/wineserver64"
[ -x "$WINESERVER" ] || WINESERVER="$(dirname "$WINE")/wineserver"
export WINEDEBUG=-all
# A prefix of our own inside the build tree: a fresh build gets a fresh one.
export WINEPREFIX="$root/build/mingw/wineprefix"

installed=0
linux_tools=build/default/tools linux_sim=build/default/sim
windows_tools=build/mingw/tools windows_sim=build/mingw/sim
if [ "${1:-}" = --installed ]; then
  [ $# = 3 ] || { echo "### ERROR: usage: windows-tests.sh --installed LINUX_BIN WINDOWS_BIN" >&2; exit 2; }
  installed=1
  linux_tools="$2" linux_sim="$2" windows_tools="$3" windows_sim="$3"
fi

t_start=$SECONDS
phase() { echo "== $1 ($((SECONDS - t_start)) s)"; }

work="$(mktemp -d)"
cleanup() {
  vrn_stop_sims "$work"
  # Ends the Wine processes of this prefix only (and its server).
  [ -d "$WINEPREFIX" ] && "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$installed" = 0 ]; then
  phase "Windows build (mingw-w64)"
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw
fi

phase "Windows programs link nothing but system DLLs"
for exe in "$windows_tools/vrnprog.exe" "$windows_tools/vrnstat.exe" "$windows_tools/vrndump.exe" \
           "$windows_tools/vrnrec.exe" "$windows_tools/vrnscan.exe" "$windows_sim/vrnsim.exe"; do
  dlls="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)"
  for d in $dlls; do
    case "$d" in
      kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ntdll.dll) ;;
      *) echo "### ERROR: $exe needs $d; the programs must be linked statically" >&2; exit 1 ;;
    esac
  done
done

if [ "$installed" = 0 ]; then
  phase "unit tests under Wine"
  # The first of them (wine_start) starts Wine, with scripts/wine-start.sh.
  ctest --preset mingw

  phase "native programs for the cross run"
  cmake --preset default >/dev/null
  cmake --build --preset default --target vrnprog vrnstat vrndump vrnrec vrnscan vrnsim >/dev/null
fi

phase "cross run: Windows programs under Wine against the Linux vrnsim"
bash scripts/wine-start.sh "$WINE"
native_prog="$linux_tools/vrnprog"
native_stat="$linux_tools/vrnstat"
native_dump="$linux_tools/vrndump"
native_rec="$linux_tools/vrnrec"
native_scan="$linux_tools/vrnscan"
sim="$linux_sim/vrnsim"
win_prog="$windows_tools/vrnprog.exe"
win_stat="$windows_tools/vrnstat.exe"
win_dump="$windows_tools/vrndump.exe"
win_rec="$windows_tools/vrnrec.exe"
win_scan="$windows_tools/vrnscan.exe"

# Each case: a name, the program (prog, stat, dump, rec or scan), which simulator
# (the shared clean one, a faulty one, or none), then the arguments; @PORT@
# is replaced by that simulator's port, @OUT@ by a directory of the side's
# own for the files the programs write. Both sides run the same list
# against simulators of their own, in parallel.
cases=(
  "stat-usage|stat|none|"
  "prog-usage|prog|none|"
  "dump-usage|dump|none|"
  "rec-usage|rec|none|"
  "prog-missing-file|prog|clean|127.0.0.1 @PORT@ 2 $work/no-such-file.dat"
  "prog-netcfg|prog|clean|127.0.0.1 @PORT@ 2 examples/netcfg.dat"
  "stat-after-write|stat|clean|127.0.0.1 @PORT@"
  "dump-netcfg|dump|clean|127.0.0.1 @PORT@ 2 152 @OUT@/saved.dat"
  "rec-show-dump|rec|none|show @OUT@/saved.dat"
  "rec-change-ip|rec|none|netcfg --from @OUT@/saved.dat --ip 10.1.2.3 -o @OUT@/changed.dat"
  "rec-show-changed|rec|none|show @OUT@/changed.dat"
  "prog-changed|prog|clean|127.0.0.1 @PORT@ 2 @OUT@/changed.dat"
  "prog-changed-only-same|prog|clean|--changed-only 127.0.0.1 @PORT@ 2 @OUT@/changed.dat"
  "prog-changed-only-back|prog|clean|--changed-only 127.0.0.1 @PORT@ 2 @OUT@/saved.dat"
  "prog-skip-erased|prog|clean|--skip-erased 127.0.0.1 @PORT@ 2 @OUT@/changed.dat"
  "prog-help|prog|none|--help"
  "stat-after-change|stat|clean|127.0.0.1 @PORT@"
  "prog-backup|prog|clean|--backup @OUT@/backup.dat 127.0.0.1 @PORT@ 2 examples/netcfg.dat"
  "rec-show-backup|rec|none|show --as netcfg @OUT@/backup.dat"
  "prog-backup-is-data|prog|none|--backup examples/netcfg.dat 127.0.0.1 3011 2 examples/netcfg.dat"
  "dump-sector1-152|dump|clean|127.0.0.1 @PORT@ 1 152 @OUT@/sector1.dat"
  "rec-dump-of-sector1|rec|none|netcfg --from @OUT@/sector1.dat --ip 10.1.2.4 -o @OUT@/no.dat"
  "rec-sig-zero|rec|none|netcfg --from examples/netcfg.dat --sig 0 -o @OUT@/nosig.dat"
  "rec-no-signature|rec|none|netcfg --from @OUT@/nosig.dat -o @OUT@/no.dat"
  "rec-multicast-gate|rec|none|netcfg --from examples/netcfg.dat --gate 224.0.0.1 -o @OUT@/no.dat"
  "rec-port-65533|rec|none|netcfg --from examples/netcfg.dat --port 65533 -o @OUT@/no.dat"
  "stat-json|stat|clean|--json 127.0.0.1 @PORT@"
  # Under Wine a socket bound to 127.0.0.2 sends from 127.0.0.1, so a
  # simulator there would answer from the wrong address: the scans of
  # several loopback addresses with a module on each run in test_vrnscan on
  # Linux only. Here the one module is on 127.0.0.1, the range's other
  # addresses are silent.
  "scan-usage|scan|none|"
  "scan-table|scan|clean|--port @PORT@ 127.0.0.1"
  "scan-info-json|scan|clean|--info --json --port @PORT@ 127.0.0.1"
  "scan-range-csv|scan|clean|--csv --info --port @PORT@ 127.0.0.1-3"
  "scan-nobody-there|scan|silent|--port @PORT@ 127.0.0.1"
  "scan-too-large|scan|none|10.0.0.0/8"
  "rec-icr-stdout|rec|none|icr --from examples/icr.dat --serial 77 --date 2024-02-29"
  "rec-bad-address|rec|none|netcfg --from examples/netcfg.dat --ip 10.1.2"
  "rec-wrong-size|rec|none|show --as icr examples/netcfg.dat"
  "dump-bad-count|dump|clean|127.0.0.1 @PORT@ 2 65537 @OUT@/no.dat"
  "dump-beyond-chip|dump|clean|127.0.0.1 @PORT@ 64 152 @OUT@/no.dat"
  "prog-faulty-wire|prog|faulty|127.0.0.1 @PORT@ 2 examples/netcfg.dat"
  "stat-faulty-wire|stat|faulty|127.0.0.1 @PORT@"
  "dump-faulty-wire|dump|faulty|127.0.0.1 @PORT@ 1 164 @OUT@/icr.dat"
  "stat-nobody-there|stat|silent|127.0.0.1 @PORT@"
  "prog-wait-auto|prog|clean|--wait auto 127.0.0.1 @PORT@ 2 examples/netcfg.dat"
  "stat-wait-auto-faulty-wire|stat|faulty|--wait auto 127.0.0.1 @PORT@"
  "dump-wait-fixed|dump|clean|--wait 500 127.0.0.1 @PORT@ 2 152 @OUT@/saved-again.dat"
  "prog-bad-wait|prog|none|--wait 0 127.0.0.1 3011 2 examples/netcfg.dat"
  "stat-help|stat|none|--help"
  "dump-nobody-there|dump|silent|127.0.0.1 @PORT@ 2 152 @OUT@/no.dat"
)
# Faults whose effect does not depend on timing: the same requests meet the
# same faults on both sides. (A duplicated acknowledge does: whether it is
# there before the next request is sent decides whether it is drained.)
faults=(--seed 7 --split-ack 0.5 --other-port 0.3 --corrupt-magic 0.05)

run_side() {
  local side="$1" prog stat dump rec scan clean faulty silent
  local out="$work/$side"
  local -a run=()
  if [ "$side" = linux ]; then
    prog="$native_prog"; stat="$native_stat"; dump="$native_dump"; rec="$native_rec"; scan="$native_scan"
  else
    prog="$win_prog"; stat="$win_stat"; dump="$win_dump"; rec="$win_rec"; scan="$win_scan"; run=("$WINE")
  fi
  mkdir -p "$out"
  vrn_start_sim "$sim" "$work" "$side-clean" || return 1
  clean="$sim_port"
  vrn_start_sim "$sim" "$work" "$side-faulty" "${faults[@]}" || return 1
  faulty="$sim_port"
  silent=$((clean + 5))  # nobody's (scripts/sim.sh)
  for c in "${cases[@]}"; do
    IFS='|' read -r name which simkind args <<<"$c"
    local exe port=""
    case "$which" in
      prog) exe="$prog" ;; stat) exe="$stat" ;; dump) exe="$dump" ;; rec) exe="$rec" ;; scan) exe="$scan" ;;
    esac
    case "$simkind" in clean) port="$clean" ;; faulty) port="$faulty" ;; silent) port="$silent" ;; esac
    args="${args//@PORT@/$port}"
    args="${args//@OUT@/$out}"
    local status=0
    # shellcheck disable=SC2086  # the arguments are words on purpose
    "${run[@]}" "$exe" $args </dev/null >"$work/$side-$name.out" 2>"$work/$side-$name.err" || status=$?
    echo "$status" >"$work/$side-$name.status"
    # The two sides use different ports: make the outputs comparable.
    [ -n "$port" ] && sed -i "s/\b$port\b/@PORT@/g" "$work/$side-$name.out"
    sed -i "s|$out|@OUT@|g" "$work/$side-$name.out"
    # A round trip is measured, not computed: the table's, the JSON's and
    # the CSV's, and the table's alignment that follows from its width.
    if [ "$which" = scan ]; then
      sed -i -E 's/[0-9]+\.[0-9]+ ms/@RTT@/; s/("rtt_ms": )[0-9.e+-]+/\1@RTT@/; s/^([0-9.]+,[^,]*,(true|false)),[0-9.e+-]+/\1,@RTT@/; /^[^ ]/s/  +/  /g' \
        "$work/$side-$name.out"
    fi
  done
}

run_side linux >"$work/linux.log" 2>&1 &
linux_pid=$!
run_side windows >"$work/windows.log" 2>&1 || { cat "$work/windows.log" >&2; exit 1; }
wait "$linux_pid" || { cat "$work/linux.log" >&2; exit 1; }

# The Windows C runtime writes standard output in text mode, "\n" as
# "\r\n", as every Windows console program does; that is kept. The check
# is exact all the same: no "\r" on the Linux side, every line of the
# Windows side ends in "\r\n", and with those "\r" taken out both agree.
failed=0
for c in "${cases[@]}"; do
  name="${c%%|*}"
  lin="$work/linux-$name.out" win="$work/windows-$name.out"
  ls_="$(cat "$work/linux-$name.status")" ws_="$(cat "$work/windows-$name.status")"
  problem=""
  if [ "$ls_" != "$ws_" ]; then problem="exit status $ls_ on Linux, $ws_ under Wine"; fi
  if grep -q $'\r' "$lin"; then problem="${problem:+$problem; }Linux output has a carriage return"; fi
  lf=$(tr -cd '\n' <"$win" | wc -c)
  crlf=$(grep -c $'\r$' "$win" || true)
  cr=$(tr -cd '\r' <"$win" | wc -c)
  if [ "$lf" != "$crlf" ] || [ "$cr" != "$lf" ]; then
    problem="${problem:+$problem; }Windows output: $lf line ends, $crlf of them \\r\\n, $cr \\r in all"
  fi
  if ! tr -d '\r' <"$win" | cmp -s - "$lin"; then
    problem="${problem:+$problem; }standard output differs"
  fi
  if [ -n "$problem" ]; then
    failed=1
    echo "FAIL $name: $problem"
    tr -d '\r' <"$win" | diff -u --label linux "$lin" --label windows - | head -40 || true
    echo "--- stderr under Wine:"; head -20 "$work/windows-$name.err"
  else
    printf 'ok   %-20s exit %3s, %s lines\n' "$name" "$ls_" "$lf"
  fi
done
if [ "$failed" != 0 ]; then
  echo "### ERROR: the Windows programs under Wine do not behave like the Linux programs" >&2
  exit 1
fi
phase "Windows suite passed"
