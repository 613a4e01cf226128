"""Bounded-error storage of float samples: samples on a uniform grid from
the array's minimum, the grid indices coded losslessly as integers, and the
offset, step and data type in a private box of the stream, from which
decoding restores the values (any range: nothing is clamped to 0..1).
The writer (`encode(max_error=...)` of a float array) and the reader
(`decode`, `JxlReader.read`) call this module; so does the numcodecs codec.

Integer chunks need no box: ``jxl.encode(max_error=...)`` moves the samples
themselves onto a grid, which libjxl's lossless coder takes for about the
bytes of the indices. Float samples on a grid are not so taken (their bit
patterns are not evenly spaced): on the MRI stack as float32, indices take
28 % of the lossless bytes at a bound of 1e-3 of the range, the grid values
99 %.
"""

from __future__ import annotations

import struct
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

# Private container box: data type (ASCII, numpy's str), offset and step (float64).
BOX = b"qmqg"
_FMT = ">dd"
_TYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float16), np.dtype(np.float32))


def quantise(arr: np.ndarray, max_error: float,
             given: Optional[np.dtype] = None) -> Optional[Tuple[np.ndarray, int, bytes]]:
    """(indices, bits, box payload) for float `arr` (native byte order) within
    `max_error`, or None when lossless storage is the better choice (a range
    too wide for 16-bit indices, samples that are not finite). The box names
    `given` (the caller's byte order) or arr's type."""
    if arr.size == 0:
        return None
    grid = _float_grid(arr, max_error)
    if grid is None:
        return None
    q, bits, offset, step = grid
    payload = struct.pack(_FMT, offset, step) + (given or arr.dtype).str.encode("ascii")
    return q, bits, payload


def channel_list(samples: int, bits: int) -> List[Dict[str, Any]]:
    """A channels= list declaring `bits` for every channel of `samples`."""
    kinds = {1: ["color"], 2: ["color", "alpha"], 3: ["color"] * 3,
             4: ["color"] * 3 + ["alpha"]}.get(samples)
    if kinds is None:
        kinds = ["color"] + ["optional"] * (samples - 1)
    return [{"type": kind, "bits": bits} for kind in kinds]


def writer_grid(arr: np.ndarray, max_error: float,
                samples: int) -> Optional[Tuple[np.ndarray, List[Dict[str, Any]], bytes]]:
    """The writer's frame(s) of float `arr` within `max_error`: (indices, the
    channels= list declaring their bits, box payload), or None to store the
    floats losslessly."""
    native = np.ascontiguousarray(arr, dtype=arr.dtype.newbyteorder("="))
    grid = quantise(native, max_error, arr.dtype)
    if grid is None:
        return None
    q, bits, payload = grid
    return q, channel_list(samples, bits), payload


def restore_stream(q: np.ndarray, payload: bytes) -> np.ndarray:
    """The samples (native byte order) of decoded grid indices `q`;
    ValueError for a malformed box."""
    try:
        offset, step, dtype = parse(payload)
    except ValueError as exc:
        raise ValueError(f"jxl: cannot restore the samples: {exc}") from None
    if dtype.newbyteorder("=") not in _TYPES:
        raise ValueError(f"jxl: cannot restore the samples: grid box names the data type {dtype}")
    if q.dtype.kind != "u":
        raise ValueError(f"jxl: cannot restore the samples: grid indices decode as {q.dtype}")
    return restore(q, offset, step, dtype)


_Grid = Tuple[np.ndarray, int, float, float]


def _float_grid(arr: np.ndarray, max_error: float) -> Optional[_Grid]:
    wide = arr.astype(np.float64)
    if not np.isfinite(wide).all():
        return None
    offset = float(wide.min())
    step = 2.0 * float(max_error)
    # Rounding the reconstruction to the data type may cross the bound:
    # a slightly finer grid then, a few times.
    for _ in range(4):
        if step <= 0 or (float(wide.max()) - offset) / step >= 65535:
            return None
        q = np.rint((wide - offset) / step).astype(np.int64)
        grid = _try(arr, q, offset, step, max_error)
        if grid is not None:
            return grid
        step *= 0.9
    return None


def _try(arr: np.ndarray, q: np.ndarray, offset: float, step: float,
         max_error: float) -> Optional[_Grid]:
    top = int(q.max())
    if top >= 1 << 16:
        return None
    back = restore(q, offset, step, arr.dtype)
    err = np.abs(back.astype(np.float64) - arr.astype(np.float64))
    if float(err.max()) > max_error:
        return None
    bits = max(1, top.bit_length())
    small = np.uint8 if bits <= 8 else np.uint16
    return q.astype(small), bits, offset, step


def restore(q: np.ndarray, offset: float, step: float, dtype: Any) -> np.ndarray:
    """Samples of `dtype` from grid indices; what decoding gives (integer
    types too: chunks written before integers kept their own grid)."""
    dt = np.dtype(dtype).newbyteorder("=")
    vals = q.astype(np.float64) * step + offset
    if dt.kind == "u":
        info = np.iinfo(dt)
        return np.clip(np.rint(vals), info.min, info.max).astype(dt)
    return vals.astype(dt)


def parse(payload: bytes) -> Tuple[float, float, np.dtype]:
    """(offset, step, dtype) of a box payload; ValueError when it is malformed."""
    size = struct.calcsize(_FMT)
    if len(payload) <= size:
        raise ValueError("grid box is too short")
    offset, step = struct.unpack_from(_FMT, payload)
    try:
        dt = np.dtype(payload[size:].decode("ascii"))
    except (UnicodeDecodeError, TypeError, ValueError):
        raise ValueError(f"grid box names an unknown data type {payload[size:]!r}") from None
    if not (np.isfinite(offset) and np.isfinite(step) and step > 0):
        raise ValueError(f"grid box holds offset {offset} and step {step}")
    return offset, step, dt
