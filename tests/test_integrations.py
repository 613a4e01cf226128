"""The integrations' older import paths and the libraries' entry points name
the objects of quillmarsh.integrations."""

import importlib
import importlib.metadata

import pytest

OLD_PATHS = [
    ("quillmarsh.pillow", "quillmarsh.integrations.pillow",
     ["JxlImageFile", "FORMAT", "MIME", "EXTENSIONS", "ZERO_DELAYS"]),
    ("quillmarsh.codecs.numcodecs", "quillmarsh.integrations.numcodecs",
     ["JpegXl", "CODEC_ID", "LAYOUTS", "check_chunk", "set_numthreads", "get_numthreads"]),
    ("quillmarsh.codecs.jxl_zarr", "quillmarsh.integrations.zarr", ["JpegXlCodec"]),
    ("quillmarsh.codecs.jxl_dask", "quillmarsh.integrations.dask", ["to_dask"]),
    ("quillmarsh.codecs.jxl_header", "quillmarsh.integrations.header",
     ["read_header", "reduced_shape", "fit_to_shape"]),
]


@pytest.mark.parametrize("old, new, names", OLD_PATHS, ids=[p[0] for p in OLD_PATHS])
def test_older_import_paths_name_the_same_objects(old, new, names):
    pytest.importorskip({"quillmarsh.pillow": "PIL"}.get(old, "numcodecs"))
    if "zarr" in old:
        pytest.importorskip("zarr")
    old_mod, new_mod = importlib.import_module(old), importlib.import_module(new)
    for name in names:
        assert getattr(old_mod, name) is getattr(new_mod, name), name
    assert sorted(old_mod.__all__) == sorted(names)


def test_entry_points_load_the_codecs():
    """Whether the installed metadata names the older paths or the new ones,
    the codec id a store holds resolves to these classes."""
    pytest.importorskip("zarr")
    from quillmarsh.integrations.numcodecs import JpegXl
    from quillmarsh.integrations.zarr import JpegXlCodec

    for group, cls in (("numcodecs.codecs", JpegXl), ("zarr.codecs", JpegXlCodec)):
        found = importlib.metadata.entry_points(group=group).select(name="quillmarsh_jxl")
        if not found:
            pytest.skip("quillmarsh is not installed: no entry points to load")
        (entry,) = found
        assert entry.load() is cls


def test_pillow_format_registered_by_either_path():
    Image = pytest.importorskip("PIL.Image")
    import quillmarsh.pillow  # noqa: F401
    from quillmarsh.integrations.pillow import JxlImageFile

    assert Image.OPEN["JXL"][0] is JxlImageFile
    assert Image.SAVE["JXL"].__module__ == "quillmarsh.integrations.pillow"
    assert Image.registered_extensions()[".jxl"] == "JXL"
