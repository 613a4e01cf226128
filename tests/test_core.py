"""Module core: import, status tables, error reporting, probes, sample types; companions."""

import io
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quillmarsh
import quillmarsh.codecs._jxl as jxl
from quillmarsh.core import color, errors
from quillmarsh.core.io import BackgroundChunkReader

SRC_ROOT = os.path.dirname(os.path.dirname(quillmarsh.__file__))


def _run_py(code):
    env = dict(os.environ, PYTHONPATH=SRC_ROOT)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=60)


# ---- module frame -----------------------------------------------------------

def test_module_names():
    assert jxl.__doc__.splitlines()[0] == "Streaming JPEG XL codec for quillmarsh."
    assert jxl.io is io and jxl.os is os and jxl.np is np
    assert jxl.JxlError is errors.JxlError
    assert issubclass(jxl.JxlError, Exception)
    assert str(jxl.JxlError("x")) == "x"


def test_status_tables_exact_and_ordered():
    assert list(jxl._DEC_STATUS_NAMES.items()) == [
        (0, "JXL_DEC_SUCCESS"), (1, "JXL_DEC_ERROR"), (2, "JXL_DEC_NEED_MORE_INPUT"),
        (3, "JXL_DEC_NEED_PREVIEW_OUT_BUFFER"), (5, "JXL_DEC_NEED_IMAGE_OUT_BUFFER"),
        (6, "JXL_DEC_JPEG_NEED_MORE_OUTPUT"), (64, "JXL_DEC_BASIC_INFO"),
        (256, "JXL_DEC_COLOR_ENCODING"), (512, "JXL_DEC_PREVIEW_IMAGE"), (1024, "JXL_DEC_FRAME"),
        (4096, "JXL_DEC_FULL_IMAGE"), (8192, "JXL_DEC_JPEG_RECONSTRUCTION"),
        (16384, "JXL_DEC_BOX"), (32768, "JXL_DEC_FRAME_PROGRESSION"),
        (65536, "JXL_DEC_BOX_COMPLETE"),
    ]
    assert list(jxl._ENC_STATUS_NAMES.items()) == [
        (0, "JXL_ENC_SUCCESS"), (1, "JXL_ENC_ERROR"), (2, "JXL_ENC_NEED_MORE_OUTPUT")]
    assert list(jxl._ENC_ERR_NAMES.items()) == [
        (0, "JXL_ENC_ERR_OK"), (1, "JXL_ENC_ERR_GENERIC"), (2, "JXL_ENC_ERR_OOM"),
        (3, "JXL_ENC_ERR_JBRD"), (4, "JXL_ENC_ERR_BAD_INPUT"), (128, "JXL_ENC_ERR_NOT_SUPPORTED"),
        (129, "JXL_ENC_ERR_API_USAGE")]
    assert all(type(d) is dict for d in
               (jxl._DEC_STATUS_NAMES, jxl._ENC_STATUS_NAMES, jxl._ENC_ERR_NAMES))


@pytest.mark.parametrize("func,status,msg", [
    ("JxlDecoderProcessInput", 1, "JxlDecoderProcessInput returned JXL_DEC_ERROR"),
    ("JxlDecoderSetInput", 32768, "JxlDecoderSetInput returned JXL_DEC_FRAME_PROGRESSION"),
    ("JxlDecoderSubscribeEvents", 7, "JxlDecoderSubscribeEvents returned unknown 7"),
    ("X", -3, "X returned unknown -3"),
    (None, 1, "None returned JXL_DEC_ERROR"),
])
def test_raise_dec(func, status, msg):
    with pytest.raises(jxl.JxlError) as ei:
        jxl._raise_dec(func, status)
    assert str(ei.value) == msg


