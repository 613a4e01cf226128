"""decode_async / encode_async: the event loop keeps running while libjxl works."""

from __future__ import annotations

import asyncio
import io
import time

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from _images import synthetic

Image = pytest.importorskip("PIL.Image")


@pytest.fixture(scope="module")
def big():
    """A lossless stream that takes a single thread a good fraction of a second."""
    img = np.tile(synthetic(512, 512, 3, np.uint8, seed=3), (3, 3, 1))  # 1536 x 1536
    return img, jxl.encode(img, lossless=True, effort=1)


async def _ticks_during(work, period=0.005, min_span=0.0):
    """How often a concurrent coroutine woke up while `work` was awaited."""
    ticks = 0
    done = False

    async def ticker():
        nonlocal ticks
        while not done:
            await asyncio.sleep(period)
            ticks += 1

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0)  # let the ticker start
    t0 = time.perf_counter()
    try:
        # Repeated for a minimum span: a single call can finish within a few
        # ticker periods on a fast build, which would prove nothing.
        result = await work()
        while time.perf_counter() - t0 < min_span:
            result = await work()
    finally:
        done = True
        await task
    return result, ticks, time.perf_counter() - t0


@pytest.mark.parametrize("call", ["decode", "encode", "transcode_jpeg"])
def test_event_loop_keeps_ticking_during_a_large_call(big, call):
    img, data = big
    if call == "decode":
        async def in_thread():
            return await jxl.decode_async(data, numthreads=1)

        async def blocking():
            return jxl.decode(data, numthreads=1)
    elif call == "encode":
        async def in_thread():
            return await jxl.encode_async(img, lossless=True, effort=1, numthreads=1)

        async def blocking():
            return jxl.encode(img, lossless=True, effort=1, numthreads=1)
    else:
        buf = io.BytesIO()
        Image.fromarray(img).save(buf, "JPEG", quality=95)
        photo = buf.getvalue()

        async def in_thread():
            small = await jxl.transcode_jpeg_async(photo, numthreads=1)
            return small, await jxl.reconstruct_jpeg_async(small, numthreads=1)

        async def blocking():
            return jxl.transcode_jpeg(photo, numthreads=1)

    result, ticks, took = asyncio.run(_ticks_during(in_thread, min_span=0.25))
    if call == "decode":
        np.testing.assert_array_equal(result, img)
    elif call == "encode":
        assert result == data  # the same bytes as the direct call
    else:
        assert result[1] == photo  # transcoded, then the JPEG rebuilt bit for bit
    # Blocking the loop with the same call lets the ticker run at most once
    # (after the call): the comparison shows the awaited call left it free.
    _, blocked_ticks, _ = asyncio.run(_ticks_during(blocking))
    # (No rate is asserted: on a loaded machine the loop's thread may get few turns.)
    assert blocked_ticks <= 1
    assert ticks >= 4, (ticks, took)


def test_errors_and_destinations_come_through(tmp_path):
    with pytest.raises(jxl.JxlError):
        asyncio.run(jxl.decode_async(b"\xff\x0a" + b"\x00" * 64))
    with pytest.raises(ValueError, match="unsupported dtype"):
        asyncio.run(jxl.encode_async(np.zeros((8, 8), np.int64)))
    img = synthetic(32, 48, 3, np.uint8, seed=1)
    assert asyncio.run(jxl.encode_async(img, dest=tmp_path / "a.jxl")) is None
    with pytest.raises(ValueError):
        asyncio.run(jxl.transcode_jpeg_async(b"\xff\xd8\xff not a whole JPEG"))
    np.testing.assert_array_equal(jxl.decode(tmp_path / "a.jxl"), img)
    np.testing.assert_array_equal(
        asyncio.run(jxl.decode_async(tmp_path / "a.jxl", downsample=2)), img[::2, ::2])
