"""Encode benchmarks: encode() against the direct program, memory and the released lock."""

from __future__ import annotations

import time
from typing import List

from harness import (Ctx, Row, bench, fmt_mib, growth, interleave, lock_progress, lock_row,
                     median, ratio_row, run_child, time_calls, verdict)


@bench("Encode", [
    "2a encode() vs direct, {still}x{still} RGB u8, distance 1.0 effort 7",
    "2b encode() vs direct, {still}x{still} RGB u8, lossless effort 3",
    "2f encode() vs direct, {still}x{still} RGB u8, lossless effort 1",
])
def bench_encode_ratio(ctx: Ctx) -> List[Row]:
    """Each row's note gives the cores kept busy: CPU time (all threads) per
    wall second, of the module's calls and of the direct program's."""
    ctx.need("encode")
    p, n = ctx.p, ctx.threads
    img = ctx.array("still")
    rows = []
    for key, kw, title in (
            ("2a", dict(distance=1.0, effort=7), f"encode() vs direct, {p.still}x{p.still} RGB u8, distance 1.0 effort 7"),
            ("2b", dict(lossless=True, effort=3), f"encode() vs direct, {p.still}x{p.still} RGB u8, lossless effort 3"),
            ("2f", dict(lossless=True, effort=1), f"encode() vs direct, {p.still}x{p.still} RGB u8, lossless effort 1")):
        kw = dict(kw, numthreads=n)
        args = ctx.direct_encode_args(img, "still", **kw)
        out = ctx.jxl.encode(img, **kw)  # warm-up, and the bytes to compare
        ref_path = ctx.dir / f"direct_{key}.jxl"
        ctx.direct.run("encode", *args, "--out", str(ref_path), repeat=1, warmup=0)
        same = out == ref_path.read_bytes()
        cpu = {"module": [], "direct": []}
        k = 1 if kw.get("effort") != 1 else 3

        def module() -> List[float]:
            c0, t0 = time.process_time(), time.perf_counter()
            for _ in range(k):
                ctx.jxl.encode(img, **kw)
            cpu["module"].append((time.process_time() - c0) / (time.perf_counter() - t0))
            return [(time.perf_counter() - t0) / k]

        def direct() -> List[float]:
            res = ctx.direct.run("encode", *args, repeat=k)
            cpu["direct"].append(sum(res["cpu_times"]) / sum(res["times"]))
            return res["times"]

        t = interleave(p.rounds, {"module": module, "direct": direct})
        rows.append(ratio_row(key, title, t["module"], t["direct"], 1.03,
                              f"{len(out) / 1024:.0f} KiB; same bytes as direct: {'yes' if same else 'NO'}; "
                              f"{n} threads; cores busy {median(cpu['module']):.2f} (direct "
                              f"{median(cpu['direct']):.2f})"))
    return rows


@bench("Encode", [
    "2c peak memory, encode C-contiguous {big}x{big} RGB u8",
    "2d peak memory, encode non-contiguous view of it",
])
def bench_encode_memory(ctx: Ctx) -> List[Row]:
    ctx.need("encode")
    p, n = ctx.p, ctx.threads
    img = ctx.array("big")
    kw = dict(distance=1.0, effort=3, numthreads=n)
    npy = ctx.npy("big")
    frame_kib = img.nbytes / 1024
    cont = run_child({"op": "encode", "path": str(npy), "kwargs": kw})
    view = run_child({"op": "encode", "path": str(npy), "kwargs": kw, "view": "reversed"})
    ref = ctx.direct.run("encode", *ctx.direct_encode_args(img, "big", **kw), mem=True)
    extra_c = (growth(cont) - growth(ref)) / frame_kib
    extra_v = (growth(view) - growth(cont)) / frame_kib
    return [
        Row("2c", f"peak RSS growth, encode C-contiguous {p.big}x{p.big} RGB u8 (d1 e3)",
            "+" + fmt_mib(growth(cont)), "+" + fmt_mib(growth(ref)), f"{extra_c:+.2f} frames",
            "< +0.50 frames (no copy)", verdict(extra_c < 0.5),
            f"frame {fmt_mib(frame_kib)}; module - direct in frame sizes"),
        Row("2d", "peak RSS growth, encode non-contiguous view (rows reversed)",
            "+" + fmt_mib(growth(view)), "+" + fmt_mib(growth(cont)) + " (contig.)",
            f"{extra_v:+.2f} frames", "1 copy: +0.50 .. +1.50", verdict(0.5 <= extra_v <= 1.5),
            "view - contiguous in frame sizes"),
    ]


@bench("Encode", ["2e lock released: counter thread progress during encode(numthreads=1)"])
def bench_encode_lock(ctx: Ctx) -> List[Row]:
    ctx.need("encode")
    img = ctx.array("still")
    kw = dict(distance=1.0, effort=3, numthreads=1)
    ctx.jxl.encode(img, **kw)
    per = ctx.p.lock_seconds / (3 * ctx.p.lock_rounds)
    t1 = median(time_calls(lambda: ctx.jxl.encode(img, **kw), 2))
    argv = [str(ctx.direct.path), "encode", *ctx.direct_encode_args(img, "still", **kw), "--threads", "1",
            "--warmup", "0", "--repeat", str(max(1, round(per / t1)))]
    res = lock_progress(lambda: ctx.jxl.encode(img, **kw), ctx.p.lock_seconds, ctx.p.lock_rounds, argv)
    return [lock_row("2e", f"other thread's progress during encode(numthreads=1), "
                           f"{ctx.p.still}x{ctx.p.still} d1 e3", res)]
