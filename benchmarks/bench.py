#!/usr/bin/env python3
"""Side-by-side benchmarks of quillmarsh.codecs._jxl.

Every comparison runs in this one process run: the module against
jxlbench_direct (a small C++ program making the same libjxl calls on the same
bytes with the same thread count, the lower bound for a wrapper), and against
the obvious alternatives inside the module (full decode vs downsample=8,
frame_count vs decode, streaming vs in-memory). Timings are medians over
interleaved rounds after a warm-up; peak memory is measured in fresh
subprocesses. The last thing printed is one table of ratios with the absolute
medians, each row with its target and PASS/MISS (MISSING when the module does
not have the function yet, ERROR when it raised). The exit status is 1 when a
row is ERROR, else 0.

    python benchmarks/bench.py [--quick] [--direct PATH] [--json FILE]

Normally started by benchmarks/run.sh, which builds the direct program first.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from images import panning, photo  # noqa: E402

CONFORMANCE_PROGRESSIVE = ROOT.parent / "shared" / "testdata" / "conformance" / "progressive" / "input.jxl"
MIB = 1 << 20
CHUNK = 4 * MIB  # the reader's streaming chunk size


# ---------------------------------------------------------------------------
# run profiles

@dataclasses.dataclass(frozen=True)
class Profile:
    name: str
    rounds: int          # interleaved rounds per comparison
    still: int           # side of the "2048" still images
    big: int             # side of the "4096" images (memory, progressive)
    anim_small: int      # frame side of the 16-frame "512" animation
    anim_big: int        # frame side of the 16-frame "1024" animations
    frames: int          # frames per animation
    tiny_calls: int      # calls per round for the 64x64 per-call overhead
    count_calls: int     # frame_count calls per round
    stream_mib: float    # size of the streamed file
    lock_seconds: float  # total time per lock-release test (solo + busy)
    lock_rounds: int     # solo/busy pairs per lock-release test
    prog_thumb: int      # side of the progressive image for thumbnail_bytes


FULL = Profile("full", rounds=5, still=2048, big=4096, anim_small=512, anim_big=1024, frames=16,
               tiny_calls=200, count_calls=20, stream_mib=64, lock_seconds=9.0, lock_rounds=6,
               prog_thumb=2048)
QUICK = Profile("quick", rounds=2, still=256, big=512, anim_small=64, anim_big=128, frames=16,
                tiny_calls=20, count_calls=5, stream_mib=5, lock_seconds=0.3, lock_rounds=2,
                prog_thumb=256)


# ---------------------------------------------------------------------------
# results

@dataclasses.dataclass
class Row:
    key: str
    title: str
    module: str = ""      # absolute median of the module side
    ref: str = ""         # absolute median of the reference side
    measured: str = ""    # the ratio or value the target applies to
    target: str = ""
    status: str = ""      # PASS, MISS, INFO, MISSING, ERROR, SKIP
    note: str = ""
    section: str = ""


def fmt_t(s: Optional[float]) -> str:
    if s is None or math.isnan(s):
        return "-"
    if abs(s) < 1e-3:
        return f"{s * 1e6:.1f} us"
    if abs(s) < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def fmt_mib(kib: float) -> str:
    return f"{kib / 1024:.1f} MiB"


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def median(xs: Sequence[float]) -> float:
    return statistics.median(xs) if xs else float("nan")


# ---------------------------------------------------------------------------
# the module under test

def load_module():
    try:
        from quillmarsh.codecs import _jxl
    except Exception as exc:  # report, do not fake
        return None, f"{type(exc).__name__}: {exc}"
    return _jxl, ""


class Missing(Exception):
    """The module lacks a function a benchmark needs."""


# ---------------------------------------------------------------------------
# the direct program

class Direct:
    def __init__(self, path: Path, threads: int):
        self.path = path
        self.threads = threads

    def run(self, cmd: str, *args: str, threads: Optional[int] = None, repeat: int = 3,
            warmup: int = 1, mem: bool = False) -> dict:
        argv = [str(self.path), cmd, *args, "--threads", str(threads or self.threads)]
        if mem:
            argv.append("--mem")
        else:
            argv += ["--repeat", str(repeat), "--warmup", str(warmup)]
        proc = subprocess.run(argv, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"jxlbench_direct {cmd} failed: {proc.stderr.strip()}")
        return json.loads(proc.stdout)


def ensure_direct(path: Optional[str]) -> Path:
    if path:
        return Path(path)
    subprocess.run(["bash", str(HERE / "run.sh"), "--build-only"], check=True)
    return ROOT / "build" / "bench" / "jxlbench_direct"


# ---------------------------------------------------------------------------
# timing helpers

def time_calls(fn: Callable[[], object], n: int) -> List[float]:
    out = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


def interleave(rounds: int, sides: Dict[str, Callable[[], List[float]]]) -> Dict[str, List[float]]:
    """Runs every side once per round, alternating the order between rounds so
    that drifting machine load does not favour one side."""
    times: Dict[str, List[float]] = {k: [] for k in sides}
    names = list(sides)
    for r in range(rounds):
        for name in (names if r % 2 == 0 else names[::-1]):
            times[name].extend(sides[name]())
    return times


# ---------------------------------------------------------------------------
# memory: one measurement per fresh subprocess

def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak_rss() -> None:
    """Peak RSS (VmHWM) := current RSS. ru_maxrss cannot be reset, and Linux
    carries it over from the launching process through fork/exec, so a
    harness holding large arrays would mask a child's own peak."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child_main(job: dict) -> None:
    """Runs one job in this fresh process: RSS once the input is loaded, and
    the peak RSS of the job."""
    from quillmarsh.codecs import _jxl

    op = job["op"]
    payload = None
    if op == "decode":
        payload = Path(job["path"]).read_bytes()
    elif op == "encode":
        payload = np.load(job["path"])
        if job.get("view") == "reversed":
            payload = payload[::-1]  # same memory, negative row stride: not C-contiguous
    reset_peak_rss()
    before = status_kib("VmRSS:")
    if op == "decode":
        out_bytes = int(_jxl.decode(payload, **job["kwargs"]).nbytes)
    elif op == "encode":
        out_bytes = len(_jxl.encode(payload, **job["kwargs"]))
    else:  # idle: numpy and the module imported, nothing else
        out_bytes = 0
    print(json.dumps({"rss_before_kib": before, "peak_rss_kib": status_kib("VmHWM:"),
                      "out_bytes": out_bytes}))


