# The record classes and the data files, without a module.
import dataclasses
import random

import pytest

import vrn

# A NetCfg record written out by hand: "NCFG", 192.168.0.150, 255.255.255.0,
# 192.168.0.1, port 3011, timeout 1000, then the comment "lab", its NUL and
# bytes that an older comment left behind.
NETCFG = bytes.fromhex("4E434647 C0A80096 FFFFFF00 C0A80001 00000BC3 000003E8") + b"lab\0" + b"\xaa" * 124
# An ICR record: "ICR0", size 164, serial 1234, type 1, version 0x00010002,
# device 0x8042, 17 March 2011, and a comment that fills its field without a NUL.
ICR = bytes.fromhex("49435230 000000A4 000004D2 00000001 00010002 00008042 00000011 00000003 000007DB") + b"x" * 128


def test_fields_are_read_from_the_bytes_and_written_back_unchanged():
    cfg = vrn.NetCfg.from_bytes(NETCFG)
    assert (cfg.sig, cfg.ip, cfg.mask, cfg.gate, cfg.port, cfg.timeout, cfg.comment) == (
        0x4E434647, "192.168.0.150", "255.255.255.0", "192.168.0.1", 3011, 1000, "lab")
    icr = vrn.ICR.from_bytes(ICR)
    assert (icr.serial, icr.devid, icr.day, icr.mon, icr.year, icr.comment) == (1234, 0x8042, 17, 3, 2011, "x" * 128)
    assert cfg.to_bytes() == NETCFG and icr.to_bytes() == ICR
    assert str(cfg) == ("NetCfg VRN info:\nSIG       - \t0x4E434647\nIP        - \t192.168.0.150\n"
                        "MASK      - \t255.255.255.0\nGATE      - \t192.168.0.1\nPORT      - \t3011\n"
                        "TIMEOUT   - \t1000\nCOMMENT   - \tlab\n\n")


def test_any_flash_contents_come_back_byte_for_byte():
    rng = random.Random(25)
    for cls in (vrn.NetCfg, vrn.ICR):
        for fill in [b"\xff" * cls.SIZE, bytes(cls.SIZE)] + [rng.randbytes(cls.SIZE) for _ in range(200)]:
            assert cls.from_bytes(fill).to_bytes() == fill


@pytest.mark.parametrize("cls, data, comment", [
    (vrn.NetCfg, b"\xff" * vrn.NetCfg.SIZE, "\ufffd" * 128),  # erased
    (vrn.ICR, b"\xff" * vrn.ICR.SIZE, "\ufffd" * 128),
    (vrn.NetCfg, NETCFG[:24] + b"ok\xc3(\xe2\x82x\0" + b"\xfe" * 120, "ok\ufffd(\ufffdx"),  # garbled
    (vrn.ICR, ICR[:36] + "é".encode() + b"\x80\xbf" + b"z" * 124, "é\ufffd\ufffd" + "z" * 124),
], ids=["netcfg-erased", "icr-erased", "netcfg-garbled", "icr-garbled"])
def test_a_comment_that_is_not_utf8_reads_as_vrnstat_json_shows_it(cls, data, comment):
    record = cls.from_bytes(data)
    assert record.comment == comment
    assert record._comment_raw == data[-128:]
    text = str(record)
    assert text.endswith(f"COMMENT   - \t{comment}\n\n") and repr(record).endswith(f"comment={comment!r})")
    assert record.to_bytes() == data  # left as it was, the comment keeps its bytes


def test_a_change_touches_its_field_only():
    cfg = vrn.NetCfg.from_bytes(NETCFG)
    assert dataclasses.replace(cfg, ip="192.168.0.151").to_bytes() == NETCFG[:7] + b"\x97" + NETCFG[8:]
    # A new comment fills the rest of its field with NUL bytes.
    assert cfg.replace(comment="bench 2").to_bytes() == NETCFG[:24] + b"bench 2" + bytes(121)
    icr = vrn.ICR.from_bytes(ICR).replace(serial=5)
    assert icr.to_bytes() == ICR[:8] + bytes.fromhex("00000005") + ICR[12:]
    assert vrn.NetCfg(**{f.name: getattr(cfg, f.name) for f in dataclasses.fields(cfg)}) == cfg


