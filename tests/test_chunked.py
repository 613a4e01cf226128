"""Large still images go to libjxl in rectangles of the caller's array and,
for a path, straight into the file: the stream must match the frame-at-once
encode, whatever the array's layout and the destination."""

import io
import os
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import quillmarsh.codecs._jxl as jxl
from _images import psnr, synthetic

LOSSLESS = dict(lossless=True, effort=2)
LOSSY = dict(distance=1.0, effort=3)


@pytest.fixture
def chunked_mode(testing_hooks):
    """Sets the module's chunked mode for one test, restoring it afterwards."""
    before = testing_hooks.chunked_mode()
    yield testing_hooks.chunked_mode
    testing_hooks.chunked_mode(before)


def frame_at_once(chunked_mode, arr, **kw):
    chunked_mode("never")
    try:
        return jxl.encode(np.ascontiguousarray(arr), **kw)
    finally:
        chunked_mode("auto")


def check_same_stream(arr, got, ref, lossless):
    """libjxl streams large frames in sections; its output may differ only
    within 1 % in size, and must decode to the same image quality."""
    assert got == ref or abs(len(got) / len(ref) - 1) <= 0.01, (len(got), len(ref))
    out = jxl.decode(got)
    if lossless:
        np.testing.assert_array_equal(out, arr)
    else:
        peak = 1.0 if arr.dtype.kind == "f" else float(np.iinfo(arr.dtype).max)
        assert psnr(arr, out, peak) >= psnr(arr, jxl.decode(ref), peak) - 0.1


# Frames over 2048 pixels on one side cross the 2048x2048 sections libjxl
# streams, and 256x256 groups at their edges.
@pytest.mark.parametrize("shape, c, dtype, kw", [
    ((300, 2100), 1, np.uint8, LOSSLESS),
    ((300, 2100), 3, np.uint8, dict(lossless=True, effort=1)),  # libjxl's fastest coder
    ((2100, 300), 4, np.uint8, LOSSY),
    ((300, 2100), 2, np.uint16, LOSSLESS),
    ((300, 2100), 3, np.uint16, LOSSY),
    ((300, 2100), 4, np.float32, LOSSLESS),
    ((2100, 300), 3, np.float32, LOSSY),
    pytest.param((1700, 2500), 3, np.uint8, LOSSLESS, marks=pytest.mark.slow),
    pytest.param((1700, 2500), 4, np.uint8, dict(distance=2.0, effort=5, progressive=True),
                 marks=pytest.mark.slow),
])
def test_chunked_stream_matches_frame_at_once(chunked_mode, shape, c, dtype, kw):
    arr = synthetic(*shape, c, dtype)
    check_same_stream(arr, jxl.encode(arr, **kw), frame_at_once(chunked_mode, arr, **kw),
                      kw.get("lossless", False))


def test_chunked_extra_channels_match_frame_at_once(chunked_mode):
    # Channels beyond alpha are handed over as planes of their own, an
    # 8-bit one of a uint16 array as 8-bit samples.
    arr = np.concatenate([synthetic(300, 2100, 4, np.uint16), synthetic(300, 2100, 1, np.uint16,
                                                                         seed=1)[..., None]], -1)
    arr[..., 3] >>= 8
    kw = dict(LOSSLESS, channels=["color", "color", "color", {"type": "alpha", "bits": 8}, "depth"])
    got, ref = jxl.encode(arr, **kw), frame_at_once(chunked_mode, arr, **kw)
    assert got == ref or abs(len(got) / len(ref) - 1) <= 0.01
    np.testing.assert_array_equal(jxl.decode(got, extra_channels=True), arr)


def memmap_of(arr, path):
    mm = np.lib.format.open_memmap(path, mode="w+", dtype=arr.dtype, shape=arr.shape)
    mm[:] = arr
    mm.flush()
    return np.load(path, mmap_mode="r")


def unaligned(arr):
    raw = np.zeros(arr.nbytes + 1, np.uint8)
    view = raw[1:].view(arr.dtype).reshape(arr.shape)
    view[:] = arr
    return view


