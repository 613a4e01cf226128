"""Header-first reading of JPEG XL files, shared by the lazy integrations.

`read_header` parses a file's header from the fewest bytes; `reduced_shape`
and `fit_to_shape` keep downsampled frames at the shape announced before
decoding.
"""

from __future__ import annotations

import os
from typing import IO, TYPE_CHECKING, Any, Tuple, Union

import numpy as np

from quillmarsh.core.errors import JxlError

if TYPE_CHECKING:
    from quillmarsh.codecs.jxl import JxlReader

__all__ = ["read_header", "reduced_shape", "fit_to_shape"]

_FIRST = 1 << 14
_TRUNCATED = "needs more input"


def read_header(
    src: Union[str, "os.PathLike[str]", IO[bytes]], *, parse_color: bool = False, **options: Any
) -> Tuple["JxlReader", bytes, bool]:
    """Parse the header of `src` (a path or a binary file positioned at its start).

    Returns ``(reader, head, complete)``: an open reader holding the header only,
    the bytes read so far, and whether they are the whole file. The prefix
    doubles while libjxl asks for more, so large boxes before the image
    (EXIF, ICC) are read too; pixels are never decoded. `options` go to the
    reader (``extra_channels=True`` to open any channel layout).
    """
    # Imported here: quillmarsh.codecs.jxl imports the Dask integration, which imports this.
    from quillmarsh.codecs import jxl

    if isinstance(src, (str, bytes, os.PathLike)):
        with open(src, "rb") as fp:
            return read_header(fp, parse_color=parse_color, **options)
    head = b""
    want = _FIRST
    while True:
        chunk = src.read(want - len(head))
        complete = not chunk or len(chunk) < want - len(head)
        head += chunk or b""
        try:
            return jxl.JxlReader(head, parse_color=parse_color, **options), head, complete
        except JxlError as exc:
            if complete or _TRUNCATED not in str(exc):
                raise
        want *= 2


def reduced_shape(shape: Tuple[int, ...], n: int) -> Tuple[int, ...]:
    """`shape` with Y and X divided by `n`, rounded up (the decoder's rule)."""
    return (-(-shape[0] // n), -(-shape[1] // n)) + tuple(shape[2:])


def fit_to_shape(frame: np.ndarray, shape: Tuple[int, ...]) -> np.ndarray:
    """`frame` at the announced `shape`.

    ``downsample=8`` can stop at a progression point of ratio 2 or 4 and
    sample that rendering by its own ratio; sampling it further by the rest
    gives exactly the 1:8 shape. Any other mismatch is an error.
    """
    if frame.shape == shape:
        return frame
    for step in (2, 4, 8):
        if frame.shape[2:] == shape[2:] and reduced_shape(frame.shape, step) == shape:
            return np.ascontiguousarray(frame[::step, ::step])
    raise ValueError(f"jxl: frame decoded to {frame.shape}, the header announced {shape}")
