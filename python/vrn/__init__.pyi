# Type hints of the vrn package (the extension vrn._vrn and the record classes).
from collections.abc import Callable, Iterable
from os import PathLike
from types import TracebackType
from typing import ClassVar, Literal

__all__ = ["Module", "NetCfg", "ICR", "FlashInfo", "WriteReport", "VrnError", "load_data_file", "save_data_file"]

Progress = Callable[[int, int], object]
Buffer = bytes | bytearray | memoryview

class VrnError(Exception):
    """A call to the module failed; the message is the reason the programs give."""

class FlashInfo:
    """The flash chip's description."""
    @property
    def vendor(self) -> int: ...
    @property
    def device(self) -> int: ...
    @property
    def sector_size(self) -> int:
        """Cells per sector."""
    @property
    def sector_count(self) -> int: ...
    @property
    def width(self) -> Literal[8, 16]: ...

class WriteReport:
    """What a write did."""
    @property
    def unchanged(self) -> bool:
        """The sector already held the image (changed_only): nothing was written."""
    @property
    def erased(self) -> bool: ...
    @property
    def cells_programmed(self) -> int: ...

class Module:
    """A connection to the module at ip with base port `port` (commands go to port + 1).

    probe: open with the echo probe, as vrnstat does. wait: how long each
    answer is waited for: None (4 s), "auto" (from the round trips
    measured) or 1..4000 milliseconds.

    Each Module has a connection of its own: any number may be open, and
    different Modules may be used from different threads at once (the GIL
    is released while the module is waited for); calls on one Module take
    turns. Ctrl-C or an exception from progress stops only the call it
    interrupts.
    """
    def __init__(self, ip: str, port: int, *, probe: bool = False, wait: None | Literal["auto"] | int = None) -> None: ...
    def __enter__(self) -> Module: ...
    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> bool: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def address(self) -> str:
        """"ip:port"."""
    def read_registers(self, space: int, address: int, count: int, *, step: int = 1) -> list[int]:
        """count 32-bit words from register space `space` (0, 1, 2, 3, 32, 33, 34, 49)."""
    def write_registers(self, space: int, address: int, values: Iterable[int], *, step: int = 1) -> None: ...
    def bus_read(self, address: int, count: int) -> bytes:
        """count items of the internal bus from address, one byte each (the address rises by 8 per item)."""
    def bus_write(self, address: int, data: Buffer | Iterable[int]) -> None:
        """One bus item per byte (or per int, a 32-bit data word)."""
    @property
    def flash(self) -> FlashInfo:
        """The flash chip, identified on first use."""
    def read(self, sector: int, offset: int, count: int, *, progress: Progress | None = None) -> bytes:
        """count cells (at most 65536) from `offset` of the sector, one byte each."""
    def write(self, sector: int, data: Buffer, *, skip_erased: bool = False, changed_only: bool = False,
              progress: Progress | None = None) -> WriteReport:
        """Writes data (at most 65536 bytes) from cell 0 of the sector as vrnprog does: erase,
        program, read back and compare. progress(done, total) counts each phase (read, program,
        read back) from 0."""
    def icr(self) -> ICR: ...
    def netcfg(self) -> NetCfg: ...

class NetCfg:
    """The module's network settings, 152 bytes at cell 0 of flash sector 2."""
    SECTOR: ClassVar[int]
    SIZE: ClassVar[int]
    sig: int
    ip: str
    mask: str
    gate: str
    port: int
    timeout: int
    comment: str  # bytes that are not UTF-8 (an erased record's 0xFF) as U+FFFD
    _comment_raw: bytes  # the comment's field as read, all its bytes
    def __init__(self, sig: int, ip: str, mask: str, gate: str, port: int, timeout: int, comment: str,
                 _comment_raw: bytes = b"") -> None: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> NetCfg: ...
    def to_bytes(self) -> bytes: ...
    def replace(self, *, sig: int = ..., ip: str = ..., mask: str = ..., gate: str = ..., port: int = ...,
                timeout: int = ..., comment: str = ...) -> NetCfg: ...

class ICR:
    """The module's identification record, 164 bytes at cell 0 of flash sector 1."""
    SECTOR: ClassVar[int]
    SIZE: ClassVar[int]
    sig: int
    size: int
    serial: int
    type: int
    ver: int
    devid: int
    day: int
    mon: int
    year: int
    comment: str  # bytes that are not UTF-8 (an erased record's 0xFF) as U+FFFD
    _comment_raw: bytes  # the comment's field as read, all its bytes
    def __init__(self, sig: int, size: int, serial: int, type: int, ver: int, devid: int, day: int, mon: int,
                 year: int, comment: str, _comment_raw: bytes = b"") -> None: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> ICR: ...
    def to_bytes(self) -> bytes: ...
    def replace(self, *, sig: int = ..., size: int = ..., serial: int = ..., type: int = ..., ver: int = ...,
                devid: int = ..., day: int = ..., mon: int = ..., year: int = ..., comment: str = ...) -> ICR: ...

def load_data_file(path: str | PathLike[str]) -> bytes:
    """The bytes of a data file, parsed as vrnprog parses it."""
def save_data_file(path: str | PathLike[str], data: Buffer, *, comment: str = "") -> None:
    """Writes data as a data file that vrnprog writes back byte for byte; the file appears whole or not at all."""
