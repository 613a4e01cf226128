"""Downsampled decoding: the strided sampler, and downsample=8 through
libjxl's progression points (or the full-decode fall-back)."""

import numpy as np
import pytest

import _streams as S
from conftest import conformance_file
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError

FRAME_TRUNCATED = "JxlDecoderProcessInput needs more input (truncated stream?)"


def ceil_div(a, n):
    return -(-a // n)


def reference_indices(extent, n, centre):
    """Indices sampled along one axis: every n-th from 0, or from n//2 with the
    last sample repeated up to ceil(extent/n); a too-short axis takes its last index."""
    if not centre:
        return list(range(0, extent, n))
    picked = list(range(n // 2, extent, n)) or [extent - 1]
    return picked + [picked[-1]] * (ceil_div(extent, n) - len(picked))


# ---- _subsample_slice ----------------------------------------------------------


@pytest.fixture
def grid():
    """100 rows by 50 columns; each value encodes its own position."""
    y, x = np.mgrid[0:100, 0:50]
    return (y * 1000 + x).astype(np.int32)


def test_100_by_50_top_left(grid):
    out = _jxl._subsample_slice(grid, 8, 0)
    assert out.shape == (13, 7)
    assert list(out[:, 0] // 1000) == list(range(0, 100, 8))
    assert list(out[0] % 1000) == list(range(0, 50, 8))


def test_100_by_50_centre(grid):
    out = _jxl._subsample_slice(grid, 8, 1)
    assert out.shape == (13, 7)
    rows = list(range(4, 93, 8))
    cols = list(range(4, 45, 8))
    assert len(rows) == 12 and len(cols) == 6
    assert list(out[:, 0] // 1000) == rows + [92]  # last row repeated
    assert list(out[0] % 1000) == cols + [44]  # last column repeated
    np.testing.assert_array_equal(out[:12, :6], grid[4::8, 4::8])


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float16, np.float32])
@pytest.mark.parametrize("channels", [None, 2, 3, 4])
@pytest.mark.parametrize("mode", [0, 1])
def test_shapes_types_and_channels(dtype, channels, mode):
    shape = (37, 23) if channels is None else (37, 23, channels)
    arr = np.arange(np.prod(shape)).reshape(shape).astype(dtype)
    out = _jxl._subsample_slice(arr, 4, mode)
    assert out.dtype == dtype and out.ndim == arr.ndim
    assert out.shape[:2] == (10, 6) and out.shape[2:] == arr.shape[2:]
    rows, cols = reference_indices(37, 4, mode), reference_indices(23, 4, mode)
    np.testing.assert_array_equal(out, arr[np.ix_(rows, cols)])


@pytest.mark.parametrize("n", [2, 4, 8])
@pytest.mark.parametrize("mode", [0, 1])
def test_every_small_extent(n, mode):
    # Includes frames no larger than n/2, which have no centre sample.
    for h in range(1, 19):
        for w in (1, 2, 3, 4, 5, 9, 17):
            arr = np.arange(h * w, dtype=np.uint16).reshape(h, w)
            out = _jxl._subsample_slice(arr, n, mode)
            assert out.shape == (ceil_div(h, n), ceil_div(w, n)), (h, w)
            want = arr[np.ix_(reference_indices(h, n, mode), reference_indices(w, n, mode))]
            np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("mode", [0, 1])
@pytest.mark.parametrize("n", [1, 2, 8])
def test_always_a_new_array(mode, n):
    arr = np.arange(64 * 48 * 3, dtype=np.uint8).reshape(64, 48, 3)
    out = _jxl._subsample_slice(arr, n, mode)
    assert not np.shares_memory(out, arr) and out.flags.c_contiguous and out.flags.owndata
    out[...] = 0
    assert arr.any()


def test_strided_input(grid):
    view = grid[::-1, ::3]
    np.testing.assert_array_equal(_jxl._subsample_slice(view, 2, 0), view[::2, ::2])


@pytest.mark.parametrize("n", [0, -2])
def test_bad_ratio(n, grid):
    with pytest.raises(ValueError):
        _jxl._subsample_slice(grid, n, 0)


def test_bad_rank():
    with pytest.raises(ValueError):
        _jxl._subsample_slice(np.zeros(10), 2, 0)


# ---- downsample=8: streams without a progression point -----------------------------


@pytest.mark.parametrize("c, dtype", [
    (1, np.uint8), (2, np.uint8), (3, np.uint8), (4, np.uint8),
    (1, np.uint16), (2, np.uint16), (3, np.uint16), (4, np.uint16),
    (1, np.float32), (3, np.float32),
])
def test_lossless_falls_back_to_sampling_the_full_decode(c, dtype):
    data = S.still(100, 50, c, dtype)
    full = _jxl.JxlReader(data).read()
    out = _jxl.JxlReader(data, downsample=8).read()
    assert out.dtype == dtype and out.shape == (13, 7) + full.shape[2:]
    np.testing.assert_array_equal(out, full[::8, ::8])
    centre = _jxl.JxlReader(data, downsample=8, subsample="center").read()
    np.testing.assert_array_equal(centre, _jxl._subsample_slice(full, 8, 1))


def test_float16_falls_back():
    if not hasattr(_jxl, "encode"):
        pytest.skip("encoder not built")
    img = S.image(40, 30, 4, np.float32).astype(np.float16)
    data = _jxl.encode(img, lossless=True)
    out = _jxl.JxlReader(data, downsample=8).read()
    assert out.dtype == np.float16
    np.testing.assert_array_equal(out, img[::8, ::8])


@pytest.mark.parametrize("shape, args", [
    ((512, 512, 4), S.LOSSY),  # lossy with alpha
    ((256, 256, 3), S.LOSSY),  # one group, single pass
    ((512, 512, 3), ("-d", "0", "-e", "3", "--responsive=1")),  # lossless squeeze
], ids=["lossy-alpha", "lossy-one-group", "lossless-responsive"])
def test_streams_without_a_progression_point(shape, args):
    data = S.still(*shape, np.uint8, args)
    full = _jxl.JxlReader(data).read()
    np.testing.assert_array_equal(_jxl.JxlReader(data, downsample=8).read(), full[::8, ::8])


# ---- downsample=8: the progressive flush ---------------------------------------------


@pytest.mark.parametrize("shape, args", [
    ((264, 264, 3), S.LOSSY),  # more than one group
    ((300, 300, 1), S.LOSSY),
    ((64, 64, 3), ("-d", "1", "-e", "3", "--progressive_ac")),
], ids=["lossy-two-groups", "lossy-grey", "progressive-ac"])
@pytest.mark.parametrize("mode", ["top-left", "center"])
def test_flushed_rendering_is_sampled(shape, args, mode):
    data = S.still(*shape, np.uint8, args)
    full = _jxl.JxlReader(data).read()
    out = _jxl.JxlReader(data, downsample=8, subsample=mode).read()
    want = _jxl._subsample_slice(full, 8, mode == "center")
    assert out.shape == want.shape and out.dtype == np.uint8
    # A coarse rendering: close to the full decode, but not its exact samples.
    assert not np.array_equal(out, want)
    assert np.abs(out.astype(float) - want).mean() < 40


def test_flush_is_at_the_coarse_point_not_a_finer_one():
    # With progressive AC libjxl reports 8, 4 and 2; the first one is used, so
    # the sampling ratio is 8 and the values are the 1:8 rendering, which is
    # further from the full decode than the 1:2 one.
    data = S.still(64, 64, 3, np.uint8, ("-d", "1", "-e", "3", "--progressive_ac"))
    full = _jxl.JxlReader(data).read().astype(float)
    out = _jxl.JxlReader(data, downsample=8).read()
    assert out.shape == (8, 8, 3)
    assert np.abs(out - full[::8, ::8]).mean() > 2


def test_animation_yields_one_reduced_frame_each():
    lossy = S.animation(3, 320, 320, 3, S.LOSSY)
    frames = list(_jxl.JxlReader(lossy, downsample=8).iter_frames())
    assert [f.shape for f in frames] == [(40, 40, 3)] * 3
    lossless = S.animation(3, 24, 32)
    full = _jxl.JxlReader(lossless).read()
    np.testing.assert_array_equal(_jxl.JxlReader(lossless, downsample=8).read(),
                                  full[:, ::8, ::8])


@pytest.mark.parametrize("args", [("-d", "1", "-e", "3"), ("-d", "0", "-e", "1")],
                         ids=["lossy", "lossless"])
def test_animation_frames_drawn_onto_earlier_ones_are_complete(args):
    data = S.region_animation(args)
    info = _jxl.frames_info(data, coalesce=False)
    assert len(info) == 4 and any(f["xsize"] < 320 for f in info)  # really cropped layers
    full = _jxl.decode(data)
    small = _jxl.decode(data, downsample=8)
    assert small.shape == full[:, ::8, ::8].shape == (4, 40, 40, 3)
    # A frame that later frames are drawn onto is decoded whole and sampled;
    # only the last one may stop at its 1:8 pass (a coarse rendering).
    np.testing.assert_array_equal(small[:-1], full[:-1, ::8, ::8])
    assert np.abs(small[-1].astype(float) - full[-1, ::8, ::8]).mean() < 20


def test_progressive_iterator_used_directly():
    data = S.still(264, 264, 3, np.uint8, S.LOSSY)
    r = _jxl.JxlReader(data, downsample=8)
    it = r._iter_frames_progressive()
    assert it.__iter__() is it
    assert next(it).shape == (33, 33, 3)
    with pytest.raises(StopIteration):
        next(it)
    assert list(r.iter_frames()) == []
    with pytest.raises(TypeError):
        r._iter_frames_progressive(1)


def test_progressive_conformance_file():
    data = conformance_file("progressive").read_bytes()
    with _jxl.JxlReader(data, downsample=8) as r:
        assert r.frame_shape == (2704, 4064, 3)
        out = r.read()
    assert out.shape == (338, 508, 3)
    full = _jxl.JxlReader(data).read()
    assert not np.array_equal(out, full[::8, ::8])
    assert np.abs(out.astype(float) - full[::8, ::8]).mean() < 20


def test_truncated_before_the_coarse_pass():
    data = S.still(512, 512, 3, np.uint8, S.LOSSY)
    with pytest.raises(JxlError) as e:
        _jxl.JxlReader(data[: len(data) // 20], downsample=8).read()
    assert str(e.value) == FRAME_TRUNCATED


def test_truncated_after_the_coarse_pass_of_a_still():
    # The 1:8 rendering is complete and the rest of the last frame is skipped:
    # libjxl reports the end of the stream without needing the missing part.
    data = S.still(512, 512, 3, np.uint8, S.LOSSY)
    whole = _jxl.JxlReader(data, downsample=8).read()
    cut = _jxl.JxlReader(data[: len(data) // 2], downsample=8).read()
    np.testing.assert_array_equal(cut, whole)
    with pytest.raises(JxlError):
        _jxl.JxlReader(data[: len(data) // 2]).read()
