"""Progressive benchmarks: decode(downsample=8) against the full decode and libjxl's
own flush, and its peak memory."""

from __future__ import annotations

from typing import List

from harness import (CONFORMANCE_PROGRESSIVE, Ctx, Row, bench, direct_times, fmt_mib, fmt_t,
                     growth, interleave, median, run_child, time_calls, verdict)


PROG_STREAMS = [
    ("3a", "big_prog", "progressive lossy {big}x{big} (progressive AC + responsive, d1)"),
    ("3b", "big", "non-progressive lossy {big}x{big} (d1)"),
    ("3c", "conformance", "conformance progressive/input.jxl"),
]


@bench("Progressive", [f"{k} {t}" for k, _, t in PROG_STREAMS])
def bench_progressive(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    rows = []
    for key, name, title in PROG_STREAMS:
        title = title.format(big=p.big)
        if name == "conformance":
            if not CONFORMANCE_PROGRESSIVE.exists():
                rows.append(Row(key, title, status="SKIP", note=f"{CONFORMANCE_PROGRESSIVE} absent"))
                continue
            if p.name == "quick":  # a full-size photograph: seconds per decode
                rows.append(Row(key, title, status="SKIP", note="not in quick runs"))
                continue
            path = CONFORMANCE_PROGRESSIVE
        else:
            path = ctx.stream(name)
        data = path.read_bytes()
        try:
            ctx.jxl.decode(data, numthreads=n)
            small = ctx.jxl.decode(data, numthreads=n, downsample=8)
            t = interleave(p.rounds, {
                "full": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), 1),
                "ds8": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n, downsample=8), 1),
                "flush": direct_times(ctx, "flush", path, 1),
            })
        except Exception as exc:
            rows.append(Row(key, title, status="ERROR", note=f"{type(exc).__name__}: {exc}"[:160]))
            continue
        full, ds8, flush = median(t["full"]), median(t["ds8"]), median(t["flush"])
        ratios = ctx.direct.run("flush", "--in", str(path), repeat=1, warmup=0)["ratios"]
        speed, vs = full / ds8, ds8 / flush
        ok = speed >= 1.8 and vs <= 1.05
        rows.append(Row(key, title, f"ds8 {fmt_t(ds8)}", f"full {fmt_t(full)} / direct flush {fmt_t(flush)}",
                        f"x{speed:.2f} faster, x{vs:.3f} of direct", ">= 1.80 faster, <= 1.05 of direct",
                        verdict(ok),
                        f"{len(data) / 1024:.0f} KiB; libjxl flushed at ratio {ratios} (0 = no usable "
                        f"progression point); output {small.shape}"))
    return rows


@bench("Progressive", ["3d peak memory, decode(downsample=8) of the progressive {big}x{big}"])
def bench_progressive_memory(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("big_prog")
    frame_kib = p.big * p.big * 3 / 1024
    mod = run_child({"op": "decode", "path": str(path), "kwargs": {"numthreads": n, "downsample": 8}})
    ref = ctx.direct.run("flush", "--in", str(path), mem=True)
    extra = (growth(mod) - growth(ref)) / frame_kib
    return [Row("3d", f"peak RSS growth, decode(downsample=8) of progressive {p.big}x{p.big}",
                "+" + fmt_mib(growth(mod)), "+" + fmt_mib(growth(ref)),
                f"{extra:+.2f} buffers", "< +0.50 buffers (one at a time)", verdict(extra < 0.5),
                f"full-size buffer {fmt_mib(frame_kib)}; module - direct flush in buffer sizes")]


REDUCED = [("3e", 2), ("3f", 4), ("3g", 8)]


@bench("Progressive",
       [f"{key} peak memory, decode(downsample={k}) of {{big}}x{{big}} RGB" for key, k in REDUCED])
def bench_reduced_memory(ctx: Ctx) -> List[Row]:
    """Reduced decodes keep only the samples they return: each against the
    same decode through a full-size frame sampled afterwards (what the
    reader did before), one fresh process per figure."""
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("big")
    frame_kib = p.big * p.big * 3 / 1024
    ref = ctx.direct.run("flush", "--in", str(path), mem=True)
    rows = []
    for key, k in REDUCED:
        job = {"path": str(path), "kwargs": {"numthreads": n, "downsample": k}}
        mod = run_child({"op": "decode", **job})
        old = run_child({"op": "decode_full_size", **job})
        out_kib = mod["out_bytes"] / 1024
        fall = growth(old) - growth(mod)
        # 1:8 must save 40 MiB of the 48 MiB frame; 1:2 and 1:4 the frame less the output.
        need = frame_kib * 40 / 48 if k == 8 else frame_kib - out_kib
        note = f"full-size frame {fmt_mib(frame_kib)}, output {fmt_mib(out_kib)}"
        if k == 8:
            note += f"; direct flush program (full-size buffer) +{fmt_mib(growth(ref))}"
        rows.append(Row(key, f"peak RSS growth, decode(downsample={k}) of {p.big}x{p.big} RGB (d1)",
                        "+" + fmt_mib(growth(mod)), "+" + fmt_mib(growth(old)) + " full-size route",
                        f"falls {fmt_mib(fall)}", f"falls >= {fmt_mib(need)}", verdict(fall >= need), note))
    return rows
