# vrn.Module against vrnsim on loopback: the README's NetCfg change, the
# exchanges next to the programs', refusals and errors, progress and Ctrl-C.
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import vrn
from conftest import EXAMPLES, SECTOR_BYTES, VRNPROG, VRNSCAN, VRNSTAT, error_line, run
from simulator import free_base, pcap_payloads

HOST = "127.0.0.1"


def test_netcfg_change_as_the_readme_does(sim, tmp_path):
    example = vrn.load_data_file(f"{EXAMPLES}/netcfg.dat")
    assert run(VRNPROG, HOST, sim.port, 2, f"{EXAMPLES}/netcfg.dat").returncode == 0
    script = subprocess.run([sys.executable, os.path.abspath(f"{EXAMPLES}/netcfg_change.py"), HOST, str(sim.port),
                             "192.168.0.151"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    changed = example[:7] + b"\x97" + example[8:]  # the last byte of the IP address
    assert script.returncode == 0, script.stderr
    assert script.stdout == 2 * (str(vrn.NetCfg.from_bytes(changed)) + "\n")
    with vrn.Module(HOST, sim.port) as m:
        assert m.netcfg().ip == "192.168.0.151" and m.read(2, 0, 160) == changed + b"\xff" * 8
    # The saved file puts the old settings back, byte for byte, with vrnprog.
    assert run(VRNPROG, HOST, sim.port, 2, tmp_path / "saved.dat").returncode == 0
    with vrn.Module(HOST, sim.port) as m:
        assert m.netcfg().to_bytes() == example


def test_fleet_example_changes_every_module_found(sim_factory):
    block = f"127.0.{random.randrange(1, 255)}"
    port = free_base([f"{block}.{k}" for k in (2, 3, 4)])
    sims = [sim_factory("--chip", chip, address=f"{block}.{k}", port=port)
            for k, chip in [(2, "amd:0xA3:8"), (3, "intel:0x18:16"), (4, "amd:0xA3:8")]]
    example = vrn.load_data_file(f"{EXAMPLES}/netcfg.dat")
    for s in sims[:2]:  # the third keeps its erased record
        with vrn.Module(s.address, port) as m:
            m.write(2, example)
    script = subprocess.run([sys.executable, f"{EXAMPLES}/fleet_netcfg.py", "--port", str(port), "--vrnscan", VRNSCAN,
                             f"{block}.1-5", "comment=rack 4"], capture_output=True, text=True, timeout=120)
    old = vrn.NetCfg.from_bytes(example).comment
    with pytest.raises(ValueError) as refused:  # an erased record, as vrnrec refuses it
        vrn.NetCfg.from_bytes(b"\xff" * vrn.NetCfg.SIZE).replace(comment="rack 4")
    assert script.stdout.splitlines() == [
        f"{block}.2  comment: {old!r} -> 'rack 4'",
        f"{block}.3  comment: {old!r} -> 'rack 4'",
        f"### ERROR: {block}.4: {refused.value}",
        "Changed 2 of 3 modules"], script.stderr
    assert script.returncode == 1
    for s in sims[:2]:
        with vrn.Module(s.address, port) as m:
            assert m.netcfg().to_bytes() == vrn.NetCfg.from_bytes(example).replace(comment="rack 4").to_bytes()


def test_an_erased_netcfg_reads_as_vrnstat_prints_it(sim):
    printed = subprocess.run([VRNSTAT, HOST, str(sim.port)], capture_output=True, timeout=120).stdout
    with vrn.Module(HOST, sim.port) as m:
        cfg, icr = m.netcfg(), m.icr()
    assert cfg.to_bytes() == b"\xff" * vrn.NetCfg.SIZE and cfg.comment == "\ufffd" * 128
    printed = printed.decode("utf-8", "replace")
    assert str(cfg) in printed and str(icr) in printed


def vrnstat_in_python(m):
    m.read_registers(0, 0, 256)
    m.read_registers(2, 0x80000000, 256, step=2)
    return m.flash, m.icr(), m.netcfg()


@pytest.mark.parametrize("program, args, probe, script", [
    (VRNPROG, [2, f"{EXAMPLES}/netcfg.dat"], False,
     lambda m: m.write(2, vrn.load_data_file(f"{EXAMPLES}/netcfg.dat"))),
    (VRNSTAT, [], True, vrnstat_in_python),
], ids=["vrnprog", "vrnstat"])
def test_the_same_work_sends_the_programs_datagrams(sim_factory, tmp_path, program, args, probe, script):
    captures = []
    for side in ("program", "python"):
        pcap = tmp_path / f"{side}.pcap"
        sim = sim_factory("--pcap", str(pcap))
        if side == "program":
            assert run(program, HOST, sim.port, *args).returncode == 0
        else:
            with vrn.Module(HOST, sim.port, probe=probe) as m:
                script(m)
        sim.stop()
        captures.append(pcap_payloads(pcap, sim.port))
    assert len(captures[0]) > 20 and captures[1] == captures[0]


@pytest.mark.parametrize("sim_args, sector", [
    (["--dead-chip"], 2),  # no geometry: nothing erased
    ([], 64),  # beyond the last sector
    (["--stuck-cell", str(2 * SECTOR_BYTES + 5)], 2),  # a cell that never takes its byte
])
def test_a_failed_write_says_what_vrnprog_says(sim_factory, sim_args, sector):
    # A chip identified first in this process must not lend its geometry
    # to an unlisted one (the dead chip's).
    with vrn.Module(HOST, sim_factory().port) as m:
        assert m.flash.sector_count == 64
    sim = sim_factory(*sim_args)
    expected = error_line(run(VRNPROG, HOST, sim.port, sector, f"{EXAMPLES}/netcfg.dat").stdout)
    with vrn.Module(HOST, sim.port) as m, pytest.raises(vrn.VrnError) as raised:
        m.write(sector, vrn.load_data_file(f"{EXAMPLES}/netcfg.dat"))
    assert str(raised.value) == expected


def test_reads_in_flight_give_the_same_cells_for_the_same_datagrams(sim_factory):
    # A module 1 ms away, read one exchange at a time and eight at once.
    taken = []
    for in_flight in (1, 8):
        sim = sim_factory("--latency", "1000")
        with vrn.Module(HOST, sim.port, in_flight=in_flight) as m:
            cells = m.read(1, 0, 1024)
        taken.append((cells, sim.datagrams()))
    (one, one_n), (eight, eight_n) = taken
    assert one[:4] == b"ICR1" and eight == one
    assert eight_n == one_n > 1024


def test_bad_arguments_are_refused_before_anything_is_sent(sim):
    with vrn.Module(HOST, sim.port) as m:
        for call, error in [
            (lambda: m.read(-1, 0, 1), ValueError),
            (lambda: m.read(2, 0, 65537), ValueError),
            (lambda: m.read(2, 0, 1, progress=1), TypeError),
            (lambda: m.write(2, "text"), TypeError),
            (lambda: m.write(2, bytes(65537)), ValueError),
            (lambda: m.read_registers(5, 0, 1), ValueError),
            (lambda: m.write_registers(0, 0, [1]), ValueError),
            (lambda: m.write_registers(2, 0, [1 << 32]), ValueError),
            (lambda: m.bus_write(0, "text"), TypeError),
            (lambda: vrn.Module("192.168.0.0256", sim.port), ValueError),
            (lambda: vrn.Module(HOST, 70000), ValueError),
            (lambda: vrn.Module(HOST, sim.port, wait="fast"), ValueError),
            (lambda: vrn.Module(HOST, sim.port, wait=1.5), TypeError),
            (lambda: vrn.Module(HOST, sim.port, in_flight=0), ValueError),
            (lambda: vrn.Module(HOST, sim.port, in_flight=33), ValueError),
            (lambda: vrn.Module(HOST, sim.port, in_flight="8"), TypeError),
        ]:
            with pytest.raises(error):
                call()
    assert sim.datagrams() == 0


def test_a_module_opened_later_leaves_the_earlier_working(sim_factory):
    first, second = sim_factory(), sim_factory()
    a = vrn.Module(HOST, first.port, wait="auto")
    with vrn.Module(HOST, second.port, probe=True) as b:
        a.write_registers(32, 0, [0xA])
        b.write_registers(32, 0, [0xB])
        assert a.read_registers(32, 0, 1) == [0xA] and b.flash.sector_count == 64
        with pytest.raises(vrn.VrnError, match=f"Can't connect to {HOST}:{first.port + 4}: "):
            vrn.Module(HOST, first.port + 4, probe=True)  # nothing listens there
        assert a.read_registers(32, 0, 1) == [0xA] and b.read_registers(32, 0, 1) == [0xB]
    a.close()
    with pytest.raises(vrn.VrnError, match="is closed"):
        a.bus_read(0, 1)
    assert repr(a) == f"<vrn.Module {HOST}:{first.port} closed>"
    assert first.datagrams() == 3  # a's write and two reads


def test_registers_and_bus(sim):
    values = list(range(0x10000, 0x10000 + 300))  # more than a block of 240 words
    with vrn.Module(HOST, sim.port) as m:
        m.write_registers(32, 0x1000, values)
        assert m.read_registers(32, 0x1000, 300) == values
        # Space 1 advances the address by two per word, space 2 by one.
        m.write_registers(1, 0x2000, [7, 8, 9])
        assert m.read_registers(2, 0x2000, 3, step=2) == [7, 8, 9]
        m.write(2, b"\x11\x22\x33\x44\x55")
        # Cells 0 and 4 of sector 2 (8-bit chip: the bus address is twice the cell's).
        assert m.bus_read(2 * 2 * SECTOR_BYTES, 2) == b"\x11\x55"
        m.bus_write(0, [0xF0])  # a reset: taken, nothing changes
        assert m.read(2, 0, 5) == b"\x11\x22\x33\x44\x55"


@pytest.mark.parametrize("image, options, report", [
    (b"\x11\x22\x33", {}, (False, True, 3)),
    (b"\x11\xff\x33", {"skip_erased": True}, (False, True, 2)),
    (b"\x11\x22\x33", {"changed_only": True}, (True, False, 0)),
    (b"\x01\x22\x33", {"changed_only": True}, (False, False, 1)),  # programming clears the bit
    (b"\x13\x22\x33", {"changed_only": True}, (False, True, 3)),  # a bit to set: erased, 0xFF left out
])
def test_write_options_do_what_vrnprogs_do(sim, image, options, report):
    with vrn.Module(HOST, sim.port) as m:
        m.write(2, b"\x11\x22\x33")
        done = m.write(2, image, **options)
        assert (done.unchanged, done.erased, done.cells_programmed) == report
        assert m.read(2, 0, 4) == image + b"\xff"


def test_progress_is_reported_while_others_run(sim):
    image = bytes(range(256)) * 16
    calls, ticks, stop = [], [0], threading.Event()

    def count():  # runs only while the write leaves the GIL free
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    with vrn.Module(HOST, sim.port) as m:
        m.write(2, image, progress=lambda done, total: calls.append((done, total)))
        stop.set()
        counter.join()
        assert calls[-1] == (4096, 4096) and all(0 <= d <= t == 4096 for d, t in calls)
        assert any(0 < d < 4096 for d, _ in calls) and ticks[0] > 50
        reads = []
        assert m.read(2, 0, 4096, progress=lambda *a: reads.append(a)) == image and reads[-1] == (4096, 4096)


def last_bus_line(sim):
    return [line for line in sim.text().splitlines() if "<- +1" in line and "| chip " in line][-1]


def test_a_stopped_write_leaves_the_chip_in_read_mode(sim_factory):
    sim = sim_factory("--trace")
    # Ctrl-C, as a user gives it, once programming has begun.
    script = (f"import vrn\nm = vrn.Module('{HOST}', {sim.port})\n"
              "m.write(2, bytes(65536), progress=lambda done, total: print(done, flush=True))\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in child.stdout:
        if int(line) > 0:
            break
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=30)
    assert child.returncode != 0 and "KeyboardInterrupt" in err, err
    assert last_bus_line(sim).endswith("| chip read"), last_bus_line(sim)

    # An exception in the progress callback stops the write the same way
    # (here the refusal of a call into the module from its own callback),
    # and the next call runs as usual.
    with vrn.Module(HOST, sim.port) as m:
        def call_back_at_100(done, total):
            if done >= 100:
                m.read_registers(0, 0, 1)

        with pytest.raises(vrn.VrnError, match="cannot be used from a progress callback"):
            m.write(2, b"\x5a" * 65536, progress=call_back_at_100)
        assert last_bus_line(sim).endswith("| chip read"), last_bus_line(sim)
        assert m.read(2, 0, 100) == b"\x5a" * 100


def test_a_call_after_one_that_gave_up_works_once_the_link_does(sim_factory):
    # Clean for the identification and a first read; then half the answers
    # lost until the 66th loss, which spends the read's budget (more than 64
    # lost, more than one in four); one lost answer remains for the next call.
    sim = sim_factory("--seed", "3", "--faults-after", "40", "--drop-ack", "0.5", "--fault-limit", "66")
    with vrn.Module(HOST, sim.port, wait=20) as m:
        assert m.read(2, 0, 4) == b"\xff" * 4
        with pytest.raises(vrn.VrnError):
            m.read(2, 0, 2000)
        started = time.monotonic()
        assert m.read(2, 0, 4) == b"\xff" * 4
        assert time.monotonic() - started < 10


def test_sockets_held_after_trouble_are_let_go_while_idle(sim_factory):
    """A troubled read replaces the command socket after each lost answer and
    holds the old ones 10 s; a Module left idle lets them go all the same,
    while another is busy."""
    sim = sim_factory("--drop-ack", "0.1", "--seed", "7")
    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))
    # Another Module busy all the while, from a thread of its own.
    busy = vrn.Module(HOST, sim_factory().port)
    busy.read(2, 0, 16)
    stop = threading.Event()

    def keep_busy():
        while not stop.is_set():
            busy.read(2, 0, 1024)

    before = open_descriptors()
    m = vrn.Module(HOST, sim.port, wait="auto")
    m.read(2, 0, 256)
    held = open_descriptors() - before
    assert held > 8, "the lost answers replaced sockets"
    worker = threading.Thread(target=keep_busy)
    worker.start()
    time.sleep(12)
    after = open_descriptors() - before
    stop.set()
    worker.join()
    busy.close()
    assert after <= 8, "four sockets of the connection and a few of the library"
    m.close()
