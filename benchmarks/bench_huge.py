"""Huge images: a 16384x16384 RGB memory map encoded to a file with
bounded memory, against the frame-at-once path of the same module, and the
decode of that file. Minutes of work per job: runs only with --heavy.

Each job runs in a fresh process. Peak VmRSS counts the memory map's file
pages the encoder has read (up to the whole 768 MiB file); a sampling thread
also records the peak of RssAnon (memory that is the process's own) and of
RssFile.
"""

from __future__ import annotations

import json
import os
import sys
import threading
import time
from pathlib import Path
from typing import List

import numpy as np

from harness import Ctx, Missing, Row, bench, fmt_mib, reset_peak_rss, run_child, status_kib, verdict
from images import photo

SIDE = 16384
SETTINGS = dict(distance=1.0, effort=3)
LIMIT_KIB = 1536 * 1024  # 1.5 GiB


def _sample_peaks(stop: threading.Event, peaks: dict) -> None:
    while not stop.wait(0.02):
        for f in ("RssAnon:", "RssFile:"):
            peaks[f] = max(peaks.get(f, 0), status_kib(f))


def chunked_switch(jxl):
    """The testing hooks' chunked-mode switch (a module function in older builds)."""
    switch = getattr(getattr(jxl, "_testing", None), "chunked_mode", None)
    switch = switch or getattr(jxl, "_chunked_encode", None)
    if switch is None:
        raise Missing("_testing.chunked_mode (a build without QM_TESTING_HOOKS)")
    return switch


def child(job: dict) -> None:
    """One encode or decode in this fresh process; prints its figures as JSON."""
    from quillmarsh.codecs import _jxl

    if job["op"] == "encode":
        chunked_switch(_jxl)(job["mode"])
        src = np.load(job["npy"], mmap_mode="r")
    reset_peak_rss()
    before = {f: status_kib(f) for f in ("VmRSS:", "RssAnon:", "RssFile:")}
    peaks = dict(before)
    stop = threading.Event()
    sampler = threading.Thread(target=_sample_peaks, args=(stop, peaks), daemon=True)
    sampler.start()
    t0 = time.perf_counter()
    if job["op"] == "encode":
        _jxl.encode(src, dest=job["out"], numthreads=job["threads"], **SETTINGS)
        size = os.path.getsize(job["out"])
    else:
        size = int(_jxl.decode(job["out"], numthreads=job["threads"]).nbytes)
    seconds = time.perf_counter() - t0
    stop.set()
    sampler.join()
    for f in ("RssAnon:", "RssFile:"):
        peaks[f] = max(peaks[f], status_kib(f))
    print(json.dumps({"vmrss": status_kib("VmHWM:") - before["VmRSS:"],
                      "anon": peaks["RssAnon:"] - before["RssAnon:"],
                      "file": peaks["RssFile:"] - before["RssFile:"], "size": size,
                      "seconds": seconds}))


def run(job: dict) -> dict:
    return run_child(job, Path(__file__).resolve())


def growth(res: dict) -> str:
    return (f"+{fmt_mib(res['vmrss'])} (anon +{fmt_mib(res['anon'])}, "
            f"file +{fmt_mib(res['file'])})")


TITLES = [
    "H1 peak RSS growth, encode 16384x16384 RGB u8 memmap to a file (d1 e3), chunked",
    "H2 output size, chunked vs frame at once",
    "H3 peak RSS growth, decode of that file",
]


@bench("Huge images", TITLES)
def bench_huge(ctx: Ctx) -> List[Row]:
    ctx.need("encode")
    chunked_switch(ctx.jxl)
    if not ctx.heavy:
        return [Row(*t.split(" ", 1), status="SKIP", note="opt-in (minutes, GiBs): --heavy")
                for t in TITLES]
    npy = ctx.dir / "huge.npy"
    mm = np.lib.format.open_memmap(npy, mode="w+", dtype=np.uint8, shape=(SIDE, SIDE, 3))
    photo(SIDE, SIDE, 3, np.uint8, seed=7, out=mm)
    mm.flush()
    del mm
    base = {"op": "encode", "npy": str(npy), "threads": ctx.threads}
    chunked = run({**base, "mode": "auto", "out": str(ctx.dir / "chunked.jxl")})
    whole = run({**base, "mode": "never", "out": str(ctx.dir / "whole.jxl")})
    dec = run({"op": "decode", "out": str(ctx.dir / "chunked.jxl"), "threads": ctx.threads})
    os.unlink(npy)
    size_ratio = chunked["size"] / whole["size"]
    frame = SIDE * SIDE * 3 / 1024
    return [
        Row(*TITLES[0].split(" ", 1), growth(chunked), growth(whole) + " frame at once",
            "+" + fmt_mib(chunked["vmrss"]), "<= +1.5 GiB VmRSS", verdict(chunked["vmrss"] <= LIMIT_KIB),
            f"frame {fmt_mib(frame)}; judged by VmRSS, which counts the map's file pages; "
            f"{chunked['seconds']:.0f} s chunked, {whole['seconds']:.0f} s at once (loaded machine)"),
        Row(*TITLES[1].split(" ", 1), f"{chunked['size']} B", f"{whole['size']} B",
            f"{size_ratio:.4f}", "within 1 %", verdict(abs(size_ratio - 1) <= 0.01)),
        Row(*TITLES[2].split(" ", 1), growth(dec), "", "+" + fmt_mib(dec["vmrss"]),
            "report", "INFO", f"output array {fmt_mib(frame)}; {dec['seconds']:.0f} s"),
    ]


if __name__ == "__main__":
    child(json.loads(sys.argv[1]))
