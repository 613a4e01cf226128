"""JxlReader construction: input kinds, checks in order, options, header facts."""

import io
import json
import os
import sys

import numpy as np
import pytest

import _streams as S
from conftest import conformance_file
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError

HEADER_TRUNCATED = "JxlDecoderProcessInput needs more input than was provided (truncated stream?)"


@pytest.fixture(scope="module")
def rgb():
    return S.still(48, 64, 3)


# ---- input kinds -------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda b, p: b,
        lambda b, p: bytearray(b),
        lambda b, p: memoryview(b),
        lambda b, p: np.frombuffer(b, np.uint8),
        lambda b, p: str(p),
        lambda b, p: p,
        lambda b, p: io.BytesIO(b),
        lambda b, p: open(p, "rb"),
    ],
    ids=["bytes", "bytearray", "memoryview", "uint8-array", "str-path", "pathlike", "BytesIO",
         "file"],
)
@pytest.mark.parametrize("streaming", [False, True])
def test_every_input_kind_decodes_the_same_pixels(make, streaming, rgb, tmp_path):
    p = tmp_path / "x.jxl"
    p.write_bytes(rgb)
    src = make(rgb, p)
    try:
        with _jxl.JxlReader(src, streaming=streaming) as r:
            assert not r._streaming  # small inputs are never streamed
            np.testing.assert_array_equal(r.read(), S.image(48, 64, 3))
    finally:
        if hasattr(src, "close"):
            src.close()


def test_bytes_holding_a_path_name_is_data_not_a_path(rgb, tmp_path):
    p = tmp_path / "x.jxl"
    p.write_bytes(rgb)
    with pytest.raises(ValueError, match="^jxl: not a JPEG XL stream$"):
        _jxl.JxlReader(str(p).encode())


def test_bytes_input_is_used_in_place_and_released_on_close(rgb):
    data = bytes(rgb)
    before = sys.getrefcount(data)
    r = _jxl.JxlReader(data)
    assert sys.getrefcount(data) > before
    r.close()
    assert sys.getrefcount(data) == before


def test_bytearray_cannot_be_resized_under_an_open_reader(rgb):
    buf = bytearray(rgb)
    r = _jxl.JxlReader(buf)
    with pytest.raises(BufferError):
        buf.extend(b"\0" * 4096)
    with pytest.raises(BufferError):
        del buf[:10]
    np.testing.assert_array_equal(r.read(), S.image(48, 64, 3))
    r.close()
    buf.extend(b"\0")  # the export went with close()


def test_file_like_is_read_once_and_left_open(rgb):
    class Once(io.BytesIO):
        reads = 0

        def read(self, *a):
            Once.reads += 1
            return super().read(*a)

    f = Once(rgb)
    with _jxl.JxlReader(f) as r:
        assert r.frame_shape == (48, 64, 3)
    assert Once.reads == 1 and not f.closed


# ---- checks, in order ----------------------------------------------------------


@pytest.mark.parametrize("data", [b"", None, bytearray(), np.zeros(0, np.uint8), io.BytesIO()])
def test_empty_input(data):
    with pytest.raises(ValueError, match="^jxl: empty input$"):
        _jxl.JxlReader(data)


def test_empty_input_is_reported_before_bad_options():
    with pytest.raises(ValueError, match="^jxl: empty input$"):
        _jxl.JxlReader(b"", downsample=3, subsample="middle", numthreads="x")


def test_bad_signature_is_reported_before_bad_options():
    with pytest.raises(ValueError, match="^jxl: not a JPEG XL stream$"):
        _jxl.JxlReader(b"\x89PNG\r\n\x1a\n" + bytes(64), downsample=3)


CONTAINER_SIG = bytes([0, 0, 0, 0x0C, 0x4A, 0x58, 0x4C, 0x20, 0x0D, 0x0A, 0x87, 0x0A])


@pytest.mark.parametrize(
    "data", [b"\xff", CONTAINER_SIG[:11], b"GIF89a" + bytes(20), b"\x00" * 100],
    ids=["one-byte", "container-sig-cut", "gif", "zeros"])
