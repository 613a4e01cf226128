"""The numcodecs codec's first import path (and the one stored entry points
may name); the codec is :mod:`quillmarsh.integrations.numcodecs`."""

from quillmarsh.integrations.numcodecs import (
    CODEC_ID,
    LAYOUTS,
    JpegXl,
    check_chunk,
    get_numthreads,
    set_numthreads,
)

__all__ = ["JpegXl", "CODEC_ID", "LAYOUTS", "check_chunk", "get_numthreads", "set_numthreads"]
