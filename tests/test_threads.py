"""Misuse from threads: every case ends in a clean exception or a correct
result, never a crash or a hang.

Each case runs in a process of its own with a timeout, so a crash fails the
test instead of killing the test session.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillmarsh
from quillmarsh.codecs import _jxl

PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))

PRELUDE = textwrap.dedent("""
    import gc, json, sys, threading, time
    import numpy as np
    from quillmarsh.codecs import _jxl
    import quillmarsh.core.io as qio

    BUSY = "jxl: JxlReader is in use by another thread"

    def frames(n, side, seed=0):
        rng = np.random.default_rng(seed)
        return rng.integers(0, 256, (n, side, side, 3), dtype=np.uint8)

    def wait_busy(obj, thread, limit=30.0):
        end = time.monotonic() + limit
        while not obj._busy and thread.is_alive() and time.monotonic() < end:
            pass
        return obj._busy

    def done(**kw):
        print(json.dumps(kw))
""")


def run_case(body: str, timeout: float = 90) -> dict:
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, PYTHONPATH=PKG_ROOT))
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


# Animation frames of noise: slow enough to decode that another thread can
# act while libjxl works on one. Not progressive, so that downsample 8 (the
# progressive iterator) decodes whole frames too.
ANIM = """
    src = frames(4, 512)
    data = _jxl.encode(src, animation=True, quality=80, effort=3, numthreads=1)
    ds = {ds}
    ref = list(_jxl.JxlReader(data, downsample=ds, numthreads=1))
