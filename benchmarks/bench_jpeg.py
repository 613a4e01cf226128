"""Lossless JPEG recompression: transcode_jpeg and reconstruct_jpeg on a corpus
of real photographs (jpeg_corpus.py), against cjxl's sizes and libjxl called
directly."""

from __future__ import annotations

import shutil
import subprocess
from typing import Dict, List

import jpeg_corpus
from harness import (Ctx, Row, bench, fmt_t, interleave, lock_progress, lock_row, median, time_calls,
                     verdict)

EFFORT = 7
KIND_KEYS = {kind: f"j3{chr(ord('a') + i)}" for i, kind in enumerate(jpeg_corpus.KINDS)}
TITLES = [
    "j1 transcode_jpeg + reconstruct_jpeg bit-exact on the corpus",
    "j2 size against cjxl --lossless_jpeg=1 at the same effort, worst file",
    "j3 mean size of the JPEG XL over the JPEG",
    *(f"{key} size over the JPEG, {kind}" for kind, key in KIND_KEYS.items()),
    "j4 transcode_jpeg vs direct, whole corpus",
    "j5 reconstruct_jpeg vs direct, whole corpus",
]


def _skip(reason: str) -> List[Row]:
    return [Row(t.split(" ", 1)[0], t.split(" ", 1)[1], status="SKIP", note=reason) for t in TITLES]


def _cjxl_size(exe: str, path, out) -> int:
    subprocess.run([exe, str(path), str(out), "--lossless_jpeg=1", "-e", str(EFFORT), "--quiet"],
                   check=True, capture_output=True, timeout=600)
    return out.stat().st_size


