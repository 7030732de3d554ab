#!/usr/bin/env python3
# Writes the same image into sector 2 of vrnsim with vrnprog and with the
# vrn Python package, side by side in one run, and compares their
# exchanges: the datagrams of one run of each (vrnsim's captures) must be
# the same, byte for byte, and the time per command datagram of the Python
# write within 10% of vrnprog's. The runs go in pairs, the order turning
# from pair to pair, and the goal is on the median of the pairs' ratios,
# so that a machine whose speed drifts moves both sides of a pair alike.
# Each run is a process of its own against a fresh vrnsim, whose summary
# counts the datagrams. vrnprog's time is its whole process; the Python
# script's is its open and write, as it measures them, and its whole
# process (the interpreter's start and end included) is shown beside it.
# The processor time (user and system) of each is shown too: on a busy
# machine it moves much less than the time does.
#
# Usage: /usr/bin/python3 bench/bench_python_write.py [build dir] [KiB] [pairs]
#        (defaults: build/default, 16, 7)
import os
import pathlib
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build/default").resolve()
KIB = int(sys.argv[2]) if len(sys.argv) > 2 else 16
PAIRS = int(sys.argv[3]) if len(sys.argv) > 3 else 7
GOAL = 1.10

os.environ.setdefault("VRNSIM_PATH", str(BUILD / "sim/vrnsim"))
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(BUILD / "python"), os.environ.get("PYTHONPATH")]))
sys.path[:0] = [str(ROOT / "python/tests"), str(BUILD / "python")]
import vrn  # noqa: E402
from simulator import Sim, pcap_payloads  # noqa: E402

# Prints the seconds and processor seconds of its open and write.
PYTHON_WRITE = """import sys, time, vrn
image = vrn.load_data_file(sys.argv[2])
start, cpu = time.perf_counter(), time.process_time()
vrn.Module("127.0.0.1", int(sys.argv[1])).write(2, image)
print(time.perf_counter() - start, time.process_time() - cpu)
"""


def writer(side, port, image):
    if side == "vrnprog":
        return [str(BUILD / "tools/vrnprog"), "127.0.0.1", str(port), "2", str(image)]
    return [sys.executable, "-c", PYTHON_WRITE, str(port), str(image)]


def processor_seconds():
    """User and system time of the children waited for so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def one_run(side, image, directory):
    """(seconds, processor seconds) of the writer, (the same) of its whole
    process, and the command datagrams vrnsim saw."""
    sim = Sim(directory)
    start, cpu = time.perf_counter(), processor_seconds()
    done = subprocess.run(writer(side, sim.port, image), stdout=subprocess.PIPE, text=True)
    whole = (time.perf_counter() - start, processor_seconds() - cpu)
    datagrams = sim.datagrams()
    if done.returncode != 0:
        sys.exit(f"{side} failed with status {done.returncode}")
    own = tuple(map(float, done.stdout.split())) if side == "python" else whole
    return own, whole, datagrams


def main():
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        image = directory / "image.dat"
        vrn.save_data_file(image, random.Random(25).randbytes(KIB * 1024))

        captures = {}
        for side in ("vrnprog", "python"):
            pcap = directory / f"{side}.pcap"
            sim = Sim(directory, "--pcap", str(pcap))
            subprocess.run(writer(side, sim.port, image), stdout=subprocess.DEVNULL, check=True)
            sim.stop()
            captures[side] = pcap_payloads(pcap, sim.port)
        same = captures["python"] == captures["vrnprog"]
        print(f"{KIB} KiB into sector 2: datagrams of vrnprog {len(captures['vrnprog'])}, of Python "
              f"{len(captures['python'])}, {'the same byte for byte' if same else 'DIFFERENT'}")

        # Microseconds per exchange: (time, processor time) of the writer, and of its whole process.
        us = {"vrnprog": [], "python": []}
        ratios = []
        for pair in range(PAIRS):
            for side in ("vrnprog", "python") if pair % 2 == 0 else ("python", "vrnprog"):
                own, whole, datagrams = one_run(side, image, directory)
                us[side].append([x / datagrams * 1e6 for x in own + whole])
                print(f"  pair {pair + 1:2} {side:8} {own[0]:7.3f} s  {datagrams} command datagrams  "
                      f"{us[side][-1][0]:6.2f} us each, processor {us[side][-1][1]:5.2f} us; whole process "
                      f"{us[side][-1][2]:6.2f} us, processor {us[side][-1][3]:5.2f} us")
            ratios.append([p / v for p, v in zip(us["python"][-1], us["vrnprog"][-1])])
        for k, what in enumerate(("time", "processor time", "whole process time", "whole process processor time")):
            median = {side: statistics.median(v[k] for v in runs) for side, runs in us.items()}
            pairs = [r[k] for r in ratios]
            print(f"{what} per exchange, median: vrnprog {median['vrnprog']:.2f} us, Python {median['python']:.2f} us;"
                  f" median ratio of the pairs {statistics.median(pairs):.3f}, from {min(pairs):.3f} to "
                  f"{max(pairs):.3f}")
        ratio = statistics.median(r[0] for r in ratios)
        print(f"goal: datagrams the same, time ratio <= {GOAL}: {'met' if same and ratio <= GOAL else 'NOT met'}")
        return 0 if same and ratio <= GOAL else 1

if __name__ == "__main__":
    sys.exit(main())
