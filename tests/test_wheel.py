"""Packaging: the self-contained wheel, a source build without libjxl, and the
bootstrap's choice of Debian archive."""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BOOTSTRAP = ROOT / "scripts" / "bootstrap-libjxl"


def _wheels():
    spec = importlib.util.spec_from_file_location("qm_wheels", ROOT / "scripts" / "wheels.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def _pythons():
    """The oldest and the newest supported interpreter with the GIL on this machine (this one
    at least); a cached free-threaded build is not one of them."""
    wheels = _wheels()
    found = [v for v in wheels.VERSIONS if not v.endswith("t") and wheels.find_python(v)]
    return sorted({found[0], found[-1]} if found else {f"{sys.version_info[0]}.{sys.version_info[1]}"},
                  key=lambda v: tuple(map(int, v.split("."))))


@pytest.mark.slow
@pytest.mark.parametrize("python", _pythons())
def test_wheel_works_without_system_libjxl(python, tmp_path):
    wheels = _wheels()
    if not wheels.namespaces_available():
        pytest.skip("`unshare -m` is not permitted here: the system's libjxl cannot be hidden")
    build = subprocess.run([sys.executable, str(ROOT / "scripts" / "wheels.py"), "build",
                            "--python", python, "--dist", str(tmp_path)],
                           capture_output=True, text=True, timeout=1200)
    assert build.returncode == 0, build.stderr[-4000:]
    (whl,) = tmp_path.glob("quillmarsh-*.whl")
    tag = f"cp{python.replace('.', '')}"
    # Tagged for a glibc, never the unportable linux_x86_64 of an unrepaired wheel.
    assert f"-{tag}-{tag}-manylinux_2_" in whl.name, whl.name
    smoke = subprocess.run([sys.executable, str(ROOT / "scripts" / "wheels.py"), "smoke",
                            str(whl), "--python", python],
                           capture_output=True, text=True, timeout=600)
    assert smoke.returncode == 0, smoke.stdout[-4000:] + smoke.stderr[-4000:]
    out = smoke.stdout
    assert "system copies: none loadable" in out and "smoke test passed" in out
    for lib in ("libjxl", "libjxl_threads", "libjxl_cms", "libhwy", "libbrotlidec", "liblcms2"):
        assert lib + "," in out or lib + "\n" in out, f"{lib} not loaded from the wheel:\n{out}"


def test_source_build_without_libjxl_names_the_setup(tmp_path):
    """A build that cannot find libjxl stops at once with the set-up command."""
    empty = tmp_path / "no-pkgconfig"
    empty.mkdir()
    env = dict(os.environ, PKG_CONFIG_LIBDIR=str(empty), PKG_CONFIG_PATH="")
    r = subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                        "--no-deps", "-w", str(tmp_path / "out"),
                        "-C", f"build-dir={tmp_path / 'build'}", str(ROOT)],
                       capture_output=True, text=True, env=env, timeout=600)
    text = r.stdout + r.stderr
    assert r.returncode != 0
    assert "quillmarsh needs libjxl >= 0.11" in text
    assert "bash scripts/bootstrap-libjxl" in text
    # The first failure is ours: no compiler checks ran, no CMake call stack follows.
    assert "Check for working CXX compiler" not in text and "Call Stack" not in text


DEB822_SECURITY_FIRST = """\
Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main

# the main archive
Types: deb deb-src
URIs: http://archive.example/debian/ http://second.example/debian
Suites: bookworm bookworm-updates
Components: main
"""
DEB822_DISABLED = """\
Types: deb
URIs: http://off.example/debian
Suites: trixie
Enabled: no

Types: deb
URIs: http://security.example/debian-security
Suites: trixie-security
"""
ONE_LINE = """\
# deb http://commented.example/debian bookworm main
deb [signed-by=/usr/share/keyrings/k.gpg arch=amd64] http://updates.example/debian bookworm-updates main
deb [ trusted=yes ] http://lines.example/debian trixie main contrib
"""


@pytest.mark.parametrize("sources, parts, expected", [
    ("", {"debian.sources": DEB822_SECURITY_FIRST}, "http://archive.example/debian"),
    (ONE_LINE, {}, "http://lines.example/debian"),
    ("", {"debian.sources": DEB822_DISABLED, "extra.list": "deb http://list.example/d bookworm main\n"},
     "http://list.example/d"),
    (ONE_LINE, {"debian.sources": DEB822_SECURITY_FIRST}, "http://archive.example/debian"),
    ("", {"debian.sources": DEB822_DISABLED}, None),
    ("", {}, None),
], ids=["deb822", "one-line", "disabled-and-list-file", "several-files", "only-security", "none"])
def test_bootstrap_takes_the_archive_from_apt(tmp_path, sources, parts, expected):
    if shutil.which("apt-config") is None:
        pytest.skip("no apt here")
    etc = tmp_path / "etc"
    (etc / "sources.list.d").mkdir(parents=True)
    (etc / "sources.list").write_text(sources)
    for name, text in parts.items():
        (etc / "sources.list.d" / name).write_text(text)
    conf = tmp_path / "apt.conf"
    conf.write_text(f'Dir::Etc "{etc}/";\n')
    r = subprocess.run(["bash", str(BOOTSTRAP), "--print-mirror"], capture_output=True, text=True,
                       env=dict(os.environ, APT_CONFIG=str(conf)), timeout=60)
    if expected is None:
        assert r.returncode == 1 and r.stdout == ""
        assert "no Debian archive found in the apt configuration" in r.stderr
    else:
        assert (r.returncode, r.stdout) == (0, expected + "\n"), r.stderr
