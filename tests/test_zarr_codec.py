"""JPEG XL chunks through numcodecs and Zarr (formats 2 and 3), read back with Dask."""

import json

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")
da = pytest.importorskip("dask.array")

from conftest import conformance_file  # noqa: E402
from quillmarsh.codecs import jxl  # noqa: E402
from quillmarsh.integrations import numcodecs as codec_module  # noqa: E402
from quillmarsh.integrations.numcodecs import JpegXl  # noqa: E402
from quillmarsh.integrations.zarr import JpegXlCodec  # noqa: E402


def _mri_volume():
    """nibabel's example MRI volume (real 16-bit data), (Z, Y, X) uint16."""
    nibabel = pytest.importorskip("nibabel")
    from pathlib import Path

    path = Path(nibabel.__file__).parent / "tests" / "data" / "example4d.nii.gz"
    vol = np.asarray(nibabel.load(path).dataobj)[..., 0]  # (X, Y, Z) int16, 0 and up
    return np.ascontiguousarray(np.moveaxis(vol, 2, 0)).astype(np.uint16)


def _noisy(rng, shape, dtype):
    if np.dtype(dtype).kind == "f":
        return (rng.random(shape, dtype=np.float32) * 0.99 + 0.01).astype(dtype)
    top = np.iinfo(dtype).max
    return rng.integers(0, top, shape, endpoint=True).astype(dtype)


@pytest.mark.parametrize("layout", ["frames", "strip"])
def test_float16_stack_keeps_every_finite_value(layout):
    # libjxl alters magnitudes of 2**-15 to 2**-14 except in still images:
    # a stack holding them is stored as a strip whatever the layout.
    bits = np.arange(0x10000, dtype=np.uint16)
    arr = bits[(bits & 0x7C00) != 0x7C00][: 4 * 96 * 160].view(np.float16).reshape(4, 96, 160)
    codec = JpegXl(layout=layout)
    out = np.empty_like(arr)
    codec.decode(codec.encode(arr), out=out)
    assert np.array_equal(out.view(np.uint16), arr.view(np.uint16))


@pytest.mark.parametrize(
    "shape, dtype",
    [
        ((40, 30), np.uint8),
        ((40, 30, 1), np.uint16),
        ((40, 30, 2), np.uint8),
        ((40, 30, 3), np.uint16),
        ((40, 30, 4), np.float32),
        ((5, 40, 30), np.uint16),       # Z as frames
        ((3, 40, 30, 3), np.uint8),
        ((1, 40, 30), np.float16),     # a single-frame stack
    ],
)
def test_codec_round_trip_is_lossless(rng, shape, dtype):
    arr = _noisy(rng, shape, dtype)
    codec = JpegXl()
    data = codec.encode(arr)
    assert jxl.check_signature(data)
    assert np.array_equal(codec.decode(data).reshape(shape), arr)
    out = np.empty_like(arr)
    assert codec.decode(data, out=out) is out
    assert np.array_equal(out, arr)
    # numcodecs passes raw bytes as well as arrays
    assert np.array_equal(codec.decode(memoryview(data)).reshape(shape), arr)


@pytest.mark.parametrize("dtype, errors", [
    ("uint16", [1, 4, 16]),
    (">u2", [4]),
    ("uint8", [1, 2.5]),
    ("float32", [0.01, 1.0, 100.0]),
    (">f4", [0.5]),
    ("float16", [0.5]),
])
def test_max_error_bounds_every_sample_and_saves_bytes(dtype, errors):
    mri = _mri_volume()
    if np.dtype(dtype).kind == "f":  # a range far from 0..1
        arr = (mri.astype(np.float64) * 0.4837 - 250).astype(dtype)
    else:
        arr = (mri >> (3 if np.dtype(dtype).itemsize == 1 else 0)).astype(dtype)
    lossless = JpegXl().encode(arr)
    assert JpegXl(max_error=0).encode(arr) == lossless
    sizes = []
    for bound in errors:
        data = JpegXl(max_error=bound).encode(arr)
        back = JpegXl().decode(data)  # the grid comes from the stream
        assert back.dtype == arr.dtype
        err = np.abs(back.astype(np.float64) - arr.astype(np.float64))
        assert 0 < err.max() <= bound
        sizes.append(len(data))
    assert sizes == sorted(sizes, reverse=True) and sizes[0] < len(lossless)


