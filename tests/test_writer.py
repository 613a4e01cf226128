"""JxlWriter: options, destination, first-frame configuration, frame writing, lifecycle."""

import copy
import gc
import io
import os
import pathlib
import pickle
import re
import threading
import tracemalloc
import warnings
import weakref

import numpy as np
import pytest

import quillmarsh.codecs._jxl as jxl
from _images import synthetic
from conftest import skip_rss_bound_if_sanitized
from quillmarsh.core.color import ColorSpec

CONTAINER_SIG = b"\x00\x00\x00\x0cJXL \r\n\x87\n"
CODESTREAM_SIG = b"\xff\x0a"


def frames_of(data):
    """All frames of a stream, through the module's own reader."""
    with jxl.JxlReader(data) as r:
        return [np.array(f) for f in r.iter_frames()]


class Sink:
    """A file-like that records every write call."""

    def __init__(self, fail=0):
        self.calls = []
        self.fail = fail

    def write(self, b):
        if self.fail:
            self.fail -= 1
            raise OSError("disk full")
        self.calls.append(bytes(b))
        return len(b)


# ---- options -----------------------------------------------------------------

def open_fds_to(path):
    """How many of this process's file descriptors are open on `path`."""
    target = os.path.realpath(path)
    n = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            n += os.readlink(f"/proc/self/fd/{fd}") == target
        except OSError:
            pass
    return n


# Spellings that the constructor normalises to the same settings give the same
# stream byte for byte (libjxl is deterministic, whatever the thread count).
@pytest.mark.parametrize("kwargs, same_as", [
    ({}, dict(lossless=True, effort=5, decoding_speed=0)),
    (dict(quality=100), dict(lossless=True)),  # as cjxl's -q 100
    (dict(quality=100, lossless=False), dict(distance=0, lossless=False)),
    (dict(quality=101), dict(lossless=True)),
    (dict(quality=90, lossless=True), dict(lossless=True)),
    (dict(distance=0), dict(lossless=True)),
    (dict(distance=1e-46), dict(lossless=True)),  # rounds to 0 in float32
    (dict(lossless=[1]), dict(lossless=True)),
    (dict(lossless=False), dict(distance=0, lossless=False)),
    (dict(effort=0), dict(effort=1)),
    (dict(effort=99), dict(effort=10)),
    (dict(effort=None), dict(effort=5)),
    (dict(effort=7.9), dict(effort=7)),
    (dict(effort=-10**40), dict(effort=1)),
    (dict(distance=2, decoding_speed=-3), dict(distance=2, decoding_speed=0)),
    (dict(distance=2, decoding_speed=9), dict(distance=2, decoding_speed=4)),
    (dict(distance=2, decoding_speed=None), dict(distance=2, decoding_speed=0)),
    (dict(distance=2, decoding_speed=2.7), dict(distance=2, decoding_speed=2)),
    (dict(distance=2, color_transform="YCbCr"), dict(distance=2, color_transform=2)),
    (dict(color_transform="RGB"), dict(color_transform=1)),
    (dict(color_transform="none"), dict(color_transform=1)),
    (dict(distance=2, color_transform="XYB"), dict(distance=2, color_transform=0)),
    (dict(color_transform=None), dict()),
    (dict(distance=2, modular="yes"), dict(distance=2, modular=True)),
    (dict(modular=None), dict()),
    (dict(relative_to_max_display=2), dict(relative_to_max_display=True)),
    (dict(intensity_target=0), dict()),
    (dict(animation=1, container="", progressive=[0]),
     dict(animation=True, container=False, progressive=True)),
    (dict(numthreads=3), dict(numthreads=1)),
    (dict(numthreads=0), dict(numthreads=None)),
    (dict(numthreads=-100), dict(numthreads=1)),
])
def test_equivalent_options_give_identical_streams(kwargs, same_as):
    a = synthetic(24, 32, 3)
    assert jxl.encode(a, **kwargs) == jxl.encode(a, **same_as)


