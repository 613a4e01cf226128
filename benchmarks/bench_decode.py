"""Decode benchmarks: decode() against the direct program, overhead, index, memory,
streaming and the released lock."""

from __future__ import annotations

import math
import time
from typing import List

import numpy as np

from harness import (CHUNK, MIB, Ctx, Row, SlowFile, bench, direct_times, fmt_mib, fmt_t, growth,
                     interleave, lock_progress, lock_row, median, ratio_row, run_child,
                     same_pixels, time_calls, verdict)


@bench("Decode", [
    "1a decode() vs direct, {still}x{still} lossy RGB u8",
    "1b decode() vs direct, {frames}-frame {anim_small}x{anim_small} animation",
    "1h decode() vs direct, {still}x{still} lossless RGB u8 (effort 3)",
])
def bench_decode_ratio(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    rows = []
    for key, name, k, title in (
            ("1a", "still", 3, f"decode() vs direct, {p.still}x{p.still} lossy RGB u8"),
            ("1b", "anim_small", 3, f"decode() vs direct, {p.frames}-frame {p.anim_small}x{p.anim_small} animation"),
            ("1h", "still_lossless", 1, f"decode() vs direct, {p.still}x{p.still} lossless RGB u8 (effort 3)")):
        path = ctx.stream(name)
        data = path.read_bytes()
        arr = ctx.jxl.decode(data, numthreads=n)  # and warm-up
        same = same_pixels(ctx, path, arr)
        note = f"{len(data) / 1024:.0f} KiB stream, {n} threads; same pixels as direct: {same}"
        if name == "anim_small":
            # decode() stacks the frames it decoded one by one: one copy of the
            # whole stack that the direct program does not make.
            frames = list(arr)
            note += f"; numpy.stack of the frames alone: {fmt_t(median(time_calls(lambda: np.stack(frames), 5)))}"
            del frames
        del arr
        t = interleave(p.rounds, {
            "module": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), k),
            "direct": direct_times(ctx, "decode", path, k),
        })
        rows.append(ratio_row(key, title, t["module"], t["direct"], 1.03, note))
    return rows


@bench("Decode", ["1c per-call overhead, 64x64 lossy RGB u8, 1 thread"])
def bench_decode_overhead(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    path = ctx.stream("tiny")
    data = path.read_bytes()
    k = ctx.p.tiny_calls
    for _ in range(10):
        ctx.jxl.decode(data, numthreads=1)
    t = interleave(ctx.p.rounds * 2, {
        "module": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=1), k),
        "direct": direct_times(ctx, "decode", path, k, threads=1, warmup=10),
    })
    m, r = median(t["module"]), median(t["direct"])
    d = m - r
    return [Row("1c", "per-call overhead, 64x64 lossy RGB u8, 1 thread", fmt_t(m), fmt_t(r),
                f"{d * 1e6:+.1f} us", "<= +30 us", verdict(d <= 30e-6),
                f"{k} calls per round")]


@bench("Decode", ["1d decode(anim, index=15) / index=0, {frames}x{anim_big}x{anim_big} u16"])
def bench_decode_index(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("anim_big16")
    data = path.read_bytes()
    last = p.frames - 1
    ctx.jxl.decode(data, numthreads=n, index=last)
    t = interleave(p.rounds, {
        "last": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n, index=last), 3),
        "first": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n, index=0), 3),
        "d_last": direct_times(ctx, "decode", path, 3, "--index", str(last)),
        "d_first": direct_times(ctx, "decode", path, 3, "--index", "0"),
    })
    dl, d0 = t["d_last"], t["d_first"]
    q = median(t["last"]) / median(t["first"])
    return [Row("1d", f"decode(anim, index={last}) / index=0, {p.frames}x{p.anim_big}x{p.anim_big} RGB u16",
                fmt_t(median(t["last"])), fmt_t(median(t["first"])), f"x{q:.3f}", "<= 1.30",
                verdict(q <= 1.3),
                f"direct program: index {last} / index 0 = x{median(dl) / median(d0):.3f}")]