"""


@pytest.mark.parametrize("ds", [1, 8])
def test_close_of_the_reader_from_another_thread_is_refused_during_a_frame_step(ds):
    out = run_case(ANIM.format(ds=ds) + """
    # Without the GIL a starved main thread may miss a short decode: tried again.
    for attempt in range(5):
        r = _jxl.JxlReader(data, downsample=ds, numthreads=1)
        got, errs = [], []
        t = threading.Thread(target=lambda: got.extend(r.iter_frames()))
        t.start()
        seen_busy = wait_busy(r, t)
        if seen_busy:
            break
        t.join()
    refusals = 0
    while t.is_alive():
        try:
            r.close()
            break
        except RuntimeError as e:
            errs.append(str(e))
            refusals += 1
    t.join()
    done(seen_busy=seen_busy, refusals=refusals, msgs=sorted(set(errs)),
         same=[bool(np.array_equal(a, b)) for a, b in zip(got, ref)], n=len(got),
         closed=r._closed)
    """)
    assert out["seen_busy"] and out["refusals"] >= 1
    assert out["msgs"] == ["jxl: JxlReader is in use by another thread"]
    # Whatever was delivered before the close succeeded is intact.
    assert out["same"] == [True] * out["n"]


@pytest.mark.parametrize("ds", [1, 8])
def test_closing_between_frames_ends_the_iteration_with_runtime_error(ds):
    out = run_case(ANIM.format(ds=ds) + """
    r = _jxl.JxlReader(data, downsample=ds, numthreads=1)
    it = r.iter_frames()
    first = next(it)
    t = threading.Thread(target=r.close)
    t.start(); t.join()
    try:
        next(it)
        outcome = "frame"
    except RuntimeError as e:
        outcome = str(e)
    done(first=bool(np.array_equal(first, ref[0])), outcome=outcome)
    """)
    assert out == {"first": True, "outcome": "JxlReader is closed"}


@pytest.mark.parametrize("which", ["iter_frames", "iter_frames-ds8", "progressive"])
def test_closing_the_iterator_from_another_thread_during_a_frame_step(which):
    # Regression: close() of the iterator dropped the array libjxl was
    # writing into (and, for downsample 8, the delegate iterator itself).
    ds = 1 if which == "iter_frames" else 8
    out = run_case(ANIM.format(ds=ds) + f"""
    r = _jxl.JxlReader(data, downsample=ds, numthreads=1)
    it = r._iter_frames_progressive() if "{which}" == "progressive" else r.iter_frames()
    got = []
    t = threading.Thread(target=lambda: got.extend(it))
    t.start()
    seen_busy = wait_busy(r, t)
    it.close()
    t.join()
    rest = list(r.iter_frames())  # the reader itself stays usable
    done(seen_busy=seen_busy, n=len(got), rest=len(rest),
         same=[bool(np.array_equal(a, b)) for a, b in zip(got + rest, ref)])
    """)
    assert out["seen_busy"]
    # The frame in flight is delivered whole; the closed iterator then ends
    # (normally after the first frame, later if this thread was descheduled).
    assert 1 <= out["n"] <= 4
    assert out["same"] == [True] * 4 and out["n"] + out["rest"] == 4


@pytest.mark.parametrize("ds", [1, 8])
@pytest.mark.parametrize("sharing", ["one iterator", "one iterator each"])
def test_two_threads_iterating_one_reader_get_every_frame_once(ds, sharing):
    # Regression: with downsample 8 a refused next() on a shared iterator
    # ended it and freed the delegate under the thread decoding.
    out = run_case(ANIM.format(ds=ds) + f"""
    r = _jxl.JxlReader(data, downsample=ds, numthreads=1)
    shared = r.iter_frames()
    got, refused, other = [], [], []
    def worker():
        it = shared if "{sharing}" == "one iterator" else r.iter_frames()
        while True:
            try:
                got.append(next(it))
            except StopIteration:
                return
            except RuntimeError as e:
                (refused if str(e) == BUSY else other).append(str(e))
                time.sleep(0.001)
    ts = [threading.Thread(target=worker) for _ in range(2)]
    for t in ts: t.start()
    for t in ts: t.join()
    matched = sorted(next(i for i, f in enumerate(ref) if np.array_equal(g, f)) for g in got)
    done(matched=matched, refused=len(refused), other=other)
    """)
    assert out["matched"] == [0, 1, 2, 3], out
    assert out["other"] == []


def test_close_of_the_writer_from_another_thread_during_write_frame():
    out = run_case("""
    src = frames(4, 768)
    w = _jxl.JxlWriter(animation=True, effort=2, numthreads=1)
    written, late = [], []
    def writer():
        for i, f in enumerate(src):
            try:
                w.write_frame(f, is_last=i == len(src) - 1)
                written.append(i)
            except RuntimeError as e:
                late.append(str(e))
                return
    t = threading.Thread(target=writer)
    t.start()
    seen_busy = wait_busy(w, t)
    refusals, stream = set(), None
    while True:
        try:
            stream = w.close()
            break
        except RuntimeError as e:
            refusals.add(str(e))
    t.join()
    dec = _jxl.decode(stream) if stream else np.empty((0,) + src.shape[1:], np.uint8)
    dec = dec[None] if dec.ndim == 3 else dec
    done(seen_busy=seen_busy, refusals=sorted(refusals), late=late, written=written,
         decoded=[bool(np.array_equal(d, src[i])) for i, d in enumerate(dec)])
    """)
    assert out["seen_busy"]
    assert out["refusals"] == ["jxl: JxlWriter is in use by another thread"]
    assert set(out["late"]) <= {"JxlWriter is closed"}
    # The stream holds exactly the frames whose write_frame returned, intact.
    assert out["decoded"] == [True] * len(out["written"])


BIG = """
    # A still image padded with zero bytes past the 4 MiB streaming threshold:
    # the reader streams it, and its background thread has plenty to read.
    img = frames(1, 64)[0]
    path = "{path}"
    with open(path, "wb") as f:
        f.write(_jxl.encode(img) + bytes(24 * 1024 * 1024))
    def chunk_threads():
        return sum(t.name == "quillmarsh-chunk-reader" and t.is_alive()
                   for t in threading.enumerate())