@pytest.mark.parametrize("make, dtype", [
    (lambda a, p: a[::-1], np.uint8),                       # negative row stride
    (lambda a, p: np.asfortranarray(a), np.uint16),         # samples planes apart
    (lambda a, p: a[:, ::-1, ::-1], np.uint8),              # pixels and samples reversed
    (lambda a, p: a[..., :3], np.float32),                  # RGB of an RGBA array
    (lambda a, p: np.pad(a, ((2, 0), (5, 3), (0, 0)))[2:, 5:-3], np.uint8),  # padded rows
    (lambda a, p: unaligned(a), np.uint16),
    (lambda a, p: memmap_of(a, p), np.uint8),
])
def test_sources_are_read_where_they_lie(chunked_mode, tmp_path, make, dtype):
    arr = make(synthetic(300, 2100, 4, dtype), tmp_path / "frame.npy")
    ref = frame_at_once(chunked_mode, arr, **LOSSLESS)
    # No copy of the frame is made on the Python side (NumPy's allocations
    # are traced); rectangles are copied natively when they must be. A path
    # gets the stream without a bytes object in between.
    tracemalloc.start()
    try:
        jxl.encode(arr, dest=tmp_path / "out.jxl", **LOSSLESS)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < arr.nbytes // 4, (peak, arr.nbytes)
    got = (tmp_path / "out.jxl").read_bytes()
    check_same_stream(np.ascontiguousarray(arr), got, ref, lossless=True)


def test_memmap_alive_without_caller_reference(chunked_mode, tmp_path):
    arr = synthetic(300, 2100, 3)
    memmap_of(arr, tmp_path / "frame.npy")
    # The call's own reference keeps the map open while libjxl reads it.
    got = jxl.encode(np.load(tmp_path / "frame.npy", mmap_mode="r"), **LOSSY)
    check_same_stream(arr, got, frame_at_once(chunked_mode, arr, **LOSSY), lossless=False)


@pytest.mark.parametrize("dest", ["path", "bytes", "file", "writer-path", "writer-bytes"])
@pytest.mark.parametrize("kw", [LOSSY, dict(LOSSLESS, exif=b"II*\x00\x08\x00\x00\x00\x00\x00")])
def test_every_destination_gets_the_stream(chunked_mode, tmp_path, dest, kw):
    arr = synthetic(2100, 300, 3)
    ref = frame_at_once(chunked_mode, arr, **kw)
    target = tmp_path / "out.jxl"
    target.write_bytes(b"old")
    if dest == "path":
        assert jxl.encode(arr, dest=target, **kw) is None
        got = target.read_bytes()
    elif dest == "bytes":
        got = jxl.encode(arr, **kw)
    elif dest == "file":
        f = io.BytesIO()
        assert jxl.encode(arr, dest=f, **kw) is None
        got = f.getvalue()
    else:
        with jxl.JxlWriter(target if dest == "writer-path" else None, **kw) as w:
            w.write_frame(arr)
            with pytest.raises(RuntimeError, match="not in animation mode"):
                w.write_frame(arr)
            result = w.close()
        got = target.read_bytes() if dest == "writer-path" else result
    assert got == ref or abs(len(got) / len(ref) - 1) <= 0.01
    np.testing.assert_array_equal(jxl.decode(got), jxl.decode(ref))
    if "exif" in kw:
        assert jxl.JxlReader(got).exif == kw["exif"]
    assert sorted(os.listdir(tmp_path)) == ["out.jxl"]  # no temporary file left


FAILING_WRITE = textwrap.dedent("""
    import os, resource, signal, sys
    import numpy as np
    import quillmarsh.codecs._jxl as jxl
    sys.path.insert(0, {tests!r})
    from _images import synthetic
    arr = synthetic(2100, 300, 3)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (200000, 200000))  # the stream is ~600 kB
    for how in ("encode", "writer"):
        try:
            if how == "encode":
                jxl.encode(arr, dest=sys.argv[1], lossless=True, effort=2)
            else:
                with jxl.JxlWriter(sys.argv[1], lossless=True, effort=2) as w:
                    w.write_frame(arr)
        except OSError as exc:
            print(how, type(exc).__name__, exc.errno)
""")


def test_failed_write_leaves_existing_file_and_no_part(tmp_path):
    target = tmp_path / "keep.jxl"
    target.write_bytes(b"precious")
    r = subprocess.run([sys.executable, "-c", FAILING_WRITE.format(tests=os.path.dirname(__file__)),
                        str(target)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    import errno
    assert r.stdout.split("\n")[:2] == [f"encode OSError {errno.EFBIG}", f"writer OSError {errno.EFBIG}"]
    assert target.read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["keep.jxl"]
