#!/usr/bin/env python3
"""This tree's module against another revision's, side by side in one run.

Builds the other revision once (a detached git worktree under build/against/,
compiled in place), then runs the same benchmark rows of *this* tree's
benchmarks/bench.py with each module in turn, alternating A B A B, and prints
the median of each row's module time for both and their ratio. A ratio inside
the rows' own round-to-round spread is noise.

    python benchmarks/against.py REV [--only 1a,1c,2b,3a,4a,4b] [--rounds 3]

Normally started as `bash run.sh bench --against REV [--only ...]`.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_ROWS = "1a,1c,2b,3a,4a,4b"
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0, "B": 1, "KiB": 1024, "MiB": 1024 ** 2,
         "GiB": 1024 ** 3, "x": 1.0, "%": 1.0}


def build_revision(rev: str) -> Path:
    """A worktree of `rev` with its extension built in place (cached by commit)."""
    sha = subprocess.run(["git", "rev-parse", "--verify", f"{rev}^{{commit}}"], cwd=ROOT,
                         check=True, capture_output=True, text=True).stdout.strip()
    tree = ROOT / "build" / "against" / sha[:12]
    if not (tree / ".git").exists():
        tree.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["git", "worktree", "add", "--detach", "-f", str(tree), sha], cwd=ROOT,
                       check=True, capture_output=True)
    venv = tree / ".venv"
    if not venv.exists():
        venv.symlink_to(ROOT / ".venv")
    if not list((tree / "src" / "quillmarsh" / "codecs").glob("_jxl*.so")):
        print(f"against: building {rev} ({sha[:12]}) in {tree}", file=sys.stderr)
        subprocess.run(["bash", "run.sh", "dev"], cwd=tree, check=True)
    return tree


def value(text: str):
    """'99.8 us' (or 'ds8 99.8 us': a label first) -> 9.98e-05; None for a
    cell that is not a measurement."""
    m = re.fullmatch(r"\s*(?:[A-Za-z][\w=]*\s+)?([-+]?[0-9.]+(?:e[-+]?\d+)?)\s*([A-Za-z%]*)\s*",
                     text or "")
    if not m or m.group(2) not in UNITS and m.group(2):
        return None
    return float(m.group(1)) * UNITS.get(m.group(2), 1.0)


def run_rows(src: Path, rows: str, direct: str, extra) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "rows.json"
        env = dict(os.environ, PYTHONPATH=str(src))
        subprocess.run([sys.executable, str(ROOT / "benchmarks" / "bench.py"), "--direct", direct,
                        "--only", rows, "--json", str(out), *extra], env=env, check=False,
                       stdout=subprocess.DEVNULL)
        if not out.exists():
            return {}
        return {r["key"]: r for r in json.loads(out.read_text())["rows"]}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("rev", help="the revision to compare against (e.g. main~5, a commit)")
    ap.add_argument("--only", default=DEFAULT_ROWS, help="row keys, as bench.py takes them")
    ap.add_argument("--rounds", type=int, default=3, help="A B rounds (default 3)")
    ap.add_argument("--direct", default=str(ROOT / "build" / "bench" / "jxlbench_direct"))
    ap.add_argument("--quick", action="store_true", help="bench.py's small smoke sizes")
    args = ap.parse_args(argv)
    other = build_revision(args.rev)
    extra = ["--quick"] if args.quick else []
    trees = {"other": other / "src", "this": ROOT / "src"}
    seen = {"other": {}, "this": {}}
    titles = {}
    for r in range(args.rounds):
        for name in ("other", "this") if r % 2 == 0 else ("this", "other"):
            for key, row in run_rows(trees[name], args.only, args.direct, extra).items():
                titles[key] = row["title"]
                v = value(row.get("module", ""))
                if v is not None:
                    seen[name].setdefault(key, []).append((v, row["module"]))
    print(f"this tree ({ROOT}) against {args.rev}: medians of {args.rounds} alternating rounds")
    print(f"{'row':5} {'title':62} {args.rev[:12]:>12} {'this':>12} {'this/other':>10} "
          f"{'per round':>13}")
    worst = 0.0
    for key in sorted(titles, key=lambda k: (len(k), k)):
        a, b = seen["other"].get(key), seen["this"].get(key)
        if not a or not b:
            print(f"{key:5} {titles[key][:62]:62} {'-':>12} {'-':>12} {'n/a':>10}")
            continue
        ma = statistics.median(v for v, _ in a)
        mb = statistics.median(v for v, _ in b)
        ratio = mb / ma if ma else float("nan")
        worst = max(worst, ratio)
        pick = lambda xs, m: min(xs, key=lambda t: abs(t[0] - m))[1]  # noqa: E731
        # Each round's own ratio (A and B run minutes apart at most): its spread shows
        # how much of the median ratio a drifting machine load can explain.
        per = sorted(vb / va for (va, _), (vb, _) in zip(a, b) if va)
        spread = f"{per[0]:.2f}..{per[-1]:.2f}" if per else "-"
        print(f"{key:5} {titles[key][:62]:62} {pick(a, ma):>12} {pick(b, mb):>12} {ratio:10.3f} "
              f"{spread:>13}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