@pytest.mark.parametrize("cls, change, error, text", [
    (vrn.NetCfg, {"ip": "192.168.0.256"}, ValueError, "Bad ip 192.168.0.256 (dotted IPv4 address expected)"),
    (vrn.NetCfg, {"mask": "255.0.255.0"}, ValueError, "Bad mask 255.0.255.0 (a network mask such as 255.255.255.0 expected)"),
    (vrn.NetCfg, {"port": 65533}, ValueError,
     "Bad port 65533 (1..65532 expected: the module takes the port and the three above it)"),
    (vrn.NetCfg, {"gate": "224.0.0.1"}, ValueError,
     "Bad gate 224.0.0.1 (the address of one host expected, not 0.0.0.0, a broadcast or a multicast address)"),
    (vrn.NetCfg, {"mask": "255.255.255.255"}, ValueError,
     "Bad mask 255.255.255.255 (a network mask such as 255.255.255.0 expected)"),
    (vrn.NetCfg, {"ip": "192.168.0.255"}, ValueError,
     "IP 192.168.0.255 is the broadcast address of its subnet (MASK 255.255.255.0)"),
    (vrn.NetCfg, {"comment": "lab\n2"}, ValueError, "comment holds a control character (0x0A at character 4)"),
    (vrn.NetCfg, {"comment": "c" * 128}, ValueError, "comment is 128 characters long; the field holds 127 and a NUL"),
    (vrn.NetCfg, {"sig": 1 << 32}, ValueError, "sig 4294967296 does not fit 32 bits (0..0xFFFFFFFF expected)"),
    (vrn.NetCfg, {"port": "3011"}, TypeError, "port must be an int"),
    (vrn.ICR, {"day": 30, "mon": 2}, ValueError, "Bad date 2011-02-30 (a date YYYY-MM-DD expected)"),
    (vrn.ICR, {"size": -1}, ValueError, "Bad size -1 (0..2147483647 expected)"),
])
def test_values_vrnrec_refuses_are_refused(cls, change, error, text):
    record = cls.from_bytes(NETCFG if cls is vrn.NetCfg else ICR)
    with pytest.raises(error) as raised:
        dataclasses.replace(record, **change)
    assert str(raised.value) == text


def test_a_gateway_outside_the_subnet_is_taken_with_vrnrecs_warning():
    cfg = vrn.NetCfg.from_bytes(NETCFG)
    with pytest.warns(UserWarning) as warned:
        moved = cfg.replace(gate="10.0.0.1")
    assert [str(w.message) for w in warned] == [
        "GATE 10.0.0.1 is outside the subnet of IP 192.168.0.150 (MASK 255.255.255.0)"]
    assert moved.to_bytes() == NETCFG[:12] + bytes([10, 0, 0, 1]) + NETCFG[16:]


def test_data_files(tmp_path, capfd):
    path = tmp_path / "netcfg.dat"
    vrn.save_data_file(path, NETCFG, comment="saved by a test")
    assert vrn.load_data_file(path) == NETCFG
    assert "; saved by a test\n0x4E\n0x43\n" in path.read_text()
    with pytest.raises(FileNotFoundError):
        vrn.load_data_file(tmp_path / "missing.dat")
    with pytest.raises(OSError):  # a directory opens on Linux; its read fails
        vrn.load_data_file(tmp_path)
    (tmp_path / "big.dat").write_text("1\n" * 65537)
    with pytest.raises(ValueError, match="To Big data file - 65537"):
        vrn.load_data_file(tmp_path / "big.dat")
    assert capfd.readouterr().out == ""  # raised, not printed
    (tmp_path / "long.dat").write_text("1" + " " * 200 + "\n2\n")
    with pytest.warns(UserWarning, match="line 1 is longer than 127 characters"):
        assert vrn.load_data_file(tmp_path / "long.dat") == b"\x01\x00\x02"
