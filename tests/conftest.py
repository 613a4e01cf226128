import shutil
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
CONFORMANCE = ROOT.parent / "shared" / "testdata" / "conformance"


def conformance_file(name: str) -> Path:
    """Path of a conformance bitstream; skips the test when the corpus is absent."""
    p = CONFORMANCE / name / "input.jxl"
    if not p.exists():
        pytest.skip(f"conformance corpus not present ({p})")
    return p


@pytest.fixture
def cjxl():
    """Path of libjxl's cjxl tool; skips when it is not installed."""
    exe = shutil.which("cjxl")
    if exe is None:
        pytest.skip("cjxl not installed")
    return exe


@pytest.fixture
def djxl():
    exe = shutil.which("djxl")
    if exe is None:
        pytest.skip("djxl not installed")
    return exe


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