@pytest.mark.parametrize("kwargs, lossless", [
    ({}, True), (dict(quality=101), True), (dict(distance=0), True),
    (dict(quality=100), True), (dict(quality=90), False), (dict(distance=2.5), False),
])
def test_lossless_decision(kwargs, lossless):
    a = synthetic(24, 32, 3)
    back = frames_of(jxl.encode(a, **kwargs))[0]
    assert np.array_equal(back, a) == lossless


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(quality=90, distance=1.0), ValueError, "jxl: pass quality or distance, not both"),
    (dict(quality=90, distance=1.0, lossless=True), ValueError,
     "jxl: pass quality or distance, not both"),
    (dict(color_transform=3), ValueError, "color_transform int must be 0, 1, or 2"),
    (dict(color_transform=-1), ValueError, "color_transform int must be 0, 1, or 2"),
    (dict(color_transform=10**30), ValueError, "color_transform int must be 0, 1, or 2"),
    (dict(color_transform="Lab"), ValueError,
     "color_transform must be 'xyb', 'none'/'rgb', 'ycbcr', or int 0/1/2; got 'Lab'"),
    (dict(icc_profile=b"x" * 127), ValueError,
     "icc_profile too short (127 bytes); a valid ICC profile is at least 128 bytes"),
    (dict(icc_profile=memoryview(b"")), ValueError,
     "icc_profile too short (0 bytes); a valid ICC profile is at least 128 bytes"),
    (dict(icc_profile="x" * 200), TypeError, "icc_profile must be bytes-like; got str"),
    (dict(icc_profile=[0] * 200), TypeError, "icc_profile must be bytes-like; got list"),
    (dict(intensity_target=-1), ValueError, "intensity_target must be >= 0"),
    (dict(min_nits=-0.5), ValueError, "min_nits must be >= 0"),
    (dict(linear_below=-2), ValueError, "linear_below must be >= 0"),
    (dict(dest=b"/tmp/x.jxl"), TypeError,
     "dest must be path, file-like, or None; got <class 'bytes'>"),
    (dict(dest=42), TypeError, "dest must be path, file-like, or None; got <class 'int'>"),
    (dict(effort="fast"), ValueError, None),
    (dict(effort=[5]), TypeError, None),
    (dict(decoding_speed="x"), ValueError, None),
    (dict(distance="1.0"), TypeError, None),
    (dict(numthreads=2.5), TypeError, None),
    (dict(color="no-such-colour"), ValueError, None),
    (dict(color=3), TypeError, None),
])
def test_option_errors(kwargs, exc, message):
    with pytest.raises(exc) as ei:
        jxl.JxlWriter(**kwargs)
    if message is not None:
        assert str(ei.value) == message


def srgb_icc():
    from PIL import ImageCms
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_icc_profile_is_an_owned_copy(kind):
    icc = srgb_icc()
    given = kind(bytearray(icc)) if kind is memoryview else kind(icc)
    w = jxl.JxlWriter(icc_profile=given)
    if kind is not bytes:
        given[40:44] = b"XXXX"  # the caller changes its buffer before the first frame
    w.write_frame(synthetic(8, 8, 3))
    with jxl.JxlReader(w.close()) as r:
        assert r.icc_profile == icc


def test_arguments_keyword_only():
    with pytest.raises(TypeError):
        jxl.JxlWriter(None, None)
    with pytest.raises(TypeError):
        jxl.JxlWriter(qualty=90)
    w = jxl.JxlWriter(dest=None)
    w.write_frame(np.zeros((4, 4), np.uint8))
    assert isinstance(w.close(), bytes)


# ---- destination ---------------------------------------------------------------

