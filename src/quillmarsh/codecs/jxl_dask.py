"""``to_dask``'s first import path; it is :mod:`quillmarsh.integrations.dask`
(and ``jxl.to_dask``)."""

from quillmarsh.integrations.dask import to_dask

__all__ = ["to_dask"]
