"""JPEG XL as a Zarr format 3 array-to-bytes codec (name ``"quillmarsh_jxl"``).

::

    import zarr
    from quillmarsh.integrations.zarr import JpegXlCodec

    z = zarr.create_array("stack.zarr", shape=(64, 2048, 2048), chunks=(16, 512, 512),
                          dtype="uint16", serializer=JpegXlCodec())

The options, chunk layouts and thread setting are those of
:class:`quillmarsh.integrations.numcodecs.JpegXl`. Zarr calls :meth:`validate` when
the array's metadata is built, so a data type or chunk shape that JPEG XL
cannot hold is refused when the array is created, before anything is written.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Optional

try:
    from zarr.abc.codec import ArrayBytesCodec
    from zarr.core.chunk_grids import RegularChunkGrid
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quillmarsh.integrations.zarr needs zarr 3: pip install 'quillmarsh[zarr]'"
    ) from exc

from .numcodecs import CODEC_ID, LAYOUTS, JpegXl, check_chunk

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

__all__ = ["JpegXlCodec"]


@dataclass(frozen=True)
class JpegXlCodec(ArrayBytesCodec):
    """Each chunk stored as one JPEG XL stream; lossless unless `distance` is given."""

    distance: Optional[float] = None
    effort: Optional[int] = None
    # This codec's own thread count in place of the process setting; never stored.
    numthreads: Optional[int] = field(default=None, compare=False)
    layout: str = "frames"
    _inner: JpegXl = field(init=False, repr=False, compare=False)

    is_fixed_size = False

    def __post_init__(self) -> None:
        # The numcodecs codec checks and normalises the options once.
        inner = JpegXl(distance=self.distance, effort=self.effort, numthreads=self.numthreads,
                       layout=self.layout)
        object.__setattr__(self, "distance", inner.distance)
        object.__setattr__(self, "effort", inner.effort)
        object.__setattr__(self, "numthreads", inner.numthreads)
        object.__setattr__(self, "_inner", inner)

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "JpegXlCodec":
        if data.get("name") != CODEC_ID:
            raise ValueError(f"{CODEC_ID}: expected codec name {CODEC_ID!r}, got {data.get('name')!r}")
        config = dict(data.get("configuration") or {})
        unknown = set(config) - {"distance", "effort", "numthreads", "layout"}
        if unknown:
            raise ValueError(f"{CODEC_ID}: unknown configuration keys {sorted(unknown)}")
        # Older arrays store the writing process's "numthreads": not data.
        config.pop("numthreads", None)
        return cls(**config)

    def to_dict(self) -> Dict[str, Any]:
        config: Dict[str, Any] = {"distance": self.distance, "effort": self.effort}
        if self.layout != LAYOUTS[0]:  # metadata of the default stays as before
            config["layout"] = self.layout
        return {"name": CODEC_ID, "configuration": config}

    def validate(self, *, shape: Any, dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype() if hasattr(dtype, "to_native_dtype") else dtype
        if isinstance(chunk_grid, RegularChunkGrid):
            check_chunk(chunk_grid.chunk_shape, native)
        else:
            check_chunk(shape, native)

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
                f"{CODEC_ID}: chunk decodes to {arr.shape} {arr.dtype}, the array expects "
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