def test_path_replaced_only_by_a_successful_close(tmp_path):
    p = tmp_path / "out.jxl"
    p.write_bytes(b"old content")
    w = jxl.JxlWriter(p)
    w.write_frame(synthetic(16, 16, 3))
    assert p.read_bytes() == b"old content"  # nothing before close
    assert w.close() is None
    assert frames_of(p.read_bytes())[0].shape == (16, 16, 3)
    assert sorted(os.listdir(tmp_path)) == ["out.jxl"]  # no temporary left
    assert open_fds_to(p) == 0


@pytest.mark.parametrize("bad", [dict(effort="fast"), dict(icc_profile=b"short"),
                                 dict(quality=1, distance=1)])
def test_failed_construction_leaves_the_path_untouched(tmp_path, bad):
    p = tmp_path / "fail.jxl"
    p.write_bytes(b"previous")
    with pytest.raises((ValueError, TypeError)):
        jxl.JxlWriter(str(p), **bad)
    assert p.read_bytes() == b"previous"
    assert os.listdir(tmp_path) == ["fail.jxl"]


@pytest.mark.parametrize("make, exc", [
    (lambda d: d / "no-such-folder" / "x.jxl", FileNotFoundError),
    (lambda d: d, IsADirectoryError),
])
def test_unusable_path_is_refused_at_construction(tmp_path, make, exc):
    with pytest.raises(exc):
        jxl.JxlWriter(make(tmp_path))
    assert os.listdir(tmp_path) == []


def test_file_like_gets_exactly_one_write_at_close():
    sink = Sink()
    w = jxl.JxlWriter(sink, animation=True)
    for i in range(3):
        w.write_frame(synthetic(24, 16, 3, seed=i))
        assert sink.calls == []
    assert w.close() is None
    assert len(sink.calls) == 1
    assert len(frames_of(sink.calls[0])) == 3


def test_file_like_empty_stream_gets_no_write():
    sink = Sink()
    w = jxl.JxlWriter(sink)
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        w.close()
    assert sink.calls == []
    assert w.close() is None


def test_failing_write_keeps_stream_for_a_retry():
    a = synthetic(24, 32, 3)
    sink = Sink(fail=1)
    w = jxl.JxlWriter(sink)
    w.write_frame(a)
    with pytest.raises(OSError, match="disk full"):
        w.close()
    assert w.close() is None  # the destination works again
    assert sink.calls == [jxl.encode(a)]


def test_write_attribute_errors_other_than_missing_propagate():
    class Odd:
        @property
        def write(self):
            raise RuntimeError("no writing today")

    with pytest.raises(RuntimeError, match="no writing today"):
        jxl.JxlWriter(Odd())


# ---- first-frame configuration -------------------------------------------------

@pytest.mark.parametrize("shape, dtype, message", [
    ((4, 4, 0), np.uint8, "jxl: last dim must be 1/2/3/4 channels (got 0)"),
    ((16,), np.uint8, "jxl: ndim=1; expected 2 (Y,X) or 3 (Y,X,C)"),
    ((2, 4, 4, 3), np.uint8, "jxl: ndim=4; expected 2 (Y,X) or 3 (Y,X,C)"),
    ((4, 4), np.int32, "jxl: unsupported dtype dtype('int32') (want uint8, uint16, float16, "
                       "or float32)"),
    ((4, 4, 3), np.float64, "jxl: unsupported dtype dtype('float64') (want uint8, uint16, "
                            "float16, or float32)"),
    ((4, 4), bool, "jxl: unsupported dtype dtype('bool') (want uint8, uint16, float16, or "
                   "float32)"),
    ((4, 4), ">u2", "jxl: unsupported dtype dtype('>u2') (want uint8, uint16, float16, or "
                    "float32)"),
    ((4, 4), ">f4", "jxl: unsupported dtype dtype('>f4') (want uint8, uint16, float16, or "
                    "float32)"),
])
def test_first_frame_refused_then_writer_still_usable(shape, dtype, message):
    w = jxl.JxlWriter()
    with pytest.raises(ValueError) as ei:
        w.write_frame(np.zeros(shape, dtype))
    assert str(ei.value) == message
    # Nothing reached libjxl, so a good frame still makes a good stream.
    a = synthetic(8, 8, 2)
    w.write_frame(a)
    assert np.array_equal(frames_of(w.close())[0], a)


