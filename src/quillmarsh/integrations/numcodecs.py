"""JPEG XL chunks for numcodecs and Zarr.

``JpegXl`` is a numcodecs codec (id ``"quillmarsh_jxl"``), lossless unless
``max_error`` (a bound on every sample's error, in data units) or a perceptual
``distance`` is given::

    import zarr
    from quillmarsh.codecs.numcodecs import JpegXl

    z = zarr.create_array("stack.zarr", shape=(64, 2048, 2048), chunks=(16, 512, 512),
                          dtype="uint16", zarr_format=2, compressors=JpegXl())

A chunk is one image or a stack of same-sized frames:

=================  ===================================================
chunk shape        stored as
=================  ===================================================
``(Y, X)``         one grey frame
``(Y, X, C)``      one frame of C channels (C of 1 to 4: L, LA, RGB, RGBA)
``(Z, Y, X)``      Z grey frames
``(Z, Y, X, C)``   Z frames of C channels (C above 4: grey and C-1 extra
                   channels)
=================  ===================================================

A 3-D chunk whose last extent is 1 to 4 is ``(Y, X, C)``; any other 3-D chunk
is ``(Z, Y, X)``. Integer samples are stored with ``bitspersample`` bits
(the type's width by default): 12-bit data in uint16 stays 0..4095 and a
chunk holding a larger value is refused, not clipped. Samples are uint8, uint16, float16 or float32, in either byte
order: the image holds the values, and a big-endian chunk carries a small
private box naming its data type, so that it decodes to the same bytes (as
numcodecs and Zarr format 2 expect; other JPEG XL readers ignore the box).
With ``out``, the values are delivered in out's byte order.

``layout="strip"`` stores the Z slices of a stack one below the other as a
single ``(Z * Y, X[, C])`` image instead of as frames. Every frame carries its
own entropy-code tables, so stacks of small slices (say 96 x 128) come out 4-8 %
smaller as a strip. Reading does not depend on the layout (a chunk is reshaped
to the array's chunk shape either way). Frames stay the default: a strip of
many large slices can exceed the image size that every JPEG XL decoder must
support (2**18 rows), which libjxl reads but other decoders need not.

Decoding speed is set by ``effort`` when writing: effort 2 codes with a fixed
context tree that libjxl decodes 2-4x faster than the learned trees of efforts
4 and up, for 8-11 % more bytes (measured on 8- and 16-bit images);
``layout="strip", effort=2`` gives such stacks the bytes of the default at
2-3.5x its decoding speed. libjxl's ``decoding_speed`` setting is not
offered: for lossless chunks it costs 25-90 % more bytes than effort 2 to
decode at most 1.5x faster.

In Zarr format 2 the codec is the array's compressor. In Zarr format 3 the
same options make the array-to-bytes codec
:class:`quillmarsh.integrations.zarr.JpegXlCodec` (name ``"jpegxl"``),
which checks the chunk shape, data type and bit depth when the array is created. Both are
found through the libraries' entry points once quillmarsh is installed.

libjxl's worker threads per chunk are a setting of the process, not of the
data, so they are not stored with the array (as Blosc's thread count):
:func:`set_numthreads` or the environment variable
``QUILLMARSH_JXL_NUMTHREADS`` (a number, or ``auto`` for libjxl's choice) set
them; the default is 1, since Zarr and Dask already work on several chunks at
once. Metadata written with a ``numthreads`` entry still opens (the entry is
ignored).
"""

from __future__ import annotations

import os
import struct
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

try:
    from numcodecs.abc import Codec  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from numcodecs.compat import (  # type: ignore[import-untyped, import-not-found, unused-ignore]
        ensure_contiguous_ndarray,
        ensure_ndarray_like,
        ndarray_copy,
    )
    from numcodecs.registry import register_codec  # type: ignore[import-untyped, import-not-found, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quillmarsh.codecs.numcodecs needs numcodecs: pip install 'quillmarsh[zarr]'"
    ) from exc

from quillmarsh.codecs import jxl

from quillmarsh.core import bounded as _bounded

