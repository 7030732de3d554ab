# Many modules from one process: whatever the order of opens and failed
# opens, whatever descriptors the system hands out meanwhile, and whichever
# threads use them at once, a Module reaches only its own module.
import contextlib
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vrn

HOST = "127.0.0.1"
DATA = b"\xde\xad\xbe\xef"


@pytest.mark.parametrize("file_between", [True, False], ids=["file-between", "no-file"])
def test_a_failed_open_leaves_the_module_opened_before_it_working(sim_factory, tmp_path, file_between):
    a_sim = sim_factory()
    b_sim = sim_factory("--drop-request", "1", "--fault-limit", "2")  # the probe and its resend are lost
    with vrn.Module(HOST, a_sim.port) as a:
        assert a.flash.sector_count == 64
        with pytest.raises(vrn.VrnError, match=f"Can't connect to {HOST}:{b_sim.port}: "):
            vrn.Module(HOST, b_sim.port, probe=True)
        # A file takes the lowest free descriptor: one the failed open had.
        with open(tmp_path / "between", "w") if file_between else contextlib.nullcontext():
            a.write(2, DATA)  # raises on failure
            assert a.read(2, 0, 4) == DATA
    assert b_sim.datagrams() == 2
    with vrn.Module(HOST, a_sim.port) as again:
        assert again.read(2, 0, 4) == DATA


class Stop(Exception):
    pass


def test_modules_used_from_threads_at_once_reach_only_their_own(sim_factory):
    """Eight modules of two chips open at once, each written and read back
    from a thread of its own while the others run; one write stopped from
    its progress callback stops alone."""
    chips = [("amd:0xA3:8", 8), ("intel:0x18:16", 16)]
    sims = [sim_factory("--chip", chips[i % 2][0]) for i in range(8)]
    modules = [vrn.Module(HOST, s.port) for s in sims]  # every one opened before any is used
    start = threading.Barrier(len(modules))
    running = {}  # (module, round): when its write was seen part done, first and last
    failures = []

    def work(i, m):
        try:
            start.wait()
            assert m.flash.width == chips[i % 2][1]
            for round in range(2):
                data = random.Random(16 * i + round).randbytes(1024 + 128 * i)
                seen = running.setdefault((i, round), [])

                def progress(done, total):
                    if total != len(data):  # another run's counts
                        failures.append(f"module {i} was told of {done}/{total} cells")
                    if 0 < done < total:
                        seen.append(time.monotonic())
                    if i == 7 and round == 0 and done >= 100:
                        raise Stop()

                if i == 7 and round == 0:
                    try:
                        m.write(3, data, progress=progress)
                        failures.append("the write of module 7 went on past its stop")
                    except Stop:
                        pass
                    continue
                m.write(3, data, progress=progress)
                if m.read(3, 0, len(data)) != data:
                    failures.append(f"module {i} read back other data in round {round}")
        except Exception as e:  # the test's thread, not pytest's: carried over
            failures.append(f"module {i}: {e!r}")

    threads = [threading.Thread(target=work, args=(i, m)) for i, m in enumerate(modules)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    for m in modules:
        m.close()
    assert not failures
    # The writes ran at once: some module was part way through while another was.
    spans = [(i, s[0], s[-1]) for (i, _), s in running.items() if s]
    assert any(a != b and s0 < t1 and t0 < s1 for a, s0, s1 in spans for b, t0, t1 in spans)


def test_256_modules_open_at_once_under_the_default_descriptor_limit(sim_factory):
    sims = [sim_factory() for _ in range(4)]
    for k, s in enumerate(sims):
        with vrn.Module(HOST, s.port) as m:
            m.write(2, bytes([k]) * 16)
    script = textwrap.dedent(f"""
        import os, resource, sys
        import vrn
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
        ports = {[s.port for s in sims]}
        before = len(os.listdir("/proc/self/fd"))
        modules = []
        try:
            for i in range(256):
                modules.append(vrn.Module("{HOST}", ports[i % 4]))
        finally:
            print("opened", len(modules), "descriptors", len(os.listdir("/proc/self/fd")) - before, flush=True)
        for i, m in enumerate(modules):
            if m.read(2, 0, 16) != bytes([i % 4]) * 16:
                sys.exit(f"module {{i}} read another module's data")
        print("read", len(modules), "descriptors", len(os.listdir("/proc/self/fd")) - before)
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=240)
    assert child.returncode == 0, child.stdout + child.stderr
    assert child.stdout.splitlines()[-1].startswith("read 256 "), child.stdout
