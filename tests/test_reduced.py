"""Reduced decodes (downsample 2, 4, 8) keep only the samples they return.

The reference is the full-size route: the whole frame decoded and then
sampled (`_subsample_slice`), or at 1:8 the progressive iterator on a
full-size buffer (`full_buffer=True`). The reduced route must give exactly
those bytes, for every kind of image and sampling mode.
"""

import numpy as np
import pytest

import _streams as S
from quillmarsh.codecs import _jxl

LOSSY_P = ("-d", "1", "-e", "3", "-p")

CASES = {  # name -> (stream, reader options)
    "grey-u8-lossless": (lambda: S.still(45, 67, 1), {}),
    "rgb-u8-lossy-groups": (lambda: S.still(600, 520, 3, args=S.LOSSY), {}),
    "rgb-u8-progressive-1thread": (lambda: S.still(520, 600, 3, args=LOSSY_P), {"numthreads": 1}),
    "rgba-u8-lossy": (lambda: S.still(300, 270, 4, args=S.LOSSY), {}),
    "rgb-u16-lossless": (lambda: S.still(37, 29, 3, np.uint16), {}),
    "rgb-float-lossless": (lambda: S.still(63, 41, 3, np.float32), {}),
    "tiny-3x5": (lambda: S.still(3, 5, 3), {}),
    "animation": (lambda: S.animation(3, 35, 50), {}),
    "layers": (S.layered_animation, {"coalesce": False}),
    "oriented": (lambda: S.oriented(6), {}),
    "oriented-layer": (lambda: S.oriented(6), {"coalesce": False}),
    "xyb-to-p3": (lambda: S.still(270, 300, 3, args=S.LOSSY), {"output_color": "display-p3"}),
    "lossless-to-p3": (lambda: S.still(41, 30, 3, np.uint16), {"output_color": "display-p3"}),
}


def full_size_route(data, n, subsample, **kw):
    """Today's frames: the whole frame sampled by n, or at 8 the flushed
    full-size rendering sampled by its own ratio."""
    if n == 8:
        with _jxl.JxlReader(data, downsample=8, subsample=subsample, **kw) as r:
            return list(r._iter_frames_progressive(full_buffer=True))
    mode = 0 if subsample == "top-left" else 1
    with _jxl.JxlReader(data, **kw) as r:
        return [_jxl._subsample_slice(f, n, mode) for f in r.iter_frames()]


def same_bytes(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("subsample", ["top-left", "center"])
@pytest.mark.parametrize("n", [2, 4, 8])
@pytest.mark.parametrize("case", list(CASES))
def test_reduced_frames_equal_the_full_size_route(case, n, subsample):
    make, kw = CASES[case]
    data = make()
    want = full_size_route(data, n, subsample, **kw)
    with _jxl.JxlReader(data, downsample=n, subsample=subsample, **kw) as r:
        got = list(r.iter_frames())
    assert len(got) == len(want) >= 1
    for g, w in zip(got, want):
        assert same_bytes(g, w)
    if kw.get("coalesce", True):
        stacked = want[0] if len(want) == 1 else np.stack(want)
        assert same_bytes(_jxl.decode(data, downsample=n, subsample=subsample, **kw), stacked)
        # Written straight into the caller's array, which is all it touches.
        out = np.full_like(stacked, 7)
        _jxl.decode(data, downsample=n, subsample=subsample, out=out, **kw)
        assert same_bytes(out, stacked)


@pytest.mark.parametrize("n", [2, 8])
def test_the_byte_budget_counts_the_reduced_frame(n):
    data = S.still(600, 520, 3, args=S.LOSSY)
    small = _jxl.decode(data, downsample=n)
    # The full-size frame is far over this budget; the result is not.
    assert small.nbytes * 4 <= 600 * 520 * 3
    assert same_bytes(_jxl.decode(data, downsample=n, max_bytes=small.nbytes), small)
    with pytest.raises(ValueError, match="max_bytes"):
        _jxl.decode(data, downsample=n, max_bytes=small.nbytes - 1)