__all__ = ["JpegXl", "CODEC_ID", "LAYOUTS", "TRANSFERS", "check_chunk", "default_transfer",
           "get_numthreads", "set_numthreads"]

CODEC_ID = "quillmarsh_jxl"
LAYOUTS = ("frames", "strip")
THREADS_ENV = "QUILLMARSH_JXL_NUMTHREADS"

_DTYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float16), np.dtype(np.float32))

# A private container box after the codestream: the data type of a chunk
# given in big-endian byte order (">u2"), or of uint16 samples stored as
# uint8 (8 bits or fewer), so that decoding gives back its bytes; other
# chunks have none.
_DTYPE_BOX = b"qmdt"
_SIGNATURE_BOX = b"\x00\x00\x00\x0cJXL \r\n\x87\n"


def _boxes(data: Any) -> List[Tuple[int, int, bytes]]:
    """(offset, size, type) of the container's top-level boxes; a box running
    to the end of the data gets its actual size."""
    out = []
    pos, end = 0, len(data)
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        head = 8
        if size == 1:
            if pos + 16 > end:
                break
            (size,) = struct.unpack_from(">Q", data, pos + 8)
            head = 16
        elif size == 0:
            size = end - pos
        if size < head or pos + size > end:
            break
        out.append((pos, size, bytes(kind)))
        pos += size
    return out


def _with_box(data: bytes, kind: bytes, payload: bytes) -> bytes:
    if not data.startswith(_SIGNATURE_BOX):  # pragma: no cover - the encoder writes containers
        raise RuntimeError(f"{CODEC_ID}: expected a JPEG XL container from the encoder")
    boxes = _boxes(data)
    head = bytearray(data)
    pos, size, _ = boxes[-1]
    if struct.unpack_from(">I", head, pos)[0] == 0:  # "to the end": no longer the last box
        struct.pack_into(">I", head, pos, size)
    return bytes(head) + struct.pack(">I4s", 8 + len(payload), kind) + payload


def _private_boxes(data: Any) -> Dict[bytes, bytes]:
    """The payloads of a chunk's private boxes (data type, grid) by type."""
    if bytes(data[: len(_SIGNATURE_BOX)]) != _SIGNATURE_BOX:
        return {}
    return {kind: bytes(data[pos + 8 : pos + size]) for pos, size, kind in _boxes(data)
            if kind in (_DTYPE_BOX, _bounded.BOX)}


def _named_dtype(text: bytes) -> np.dtype:
    try:
        dt = np.dtype(text.decode("ascii"))
    except (UnicodeDecodeError, TypeError, ValueError):
        dt = None
    if dt is None or dt.newbyteorder("=") not in _DTYPES:
        raise ValueError(f"{CODEC_ID}: chunk names an unknown data type {text!r}")
    return dt


def check_chunk(shape: Sequence[int], dtype: Any,
                bitspersample: Optional[int] = None) -> Tuple[bool, int]:
    """Check that chunks of `shape` and `dtype` fit in JPEG XL.

    Returns ``(stack, channels)``: whether the first axis is a frame axis, and
    the samples per pixel. Raises ValueError naming what does not fit.
    """
    shape = tuple(int(n) for n in shape)
    dt = np.dtype(dtype)
    if dt.hasobject:
        raise TypeError(f"{CODEC_ID}: cannot encode object arrays; use uint8, uint16, "
                        "float16 or float32")
    if dt.newbyteorder("=") not in _DTYPES:
        raise ValueError(
            f"{CODEC_ID}: data type {dt} cannot be stored as JPEG XL; "
            "use uint8, uint16, float16 or float32"
        )
    nd = len(shape)
    if nd == 2:
        stack, channels = False, 1
    elif nd == 3:
        stack = not 1 <= shape[2] <= 4
        channels = 1 if stack else shape[2]
    elif nd == 4:
        stack, channels = True, shape[3]
    else:
        raise ValueError(
            f"{CODEC_ID}: chunk shape {shape} has {nd} dimensions; "
            "use (Y, X), (Y, X, C), (Z, Y, X) or (Z, Y, X, C)"
        )
    if min(shape) < 1:
        raise ValueError(f"{CODEC_ID}: chunk shape {shape} has an empty axis")
    if channels > _MAX_SAMPLES:
        raise ValueError(f"{CODEC_ID}: chunk shape {shape} has {channels} samples per pixel; "
                         f"JPEG XL holds at most {_MAX_SAMPLES}")
    if bitspersample is not None:
        _check_bits(bitspersample, dt)
    return stack, channels


