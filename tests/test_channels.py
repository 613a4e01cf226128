"""Extra channels: N-channel arrays through the writer and the reader, the
channel facts of the header, spot colours and CMYK."""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from conftest import conformance_file

DTYPES = [np.uint8, np.uint16, np.float16, np.float32]


def sample(shape, dtype, seed=0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "u":
        return rng.integers(0, np.iinfo(dtype).max + 1, shape).astype(dtype)
    # Normal numbers only: libjxl 0.11's encoder does not keep float16
    # subnormals exactly at efforts above 1.
    a = rng.uniform(-4, 4, shape)
    return np.where(np.abs(a) < 1e-3, 1e-3, a).astype(dtype)


def read_pam(path: Path) -> np.ndarray:
    raw = path.read_bytes()
    head, body = raw.split(b"ENDHDR\n", 1)
    fields = dict(line.split(b" ", 1) for line in head.splitlines()[1:] if b" " in line)
    h, w, d = (int(fields[k]) for k in (b"HEIGHT", b"WIDTH", b"DEPTH"))
    dt = np.uint8 if int(fields[b"MAXVAL"]) < 256 else ">u2"
    return np.frombuffer(body, dt).reshape(h, w, d)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6, 7, 8, 16, 64])
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_lossless_round_trip_is_exact(dtype, n):
    arr = sample((12, 10, n), dtype, seed=n)
    data = jxl.encode(arr, lossless=True, effort=1)
    out = jxl.decode(data, extra_channels=True)
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(out.reshape(arr.shape), arr)
    with jxl.JxlReader(data, extra_channels=True) as r:
        assert len(r.channels) == n
        if n > 4:  # grey plus unnamed optional channels by default
            assert [c["type"] for c in r.channels] == ["color"] + ["optional"] * (n - 1)
            assert r.channels[1]["name"] == "channel 1"


def test_channel_list_mixed_depths_and_facts():
    arr = sample((9, 11, 8), np.uint16, seed=3)
    bits = [12, 12, 12, 12, 8, 10, 16, 1]
    arr = (arr >> (16 - np.array(bits, np.uint16))).astype(np.uint16)
    spec = [{"type": "color", "bits": 12}] * 3 + [
        {"type": "alpha", "bits": 12},
        {"type": "depth", "name": "z", "bits": 8},
        {"type": "thermal", "name": "temperature °C", "bits": 10},
        {"type": "spot_color", "name": "gold", "spot_color": (0.9, 0.7, 0.1, 1.0)},
        {"type": "selection_mask", "bits": 1},
    ]
    data = jxl.encode(arr, channels=spec, lossless=True, effort=1)
    with jxl.JxlReader(data, extra_channels=True) as r:
        facts = r.channels
        out = r.read()
    np.testing.assert_array_equal(out, arr)  # each channel keeps its own range
    assert [c["type"] for c in facts] == ["color"] * 3 + [
        "alpha", "depth", "thermal", "spot_color", "selection_mask"]
    assert [c["bits_per_sample"] for c in facts] == bits
    assert facts[5]["name"] == "temperature °C" and facts[4]["name"] == "z"
    assert facts[3]["alpha_premultiplied"] is False
    assert facts[6]["spot_color"] == pytest.approx((0.9, 0.7, 0.1, 1.0), abs=1e-3)

    scaled = jxl.decode(data, extra_channels=True, rescale=True)
    full = 2.0 ** np.array(bits) - 1
    np.testing.assert_allclose(scaled, np.round(arr / full * 65535), atol=1)


# An alpha of another depth than colour keeps its own range with
# extra_channels=True, so channels= writing and extra_channels=True reading
# round-trip exactly; rescale=True stretches it to the array's widest depth.
@pytest.mark.parametrize("ncolor", [1, 3])
@pytest.mark.parametrize("color_bits, alpha_bits", [(16, 8), (12, 10), (10, 16)])
def test_alpha_of_its_own_depth_keeps_its_range(ncolor, color_bits, alpha_bits):
    arr = sample((7, 9, ncolor + 1), np.uint16, seed=ncolor)
    bits = np.array([color_bits] * ncolor + [alpha_bits], np.uint16)
    arr = (arr >> (16 - bits)).astype(np.uint16)
    layout = [{"type": "color", "bits": color_bits}] * ncolor + [{"type": "alpha", "bits": alpha_bits}]
    data = jxl.encode(arr, channels=layout)
    np.testing.assert_array_equal(jxl.decode(data, extra_channels=True), arr)
    scaled = jxl.decode(data, extra_channels=True, rescale=True)
    full = 2.0 ** bits - 1
    np.testing.assert_allclose(scaled, np.round(arr / full * (2.0 ** bits.max() - 1)), atol=1)