def test_grey_2d_and_3d_single_channel_configure_alike():
    a = synthetic(20, 30, 1)
    w2, w3 = jxl.JxlWriter(), jxl.JxlWriter()
    w2.write_frame(a)
    w3.write_frame(a[:, :, None])
    data = w2.close()
    assert data == w3.close()
    assert jxl.JxlReader(data).basic_info["num_color_channels"] == 1


@pytest.mark.parametrize("shape", [(1, 1), (2, 2), (4, 4), (10, 10), (1, 1000), (300, 200, 3)])
@pytest.mark.parametrize("lossless", [True, False])
def test_small_and_flat_frames_round_trip(shape, lossless):
    # The output buffer starts from a size estimate; tiny frames estimate 0 bytes.
    a = np.full(shape, 77, np.uint8)
    back = frames_of(jxl.encode(a, lossless=lossless, effort=1))[0]
    assert back.shape == a.shape
    assert np.abs(back.astype(int) - 77).max() <= (0 if lossless else 2)


def test_output_buffer_grows_for_incompressible_frames():
    noise = np.random.default_rng(5).integers(0, 256, (256, 256, 3), dtype=np.uint8)
    w = jxl.JxlWriter(effort=1)
    w.write_frame(noise)
    data = w.close()
    assert len(data) > 3 * 65536  # several times the initial guess
    assert np.array_equal(frames_of(data)[0], noise)


@pytest.mark.parametrize("kwargs, expect", [
    (dict(lossless=False), dict(uses_original_profile=False, have_animation=False)),
    (dict(), dict(uses_original_profile=True)),
    (dict(animation=True), dict(have_animation=True)),
    (dict(color="rec2100-pq", lossless=False),
     dict(uses_original_profile=True, intensity_target=10000.0)),
    (dict(color="rec2100-hlg", intensity_target=4000),
     dict(intensity_target=4000.0)),
    (dict(color="rec2100-hlg", lossless=False), dict(intensity_target=1000.0)),
    (dict(color=ColorSpec(transfer=16, primaries=9), lossless=False),  # no is_hdr flag set
     dict(uses_original_profile=False)),
    (dict(intensity_target=400, min_nits=0.1, linear_below=0.5, relative_to_max_display=True),
     dict(intensity_target=400.0, min_nits=pytest.approx(0.1, abs=1e-3), linear_below=0.5,
          relative_to_max_display=True)),
    (dict(), dict(intensity_target=255.0, min_nits=0.0, relative_to_max_display=False)),
])
def test_basic_info(kwargs, expect):
    w = jxl.JxlWriter(**kwargs)
    w.write_frame(synthetic(8, 8, 4, np.uint16))
    info = jxl.JxlReader(w.close()).basic_info
    assert {k: info[k] for k in expect} == expect
    assert (info["num_extra_channels"], info["alpha_bits"]) == (1, 16)


@pytest.mark.parametrize("attrs, exc", [
    (dict(white_point=-1), OverflowError),
    (dict(primaries=2**32), OverflowError),
    (dict(transfer=1.5), TypeError),
])
def test_bad_colour_description_attributes(monkeypatch, attrs, exc):
    import quillmarsh.core.color as color_mod

    class Loose:
        white_point, primaries, transfer, rendering_intent, gamma = 1, 1, 13, 0, 0.0

    spec = Loose()
    for k, v in attrs.items():
        setattr(spec, k, v)
    monkeypatch.setattr(color_mod, "parse_color", lambda c: c)
    w = jxl.JxlWriter(color=spec)
    with pytest.raises(exc):
        w.write_frame(np.zeros((4, 4, 3), np.uint8))