def test_not_jpeg_xl(data):
    with pytest.raises(ValueError, match="^jxl: not a JPEG XL stream$"):
        _jxl.JxlReader(data)


@pytest.mark.parametrize("data", [b"\xff\x0a", CONTAINER_SIG], ids=["codestream", "container"])
def test_signature_alone_fails_in_the_header(data):
    with pytest.raises(JxlError) as e:
        _jxl.JxlReader(data)
    assert str(e.value) == HEADER_TRUNCATED


def test_corrupt_header_raises_jxl_error(rgb):
    bad = rgb[:2] + b"\xff" * 30
    with pytest.raises(JxlError):
        _jxl.JxlReader(bad).read()


@pytest.mark.parametrize(
    "data, exc",
    [("no-such-file.jxl", FileNotFoundError), (5, TypeError),
     (np.zeros((2, 8), np.uint8), ValueError), (np.zeros(8, np.uint16), ValueError),
     ([0xFF, 0x0A], TypeError)],
    ids=["missing-path", "int", "2d-array", "uint16-array", "list"])
def test_unusable_inputs(data, exc):
    with pytest.raises(exc):
        _jxl.JxlReader(data)


@pytest.mark.parametrize("call", [
    lambda b: _jxl.JxlReader(b, 4),
    lambda b: _jxl.JxlReader(b, numthread=2),
    lambda b: _jxl.JxlReader(),
])
def test_argument_errors(call, rgb):
    with pytest.raises(TypeError):
        call(rgb)


def test_data_by_keyword(rgb):
    assert _jxl.JxlReader(data=rgb).frame_shape == (48, 64, 3)