def test_default_names_follow_colour_channels_and_float_arrays_hold_units():
    arr = sample((6, 7, 6), np.float32)
    data = jxl.encode(arr, color_channels=3, lossless=True, effort=1)
    with jxl.JxlReader(data, extra_channels=True) as r:
        assert [c["name"] for c in r.channels[3:]] == ["channel 3", "channel 4", "channel 5"]
        assert r.channels[0]["name"] == "R"
        np.testing.assert_array_equal(r.read(), arr)
    # Without extra_channels the stream is refused as before.
    with pytest.raises(NotImplementedError, match="unsupported channel layout"):
        jxl.decode(data)


def test_extra_channel_distance():
    arr = np.zeros((64, 64, 5), np.uint8)
    y, x = np.mgrid[0:64, 0:64]
    for c in range(5):
        arr[..., c] = (x * (c + 1) + y * 3) % 256
    exact = jxl.decode(jxl.encode(arr, distance=1.0, extra_channel_distance=0), extra_channels=True)
    np.testing.assert_array_equal(exact[..., 1:], arr[..., 1:])
    lossy = jxl.decode(jxl.encode(arr, distance=1.0, extra_channel_distance=[4, 4, 4, 4]),
                       extra_channels=True)
    assert not np.array_equal(lossy[..., 1:], arr[..., 1:])


@pytest.mark.parametrize(("kwargs", "exc", "match"), [
    ({"channels": ["color"] * 3}, ValueError, "channels lists 3 channels but the array has 5"),
    ({"channels": ["color", "colour", "alpha", "depth", "depth"]}, ValueError,
     "unknown channel type 'colour'"),
    ({"channels": ["color", {"type": "depth", "name": 7}, "depth", "depth", "depth"]},
     TypeError, "name must be text"),
    ({"channels": ["color", "color", "depth", "depth", "depth"]}, ValueError,
     "1 or 3 \"color\" entries"),
    ({"channels": ["color", "depth", "color", "depth", "depth"]}, ValueError,
     "colour channels must come first"),
    ({"channels": "color"}, TypeError, "list of channel type names"),
    ({"color_channels": 2}, ValueError, "color_channels must be 1 or 3"),
    ({"channels": [{"type": "color", "bits": 9}] + ["depth"] * 4}, ValueError, "bits must be 1..8"),
    ({"extra_channel_distance": [1, 2]}, ValueError, "lists 2 distances for 4 extra"),
])
def test_bad_channel_descriptions_write_nothing(tmp_path, kwargs, exc, match):
    dest = tmp_path / "out.jxl"
    with pytest.raises(exc, match=match):
        jxl.encode(np.zeros((4, 4, 5), np.uint8), dest=dest, distance=1.0, **kwargs)
    assert not dest.exists() or dest.read_bytes() == b""


def test_too_many_channels_are_refused():
    with pytest.raises(ValueError, match="too many"):
        jxl.encode(np.zeros((2, 2, 300), np.uint8))


def test_spot_colour_renders_like_djxl(djxl, tmp_path):
    base = np.zeros((16, 16, 4), np.uint8)
    base[..., :3] = 200
    base[..., 3] = np.linspace(0, 255, 16).astype(np.uint8)[None, :]
    spec = ["color"] * 3 + [{"type": "spot_color", "name": "red", "spot_color": (1, 0, 0, 1)}]
    data = jxl.encode(base, channels=spec, lossless=True, effort=1)
    with pytest.raises(NotImplementedError):
        jxl.decode(data)
    raw = jxl.decode(data, extra_channels=True)
    np.testing.assert_array_equal(raw, base)  # not rendered unless asked
    rendered = jxl.decode(data, render_spot_colors=True)
    assert rendered.shape == (16, 16, 3)
    (tmp_path / "s.jxl").write_bytes(data)
    subprocess.run([djxl, str(tmp_path / "s.jxl"), str(tmp_path / "s.ppm")], check=True,
                   capture_output=True)
    ref = read_pam_ppm(tmp_path / "s.ppm")
    np.testing.assert_array_equal(rendered, ref)
    assert rendered[0, -1, 0] > rendered[0, -1, 1]  # full spot: red