def test_hdr_flag_read_with_default(monkeypatch):
    import quillmarsh.core.color as color_mod

    class NoHdr:  # no is_hdr attribute at all
        white_point, primaries, transfer, rendering_intent = 1, 9, 16, 1

    monkeypatch.setattr(color_mod, "parse_color", lambda c: c)
    w = jxl.JxlWriter(color=NoHdr())
    w.write_frame(np.zeros((4, 4, 3), np.uint16))
    color = jxl.JxlReader(w.close()).color
    assert [color[k] for k in ("color_space", "white_point", "primaries", "transfer_function")] \
        == [0, 1, 9, 16]


def test_distance_out_of_range_is_libjxl_error():
    w = jxl.JxlWriter(distance=100)
    with pytest.raises(jxl.JxlError) as ei:
        w.write_frame(np.zeros((4, 4), np.uint8))
    assert str(ei.value) == ("JxlEncoderSetFrameDistance returned JXL_ENC_ERROR "
                             "(JXL_ENC_ERR_API_USAGE)")


def test_linear_below_above_one_relative_to_display_is_refused_up_front():
    # libjxl would refuse it only while producing output, and a libjxl built
    # without NDEBUG (Debian 13's package) aborts the process there.
    with pytest.raises(ValueError, match="^linear_below must be <= 1 when relative_to_max_display"):
        jxl.JxlWriter(linear_below=2, relative_to_max_display=True)
    data = jxl.encode(np.zeros((8, 8, 3), np.uint8), linear_below=0.5, relative_to_max_display=True)
    assert jxl.frame_count(data) == 1
    data = jxl.encode(np.zeros((8, 8, 3), np.uint8), linear_below=2, relative_to_max_display=False)
    assert jxl.JxlReader(data).basic_info["linear_below"] == 2.0


def test_zero_sized_frame_is_libjxl_error():
    with pytest.raises(jxl.JxlError, match=r"^JxlEncoderSetBasicInfo returned JXL_ENC_ERROR"):
        jxl.JxlWriter().write_frame(np.zeros((0, 4), np.uint8))


@pytest.mark.parametrize("kwargs, signature", [
    (dict(), CODESTREAM_SIG),
    (dict(container=True), CONTAINER_SIG),
    (dict(animation=True), CONTAINER_SIG),
    (dict(animation=True, container=False), CONTAINER_SIG),
])
def test_container_choice(kwargs, signature):
    w = jxl.JxlWriter(**kwargs)
    w.write_frame(synthetic(8, 8, 3))
    assert w.close().startswith(signature)


# ---- frame writing ---------------------------------------------------------------

def test_still_closes_input_at_its_frame_whatever_is_last():
    a = synthetic(16, 16, 3)
    w = jxl.JxlWriter()
    w.write_frame(a, is_last=False)
    assert w.close() == jxl.encode(a)


def test_second_frame_on_still_writer():
    w = jxl.JxlWriter()
    w.write_frame(np.zeros((8, 8, 3), np.uint8))
    with pytest.raises(ValueError, match="^jxl: frame shape does not match first frame$"):
        w.write_frame(np.zeros((8, 9, 3), np.uint8))
    with pytest.raises(ValueError, match=r"^jxl: frame dtype dtype\('float32'\) does not match "
                                         r"first frame dtype dtype\('uint8'\)$"):
        w.write_frame(np.zeros((8, 8, 3), np.float32))
    with pytest.raises(RuntimeError) as ei:
        w.write_frame(np.zeros((8, 8, 3), np.uint8))
    assert str(ei.value) == ("jxl: writer is not in animation mode; set animation=True for "
                             "multi-frame output")
    assert len(frames_of(w.close())) == 1