# Colour channels and libjxl's 256 extra channels.
_MAX_SAMPLES = 259


def _check_bits(bits: int, dtype: np.dtype) -> None:
    width = dtype.itemsize * 8
    if dtype.kind == "f":
        ok, allowed = bits == width, f"{width} for {dtype.newbyteorder('=')}"
    else:
        ok, allowed = 1 <= bits <= width, f"1 to {width} for {dtype.newbyteorder('=')}"
    if not ok:
        raise ValueError(f"{CODEC_ID}: bitspersample must be {allowed}, got {bits}")


def _check_values(arr: np.ndarray, bits: int) -> None:
    """Integer samples above `bits` bits are refused: libjxl would clip them."""
    if arr.dtype.kind != "u" or bits >= arr.dtype.itemsize * 8 or arr.size == 0:
        return
    top = int(arr.max())
    if top >= 1 << bits:
        raise ValueError(f"{CODEC_ID}: chunk holds the value {top}, which does not fit "
                         f"bitspersample={bits} (0 to {(1 << bits) - 1})")


def _option(value: Any, kind: type, name: str) -> Any:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{CODEC_ID}: {name} must be a number or None, not {type(value).__name__}")
    return kind(value)


def _thread_count(value: Any, name: str) -> Optional[int]:
    count: Optional[int] = _option(value, int, name)
    if count is not None and count < 0:
        raise ValueError(f"{CODEC_ID}: {name} must be 0 or more, got {count}")
    return count


def _threads_from_env() -> Optional[int]:
    text = os.environ.get(THREADS_ENV, "").strip()
    if not text:
        return 1
    if text.lower() == "auto":
        return None
    try:
        return _thread_count(int(text), THREADS_ENV)
    except ValueError:
        raise ValueError(f"{CODEC_ID}: {THREADS_ENV} must be a number of threads (0 or more) "
                         f"or 'auto', got {text!r}") from None


_numthreads = _threads_from_env()


def set_numthreads(numthreads: Optional[int]) -> Optional[int]:
    """Set libjxl's worker threads per chunk for every codec of this process
    that was not given its own; None lets libjxl choose. Returns the previous
    setting."""
    global _numthreads
    previous, _numthreads = _numthreads, _thread_count(numthreads, "numthreads")
    return previous


def get_numthreads() -> Optional[int]:
    """libjxl's worker threads per chunk (see :func:`set_numthreads`)."""
    return _numthreads


# The colour tag of the samples: the transfer function (and primaries) that
# lossy coding weighs errors by; lossless chunks store the values either way.
TRANSFERS = {"srgb": "srgb", "linear": "linear-srgb", "bt709": "rec709",
             "pq": "rec2100-pq", "hlg": "rec2100-hlg", "dci": "dci-p3"}


def default_transfer(dtype: Any) -> str:
    """The writer's tag when none is given: sRGB for uint8, linear otherwise."""
    return "srgb" if np.dtype(dtype).itemsize == 1 else "linear"


