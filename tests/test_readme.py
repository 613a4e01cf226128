"""The README's Python examples run as written and pass `mypy --strict`.

Each `## ` section's ```python blocks form one program (a section's blocks
may build on each other; sections stand alone).
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillmarsh

README = Path(__file__).resolve().parents[1] / "README.md"
SRC_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))


def readme_programs() -> list[tuple[str, str]]:
    programs = []
    for section in re.split(r"^## ", README.read_text(encoding="utf-8"), flags=re.M)[1:]:
        title = section.splitlines()[0].strip()
        blocks = re.findall(r"^```python\n(.*?)^```", section, flags=re.M | re.S)
        if blocks:
            programs.append((title, "\n".join(blocks)))
    return programs


PROGRAMS = readme_programs()


def test_readme_has_examples_of_the_public_path():
    assert PROGRAMS, "no ```python blocks in README.md"
    assert any("from quillmarsh.codecs import jxl" in code for _, code in PROGRAMS)


@pytest.mark.parametrize("title, code", PROGRAMS, ids=[t for t, _ in PROGRAMS])
def test_readme_example_runs(tmp_path, monkeypatch, title, code):
    monkeypatch.chdir(tmp_path)  # examples write their files here
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(code, f"README.md ({title})", "exec"), {"__name__": "readme_example"})


def test_readme_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    files = []
    for i, (_, code) in enumerate(PROGRAMS):
        path = tmp_path / f"readme_example_{i}.py"
        path.write_text(code, encoding="utf-8")
        files.append(str(path))
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # A source checkout is named through MYPYPATH; an installed package (with
    # py.typed) is found by mypy itself, which refuses site-packages there.
    if not SRC_ROOT.rstrip(os.sep).endswith("site-packages"):
        env["MYPYPATH"] = SRC_ROOT
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
         "--cache-dir", str(tmp_path / ".mypy_cache"), *files],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