def run_child(job: dict) -> dict:
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(job)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines()
        raise RuntimeError(f"child {job['op']} failed: {lines[-1] if lines else proc.returncode}")
    return json.loads(proc.stdout)


def growth(res: dict) -> int:
    return res["peak_rss_kib"] - res["rss_before_kib"]


# ---------------------------------------------------------------------------
# a file-like that is slow to read

class SlowFile:
    """Binary file-like whose every read() sleeps first, like a slow disk or a
    network share. No fileno(), so the reader sizes it by seek/tell."""

    def __init__(self, path: Path, delay: float):
        self._f = open(path, "rb")
        self.delay = delay
        self.reads = 0

    def read(self, size: int = -1) -> bytes:
        time.sleep(self.delay)
        self.reads += 1
        return self._f.read(size)

    def seek(self, pos: int, whence: int = 0) -> int:
        return self._f.seek(pos, whence)

    def tell(self) -> int:
        return self._f.tell()

    def close(self) -> None:
        self._f.close()


# ---------------------------------------------------------------------------
# the lock: does another Python thread keep running while libjxl works?

def counter_rate(seconds: float, work: Optional[Callable[[], object]] = None,
                 argv: Optional[List[str]] = None) -> float:
    """Iterations per second of a pure-Python counter thread while this thread
    sleeps (solo), calls `work` repeatedly, or waits for the process `argv`."""
    stop = [False]
    count = [0]

    def spin() -> None:
        n = 0
        while not stop[0]:
            n += 1
        count[0] = n

    th = threading.Thread(target=spin, daemon=True)
    t0 = time.perf_counter()
    th.start()
    if argv is not None:
        subprocess.run(argv, capture_output=True, check=True)
    elif work is None:
        time.sleep(seconds)
    else:
        while time.perf_counter() - t0 < seconds:
            work()
    stop[0] = True
    th.join()
    return count[0] / (time.perf_counter() - t0)


def lock_progress(work: Callable[[], object], seconds: float, rounds: int,
                  direct_argv: List[str]) -> Dict[str, List[float]]:
    """Per interleaved round, the counter's progress during `work` relative to
    its progress alone ("module"), and, as a control with the same number of
    busy threads but no interpreter lock involved, during the same job run by
    the direct program in another process ("direct"). On a loaded machine the
    control shows how much of a shortfall is CPU contention."""
    out: Dict[str, List[float]] = {"module": [], "direct": []}
    per = seconds / (3 * rounds)
    for _ in range(rounds):
        solo = counter_rate(per)
        out["module"].append(counter_rate(per, work) / solo)
        out["direct"].append(counter_rate(per, argv=direct_argv) / solo)
    return out


