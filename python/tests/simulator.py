# vrnsim as a child process on loopback at a base port picked free, and
# the datagrams of its captures: for the vrn package's tests and benchmark.
import os
import random
import re
import signal
import socket
import struct
import subprocess
import time

VRNSIM = os.environ.get("VRNSIM_PATH", "build/default/sim/vrnsim")


def free_base(addresses=("127.0.0.1",)):
    """A base of four consecutive UDP ports free on each loopback address,
    picked as the C++ tests pick theirs: at random among 20000, 20010, ...
    29990, each port bound once to see that it is free."""
    while True:
        base = 20000 + 10 * random.randrange(1000)
        socks = []
        try:
            for address in addresses:
                for port in range(base, base + 4):
                    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    socks.append(s)
                    s.bind((address, port))
            return base
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()


class Sim:
    """A vrnsim child with the options given, its standard error in a file
    in `directory` (a pathlib.Path); stop() ends it and returns that text.
    It listens on `address` at `port`, or at a base picked free there."""

    def __init__(self, directory, *extra, address="127.0.0.1", port=None):
        self.log_path = directory / f"vrnsim-{time.monotonic_ns()}.log"
        self.address = address
        # A port picked free can still be taken before vrnsim binds it.
        for _ in range(5 if port is None else 1):
            self.port = free_base((address,)) if port is None else port
            self.log = open(self.log_path, "w+")
            self.proc = subprocess.Popen([VRNSIM, "--address", address, "--port", str(self.port), *extra],
                                         stderr=self.log)
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and self.proc.poll() is None and "listening on" not in self.text():
                time.sleep(0.01)
            if "listening on" in self.text():
                return
            self.stop()
            if "in use" not in self.text() and "cannot be bound" not in self.text():
                break
        raise RuntimeError("vrnsim did not start: " + self.text())

    def text(self):
        return self.log_path.read_text()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=60)
        self.log.close()
        return self.text()

    def datagrams(self):
        """Command datagrams the module saw, from the summary printed at its stop."""
        return int(re.search(r"command datagrams (\d+)", self.stop()).group(1))


def pcap_payloads(path, base):
    """The UDP payloads of a vrnsim capture, in order, each with whether it
    went to the module at base: [(to_module, payload), ...]."""
    data = path.read_bytes()
    at, out = 24, []
    while at < len(data):
        length = struct.unpack_from("<I", data, at + 8)[0]
        ip = data[at + 16 + 14 : at + 16 + length]  # past the Ethernet header
        udp = ip[(ip[0] & 0x0F) * 4 :]
        dst = struct.unpack_from(">H", udp, 2)[0]
        out.append((base <= dst <= base + 3, udp[8:]))
        at += 16 + length
    return out
