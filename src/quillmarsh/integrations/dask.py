"""Lazy Dask arrays over JPEG XL files (``jxl.to_dask``).

The codec is imported when called, not with this module:
:mod:`quillmarsh.codecs.jxl` imports this module for its ``to_dask``.
"""

from __future__ import annotations

import glob
import os
from typing import Any, List, Literal, Optional, Sequence, Tuple, Union

import numpy as np

from quillmarsh.core.errors import JxlError
from quillmarsh.core.remote import is_remote

from .header import fit_to_shape, read_header, reduced_shape

__all__ = ["to_dask"]

_GLOB_CHARS = set("*?[")
_Source = Union[str, "os.PathLike[str]", bytes, Sequence[Union[str, "os.PathLike[str]"]]]


def _dask_array() -> Any:
    try:
        import dask
        import dask.array as da
    except ImportError as exc:
        raise ImportError("jxl.to_dask needs dask: pip install 'quillmarsh[dask]'") from exc
    return dask, da


def _load(
    src: Any,
    index: Optional[int],
    shape: Tuple[int, ...],
    downsample: int,
    subsample: Literal["top-left", "center"],
    numthreads: Optional[int],
    max_pixels: Optional[int],
) -> np.ndarray:
    from quillmarsh.codecs import jxl

    try:
        frame = jxl.decode(
            src,
            index=index,
            downsample=downsample,
            subsample=subsample,
            numthreads=numthreads,
            max_pixels=max_pixels,
        )
    except _NAMED as exc:
        raise _named(exc, src) from exc
    try:
        frame = fit_to_shape(frame, shape)
    except ValueError as exc:
        raise ValueError(f"jxl.to_dask: {_describe(src)} frame {index or 0}: {exc}") from None
    return frame[np.newaxis]


def _describe(src: Any) -> str:
    return "in-memory stream" if isinstance(src, (bytes, bytearray, memoryview)) else str(src)


# Errors of one file, raised again naming it: in a list of thousands the
# codec's own message would not say which file is bad (OSError names it already).
_NAMED = (JxlError, ValueError, NotImplementedError)


def _named(exc: BaseException, src: Any) -> BaseException:
    """`exc` as the same type, its message prefixed with the file it came from."""
    try:
        return type(exc)(f"jxl.to_dask: {_describe(src)}: {exc}")
    except Exception:  # an exception type that takes other arguments
        return exc


def _header(src: Any) -> Tuple[Tuple[int, ...], Any, bool]:
    from quillmarsh.codecs import jxl

    try:
        if isinstance(src, (bytes, bytearray, memoryview)) or is_remote(src):
            # A URL's header comes from its first range.
            with jxl.JxlReader(src, parse_color=False) as reader:
                return tuple(reader.frame_shape), reader.dtype, reader.is_animation
        reader, _, _ = read_header(src)
        with reader:
            return tuple(reader.frame_shape), reader.dtype, reader.is_animation
    except _NAMED as exc:
        raise _named(exc, src) from exc


def _sources(src: _Source) -> Tuple[List[Any], bool]:
    """The files to read and whether `src` named a single file."""
    if isinstance(src, (bytes, bytearray, memoryview)):
        return [bytes(src)], True
    if is_remote(src) and isinstance(src, str):
        return [src], True
    if isinstance(src, (str, os.PathLike)):
        path = os.fspath(src)
        if isinstance(path, str) and not os.path.exists(path) and _GLOB_CHARS & set(path):
            files = sorted(glob.glob(path))
            if not files:
                raise FileNotFoundError(f"jxl.to_dask: no file matches {path!r}")
            return files, False
        return [path], True
    files = [os.fspath(p) for p in src]
    if not files:
        raise ValueError("jxl.to_dask: empty list of files")
    return files, False


def to_dask(
    src: _Source,
    *,
    downsample: int = 1,
    subsample: Literal["top-left", "center"] = "center",
    numthreads: Optional[int] = 1,
    max_pixels: Optional[int] = 2**30,
) -> Any:
    """A lazy Dask array over the frames of one file or over several files.

    `src` is one path, URL (or bytes): the array is ``(T, Y, X[, C])`` with one
    chunk per frame, T = 1 for a still image; a URL's chunks each fetch the
    file up to their frame. A list of paths (or URLs) or a glob pattern
    (``"scans/*.jxl"``, sorted by name): one still image per file, all of one
    shape and sample type, ``(N, Y, X[, C])`` with one chunk per file. Shapes
    and sample types come from the file headers (frames are counted without
    decoding pixels); nothing is decoded until the array is computed.

    `downsample` (1, 2, 4 or 8) and `subsample` are passed to :func:`jxl.decode`
    for every chunk; Y and X are then divided by `downsample`, rounded up.
    Previews take the centre pixel of each block by default, the one nearest
    the block's average (``jxl.decode`` itself defaults to the top-left one).
    `numthreads` is libjxl's thread count per chunk (1 by default: Dask already
    runs one chunk per worker thread).
    """
    from quillmarsh.codecs import jxl

    dask, da = _dask_array()
    if downsample not in (1, 2, 4, 8):
        raise ValueError(f"jxl.to_dask: downsample must be 1, 2, 4 or 8, got {downsample!r}")
    files, single = _sources(src)
    shape, dtype, animated = _header(files[0])
    if single:
        count = jxl.frame_count(files[0]) if animated else 1
        jobs = [(files[0], i if animated else None) for i in range(count)]
    else:
        jobs = []
        for path in files:
            other = (shape, dtype, animated) if path is files[0] else _header(path)
            if other[2]:
                raise ValueError(
                    f"jxl.to_dask: {path} is an animation; give it alone to get its frames"
                )
            if other[:2] != (shape, dtype):
                raise ValueError(
                    f"jxl.to_dask: {path} holds {other[0]} {np.dtype(other[1])} images, "
                    f"{files[0]} {shape} {np.dtype(dtype)}; all files need one shape and type"
                )
            jobs.append((path, None))
    out_shape = reduced_shape(shape, downsample) if downsample > 1 else shape
    meta = np.empty((0,) * (len(out_shape) + 1), dtype=dtype)
    load = dask.delayed(_load, pure=True)
    blocks = [
        da.from_delayed(
            load(path, index, out_shape, downsample, subsample, numthreads, max_pixels),
            shape=(1,) + out_shape,
            dtype=dtype,
            meta=meta,
        )
        for path, index in jobs
    ]
    return blocks[0] if len(blocks) == 1 else da.concatenate(blocks, axis=0)