def read_pam_ppm(path: Path) -> np.ndarray:
    raw = path.read_bytes()
    parts = raw.split(b"\n", 3)
    w, h = map(int, parts[1].split())
    return np.frombuffer(parts[3], np.uint8).reshape(h, w, 3)


def test_cmyk_conformance_file(djxl, tmp_path):
    from PIL import Image

    src = conformance_file("cmyk_layers")
    ref = np.asarray(Image.open(src.parent / "ref.png")).astype(int)
    with jxl.JxlReader(src, extra_channels=True) as r:
        assert [c["type"] for c in r.channels] == ["color"] * 3 + ["black", "alpha"]
        every = r.read()
    subprocess.run([djxl, str(src), str(tmp_path / "x.pam"), "--output_extra_channels"],
                   check=True, capture_output=True)
    raw = read_pam(tmp_path / "x.pam")  # R, G, B, alpha, black
    np.testing.assert_array_equal(every, raw[..., [0, 1, 2, 4, 3]])

    with pytest.raises(NotImplementedError):
        jxl.decode(src)
    rgba = jxl.decode(src, output_color="srgb").astype(int)
    assert rgba.shape == ref.shape
    diff = np.abs(rgba - ref)
    assert diff.mean() < 1.0 and np.percentile(diff, 99.9) <= 3 and diff.max() <= 10


@pytest.mark.parametrize("suffix", [".npy", ".tif"])
def test_command_line_keeps_every_channel(tmp_path, suffix):
    import tifffile
    from test_cli import cli

    arr = sample((20, 24, 7), np.uint16, seed=7)
    src = tmp_path / f"in{suffix}"
    if suffix == ".npy":
        np.save(src, arr)
    else:
        tifffile.imwrite(src, arr, photometric="minisblack", planarconfig="contig")
    assert cli("encode", src.name, "x.jxl", cwd=tmp_path).returncode == 0
    info = cli("info", "x.jxl", cwd=tmp_path)
    assert "extra channels" in info.stdout and "optional 'channel 6'" in info.stdout
    out = tmp_path / f"out{suffix}"
    done = cli("decode", "--channels", "all", "x.jxl", out.name, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    back = np.load(out) if suffix == ".npy" else tifffile.imread(out)
    np.testing.assert_array_equal(back, arr)
    refused = cli("decode", "--channels", "all", "x.jxl", "out.png", cwd=tmp_path)
    assert refused.returncode == 1 and "writes .npy or .tif" in refused.stderr
    assert not (tmp_path / "out.png").exists()


OPAQUE_CASES = [
    # (colour channels, extra channel list, decode options)
    (1, None, {}),
    (3, None, {}),
    (3, None, {"downsample": 2}),
    (3, [{"type": "depth"}], {"extra_channels": True}),  # assembled from planes
    (3, None, {"output_color": "display-p3"}),  # converted colour
]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize(("ncolor", "extras", "options"), OPAQUE_CASES)
def test_opaque_alpha_follows_colour_at_full_scale(dtype, ncolor, extras, options):
    shape = (19, 23, ncolor + len(extras or []))
    arr = sample(shape, dtype, seed=ncolor)
    spec = None
    if extras:
        spec = [{"type": "color"}] * ncolor + extras
    data = jxl.encode(arr if shape[-1] > 1 else arr[..., 0], lossless=True, effort=1,
                      channels=spec)
    plain = jxl.decode(data, **options)
    padded = jxl.decode(data, opaque_alpha=True, **options)
    plain = plain.reshape(plain.shape[:2] + (-1,))
    with jxl.JxlReader(data, opaque_alpha=True, **options) as r:
        assert r.samples == padded.shape[-1]
    assert padded.dtype == plain.dtype and padded.shape[-1] == plain.shape[-1] + 1
    nc = 3 if "output_color" in options else ncolor
    np.testing.assert_array_equal(padded[..., :nc], plain[..., :nc])
    np.testing.assert_array_equal(padded[..., nc + 1:], plain[..., nc:])
    full = 1.0 if plain.dtype.kind == "f" else (255 if plain.dtype == np.uint8 else 65535)
    assert (padded[..., nc] == full).all()


def test_opaque_alpha_leaves_an_image_with_alpha_alone():
    arr = sample((8, 9, 4), np.uint8, seed=5)
    data = jxl.encode(arr, lossless=True, effort=1)
    np.testing.assert_array_equal(jxl.decode(data, opaque_alpha=True), arr)