@pytest.mark.parametrize("arr", [
    np.array([[0.0, np.nan], [1.0, 2.0]], np.float32),              # not finite
    np.array([[-1e6, 1e6], [0.0, 3.0]], np.float32),                # range beyond 16-bit indices
    np.array([[7, 9], [65535, 0]], np.uint16),                      # no integer step below the bound
])
def test_max_error_falls_back_to_lossless(arr):
    data = JpegXl(max_error=0.9).encode(arr)
    assert data == JpegXl().encode(arr)
    assert JpegXl().decode(data).tobytes() == arr.tobytes()


def test_lossy_distance_is_smaller_and_close(rng):
    y, x = np.mgrid[0:256, 0:256]
    smooth = (np.sin(x / 17.0) * np.cos(y / 23.0) * 20000 + 30000).astype(np.uint16)
    smooth += rng.integers(0, 64, smooth.shape, dtype=np.uint16)
    lossless = JpegXl().encode(smooth)
    lossy_codec = JpegXl(distance=2.0, effort=3)
    lossy = lossy_codec.encode(smooth)
    assert len(lossy) < len(lossless) / 2
    back = lossy_codec.decode(lossy).astype(np.float64)
    assert not np.array_equal(back, smooth)
    assert np.abs(back - smooth).mean() < 0.01 * 65535


_DEFAULT_CONFIG = {"id": "quillmarsh_jxl", "distance": None, "effort": None, "layout": "frames",
                   "bitspersample": None, "usecontainer": False, "transfer": None, "max_error": None}


@pytest.mark.parametrize("options", [
    {"distance": 1.5, "effort": 3},
    {"layout": "strip", "bitspersample": 12, "usecontainer": True, "transfer": "srgb", "max_error": 2.0},
])
def test_config_round_trips_through_registry(options):
    codec = JpegXl(numthreads=4, **options)
    config = codec.get_config()
    # every parameter that changes the bytes, explicitly; threads are the
    # process's, not the data's: never stored
    assert config == {**_DEFAULT_CONFIG, **options}
    # the id resolves through numcodecs' registry, as Zarr does when it opens a store
    again = numcodecs.get_codec(json.loads(json.dumps(config)))
    assert isinstance(again, JpegXl) and again.get_config() == config
    # configs stored before threads left the metadata, or before the newer
    # parameters, still load
    assert numcodecs.get_codec({**config, "numthreads": 8}).get_config() == config
    old = {"id": "quillmarsh_jxl", "distance": None, "effort": 3}
    assert numcodecs.get_codec(old).get_config() == {**_DEFAULT_CONFIG, "effort": 3}


