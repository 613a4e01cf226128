"""The integrations' older import paths and the libraries' entry points name
the objects of quillmarsh.integrations."""

import importlib
import importlib.metadata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

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


@pytest.mark.parametrize("source", ["pyproject.toml", "installed"])
def test_entry_points_load_the_codecs(source):
    """The entry points this checkout declares and those of the installed
    metadata (which may name the older paths) load these classes under the
    codec id that stores hold."""
    pytest.importorskip("zarr")
    from quillmarsh.integrations.numcodecs import JpegXl
    from quillmarsh.integrations.zarr import JpegXlCodec

    if source == "installed":
        declared = {g: [(e.name, e.value) for e in importlib.metadata.entry_points(group=g)]
                    for g in ("numcodecs.codecs", "zarr.codecs")}
        if not any(declared.values()):
            pytest.skip("quillmarsh is not installed: no entry points to load")
    else:
        tomllib = pytest.importorskip("tomllib")
        table = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["entry-points"]
        declared = {g: list(table[g].items()) for g in ("numcodecs.codecs", "zarr.codecs")}
    for group, cls in (("numcodecs.codecs", JpegXl), ("zarr.codecs", JpegXlCodec)):
        ((name, value),) = [(n, v) for n, v in declared[group] if n == "quillmarsh_jxl"]
        assert importlib.metadata.EntryPoint(name, value, group).load() is cls


def test_pillow_format_registered_by_either_path():
    Image = pytest.importorskip("PIL.Image")
    import quillmarsh.pillow  # noqa: F401
    from quillmarsh.integrations.pillow import JxlImageFile

    assert Image.OPEN["JXL"][0] is JxlImageFile
    assert Image.SAVE["JXL"].__module__ == "quillmarsh.integrations.pillow"
    assert Image.registered_extensions()[".jxl"] == "JXL"


def test_integrations_use_the_public_codec():
    """Only integrations/_arrow.py reaches into the extension (Pillow's Arrow
    capsules); the rest import public modules and names alone."""
    import ast

    folder = ROOT / "src" / "quillmarsh" / "integrations"
    private = []
    for path in sorted(folder.glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("quillmarsh"):
                names = [node.module] + [f"{node.module}.{a.name}" for a in node.names]
            elif isinstance(node, ast.Import):
                names = [a.name for a in node.names if a.name.startswith("quillmarsh")]
            else:
                continue
            private += [(path.name, n) for n in names if any(p.startswith("_") for p in n.split("."))]
    assert private == [("_arrow.py", "quillmarsh.codecs._jxl"),
                       ("_arrow.py", "quillmarsh.codecs._jxl._arrow_pixels")]