@pytest.mark.parametrize("value, stored", [(1, 1), (2.0, 2), ("8", 8), (4, 4), (True, 1)])
def test_downsample_accepts_what_int_accepts(value, stored, rgb):
    out = _jxl.JxlReader(rgb, downsample=value).read()
    assert out.shape == (-(-48 // stored), -(-64 // stored), 3)


@pytest.mark.parametrize("value, shown", [(3, "3"), (0, "0"), (16, "16"), (-8, "-8"),
                                          (2**70, str(2**70)), (9.5, "9")])
def test_downsample_error_names_the_value(value, shown, rgb):
    msg = (f"jxl: downsample must be 1, 2, 4, or 8 (got {shown}). libjxl's native progressive "
           "decoder only supports these ratios via JxlDecoderGetIntendedDownsamplingRatio.")
    with pytest.raises(ValueError) as e:
        _jxl.JxlReader(rgb, downsample=value)
    assert str(e.value) == msg


def test_downsample_that_int_refuses(rgb):
    with pytest.raises(ValueError, match="invalid literal"):
        _jxl.JxlReader(rgb, downsample="two")
    with pytest.raises(TypeError):
        _jxl.JxlReader(rgb, downsample=None)


@pytest.mark.parametrize("value, offset", [("top-left", 0), ("center", 1)])
def test_subsample_modes(value, offset, rgb):
    out = _jxl.JxlReader(rgb, subsample=value, downsample=2).read()
    np.testing.assert_array_equal(out, S.image(48, 64, 3)[offset::2, offset::2])


@pytest.mark.parametrize("value", ["centre", "Center", b"center", None, 1])
def test_subsample_error_shows_repr(value, rgb):
    with pytest.raises(ValueError) as e:
        _jxl.JxlReader(rgb, subsample=value)
    assert str(e.value) == f"jxl: subsample must be 'top-left' or 'center' (got {value!r})."


@pytest.mark.parametrize("n", [None, 0, -4, 1, 3, 10**6])
def test_numthreads(n, rgb):
    # <= 0 or None: libjxl's default count; absurd counts are capped.
    np.testing.assert_array_equal(_jxl.JxlReader(rgb, numthreads=n).read(), S.image(48, 64, 3))


@pytest.mark.parametrize("bad", ["2", 1.5, object()])
def test_numthreads_type_errors(bad, rgb):
    with pytest.raises(TypeError):
        _jxl.JxlReader(rgb, numthreads=bad)


def test_flags_are_taken_by_truth():
    r = _jxl.JxlReader(S.oriented(6), keep_orientation=[1], coalesce="", parse_color=0)
    assert r.frame_shape == (32, 48, 3) and r.color is None
    assert _jxl.JxlReader(S.oriented(6), keep_orientation="").frame_shape == (48, 32, 3)


# ---- header facts ------------------------------------------------------------------


@pytest.mark.parametrize(
    "c, dtype, maxval, shape_tail, out_dtype",
    [
        (1, np.uint8, None, (), np.uint8),
        (2, np.uint8, None, (2,), np.uint8),
        (3, np.uint8, None, (3,), np.uint8),
        (4, np.uint8, None, (4,), np.uint8),
        (1, np.uint16, None, (), np.uint16),
        (4, np.uint16, None, (4,), np.uint16),
        (3, np.uint16, 1023, (3,), np.uint16),
        (1, np.uint16, 4095, (), np.uint16),
        (3, np.float32, None, (3,), np.float32),
        (1, np.float32, None, (), np.float32),
    ],
    ids=["L8", "LA8", "RGB8", "RGBA8", "L16", "RGBA16", "RGB10", "L12", "RGBf", "Lf"])
def test_layouts_and_sample_types(c, dtype, maxval, shape_tail, out_dtype):
    data = S.still(24, 40, c, dtype, S.LOSSLESS, 0, maxval)
    r = _jxl.JxlReader(data)
    assert r.frame_shape == (24, 40) + shape_tail
    assert r.dtype is out_dtype
    assert (r.xsize, r.ysize, r.samples) == (40, 24, 1 if c == 1 else c)
    assert r.is_animation is False and r.n_frames is None
    frame = r.read()
    assert frame.shape == r.frame_shape and frame.dtype == out_dtype
    # Integer output keeps the stream's own range.
    np.testing.assert_array_equal(frame, S.image(24, 40, c, dtype, 0, maxval))
    if maxval is not None:
        assert frame.max() <= maxval


def test_float16_stream():
    if not hasattr(_jxl, "encode"):
        pytest.skip("encoder not built")
    img = S.image(24, 40, 4, np.float32).astype(np.float16)
    r = _jxl.JxlReader(_jxl.encode(img, lossless=True))
    assert r.dtype is np.float16 and r.frame_shape == (24, 40, 4)
    np.testing.assert_array_equal(r.read(), img)


def test_parse_color_false_stops_at_basic_info(rgb):
    r = _jxl.JxlReader(rgb, parse_color=False)
    assert r.color is None and r.frame_shape == (48, 64, 3)


def test_animation_flag():
    r = _jxl.JxlReader(S.animation(3, 24, 32))
    assert r.is_animation is True and r.n_frames is None and r.frame_shape == (24, 32, 3)


@pytest.mark.parametrize("name", ["alpha_triangles", "sunset_logo", "lossless_pfm", "grayscale",
                                  "bicycles", "animation_spline", "lz77_flower", "delta_palette",
                                  "progressive"])
def test_conformance_headers(name):
    path = conformance_file(name)
    facts = json.loads((path.parent / "test.json").read_text())
    r = _jxl.JxlReader(path)
    bi = r.basic_info
    assert bi["bits_per_sample"] == facts["bits_per_sample"][0]
    assert bi["exponent_bits_per_sample"] == facts["exp_bits_per_sample"][0]
    assert bi["num_extra_channels"] == len(facts["extra_channel_type"])
    assert bi["alpha_bits"] != 0 if "Alpha" in facts["extra_channel_type"] else bi["alpha_bits"] == 0
    assert bi["intensity_target"] == facts["intensity_target"]
    assert bi["min_nits"] == facts["min_nits"]
    assert r.is_animation == (len(facts["frames"]) > 1)
    bits, exp = bi["bits_per_sample"], bi["exponent_bits_per_sample"]
    expect = np.float32 if exp else (np.uint8 if bits <= 8 else np.uint16)
    assert r.dtype is expect


@pytest.mark.parametrize("name, limit", [("alpha_triangles", 511), ("sunset_logo", 1023)])
def test_conformance_high_bit_depth_keeps_its_range(name, limit):
    frame = _jxl.JxlReader(conformance_file(name)).read()
    assert frame.dtype == np.uint16 and frame.shape[2] == 4
    assert frame.max() <= limit and frame.max() > limit // 2


def test_unsupported_layout_fails_in_the_constructor_and_names_the_way_out():
    for read in (_jxl.JxlReader, _jxl.decode):
        with pytest.raises(NotImplementedError) as e:
            read(conformance_file("cmyk_layers"))
        assert str(e.value) == (
            "jxl: unsupported channel layout (color=3, extra=2, alpha=True); "
            "v0.1 supports L, LA, RGB, RGBA only; to read the other channels too, pass "
            "extra_channels=True")
    assert _jxl.decode(conformance_file("cmyk_layers"), extra_channels=True).shape[2] == 5


# ---- streaming selection by size ------------------------------------------------

THRESHOLD = 4194304


@pytest.mark.parametrize("size, streamed", [(THRESHOLD, False), (THRESHOLD + 1, True)])
def test_path_streams_only_above_4_mib(size, streamed, rgb, tmp_path):
    # A bare codestream ends where its last frame ends; the padding is never read.
    p = tmp_path / "padded.jxl"
    p.write_bytes(rgb + bytes(size - len(rgb)))
    with _jxl.JxlReader(p, streaming=True) as r:
        assert r._streaming == streamed
        np.testing.assert_array_equal(r.read(), S.image(48, 64, 3))
    with _jxl.JxlReader(str(p)) as r:  # streaming off: always read whole
        assert not r._streaming


def test_unmeasurable_path_is_read_whole_and_open_reports_it(tmp_path):
    with pytest.raises(FileNotFoundError):
        _jxl.JxlReader(tmp_path / "missing.jxl", streaming=True)


class Seekable:
    """A file-like without fileno(): measured by seeking to the end and back."""

    def __init__(self, data):
        self._f = io.BytesIO(data)

    def read(self, n=-1):
        return self._f.read(n)

    def tell(self):
        return self._f.tell()

    def seek(self, pos, whence=0):
        return self._f.seek(pos, whence)


@pytest.mark.parametrize("cls", [io.BytesIO, Seekable])
@pytest.mark.parametrize("extra, streamed", [(0, False), (1, True)])
def test_file_like_size_probe(cls, extra, streamed, rgb):
    f = cls(rgb + bytes(THRESHOLD + extra - len(rgb)))
    f.seek(0)
    with _jxl.JxlReader(f, streaming=True) as r:
        assert r._streaming == streamed
        np.testing.assert_array_equal(r.read(), S.image(48, 64, 3))


def test_size_probe_restores_the_position(rgb):
    f = Seekable(b"junk" + rgb)
    f.seek(4)
    with _jxl.JxlReader(f, streaming=True) as r:  # small: read whole from position 4
        assert not r._streaming
        assert r.frame_shape == (48, 64, 3)


def test_file_like_without_any_size_is_read_whole(rgb):
    class ReadOnly:
        def __init__(self):
            self.calls = 0

        def read(self, n=-1):
            self.calls += 1
            return rgb

    f = ReadOnly()
    with _jxl.JxlReader(f, streaming=True) as r:
        assert not r._streaming and f.calls == 1


def test_fstat_size_is_used_for_real_files(rgb, tmp_path):
    p = tmp_path / "big.jxl"
    p.write_bytes(rgb + bytes(THRESHOLD))
    with open(p, "rb") as f, _jxl.JxlReader(f, streaming=True) as r:
        assert r._streaming
        assert r.read().shape == (48, 64, 3)


def test_probe_errors_other_than_oserror_propagate(rgb):
    class Broken(io.BytesIO):
        def fileno(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        _jxl.JxlReader(Broken(rgb), streaming=True)


def test_pathlike_objects_are_paths(rgb, tmp_path):
    class P(os.PathLike):
        def __fspath__(self):
            return str(tmp_path / "x.jxl")

    (tmp_path / "x.jxl").write_bytes(rgb)
    assert _jxl.JxlReader(P()).frame_shape == (48, 64, 3)
