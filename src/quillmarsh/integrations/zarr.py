"""JPEG XL as a Zarr format 3 array-to-bytes codec, named ``"jpegxl"``.

::

    import zarr
    from quillmarsh.integrations.zarr import JpegXlCodec

    z = zarr.create_array("stack.zarr", shape=(64, 2048, 2048), chunks=(16, 512, 512),
                          dtype="uint16", serializer=JpegXlCodec(bitspersample=12))

Chunks are ``(Y, X)``, ``(Y, X, S)``, ``(Z, Y, X)`` or ``(Z, Y, X, S)``
(samples last, frames first; see :mod:`quillmarsh.integrations.numcodecs`,
whose codec does the work). The configuration records every parameter that
changes the stored bytes, with the data type's defaults filled in when the
array is created (``bitspersample``, ``transfer``); decoding uses none of
it: geometry, sample type and bit depth come from each chunk's stream.
Stores written under the earlier name ``"quillmarsh_jxl"`` still open.
Zarr calls :meth:`validate` when the array's metadata is built, so a data
type, chunk shape or bit depth that does not fit is refused when the array
is created, before anything is written.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, Optional

try:
    from zarr.abc.codec import ArrayBytesCodec
    from zarr.core.chunk_grids import RegularChunkGrid
    from zarr.registry import register_codec
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quillmarsh.integrations.zarr needs zarr 3: pip install 'quillmarsh[zarr]'"
    ) from exc

from .numcodecs import LAYOUTS, JpegXl, check_chunk, default_transfer

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

__all__ = ["JpegXlCodec", "CODEC_NAME"]

CODEC_NAME = "jpegxl"
# Stores written before the codec took the shared name.
_ALIASES = (CODEC_NAME, "quillmarsh_jxl")
_DEFAULT_EFFORT = 5  # the encoder's
_CONFIG_KEYS = ("distance", "effort", "layout", "bitspersample", "usecontainer", "transfer",
                "max_error")


@dataclass(frozen=True)
class JpegXlCodec(ArrayBytesCodec):
    """Each chunk stored as one JPEG XL stream; lossless unless `max_error`
    (a bound in data units) or a perceptual `distance` is given."""

    distance: Optional[float] = None
    effort: Optional[int] = None
    # This codec's own thread count in place of the process setting; never stored.
    numthreads: Optional[int] = field(default=None, compare=False)
    layout: str = "frames"
    bitspersample: Optional[int] = None
    usecontainer: bool = False
    transfer: Optional[str] = None
    max_error: Optional[float] = None
    _inner: JpegXl = field(init=False, repr=False, compare=False)

    is_fixed_size = False

    def __post_init__(self) -> None:
        # The numcodecs codec checks and normalises the options once.
        inner = JpegXl(distance=self.distance, effort=self.effort, numthreads=self.numthreads,
                       layout=self.layout, bitspersample=self.bitspersample,
                       usecontainer=self.usecontainer, transfer=self.transfer,
                       max_error=self.max_error)
        for name in ("distance", "effort", "numthreads", "bitspersample", "max_error"):
            object.__setattr__(self, name, getattr(inner, name))
        object.__setattr__(self, "_inner", inner)

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "JpegXlCodec":
        if data.get("name") not in _ALIASES:
            raise ValueError(f"{CODEC_NAME}: expected codec name {CODEC_NAME!r}, "
                             f"got {data.get('name')!r}")
        config = dict(data.get("configuration") or {})
        # Older arrays store the writing process's "numthreads": not data.
        config.pop("numthreads", None)
        unknown = set(config) - set(_CONFIG_KEYS)
        if unknown:
            raise ValueError(f"{CODEC_NAME}: unknown configuration keys {sorted(unknown)}")
        return cls(**config)

    def to_dict(self) -> Dict[str, Any]:
        return {"name": CODEC_NAME,
                "configuration": {key: getattr(self, key) for key in _CONFIG_KEYS}}

    def evolve_from_array_spec(self, array_spec: "ArraySpec") -> "JpegXlCodec":
        # The data type's defaults, written out: the stored configuration
        # then says how every chunk was encoded.
        native = array_spec.dtype.to_native_dtype()
        check_chunk((1, 1), native)  # a data type JPEG XL cannot hold has no defaults
        filled = replace(
            self,
            distance=self.distance or 0.0,
            max_error=self.max_error or 0.0,
            effort=_DEFAULT_EFFORT if self.effort is None else self.effort,
            bitspersample=self.bitspersample or native.itemsize * 8,
            transfer=self.transfer or default_transfer(native),
        )
        return self if filled.to_dict() == self.to_dict() else filled

    def validate(self, *, shape: Any, dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype() if hasattr(dtype, "to_native_dtype") else dtype
        if isinstance(chunk_grid, RegularChunkGrid):
            check_chunk(chunk_grid.chunk_shape, native, self.bitspersample)
        else:
            check_chunk(shape, native, self.bitspersample)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: "ArraySpec") -> int:
        raise NotImplementedError

    def _encode_sync(self, chunk_array: "NDBuffer", chunk_spec: "ArraySpec") -> "Buffer":
        arr = chunk_array.as_numpy_array()
        data = self._inner.encode(arr.astype(arr.dtype.newbyteorder("="), copy=False))
        return chunk_spec.prototype.buffer.from_bytes(data)

    def _decode_sync(self, chunk_bytes: "Buffer", chunk_spec: "ArraySpec") -> "NDBuffer":
        arr = self._inner.decode(chunk_bytes.as_numpy_array())
        want = chunk_spec.dtype.to_native_dtype()
        if arr.size != _prod(chunk_spec.shape) or arr.dtype.newbyteorder("=") != want.newbyteorder("="):
            raise ValueError(
                f"{CODEC_NAME}: chunk decodes to {arr.shape} {arr.dtype}, the array expects "
                f"{tuple(chunk_spec.shape)} {want}"
            )
        arr = arr.reshape(chunk_spec.shape).astype(want, copy=False)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(arr)

    async def _encode_single(self, chunk_array: "NDBuffer", chunk_spec: "ArraySpec") -> "Buffer":
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: "Buffer", chunk_spec: "ArraySpec") -> "NDBuffer":
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)


def _prod(shape: Any) -> int:
    n = 1
    for s in shape:
        n *= int(s)
    return n


# The entry points name both; registering here too serves a process that
# imports this module from a checkout that is not installed.
for _name in _ALIASES:
    register_codec(_name, JpegXlCodec)
