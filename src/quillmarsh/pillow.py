"""The Pillow plugin's first import path; the plugin is
:mod:`quillmarsh.integrations.pillow`. Importing either registers "JXL"."""

from quillmarsh.integrations.pillow import EXTENSIONS, FORMAT, MIME, ZERO_DELAYS, JxlImageFile

__all__ = ["JxlImageFile", "FORMAT", "MIME", "EXTENSIONS", "ZERO_DELAYS"]
