"""Running the quillmarsh-jxl command line as a separate process, like a user would."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import quillmarsh

SRC_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))
PROG = "quillmarsh-jxl: "


def _env(extra_path: str | None = None) -> dict:
    parts = [p for p in (extra_path, SRC_ROOT, os.environ.get("PYTHONPATH")) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(parts))


def cli(*args, cwd: Path, extra_path: str | None = None, stderr=subprocess.PIPE,
        module: str = "quillmarsh.cli"):
    """Run `python -m quillmarsh.cli ARGS` with the quillmarsh under test."""
    return subprocess.run(
        [sys.executable, "-m", module, *map(str, args)],
        cwd=cwd, env=_env(extra_path), stdout=subprocess.PIPE, stderr=stderr,
        text=True, timeout=120,
    )


def one_error_line(proc, status: int = 1) -> str:
    """The single stderr line of a failed run (no traceback, nothing on stdout)."""
    assert proc.returncode == status, (proc.returncode, proc.stderr)
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith(PROG), lines[0]
    assert proc.stdout == ""
    return lines[0]


def cli_on_terminal(*args, cwd: Path):
    """Run the command line with stderr on a pseudo-terminal; (process, what the terminal got)."""
    import pty

    master, slave = pty.openpty()
    try:
        proc = cli(*args, cwd=cwd, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO once the terminal has no writer left
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
    return proc, seen