@pytest.mark.parametrize("first, later, message", [
    ((8, 8), (8, 8, 2), "jxl: frame shape does not match first frame"),
    ((8, 8, 3), (8, 8), "jxl: frame shape does not match first frame"),
    ((8, 8, 3), (8, 8, 4), "jxl: frame shape does not match first frame"),
    ((8, 8, 3), (9, 8, 3), "jxl: frame shape does not match first frame"),
    ((8, 8, 3), (8,), "jxl: invalid ndim 1"),
    ((8, 8, 3), (1, 8, 8, 3), "jxl: invalid ndim 4"),
])
def test_later_frame_must_match(first, later, message):
    w = jxl.JxlWriter(animation=True)
    w.write_frame(np.zeros(first, np.uint8))
    with pytest.raises(ValueError) as ei:
        w.write_frame(np.zeros(later, np.uint8))
    assert str(ei.value) == message
    assert len(frames_of(w.close())) == 1


def test_animation_mixes_2d_and_single_channel_3d_frames():
    frames = [synthetic(12, 10, 1, seed=i) for i in range(4)]
    w = jxl.JxlWriter(animation=True)
    for i, f in enumerate(frames):
        w.write_frame(f if i % 2 else f[:, :, None])
    with pytest.raises(ValueError, match="does not match first frame dtype"):
        w.write_frame(frames[0].astype(np.uint16))
    out = frames_of(w.close())
    assert len(out) == 4
    assert all(np.array_equal(o, f) for o, f in zip(out, frames))


@pytest.mark.parametrize("effort", [1, 3, 5])
@pytest.mark.parametrize("mark_last", [False, True])
def test_animation_without_is_last_keeps_every_frame(effort, mark_last):
    frames = [synthetic(20, 24, 3, seed=i) for i in range(3)]
    w = jxl.JxlWriter(animation=True, effort=effort)
    for i, f in enumerate(frames):
        w.write_frame(f, is_last=mark_last and i == 2)
    out = frames_of(w.close())
    assert len(out) == 3
    assert all(np.array_equal(o, f) for o, f in zip(out, frames))


@pytest.mark.parametrize("effort", [1, 5])
def test_reusing_the_callers_array_does_not_change_written_frames(effort):
    # The same buffer is refilled for every frame, as a capture loop would.
    buf = np.empty((16, 16, 3), np.uint8)
    expect = []
    w = jxl.JxlWriter(animation=True, effort=effort)
    for i in range(3):
        buf[...] = synthetic(16, 16, 3, seed=10 + i)
        expect.append(buf.copy())
        w.write_frame(buf)
    buf[...] = 0
    out = frames_of(w.close())
    assert len(out) == 3
    assert all(np.array_equal(o, e) for o, e in zip(out, expect))


def test_frame_after_is_last_is_refused_by_libjxl():
    w = jxl.JxlWriter(animation=True)
    w.write_frame(np.zeros((4, 4), np.uint8))
    w.write_frame(np.ones((4, 4), np.uint8), is_last=True)
    with pytest.raises(jxl.JxlError) as ei:
        w.write_frame(np.zeros((4, 4), np.uint8))
    assert str(ei.value) == ("JxlEncoderAddImageFrame returned JXL_ENC_ERROR "
                             "(JXL_ENC_ERR_API_USAGE)")
    assert len(frames_of(w.close())) == 2


@pytest.mark.parametrize("make", [
    lambda a: a[:, ::-1],                   # negative stride
    lambda a: np.asfortranarray(a),         # Fortran order
    lambda a: memoryview(a),                # not an array at all
])
def test_array_likes_and_non_contiguous_views(make):
    a = synthetic(10, 14, 3)
    src = make(a)
    w = jxl.JxlWriter()
    w.write_frame(src)
    assert np.array_equal(frames_of(w.close())[0], np.asarray(src))