@bench("Decode", ["1e peak memory, decode {big}x{big} RGB u8"])
def bench_decode_memory(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("big")
    frame_kib = p.big * p.big * 3 / 1024
    idle = run_child({"op": "idle"})
    mod = run_child({"op": "decode", "path": str(path), "kwargs": {"numthreads": n}})
    ref = ctx.direct.run("decode", "--in", str(path), mem=True)
    extra = (growth(mod) - growth(ref)) / frame_kib
    return [Row("1e", f"peak RSS growth, decode {p.big}x{p.big} RGB u8",
                "+" + fmt_mib(growth(mod)), "+" + fmt_mib(growth(ref)),
                f"{extra:+.2f} arrays", "< +0.50 arrays", verdict(extra < 0.5),
                f"array {fmt_mib(frame_kib)}; module - direct in array sizes (no second full-size "
                f"copy); idle python+numpy+module {fmt_mib(idle['peak_rss_kib'])}")]


@bench("Decode", ["1f streaming a slow file-like vs its read and decode times"])
def bench_streaming(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("large_lossless")
    size = path.stat().st_size
    data = path.read_bytes()
    ctx.jxl.decode(data, numthreads=n)
    dec = median(time_calls(lambda: ctx.jxl.decode(data, numthreads=n), max(2, p.rounds - 2)))
    # Sleep per read so that reading alone takes about as long as decoding.
    reads = math.ceil(size / CHUNK) + 1  # the last read returns b""
    delay = dec / reads

    def read_all() -> None:
        f = SlowFile(path, delay)
        while f.read(CHUNK):
            pass
        f.close()

    def streamed() -> None:
        f = SlowFile(path, delay)
        try:
            ctx.jxl.decode(f, numthreads=n, streaming=True)
        finally:
            f.close()

    # Decoding alone is timed again in the same rounds: the load of a shared
    # machine drifts between the calibration above and these rounds.
    t = interleave(max(2, p.rounds - 2), {
        "read": lambda: time_calls(read_all, 1),
        "decode": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), 1),
        "stream": lambda: time_calls(streamed, 1),
    })
    del data
    rd, st, dec = median(t["read"]), median(t["stream"]), median(t["decode"])
    hi = max(rd, dec)
    # The streaming path's own cost, without slow reads: separates the
    # overlap from the price of decoding chunk by chunk.
    fast = SlowFile(path, 0.0)
    t0 = time.perf_counter()
    ctx.jxl.decode(fast, numthreads=n, streaming=True)
    nodelay = time.perf_counter() - t0
    fast.close()
    return [Row("1f", f"streamed decode, {size / MIB:.1f} MiB lossless {ctx.large_side}x{ctx.large_side}"
                      f" via slow file-like",
                fmt_t(st), f"read {fmt_t(rd)} / decode {fmt_t(dec)}",
                f"x{st / hi:.2f} of max, x{st / (rd + dec):.2f} of sum", "<= 1.15x max",
                verdict(st <= 1.15 * hi),
                f"{reads} reads of {CHUNK // MIB} MiB, {delay * 1e3:.1f} ms sleep each; streamed "
                f"without sleeps {fmt_t(nodelay)}; {n} threads")]


@bench("Decode", ["1g lock released: counter thread progress during decode(numthreads=1)"])
def bench_decode_lock(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    path = ctx.stream("still")
    data = path.read_bytes()
    ctx.jxl.decode(data, numthreads=1)
    per = ctx.p.lock_seconds / (3 * ctx.p.lock_rounds)
    t1 = median(time_calls(lambda: ctx.jxl.decode(data, numthreads=1), 2))
    argv = [str(ctx.direct.path), "decode", "--in", str(path), "--threads", "1", "--warmup", "0",
            "--repeat", str(max(1, round(per / t1)))]
    res = lock_progress(lambda: ctx.jxl.decode(data, numthreads=1), ctx.p.lock_seconds,
                        ctx.p.lock_rounds, argv)
    return [lock_row("1g", f"other thread's progress during decode(numthreads=1), "
                           f"{ctx.p.still}x{ctx.p.still}", res)]
