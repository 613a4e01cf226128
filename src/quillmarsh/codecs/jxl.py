"""JPEG XL for quillmarsh: NumPy arrays to JPEG XL and back, through libjxl.

This is the public import path of quillmarsh's JPEG XL codec::

    from quillmarsh.codecs import jxl

    data = jxl.encode(image, quality=90)          # bytes; lossless by default
    jxl.encode(image, dest="photo.jxl")           # or to a path / file object
    image2 = jxl.decode("photo.jxl")              # (Y, X[, C]) uint8/uint16/float
    thumb = jxl.decode("photo.jxl", downsample=8) # 1:8 preview, progressive
    frame = jxl.decode("movie.jxl", index=5)      # one frame of an animation
    n = jxl.frame_count("movie.jxl")              # no pixels decoded
    thumb = jxl.decode("https://example.org/photo.jxl", downsample=8)  # a prefix only

    with jxl.JxlReader("big.jxl", streaming=True) as reader:
        print(reader.frame_shape, reader.dtype, reader.basic_info)
        for frame in reader.iter_frames():
            ...

    with jxl.JxlWriter("movie.jxl", animation=True, quality=90) as writer:
        for frame in frames:
            writer.write_frame(frame)

Decoded frames are C-contiguous arrays of uint8, uint16, float16 or float32,
shaped ``(Y, X)`` for grey or ``(Y, X, C)`` with C of 2 (grey + alpha), 3 (RGB)
or 4 (RGBA); a whole animation is stacked on a new leading axis. libjxl works
with the interpreter lock released, on its own worker threads.

In asyncio code, ``await jxl.decode_async(...)``, ``encode_async``,
``transcode_jpeg_async`` and ``reconstruct_jpeg_async`` run the same calls in
a worker thread; since libjxl
works with the interpreter lock released, the event loop stays responsive.

The command-line tool ``quillmarsh-jxl`` lives in :mod:`quillmarsh.cli`;
``python -m quillmarsh.codecs.jxl`` runs it too.
"""

from __future__ import annotations

import sys
from typing import Any, Optional, Sequence

import numpy as np

from ._jxl import (
    JxlError,
    JxlReader,
    JxlWriter,
    check_signature,
    decode,
    encode,
    frame_count,
    frames_info,
    libjxl_version,
    preview_bytes_needed,
    reconstruct_jpeg,
    thumbnail_bytes,
    transcode_jpeg,
)
from quillmarsh.integrations.dask import to_dask as to_dask  # dask is imported on the first call

__all__ = [
    "JxlReader",
    "JxlWriter",
    "decode",
    "encode",
    "frame_count",
    "frames_info",
    "thumbnail_bytes",
    "preview_bytes_needed",
    "transcode_jpeg",
    "reconstruct_jpeg",
    "check_signature",
    "libjxl_version",
    "JxlError",
    "decode_async",
    "encode_async",
    "transcode_jpeg_async",
    "reconstruct_jpeg_async",
    "main",
]


# asyncio: the call runs in the loop's default thread pool. A cancelled await
# returns at once, but libjxl finishes the call in its thread.


async def _in_thread(func: Any, *args: Any, **options: Any) -> Any:
    # Imported here: a running loop has it loaded already, and importing it
    # with the module cost every command-line run a fifth of its start-up.
    import asyncio

    return await asyncio.to_thread(func, *args, **options)


async def decode_async(data: Any, /, **options: Any) -> "np.ndarray[Any, Any]":
    """:func:`decode` in a worker thread: ``await decode_async(data, **options)``."""
    result: "np.ndarray[Any, Any]" = await _in_thread(decode, data, **options)
    return result


async def encode_async(image: Any, /, **options: Any) -> Optional[bytes]:
    """:func:`encode` in a worker thread: ``await encode_async(image, **options)``
    (bytes, or None when ``dest`` is given)."""
    result: Optional[bytes] = await _in_thread(encode, image, **options)
    return result


async def transcode_jpeg_async(src: Any, /, *args: Any, **options: Any) -> Optional[bytes]:
    """:func:`transcode_jpeg` in a worker thread (bytes, or None with a ``dest``)."""
    result: Optional[bytes] = await _in_thread(transcode_jpeg, src, *args, **options)
    return result


async def reconstruct_jpeg_async(src: Any, /, *args: Any, **options: Any) -> Optional[bytes]:
    """:func:`reconstruct_jpeg` in a worker thread (bytes, or None with a ``dest``)."""
    result: Optional[bytes] = await _in_thread(reconstruct_jpeg, src, *args, **options)
    return result


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``quillmarsh-jxl`` command line; returns the exit status."""
    from quillmarsh.cli import main as cli_main

    return cli_main(argv)


if __name__ == "__main__":
    sys.exit(main())