@pytest.mark.parametrize("effort, stored", [(None, None), (-3, 1), (0, 1), (1, 1), (10, 10), (11, 10)])
def test_effort_is_clamped_as_the_encoder_does(effort, stored):
    codec = JpegXl(effort=effort)
    assert codec.get_config()["effort"] == stored
    assert JpegXlCodec(effort=effort).to_dict()["configuration"]["effort"] == stored
    arr = np.arange(24 * 24, dtype=np.uint16).reshape(24, 24)
    assert codec.encode(arr) == jxl.encode(arr, lossless=True, effort=effort, numthreads=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"distance": -1}, "distance must be 0 to 25"),
        ({"numthreads": -2}, "numthreads must be 0 or more"),
        ({"effort": "7"}, "effort must be a number"),
        ({"layout": "tiles"}, "layout must be one of"),
        ({"max_error": -1}, "max_error must be 0 or more"),
        ({"max_error": 2, "distance": 1}, "give max_error or distance, not both"),
        ({"bitspersample": 40}, "bitspersample must be 1 to 32"),
        ({"transfer": "gamma"}, "transfer must be one of"),
    ],
)
def test_bad_options_are_refused(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        JpegXl(**kwargs)
    with pytest.raises((ValueError, TypeError), match=message):
        JpegXlCodec(**kwargs)


def test_thread_count_is_a_process_setting(monkeypatch):
    seen = []
    for name in ("encode", "decode"):
        real = getattr(jxl, name)
        monkeypatch.setattr(jxl, name, lambda *a, _real=real, **k: seen.append(k["numthreads"]) or _real(*a, **k))
    arr = np.zeros((16, 16), np.uint8)
    previous = codec_module.set_numthreads(3)
    try:
        assert codec_module.get_numthreads() == 3
        JpegXl().decode(JpegXl().encode(arr))
        JpegXl(numthreads=2).decode(JpegXl(numthreads=2).encode(arr))  # this codec's own
        with pytest.raises(ValueError, match="numthreads must be 0 or more"):
            codec_module.set_numthreads(-1)
    finally:
        assert codec_module.set_numthreads(previous) == 3
    assert seen == [3, 3, 2, 2]


@pytest.mark.parametrize("value, expect", [
    (None, "1"), ("", "1"), ("4", "4"), (" auto ", "None"),
    ("-1", "ValueError: quillmarsh_jxl: QUILLMARSH_JXL_NUMTHREADS must be a number of threads"),
    ("many", "ValueError: quillmarsh_jxl: QUILLMARSH_JXL_NUMTHREADS must be a number of threads"),
])
def test_thread_count_from_the_environment(value, expect):
    import os
    import subprocess
    import sys

    env = {k: v for k, v in os.environ.items() if k != codec_module.THREADS_ENV}
    if value is not None:
        env[codec_module.THREADS_ENV] = value
    code = "from quillmarsh.integrations import numcodecs as m; print(m.get_numthreads())"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if expect.startswith("ValueError"):
        assert proc.returncode != 0 and expect in proc.stderr
    else:
        assert proc.returncode == 0 and proc.stdout.strip() == expect, proc.stderr


@pytest.mark.parametrize(
    "shape, dtype, message",
    [
        ((8, 8), np.int16, "data type int16 cannot be stored"),
        ((8, 8), np.float64, "data type float64 cannot be stored"),
        ((8,), np.uint8, "1 dimensions"),
        ((2, 2, 8, 8, 3), np.uint8, "5 dimensions"),
        ((2, 8, 8, 260), np.uint8, "260 samples per pixel; JPEG XL holds at most 259"),
        ((8, 8), np.uint8, "bitspersample must be 1 to 8 for uint8, got 20"),
        ((8, 8), np.float32, "bitspersample must be 32 for float32, got 20"),
    ],
)
def test_unsupported_chunks_are_refused(shape, dtype, message):
    codec = JpegXl(bitspersample=20) if "bitspersample" in message else JpegXl()
    with pytest.raises(ValueError, match=message):
        codec.encode(np.zeros(shape, dtype))


@pytest.mark.parametrize("layout, effort", [("frames", 2), ("strip", 2), ("strip", 7)])
def test_strip_layout_is_one_image_read_back_like_frames(rng, layout, effort):
    stack = _noisy(rng, (6, 24, 40), np.uint16)
    data = JpegXl(layout=layout, effort=effort).encode(stack)
    assert jxl.frame_count(data) == (6 if layout == "frames" else 1)
    # decoding needs no option: any codec instance reads either layout
    out = np.empty_like(stack)
    JpegXl().decode(data, out=out)
    assert np.array_equal(out, stack)
    assert np.array_equal(JpegXl().decode(data).reshape(stack.shape), stack)


def _stream(kind, rng):
    good = jxl.encode(_noisy(rng, (32, 32, 3), np.uint8))
    if kind == "not jxl":
        return b"\x78\x9c" + bytes(100), "chunk is not a JPEG XL stream"
    if kind == "truncated":
        return good[: len(good) // 2], "cannot decode chunk: .*truncated"
    if kind == "damaged":
        bad = bytearray(good)
        bad[20:60] = bytes(40)
        return bytes(bad), "cannot decode chunk"
    if kind == "bad grid":  # a float chunk's grid box with a step of 0
        data = JpegXl(max_error=0.5).encode(_noisy(rng, (32, 32), np.float32) * 100)
        at = data.rindex(b"qmqg") + 4 + 8
        return data[:at] + bytes(8) + data[at + 8:], "cannot decode chunk: grid box holds offset"
    # valid JPEG XL of a kind no chunk of this codec has (CMYK with layers)
    return (conformance_file("cmyk_layers").read_bytes(),
            "chunk holds a JPEG XL image this codec does not read back: .*unsupported channel layout")


@pytest.mark.parametrize("kind, out_size", [
    ("not jxl", None), ("truncated", None), ("damaged", None), ("cmyk", None), ("bad grid", None),
    ("not jxl", 1 << 20), ("truncated", 1 << 20), ("damaged", 1 << 20), ("cmyk", 1 << 20),
    ("cmyk", 768),  # smaller than the image: its layout is still what is named
])
def test_undecodable_chunks_give_clear_value_errors(rng, kind, out_size):
    data, message = _stream(kind, rng)
    out = None if out_size is None else np.empty(out_size, np.uint8)
    with pytest.raises(ValueError, match=message):
        JpegXl().decode(data, out=out)


def test_chunk_of_another_sample_type_is_refused(rng):
    data = JpegXl().encode(_noisy(rng, (16, 16), np.float16))
    with pytest.raises(ValueError, match="decodes to float16 samples, the output buffer is uint16"):
        JpegXl().decode(data, out=np.empty((16, 16), np.uint16))
    raw = np.empty(16 * 16 * 2, np.uint8)       # untyped bytes take any type
    JpegXl().decode(data, out=raw)
    assert np.array_equal(raw.view(np.float16).reshape(16, 16), JpegXl().decode(data))


@pytest.mark.parametrize("shape", [(16, 15, 3), (100,), (2, 16, 16, 3)])
def test_out_of_the_wrong_size_is_refused_naming_its_size(rng, shape):
    data = JpegXl().encode(_noisy(rng, (16, 16, 3), np.uint8))
    out = np.empty(shape, np.uint8)
    # (100,) holds fewer samples than one frame: refused from the header alone
    with pytest.raises(ValueError, match=rf"output buffer holds {out.nbytes} bytes.*768 bytes") as err:
        JpegXl().decode(data, out=out)
    assert "bomb" not in str(err.value)


_ENDIAN = ["<u2", ">u2", ">f2", ">f4", "<f4", "u1"]


@pytest.mark.parametrize("dtype", _ENDIAN)
def test_either_byte_order_decodes_to_the_same_values_and_bytes(rng, dtype):
    arr = _noisy(rng, (2, 24, 20), np.dtype(dtype).newbyteorder("=")).astype(dtype)
    codec = JpegXl()
    data = codec.encode(arr)
    # the image holds the values, whatever the byte order they came in
    assert np.array_equal(jxl.decode(data), arr)
    dec = codec.decode(data)
    assert dec.dtype == arr.dtype and dec.tobytes() == arr.tobytes()
    for want in (arr.dtype, arr.dtype.newbyteorder("<"), arr.dtype.newbyteorder(">")):
        out = np.empty(arr.shape, want)
        codec.decode(data, out=out)
        assert np.array_equal(out, arr)
    raw = bytearray(arr.nbytes)  # untyped bytes: the chunk's own byte order
    codec.decode(data, out=raw)
    assert bytes(raw) == arr.tobytes()


@pytest.mark.parametrize("dtype", _ENDIAN)
@pytest.mark.parametrize("zarr_format", [2, 3])
def test_big_endian_arrays_in_zarr_stores(rng, tmp_path, dtype, zarr_format):
    arr = _noisy(rng, (64, 48), np.dtype(dtype).newbyteorder("=")).astype(dtype)
    kwargs = ({"compressors": JpegXl()} if zarr_format == 2
              else {"serializer": JpegXlCodec(), "compressors": None})
    path = str(tmp_path / "a.zarr")
    z = zarr.create_array(path, shape=arr.shape, chunks=(32, 32), dtype=dtype,
                          zarr_format=zarr_format, **kwargs)
    z[:] = arr
    back = zarr.open_array(path)[:]
    assert np.array_equal(back, arr)
    assert np.array_equal(zarr.open_array(path)[5:40, 30:], arr[5:40, 30:])


def test_numcodecs_conventions():
    from numcodecs.tests import common

    codec = JpegXl(distance=1.0, effort=3, layout="strip")
    common.check_config(codec)
    common.check_err_encode_object_buffer(codec)
    # numcodecs' own decode check encodes a 1-D int64 array, which is no
    # image: the same check with an image chunk.
    data = codec.encode(np.zeros((4, 4), np.uint8))
    with pytest.raises(TypeError):
        codec.decode(data, out=np.empty(16, dtype=object))


def test_stored_chunks_still_decode(monkeypatch):
    """Chunks written once (tests/data/fixture) decode to the same bytes now."""
    from pathlib import Path

    from numcodecs.tests import common

    monkeypatch.chdir(Path(__file__).parent / "data")
    rng = np.random.default_rng(25)
    arrays = [
        _noisy(rng, (24, 20), np.uint8),
        _noisy(rng, (24, 20, 3), np.uint16),
        _noisy(rng, (3, 24, 20), np.float16),
        _noisy(rng, (24, 20, 4), np.float32),
        _noisy(rng, (2, 24, 20), np.uint16).astype(">u2"),
        _noisy(rng, (24, 20), np.float32).astype(">f4"),
    ]
    codecs = [JpegXl(), JpegXl(layout="strip", effort=2)]
    common.check_backwards_compatibility(JpegXl.codec_id, arrays, codecs)
    # the parameters that came later: packed bits, the container, the tag
    packed = [arrays[1] >> 4, (arrays[4] >> 4).astype(">u2")]
    codecs = [JpegXl(bitspersample=12, usecontainer=True, transfer="srgb")]
    common.check_backwards_compatibility(JpegXl.codec_id, packed, codecs, prefix="packed")


def _store_stack(rng, path, zarr_format, layout="frames"):
    stack = _noisy(rng, (10, 70, 90), np.uint16)
    kwargs = (
        {"compressors": JpegXl(effort=3, layout=layout)}
        if zarr_format == 2
        else {"serializer": JpegXlCodec(effort=3, layout=layout), "compressors": None}
    )
    z = zarr.create_array(
        str(path), shape=stack.shape, chunks=(4, 32, 64), dtype="uint16",
        zarr_format=zarr_format, **kwargs,
    )
    z[:] = stack
    return stack


@pytest.mark.parametrize("zarr_format, layout", [(2, "frames"), (3, "frames"), (2, "strip"), (3, "strip")])
def test_uint16_stack_on_disk_read_back_with_dask(rng, tmp_path, zarr_format, layout):
    path = tmp_path / "stack.zarr"
    stack = _store_stack(rng, path, zarr_format, layout)
    # Every stored chunk (edge chunks too) is a JPEG XL stream.
    chunk_files = [p for p in path.rglob("*") if p.is_file() and not p.name.startswith((".z", "zarr.json"))]
    assert len(chunk_files) == 3 * 3 * 2
    assert all(jxl.check_signature(p.read_bytes()[:16]) for p in chunk_files)
    lazy = da.from_zarr(str(path))
    assert lazy.shape == stack.shape and lazy.dtype == np.uint16
    assert np.array_equal(lazy.compute(), stack)
    # a fresh process would find the codec by name: reopen from the metadata alone
    assert np.array_equal(zarr.open_array(str(path))[3:7, 10:50, 60:], stack[3:7, 10:50, 60:])


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_store_with_the_older_metadata_opens_in_a_fresh_process(rng, tmp_path, zarr_format):
    """A store written before the codec took the name "jpegxl" and its explicit
    configuration (a "quillmarsh_jxl" entry naming "numthreads") reads back,
    found through the entry points by a process that never imports
    quillmarsh itself."""
    import subprocess
    import sys

    path = tmp_path / "old.zarr"
    stack = _store_stack(rng, path, zarr_format)
    meta = path / (".zarray" if zarr_format == 2 else "zarr.json")
    doc = json.loads(meta.read_text())
    old = {"distance": None, "effort": 3, "numthreads": 1}
    if zarr_format == 2:
        assert doc["compressor"] == {**_DEFAULT_CONFIG, "effort": 3}
        doc["compressor"] = {"id": "quillmarsh_jxl", **old}
    else:
        (entry,) = [c for c in doc["codecs"] if c["name"] == "jpegxl"]
        entry.update(name="quillmarsh_jxl", configuration=old)
    meta.write_text(json.dumps(doc))
    assert np.array_equal(zarr.open_array(str(path))[:], stack)
    code = ("import sys, zarr, numpy as np; a = zarr.open_array(sys.argv[1])[:]; "
            "print(a.shape, int(a.astype(np.uint64).sum()))")
    proc = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["(10,", "70,", "90)", str(int(stack.astype(np.uint64).sum()))]


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_damaged_chunk_gives_clear_error(rng, tmp_path, zarr_format):
    path = tmp_path / "stack.zarr"
    _store_stack(rng, path, zarr_format)
    key = "0.0.0" if zarr_format == 2 else "c/0/0/0"
    (path / key).write_bytes(b"this chunk was written by something else")
    with pytest.raises(ValueError, match="chunk is not a JPEG XL stream"):
        zarr.open_array(str(path))[0:4, 0:32, 0:64]


@pytest.mark.parametrize(
    "dtype, chunks, message",
    [
        ("int32", (4, 32, 32), "data type int32 cannot be stored"),
        ("uint8", (2, 4, 32, 32, 3), "5 dimensions"),
        ("float64", (32, 32, 3), "data type float64"),
        ("uint8", (32, 32), "bitspersample must be 1 to 8 for uint8, got 12"),
        ("float16", (32, 32), "bitspersample must be 16 for float16, got 12"),
    ],
)
def test_format3_refuses_at_array_creation(tmp_path, dtype, chunks, message):
    path = tmp_path / "bad.zarr"
    shape = tuple(2 * c for c in chunks)
    codec = JpegXlCodec(bitspersample=12) if "bitspersample" in message else JpegXlCodec()
    with pytest.raises(ValueError, match=message):
        zarr.create_array(str(path), shape=shape, chunks=chunks, dtype=dtype,
                          serializer=codec, compressors=None)
    assert not path.exists() or not any(p.name.startswith("c") for p in path.iterdir())


@pytest.mark.parametrize("options, dtype, filled", [
    ({}, "uint16", {"distance": 0.0, "effort": 5, "layout": "frames", "bitspersample": 16,
                    "usecontainer": False, "transfer": "linear", "max_error": 0.0}),
    ({}, "uint8", {"bitspersample": 8, "transfer": "srgb"}),
    ({"distance": 1.0, "effort": 4, "layout": "strip", "transfer": "srgb"}, "float16",
     {"distance": 1.0, "effort": 4, "layout": "strip", "bitspersample": 16, "transfer": "srgb"}),
    ({"bitspersample": 12, "max_error": 3, "usecontainer": True}, ">u2",
     {"bitspersample": 12, "max_error": 3.0, "usecontainer": True, "transfer": "linear"}),
])
def test_format3_configuration_is_explicit_in_zarr_json(tmp_path, options, dtype, filled):
    """zarr.json names the codec "jpegxl" and records every parameter that
    changes the bytes, the data type's defaults filled in; no thread count."""
    path = tmp_path / "a.zarr"
    zarr.create_array(str(path), shape=(8, 8), chunks=(8, 8), dtype=dtype,
                      serializer=JpegXlCodec(numthreads=2, **options), compressors=None)
    (entry,) = json.loads((path / "zarr.json").read_text())["codecs"]
    assert entry["name"] == "jpegxl"
    config = entry["configuration"]
    assert set(config) == {"distance", "effort", "layout", "bitspersample", "usecontainer",
                           "transfer", "max_error"}
    assert {k: config[k] for k in filled} == filled
    assert JpegXlCodec.from_dict(entry).to_dict() == entry
    # the earlier name still reads; a key this codec does not know is refused
    assert JpegXlCodec.from_dict({**entry, "name": "quillmarsh_jxl"}).to_dict() == entry
    with pytest.raises(ValueError, match="unknown configuration keys"):
        JpegXlCodec.from_dict({"name": "jpegxl", "configuration": {"level": 3}})


def _pillow_array(pillow_images, name):
    from PIL import Image

    with Image.open(pillow_images / name) as im:
        arr = np.asarray(im)
    return arr.astype(np.uint16) if arr.dtype.kind == "i" else arr


def _case_array(pillow_images, rng, source, dtype):
    """Real images where there are some: Pillow's 12-bit, big-endian and
    16-bit test files; synthetic stacks for the other layouts."""
    if source.endswith((".tif", ".pgm")):
        arr = _pillow_array(pillow_images, source)
        return arr if dtype is None else arr.astype(dtype)
    shape = tuple(int(n) for n in source.split("x"))
    if np.dtype(dtype).kind == "f":
        y = np.linspace(-40.0, 90.0, int(np.prod(shape[1:])))  # beyond 0..1 and negative
        return (y.reshape(shape[1:]) + rng.normal(0, 3, shape)).astype(dtype)
    return _noisy(rng, shape, dtype)


_STORE_CASES = [
    # source, dtype, chunks, codec options
    ("12in16bit.tif", None, (64, 64), {"bitspersample": 12}),
    ("16bit.MM.cropped.tif", None, (32, 48), {}),                     # big-endian >u2
    ("hopper_16bit.pgm", None, (100, 128), {"max_error": 16}),
    ("3x40x30", "uint16", (2, 40, 30), {"bitspersample": 8}),     # 8-bit data in uint16
    ("2x40x30x4", ">u2", (2, 40, 30, 4), {"bitspersample": 6, "max_error": 2}),
    ("40x30x2", "uint8", (40, 30, 2), {"bitspersample": 5}),
    ("2x40x30x3", ">u2", (1, 40, 30, 3), {"max_error": 4}),
    ("2x40x30x6", "uint8", (2, 20, 30, 6), {}),                        # grey + 5 extra channels
    ("5x24x20", "float16", (5, 24, 20), {"layout": "strip"}),
    ("2x24x20x2", ">f4", (2, 24, 20, 2), {"max_error": 0.125}),
    ("40x30x4", "float32", (40, 30, 4), {"max_error": 0.05}),
]


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize("source, dtype, chunks, options", _STORE_CASES)
def test_arrays_read_back_through_zarr_and_dask(pillow_images, rng, tmp_path, zarr_format,
                                                source, dtype, chunks, options):
    arr = _case_array(pillow_images, rng, source, dtype)
    bits = options.get("bitspersample")
    if bits and int(arr.max()) >> bits:  # data of that many bits
        arr = arr >> (arr.dtype.itemsize * 8 - bits)
    kwargs = ({"compressors": JpegXl(**options)} if zarr_format == 2
              else {"serializer": JpegXlCodec(**options), "compressors": None})
    path = str(tmp_path / "a.zarr")
    z = zarr.create_array(path, shape=arr.shape, chunks=chunks, dtype=arr.dtype,
                          zarr_format=zarr_format, **kwargs)
    z[:] = arr
    bound = options.get("max_error", 0)
    for back in (zarr.open_array(path)[:], da.from_zarr(path).compute()):
        assert back.shape == arr.shape
        assert back.dtype.newbyteorder("=") == arr.dtype.newbyteorder("=")
        if bound:
            err = np.abs(back.astype(np.float64) - arr.astype(np.float64))
            assert err.max() <= bound
        else:
            assert np.array_equal(back, arr)
    if "bitspersample" in options:
        # the stream holds that many bits: no range expansion
        chunk = next(p for p in (tmp_path / "a.zarr").rglob("*")
                     if p.is_file() and jxl.check_signature(p.read_bytes()[:16]))
        with jxl.JxlReader(chunk.read_bytes()) as reader:
            assert reader.basic_info["bits_per_sample"] == options["bitspersample"]


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_values_above_bitspersample_are_refused_and_nothing_written(tmp_path, zarr_format):
    arr = np.full((16, 16), 4095, np.uint16)
    arr[3, 5] = 4096
    kwargs = ({"compressors": JpegXl(bitspersample=12)} if zarr_format == 2
              else {"serializer": JpegXlCodec(bitspersample=12), "compressors": None})
    path = tmp_path / "a.zarr"
    z = zarr.create_array(str(path), shape=arr.shape, chunks=arr.shape, dtype="uint16",
                          zarr_format=zarr_format, **kwargs)
    with pytest.raises(ValueError, match=r"holds the value 4096, which does not fit "
                                         r"bitspersample=12 \(0 to 4095\)"):
        z[:] = arr
    assert sorted(p.name for p in path.iterdir()) in ([".zarray", ".zattrs"], ["zarr.json"])
    assert np.array_equal(zarr.open_array(str(path))[:], np.zeros_like(arr))  # the fill value


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_decoding_uses_the_stream_not_the_configuration(rng, tmp_path, zarr_format):
    """Chunks written with one configuration read back the same when the
    stored configuration says something else (another writer's parameters)."""
    stack = _noisy(rng, (4, 30, 40), np.uint16) >> 4
    written = {"bitspersample": 12, "layout": "strip", "max_error": 2}
    kwargs = ({"compressors": JpegXl(**written)} if zarr_format == 2
              else {"serializer": JpegXlCodec(**written), "compressors": None})
    path = tmp_path / "a.zarr"
    z = zarr.create_array(str(path), shape=stack.shape, chunks=(2, 30, 40), dtype="uint16",
                          zarr_format=zarr_format, **kwargs)
    z[:] = stack
    before = zarr.open_array(str(path))[:]
    assert np.abs(before.astype(int) - stack).max() <= 2
    other = {"bitspersample": 16, "layout": "frames", "max_error": 0.0, "distance": 3.0,
             "usecontainer": True, "transfer": "srgb"}
    meta = path / (".zarray" if zarr_format == 2 else "zarr.json")
    doc = json.loads(meta.read_text())
    if zarr_format == 2:
        doc["compressor"].update(other)
    else:
        doc["codecs"][0]["configuration"].update(other)
    meta.write_text(json.dumps(doc))
    assert np.array_equal(zarr.open_array(str(path))[:], before)


_STORED = {  # name: the bound it was written with (0: lossless)
    "u8_yx": 0, "u16_12bit_zyx": 0, "u16_yxs": 0, "be_u16_zyxs": 0, "f16_strip_zyx": 0,
    "be_f32_bounded_yx": 0.01, "u16_bounded_zyx": 4, "u8_extra_zyxs": 0,
}


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize("name", sorted(_STORED))
def test_stored_stores_still_read_back(zarr_format, name):
    """Stores written once (tests/data/zarr, each layout and type, both
    formats) read back now: later changes cannot break stored data."""
    from pathlib import Path

    data = Path(__file__).parent / "data" / "zarr"
    expected = np.load(data / f"{name}.npy")
    path = str(data / f"v{zarr_format}" / f"{name}.zarr")
    z = zarr.open_array(path, mode="r")
    for back in (z[:], da.from_zarr(z).compute()):
        assert back.shape == expected.shape
        assert back.dtype.newbyteorder("=") == expected.dtype.newbyteorder("=")
        err = np.abs(back.astype(np.float64) - expected.astype(np.float64))
        assert err.max() <= _STORED[name]


def test_jpegxl_store_opens_in_a_fresh_process():
    """The codec's "jpegxl" entry point: a process that never imports
    quillmarsh reads a format 3 store."""
    import subprocess
    import sys
    from pathlib import Path

    data = Path(__file__).parent / "data" / "zarr"
    code = ("import sys, zarr, numpy as np; a = zarr.open_array(sys.argv[1])[:]; "
            "print(int(a.astype(np.uint64).sum()))")
    proc = subprocess.run([sys.executable, "-c", code, str(data / "v3" / "u16_12bit_zyx.zarr")],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) == int(np.load(data / "u16_12bit_zyx.npy").astype(np.uint64).sum())