def lock_row(key: str, title: str, res: Dict[str, List[float]]) -> Row:
    q, c = median(res["module"]), median(res["direct"])
    return Row(key, title, "", "", f"{q * 100:.0f}% of solo", ">= 80%", verdict(q >= 0.8),
               "per round: " + ", ".join(f"{r * 100:.0f}%" for r in res["module"]) +
               f"; control, direct program busy in another process: {c * 100:.0f}% of solo")


# ---------------------------------------------------------------------------
# benchmark context: test images and streams, made once per run

class Ctx:
    def __init__(self, prof: Profile, jxl, direct: Direct, workdir: Path, threads: int):
        self.p = prof
        self.jxl = jxl
        self.direct = direct
        self.dir = workdir
        self.threads = threads
        self._arrays: Dict[str, np.ndarray] = {}
        self._streams: Dict[str, Path] = {}
        self.made_by: Dict[str, str] = {}

    # functions of the module
    def has(self, name: str) -> bool:
        return self.jxl is not None and hasattr(self.jxl, name)

    def need(self, *names: str) -> None:
        missing = [n for n in names if not self.has(n)]
        if missing:
            raise Missing(", ".join(missing))

    # images
    def array(self, name: str) -> np.ndarray:
        if name not in self._arrays:
            p = self.p
            makers = {
                "still": lambda: photo(p.still, p.still, 3, np.uint8, seed=1),
                "big": lambda: photo(p.big, p.big, 3, np.uint8, seed=2),
                "tiny": lambda: photo(64, 64, 3, np.uint8, seed=3),
                "anim_small": lambda: panning(p.frames, p.anim_small, p.anim_small, 3, np.uint8, seed=4),
                "anim_big16": lambda: panning(p.frames, p.anim_big, p.anim_big, 3, np.uint16, seed=5),
                "thumb": lambda: photo(p.prog_thumb, p.prog_thumb, 3, np.uint8, seed=6),
            }
            self._arrays[name] = makers[name]()
        return self._arrays[name]

    def npy(self, name: str) -> Path:
        path = self.dir / f"{name}.npy"
        if not path.exists():
            np.save(path, self.array(name))
        return path

    def raw(self, arr: np.ndarray, name: str) -> Path:
        path = self.dir / f"{name}.raw"
        if not path.exists():
            np.ascontiguousarray(arr).tofile(path)
        return path

    # streams
    def encode_file(self, name: str, arr: np.ndarray, **kw) -> Path:
        """Encodes with the module's encode when it works, else with the direct
        program (same libjxl calls and settings); records which one made it."""
        path = self.dir / f"{name}.jxl"
        kw.setdefault("numthreads", self.threads)
        if self.has("encode"):
            try:
                path.write_bytes(self.jxl.encode(arr, **kw))
                self.made_by[name] = "module encode"
                return path
            except Exception as exc:  # fall back, and say so
                self.made_by[name] = f"direct encoder (module encode raised {type(exc).__name__})"
        else:
            self.made_by[name] = "direct encoder (module has no encode)"
        self.direct.run("encode", *self.direct_encode_args(arr, name, **kw), "--out", str(path),
                        repeat=1, warmup=0)
        return path

    def direct_encode_args(self, arr: np.ndarray, name: str, *, distance=None, lossless=None,
                           effort=5, progressive=False, animation=False, numthreads=None) -> List[str]:
        frames = arr.shape[0] if animation else 1
        shape = arr.shape[1:] if animation else arr.shape
        args = ["--raw", str(self.raw(arr, name)), "--height", str(shape[0]), "--width", str(shape[1]),
                "--channels", str(shape[2] if len(shape) == 3 else 1),
                "--dtype", "u16" if arr.dtype == np.uint16 else "u8", "--frames", str(frames),
                "--effort", str(effort)]
        if animation:
            args.append("--animation")
        if lossless or (lossless is None and distance is None):
            args.append("--lossless")
        else:
            args += ["--distance", str(distance)]
        if progressive:
            args.append("--progressive")
        return args

    def stream(self, name: str) -> Path:
        if name in self._streams:
            return self._streams[name]
        if name == "still":  # the encode benchmark's own settings
            path = self.encode_file(name, self.array("still"), distance=1.0, effort=7)
        elif name == "tiny":
            path = self.encode_file(name, self.array("tiny"), distance=1.0)
        elif name == "anim_small":
            path = self.encode_file(name, self.array("anim_small"), distance=1.0, animation=True)
        elif name == "anim_big16":
            path = self.encode_file(name, self.array("anim_big16"), distance=1.0, effort=3,
                                    animation=True)
        elif name == "big":
            path = self.encode_file(name, self.array("big"), distance=1.0)
        elif name == "big_prog":
            path = self.encode_file(name, self.array("big"), distance=1.0, progressive=True)
        elif name == "thumb_prog":
            path = self.encode_file(name, self.array("thumb"), distance=1.0, progressive=True)
        elif name == "large_lossless":
            path = self.large_lossless()
        else:
            raise KeyError(name)
        self._streams[name] = path
        return path

    def large_lossless(self) -> Path:
        """A lossless stream of about stream_mib MiB: the size is calibrated on a
        sample, since the bits per pixel depend on the content."""
        sample = photo(512, 512, 3, np.uint8, seed=7)
        kw = dict(lossless=True, effort=1)
        probe = self.encode_file("large_probe", sample, **kw)
        bpp = probe.stat().st_size / (512 * 512)
        side = int(math.sqrt(self.p.stream_mib * MIB / bpp) / 64 + 1) * 64
        path = self.encode_file("large_lossless", photo(side, side, 3, np.uint8, seed=7), **kw)
        self.large_side = side
        return path


