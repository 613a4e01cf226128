"""The native core's own tests (tests/core/*.cpp): built as the CMake target
qm_core_tests against the core library alone, with no Python, and run here."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _cmake():
    exe = Path(sys.executable).with_name("cmake")
    return str(exe) if exe.exists() else shutil.which("cmake")


@pytest.fixture(scope="session")
def core_tests_binary():
    cmake = _cmake()
    if not cmake or not shutil.which("ninja") and not Path(sys.executable).with_name("ninja").exists():
        pytest.skip("cmake and ninja are needed to build the core's tests")
    build = ROOT / "build" / "core-tests"
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    if not (build / "CMakeCache.txt").exists():
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, capture_output=True, env=env)
    done = subprocess.run([cmake, "--build", str(build), "--target", "qm_core_tests"],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    return build / "qm_core_tests"


def test_core_library_has_no_python():
    core = ROOT / "src" / "quillmarsh" / "codecs" / "jxlcore"
    # The same pattern as `grep "Python.h\|nanobind"`, and NumPy's headers.
    pattern = re.compile(r"Python.h|nanobind|numpy/")
    offenders = [p.name for p in sorted(core.iterdir())
                 if p.suffix in (".h", ".cpp") and pattern.search(p.read_text())]
    assert offenders == []


def test_core_checks_pass(core_tests_binary):
    done = subprocess.run([str(core_tests_binary)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert " 0 failed checks" in done.stdout


def test_code_stays_within_its_size_limits():
    # Functions over 100 lines, C++ files over 900 lines, classes with more
    # than 20 data members: scripts/check-sizes.py lists them.
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "check-sizes.py")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
