"""Probe benchmarks: frame_count and thumbnail_bytes against decoding."""

from __future__ import annotations

from typing import List

from harness import Ctx, Row, bench, direct_times, fmt_t, interleave, median, time_calls, verdict


@bench("Probes", ["4a frame_count vs decode of the {frames}x{anim_big}x{anim_big} u16 animation"])
def bench_frame_count_vs_decode(ctx: Ctx) -> List[Row]:
    ctx.need("frame_count", "decode")
    p, n = ctx.p, ctx.threads
    data = ctx.stream("anim_big16").read_bytes()
    k = p.count_calls
    count = ctx.jxl.frame_count(data)
    ctx.jxl.decode(data, numthreads=n)
    t = interleave(p.rounds, {
        "count": lambda: time_calls(lambda: ctx.jxl.frame_count(data), k),
        "decode": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), 1),
    })
    c, d = median(t["count"]), median(t["decode"])
    return [Row("4a", f"frame_count vs decode, {p.frames}x{p.anim_big}x{p.anim_big} RGB u16 animation",
                fmt_t(c), fmt_t(d) + " (decode)", f"x{d / c:.0f} faster", ">= x200",
                verdict(d / c >= 200), f"frame_count = {count}; decode with {n} threads")]


@bench("Probes", ["4b frame_count vs direct count"])
def bench_frame_count_vs_direct(ctx: Ctx) -> List[Row]:
    ctx.need("frame_count")
    path = ctx.stream("anim_big16")
    data = path.read_bytes()
    k = ctx.p.count_calls * 5
    for _ in range(5):
        ctx.jxl.frame_count(data)
    t = interleave(ctx.p.rounds, {
        "count": lambda: time_calls(lambda: ctx.jxl.frame_count(data), k),
        "direct": direct_times(ctx, "count", path, k, threads=1, warmup=5),
    })
    c, r = median(t["count"]), median(t["direct"])
    return [Row("4b", "frame_count vs direct count (JXL_DEC_FRAME only, no runner)", fmt_t(c), fmt_t(r),
                f"{(c - r) * 1e6:+.1f} us", "<= +50 us", verdict(c - r <= 50e-6),
                f"same {len(data) / 1024:.0f} KiB stream, {k} calls per round")]


@bench("Probes", ["4c thumbnail_bytes of a progressive {prog_thumb}x{prog_thumb}"])
def bench_thumbnail(ctx: Ctx) -> List[Row]:
    ctx.need("thumbnail_bytes", "decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("thumb_prog")
    data = path.read_bytes()
    prefix = ctx.jxl.thumbnail_bytes(data)
    ctx.jxl.decode(data, numthreads=n)
    t = interleave(p.rounds, {
        "thumb": lambda: time_calls(lambda: ctx.jxl.thumbnail_bytes(data), 3),
        "decode": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), 1),
    })
    th, d = median(t["thumb"]), median(t["decode"])
    if prefix is None:
        frac, ok_prefix = "None (no DC point)", False
    else:
        frac, ok_prefix = f"{len(prefix) / len(data) * 100:.1f}% of file", data.startswith(prefix)
    return [Row("4c", f"thumbnail_bytes, progressive {p.prog_thumb}x{p.prog_thumb} (d1)", fmt_t(th),
                fmt_t(d) + " (decode)", f"{frac}, x{th / d:.2f} of decode time", "report", "INFO",
                f"{len(data) / 1024:.0f} KiB stream; prefix of input: {'yes' if ok_prefix else 'NO'}; "
                f"thumbnail_bytes runs single-threaded, decode with {n} threads")]
