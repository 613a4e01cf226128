"""Pixels offered to Pillow through Arrow's C data interface (internal).

``arrow_pixels(frame)`` takes a C-contiguous ``(Y, X, 4)`` uint8 array and
returns the ``(schema, array)`` capsule pair of ``__arrow_c_array__``: Y * X
fixed-size lists of 4 uint8, sharing the array's memory, which
``Image.fromarrow`` maps without unpacking. The Pillow plugin is its only user;
this module is the one place the integrations reach into the extension.
"""

from __future__ import annotations

from quillmarsh.codecs._jxl import _arrow_pixels as arrow_pixels

__all__ = ["arrow_pixels"]
