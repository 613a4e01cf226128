"""Streaming input: large paths and file-likes fed to libjxl in chunks."""

import io

import numpy as np
import pytest

import _streams as S
import quillmarsh.core.io as qio
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError

MIB = 1 << 20
BUSY = "jxl: JxlReader is in use by another thread"


@pytest.fixture(scope="module")
def big_image():
    return np.random.default_rng(3).integers(0, 256, (1300, 1300, 3), dtype=np.uint8)


@pytest.fixture(scope="module")
def big(big_image):
    """A real stream of about 5.4 MiB: streamed when streaming=True."""
    data = S.encode_array(big_image, ("-d", "0", "-e", "1"))
    assert len(data) > 4 * MIB
    return data


@pytest.fixture
def big_path(big, tmp_path):
    p = tmp_path / "big.jxl"
    p.write_bytes(big)
    return p


class FakeChunks:
    """Stands in for BackgroundChunkReader: serves planned chunks of the
    source's bytes and records how it is used."""

    plan = staticmethod(lambda data: [data[i:i + 65536] for i in range(0, len(data), 65536)])
    instances: list = []
    reader = None  # set by a test that needs to look at the reader from get()

    def __init__(self, src, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        self.src = src
        if hasattr(src, "read"):
            data = src.read()
        else:
            with open(src, "rb") as f:
                data = f.read()
        self.chunks = list(self.plan(data))
        self.gets = 0
        self.closes = 0
        self.seen = []  # (tail bytes kept, capacity) at each refill
        FakeChunks.instances.append(self)

    def get(self):
        self.gets += 1
        r = FakeChunks.reader
        if r is not None:
            self.seen.append((r._input_buf_used, r._input_buf_capacity))
        return self.chunks.pop(0) if self.chunks else None

    def close(self):
        self.closes += 1


@pytest.fixture
def fake(monkeypatch):
    FakeChunks.instances = []
    FakeChunks.reader = None

    class Fake(FakeChunks):
        pass

    monkeypatch.setattr(qio, "BackgroundChunkReader", Fake)
    return Fake


def only(fake):
    assert len(FakeChunks.instances) == 1
    return FakeChunks.instances[0]


# ---- the real background reader ----------------------------------------------


@pytest.mark.parametrize("kind", ["path", "str", "file", "BytesIO"])
def test_streamed_input_decodes_like_memory(kind, big, big_path, big_image):
    src = {"path": big_path, "str": str(big_path), "file": open(big_path, "rb"),
           "BytesIO": io.BytesIO(big)}[kind]
    try:
        with _jxl.JxlReader(src, streaming=True) as r:
            assert r._streaming and isinstance(r._chunk_reader, qio.BackgroundChunkReader)
            assert r._input_buf_capacity == 8 * MIB
            np.testing.assert_array_equal(r.read(), big_image)
            chunk_reader = r._chunk_reader
        assert chunk_reader.closed and r._chunk_reader is None and not r._has_input_buf
    finally:
        if hasattr(src, "close"):
            src.close()


def test_large_input_without_streaming_is_read_whole(big_path, big_image):
    with _jxl.JxlReader(big_path) as r:
        assert not r._streaming and r._chunk_reader is None
        np.testing.assert_array_equal(r.read(), big_image)


def test_streamed_progressive_matches_memory(big, big_path):
    want = _jxl.JxlReader(big, downsample=8).read()
    got = _jxl.JxlReader(big_path, streaming=True, downsample=8).read()
    np.testing.assert_array_equal(got, want)


# ---- refills ----------------------------------------------------------------------


def test_chunk_reader_is_built_with_the_stated_arguments(fake, big_path):
    with _jxl.JxlReader(big_path, streaming=True):
        pass
    f = only(fake)
    assert f.src == big_path and f.args == ()
    assert list(f.kwargs.items()) == [("chunk_size", 4194304), ("prefetch", 4)]


@pytest.mark.parametrize("size, numthreads", [(777, None), (65536, None), (65536, 3),
                                               (3 * MIB + 5, None), (3 * MIB + 5, 3)])
def test_small_chunks_decode_like_memory(size, numthreads, fake, big_path, big_image):
    fake.plan = staticmethod(lambda d: [d[i:i + size] for i in range(0, len(d), size)])
    r = _jxl.JxlReader(big_path, streaming=True, numthreads=numthreads)
    FakeChunks.reader = r
    np.testing.assert_array_equal(r.read(), big_image)
    f = only(fake)
    assert f.gets > 1
    # Chunks this small never grow the buffer.
    assert f.seen and all(cap == 8 * MIB and used <= cap for used, cap in f.seen)
    r.close()
    assert f.closes == 1


def test_first_chunk_larger_than_the_buffer_grows_it(fake, big, tmp_path):
    padded = tmp_path / "padded.jxl"
    padded.write_bytes(big + bytes(9 * MIB - len(big) + 17))
    fake.plan = staticmethod(lambda d: [d])
    with _jxl.JxlReader(padded, streaming=True) as r:
        assert r._input_buf_capacity == 16 * MIB
        assert r._input_buf_used == 9 * MIB + 17
        assert r.read().shape == (1300, 1300, 3)


def test_refill_that_does_not_fit_doubles_the_buffer_once(fake, big, big_image, tmp_path):
    padded = tmp_path / "padded.jxl"
    padded.write_bytes(big + bytes(10 * MIB))
    # A short first chunk, then everything else at once: tail + chunk > 8 MiB.
    fake.plan = staticmethod(lambda d: [d[:4096], d[4096:]])
    with _jxl.JxlReader(padded, streaming=True) as r:
        np.testing.assert_array_equal(r.read(), big_image)
        assert r._input_buf_capacity == 16 * MIB


TRUNCATED = {"JxlDecoderProcessInput returned JXL_DEC_ERROR", "jxl: empty refill (truncated?)"}


@pytest.mark.parametrize("cut_frac, size", [(0.3, 65536), (0.55, MIB), (0.8, 777), (0.999, 65536)])
def test_truncated_streamed_file(cut_frac, size, fake, big_path):
    def plan(d):
        cut = int(len(d) * cut_frac)
        return [d[i:min(i + size, cut)] for i in range(0, cut, size)]

    fake.plan = staticmethod(plan)
    r = _jxl.JxlReader(big_path, streaming=True)
    with pytest.raises(JxlError) as e:
        r.read()
    assert str(e.value) in TRUNCATED
    # The end of input was seen; libjxl's input is closed exactly when bytes
    # were still retained (then libjxl itself reports the premature end).
    assert r._input_eof
    assert r._input_closed == (str(e.value) == "JxlDecoderProcessInput returned JXL_DEC_ERROR")
    r.close()


def test_container_in_tiny_chunks(fake, big_image, tmp_path):
    # Box headers and the start of the codestream split at every 13th byte.
    data = S.encode_array(big_image, ("-d", "0", "-e", "1", "--container=1"))
    p = tmp_path / "c.jxl"
    p.write_bytes(data)
    fake.plan = staticmethod(
        lambda d: [d[i:min(i + 13, 8192)] for i in range(0, 8192, 13)] + [d[8192:]])
    with _jxl.JxlReader(p, streaming=True) as r:
        np.testing.assert_array_equal(r.read(), big_image)
        assert r._input_eof is False  # libjxl never had to ask past the end


def test_nothing_left_and_no_more_chunks_is_an_empty_refill(fake, big_path):
    fake.plan = staticmethod(lambda d: [d[:2]])  # libjxl consumes the signature
    with pytest.raises(JxlError, match=r"^jxl: empty refill \(truncated\?\)$"):
        _jxl.JxlReader(big_path, streaming=True)
    assert only(fake).closes == 1  # the failed constructor stopped its chunk reader


def test_empty_chunk_with_no_tail_is_an_empty_refill(fake, big_path):
    fake.plan = staticmethod(lambda d: [d[:2], b"", d[2:]])
    with pytest.raises(JxlError, match=r"^jxl: empty refill \(truncated\?\)$"):
        _jxl.JxlReader(big_path, streaming=True)


def test_empty_chunk_is_not_the_end_but_adds_nothing(fake, big_path):
    # libjxl keeps no unconsumed bytes here, so an empty chunk leaves nothing
    # to hand over.
    fake.plan = staticmethod(lambda d: [d[:100000], b"", d[100000:]])
    r = _jxl.JxlReader(big_path, streaming=True)
    with pytest.raises(JxlError, match=r"^jxl: empty refill \(truncated\?\)$"):
        r.read()
    assert not r._input_eof
    r.close()


# ---- first-chunk and get() failures ------------------------------------------------


@pytest.mark.parametrize("first, exc, msg", [
    (None, ValueError, "jxl: empty input"),
    (b"", ValueError, "jxl: empty input"),
    (b"\xff", ValueError, "jxl: not a JPEG XL stream"),
    (b"\x89PNG\r\n\x1a\n" + bytes(100), ValueError, "jxl: not a JPEG XL stream"),
    (bytearray(b"\xff\x0a"), TypeError, "Expected bytes, got bytearray"),
    ("text", TypeError, "Expected bytes, got str"),
])
def test_bad_first_chunk(first, exc, msg, fake, big_path):
    fake.plan = staticmethod(lambda d: [first])
    with pytest.raises(exc) as e:
        _jxl.JxlReader(big_path, streaming=True)
    assert str(e.value) == msg
    assert only(fake).closes == 1


@pytest.mark.parametrize("bad, exc", [(memoryview(b"abc"), TypeError), (42, TypeError)])
def test_bad_refill_chunk(bad, exc, fake, big_path):
    fake.plan = staticmethod(lambda d: [d[:4096], bad])
    r = _jxl.JxlReader(big_path, streaming=True)
    it = r.iter_frames()
    with pytest.raises(exc, match="^Expected bytes, got "):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    r.close()
    assert only(fake).closes == 1


def test_get_errors_propagate(fake, big_path):
    class Failing(fake):
        def get(self):
            if self.gets:
                raise OSError("disk on fire")
            return super().get()

    qio.BackgroundChunkReader = Failing
    r = _jxl.JxlReader(big_path, streaming=True)
    with pytest.raises(OSError, match="disk on fire"):
        r.read()
    assert not r._closed
    r.close()


def test_close_from_inside_a_refill_is_refused(fake, big_path, big_image):
    class Reentrant(fake):
        refused = []

        def get(self):
            r = FakeChunks.reader
            if r is not None:
                with pytest.raises(RuntimeError) as e:
                    r.close()
                Reentrant.refused.append(str(e.value))
            return super().get()

    qio.BackgroundChunkReader = Reentrant
    r = _jxl.JxlReader(big_path, streaming=True)
    FakeChunks.reader = r
    np.testing.assert_array_equal(r.read(), big_image)
    assert Reentrant.refused and set(Reentrant.refused) == {BUSY}
    r.close()


# ---- release -------------------------------------------------------------------------


def test_close_calls_the_chunk_reader_close_once(fake, big_path):
    r = _jxl.JxlReader(big_path, streaming=True)
    f = only(fake)
    r.close()
    r.close()
    assert f.closes == 1 and r._chunk_reader is None and not r._has_input_buf


def test_dropping_the_reader_does_not_close_the_chunk_reader(fake, big_path):
    r = _jxl.JxlReader(big_path, streaming=True)
    f = only(fake)
    del r
    assert f.closes == 0


def test_close_swallows_ordinary_errors_of_the_chunk_reader(fake, big_path):
    class Grumpy(fake):
        def close(self):
            super().close()
            raise ValueError("ignored")

    qio.BackgroundChunkReader = Grumpy
    r = _jxl.JxlReader(big_path, streaming=True)
    r.close()
    assert r._closed and r._chunk_reader is None and only(fake).closes == 1


def test_keyboard_interrupt_in_chunk_reader_close_propagates(fake, big_path):
    class Interrupted(fake):
        def close(self):
            super().close()
            if self.closes == 1:
                raise KeyboardInterrupt

    qio.BackgroundChunkReader = Interrupted
    r = _jxl.JxlReader(big_path, streaming=True)
    with pytest.raises(KeyboardInterrupt):
        r.close()
    # Native handles are gone, but the reader is not marked closed yet.
    assert not r._closed and not r._has_decoder and r._chunk_reader is not None
    r.close()
    assert r._closed and only(fake).closes == 2 and not r._has_input_buf
