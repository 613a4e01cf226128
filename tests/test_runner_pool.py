"""The worker threads shared by all calls: decodes and encodes running at once
from several Python threads, and after fork(), give the results of a
single-threaded call."""

from __future__ import annotations

import io
import multiprocessing
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from PIL import Image

from quillmarsh.codecs import _jxl

# Larger than one 256x256 group, so that numthreads=None uses the pool too.
SHAPE = (320, 416, 3)


def _image(seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:SHAPE[0], 0:SHAPE[1]]
    base = np.stack([x * 255 // SHAPE[1], y * 255 // SHAPE[0], (x + y) % 256], axis=-1)
    return np.clip(base + rng.integers(-20, 21, SHAPE), 0, 255).astype(np.uint8)


def _jpeg() -> bytes:
    buf = io.BytesIO()
    Image.fromarray(_image(3)).save(buf, format="JPEG", quality=85)
    return buf.getvalue()


IMG = _image()
ANIM = np.stack([IMG, IMG[::-1], IMG[:, ::-1]])
LOSSY = _jxl.encode(IMG, distance=1.0, effort=5, numthreads=1)
LOSSLESS_ANIM = _jxl.encode(ANIM, animation=True, effort=2, numthreads=1)
JPEG = _jpeg()
JPEG_JXL = _jxl.transcode_jpeg(JPEG, numthreads=1)


# One 256x256 group: numthreads=None decodes it on the calling thread, so
# many callers run their whole decode at once, each with its reader's own
# state between the lock-free steps (options, header, end of the stream).
SMALL = _jxl.encode(_image(5)[:64, :64], distance=1.0, numthreads=1)
SMALL_ALPHA = _jxl.encode(np.dstack([_image(6)[:48, :40], _image(7)[:48, :40, :1]]), distance=1.5,
                          numthreads=1)


def _small_decodes(n):
    reader = _jxl.JxlReader(SMALL_ALPHA, numthreads=n, coalesce=False, unpremultiply_alpha=True)
    outs = [_jxl.decode(SMALL, numthreads=n), _jxl.decode(SMALL, numthreads=n, downsample=2),
            _jxl.decode(SMALL_ALPHA, numthreads=n, index=0), reader.read(),
            np.frombuffer(reader.icc_profile or b"", np.uint8)]
    return np.concatenate([o.ravel() for o in outs])


def _write_anim(n):
    w = _jxl.JxlWriter(animation=True, distance=1.5, effort=4, numthreads=n)
    for f in ANIM:
        w.write_frame(np.ascontiguousarray(f))
    return w.close()


# Each operation with numthreads n (None, or a count); the result must not
# depend on n.
OPS = {
    "decode lossy": lambda n: _jxl.decode(LOSSY, numthreads=n),
    "decodes of one group": _small_decodes,
    "decode animation, iter_frames": lambda n: np.stack(list(
        _jxl.JxlReader(LOSSLESS_ANIM, numthreads=n).iter_frames())),
    "encode lossless": lambda n: _jxl.encode(IMG, effort=3, numthreads=n),
    "encode lossy": lambda n: _jxl.encode(IMG, distance=2.0, effort=6, numthreads=n),
    "JxlWriter animation": _write_anim,
    "transcode_jpeg": lambda n: _jxl.transcode_jpeg(JPEG, numthreads=n),
    "reconstruct_jpeg": lambda n: _jxl.reconstruct_jpeg(JPEG_JXL, numthreads=n),
}


def _same(a, b) -> bool:
    return np.array_equal(a, b) if isinstance(a, np.ndarray) else a == b


def _os_threads() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))


@pytest.mark.parametrize("pool", ["pool", "runner per call"])
@pytest.mark.parametrize("op", list(OPS))
def test_calls_from_several_threads_at_once_match_a_single_thread(op, pool, testing_hooks):
    fn = OPS[op]
    want = fn(1)
    if op == "reconstruct_jpeg":
        assert want == JPEG
    counts = [None, 2, 3, None]  # more callers than the pool lends for None
    barrier = threading.Barrier(len(counts))
    results, errors = [], []

    def worker(n):
        try:
            barrier.wait()
            for _ in range(3):
                results.append((n, fn(n)))
        except BaseException as e:  # reported below, with the count that failed
            errors.append((n, repr(e)))

    previous = testing_hooks.runner_pool(pool == "pool")
    try:
        before = _os_threads() if os.path.exists("/proc/self/status") else None
        threads = [threading.Thread(target=worker, args=(n,)) for n in counts]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        testing_hooks.runner_pool(previous)
    assert errors == []
    assert len(results) == 3 * len(counts)
    assert [n for n, r in results if not _same(r, want)] == []
    if before is not None:
        # Idle workers stay for later calls, but no more than the callers
        # ever needed at once: at most one runner per caller of each count.
        assert _os_threads() - before <= sum(n or os.cpu_count() for n in counts) + 8


