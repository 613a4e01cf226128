"""The frame loop and the reader's lifecycle: iteration, read(), skipping,
truncation, close/context manager, concurrent use, pickling and GC."""

import copy
import gc
import pickle
import sys
import threading
import time

import numpy as np
import pytest

import _streams as S
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError

FRAME_TRUNCATED = "JxlDecoderProcessInput needs more input (truncated stream?)"
BUSY = "jxl: JxlReader is in use by another thread"


@pytest.fixture(scope="module")
def rgb():
    return S.still(48, 64, 3)


@pytest.fixture(scope="module")
def anim():
    return S.animation(3, 24, 32)


@pytest.fixture(scope="module")
def anim_frames():
    return S.animation_frames(3, 24, 32)


# ---- frames -------------------------------------------------------------------


def test_still_yields_one_fresh_array(rgb):
    r = _jxl.JxlReader(rgb)
    frames = list(r.iter_frames())
    assert len(frames) == 1
    f = frames[0]
    assert f.shape == r.frame_shape and f.dtype == r.dtype
    assert f.flags.c_contiguous and f.flags.owndata and f.flags.writeable
    np.testing.assert_array_equal(f, S.image(48, 64, 3))


def test_read_of_a_still_is_the_frame_not_a_stack(rgb):
    f = _jxl.JxlReader(rgb).read()
    assert f.shape == (48, 64, 3) and f.flags.owndata


def test_animation_frames_and_stack(anim, anim_frames):
    frames = list(_jxl.JxlReader(anim).iter_frames())
    assert len(frames) == 3
    for got, want in zip(frames, anim_frames):
        np.testing.assert_array_equal(got, want)
    stack = _jxl.JxlReader(anim).read()
    assert stack.shape == (3, 24, 32, 3)
    np.testing.assert_array_equal(stack, np.stack(anim_frames))


def test_iter_protocol_uses_iter_frames(anim):
    r = _jxl.JxlReader(anim)
    it = iter(r)
    assert iter(it) is it
    assert len(list(it)) == 3


def test_no_rewind(anim, anim_frames):
    r = _jxl.JxlReader(anim)
    it = r.iter_frames()
    np.testing.assert_array_equal(next(it), anim_frames[0])
    rest = r.read()  # only what was not taken
    assert rest.shape == (2, 24, 32, 3)
    np.testing.assert_array_equal(rest[1], anim_frames[2])
    assert list(r.iter_frames()) == []
    with pytest.raises(RuntimeError, match="^jxl: all frames have been read$"):
        r.read()


@pytest.mark.parametrize("downsample", [1, 8])
def test_second_read_names_the_state(downsample, anim, rgb):
    for data in (anim, rgb):
        r = _jxl.JxlReader(data, downsample=downsample)
        r.read()
        with pytest.raises(RuntimeError, match="^jxl: all frames have been read$"):
            r.read()
    # Skipping past the end delivers nothing: that is a stream without frames.
    with pytest.raises(JxlError, match="^jxl: no frames in stream$"):
        _jxl.JxlReader(anim, skip_frames=5).read()


def test_two_frames_left_and_one_left(anim, anim_frames):
    r = _jxl.JxlReader(anim)
    it = r.iter_frames()
    next(it), next(it)
    last = r.read()
    assert last.shape == (24, 32, 3)  # a single frame is returned unstacked
    np.testing.assert_array_equal(last, anim_frames[2])


@pytest.mark.parametrize("skip, first, count", [(0, 0, 3), (-2, 0, 3), (1, 1, 2), (2, 2, 1)])
def test_skip_frames(skip, first, count, anim, anim_frames):
    frames = list(_jxl.JxlReader(anim, skip_frames=skip).iter_frames())
    assert len(frames) == count
    np.testing.assert_array_equal(frames[0], anim_frames[first])


@pytest.mark.parametrize("skip", [3, 10, 2**40])
def test_skipping_everything_leaves_no_frames(skip, anim):
    assert list(_jxl.JxlReader(anim, skip_frames=skip).iter_frames()) == []
    with pytest.raises(JxlError, match="^jxl: no frames in stream$"):
        _jxl.JxlReader(anim, skip_frames=skip).read()


def test_skip_frames_must_be_a_number(anim):
    with pytest.raises(TypeError):
        _jxl.JxlReader(anim, skip_frames="1")


def test_truncated_stream_yields_the_frames_before_the_cut(anim, anim_frames):
    # A cut inside the last frame: the first two frames still decode.
    cut = _jxl.JxlReader(anim[: len(anim) - 40])
    it = cut.iter_frames()
    np.testing.assert_array_equal(next(it), anim_frames[0])
    np.testing.assert_array_equal(next(it), anim_frames[1])
    with pytest.raises(JxlError) as e:
        next(it)
    assert str(e.value) == FRAME_TRUNCATED
    with pytest.raises(StopIteration):  # a generator that raised is finished
        next(it)
    assert not cut._closed
    cut.close()