@pytest.mark.parametrize("args,msg", [
    (("JxlEncoderProcessOutput", 1, 129),
     "JxlEncoderProcessOutput returned JXL_ENC_ERROR (JXL_ENC_ERR_API_USAGE)"),
    (("JxlEncoderProcessOutput", 1, 200), "JxlEncoderProcessOutput returned JXL_ENC_ERROR (unknown 200)"),
    (("JxlEncoderSetBasicInfo", 1), "JxlEncoderSetBasicInfo returned JXL_ENC_ERROR"),
    (("JxlEncoderFrameSettingsSetOption EFFORT", 9, 0),
     "JxlEncoderFrameSettingsSetOption EFFORT returned unknown 9 (JXL_ENC_ERR_OK)"),
])
def test_raise_enc(args, msg):
    with pytest.raises(jxl.JxlError) as ei:
        jxl._raise_enc(*args)
    assert str(ei.value) == msg


def test_status_tables_are_read_at_each_use(monkeypatch):
    monkeypatch.setitem(jxl._DEC_STATUS_NAMES, 7, "JXL_DEC_BOX_NEED_MORE_OUTPUT")
    with pytest.raises(jxl.JxlError, match="^f returned JXL_DEC_BOX_NEED_MORE_OUTPUT$"):
        jxl._raise_dec("f", 7)


def test_libjxl_version():
    v = jxl.libjxl_version()
    parts = v.split(".")
    assert len(parts) == 3 and all(p.isdigit() and (p == "0" or not p.startswith("0")) for p in parts)
    assert tuple(map(int, parts)) >= (0, 11, 0)
    with pytest.raises(TypeError):
        jxl.libjxl_version(1)


CONTAINER_SIG = b"\x00\x00\x00\x0cJXL \r\n\x87\n"


@pytest.mark.parametrize("data,want", [
    (b"", False), (None, False), (b"\xff", False), (b"\xff\x0a", True),
    (CONTAINER_SIG, True), (CONTAINER_SIG[:11], False), (b"\xff\x0b", False),
    (b"\xff\x0a" + os.urandom(100 * 1024), True), (CONTAINER_SIG + b"\x00" * 50, True),
    (bytearray(b"\xff\x0a"), True), (memoryview(b"\xff\x0a"), True),
    (np.frombuffer(CONTAINER_SIG, np.uint8), True),
    (b"\x89PNG\r\n\x1a\n", False),
])
def test_check_signature(data, want):
    assert jxl.check_signature(data) is want


def test_check_signature_reads_only_16_bytes():
    # A container signature whose box continues with garbage is still accepted:
    # nothing past byte 16 is looked at.
    assert jxl.check_signature(CONTAINER_SIG + b"\xff" * 4 + b"garbage!" * 1000)
    assert jxl.check_signature(data=b"\xff\x0a")


@pytest.mark.parametrize("bad,exc", [
    ("\xff\x0a", TypeError), ([255, 10], TypeError), (12, TypeError),
    (np.zeros((2, 8), np.uint8), ValueError), (np.zeros(32, np.uint8)[::2], ValueError),
    (np.zeros(8, np.uint16), ValueError),
])
def test_check_signature_refuses_non_byte_buffers(bad, exc):
    with pytest.raises(exc):
        jxl.check_signature(bad)


@pytest.mark.parametrize("func,first_line,params", [
    (jxl.check_signature, "Return True if `data` looks like a JPEG XL stream.", "(data)"),
    (jxl.decode, "Decode a JPEG XL bytes/path into a numpy array (single ndarray).",
     "(data, *, numthreads=None, keep_orientation=False, coalesce=True, parse_color=False, "
     "streaming=False, index=None, downsample=1, subsample='top-left', max_pixels=1073741824, "
     "max_bytes=8589934592, output_color=None, desired_intensity_target=None, "
     "extra_channels=False, render_spot_colors=False, rescale=False, unpremultiply_alpha=False, "
     "opaque_alpha=False, allow_partial=False, out=None)"),
    (jxl.encode, "Encode a single ndarray (or animation stack) to JPEG XL bytes.", None),
    (jxl.frame_count, "Return the number of frames in a JPEG XL stream.",
     "(data, *, numthreads=None)"),
    (jxl.thumbnail_bytes, "Return the JXL byte-prefix consumed up to the DC progressive pass.",
     "(data, *, numthreads=None, max_pixels=1073741824)"),
    (jxl.JxlReader.iter_frames, "Yield one decoded numpy array per JXL frame.",
     "(self, *, out=None)"),
    (jxl.JxlReader.read_into, "Decode the frames left into `out` and return it.", "(self, out)"),
    (jxl.JxlReader.read, "Decode the entire stream.", "(self)"),
    (jxl.JxlWriter.close, "Finalize encoding and release resources.", "(self)"),
    (jxl.JxlWriter.write_frame, None, "(self, arr, *, is_last=False, duration=None, name=None, timecode=None)"),
])
def test_docstrings_and_signatures(func, first_line, params):
    import inspect
    if first_line is not None:
        assert func.__doc__.splitlines()[0] == first_line
    if params is not None:
        sig = inspect.signature(func).replace(return_annotation=inspect.Signature.empty)
        assert str(sig) == params
    assert jxl.libjxl_version.__doc__ is None