# ---------------------------------------------------------------------------
# benchmarks: each returns rows; the runner turns Missing into MISSING rows

BENCHES: List = []


def bench(section: str, titles: Sequence[str]):
    def deco(fn):
        BENCHES.append((section, list(titles), fn))
        return fn
    return deco


def direct_times(ctx: Ctx, cmd: str, path: Path, k: int, *extra: str, threads=None,
                 warmup: int = 1) -> Callable[[], List[float]]:
    return lambda: ctx.direct.run(cmd, "--in", str(path), *extra, threads=threads, repeat=k,
                                  warmup=warmup)["times"]


def same_pixels(ctx: Ctx, path: Path, arr: np.ndarray) -> str:
    """Whether the module's array holds exactly the direct program's output,
    i.e. both sides did the same work."""
    out = ctx.dir / "direct_pixels.raw"
    ctx.direct.run("decode", "--in", str(path), "--out", str(out), repeat=1, warmup=0)
    same = out.read_bytes() == np.ascontiguousarray(arr).tobytes()
    out.unlink()
    return "yes" if same else "NO"


def ratio_row(key, title, mod_t, ref_t, limit, note="") -> Row:
    m, r = median(mod_t), median(ref_t)
    q = m / r
    return Row(key, title, fmt_t(m), fmt_t(r), f"x{q:.3f}", f"<= {limit:.2f}", verdict(q <= limit), note)


# ---- 1. decode ---------------------------------------------------------------

@bench("Decode (issue 4)", [
    "1a decode() vs direct, {still}x{still} lossy RGB u8",
    "1b decode() vs direct, {frames}-frame {anim_small}x{anim_small} animation",
])
def bench_decode_ratio(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    rows = []
    for key, name, k, title in (
            ("1a", "still", 3, f"decode() vs direct, {p.still}x{p.still} lossy RGB u8"),
            ("1b", "anim_small", 3, f"decode() vs direct, {p.frames}-frame {p.anim_small}x{p.anim_small} animation")):
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


@bench("Decode (issue 4)", ["1c per-call overhead, 64x64 lossy RGB u8, 1 thread"])
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


@bench("Decode (issue 4)", ["1d decode(anim, index=15) / index=0, {frames}x{anim_big}x{anim_big} u16"])
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


@bench("Decode (issue 4)", ["1e peak memory, decode {big}x{big} RGB u8"])
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


@bench("Decode (issue 4)", ["1f streaming a slow file-like vs its read and decode times"])
def bench_streaming(ctx: Ctx) -> List[Row]:
    ctx.need("decode")
    p, n = ctx.p, ctx.threads
    path = ctx.stream("large_lossless")
    size = path.stat().st_size
    data = path.read_bytes()
    ctx.jxl.decode(data, numthreads=n)
    dec = median(time_calls(lambda: ctx.jxl.decode(data, numthreads=n), max(2, p.rounds - 2)))
    del data
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

    t = interleave(max(2, p.rounds - 2), {
        "read": lambda: time_calls(read_all, 1),
        "stream": lambda: time_calls(streamed, 1),
    })
    rd, st = median(t["read"]), median(t["stream"])
    lo, hi = min(rd, dec), max(rd, dec)
    limit = hi + 0.25 * lo
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
                f"x{st / hi:.2f} of max, x{st / (rd + dec):.2f} of sum", "~max: <= max + 0.25 min",
                verdict(st <= limit),
                f"{reads} reads of {CHUNK // MIB} MiB, {delay * 1e3:.1f} ms sleep each; streamed "
                f"without sleeps {fmt_t(nodelay)}; {n} threads")]


