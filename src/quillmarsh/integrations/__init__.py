"""quillmarsh's JPEG XL codec inside other libraries.

Each module adapts the public codec (:mod:`quillmarsh.codecs.jxl`) to one
library and is imported on its own, so that the library stays optional:

=======================================  ==========================================
module                                   gives
=======================================  ==========================================
:mod:`quillmarsh.integrations.pillow`    the "JXL" format in Pillow (import registers it)
:mod:`quillmarsh.integrations.numcodecs` ``JpegXl``, a numcodecs codec (Zarr format 2)
:mod:`quillmarsh.integrations.zarr`      ``JpegXlCodec``, a Zarr format 3 array-to-bytes codec
:mod:`quillmarsh.integrations.dask`      ``to_dask``, lazy Dask arrays over files
                                         (also ``jxl.to_dask``)
:mod:`quillmarsh.integrations.header`    header-first reading shared by the lazy ones
=======================================  ==========================================

The older import paths (``quillmarsh.pillow``, ``quillmarsh.codecs.numcodecs``,
``quillmarsh.codecs.jxl_zarr``, ``quillmarsh.codecs.jxl_dask``,
``quillmarsh.codecs.jxl_header``) name the same objects.
"""