def _bytes_or_none():
    return bytes | None


@pytest.mark.parametrize("func, returns", [
    (jxl.libjxl_version, str), (jxl.check_signature, bool), (jxl.frame_count, int),
    (jxl.decode, np.ndarray), (jxl.encode, _bytes_or_none()),
    (jxl.thumbnail_bytes, _bytes_or_none()), (jxl.JxlReader.read, np.ndarray),
    (jxl.JxlReader.close, None), (jxl.JxlWriter.write_frame, None),
    (jxl.JxlWriter.close, _bytes_or_none()),
])
def test_return_annotations(func, returns):
    import inspect
    assert inspect.signature(func).return_annotation == returns
    assert func.__module__ == "quillmarsh.codecs._jxl"


def test_argument_errors_use_the_interpreters_wording():
    with pytest.raises(TypeError, match=r"decode\(\) takes 1 positional argument but 2"):
        jxl.decode(b"", 4)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'qualty'"):
        jxl.encode(np.zeros((4, 4), np.uint8), qualty=90)


# ---- sample types and frame shapes ------------------------------------------

@pytest.mark.parametrize("c,e,a,bits,exp,dtype,shape,nbytes_per_px,bd_type", [
    (3, 0, 0, 8, 0, np.uint8, (5, 4, 3), 3, 1),
    (1, 0, 0, 16, 0, np.uint16, (5, 4), 2, 1),
    (3, 0, 0, 10, 0, np.uint16, (5, 4, 3), 6, 1),
    (1, 0, 0, 1, 0, np.uint8, (5, 4), 1, 1),
    (3, 0, 0, 24, 0, np.float32, (5, 4, 3), 12, 0),
    (3, 1, 16, 16, 5, np.float16, (5, 4, 4), 8, 0),
    (1, 1, 8, 8, 0, np.uint8, (5, 4, 2), 2, 1),
    (3, 0, 0, 32, 8, np.float32, (5, 4, 3), 12, 0),
])
def test_layout_and_output_format(c, e, a, bits, exp, dtype, shape, nbytes_per_px, bd_type,
                                  testing_hooks):
    got = testing_hooks.describe_basic_info(c, e, a, bits, exp, 4, 5)
    assert got[0] is dtype
    assert got[1] == shape and all(type(v) is int for v in got[1])
    assert got[2] == (shape[2] if len(shape) == 3 else 1)
    assert got[3] == nbytes_per_px * 4 * 5
    assert got[5] == bd_type  # 1: bit depth from the codestream (integers keep their range)


def test_wide_integer_output_is_float32_with_pixel_format_depth(testing_hooks):
    got = testing_hooks.describe_basic_info(3, 0, 0, 24, 0)
    assert got[4:] == (0, 0, 32, 8)  # JXL_TYPE_FLOAT, FROM_PIXEL_FORMAT, 32 bits, 8 exp


def test_unsupported_float_width(testing_hooks):
    with pytest.raises(ValueError, match="^jxl: unsupported float bits_per_sample=24$"):
        testing_hooks.describe_basic_info(3, 0, 0, 24, 8)