@bench("Decode (issue 4)", ["1g lock released: counter thread progress during decode(numthreads=1)"])
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


# ---- 2. encode -----------------------------------------------------------------

@bench("Encode (issue 3)", [
    "2a encode() vs direct, {still}x{still} RGB u8, distance 1.0 effort 7",
    "2b encode() vs direct, {still}x{still} RGB u8, lossless effort 3",
])
def bench_encode_ratio(ctx: Ctx) -> List[Row]:
    ctx.need("encode")
    p, n = ctx.p, ctx.threads
    img = ctx.array("still")
    rows = []
    for key, kw, title in (
            ("2a", dict(distance=1.0, effort=7), f"encode() vs direct, {p.still}x{p.still} RGB u8, distance 1.0 effort 7"),
            ("2b", dict(lossless=True, effort=3), f"encode() vs direct, {p.still}x{p.still} RGB u8, lossless effort 3")):
        kw = dict(kw, numthreads=n)
        args = ctx.direct_encode_args(img, "still", **kw)
        out = ctx.jxl.encode(img, **kw)  # warm-up, and the bytes to compare
        ref_path = ctx.dir / f"direct_{key}.jxl"
        ctx.direct.run("encode", *args, "--out", str(ref_path), repeat=1, warmup=0)
        same = out == ref_path.read_bytes()
        t = interleave(p.rounds, {
            "module": lambda: time_calls(lambda: ctx.jxl.encode(img, **kw), 1),
            "direct": lambda: ctx.direct.run("encode", *args, repeat=1)["times"],
        })
        rows.append(ratio_row(key, title, t["module"], t["direct"], 1.03,
                              f"{len(out) / 1024:.0f} KiB; same bytes as direct: {'yes' if same else 'NO'}; "
                              f"{n} threads"))
    return rows


