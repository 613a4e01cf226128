"""decode(): the one-call decoder over JxlReader."""

import gc
import os
import sys

import numpy as np
import pytest

import _streams as S
from conftest import skip_rss_bound_if_sanitized
import quillmarsh.core.io as qio
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError


@pytest.fixture(scope="module")
def rgb():
    return S.still(48, 64, 3)


@pytest.fixture(scope="module")
def anim():
    return S.animation(3, 24, 32)


@pytest.fixture(scope="module")
def anim_frames():
    return S.animation_frames(3, 24, 32)


def test_still_equals_the_reader_frame(rgb):
    out = _jxl.decode(rgb)
    assert out.shape == (48, 64, 3) and out.dtype == np.uint8
    np.testing.assert_array_equal(out, _jxl.JxlReader(rgb).read())
    np.testing.assert_array_equal(out, S.image(48, 64, 3))


def test_whole_animation_is_stacked(anim, anim_frames):
    out = _jxl.decode(anim)
    assert out.shape == (3, 24, 32, 3)
    np.testing.assert_array_equal(out, np.stack(anim_frames))


@pytest.mark.parametrize("index, frame", [(0, 0), (1, 1), (2, 2), (1.0, 1), (2.9, 2), ("1", 1),
                                          (np.int64(2), 2), (True, 1)])
def test_index_picks_one_frame(index, frame, anim, anim_frames):
    out = _jxl.decode(anim, index=index)
    assert out.shape == (24, 32, 3)
    np.testing.assert_array_equal(out, anim_frames[frame])


@pytest.mark.parametrize("index, shown", [(3, "3"), (50, "50"), (3.0, "3.0"), ("7", "7")])
def test_index_past_the_end(index, shown, anim):
    with pytest.raises(IndexError) as e:
        _jxl.decode(anim, index=index)
    assert str(e.value) == f"jxl: frame {shown} not found (stream too short?)"


def test_index_zero_of_a_still(rgb):
    np.testing.assert_array_equal(_jxl.decode(rgb, index=0), S.image(48, 64, 3))
    with pytest.raises(IndexError, match=r"^jxl: frame 1 not found \(stream too short\?\)$"):
        _jxl.decode(rgb, index=1)


@pytest.mark.parametrize("index, exc, msg", [
    (-1, IndexError, "jxl: index must be >= 0 (got -1)"),
    (-3.5, IndexError, "jxl: index must be >= 0 (got -3.5)"),
    (2**31, OverflowError, "jxl: index must fit in a signed 32-bit integer (got 2147483648)"),
    (-2**31 - 1, OverflowError,
     "jxl: index must fit in a signed 32-bit integer (got -2147483649)"),
    (2**80, OverflowError, f"jxl: index must fit in a signed 32-bit integer (got {2**80})"),
])
def test_bad_index_is_refused_before_the_input_is_opened(index, exc, msg, tmp_path):
    missing = tmp_path / "missing.jxl"  # opening it would raise FileNotFoundError
    with pytest.raises(exc) as e:
        _jxl.decode(missing, index=index)
    assert str(e.value) == msg


@pytest.mark.parametrize("index, exc", [("one", ValueError), ([1], TypeError), (1j, TypeError)])
def test_index_that_int_refuses(index, exc, tmp_path):
    with pytest.raises(exc):
        _jxl.decode(tmp_path / "missing.jxl", index=index)


def test_arguments(rgb):
    np.testing.assert_array_equal(_jxl.decode(data=rgb), S.image(48, 64, 3))
    with pytest.raises(TypeError):
        _jxl.decode(rgb, 4)
    with pytest.raises(TypeError):
        _jxl.decode(rgb, frame=1)


def test_options_reach_the_reader(rgb):
    with pytest.raises(ValueError, match="downsample must be 1, 2, 4, or 8"):
        _jxl.decode(rgb, downsample=3)
    with pytest.raises(ValueError, match="subsample must be 'top-left' or 'center'"):
        _jxl.decode(rgb, subsample="centre")
    out = _jxl.decode(S.oriented(6), keep_orientation=True)
    assert out.shape == (32, 48, 3)
    assert _jxl.decode(S.oriented(6), numthreads=1).shape == (48, 32, 3)
    with pytest.raises(ValueError, match="^jxl: the layers differ in size"):
        _jxl.decode(S.layered_animation(), coalesce=False)


