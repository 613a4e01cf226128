"""Small images with numthreads left at None: no thread pool for an image of one
group, so the call costs what the single-thread direct program costs."""

from __future__ import annotations

from typing import List

from harness import Ctx, Row, bench, direct_times, fmt_t, interleave, median, time_calls, verdict


def _overhead_row(key: str, title: str, module: List[float], direct: List[float], k: int) -> Row:
    m, r = median(module), median(direct)
    d = m - r
    return Row(key, title, fmt_t(m), fmt_t(r), f"{d * 1e6:+.1f} us", "<= +30 us",
               verdict(d <= 30e-6), f"{k} calls per round; direct: 1 thread")


@bench("Small images (issue 17)", [
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
