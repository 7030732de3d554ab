# Two modules from one process: whatever the order of opens and failed
# opens, and whatever descriptors the system hands out meanwhile, a Module
# reaches only its own module.
import contextlib

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
