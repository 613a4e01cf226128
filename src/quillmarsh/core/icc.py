"""Reading an ICC profile's own description.

Only the profile's tag table and its 'desc' tag are parsed: the
textDescriptionType of version 2 profiles ('desc') and the
multiLocalizedUnicodeType of version 4 ('mluc'). Malformed or truncated data
gives None, never an exception.
"""

from __future__ import annotations

import struct
from typing import Optional

__all__ = ["profile_description"]

_HEADER = 128
_MAX_TEXT = 1024  # longer descriptions are cut; they are for display


def _tag(icc: bytes, signature: bytes) -> Optional[bytes]:
    if len(icc) < _HEADER + 4:
        return None
    (count,) = struct.unpack_from(">I", icc, _HEADER)
    if count > (len(icc) - _HEADER - 4) // 12:
        return None
    for i in range(count):
        sig, offset, size = struct.unpack_from(">4sII", icc, _HEADER + 4 + 12 * i)
        if sig == signature:
            if offset + size > len(icc) or size < 12:
                return None
            return icc[offset : offset + size]
    return None


def _clean(text: str) -> Optional[str]:
    text = text.split("\x00", 1)[0]
    text = "".join(ch if ch.isprintable() else " " for ch in text).strip()
    return text[:_MAX_TEXT] or None


def _text_description(tag: bytes) -> Optional[str]:
    (n,) = struct.unpack_from(">I", tag, 8)
    if n == 0 or 12 + n > len(tag):
        return None
    return _clean(tag[12 : 12 + n].decode("latin-1"))


def _multi_localized(tag: bytes) -> Optional[str]:
    if len(tag) < 16:
        return None
    count, record = struct.unpack_from(">II", tag, 8)
    if record < 12 or count == 0 or 16 + count * record > len(tag):
        return None
    chosen = None
    for i in range(count):
        lang, country, length, offset = struct.unpack_from(">2s2sII", tag, 16 + i * record)
        if offset + length > len(tag) or length % 2:
            continue
        if chosen is None or (lang, country) == (b"en", b"US") or (
            lang == b"en" and chosen[0] != b"en"
        ):
            chosen = (lang, offset, length)
    if chosen is None:
        return None
    _, offset, length = chosen
    return _clean(tag[offset : offset + length].decode("utf-16-be", errors="replace"))


def profile_description(icc: bytes) -> Optional[str]:
    """The profile's description (English when it has several), or None."""
    tag = _tag(bytes(icc), b"desc")
    if tag is None:
        return None
    kind = tag[:4]
    if kind == b"desc":
        return _text_description(tag)
    if kind == b"mluc":
        return _multi_localized(tag)
    return None
