"""Decoding into the caller's array: decode(out=), read_into(), iter_frames(out=)."""

import re

import numpy as np
import pytest

from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError


def _image(h, w, c, dtype=np.uint8, seed=0):
    rng = np.random.default_rng(seed)
    hi = 256 if dtype == np.uint8 else 65536
    shape = (h, w) if c == 1 else (h, w, c)
    return rng.integers(0, hi, shape).astype(dtype)


STILL = {
    "rgb8": _jxl.encode(_image(40, 52, 3), lossless=True),
    "gray16": _jxl.encode(_image(33, 20, 1, np.uint16), lossless=True),
    "rgba8-lossy": _jxl.encode(_image(70, 90, 4), distance=2.0),
}
ANIM = _jxl.encode(np.stack([_image(24, 36, 3, seed=i) for i in range(4)]), animation=True,
                   lossless=True)


@pytest.mark.parametrize("name", sorted(STILL))
@pytest.mark.parametrize("options", [{}, {"downsample": 2}, {"downsample": 8}, {"index": 0}])
def test_decode_into_out_is_bit_exact_and_returns_out(name, options):
    want = _jxl.decode(STILL[name], **options)
    out = np.full_like(want, 7)
    got = _jxl.decode(STILL[name], out=out, **options)
    assert got is out
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("options", [{}, {"downsample": 2}, {"downsample": 8}, {"coalesce": False},
                                     {"coalesce": False, "downsample": 4}])
def test_animation_into_a_stack(options):
    want = _jxl.decode(ANIM, **options)
    assert want.shape[0] == 4
    out = np.zeros_like(want)
    with _jxl.JxlReader(ANIM, **options) as r:
        assert r.read_into(out) is out
    np.testing.assert_array_equal(out, want)
    # decode(out=) of one frame of the animation
    one = np.zeros_like(want[2])
    _jxl.decode(ANIM, index=2, out=one, **options)
    np.testing.assert_array_equal(one, want[2])


def test_layers_of_their_own_size_do_not_fit_out():
    import _streams as S

    data = S.layered_animation()  # a full frame, then an 8 x 16 layer
    with _jxl.JxlReader(data, coalesce=False) as r:
        out = np.zeros(r.frame_shape, np.uint8)
        with pytest.raises(ValueError, match=r"frame of shape \(8, 16, 3\) does not fit out's "
                                             r"\(48, 64, 3\)"):
            for _ in r.iter_frames(out=out):
                pass
    with _jxl.JxlReader(data, coalesce=False) as r, pytest.raises(ValueError, match="does not fit"):
        r.read_into(np.zeros((2,) + r.frame_shape, np.uint8))


def test_read_into_takes_the_frames_left_and_iter_frames_reuses_out():
    want = _jxl.decode(ANIM)
    with _jxl.JxlReader(ANIM) as r:
        next(iter(r.iter_frames()))
        rest = np.zeros_like(want[1:])
        r.read_into(rest)
    np.testing.assert_array_equal(rest, want[1:])
    with _jxl.JxlReader(ANIM) as r:
        buf = np.zeros_like(want[0])
        for i, frame in enumerate(r.iter_frames(out=buf)):
            assert frame is buf
            np.testing.assert_array_equal(buf, want[i])
    assert i == 3


def _bad_outs(want):
    return {
        "shape": (np.zeros(want.shape[:-1] + (want.shape[-1] + 1,), want.dtype), "shape"),
        "frames": (np.zeros((3,) + want.shape[1:], want.dtype), "shape"),
        "dtype": (np.zeros(want.shape, np.uint16), "dtype uint16"),
        "byteorder": (np.zeros(want.shape, want.dtype.newbyteorder()), "dtype"),
        "strided": (np.zeros(want.shape[:-1] + (want.shape[-1] * 2,), want.dtype)[..., ::2],
                    "not C-contiguous"),
        "fortran": (np.asfortranarray(np.zeros(want.shape, want.dtype)), "not C-contiguous"),
        "read-only": (np.zeros(want.shape, want.dtype), "read-only"),
    }


@pytest.mark.parametrize("kind", ["shape", "frames", "dtype", "byteorder", "strided", "fortran",
                                  "read-only"])
def test_unusable_out_is_refused_before_decoding(kind):
    want = _jxl.decode(ANIM)
    out, named = _bad_outs(want)[kind]
    if kind == "byteorder" and want.dtype.itemsize == 1:
        out = np.zeros(want.shape, np.int8)  # a single-byte type cannot be swapped
    if kind == "read-only":
        out.flags.writeable = False
    before = out.copy()
    with pytest.raises(ValueError) as e:
        _jxl.decode(ANIM, out=out)
    msg = str(e.value)
    assert f"shape {want.shape}" in msg and "dtype uint8" in msg and named in msg, msg
    np.testing.assert_array_equal(out, before)  # nothing written
    # The reader stays usable after a refusal.
    with _jxl.JxlReader(ANIM) as r:
        with pytest.raises(ValueError):
            r.read_into(out)
        np.testing.assert_array_equal(r.read(), want)


