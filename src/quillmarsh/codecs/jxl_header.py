"""Header of a JPEG XL file from the fewest bytes: read a prefix, grow it on demand."""

from __future__ import annotations

import os
from typing import IO, Tuple, Union

from ._jxl import JxlError, JxlReader

_FIRST = 1 << 14
_TRUNCATED = "needs more input"


def read_header(
    src: Union[str, "os.PathLike[str]", IO[bytes]], *, parse_color: bool = False
) -> Tuple[JxlReader, bytes, bool]:
    """Parse the header of `src` (a path or a binary file positioned at its start).

    Returns ``(reader, head, complete)``: an open reader holding the header only,
    the bytes read so far, and whether they are the whole file. The prefix
    doubles while libjxl asks for more, so large boxes before the image
    (EXIF, ICC) are read too; pixels are never decoded.
    """
    if isinstance(src, (str, bytes, os.PathLike)):
        with open(src, "rb") as fp:
            return read_header(fp, parse_color=parse_color)
    head = b""
    want = _FIRST
    while True:
        chunk = src.read(want - len(head))
        complete = not chunk or len(chunk) < want - len(head)
        head += chunk or b""
        try:
            return JxlReader(head, parse_color=parse_color), head, complete
        except JxlError as exc:
            if complete or _TRUNCATED not in str(exc):
                raise
        want *= 2
