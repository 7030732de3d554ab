"""Scripting the VRN module from Python: a connection (Module), its
registers, bus and flash, and the flash records NetCfg and ICR.

    import dataclasses, vrn
    with vrn.Module("127.0.0.1", 3011) as m:
        cfg = m.netcfg()
        m.write(vrn.NetCfg.SECTOR, dataclasses.replace(cfg, ip="192.168.0.151").to_bytes())

Failures raise VrnError with the reason the programs print after
"### ERROR: "; bad arguments raise ValueError or TypeError before anything
is sent. Any number of Modules may be open at once, each with a
connection of its own, and different Modules may be used from different
threads at once; calls on one Module take turns.
"""

import dataclasses

from . import _vrn
from ._vrn import FlashInfo, VrnError, WriteReport, load_data_file, save_data_file

VrnError.__module__ = __name__

__all__ = ["Module", "NetCfg", "ICR", "FlashInfo", "WriteReport", "VrnError", "load_data_file", "save_data_file"]


class Module(_vrn.Module):
    __doc__ = _vrn.Module.__doc__

    def icr(self):
        """The ICR record (sector 1), read as vrnstat reads it."""
        return ICR.from_bytes(self._read_record("ICR"))

    def netcfg(self):
        """The NetCfg record (sector 2), read as vrnstat reads it."""
        return NetCfg.from_bytes(self._read_record("NetCfg"))


_FIELD_TYPES = {"hex": int, "int": int, "address": str, "comment": str}


def _record_class(name, doc):
    """A frozen dataclass for the record `name`, its fields those of the
    library's layout: words as int, addresses and the comment as str."""
    sector, size, layout = _vrn._record_layout(name)
    fields = [(field, _FIELD_TYPES[kind]) for field, kind in layout]
    # The comment's field as it was read: a comment left as it was keeps
    # its bytes (whatever follows its NUL) when the record is written back.
    fields.append(("_comment_raw", bytes, dataclasses.field(default=b"", repr=False, compare=False)))

    def values(self):
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    def __post_init__(self):
        # Refused as vrnrec refuses the same values.
        _vrn._record_check(name, values(self))

    @classmethod
    def from_bytes(cls, data):
        """The record as it lies in the flash, taken as it is."""
        record = object.__new__(cls)
        for field, value in _vrn._record_decode(name, bytes(data)).items():
            object.__setattr__(record, field, value)
        return record

    def to_bytes(self):
        """The record's bytes as they lie in the flash."""
        return _vrn._record_encode(name, values(self))

    def replace(self, **changes):
        """A copy with the fields given changed, as dataclasses.replace."""
        return dataclasses.replace(self, **changes)

    def __str__(self):
        """The record as vrnstat prints it."""
        return _vrn._record_text(name, self.to_bytes())

    def __repr__(self):
        shown = (f"{field}=0x{getattr(self, field):08X}" if kind == "hex" else f"{field}={getattr(self, field)!r}"
                 for field, kind in layout)
        return f"{name}({', '.join(shown)})"

    namespace = {
        "__doc__": doc, "SECTOR": sector, "SIZE": size, "__post_init__": __post_init__, "from_bytes": from_bytes,
        "to_bytes": to_bytes, "replace": replace, "__replace__": replace, "__str__": __str__,
        "__repr__": __repr__,
    }
    cls = dataclasses.make_dataclass(name, fields, namespace=namespace, frozen=True)
    cls.__module__ = __name__
    return cls


NetCfg = _record_class("NetCfg", "The module's network settings, 152 bytes at cell 0 of flash sector 2.")
ICR = _record_class("ICR", "The module's identification record, 164 bytes at cell 0 of flash sector 1.")