def test_contiguous_frame_is_not_copied():
    a = synthetic(512, 512, 3)  # 768 KiB
    view = a[:, ::-1]
    results = {}
    for name, frame in (("contiguous", a), ("view", view)):
        w = jxl.JxlWriter(effort=1, numthreads=1)
        tracemalloc.start()
        w.write_frame(frame)
        results[name] = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        w.close()
    # NumPy reports its buffers to tracemalloc; libjxl's own allocations are not traced.
    assert results["contiguous"] < a.nbytes // 4
    assert a.nbytes <= results["view"] < 2 * a.nbytes


# ---- close and lifecycle ---------------------------------------------------------

def test_close_is_idempotent_and_final():
    w = jxl.JxlWriter()
    w.write_frame(np.zeros((4, 4), np.uint8))
    data = w.close()
    assert isinstance(data, bytes) and data
    assert w.close() is None
    with pytest.raises(RuntimeError, match="^JxlWriter is closed$"):
        w.write_frame(np.zeros((4, 4), np.uint8))


@pytest.mark.parametrize("kwargs", [{}, dict(animation=True)])
def test_close_without_frames_is_an_error(kwargs, tmp_path):
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        jxl.JxlWriter(**kwargs).close()
    p = tmp_path / "empty.jxl"
    w = jxl.JxlWriter(p, **kwargs)
    with pytest.raises(ValueError, match="^jxl: unsupported dtype"):
        w.write_frame(np.zeros((4, 4, 3), np.int32))  # refused: still no frame
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        w.close()
    assert os.listdir(tmp_path) == []


def test_docstrings():
    assert jxl.JxlWriter.close.__doc__.splitlines()[0] == "Finalize encoding and release resources."
    assert jxl.JxlWriter.__doc__.splitlines()[0] == "Streaming JPEG XL encoder."


def test_context_manager_memory_mode_discards_unclosed_bytes():
    with jxl.JxlWriter() as w:
        assert w.__enter__() is w
        w.write_frame(np.zeros((4, 4), np.uint8))
    assert w.close() is None
    with pytest.raises(RuntimeError, match="^JxlWriter is closed$"):
        w.write_frame(np.zeros((4, 4), np.uint8))


def test_context_manager_memory_mode_close_inside():
    with jxl.JxlWriter() as w:
        w.write_frame(np.zeros((4, 4), np.uint8))
        data = w.close()
    assert frames_of(data)[0].shape == (4, 4)


def test_context_manager_path_written_at_exit(tmp_path):
    p = tmp_path / "ctx.jxl"
    a = synthetic(8, 8, 3)
    with jxl.JxlWriter(os.fspath(p)) as w:
        w.write_frame(a)
    assert p.read_bytes() == jxl.encode(a)


def test_exception_in_context_abandons_stream(tmp_path):
    p = tmp_path / "abandoned.jxl"
    with pytest.raises(KeyError):
        with jxl.JxlWriter(p) as w:
            w.write_frame(synthetic(8, 8, 3))
            raise KeyError("boom")
    assert not p.exists() and os.listdir(tmp_path) == []
    # The encoder is gone: a later frame is refused, never handed to libjxl.
    with pytest.raises(RuntimeError, match="^JxlWriter is closed$"):
        w.write_frame(synthetic(8, 8, 3))
    assert w.close() is None
    assert os.listdir(tmp_path) == []


def test_exit_returns_false_and_abandoned_memory_close_is_empty():
    w = jxl.JxlWriter()
    w.write_frame(np.zeros((4, 4), np.uint8))
    assert w.__exit__(ValueError, ValueError("x"), None) is False
    assert w.close() == b""
    assert w.__exit__(None, None, None) is False


def test_uninitialised_instance_is_refused():
    w = jxl.JxlWriter.__new__(jxl.JxlWriter)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # nanobind's own notice
        for call in (lambda: w.write_frame(np.zeros((4, 4), np.uint8)), w.close,
                     lambda: w.__exit__(KeyError, None, None)):
            with pytest.raises(TypeError):
                call()


def test_exit_calls_close_through_the_attribute():
    calls = []

    class Tracked(jxl.JxlWriter):
        def close(self):
            calls.append("close")
            return super().close()

    with Tracked() as w:
        w.write_frame(np.zeros((4, 4), np.uint8))
    assert calls == ["close"]