@pytest.mark.parametrize("c,e,a,msg", [
    (1, 1, 0, "color=1, extra=1, alpha=False"),
    (3, 2, 8, "color=3, extra=2, alpha=True"),
    (2, 0, 0, "color=2, extra=0, alpha=False"),
    (4, 0, 0, "color=4, extra=0, alpha=False"),
])
def test_unsupported_layouts(c, e, a, msg, testing_hooks):
    with pytest.raises(NotImplementedError) as ei:
        testing_hooks.describe_basic_info(c, e, a, 8, 0)
    assert str(ei.value) == (f"jxl: unsupported channel layout ({msg}); "
                             "v0.1 supports L, LA, RGB, RGBA only")


# ---- import behaviour ---------------------------------------------------------

def test_imports_without_colour_and_io_modules():
    r = _run_py(
        "import sys; sys.modules['quillmarsh.core.color'] = None; "
        "sys.modules['quillmarsh.core.io'] = None\n"
        "import quillmarsh.codecs._jxl as j\n"
        "print(j.check_signature(b'\\xff\\x0a'))\n"
        "assert 'quillmarsh.core.color' in sys.modules and sys.modules['quillmarsh.core.color'] is None")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


def test_import_fails_cleanly_without_numpy_c_api():
    r = _run_py(
        "import numpy._core._multiarray_umath as m\n"
        "del m._ARRAY_API\n"
        "try:\n"
        "    import quillmarsh.codecs._jxl\n"
        "except ImportError as e:\n"
        "    print('ImportError:', e)\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError: numpy._core.multiarray failed to import"


def test_import_fails_without_errors_module():
    r = _run_py(
        "import sys; sys.modules['quillmarsh.core.errors'] = None\n"
        "try:\n"
        "    import quillmarsh.codecs._jxl\n"
        "except ImportError as e:\n"
        "    print('ImportError')\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError"


# ---- colour companion ---------------------------------------------------------

def test_tf_gamma_matches_libjxl():
    assert color.JXL_TF_GAMMA == 65535


@pytest.mark.parametrize("name,prim,tf,hdr", [
    ("srgb", 1, 13, False), ("SRGB", 1, 13, False), ("linear-srgb", 1, 8, False),
    ("Display-P3", 11, 13, False), ("rec2020", 9, 1, False),
    ("rec2100-pq", 9, 16, True), ("REC2100-HLG", 9, 18, True),
])
def test_parse_color_names(name, prim, tf, hdr):
    spec = color.parse_color(name)
    assert isinstance(spec, color.ColorSpec)
    assert (spec.white_point, spec.primaries, spec.transfer, spec.is_hdr) == (1, prim, tf, hdr)


def test_parse_color_passthrough_and_errors():
    assert color.parse_color(None) is None
    spec = color.ColorSpec(primaries=11)
    assert color.parse_color(spec) is spec
    with pytest.raises(ValueError) as ei:
        color.parse_color("lab")
    for known in ("srgb", "linear-srgb", "display-p3", "rec2020", "rec2100-pq", "rec2100-hlg"):
        assert known in str(ei.value)
    with pytest.raises(TypeError):
        color.parse_color(3)
    with pytest.raises(ValueError):
        color.ColorSpec(transfer=color.JXL_TF_GAMMA, gamma=2.2)


# ---- background chunk reader ------------------------------------------------------

def _drain(r):
    chunks = []
    while (c := r.get()) is not None:
        assert type(c) is bytes
        chunks.append(c)
    return chunks


@pytest.mark.parametrize("size", [0, 5, 4096, 10_000])
@pytest.mark.parametrize("as_path", [True, False])
def test_chunk_reader_reads_everything(tmp_path, size, as_path):
    payload = os.urandom(size)
    p = tmp_path / "f.bin"
    p.write_bytes(payload)
    src = p if as_path else io.BytesIO(payload)
    r = BackgroundChunkReader(src, chunk_size=4096, prefetch=2)
    chunks = _drain(r)
    assert b"".join(chunks) == payload
    assert all(0 < len(c) <= 4096 for c in chunks)
    assert r.get() is None  # stays at the end
    r.close()
    r.close()
    if not as_path:
        assert not src.closed  # the caller's file is left open


def test_chunk_reader_splits_oversized_reads():
    class Greedy(io.RawIOBase):
        def __init__(self):
            self.left = 3

        def read(self, n=-1):
            if not self.left:
                return b""
            self.left -= 1
            return b"x" * (n * 3 + 1)

    r = BackgroundChunkReader(Greedy(), chunk_size=10, prefetch=1)
    chunks = _drain(r)
    assert sum(map(len, chunks)) == 3 * 31 and max(map(len, chunks)) == 10
    r.close()


def test_chunk_reader_reraises_read_error_in_caller():
    class Failing(io.RawIOBase):
        calls = 0

        def read(self, n=-1):
            self.calls += 1
            if self.calls > 1:
                raise OSError("disk on fire")
            return b"a" * n

    r = BackgroundChunkReader(Failing(), chunk_size=8, prefetch=4)
    assert r.get() == b"a" * 8
    with pytest.raises(OSError, match="disk on fire"):
        r.get()
    assert r.get() is None
    r.close()


def test_chunk_reader_closes_own_file_only(tmp_path):
    p = tmp_path / "f.bin"
    p.write_bytes(b"abc")
    r = BackgroundChunkReader(str(p))
    f = r._file
    assert r.get() == b"abc"
    r.close()
    assert f.closed
    with pytest.raises(ValueError):
        r.get()


def test_chunk_reader_close_while_queue_full_is_prompt():
    class Endless(io.RawIOBase):
        def read(self, n=-1):
            return b"z" * n

    r = BackgroundChunkReader(Endless(), chunk_size=1024, prefetch=2)
    deadline = time.monotonic() + 5
    while r._queue.qsize() < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert r._queue.full()
    t0 = time.monotonic()
    r.close()
    assert time.monotonic() - t0 < 2.0
    assert not r._thread.is_alive()


def test_chunk_reader_get_lets_other_threads_run():
    class Slow(io.RawIOBase):
        def __init__(self):
            self.n = 0

        def read(self, n=-1):
            self.n += 1
            if self.n > 2:
                return b""
            time.sleep(0.3)
            return b"s" * 4

    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    t = threading.Thread(target=ticker)
    t.start()
    r = BackgroundChunkReader(Slow(), chunk_size=4)
    assert _drain(r) == [b"ssss", b"ssss"]
    stop.set()
    t.join()
    r.close()
    assert len(ticks) > 10  # the ticker ran while get() waited


def test_chunk_reader_dropped_without_close_stops_its_thread(tmp_path):
    import gc
    p = tmp_path / "big.bin"
    p.write_bytes(b"q" * 64 * 1024)
    r = BackgroundChunkReader(p, chunk_size=1024, prefetch=2)
    thread, shared = r._thread, r._shared
    assert r.get() == b"q" * 1024
    del r
    gc.collect()
    thread.join(timeout=2)
    assert not thread.is_alive()
    assert shared.file.closed


def test_module_refuses_a_second_execution():
    r = _run_py(
        "import sys, importlib\n"
        "import quillmarsh.codecs._jxl\n"
        "del sys.modules['quillmarsh.codecs._jxl']\n"
        "try:\n"
        "    importlib.import_module('quillmarsh.codecs._jxl')\n"
        "except ImportError as e:\n"
        "    print(type(e.__cause__).__name__, e.__cause__)\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == ("RuntimeError Module '_jxl' has already been imported. "
                                "Re-initialisation is not supported.")


def test_atomic_output_keeps_target_until_commit(tmp_path):
    from quillmarsh.core.io import AtomicOutput

    target = tmp_path / "x.bin"
    target.write_bytes(b"old")
    out = AtomicOutput(target)
    out.write(b"new data")
    assert target.read_bytes() == b"old"
    out.discard()
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.bin"]
    with pytest.raises(RuntimeError), AtomicOutput(target) as out:
        out.write(b"half")
        raise RuntimeError("boom")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.bin"]
    with AtomicOutput(target) as out:
        out.write(b"new")
    assert target.read_bytes() == b"new"
    with pytest.raises(FileNotFoundError):
        AtomicOutput(tmp_path / "missing" / "y.bin")
