"""RSS growth of repeated calls on good and failing inputs (scripts/leakcheck.py).

The full check is `python scripts/leakcheck.py` (10,000 iterations per scenario).
"""

from __future__ import annotations

import importlib.util
import mmap
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillmarsh

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "scripts" / "leakcheck.py"
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")

SCENARIOS = {"decode", "decode-fail", "encode", "encode-fail", "frame_count",
             "frame_count-fail", "thumbnail_bytes", "thumbnail_bytes-fail", "reader-close",
             "reader-fail", "streaming", "jpeg", "jpeg-fail", "boxes", "boxes-fail",
             "color-channels", "color-channels-fail", "out", "out-fail", "plugins",
             "plugins-fail"}


def _load():
    spec = importlib.util.spec_from_file_location("qm_leakcheck", SCRIPT)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def test_repeated_calls_keep_rss_within_2_mib():
    # A process of its own, so nothing else of the test session grows meanwhile.
    proc = subprocess.run([sys.executable, str(SCRIPT), "--iterations", "600"],
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=PKG_ROOT))
    rows = {}
    for line in proc.stdout.splitlines()[1:-1]:
        name, iterations, _, grown = line.split()[:4]
        rows[name] = int(grown)
        assert iterations == "600"
    assert set(rows) == SCENARIOS, proc.stdout + proc.stderr
    over = {k: v for k, v in rows.items() if v > 2048}
    assert not over, proc.stdout
    assert proc.returncode == 0, proc.stdout + proc.stderr


def _mapped_block():
    # An anonymous mapping of its own, filled so it is resident: heap slack
    # left by earlier tests in this process cannot absorb it.
    m = mmap.mmap(-1, 262144)
    for i in range(0, 262144, 4096):
        m[i] = 120  # one byte a page: no temporary buffer that could linger
    return m


def test_the_measurement_sees_a_leak():
    lc = _load()
    kept = []
    grown, _ = lc.measure(lambda: kept.append(_mapped_block()), 40, 2)
    assert grown > 8 * 1024  # 10 MiB kept alive
    for m in kept:
        m.close()
    kept.clear()
    grown, _ = lc.measure(lambda: _mapped_block().close(), 40, 2)
    assert grown < 1024
