"""The header helpers' first import path; they are
:mod:`quillmarsh.integrations.header`."""

from quillmarsh.integrations.header import fit_to_shape, read_header, reduced_shape

__all__ = ["read_header", "reduced_shape", "fit_to_shape"]