class JpegXl(Codec):  # type: ignore[misc]
    """numcodecs codec storing each chunk as one JPEG XL stream.

    Parameters
    ----------
    distance : float, optional
        Butteraugli distance of lossy coding (1.0 is visually lossless), a
        perceptual measure with no bound on a sample's error. None or 0 (the
        default) is mathematically lossless.
    effort : int, optional
        libjxl's effort 1 (fastest) to 10, as the encoder takes it: below 1
        is 1, above 10 is 10; None keeps the encoder's default (5).
    numthreads : int, optional
        libjxl worker threads per chunk for this codec alone, in place of the
        process setting (:func:`set_numthreads`). Not stored with the array.
    layout : {"frames", "strip"}
        How a ``(Z, Y, X[, C])`` chunk is stored: Z frames (the default) or
        one image of the slices one below the other. Only writing uses it.
    bitspersample : int, optional
        Bits of each integer sample (uint8: 1 to 8, uint16: 1 to 16); None is
        the type's width. Floats take their width only. uint16 samples of 8
        bits or fewer go in as uint8 (libjxl's rule), with a private box
        naming uint16 so that decoding gives uint16 back.
    usecontainer : bool
        Wrap every chunk in the JPEG XL container even when nothing needs it.
    transfer : str, optional
        The samples' colour tag: "srgb", "linear", "bt709", "pq", "hlg" or
        "dci"; None is "srgb" for uint8 and "linear" otherwise.
    max_error : float, optional
        Every sample decodes within this absolute error (data units); 0 or
        None is lossless. Not with `distance`.
    """

    codec_id = CODEC_ID

    def __init__(
        self,
        distance: Optional[float] = None,
        effort: Optional[int] = None,
        numthreads: Optional[int] = None,
        layout: str = "frames",
        bitspersample: Optional[int] = None,
        usecontainer: bool = False,
        transfer: Optional[str] = None,
        max_error: Optional[float] = None,
    ) -> None:
        if layout not in LAYOUTS:
            raise ValueError(f"{CODEC_ID}: layout must be one of {LAYOUTS}, got {layout!r}")
        self.layout = layout
        self.distance = _option(distance, float, "distance")
        effort = _option(effort, int, "effort")
        self.effort = None if effort is None else min(max(effort, 1), 10)
        self.numthreads = _thread_count(numthreads, "numthreads")
        if self.distance is not None and not 0.0 <= self.distance <= 25.0:
            raise ValueError(f"{CODEC_ID}: distance must be 0 to 25, got {self.distance}")
        self.bitspersample = _option(bitspersample, int, "bitspersample")
        if self.bitspersample is not None and not 1 <= self.bitspersample <= 32:
            raise ValueError(f"{CODEC_ID}: bitspersample must be 1 to 32, got {self.bitspersample}")
        if not isinstance(usecontainer, bool):
            raise TypeError(f"{CODEC_ID}: usecontainer must be True or False")
        self.usecontainer = usecontainer
        if transfer is not None and transfer not in TRANSFERS:
            raise ValueError(f"{CODEC_ID}: transfer must be one of {tuple(TRANSFERS)} or None, "
                             f"got {transfer!r}")
        self.transfer = transfer
        self.max_error = _option(max_error, float, "max_error")
        if self.max_error is not None and not 0.0 <= self.max_error < float("inf"):
            raise ValueError(f"{CODEC_ID}: max_error must be 0 or more, got {self.max_error}")
        if self.max_error and self.distance:
            raise ValueError(f"{CODEC_ID}: give max_error or distance, not both")

    @property
    def lossless(self) -> bool:
        return not self.distance and not self.max_error

    def _threads(self) -> Optional[int]:
        return _numthreads if self.numthreads is None else self.numthreads

    def get_config(self) -> Dict[str, Any]:
        # Every parameter that changes the stored bytes; no machine setting.
        return {"id": self.codec_id, "distance": self.distance, "effort": self.effort,
                "layout": self.layout, "bitspersample": self.bitspersample,
                "usecontainer": self.usecontainer, "transfer": self.transfer,
                "max_error": self.max_error}

    @classmethod
    def from_config(cls, config: Dict[str, Any]) -> "JpegXl":
        # numcodecs strips "id" before calling this; a config taken straight
        # from get_config() still has it. Older stores hold a "numthreads":
        # a setting of the process that wrote them, not of the data.
        return cls(**{k: v for k, v in config.items() if k not in ("id", "numthreads")})

    def __repr__(self) -> str:
        threads = "" if self.numthreads is None else f", numthreads={self.numthreads!r}"
        rest = "".join(f", {k}={v!r}" for k, v in self.get_config().items()
                       if k not in ("id", "distance", "effort"))
        return (f"{type(self).__name__}(distance={self.distance!r}, effort={self.effort!r}"
                f"{threads}{rest})")

    def encode(self, buf: Any) -> bytes:
        arr = ensure_ndarray_like(buf)
        if not isinstance(arr, np.ndarray):
            arr = np.asarray(arr)
        stack, channels = check_chunk(arr.shape, arr.dtype, self.bitspersample)
        if arr.ndim > 1 and not arr.flags.c_contiguous and arr.flags.f_contiguous:
            # Zarr's order="F" hands over Fortran-ordered chunks and reads
            # them back in that order; frames are always stored row-major.
            raise ValueError(f"{CODEC_ID}: Fortran-ordered chunks are not supported; use order='C'")
        given = arr.dtype
        arr = np.ascontiguousarray(arr, dtype=given.newbyteorder("="))
        if channels == 1 and arr.shape[-1] == 1 and arr.ndim == (4 if stack else 3):
            arr = arr[..., 0]
        box: Optional[Tuple[bytes, bytes]] = None
        bits = self.bitspersample or arr.dtype.itemsize * 8
        _check_values(arr, bits)
        if bits <= 8 and arr.dtype.itemsize == 2:
            arr = arr.astype(np.uint8)  # the values fit, as checked
        if given.str[0] == ">" or arr.dtype != given.newbyteorder("="):
            box = (_DTYPE_BOX, given.str.encode("ascii"))
        transfer = self.transfer or default_transfer(given)
        options: Dict[str, Any] = {"numthreads": self._threads(), "color": TRANSFERS[transfer]}
        if self.effort is not None:
            options["effort"] = self.effort
        if self.distance:
            options["distance"] = self.distance
        elif self.max_error:
            # Integers on a grid in the stream itself; floats as grid indices
            # with the offset and step in a box (restored by jxl.decode).
            options["max_error"] = self.max_error
        else:
            options["lossless"] = True
        if self.usecontainer or box is not None:
            options["container"] = True
        if bits < arr.dtype.itemsize * 8:
            options["channels"] = _bounded.channel_list(channels, bits)
        data = self._encode_frames(arr, stack, options)
        if box is not None:
            data = _with_box(data, *box)
        return data

    def _encode_frames(self, arr: np.ndarray, stack: bool, options: Dict[str, Any]) -> bytes:
        strip = self.layout == "strip"
        if stack and not options.get("distance") and arr.dtype == np.float16 and not strip:
            # libjxl keeps float16 magnitudes of 2**-15 to 2**-14 exactly only
            # in still images: such a stack goes in as a strip (read back alike).
            strip = bool(np.any((arr.view(np.uint16) & 0x7E00) == 0x0200))
        if stack and arr.shape[0] > 1 and strip:
            return bytes(jxl.encode(arr.reshape((-1,) + arr.shape[2:]), **options))
        if stack and arr.shape[0] > 1:
            return bytes(jxl.encode(arr, animation=True, **options))
        return bytes(jxl.encode(arr[0] if stack else arr, **options))

    def decode(self, buf: Any, out: Any = None) -> Any:
        data = ensure_contiguous_ndarray(buf).view(np.uint8)
        if not jxl.check_signature(data[:16]):
            head = bytes(data[:8])
            raise ValueError(
                f"{CODEC_ID}: chunk is not a JPEG XL stream (starts with {head!r}); "
                "the store was not written with this codec or the chunk is damaged"
            )
        out_arr = None if out is None else ensure_ndarray_like(out)
        if out_arr is not None and out_arr.dtype.hasobject:
            raise TypeError(f"{CODEC_ID}: cannot decode into an object array")
        boxes = _private_boxes(data)
        stored: Optional[np.dtype] = None
        if _DTYPE_BOX in boxes:
            stored = _named_dtype(boxes[_DTYPE_BOX])
        elif _bounded.BOX in boxes:  # jxl.decode restores the samples; this names their byte order
            try:
                stored = _bounded.parse(boxes[_bounded.BOX])[2]
            except ValueError as exc:
                raise ValueError(f"{CODEC_ID}: cannot decode chunk: {exc}") from None
            if stored.newbyteorder("=") not in _DTYPES:
                raise ValueError(f"{CODEC_ID}: chunk names an unknown data type {stored}")
        dec = self._decode_stream(data, out_arr)
        if stored is not None and stored != dec.dtype:
            dec = dec.astype(stored)  # the chunk's own byte order
        if out_arr is None:
            return dec
        if out_arr.nbytes != dec.nbytes:
            raise ValueError(
                f"{CODEC_ID}: the output buffer holds {out_arr.nbytes} bytes "
                f"({tuple(out_arr.shape)} {out_arr.dtype}), the chunk decodes to {dec.nbytes} bytes "
                f"({dec.shape} {dec.dtype})"
            )
        if out_arr.dtype.itemsize > 1:
            if out_arr.dtype.newbyteorder("=") != dec.dtype.newbyteorder("="):
                # Same size, other type (uint16 against float16): the copy would
                # hand back reinterpreted samples.
                raise ValueError(
                    f"{CODEC_ID}: chunk decodes to {dec.dtype} samples, the output buffer is {out_arr.dtype}"
                )
            if out_arr.dtype != dec.dtype:
                dec = dec.astype(out_arr.dtype)  # the values, in out's byte order
        return ndarray_copy(dec, out)

    def _decode_stream(self, data: Any, out_arr: Any) -> np.ndarray:
        # A chunk's header may claim any size: with `out` nothing larger than
        # it is decoded, otherwise the decoder's own limit applies.
        limit: Dict[str, Any] = {"numthreads": self._threads()}
        if out_arr is not None:
            limit["max_pixels"] = max(int(out_arr.size), 1)
        try:
            dec: np.ndarray = jxl.decode(data, **limit)
        except NotImplementedError as exc:
            # A valid stream of a kind no chunk of this codec has (CMYK,
            # ...): written by something else.
            wide = _with_extra_channels(data, limit)
            if wide is not None:
                return wide
            raise ValueError(
                f"{CODEC_ID}: chunk holds a JPEG XL image this codec does not read back: {exc}"
            ) from exc
        except (jxl.JxlError, ValueError) as exc:
            if out_arr is not None and "max_pixels=" in str(exc):
                try:
                    why = _out_too_small(data, out_arr)
                except NotImplementedError as layout:  # its header names the kind, as above
                    raise ValueError(f"{CODEC_ID}: chunk holds a JPEG XL image this codec does "
                                     f"not read back: {layout}") from exc
                raise ValueError(why) from exc
            raise ValueError(f"{CODEC_ID}: cannot decode chunk: {exc}") from exc
        return dec


