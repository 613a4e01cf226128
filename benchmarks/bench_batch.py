"""Batch conversion benchmarks: `quillmarsh-jxl convert` of a folder of JPEGs with
2 worker processes against 1, and against cjxl run once per file from a shell loop.

Every side is a fresh command run on the same folder, timed from start to exit
(process start-up included on every side), into an empty output folder.
"""

from __future__ import annotations

import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

from harness import Ctx, Row, bench, interleave, median, verdict
from images import photo

FILES = {"full": 200, "quick": 12}  # JPEGs per batch, by profile
SIDE = {"full": 1024, "quick": 128}  # crops of SIDE x 3/4 SIDE pixels


def make_jpegs(ctx: Ctx) -> Path:
    from PIL import Image

    folder = ctx.dir / "batch_jpegs"
    if folder.exists():
        return folder
    folder.mkdir()
    n, side = FILES[ctx.p.name], SIDE[ctx.p.name]
    base = photo(side * 2, side * 2, 3, seed=21)
    for i in range(n):  # different crops of one photograph-like image, q80..95
        y, x = (i * 37) % side, (i * 53) % side
        Image.fromarray(base[y:y + side, x:x + side * 3 // 4]).save(
            folder / f"img{i:03d}.jpg", quality=80 + i % 16)
    return folder


CPU_SHARE: Dict[str, List[float]] = {}  # CPU seconds / wall seconds of each run, by side


def _convert(folder: Path, out: Path, *extra: str) -> List[float]:
    shutil.rmtree(out, ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "quillmarsh.cli", "convert", str(folder),
                           "--out", str(out), "-q", *extra], capture_output=True, text=True)
    took = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        raise RuntimeError(f"convert failed: {proc.stderr.strip()[-300:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    CPU_SHARE.setdefault(out.name, []).append(cpu / took)
    return [took]


def _cjxl_loop(cjxl: str, folder: Path, out: Path) -> List[float]:
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    script = 'for f in "$1"/*.jpg; do "$3" "$f" "$2/$(basename "$f" .jpg).jxl" --quiet || exit 1; done'
    t0 = time.perf_counter()
    subprocess.run(["bash", "-c", script, "loop", str(folder), str(out), cjxl], check=True,
                   capture_output=True)
    return [time.perf_counter() - t0]


def _same_bytes(a: Path, b: Path) -> str:
    names = sorted(p.name for p in a.iterdir())
    same = sum((a / n).read_bytes() == (b / n).read_bytes() for n in names if (b / n).exists())
    return f"{same} of {len(names)}"


@bench("Batch conversion", [
    "B1 convert a folder of JPEGs, 2 workers vs 1 worker (1 libjxl thread per file)",
    "B2 convert, 2 workers vs cjxl once per file from a shell loop",
    "B3 convert, 2 workers vs 1 worker, default libjxl threads per file",
])
def bench_batch(ctx: Ctx) -> List[Row]:
    import quillmarsh.codecs.jxl as jxl

    folder = make_jpegs(ctx)
    n = FILES[ctx.p.name]
    mode = ("lossless JPEG recompression (transcode_jpeg)" if hasattr(jxl, "transcode_jpeg")
            else "pixels decoded by Pillow, encoded lossless (no transcode_jpeg in this build)")
    cjxl = shutil.which("cjxl")
    out = ctx.dir / "batch_out"
    sides: Dict[str, object] = {
        "w1t1": lambda: _convert(folder, out / "w1t1", "--workers", "1", "--threads", "1"),
        "w2t1": lambda: _convert(folder, out / "w2t1", "--workers", "2", "--threads", "1"),
        "w1": lambda: _convert(folder, out / "w1", "--workers", "1"),
        "w2": lambda: _convert(folder, out / "w2", "--workers", "2"),
    }
    if cjxl:
        sides["cjxl"] = lambda: _cjxl_loop(cjxl, folder, out / "cjxl")
    t = interleave(max(1, ctx.p.rounds - 2), sides)  # type: ignore[arg-type]
    rate = {k: n / median(v) for k, v in t.items()}
    in_bytes = sum(p.stat().st_size for p in folder.iterdir())
    out_bytes = sum(p.stat().st_size for p in (out / "w2").iterdir())
    size = f"{n} JPEGs, {in_bytes / n / 1024:.0f} KiB each; {mode}; out/in {out_bytes / in_bytes:.3f}"
    q1 = rate["w2t1"] / rate["w1t1"]
    # On an idle machine 1 worker with 1 thread keeps ~1 core busy and 2 workers ~2;
    # far less means other work held the cores and the ratios say little.
    busy = ", ".join(f"{k} {median(v):.2f}" for k, v in sorted(CPU_SHARE.items()))
    size += f"; cores kept busy (CPU s / wall s): {busy}"
    rows = [Row("B1", f"convert {n} JPEGs, 2 workers vs 1 (--threads 1)",
                f"{rate['w2t1']:.1f} files/s", f"{rate['w1t1']:.1f} files/s (1 worker)",
                f"x{q1:.2f}", ">= 1.80", verdict(q1 >= 1.8), size)]
    if cjxl:
        q2 = rate["w2"] / rate["cjxl"]
        rows.append(Row("B2", f"convert {n} JPEGs, 2 workers vs cjxl per file in a shell loop",
                        f"{rate['w2']:.1f} files/s", f"{rate['cjxl']:.1f} files/s (cjxl loop)",
                        f"x{q2:.2f}", ">= 1.00", verdict(q2 >= 1.0),
                        f"default threads on both sides; same bytes as cjxl: "
                        f"{_same_bytes(out / 'w2', out / 'cjxl')}"))
    else:
        rows.append(Row("B2", "convert vs cjxl shell loop", status="SKIP", note="cjxl not installed"))
    q3 = rate["w2"] / rate["w1"]
    rows.append(Row("B3", f"convert {n} JPEGs, 2 workers vs 1, default threads",
                    f"{rate['w2']:.1f} files/s", f"{rate['w1']:.1f} files/s (1 worker)",
                    f"x{q3:.2f}", "report", "INFO",
                    "default: libjxl threads per file = cores / workers (2 for 1 worker, 1 for 2)"))
    return rows
