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

    python benchmarks/bench.py [--quick] [--direct PATH] [--only KEYS|MODULES] [--json FILE]

The benchmarks themselves live in benchmarks/bench_*.py, one module per thing
measured; this runner imports them all (see benchmarks/README.md). Normally
started by benchmarks/run.sh, which builds the direct program first.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional, Sequence

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from harness import (FULL, QUICK, Ctx, Direct, Missing, Row, ensure_direct, load_module,  # noqa: E402
                     loadavg, machine_info, print_table)


def module_names() -> List[str]:
    """The benchmark modules, in the order their rows are printed."""
    return sorted(p.stem for p in HERE.glob("bench_*.py"))


def load_benches() -> List[tuple]:
    """Import every benchmark module; returns the registered benchmarks and
    refuses a row key that two benchmarks claim."""
    for name in module_names():
        importlib.import_module(name)
    seen: dict = {}
    for _, titles, fn, module in harness.BENCHES:
        for t in titles:
            key = t.split(" ", 1)[0]
            if key in seen:
                raise SystemExit(f"bench.py: row key {key} is used by {seen[key]} and "
                                 f"{module}.{fn.__name__}")
            seen[key] = f"{module}.{fn.__name__}"
    return list(harness.BENCHES)


def selected(only: List[str], keys: List[str], module: str) -> bool:
    if not only:
        return True
    short = module[len("bench_"):]
    return any(o in (module, short) or any(k.startswith(o) for k in keys) for o in only)


def run_one(ctx: Ctx, section: str, titles: List[str], fn, fmt: dict, import_error: str) -> List[Row]:
    keys = [t.split(" ", 1)[0] for t in titles]
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
    return got


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small smoke run (seconds)")
    ap.add_argument("--direct", help="path of jxlbench_direct (default: build it)")
    ap.add_argument("--threads", type=int, default=0, help="worker threads (default: nproc)")
    ap.add_argument("--only", default="",
                    help="comma-separated row keys or modules to run, e.g. 1a,3 or decode,bench_probes")
    ap.add_argument("--list", action="store_true", help="list the rows of every module and exit")
    ap.add_argument("--heavy", action="store_true",
                    help="also run the opt-in rows that take minutes and GiBs (huge images)")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        harness.child_main(json.loads(args.child))
        return 0

    prof = QUICK if args.quick else FULL
    benches = load_benches()
    if args.list:
        for section, titles, _, module in benches:
            for t in titles:
                print(f"{module:<20} {section:<24} {t.format(**dataclasses.asdict(prof))}")
        return 0
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
        ctx.heavy = args.heavy
        for section, titles, fn, module in benches:
            keys = [t.split(" ", 1)[0] for t in titles]
            if not selected(only, keys, module):
                continue
            t0 = time.perf_counter()
            rows.extend(run_one(ctx, section, titles, fn, dataclasses.asdict(prof), import_error))
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
    if not rows:
        print(f"bench.py: nothing matches --only {args.only!r}", file=sys.stderr)
        return 2
    print_table(rows, header)
    if args.json:
        Path(args.json).write_text(json.dumps({"header": header, "rows": [dataclasses.asdict(r) for r in rows]},
                                              indent=1))
    # A smoke test can rely on this: a benchmark that raised is a failure, a
    # missed target or a missing function is not.
    return 1 if any(r.status == "ERROR" for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
