"""Exceptions raised by quillmarsh's codecs."""

from __future__ import annotations

__all__ = ["QuillmarshError", "CodecError", "JxlError"]


class QuillmarshError(Exception):
    """Base class of every error quillmarsh raises itself."""


class CodecError(QuillmarshError):
    """A codec library reported a failure, or a stream is malformed."""


class JxlError(CodecError):
    """libjxl reported a failure, or a JPEG XL stream is malformed or truncated."""
