"""Image codecs of quillmarsh. ``from quillmarsh.codecs import jxl`` for JPEG XL."""
