"""What every benchmark module shares: run profiles, result rows, the direct
program, timing and memory helpers, the test-image context and the registry.

A benchmark module (benchmarks/bench_*.py) registers functions with
``@bench(section, titles)``; benchmarks/bench.py imports every such module and
runs what they registered. See benchmarks/README.md.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
if str(HERE) not in sys.path:
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



def chunk_decode_cpu(rounds: int,
                     sides: Dict[str, Tuple[Any, List[bytes]]]) -> Dict[str, List[float]]:
    """CPU seconds of decoding every chunk with each side's codec, three times a
    round, interleaved. CPU time, not wall time: on a loaded machine a 50 ms
    decode is preempted many times and a 1 ms one hardly ever."""
    def side(codec: Any, blobs: List[bytes]) -> Callable[[], List[float]]:
        def run() -> List[float]:
            out = []
            for _ in range(3):
                t0 = time.process_time()
                for b in blobs:
                    codec.decode(b)
                out.append(time.process_time() - t0)
            return out
        return run
    return interleave(rounds, {k: side(*v) for k, v in sides.items()})


def dask_zarr_reads(paths: Dict[str, Any], workers: int,
                    rounds: int) -> Tuple[Dict[str, List[float]], Dict[str, List[float]]]:
    """Wall and worker CPU seconds of summing each Zarr array at `paths` through
    a local Dask cluster of `workers` single-threaded processes, interleaved."""
    import dask.array as da
    from distributed import Client, LocalCluster

    cpu: Dict[str, List[float]] = {k: [] for k in paths}
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        def read(key: str) -> Callable[[], List[float]]:
            def once() -> float:
                before = sum(client.run(time.process_time).values())
                t0 = time.perf_counter()
                client.compute(da.from_zarr(str(paths[key])).sum()).result()
                took = time.perf_counter() - t0
                cpu[key].append(sum(client.run(time.process_time).values()) - before)
                return took
            once()  # warm-up: workers import zarr and quillmarsh
            cpu[key].clear()
            return lambda: [once() for _ in range(3)]
        t = interleave(rounds, {k: read(k) for k in paths})
    return t, cpu

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
    if op in ("decode", "decode_full_size"):
        payload = Path(job["path"]).read_bytes()
    elif op == "encode":
        payload = np.load(job["path"])
        if job.get("view") == "reversed":
            payload = payload[::-1]  # same memory, negative row stride: not C-contiguous
    reset_peak_rss()
    before = status_kib("VmRSS:")
    if op == "decode":
        out_bytes = int(_jxl.decode(payload, **job["kwargs"]).nbytes)
    elif op == "decode_full_size":  # a reduced decode through a full-size frame, then sampled
        kw = dict(job["kwargs"])
        n = kw.pop("downsample")
        with _jxl.JxlReader(payload, downsample=8 if n == 8 else 1, **kw) as r:
            frames = (list(r._iter_frames_progressive(full_buffer=True)) if n == 8 else
                      [_jxl._subsample_slice(f, n, 0) for f in r.iter_frames()])
        out_bytes = sum(int(f.nbytes) for f in frames)
    elif op == "encode":
        out_bytes = len(_jxl.encode(payload, **job["kwargs"]))
    else:  # idle: numpy and the module imported, nothing else
        out_bytes = 0
    print(json.dumps({"rss_before_kib": before, "peak_rss_kib": status_kib("VmHWM:"),
                      "out_bytes": out_bytes}))


def run_child(job: dict, script: Optional[Path] = None) -> dict:
    """Runs `job` in a fresh process: harness.py's child_main, or the
    script's own main that takes the job as its one argument."""
    args = [str(script), json.dumps(job)] if script else [
        str(Path(__file__).resolve()), "--child", json.dumps(job)]
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True)
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
        self.heavy = False  # run the opt-in rows (bench.py --heavy)
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
            if name == "photo":
                self._arrays[name] = self.photograph(p.big)
            else:
                self._arrays[name] = makers[name]()
        return self._arrays[name]

    def photograph(self, side: int) -> np.ndarray:
        """The conformance corpus' progressive photograph (4064x2704), cut or
        mirrored at its edges to side x side: real detail where the generated
        images have regular texture. Its rows are SKIP without the corpus."""
        full = self.jxl.decode(str(CONFORMANCE_PROGRESSIVE))[:side, :side]
        pad = [(0, side - full.shape[0]), (0, side - full.shape[1]), (0, 0)]
        return np.ascontiguousarray(np.pad(full, pad, mode="reflect"))

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
        elif name == "still_lossless":  # as the lossless encode benchmark makes it
            path = self.encode_file(name, self.array("still"), lossless=True, effort=3)
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
        elif name == "photo_prog":
            path = self.encode_file(name, self.array("photo"), distance=1.0, progressive=True)
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

BENCHES: List = []  # (section, titles, function, module name), in registration order


def bench(section: str, titles: Sequence[str]):
    """Register a benchmark: `titles` are "KEY title" strings, one per row it
    returns; the title may use the Profile's fields ({still}, {big}, ...)."""
    def deco(fn):
        BENCHES.append((section, list(titles), fn, fn.__module__))
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



if __name__ == "__main__":  # a memory job in a fresh process (see run_child)
    child_main(json.loads(sys.argv[2]))
