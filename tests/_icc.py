"""Hand-made ICC profiles for tests: an RGB display profile whose tone curves
are tables, so libjxl cannot describe it as an encoded colour space."""

from __future__ import annotations

import struct

import numpy as np


def _s15(v: float) -> bytes:
    return struct.pack(">i", int(round(v * 65536)))


def _xyz(x: float, y: float, z: float) -> bytes:
    return b"XYZ \0\0\0\0" + _s15(x) + _s15(y) + _s15(z)


def _desc_v2(text: str) -> bytes:
    ascii_ = text.encode("latin-1") + b"\0"
    # ASCII part, then empty Unicode and ScriptCode parts.
    return (b"desc\0\0\0\0" + struct.pack(">I", len(ascii_)) + ascii_ + struct.pack(">II", 0, 0)
            + struct.pack(">HB", 0, 0) + b"\0" * 67)


def _mluc(records: "list[tuple[str, str, str]]") -> bytes:
    head = b"mluc\0\0\0\0" + struct.pack(">II", len(records), 12)
    strings = b""
    table = b""
    base = len(head) + 12 * len(records)
    for lang, country, text in records:
        data = text.encode("utf-16-be")
        table += lang.encode() + country.encode() + struct.pack(">II", len(data), base + len(strings))
        strings += data
    return head + table + strings


def _curve(n: int = 256) -> bytes:
    # An S-shaped tone curve: no gamma, sRGB, PQ or HLG function matches it.
    x = np.linspace(0.0, 1.0, n)
    y = 0.5 - 0.5 * np.cos(np.pi * x**0.8)
    table = np.round(y * 65535).astype(">u2").tobytes()
    return b"curv\0\0\0\0" + struct.pack(">I", n) + table


def rgb_profile(description: str, version: int = 2,
                extra_names: "list[tuple[str, str, str]] | None" = None) -> bytes:
    """An ICC RGB display profile with table tone curves, described as given
    (a version 2 'desc' tag, or a version 4 'mluc' tag with `extra_names` first)."""
    if version == 2:
        desc = _desc_v2(description)
    else:
        desc = _mluc((extra_names or []) + [("en", "US", description)])
    curve = _curve()
    tags = [(b"desc", desc), (b"wtpt", _xyz(0.9642, 1.0, 0.8249)),
            (b"rXYZ", _xyz(0.6097, 0.3111, 0.0195)), (b"gXYZ", _xyz(0.2053, 0.6257, 0.0609)),
            (b"bXYZ", _xyz(0.1492, 0.0632, 0.7446)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve),
            (b"cprt", b"text\0\0\0\0" + b"No copyright\0")]
    offset = 128 + 4 + 12 * len(tags)
    table, body = b"", b""
    for sig, data in tags:
        data += b"\0" * (-len(data) % 4)
        table += sig + struct.pack(">II", offset + len(body), len(data))
        body += data
    size = offset + len(body)
    ver = 0x02100000 if version == 2 else 0x04300000
    header = (struct.pack(">I", size) + b"none" + struct.pack(">I", ver) + b"mntrRGB XYZ "
              + struct.pack(">6H", 2026, 1, 1, 0, 0, 0) + b"acsp" + b"\0" * 24
              + struct.pack(">I", 0) + _s15(0.9642) + _s15(1.0) + _s15(0.8249) + b"\0" * 48)
    assert len(header) == 128, len(header)
    return header + struct.pack(">I", len(tags)) + table + body
