"""Lossless JPEG recompression: transcode_jpeg and reconstruct_jpeg on a corpus
of real photographs (jpeg_corpus.py), against cjxl's sizes and libjxl called
directly."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List

import jpeg_corpus
from harness import (Ctx, Row, bench, fmt_t, interleave, lock_progress, lock_row, median, time_calls,
                     verdict)

EFFORT = 7
WARMUP, REPEAT = 3, 5
TUNABLES = "glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=134217728"

# The module's side of a timing: a fresh interpreter, like the direct program.
CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from quillmarsh.codecs import _jxl
what, path, threads, effort, warmup, repeat, extra = json.loads(sys.argv[2])
data = open(path, "rb").read()
kw = dict(numthreads=threads, effort=effort) if what == "transcode_jpeg" else dict(numthreads=threads)
kw.update(extra)
fn = getattr(_jxl, what)
for _ in range(warmup):
    fn(data, **kw)
times, cpu = [], []
for _ in range(repeat):
    c0, t0 = time.process_time(), time.perf_counter()
    fn(data, **kw)
    times.append(time.perf_counter() - t0)
    cpu.append(time.process_time() - c0)
print(json.dumps({"times": times, "cpu_times": cpu}))
"""
KIND_KEYS = {kind: f"j3{chr(ord('a') + i)}" for i, kind in enumerate(jpeg_corpus.KINDS)}
TITLES = [
    "j1 transcode_jpeg + reconstruct_jpeg bit-exact on the corpus",
    "j2 size against cjxl --lossless_jpeg=1 at the same effort, worst file",
    "j3 mean size of the JPEG XL over the JPEG",
    *(f"{key} size over the JPEG, {kind}" for kind, key in KIND_KEYS.items()),
    "j4 transcode_jpeg vs direct, whole corpus",
    "j4v transcode_jpeg with its rebuild check against without, whole corpus",
    "j5 reconstruct_jpeg vs direct, whole corpus",
]


def _skip(reason: str) -> List[Row]:
    return [Row(t.split(" ", 1)[0], t.split(" ", 1)[1], status="SKIP", note=reason) for t in TITLES]


def _cjxl_size(exe: str, path, out) -> int:
    subprocess.run([exe, str(path), str(out), "--lossless_jpeg=1", "-e", str(EFFORT), "--quiet"],
                   check=True, capture_output=True, timeout=600)
    return out.stat().st_size


# CPU seconds per call of the last _run_json of each side, by file.
_CPU: Dict[str, List[float]] = {}