def test_dropped_writer_leaves_the_path_untouched(tmp_path):
    p = tmp_path / "dropped.jxl"
    p.write_bytes(b"keep me")
    w = jxl.JxlWriter(p)
    w.write_frame(synthetic(8, 8, 3))
    del w
    gc.collect()
    assert p.read_bytes() == b"keep me" and os.listdir(tmp_path) == ["dropped.jxl"]


@pytest.mark.parametrize("action", [
    lambda w: pickle.dumps(w),
    lambda w: copy.copy(w),
    lambda w: w.__reduce__(),
    lambda w: w.__setstate__(None),
])
def test_pickling_refused(action):
    with pytest.raises(TypeError) as ei:
        action(jxl.JxlWriter())
    assert str(ei.value) == "cannot pickle 'JxlWriter' object"


def test_reference_cycles_are_collected():
    class CycleSink(Sink):
        pass

    sink = CycleSink()
    sink.writer = jxl.JxlWriter(sink)
    sink.writer.write_frame(np.zeros((4, 4), np.uint8))
    probe = weakref.ref(sink)
    del sink
    gc.collect()
    assert probe() is None


# ---- concurrency and re-entrancy -----------------------------------------------

def test_second_thread_refused_while_frame_encodes():
    big = synthetic(1024, 1024, 3)
    w = jxl.JxlWriter(quality=90, effort=7, numthreads=1)
    errors = []
    t = threading.Thread(target=lambda: w.write_frame(big))
    t.start()
    for _ in range(10**7):
        if w._busy or not t.is_alive():
            break
    seen_busy = w._busy
    for call in (lambda: w.write_frame(big), w.close, lambda: w.__exit__(KeyError, None, None)):
        try:
            call()
        except RuntimeError as e:
            errors.append(str(e))
    t.join()
    assert seen_busy, "the encode finished before the test could observe it"
    assert errors == ["jxl: JxlWriter is in use by another thread"] * 3
    assert frames_of(w.close())[0].shape == big.shape


def test_reentry_from_array_conversion_refused():
    w = jxl.JxlWriter()

    class Sneaky:
        def __array__(self, dtype=None, copy=None):
            w.close()
            return np.zeros((4, 4), np.uint8)

    with pytest.raises(RuntimeError, match="^jxl: JxlWriter is in use by another thread$"):
        w.write_frame(Sneaky())
    w.write_frame(np.zeros((4, 4), np.uint8))
    assert frames_of(w.close())[0].shape == (4, 4)


def test_reentry_from_destination_write_refused():
    class Meddler:
        def write(self, b):
            self.w.write_frame(np.zeros((4, 4), np.uint8))

    m = Meddler()
    m.w = jxl.JxlWriter(m)
    m.w.write_frame(np.zeros((4, 4), np.uint8))
    with pytest.raises(RuntimeError, match="in use by another thread"):
        m.w.close()
    with pytest.raises(RuntimeError, match="in use by another thread"):
        m.w.close()  # still open: a closed writer would return None


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_writers_do_not_leak():
    good = synthetic(8, 8, 3)

    def churn(n):
        for i in range(n):
            w = jxl.JxlWriter(quality=90 if i % 2 else None)
            w.write_frame(good)
            w.close()
            try:
                jxl.encode(np.zeros((4, 4), np.int32))
            except ValueError:
                pass
            w = jxl.JxlWriter(animation=True)
            w.write_frame(good)  # never closed: released by destruction
            try:
                jxl.JxlWriter(icc_profile=b"short")
            except ValueError:
                pass

    churn(100)
    gc.collect()
    before = _rss_kib()
    churn(600)
    gc.collect()
    grown = _rss_kib() - before
    skip_rss_bound_if_sanitized()
    assert grown < 4 * 1024