"""


def test_dropping_a_streaming_reader_mid_stream(tmp_path):
    anim_path = tmp_path / "anim.jxl"
    out = run_case(BIG.format(path=tmp_path / "pad.jxl") + f"""
    src = frames(3, 768)
    with open("{anim_path}", "wb") as f:
        f.write(_jxl.encode(src, animation=True, effort=1))
    import os
    assert os.path.getsize("{anim_path}") > 4 * 1024 * 1024
    r = _jxl.JxlReader("{anim_path}", streaming=True, numthreads=2)
    it = r.iter_frames()
    first = next(it)
    del r, it  # mid-stream, without close()
    gc.collect()
    # A new reader of the same file still decodes it whole.
    again = _jxl.decode("{anim_path}", streaming=True)
    done(first=bool(np.array_equal(first, src[0])),
         again=bool(np.array_equal(again, src)))
    """, timeout=120)
    assert out == {"first": True, "again": True}


def test_a_dropped_streaming_reader_leaves_no_reading_thread(tmp_path):
    # The chunk reader's thread once kept its reader alive and polled forever
    # (a thread, an open file and up to 16 MiB of chunks per dropped reader).
    out = run_case(BIG.format(path=tmp_path / "pad.jxl") + """
    r = _jxl.JxlReader(path, streaming=True)
    during = chunk_threads()
    del r
    gc.collect()
    end = time.monotonic() + 5
    while chunk_threads() and time.monotonic() < end:
        time.sleep(0.05)
    done(during=during, after=chunk_threads())
    """)
    assert out == {"during": 1, "after": 0}


FAKE = """
    class Interrupting:
        # Stands in for BackgroundChunkReader: serves `good` chunks of the
        # stream, then raises KeyboardInterrupt from get().
        good = 0
        closed = 0
        def __init__(self, src, chunk_size=4194304, prefetch=4):
            with open(src, "rb") as f:
                self.data = f.read()
            self.pos = 0
            self.n = 0
        def get(self):
            if self.n >= Interrupting.good:
                raise KeyboardInterrupt
            self.n += 1
            out = self.data[self.pos:self.pos + 65536]
            self.pos += len(out)
            return out or None
        def close(self):
            Interrupting.closed += 1
    qio.BackgroundChunkReader = Interrupting