@bench("JPEG recompression (issue 13)", TITLES)
def bench_jpeg(ctx: Ctx) -> List[Row]:
    ctx.need("transcode_jpeg", "reconstruct_jpeg")
    why = jpeg_corpus.available()
    if why:
        return _skip(why)
    n = ctx.threads
    folder = ctx.dir / "jpeg-corpus"
    folder.mkdir(exist_ok=True)
    corpus = jpeg_corpus.build(folder, quick=ctx.p.name == "quick")
    jpegs = {e.name: e.path.read_bytes() for e in corpus}

    # Sizes and bit-exactness; also the warm-up of both functions.
    jxls: Dict[str, bytes] = {}
    exact, same_as_direct = 0, 0
    for e in corpus:
        data = jxls[e.name] = ctx.jxl.transcode_jpeg(jpegs[e.name], effort=EFFORT, numthreads=n)
        exact += ctx.jxl.reconstruct_jpeg(data, numthreads=n) == jpegs[e.name]
        ref = e.path.with_suffix(".direct.jxl")
        ctx.direct.run("jpeg-transcode", "--in", str(e.path), "--effort", str(EFFORT), "--out",
                       str(ref), repeat=1, warmup=0)
        same_as_direct += ref.read_bytes() == data
        e.path.with_suffix(".jxl").write_bytes(data)
    rows = [Row("j1", f"transcode_jpeg + reconstruct_jpeg bit-exact, {len(corpus)} JPEGs",
                f"{len(corpus)} files", "", f"{exact}/{len(corpus)}", "all",
                verdict(exact == len(corpus)),
                f"photographs from scikit-image saved by Pillow at qualities "
                f"{min(e.quality for e in corpus)}-{max(e.quality for e in corpus)}, "
                f"{len(jpeg_corpus.KINDS)} kinds; effort {EFFORT}")]

    size = {name: len(d) / len(jpegs[name]) for name, d in jxls.items()}
    cjxl = shutil.which("cjxl")
    if cjxl:
        vs = {e.name: len(jxls[e.name]) / _cjxl_size(cjxl, e.path, e.path.with_suffix(".cjxl.jxl"))
              for e in corpus}
        worst = max(vs, key=vs.get)
        identical = sum(e.path.with_suffix(".cjxl.jxl").read_bytes() == jxls[e.name] for e in corpus)
        rows.append(Row("j2", f"size against cjxl --lossless_jpeg=1 -e {EFFORT}, worst file", "", "",
                        f"x{vs[worst]:.4f}", "<= 1.01", verdict(vs[worst] <= 1.01),
                        f"worst {worst}; mean x{sum(vs.values()) / len(vs):.4f}; byte-identical "
                        f"to cjxl's file: {identical}/{len(corpus)}"))
    else:
        rows.append(Row("j2", "size against cjxl --lossless_jpeg=1, worst file", status="SKIP",
                        note="cjxl not installed"))
    total_jpeg = sum(len(d) for d in jpegs.values())
    total_jxl = sum(len(d) for d in jxls.values())
    rows.append(Row("j3", "mean size of the JPEG XL over the JPEG (per file)",
                    f"{total_jxl / 1024:.0f} KiB", f"{total_jpeg / 1024:.0f} KiB (JPEG)",
                    f"{sum(size.values()) / len(size):.3f}", "report (libjxl: about 0.84)", "INFO",
                    f"total {total_jxl / total_jpeg:.3f}; best {min(size.values()):.3f}, "
                    f"worst {max(size.values()):.3f}"))
    for kind, key in KIND_KEYS.items():
        names = [e.name for e in corpus if e.kind == kind]
        ratios = [size[m] for m in names]
        kib = sum(len(jpegs[m]) for m in names) / 1024
        rows.append(Row(key, f"size over the JPEG, {kind}", "", f"{kib:.0f} KiB (JPEG)",
                        f"{sum(ratios) / len(ratios):.3f}", "report", "INFO",
                        f"{len(names)} files: " + ", ".join(f"{size[m]:.3f}" for m in names)))

    # Times: per file, medians over interleaved rounds, summed over the corpus.
    # Each direct run is a fresh process: it warms up as often as it measures,
    # since its first calls pay for page faults the module's process has paid.
    for key, what, cmd, inputs, call in (
            ("j4", "transcode_jpeg", "jpeg-transcode", jpegs,
             lambda d: ctx.jxl.transcode_jpeg(d, effort=EFFORT, numthreads=n)),
            ("j5", "reconstruct_jpeg", "jpeg-reconstruct", jxls,
             lambda d: ctx.jxl.reconstruct_jpeg(d, numthreads=n))):
        mod: Dict[str, List[float]] = {}
        ref: Dict[str, List[float]] = {}
        for e in corpus:
            src = e.path if cmd == "jpeg-transcode" else e.path.with_suffix(".jxl")
            data = inputs[e.name]
            t = interleave(min(ctx.p.rounds, 3), {
                "module": lambda: time_calls(lambda: call(data), 3),
                "direct": lambda: ctx.direct.run(cmd, "--in", str(src), "--effort", str(EFFORT),
                                                 repeat=3, warmup=3)["times"],
            })
            mod[e.name], ref[e.name] = t["module"], t["direct"]
        m = sum(median(v) for v in mod.values())
        r = sum(median(v) for v in ref.values())
        note = f"{len(corpus)} files, {n} threads, effort {EFFORT}"
        if key == "j4":
            note += f"; same bytes as direct: {same_as_direct}/{len(corpus)}"
        rows.append(Row(key, f"{what} vs direct, whole corpus (sum of per-file medians)", fmt_t(m),
                        fmt_t(r), f"x{m / r:.3f}", "<= 1.05", verdict(m / r <= 1.05), note))
    return rows


@bench("JPEG recompression (issue 13)", ["j6 other thread's progress during transcode_jpeg(numthreads=1)"])
def bench_jpeg_lock(ctx: Ctx) -> List[Row]:
    ctx.need("transcode_jpeg")
    why = jpeg_corpus.available()
    if why:
        return [Row("j6", "other thread's progress during transcode_jpeg", status="SKIP", note=why)]
    folder = ctx.dir / "jpeg-lock"
    folder.mkdir(exist_ok=True)
    entry = max(jpeg_corpus.build(folder, quick=ctx.p.name == "quick"), key=lambda e: e.path.stat().st_size)
    data = entry.path.read_bytes()
    per = ctx.p.lock_seconds / (3 * ctx.p.lock_rounds)
    t1 = median(time_calls(lambda: ctx.jxl.transcode_jpeg(data, numthreads=1), 2))
    argv = [str(ctx.direct.path), "jpeg-transcode", "--in", str(entry.path), "--threads", "1",
            "--warmup", "0", "--repeat", str(max(1, round(per / t1)))]
    res = lock_progress(lambda: ctx.jxl.transcode_jpeg(data, numthreads=1), ctx.p.lock_seconds,
                        ctx.p.lock_rounds, argv)
    return [lock_row("j6", f"other thread's progress during transcode_jpeg(numthreads=1), "
                           f"{entry.name} ({len(data) // 1024} KiB)", res)]