@pytest.mark.parametrize("keep", [0.5, 0.9])
def test_truncated_still(keep, rgb):
    with pytest.raises(JxlError) as e:
        _jxl.JxlReader(rgb[: int(len(rgb) * keep)]).read()
    assert str(e.value) == FRAME_TRUNCATED


def test_corrupt_frame_data(rgb):
    bad = bytearray(rgb)
    mid = len(bad) // 2
    bad[mid:mid + 64] = bytes(64)
    with pytest.raises(JxlError, match="^JxlDecoderProcessInput returned JXL_DEC_ERROR$"):
        _jxl.JxlReader(bytes(bad)).read()


@pytest.mark.parametrize("data", [S.layered_animation, lambda: S.region_animation(("-d", "1"))],
                         ids=["lossless", "lossy"])
def test_layers_are_sized_from_their_frame_headers(data):
    data = data()
    info = _jxl.frames_info(data, coalesce=False)
    with _jxl.JxlReader(data, coalesce=False) as r:
        layers = list(r.iter_frames())
    assert [f.shape for f in layers] == [(i["ysize"], i["xsize"], 3) for i in info]
    assert any(f.shape != layers[0].shape for f in layers)
    # Each layer holds what the coalesced frame shows in its rectangle.
    full = _jxl.decode(data)
    last, i = layers[-1], info[-1]
    shown = full[-1, i["crop_y0"]:i["crop_y0"] + i["ysize"], i["crop_x0"]:i["crop_x0"] + i["xsize"]]
    assert np.abs(last.astype(int) - shown).mean() < 3
    with pytest.raises(ValueError, match="layers differ in size"):
        _jxl.decode(data, coalesce=False)


def test_keep_orientation():
    data = S.oriented(6)
    stored = _jxl.JxlReader(data, keep_orientation=True)
    assert stored.frame_shape == (32, 48, 3) and stored.basic_info["orientation"] == 6
    shown = _jxl.JxlReader(data)
    assert shown.frame_shape == (48, 32, 3)
    # Orientation 6: rotate 90 degrees clockwise for display (JPEG rounding
    # differs by a unit between the two orders of reconstruction).
    a, b = shown.read().astype(int), stored.read().astype(int)
    assert np.abs(a - np.rot90(b, k=-1)).max() <= 2
    assert np.abs(a - np.rot90(b, k=1)).mean() > 10


@pytest.mark.parametrize("n", [2, 4])
@pytest.mark.parametrize("mode", ["top-left", "center"])
def test_downsample_2_and_4_sample_the_full_frame(n, mode, anim):
    full = _jxl.JxlReader(anim).read()
    frames = list(_jxl.JxlReader(anim, downsample=n, subsample=mode).iter_frames())
    assert len(frames) == 3
    for i, f in enumerate(frames):
        assert f.shape == (-(-24 // n), -(-32 // n), 3) and f.flags.owndata
        np.testing.assert_array_equal(f, _jxl._subsample_slice(full[i], n, mode == "center"))
    if mode == "top-left":
        np.testing.assert_array_equal(frames[1], full[1, ::n, ::n])


# ---- lifecycle ------------------------------------------------------------------


def test_close_is_idempotent_and_keeps_the_header(rgb):
    r = _jxl.JxlReader(rgb)
    before = (r.frame_shape, r.dtype, r.xsize, r.ysize, r.samples, r.is_animation, r.basic_info,
              r.color)
    assert r.close() is None
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r.read()
    assert r.close() is None
    assert (r.frame_shape, r.dtype, r.xsize, r.ysize, r.samples, r.is_animation, r.basic_info,
            r.color) == before


def test_closed_reader_refuses_frames(rgb):
    r = _jxl.JxlReader(rgb)
    r.close()
    it = r.iter_frames()  # nothing is checked until advanced
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(it)
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r.read()
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r._iter_frames_progressive().__next__()


@pytest.mark.parametrize("progressive", [False, True])
def test_resuming_after_close_never_reaches_the_decoder(progressive, anim):
    r = _jxl.JxlReader(anim, downsample=8 if progressive else 1)
    it = r.iter_frames()
    next(it)
    r.close()
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_iterator_close_leaves_the_reader_open(anim, anim_frames):
    r = _jxl.JxlReader(anim)
    it = r.iter_frames()
    next(it)
    it.close()
    with pytest.raises(StopIteration):
        next(it)
    np.testing.assert_array_equal(next(r.iter_frames()), anim_frames[1])


def test_context_manager(rgb):
    with _jxl.JxlReader(rgb) as r:
        assert isinstance(r, _jxl.JxlReader)
        it = r.iter_frames()
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        next(it)
    with pytest.raises(KeyError):
        with _jxl.JxlReader(rgb) as r2:
            raise KeyError("inside")
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r2.read()


def test_exit_by_keyword_returns_false(rgb):
    r = _jxl.JxlReader(rgb)
    assert r.__exit__(exc_type=None, exc=None, tb=None) is False
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r.read()
    assert r.__enter__() is r  # no closed check
    with pytest.raises(TypeError):
        r.__exit__(None, None)
    with pytest.raises(TypeError):
        r.close(1)
    with pytest.raises(TypeError):
        r.iter_frames(1)


def test_methods_are_looked_up_by_name(anim):
    class Counting(_jxl.JxlReader):
        closes = 0
        iters = 0

        def close(self):
            Counting.closes += 1
            super().close()

        def iter_frames(self):
            Counting.iters += 1
            return super().iter_frames()

    with Counting(anim) as r:
        assert len(list(r)) == 3
    assert Counting.closes == 1 and Counting.iters == 1


@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy,
                                 lambda r: r.__reduce__(), lambda r: r.__setstate__({})])