@bench("Encode (issue 3)", [
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


@bench("Encode (issue 3)", ["2e lock released: counter thread progress during encode(numthreads=1)"])
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


# ---- 3. progressive --------------------------------------------------------------

PROG_STREAMS = [
    ("3a", "big_prog", "progressive lossy {big}x{big} (progressive AC + responsive, d1)"),
    ("3b", "big", "non-progressive lossy {big}x{big} (d1)"),
    ("3c", "conformance", "conformance progressive/input.jxl"),
]


@bench("Progressive (issue 5)", [f"{k} {t}" for k, _, t in PROG_STREAMS])
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


@bench("Progressive (issue 5)", ["3d peak memory, decode(downsample=8) of the progressive {big}x{big}"])
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


# ---- 4. probes -------------------------------------------------------------------

@bench("Probes (issue 6)", ["4a frame_count vs decode of the {frames}x{anim_big}x{anim_big} u16 animation"])
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


@bench("Probes (issue 6)", ["4b frame_count vs direct count"])
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


@bench("Probes (issue 6)", ["4c thumbnail_bytes of a progressive {prog_thumb}x{prog_thumb}"])
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


# ---------------------------------------------------------------------------
# machine and table

def machine_info(jxl) -> Dict[str, str]:
    cpu = platform.processor() or "?"
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    try:
        pc = subprocess.run(["pkg-config", "--modversion", "libjxl"], capture_output=True,
                            text=True).stdout.strip()
    except OSError:
        pc = "?"
    modver = "?"
    if jxl is not None and hasattr(jxl, "libjxl_version"):
        with contextlib.suppress(Exception):
            modver = str(jxl.libjxl_version())
    return {
        "nproc": str(len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()),
        "cpu": cpu,
        "libjxl_module": modver,
        "libjxl_direct": pc or "?",
        "python": platform.python_version(),
        "numpy": np.__version__,
    }


def loadavg() -> str:
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "?"


def print_table(rows: List[Row], header: List[str]) -> None:
    cols = [("", "key"), ("measurement", "title"), ("module", "module"), ("reference", "ref"),
            ("measured", "measured"), ("target", "target"), ("result", "status")]
    widths = [max(len(h), *(len(getattr(r, a)) for r in rows)) for h, a in cols]
    line = "  ".join("-" * w for w in widths)
    print()
    for h in header:
        print(h)
    print(line)
    print("  ".join(h.ljust(w) for (h, _), w in zip(cols, widths)))
    print(line)
    section = None
    for r in rows:
        if r.section != section:
            section = r.section
            print(f"[{section}]")
        print("  ".join(getattr(r, a).ljust(w) for (_, a), w in zip(cols, widths)).rstrip())
    print(line)
    print("notes:")
    for r in rows:
        if r.note:
            print(f"  {r.key}: {r.note}")
    counts: Dict[str, int] = {}
    for r in rows:
        counts[r.status] = counts.get(r.status, 0) + 1
    print("summary: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small smoke run (seconds)")
    ap.add_argument("--direct", help="path of jxlbench_direct (default: build it)")
    ap.add_argument("--threads", type=int, default=0, help="worker threads (default: nproc)")
    ap.add_argument("--only", default="", help="comma-separated row keys to run, e.g. 1a,3")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child_main(json.loads(args.child))
        return 0

    prof = QUICK if args.quick else FULL
    jxl, import_error = load_module()
    direct_path = ensure_direct(args.direct)
    info = machine_info(jxl)
    threads = args.threads or int(info["nproc"])
    load0 = loadavg()
    t_start = time.perf_counter()
    only = [s.strip() for s in args.only.split(",") if s.strip()]

    rows: List[Row] = []
    with tempfile.TemporaryDirectory(prefix="qm-bench-") as tmp:
        ctx = Ctx(prof, jxl, Direct(direct_path, threads), Path(tmp), threads)
        for section, titles, fn in BENCHES:
            keys = [t.split(" ", 1)[0] for t in titles]
            if only and not any(k.startswith(o) for k in keys for o in only):
                continue
            fmt = dataclasses.asdict(prof)
            t0 = time.perf_counter()
            try:
                got = fn(ctx)
            except Missing as exc:
                got = [Row(k, t.split(" ", 1)[1].format(**fmt), status="MISSING",
                           note=f"module has no {exc}" + (f" ({import_error})" if import_error else ""))
                       for k, t in zip(keys, titles)]
            except Exception as exc:
                got = [Row(k, t.split(" ", 1)[1].format(**fmt), status="ERROR",
                           note=f"{type(exc).__name__}: {exc}"[:200]) for k, t in zip(keys, titles)]
            for r in got:
                r.section = section
            rows.extend(got)
            print(f"  {', '.join(keys)} done in {time.perf_counter() - t0:.1f} s", file=sys.stderr,
                  flush=True)
        made_by = dict(ctx.made_by)
    elapsed = time.perf_counter() - t_start

    header = [
        f"quillmarsh.codecs._jxl benchmarks ({prof.name} run, {time.strftime('%Y-%m-%d %H:%M')}, "
        f"{elapsed:.0f} s)",
        f"machine: nproc={info['nproc']}, CPU {info['cpu']}, libjxl {info['libjxl_module']} (module) / "
        f"{info['libjxl_direct']} (direct program), Python {info['python']}, NumPy {info['numpy']}",
        f"load average at start {load0}, at end {loadavg()} (the machine is shared: other work "
        f"competes for the {info['nproc']} cores)",
        f"{threads} worker threads unless stated; medians of {prof.rounds} interleaved rounds after a "
        f"warm-up; memory: peak RSS growth over the loaded input, one fresh process per job",
    ]
    if made_by:
        kinds = sorted(set(made_by.values()))
        header.append("test streams made by: " + "; ".join(kinds))
    if import_error:
        header.append(f"module import failed: {import_error}")
    print_table(rows, header)
    if args.json:
        Path(args.json).write_text(json.dumps({"header": header, "rows": [dataclasses.asdict(r) for r in rows]},
                                              indent=1))
    # A smoke test can rely on this: a benchmark that raised is a failure, a
    # missed target or a missing function is not.
    return 1 if any(r.status == "ERROR" for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