def _in_child(_):
    return {
        "decode": bool(np.array_equal(_jxl.decode(LOSSY), OPS["decode lossy"](1))),
        "decode 2": bool(np.array_equal(_jxl.decode(LOSSY, numthreads=2), _jxl.decode(LOSSY))),
        "encode": _jxl.encode(IMG, effort=3) == _jxl.encode(IMG, effort=3, numthreads=1),
        "writer": _write_anim(None) == _write_anim(1),
    }


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(),
                    reason="needs the fork start method")
@pytest.mark.parametrize("busy", [False, True], ids=["idle parent", "parent decoding meanwhile"])
def test_a_forked_child_uses_the_codec_after_the_parent_used_the_pool(busy):
    # The parent's pool has idle workers (and, when busy, runners lent out
    # while fork() happens); none of those threads exist in the child.
    for n in (None, 2, 3):
        _jxl.decode(LOSSY, numthreads=n)
        _jxl.encode(IMG, effort=3, numthreads=n)
    stop = threading.Event()

    def keep_decoding():
        while not stop.is_set():
            _jxl.decode(LOSSY)

    bg = threading.Thread(target=keep_decoding)
    if busy:
        bg.start()
    ctx = multiprocessing.get_context("fork")
    pool = ctx.Pool(2)
    try:
        outcomes = pool.map_async(_in_child, range(4)).get(timeout=120)
    finally:
        pool.terminate()
        pool.join()
        stop.set()
        if busy:
            bg.join()
    assert outcomes == [dict.fromkeys(["decode", "decode 2", "encode", "writer"], True)] * 4
    # The parent's pool still serves it.
    assert np.array_equal(_jxl.decode(LOSSY), OPS["decode lossy"](1))


def test_buffers_kept_between_calls_serve_calls_from_several_threads_exactly(testing_hooks):
    # Planes of 4 MiB and more come from the buffer cache; two image sizes
    # from three threads at once hand its blocks back and forth.
    images = [np.tile(_image(s), (4, 3, 1))[:h, :w] for s, (h, w) in enumerate([(1280, 1248),
                                                                              (1100, 1200)])]
    lossy = [_jxl.encode(im, distance=1.0, effort=3, numthreads=1) for im in images]
    previous = testing_hooks.buffer_cache(False)
    want = [(_jxl.encode(im, effort=2), _jxl.decode(d)) for im, d in zip(images, lossy)]
    testing_hooks.buffer_cache(True)
    errors = []

    def worker(k):
        try:
            for i in (k % 2, 1 - k % 2, k % 2):
                got = _jxl.encode(images[i], effort=2)
                assert got == want[i][0] and np.array_equal(_jxl.decode(got), images[i])
                assert np.array_equal(_jxl.decode(lossy[i]), want[i][1])
        except BaseException as e:
            errors.append(repr(e))

    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert testing_hooks.buffer_cache_idle_bytes() > 0  # the calls went through the cache
    finally:
        testing_hooks.buffer_cache(previous)


@pytest.mark.parametrize("mib, kept", [("0", False), ("64", True)])
def test_buffer_cache_bound_from_the_environment(testing_hooks, mib, kept):
    # A process that must hold little idle memory sets the bound; 0 keeps nothing.
    code = ("import numpy as np; from quillmarsh.codecs import _jxl; "
            "im = np.zeros((1280, 1248, 3), np.uint8); im[::7] = 200; _jxl.encode(im, effort=2); "
            "print(_jxl._testing.buffer_cache_idle_bytes())")
    env = dict(os.environ, QUILLMARSH_JXL_BUFFER_CACHE_MB=mib)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    idle = int(out)
    assert (0 < idle <= 64 << 20) if kept else idle == 0