def test_pickling_is_refused(how, rgb):
    with pytest.raises(TypeError, match="^cannot pickle .JxlReader. object$"):
        how(_jxl.JxlReader(rgb))


def test_gc_sees_the_object_fields(rgb):
    data = bytes(rgb)
    r = _jxl.JxlReader(data)
    refs = gc.get_referents(r)
    assert any(x is data for x in refs)
    assert any(x is r.frame_shape for x in refs) and any(x is np.uint8 for x in refs)


def test_reference_cycle_through_the_input_is_collected(rgb):
    freed = []

    class Data(bytes):
        def __del__(self):
            freed.append(True)

    d = Data(rgb)
    r = _jxl.JxlReader(d)
    it = r.iter_frames()
    d.cycle = (r, it)
    del d, r, it
    gc.collect()
    assert freed == [True]


def test_dropped_iterator_and_reader_release_the_input(anim):
    data = bytes(anim)
    before = sys.getrefcount(data)
    r = _jxl.JxlReader(data)
    it = r.iter_frames()
    next(it)
    del r
    assert sys.getrefcount(data) > before  # the iterator keeps the reader alive
    del it
    assert sys.getrefcount(data) == before


# ---- concurrent use ----------------------------------------------------------------


@pytest.fixture(scope="module")
def slow_frame():
    # Large enough to take tens of milliseconds on one thread.
    return S.still(1024, 1024, 3, np.uint8, S.LOSSY, 7)


def test_calls_from_another_thread_are_refused_while_a_frame_decodes(slow_frame):
    r = _jxl.JxlReader(slow_frame, numthreads=1)
    out = {}

    def work():
        try:
            out["frame"] = r.read()
        except BaseException as e:  # pragma: no cover - reported below
            out["error"] = e

    old = sys.getswitchinterval()
    t = threading.Thread(target=work)
    t.start()
    try:
        deadline = time.monotonic() + 30
        while not r._busy and t.is_alive() and time.monotonic() < deadline:
            time.sleep(0.0002)
        # The lock is released while libjxl works, so this thread sees it busy.
        assert r._busy
        # Keep the lock until the checks are done: the flag cannot change meanwhile.
        sys.setswitchinterval(30)
        second = r.iter_frames()
        for call in (r.close, lambda: next(second), lambda: r.icc_profile, r.read):
            with pytest.raises(RuntimeError) as e:
                call()
            assert str(e.value) == BUSY
    finally:
        sys.setswitchinterval(old)
        t.join()
    assert "error" not in out
    assert out["frame"].shape == (1024, 1024, 3)
    # A refusal does not finish the refused iterator; it just has nothing left.
    with pytest.raises(StopIteration):
        next(second)
    assert r.icc_profile is not None
    r.close()
    assert not r._busy
    with pytest.raises(RuntimeError, match="^JxlReader is closed$"):
        r.read()


def _anim(t=6, h=40, w=30):
    stack = (np.arange(t * h * w * 3) % 253).astype(np.uint8).reshape(t, h, w, 3)
    return stack, _jxl.encode(stack, animation=True, effort=1)


@pytest.mark.parametrize("kwargs,taken,want", [
    ({}, 0, slice(None)),
    ({}, 1, slice(1, None)),                     # read() after a frame was taken
    ({"skip_frames": 2}, 0, slice(2, None)),
    ({"skip_frames": 5}, 0, 5),                  # one frame left: the frame itself
    ({"coalesce": False}, 0, slice(None)),
    ({"numthreads": 1}, 2, slice(2, None)),
])
def test_read_of_an_animation_is_exact_whatever_was_consumed(kwargs, taken, want):
    stack, data = _anim()
    r = _jxl.JxlReader(data, **kwargs)
    it = r.iter_frames()
    for _ in range(taken):
        next(it)
    got = r.read()
    assert np.array_equal(got, stack[want])
    assert got.flags["C_CONTIGUOUS"] and got.flags["OWNDATA"]


def test_read_of_an_animation_decodes_into_one_array():
    import tracemalloc
    stack = np.zeros((16, 256, 256, 3), np.uint8)
    stack[:, ::5] = 200
    data = _jxl.encode(stack, animation=True, effort=1)
    tracemalloc.start()
    try:
        got = _jxl.decode(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert np.array_equal(got, stack)
    # Frames decoded straight into the result: no list of frames plus a stacked copy.
    assert peak < 1.3 * stack.nbytes