def _with_extra_channels(data: Any, limit: Dict[str, Any]) -> Optional[np.ndarray]:
    """A chunk of grey and more than three extra channels, as this codec
    writes (Z, Y, X, C) chunks of C above 4; None for other kinds (CMYK, ...)."""
    try:
        with jxl.JxlReader(data, parse_color=False, extra_channels=True) as reader:
            kinds = {c["type"] for c in reader.channels}
    except (NotImplementedError, jxl.JxlError, ValueError):
        return None
    if not kinds <= {"color", "alpha", "optional"}:
        return None
    wide: np.ndarray = jxl.decode(data, extra_channels=True, **limit)
    return wide


def _out_too_small(data: Any, out: Any) -> str:
    """Why decoding stopped at the header: the image is larger than `out`."""
    with jxl.JxlReader(data, parse_color=False, max_pixels=None) as reader:
        shape = tuple(reader.frame_shape)
        dtype = np.dtype(reader.dtype)
        frames = reader.n_frames if reader.is_animation else 1
    need = int(np.prod(shape)) * dtype.itemsize
    what = f"{shape} {dtype}"
    if frames != 1:
        what = f"frames of {what}"
        need_text = f"at least {need} bytes"
    else:
        need_text = f"{need} bytes"
    return (f"{CODEC_ID}: the output buffer holds {out.nbytes} bytes ({tuple(out.shape)} "
            f"{out.dtype}), too small for the chunk: it decodes to {need_text} ({what})")


register_codec(JpegXl)
