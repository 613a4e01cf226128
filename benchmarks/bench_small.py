"""Small images with numthreads left at None: no thread pool for an image of one
group, so the call costs what the single-thread direct program costs; many of
them from two Python threads at once; and the shared pool of worker threads
against a runner started per call."""

from __future__ import annotations

import contextlib
import multiprocessing
import threading
import time
from typing import Callable, Iterator, List

import numpy as np

from harness import Ctx, Missing, Row, bench, direct_times, fmt_t, interleave, median, time_calls, verdict
from images import photo

BATCH = {"full": 10_000, "quick": 400}  # decodes per side and round of S3


def _overhead_row(key: str, title: str, module: List[float], direct: List[float], k: int) -> Row:
    m, r = median(module), median(direct)
    d = m - r
    return Row(key, title, fmt_t(m), fmt_t(r), f"{d * 1e6:+.1f} us", "<= +30 us",
               verdict(d <= 30e-6), f"{k} calls per round; direct: 1 thread")


@bench("Small images", [
    "S1 decode() 64x64 lossy RGB u8, default threads vs direct 1 thread",
    "S2 encode() 64x64 RGB u8 distance 1.0 effort 5, default threads vs direct 1 thread",
])
def bench_small_default_threads(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    ctx.need("encode")
    k = ctx.p.tiny_calls
    path = ctx.stream("tiny")
    data = path.read_bytes()
    img = ctx.array("tiny")
    args = ctx.direct_encode_args(img, "tiny", distance=1.0)
    for _ in range(10):
        ctx.jxl.decode(data)
        ctx.jxl.encode(img, distance=1.0, effort=5)
    t = interleave(ctx.p.rounds * 2, {
        "dec": lambda: time_calls(lambda: ctx.jxl.decode(data), k),
        "dec_direct": direct_times(ctx, "decode", path, k, threads=1, warmup=10),
        "enc": lambda: time_calls(lambda: ctx.jxl.encode(img, distance=1.0, effort=5), k),
        "enc_direct": lambda: ctx.direct.run("encode", *args, threads=1, repeat=k, warmup=10)["times"],
    })
    return [
        _overhead_row("S1", "decode() 64x64 lossy RGB u8, default threads vs direct 1 thread",
                      t["dec"], t["dec_direct"], k),
        _overhead_row("S2", "encode() 64x64 RGB u8 distance 1.0 effort 5, default threads vs direct 1 thread",
                      t["enc"], t["enc_direct"], k),
    ]


def _in_threads(fn: Callable[[], object], total: int, nthreads: int) -> List[float]:
    """Wall time of `total` calls of fn shared out over nthreads Python threads."""
    barrier = threading.Barrier(nthreads + 1)
    errors: List[BaseException] = []

    def work() -> None:
        barrier.wait()
        try:
            for _ in range(total // nthreads):
                fn()
        except BaseException as exc:  # re-raised below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(nthreads)]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    took = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return [took]


def _decodes_in_child(args) -> float:
    data, n = args
    from quillmarsh.codecs import _jxl

    t0 = time.perf_counter()
    for _ in range(n):
        _jxl.decode(data)
    return time.perf_counter() - t0


def _in_processes(data: bytes, total: int) -> List[float]:
    """The machine's own ceiling for S3: the same decodes in 2 processes."""
    with multiprocessing.get_context("fork").Pool(2) as pool:
        return [max(pool.map(_decodes_in_child, [(data, total // 2)] * 2))]


@bench("Small images", [
    "S3 decodes of 64x64 from 2 Python threads vs 1 (files per second)",
])
def bench_small_two_threads(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    n = BATCH[ctx.p.name]
    data = ctx.stream("tiny").read_bytes()
    for _ in range(20):
        ctx.jxl.decode(data)
    t = interleave(ctx.p.rounds, {
        "two": lambda: _in_threads(lambda: ctx.jxl.decode(data), n, 2),
        "one": lambda: _in_threads(lambda: ctx.jxl.decode(data), n, 1),
        "procs": lambda: _in_processes(data, n),
    })
    two, one, procs = median(t["two"]), median(t["one"]), median(t["procs"])
    speedup = one / two
    return [Row("S3", "decodes of 64x64 from 2 Python threads vs 1 (files per second)",
                f"{n / two:.0f}/s", f"{n / one:.0f}/s", f"x{speedup:.2f}", ">= x1.8",
                verdict(speedup >= 1.8),
                f"{n} decodes per side and round, {ctx.p.rounds} rounds; default threads; "
                f"the machine's ceiling, 2 processes vs 1 thread: x{one / procs:.2f}")]


def _pool_switch(jxl) -> Callable[[bool], bool]:
    """The testing hooks' runner-pool switch (a module function in older builds)."""
    switch = getattr(getattr(jxl, "_testing", None), "runner_pool", None)
    switch = switch or getattr(jxl, "_runner_pool", None)
    if switch is None:
        raise Missing("_testing.runner_pool (a build without QM_TESTING_HOOKS)")
    return switch


@contextlib.contextmanager
def _runner_pool(jxl, enabled: bool) -> Iterator[None]:
    switch = _pool_switch(jxl)
    previous = switch(enabled)
    try:
        yield
    finally:
        switch(previous)


# What the pool saves per call is the start and stop of the runner's threads
# (tens of microseconds per worker); on a loaded machine, where the kernel
# places fresh and pooled threads differently, wall times swing far more than
# that, hence a row without a target.
@bench("Small images", [
    "S4 decode() 512x512 lossy RGB u8, default threads: shared pool vs a runner started per call",
])
def bench_pool_mid_size(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    jxl = ctx.jxl
    _pool_switch(jxl)
    data = jxl.encode(photo(512, 512, 3, np.uint8, seed=8), distance=1.0)
    k = max(10, ctx.p.tiny_calls // 4)

    cpu: dict = {True: [], False: []}  # process CPU seconds per call: load does not move it

    def calls(pool: bool) -> List[float]:
        with _runner_pool(jxl, pool):
            c0 = time.process_time()
            times = time_calls(lambda: jxl.decode(data), k)
            cpu[pool].append((time.process_time() - c0) / k)
            return times

    with _runner_pool(jxl, False):
        per_call = jxl.decode(data)
    same = "yes" if np.array_equal(jxl.decode(data), per_call) else "NO"
    t = interleave(ctx.p.rounds * 2, {"pool": lambda: calls(True), "per_call": lambda: calls(False)})
    m, r = median(t["pool"]), median(t["per_call"])
    return [Row("S4", "decode() 512x512 lossy RGB u8, default threads: shared pool vs a runner "
                "started per call", fmt_t(m), fmt_t(r), f"{m / r:.2f}x", "-", "INFO",
                f"{k} calls per round; same pixels: {same}; CPU per call "
                f"{fmt_t(median(cpu[True]))} vs {fmt_t(median(cpu[False]))}")]
