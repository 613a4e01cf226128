from __future__ import annotations

import functools
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
CONFORMANCE = ROOT.parent / "shared" / "testdata" / "conformance"

# Under AddressSanitizer (scripts/asan.sh preloads it) the sanitizer's shadow
# memory and quarantine are resident too: tests keep their calls and outcomes
# but skip bounds on resident memory.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def skip_rss_bound_if_sanitized() -> None:
    if SANITIZED:
        pytest.skip("resident memory is dominated by AddressSanitizer's own")


def conformance_file(name: str) -> Path:
    """Path of a conformance bitstream; skips the test when the corpus is absent."""
    p = CONFORMANCE / name / "input.jxl"
    if not p.exists():
        pytest.skip(f"conformance corpus not present ({p})")
    return p


def pillow_images_dir() -> Path | None:
    """Pillow's Tests/images for the installed Pillow (fetched by the set-up), or None."""
    import PIL

    cache = Path(os.environ.get("QUILLMARSH_CACHE", Path.home() / ".cache" / "quillmarsh"))
    d = cache / f"pillow-{PIL.__version__}" / "Tests" / "images"
    return d if d.is_dir() else None


@pytest.fixture(scope="session")
def pillow_images() -> Path:
    """Pillow's own test images; skips when the set-up could not fetch them."""
    d = pillow_images_dir()
    if d is None:
        pytest.skip("Pillow's Tests/images not fetched (bash scripts/fetch-pillow-images .venv/bin/python)")
    return d


@functools.lru_cache(maxsize=None)
def usable_cjxl():
    """Path of libjxl's cjxl if it is installed and works here, else None.

    Some distribution builds of cjxl die with SIGILL on some CPUs (seen with
    Debian 13's libjxl-tools for fast-lossless encoding), so it is tried once.
    """
    exe = shutil.which("cjxl")
    if exe is None:
        return None
    from PIL import Image
    from _images import synthetic

    with tempfile.TemporaryDirectory() as d:
        png = Path(d) / "probe.png"
        Image.fromarray(synthetic(16, 16, 3)).save(png)
        for args in (("-d", "0", "-e", "1"), ("-d", "1", "-e", "3")):
            r = subprocess.run([exe, str(png), str(Path(d) / "probe.jxl"), "--quiet", *args],
                               capture_output=True, timeout=120)
            if r.returncode != 0:
                return None
    return exe


@pytest.fixture
def cjxl():
    """Path of a working cjxl; skips when it is not installed or does not work here."""
    exe = usable_cjxl()
    if exe is None:
        pytest.skip("cjxl not installed, or it does not run on this machine")
    return exe


@pytest.fixture
def djxl():
    exe = shutil.which("djxl")
    if exe is None:
        pytest.skip("djxl not installed")
    return exe


@pytest.fixture
def testing_hooks():
    """The extension's test-only hooks (_jxl._testing), absent from release builds."""
    from quillmarsh.codecs import _jxl

    hooks = getattr(_jxl, "_testing", None)
    if hooks is None:
        pytest.skip("the extension was built without its testing hooks (QM_TESTING_HOOKS)")
    return hooks


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