@pytest.mark.parametrize("n", [2, 4, 8])
@pytest.mark.parametrize("index", [None, 0, 2])
def test_downsample_with_index(n, index, anim):
    full = _jxl.decode(anim)
    out = _jxl.decode(anim, downsample=n, index=index)
    want = full[:, ::n, ::n] if index is None else full[index, ::n, ::n]
    np.testing.assert_array_equal(out, want)  # lossless: no progression point


def test_downsample_8_with_index_on_a_lossy_animation():
    data = S.animation(3, 320, 320, 3, S.LOSSY)
    frames = list(_jxl.JxlReader(data, downsample=8).iter_frames())
    out = _jxl.decode(data, downsample=8, index=2, subsample="center")
    assert out.shape == (40, 40, 3)
    centre = list(_jxl.JxlReader(data, downsample=8, subsample="center").iter_frames())
    np.testing.assert_array_equal(out, centre[2])
    assert not np.array_equal(out, frames[0])


def test_inputs(rgb, tmp_path):
    p = tmp_path / "x.jxl"
    p.write_bytes(rgb)
    for src in (p, str(p), bytearray(rgb), memoryview(rgb), open(p, "rb")):
        np.testing.assert_array_equal(_jxl.decode(src), S.image(48, 64, 3))
        if hasattr(src, "close"):
            src.close()


@pytest.mark.parametrize("data, exc, msg", [
    (b"", ValueError, "jxl: empty input"),
    (b"\x89PNG\r\n\x1a\n", ValueError, "jxl: not a JPEG XL stream"),
    (b"\xff\x0a", JxlError,
     "JxlDecoderProcessInput needs more input than was provided (truncated stream?)"),
])
def test_bad_input(data, exc, msg):
    with pytest.raises(exc) as e:
        _jxl.decode(data)
    assert str(e.value) == msg