@pytest.mark.parametrize("frames", [1, 4])
@pytest.mark.parametrize("cut", [0.5, 0.75])
def test_cut_animation_into_out_fails_as_decode_does(frames, cut):
    # The frame count of a cut stream cannot be parsed ahead: out's length is
    # taken, and the cut still ends the call with decode()'s error.
    data = ANIM[: int(len(ANIM) * cut)]
    with pytest.raises(JxlError, match="truncated"):
        _jxl.decode(data)
    want = _jxl.decode(ANIM)
    out = np.zeros_like(want[0] if frames == 1 else want)
    # A frame-shaped out meets either the cut or a second whole frame.
    with pytest.raises((JxlError, ValueError), match=r"truncated|more frames than out holds \(1\)"):
        _jxl.decode(data, out=out)


# allow_partial=True: out holds the frames a cut stream gives, as
# decode(allow_partial=True) returns them (a cut last frame with nothing to
# show is not one of them), and the reader says it was cut; an out of another
# length is refused naming the shape that fits.
@pytest.mark.parametrize("cut", [0.5, 0.75, 0.97])
def test_cut_animation_with_allow_partial_fills_an_out_sized_for_what_is_there(cut):
    data = ANIM[: int(len(ANIM) * cut)]
    want = _jxl.decode(data, allow_partial=True)
    n = want.shape[0] if want.ndim == 4 else 1
    assert 1 <= n < 4
    with _jxl.JxlReader(data, allow_partial=True) as r:
        out = np.zeros_like(want)
        assert r.read_into(out) is out
        assert r.truncated
    np.testing.assert_array_equal(out, want)
    frame = want if n == 1 else want[0]
    with pytest.raises(ValueError, match=re.escape(
            f"cut short after {n} frame{'s' * (n > 1)} but out holds {n + 1}; "
            f"pass out of shape {want.shape}")):
        _jxl.decode(data, allow_partial=True, out=np.zeros((n + 1, *frame.shape), np.uint8))


# A still image's layers (coalesce=False) are what decode returns: an out
# shaped like one frame is refused naming the stack they make. Each layer
# comes in its own size, extra channels too (a file from the conformance
# corpus: four layers, three of them cropped, with a black channel).
def test_layers_of_a_still_image_are_not_cut_to_one_frame():
    from conftest import conformance_file

    path = conformance_file("cmyk_layers")
    with _jxl.JxlReader(path, coalesce=False, extra_channels=True) as r:
        assert r.basic_info["have_animation"] is False
        sizes = [(f["ysize"], f["xsize"]) for f in r.frames_info]
        out = np.zeros(r.frame_shape, np.uint8)
        with pytest.raises(ValueError, match=re.escape("of shape (4, 512, 512, 5)")):
            r.read_into(out)
    assert not out.any()
    for options in ({"extra_channels": True}, {"output_color": "srgb"}):
        with _jxl.JxlReader(path, coalesce=False, **options) as r:
            assert [a.shape[:2] for a in r.iter_frames()] == sizes
    assert len(sizes) == 4 and sizes[0] == (512, 512) and sizes[1] != sizes[0]


def test_frame_shaped_out_for_an_uncounted_animation_holds_one_frame():
    # A streamed animation is not counted ahead either: a frame-shaped out is
    # refused once a second frame arrives, before it is written.
    import io

    want = _jxl.decode(ANIM)
    with _jxl.JxlReader(ANIM, skip_frames=3) as r:  # one frame left: counted, accepted
        out = np.zeros_like(want[0])
        r.read_into(out)
    np.testing.assert_array_equal(out, want[3])
    big = np.random.default_rng(5).integers(0, 256, (2, 1100, 1100, 3), dtype=np.uint8)
    data = _jxl.encode(big, animation=True, lossless=True, effort=1)
    assert len(data) > 4 << 20  # above the streaming threshold
    with _jxl.JxlReader(io.BytesIO(data), streaming=True) as r:
        out = np.zeros_like(big[0])
        with pytest.raises(ValueError, match=r"more frames than out holds \(1\)"):
            r.read_into(out)
    np.testing.assert_array_equal(out, big[0])


@pytest.mark.parametrize("out", [[[0]], b"abc", None])
def test_out_must_be_an_array(out):
    with _jxl.JxlReader(STILL["rgb8"]) as r:
        with pytest.raises(TypeError):
            r.read_into(out)


def test_read_into_a_closed_or_finished_reader():
    want = _jxl.decode(STILL["rgb8"])
    r = _jxl.JxlReader(STILL["rgb8"])
    r.read()
    out = np.full_like(want, 9)
    with pytest.raises(JxlError, match="^jxl: no frames in stream$"):
        r.read_into(out)
    assert (out == 9).all()
    r.close()
    with pytest.raises(RuntimeError):
        r.read_into(np.zeros_like(want))
