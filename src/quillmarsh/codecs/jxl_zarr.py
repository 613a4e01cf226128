"""The Zarr format 3 codec's first import path (and the one stored entry
points may name); the codec is :mod:`quillmarsh.integrations.zarr`."""

from quillmarsh.integrations.zarr import JpegXlCodec

__all__ = ["JpegXlCodec"]
