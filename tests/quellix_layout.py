"""The quellix file of format version 6, parsed and rebuilt independently of the engine: the header's
fields, each section's bytes, and a file put back together from them (offsets, padding and CRC-32
recomputed), for tests that damage one part of a sound file."""

from __future__ import annotations

import struct
import zlib

HEADER = struct.Struct("<8sIIIIIIQiidqII10Qd")
HEADER_BYTES = 192
NAMES = ("magic", "version", "code", "dim", "M", "ef", "storage", "count", "ep_id", "ep_layer", "curvature",
         "next_id", "room", "zero")
SECTIONS = ("vectors", "norms", "masks", "slots", "upper", "terms", "remainders", "ids", "ranges", "state")
ALIGN = 64


def _aligned(at: int) -> int:
    return (at + ALIGN - 1) // ALIGN * ALIGN


def parse(data: bytes) -> tuple[dict, dict]:
    """(header fields, section name -> bytes) of a version 6 file."""
    values = HEADER.unpack_from(data)
    fields = dict(zip(NAMES, values[:len(NAMES)]))
    fields["reach"] = values[-1]
    lengths = values[len(NAMES):len(NAMES) + len(SECTIONS)]
    sections, at = {}, HEADER_BYTES
    for name, length in zip(SECTIONS, lengths):
        sections[name] = data[at:at + length]
        at = _aligned(at + length)
    assert at + 4 == len(data), "the sections do not fill the file"
    assert struct.unpack_from("<I", data, at)[0] == zlib.crc32(data[:at])
    return fields, sections


def build(fields: dict, sections: dict) -> bytes:
    """The file of these fields and sections, every offset, padding and the checksum made anew."""
    values = [fields[n] for n in NAMES] + [len(sections[s]) for s in SECTIONS] + [fields["reach"]]
    out = bytearray(HEADER.pack(*values).ljust(HEADER_BYTES, b"\0"))
    for name in SECTIONS:
        out += sections[name]
        out += bytes(_aligned(len(out)) - len(out))
    return bytes(out) + struct.pack("<I", zlib.crc32(out))


def upper_lists(raw: bytes) -> dict:
    """node -> [list of layer 1, list of layer 2, ...] from the upper section."""
    words = struct.unpack(f"<{len(raw) // 4}i", raw)
    out, i = {}, 0
    while i < len(words):
        node, level = words[i], words[i + 1]
        i += 2
        lists = []
        for _ in range(level):
            count = words[i]
            lists.append(list(words[i + 1:i + 1 + count]))
            i += 1 + count
        out[node] = lists
    return out