def test_truncated_and_unsupported(rgb):
    with pytest.raises(JxlError, match=r"^JxlDecoderProcessInput needs more input \(truncated"):
        _jxl.decode(rgb[: len(rgb) // 2])
    from conftest import conformance_file

    with pytest.raises(NotImplementedError, match="unsupported channel layout"):
        _jxl.decode(conformance_file("cmyk_layers"))


@pytest.fixture(scope="module")
def grid():
    y, x = np.mgrid[0:512, 0:640]
    return np.stack([x % 256, y % 256, (x + y) % 256], axis=-1).astype(np.uint8)


@pytest.mark.parametrize("options", [{"lossless": True, "effort": 1}, {"distance": 1.0}],
                         ids=["lossless", "lossy"])
@pytest.mark.parametrize("downsample", [1, 2])
def test_allow_partial_gives_what_libjxl_decoded_before_the_cut(grid, options, downsample):
    data = _jxl.encode(grid, **options)
    whole = _jxl.decode(data, downsample=downsample)
    with _jxl.JxlReader(data, allow_partial=True, downsample=downsample) as r:
        np.testing.assert_array_equal(r.read(), whole)
        assert not r.truncated
    with _jxl.JxlReader(data[: len(data) * 3 // 4], allow_partial=True,
                        downsample=downsample) as r:
        part = r.read()
        assert r.truncated and part.shape == whole.shape
        assert list(r.iter_frames()) == []  # nothing follows a cut frame
    same = (part == whole).all(axis=-1).mean()
    if "lossless" in options:  # whole groups decoded exactly, the rest not
        assert 0.25 <= same < 1.0
    else:  # the passes so far: close to the whole image everywhere
        assert np.abs(part.astype(int) - whole).mean() < 8
    with pytest.raises(JxlError, match="truncated"):
        _jxl.decode(data[: len(data) * 3 // 4], downsample=downsample)
    with pytest.raises(JxlError, match="truncated"):  # not even the header
        _jxl.decode(data[:30], allow_partial=True)


def test_allow_partial_ends_an_animation_at_the_cut(anim):
    full = _jxl.decode(anim)
    cut = anim[: len(anim) - len(anim) // (2 * len(full))]  # into the last frame
    with _jxl.JxlReader(cut, allow_partial=True) as r:
        frames = list(r.iter_frames())
        assert r.truncated
    assert len(frames) in (len(full), len(full) - 1)
    for got, want in zip(frames[:-1], full):
        np.testing.assert_array_equal(got, want)


def test_decode_releases_the_input(rgb, anim):
    for data, kw in ((bytes(rgb), {}), (bytes(anim), {"index": 1}), (bytes(anim), {"index": 9})):
        before = sys.getrefcount(data)
        try:
            _jxl.decode(data, **kw)
        except IndexError:
            pass
        assert sys.getrefcount(data) == before


class RecordingChunks(qio.BackgroundChunkReader):
    made = []

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        RecordingChunks.made.append(self)


@pytest.mark.parametrize("index", [None, 0, 5])
def test_streamed_decode_closes_its_chunk_reader(index, monkeypatch, tmp_path):
    monkeypatch.setattr(qio, "BackgroundChunkReader", RecordingChunks)
    RecordingChunks.made = []
    data = S.still(48, 64, 3)
    p = tmp_path / "padded.jxl"
    p.write_bytes(data + bytes(5 << 20))
    try:
        out = _jxl.decode(p, streaming=True, index=index)
        assert out.shape == (48, 64, 3)
    except IndexError as e:
        assert index == 5 and str(e) == "jxl: frame 5 not found (stream too short?)"
    assert len(RecordingChunks.made) == 1 and RecordingChunks.made[0].closed


def test_threads_decoding_different_frames_at_once(anim, anim_frames):
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(3) as pool:
        out = list(pool.map(lambda i: _jxl.decode(anim, index=i, numthreads=1), [2, 0, 1] * 4))
    for i, f in zip([2, 0, 1] * 4, out):
        np.testing.assert_array_equal(f, anim_frames[i])


def rss_kib():
    with open(f"/proc/{os.getpid()}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    pytest.skip("no /proc")


def test_failing_and_succeeding_calls_do_not_leak(rgb, anim, tmp_path):
    p = tmp_path / "x.jxl"
    p.write_bytes(rgb)
    bad = [b"", b"\xff", b"\xff\x0a", rgb[: len(rgb) // 2], bytes(anim[:-30])]

    def round_():
        _jxl.decode(rgb, numthreads=1)
        _jxl.decode(anim, index=1, downsample=2, numthreads=1)
        _jxl.JxlReader(p, numthreads=1).close()
        for b in bad:
            try:
                _jxl.decode(b, numthreads=1)
            except (ValueError, JxlError):
                pass
        try:
            _jxl.JxlReader(rgb, downsample=5)
        except ValueError:
            pass

    for _ in range(100):  # warm-up: allocator pools, caches
        round_()
    gc.collect()
    start = rss_kib()
    for _ in range(400):
        round_()
    gc.collect()
    grown = rss_kib() - start
    skip_rss_bound_if_sanitized()
    assert grown < 4 * 1024, f"RSS grew by {grown} KiB"


# ---- real files against their reference renderings -----------------------------


def _reference(folder):
    from PIL import Image

    if (folder / "ref.apng").exists():
        im = Image.open(folder / "ref.apng")
        frames = []
        for i in range(im.n_frames):
            im.seek(i)
            frames.append(np.asarray(im.convert("RGB")))
        return np.stack(frames)
    return np.asarray(Image.open(folder / "ref.png"))


@pytest.mark.parametrize("name", ["alpha_triangles", "animation_spline", "bicycles",
                                  "delta_palette", "lz77_flower", "sunset_logo"])
def test_conformance_pixels_match_the_reference(name):
    import json

    from conftest import conformance_file

    path = conformance_file(name)
    facts = json.loads((path.parent / "test.json").read_text())
    got = _jxl.decode(path)
    ref = _reference(path.parent)
    assert got.shape == ref.shape
    if len(facts["frames"]) > 1:
        assert got.shape[0] == len(facts["frames"])
    top = 255.0 if got.dtype == np.uint8 else float(2 ** facts["bits_per_sample"][0] - 1)
    # The references are 8-bit PNGs: allow their quantisation on top of the
    # conformance tolerance.
    diff = np.abs(got / top - ref / 255.0).max()
    assert diff <= facts["frames"][0]["peak_error"] + 1 / 255 + 1e-6


def test_conformance_float_is_exact():
    from conftest import conformance_file

    path = conformance_file("lossless_pfm")
    head, dims, scale, body = (path.parent / "ref.pfm").read_bytes().split(b"\n", 3)
    w, h = map(int, dims.split())
    ref = np.frombuffer(body, "<f4" if float(scale) < 0 else ">f4").reshape(h, w, 3)[::-1]
    got = _jxl.decode(path)
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, ref)