def _run_json(argv: List[str], env: Dict[str, str], side: str = "") -> List[float]:
    proc = subprocess.run(argv, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{Path(argv[0]).name} failed: {proc.stderr.strip()[-300:]}")
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    if side:
        _CPU.setdefault(side, []).extend(out.get("cpu_times", []))
    return out["times"]


def _module_times(ctx: Ctx, what: str, path: Path, env: Dict[str, str], side: str = "module",
                  **extra) -> List[float]:
    src_root = Path(ctx.jxl.__file__).resolve().parents[2]
    job = json.dumps([what, str(path), ctx.threads, EFFORT, WARMUP, REPEAT, extra])
    return _run_json([sys.executable, "-c", CHILD, str(src_root), job], env, side)


@bench("JPEG recompression", TITLES)
def bench_jpeg(ctx: Ctx) -> List[Row]:
    ctx.need("transcode_jpeg", "reconstruct_jpeg")
    why = jpeg_corpus.available()
    if why:
        return _skip(why)
    folder = ctx.dir / "jpeg-corpus"
    folder.mkdir(exist_ok=True)
    corpus = jpeg_corpus.build(folder, quick=ctx.p.name == "quick")
    jpegs = {e.name: e.path.read_bytes() for e in corpus}
    rows, jxls, same_as_direct = _exactness_row(ctx, corpus, jpegs)
    rows += _size_rows(corpus, jpegs, jxls)
    return rows + _time_rows(ctx, corpus, same_as_direct)


def _exactness_row(ctx: Ctx, corpus: List, jpegs: Dict[str, bytes]):
    """Bit-exactness (j1), the transcoded files, and how many match the
    direct program's; also the warm-up of both functions."""
    n = ctx.threads
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
    return rows, jxls, same_as_direct


def _size_rows(corpus: List, jpegs: Dict[str, bytes], jxls: Dict[str, bytes]) -> List[Row]:
    """Sizes against cjxl (j2), the JPEG (j3) and per kind of picture."""
    rows = []
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
    return rows


def _time_rows(ctx: Ctx, corpus: List, same_as_direct: int) -> List[Row]:
    """transcode_jpeg (j4, j4v) and reconstruct_jpeg (j5) against the direct program."""
    n = ctx.threads
    rows = []
    # Times: both sides are fresh processes doing the same warm-ups and runs
    # under the same allocator settings. libjxl allocates and frees many
    # blocks of some hundred KiB per JPEG; how often they are mapped and
    # faulted in again depends on glibc's mmap/trim thresholds, which adapt
    # to a process's history. Left to that history the two sides differed by
    # 10-20 % either way with no difference in the work done.
    env = dict(os.environ, GLIBC_TUNABLES=TUNABLES)
    timed = corpus if ctx.p.name != "quick" else corpus[:3]
    # libjxl called directly does not rebuild what it made: the module's
    # transcode is timed like for like without its rebuild check (j4), and
    # the check's cost on its own row (j4v).
    like = {"verify": False} if _has_verify(ctx) else {}
    for key, what, cmd in (("j4", "transcode_jpeg", "jpeg-transcode"),
                           ("j5", "reconstruct_jpeg", "jpeg-reconstruct")):
        mod: Dict[str, List[float]] = {}
        ref: Dict[str, List[float]] = {}
        cpu = {"module": 0.0, "direct": 0.0}
        extra = like if key == "j4" else {}
        for e in timed:
            src = e.path if cmd == "jpeg-transcode" else e.path.with_suffix(".jxl")
            t = interleave(min(ctx.p.rounds, 3), {
                "module": lambda: _module_times(ctx, what, src, env, **extra),
                "direct": lambda: _run_json([str(ctx.direct.path), cmd, "--in", str(src), "--effort",
                                             str(EFFORT), "--threads", str(n), "--repeat", str(REPEAT),
                                             "--warmup", str(WARMUP)], env, "direct"),
            })
            mod[e.name], ref[e.name] = t["module"], t["direct"]
            for side in cpu:
                cpu[side] += median(_CPU.pop(side, [0.0]))
        m = sum(median(v) for v in mod.values())
        r = sum(median(v) for v in ref.values())
        # Under load a run is sometimes preempted and takes several times
        # longer; the fastest runs show the cost of the work itself.
        fast = sum(min(v) for v in mod.values()) / sum(min(v) for v in ref.values())
        # Process CPU (all threads) per call: the work done, which the
        # machine's load does not stretch as it stretches the wall clock.
        cpu_ratio = f"x{cpu['module'] / cpu['direct']:.3f}" if cpu["direct"] > 0 else "n/a"
        note = (f"{len(timed)} files, {n} threads, effort {EFFORT}; fastest runs x{fast:.3f}; "
                f"CPU per call {cpu_ratio}; "
                f"each side a fresh process, "
                f"{WARMUP} warm-ups + {REPEAT} runs, GLIBC_TUNABLES={TUNABLES}")
        if key == "j4":
            note += f"; same bytes as direct: {same_as_direct}/{len(corpus)}"
            if like:
                note += "; module with verify=False (direct does not rebuild)"
        rows.append(Row(key, f"{what} vs direct, {len(timed)} JPEGs (sum of per-file medians)", fmt_t(m),
                        fmt_t(r), f"x{m / r:.3f}", "<= 1.05", verdict(m / r <= 1.05), note))
        if key == "j4":
            rows.append(_verify_cost(ctx, timed, env))
    return rows


def _has_verify(ctx: Ctx) -> bool:
    return "verify" in (ctx.jxl.transcode_jpeg.__doc__ or "")


def _verify_cost(ctx: Ctx, timed, env: Dict[str, str]) -> Row:
    """transcode_jpeg as called (verify=True: rebuilt and compared) against
    verify=False, both in fresh processes, per file interleaved."""
    if not _has_verify(ctx):
        return Row("j4v", "transcode_jpeg with its rebuild check against without", status="SKIP",
                   note="this module has no verify option")
    on: Dict[str, List[float]] = {}
    off: Dict[str, List[float]] = {}
    for e in timed:
        t = interleave(min(ctx.p.rounds, 3), {
            "verify": lambda: _module_times(ctx, "transcode_jpeg", e.path, env, "verify", verify=True),
            "plain": lambda: _module_times(ctx, "transcode_jpeg", e.path, env, "plain", verify=False),
        })
        on[e.name], off[e.name] = t["verify"], t["plain"]
    cpu_on, cpu_off = sum(_CPU.pop("verify", [0.0])), sum(_CPU.pop("plain", [0.0]))
    m = sum(median(v) for v in on.values())
    r = sum(median(v) for v in off.values())
    fast = sum(min(v) for v in on.values()) / sum(min(v) for v in off.values())
    cpu = f"x{cpu_on / cpu_off:.3f}" if cpu_off > 0 else "n/a"
    return Row("j4v", f"transcode_jpeg verify=True (default) vs verify=False, {len(timed)} JPEGs "
                      f"(sum of per-file medians)", fmt_t(m), fmt_t(r), f"x{m / r:.3f}",
               "report (a rebuild is about half a transcode)", "INFO",
               f"{len(timed)} files, {ctx.threads} threads, effort {EFFORT}; fastest runs x{fast:.3f}; "
               f"CPU {cpu}; per file: " + ", ".join(
                   f"{name} x{median(on[name]) / median(off[name]):.2f}" for name in on))


@bench("JPEG recompression", ["j6 other thread's progress during transcode_jpeg(numthreads=1)"])
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
