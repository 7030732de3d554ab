# Fixtures and helpers of the vrn package's tests: vrnsim children, the
# programs, their error lines.
import os
import re
import subprocess

import pytest

from simulator import Sim

VRNPROG = os.environ.get("VRNPROG_PATH", "build/default/tools/vrnprog")
VRNSTAT = os.environ.get("VRNSTAT_PATH", "build/default/tools/vrnstat")
VRNSCAN = os.environ.get("VRNSCAN_PATH", "build/default/tools/vrnscan")
EXAMPLES = os.environ.get("VRN_EXAMPLES_DIR", "examples")
SECTOR_BYTES = 0x10000  # vrnsim's default chip, amd:0xA3:8


@pytest.fixture
def sim_factory(tmp_path):
    """Starts vrnsim children with the options given (address= and port=
    where they listen); all stopped at the end."""
    sims = []

    def start(*extra, **where):
        sims.append(Sim(tmp_path, *extra, **where))
        return sims[-1]

    yield start
    for s in sims:
        s.stop()


@pytest.fixture
def sim(sim_factory):
    return sim_factory()


def run(program, *args, timeout=120):
    return subprocess.run([program, *map(str, args)], capture_output=True, text=True, errors="surrogateescape",
                          timeout=timeout)


def error_line(output):
    """The text of a program's "### ERROR: " line."""
    return re.search(r"### ERROR: (.*)", output).group(1)