"""


@pytest.mark.parametrize("good", [0, 1])
@pytest.mark.parametrize("ds", [1, 8])
def test_keyboard_interrupt_from_the_chunk_reader(tmp_path, good, ds):
    out = run_case(BIG.format(path=tmp_path / "pad.jxl") + FAKE + f"""
    # A real stream bigger than one 64 KiB chunk, padded past the threshold.
    src = frames(1, 256)[0]
    with open(path, "wb") as f:
        f.write(_jxl.encode(src, effort=1) + bytes(5 * 1024 * 1024))
    Interrupting.good = {good}
    where = None
    try:
        r = _jxl.JxlReader(path, streaming=True, downsample={ds}, numthreads=2)
        where = "frames"
        with r:
            r.read()
        outcome = "no interrupt"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    gc.collect()
    closed = Interrupting.closed
    # The module is still sound: the same stream decodes through the fake.
    Interrupting.good = 10**6
    ok = _jxl.decode(path, streaming=True, downsample={ds}).shape
    done(outcome=outcome, where=where, closed=closed, ok=list(ok))
    """)
    assert out["outcome"] == "KeyboardInterrupt"
    # Interrupted in the constructor (first chunk) or in a refill.
    assert out["where"] == (None if good == 0 else "frames")
    assert out["closed"] == 1  # released either way
    assert out["ok"] == ([256, 256, 3] if ds == 1 else [32, 32, 3])


def test_absurd_numthreads_gives_a_correct_result():
    out = run_case("""
    src = frames(2, 96)
    data = _jxl.encode(src, animation=True, numthreads=10**6)
    same = bool(np.array_equal(_jxl.decode(data, numthreads=10**6), src))
    with _jxl.JxlReader(data, numthreads=10**6, downsample=8) as r:
        small = r.read().shape
    w = _jxl.JxlWriter(numthreads=10**6)
    w.write_frame(src[0])
    still = bool(np.array_equal(_jxl.decode(w.close()), src[0]))
    done(same=same, small=list(small), still=still,
         fc=_jxl.frame_count(data, numthreads=10**6),
         thumb=_jxl.thumbnail_bytes(data, numthreads=10**6))
    """, timeout=120)
    assert out == {"same": True, "small": [2, 12, 12, 3], "still": True, "fc": 2,
                   "thumb": None}


@pytest.mark.parametrize("exc", ["OSError", "KeyboardInterrupt"])
@pytest.mark.parametrize("ds", [1, 8])
def test_no_frame_resumes_after_a_refill_failed_mid_frame(tmp_path, exc, ds):
    # Regression: a retry after a failed refill let libjxl go on with the
    # unconsumed input lost and the abandoned frame array (freed) as its
    # output buffer, and returned a wrong frame.
    out = run_case(BIG.format(path=tmp_path / "pad.jxl") + f"""
    src = frames(2, 256)
    with open(path, "wb") as f:
        f.write(_jxl.encode(src, animation=True, effort=1) + bytes(5 * 1024 * 1024))

    class Flaky:
        # Serves the file in 64 KiB chunks; the second get() of the first
        # reader fails.
        failed = False
        def __init__(self, src, chunk_size=4194304, prefetch=4):
            with open(src, "rb") as f:
                self.data = f.read()
            self.pos = self.n = 0
        def get(self):
            self.n += 1
            if self.n == 2 and not Flaky.failed:
                Flaky.failed = True
                raise {exc}("read failed")
            out = self.data[self.pos:self.pos + 65536]
            self.pos += len(out)
            return out or None
        def close(self):
            pass

    qio.BackgroundChunkReader = Flaky
    r = _jxl.JxlReader(path, streaming=True, downsample={ds}, numthreads=1)
    try:
        r.read()
        first = "frames"
    except {exc}:
        first = "{exc}"
    gc.collect()
    scratch = [np.full((256, 256, 3), 7, np.uint8) for _ in range(64)]
    retries = []
    for again in (r.read, lambda: next(r.iter_frames())):
        try:
            again()
            retries.append("frames")
        except StopIteration:
            retries.append("exhausted")
        except RuntimeError as e:
            retries.append(str(e))
    r.close()
    fresh = _jxl.JxlReader(path, streaming=True, downsample={ds}, numthreads=1).read()
    ref = _jxl.decode(_jxl.encode(src, animation=True, effort=1), downsample={ds})
    done(first=first, retries=retries, fresh=bool(np.array_equal(fresh, ref)))
    """)
    msg = ("jxl: JxlReader cannot resume after its input failed part-way through a frame; "
           "open the stream again")
    assert out == {"first": exc, "retries": [msg, msg], "fresh": True}


# numthreads=None sizes the thread pool from the image: none for one group,
# the default beyond. Either way the output is the one of an explicit count.
@pytest.mark.parametrize("shape", [(1, 1, 3), (64, 48, 3), (256, 256), (257, 40, 3), (300, 300, 4)])
@pytest.mark.parametrize("kw", [dict(lossless=True), dict(distance=1.5, effort=5)])
def test_default_threads_match_explicit_counts(shape, kw):
    rng = np.random.default_rng(sum(shape))
    img = rng.integers(0, 256, shape).astype(np.uint8)
    data = _jxl.encode(img, **kw)
    assert data == _jxl.encode(img, numthreads=1, **kw) == _jxl.encode(img, numthreads=2, **kw)
    # The writer attaches its runner at the first frame; later frames use it.
    frames = np.stack([img, img[::-1]])
    anim = [_jxl.JxlWriter(numthreads=n, animation=True, **kw) for n in (None, 1)]
    for w in anim:
        for f in frames:
            w.write_frame(np.ascontiguousarray(f))
    assert anim[0].close() == anim[1].close()
    want = _jxl.decode(data, numthreads=1)
    np.testing.assert_array_equal(_jxl.decode(data), want)
    with _jxl.JxlReader(data) as r:
        np.testing.assert_array_equal(r.read(), want)
