#!/usr/bin/env python3
"""libjxl builds side by side: the direct program linked against each.

    python benchmarks/libjxl_builds.py NAME=PREFIX [NAME=PREFIX ...] [--rounds 7] [--side 2048]
                                       [--threads 2] [--only TEXT ...]

Each PREFIX holds a libjxl install (include/, lib/). The direct program
(benchmarks/direct/jxlbench_direct.cc) is compiled against each one, linked
statically when the prefix has only static libraries, else with an RPATH to
it, and every job runs for every build in interleaved rounds (the order
alternates between rounds, so drifting load on a shared machine favours no
build). Printed: the median time per job and build, and its ratio to the first
build. Streams are checked byte-identical across builds, so the comparison is
of the same work.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
from images import photo  # noqa: E402

SRC = HERE / "direct" / "jxlbench_direct.cc"


def pc_env(prefix: Path) -> dict:
    dirs = [prefix / "lib" / "pkgconfig", prefix / "share" / "pkgconfig"]
    return dict(os.environ, PKG_CONFIG_PATH=os.pathsep.join(map(str, dirs)),
                PKG_CONFIG_LIBDIR=os.pathsep.join(map(str, dirs + [Path("/usr/local/lib/pkgconfig"),
                                                                    Path("/usr/lib/x86_64-linux-gnu/pkgconfig"),
                                                                    Path("/usr/share/pkgconfig")])))


def build_direct(name: str, prefix: Path, out: Path) -> Path:
    exe = out / f"jxlbench_direct-{name}"
    env = pc_env(prefix)
    static = not (prefix / "lib" / "libjxl.so").exists()
    flags = ["--cflags", "--libs"] + (["--static"] if static else [])
    pc = subprocess.run(["pkg-config", *flags, "libjxl", "libjxl_threads"], env=env,
                        capture_output=True, text=True, check=True).stdout.split()
    link = [] if static else [f"-Wl,-rpath,{prefix / 'lib'}"]
    subprocess.run(["g++", "-O2", "-std=c++17", "-o", str(exe), str(SRC), *pc, *link], check=True)
    return exe


def run(exe: Path, args: List[str], repeat: int, warmup: int = 1) -> List[float]:
    p = subprocess.run([str(exe), *args, "--repeat", str(repeat), "--warmup", str(warmup)],
                       capture_output=True, text=True)
    if p.returncode != 0:
        raise RuntimeError(f"{exe.name} {args[0]}: {p.stderr.strip()}")
    return json.loads(p.stdout)["times"]


def cpu_seconds(exe: Path, args: List[str]) -> float:
    """User + system CPU time of one single-threaded run (process included):
    far steadier than wall time when other work competes for the cores."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run(exe, args, 1, 0)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("builds", nargs="+", help="NAME=PREFIX")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--side", type=int, default=2048)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--only", action="append", default=[], help="run the jobs whose name has this text")
    args = ap.parse_args()
    builds = dict(b.split("=", 1) for b in args.builds)

    with tempfile.TemporaryDirectory(prefix="qm-libjxl-builds-") as d:
        tmp = Path(d)
        exes = {n: build_direct(n, Path(p), tmp) for n, p in builds.items()}
        img = photo(args.side, args.side, 3)
        raw = tmp / "photo.raw"
        img.tofile(raw)
        geo = ["--raw", str(raw), "--width", str(args.side), "--height", str(args.side), "--channels", "3"]
        th = ["--threads", str(args.threads)]
        first = next(iter(exes.values()))
        streams = {}
        for key, enc in (("lossless", ["--lossless", "--effort", "3"]),
                         ("lossy", ["--distance", "1.0", "--effort", "7"])):
            streams[key] = tmp / f"{key}.jxl"
            run(first, ["encode", *geo, *enc, *th, "--out", str(streams[key])], 1)
            for n, exe in exes.items():  # same bytes from every build
                other = tmp / f"{key}-{n}.jxl"
                run(exe, ["encode", *geo, *enc, *th, "--out", str(other)], 1)
                if other.read_bytes() != streams[key].read_bytes():
                    print(f"note: {n} encodes {key} to different bytes", file=sys.stderr)
        one = ["--threads", "1"]
        s = f"{args.side}x{args.side}"
        # (job, argv, measure): "wall" = the program's own median, "cpu" = CPU time of a
        # single-threaded process.
        jobs = [
            (f"encode lossless e3 {s} RGB u8, {args.threads} thr", ["encode", *geo, "--lossless", "--effort", "3", *th], "wall"),
            (f"encode lossy d1 e7 {s}, {args.threads} thr", ["encode", *geo, "--distance", "1.0", "--effort", "7", *th], "wall"),
            (f"decode lossless {s}, {args.threads} thr", ["decode", "--in", str(streams["lossless"]), *th], "wall"),
            (f"decode lossy d1 {s}, {args.threads} thr", ["decode", "--in", str(streams["lossy"]), *th], "wall"),
            (f"encode lossless e3 {s}, 1 thr, CPU s", ["encode", *geo, "--lossless", "--effort", "3", *one], "cpu"),
            (f"encode lossy d1 e7 {s}, 1 thr, CPU s", ["encode", *geo, "--distance", "1.0", "--effort", "7", *one], "cpu"),
            (f"decode lossless {s}, 1 thr, CPU s", ["decode", "--in", str(streams["lossless"]), *one], "cpu"),
            (f"decode lossy d1 {s}, 1 thr, CPU s", ["decode", "--in", str(streams["lossy"]), *one], "cpu"),
        ]
        if args.only:
            jobs = [j for j in jobs if any(t in j[0] for t in args.only)]
        times: Dict[str, Dict[str, List[float]]] = {j[0]: {n: [] for n in exes} for j in jobs}
        names = list(exes)
        load0 = os.getloadavg()
        for r in range(args.rounds):
            for job, jargs, how in jobs:
                for n in (names if r % 2 == 0 else names[::-1]):
                    if how == "wall":
                        times[job][n] += run(exes[n], jargs, 1)
                    else:
                        times[job][n].append(cpu_seconds(exes[n], jargs))
        load = os.getloadavg()
        print(f"libjxl builds side by side: medians of {args.rounds} interleaved rounds; "
              f"load average {load0[0]:.2f} at start, {load[0]:.2f} at end")
        width = max(len(j[0]) for j in jobs)
        print(f"{'job':{width}}  " + "  ".join(f"{n:>18}" for n in names))
        for job, _, _ in jobs:
            med = {n: statistics.median(times[job][n]) for n in names}
            base = med[names[0]]
            cells = [f"{med[n] * 1e3:8.1f} ms x{med[n] / base:5.3f}" for n in names]
            print(f"{job:{width}}  " + "  ".join(f"{c:>18}" for c in cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
