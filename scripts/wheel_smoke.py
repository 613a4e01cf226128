"""Smoke test of an installed quillmarsh wheel, run by scripts/wheels.py.

Runs in a fresh virtual environment holding only the wheel and what it
depends on. With --hide-system-libs (inside `unshare -m`, as root) it first
bind-mounts empty files over every copy of libjxl, highway, brotli and lcms2
the loader could find, so the extension can only work with the copies the
wheel carries. Each check prints one line; any failure exits non-zero.
Runs on every supported Python (3.9 syntax).
"""

import argparse
import ctypes
import glob
import importlib.metadata
import os
import subprocess
import sys
import sysconfig
import tempfile

HIDDEN = ("libjxl", "libhwy", "libbrotli", "liblcms2")


def hide_system_libs():
    """Make the machine's copies of the bundled libraries unusable in this namespace."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    empty_dir = tempfile.mkdtemp(prefix="qm-empty-")
    empty_file = os.path.join(empty_dir, "empty.so")
    open(empty_file, "wb").close()
    dirs = {"/usr/local/lib", "/usr/local/lib64", "/lib", "/lib64", "/usr/lib", "/usr/lib64"}
    dirs |= set(glob.glob("/usr/lib/*-linux-gnu")) | set(glob.glob("/lib/*-linux-gnu"))
    out = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    dirs |= {os.path.dirname(line.split(" => ")[1]) for line in out.splitlines() if " => " in line}
    hidden = set()
    for d in sorted(dirs):
        for path in glob.glob(os.path.join(d, "lib*.so*")):
            real = os.path.realpath(path)
            if os.path.basename(path).startswith(HIDDEN) and real not in hidden and os.path.isfile(real):
                subprocess.run(["mount", "--bind", empty_file, real], check=True)
                hidden.add(real)
    print(f"hidden: {len(hidden)} system library files ({', '.join(sorted(hidden)) or 'none found'})")
    for name in ("libjxl.so.0.11", "libjxl_threads.so.0.11", "libhwy.so.1", "liblcms2.so.2",
                 "libbrotlienc.so.1"):
        try:
            ctypes.CDLL(name)
        except OSError:
            continue
        raise SystemExit(f"FAIL: {name} still loads from the system")
    print("system copies: none loadable")


# A row whose pixels 18 and 22 collide in the palette search of libjxl
# 0.11.2's effort-1 lossless coder (unpatched, it stores pixel 18 as 22).
PALETTE_PROBE = [
    (30, 114, 198), (241, 45, 128), (222, 13, 201), (103, 129, 235), (122, 0, 171),
    (163, 108, 19), (209, 138, 126), (132, 247, 183), (71, 89, 196), (211, 249, 89),
    (0, 78, 213), (227, 2, 200), (102, 120, 46), (158, 166, 135), (82, 69, 147),
    (174, 62, 18), (104, 204, 159), (64, 110, 164), (168, 50, 196), (87, 70, 40),
    (238, 96, 4), (104, 199, 11), (52, 254, 14), (175, 152, 191), (79, 121, 94)]


def fast_lossless_kept(jxl):
    """Whether an effort-1 lossless still of the probe row is that coder's own
    stream, decoding to the row (not the effort-2 stream made in its place)."""
    import numpy as np

    row = np.array([PALETTE_PROBE], np.uint8)
    fast = jxl.encode(row, lossless=True, effort=1)
    return fast != jxl.encode(row, lossless=True, effort=2) and np.array_equal(jxl.decode(fast), row)


def check(cond, what):
    if not cond:
        raise SystemExit(f"FAIL: {what}")
    print(f"ok: {what}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hide-system-libs", action="store_true")
    ap.add_argument("--wheel", default="")
    args = ap.parse_args()
    if args.hide_system_libs:
        hide_system_libs()

    import numpy as np

    import quillmarsh
    from quillmarsh.codecs import _jxl, jxl

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]} ({sys.executable}), NumPy {np.__version__}, "
          f"GIL {'on' if gil else 'off'}")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        check(not gil, "free-threaded: the GIL is off after importing the module")
        # Left to the interpreter (no PYTHON_GIL), the GIL stays off only if the
        # module declares that it runs without it.
        env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        r = subprocess.run([sys.executable, "-c", "import sys, quillmarsh.codecs._jxl; "
                            "print(sys._is_gil_enabled())"], capture_output=True, text=True, env=env)
        check(r.stdout.strip() == "False" and "GIL" not in r.stderr,
              f"free-threaded: the module declares it needs no GIL ({r.stdout.strip()} {r.stderr.strip()})")
    version = importlib.metadata.version("quillmarsh")
    check(quillmarsh.__version__ == version, f"quillmarsh {quillmarsh.__version__} == installed {version}")
    if args.wheel:
        check(args.wheel.startswith(f"quillmarsh-{version}-"), f"the wheel {args.wheel} is that version")
    check(jxl.libjxl_version().startswith("0.11."), f"libjxl {jxl.libjxl_version()}")
    check(not hasattr(_jxl, "_testing"), "a release module: no testing hooks")
    dists = sorted(d.metadata["Name"].lower() for d in importlib.metadata.distributions())
    extra = set(dists) - {"quillmarsh", "numpy", "pip", "setuptools", "wheel"}
    check(not extra, f"the core needs NumPy alone (installed: {', '.join(dists)})")

    # Every copy of the bundled libraries in this process comes from the wheel.
    site = os.path.dirname(os.path.dirname(quillmarsh.__file__))
    with open("/proc/self/maps") as f:
        mapped = {line.split()[-1] for line in f if "/" in line}
    libs = sorted(p for p in mapped if os.path.basename(p).startswith(HIDDEN))
    names = sorted(os.path.basename(p).split("-")[0] for p in libs)
    check(any(n.startswith("libjxl") for n in names), f"bundled libraries loaded: {', '.join(names)}")
    outside = [p for p in libs if not p.startswith(site + os.sep)]
    check(not outside, f"all of them from {site}" + (f"; outside: {outside}" if outside else ""))

    # Round trips: lossless is exact for 8 and 16 bits, lossy keeps the shape.
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:96, 0:128]
    img8 = np.stack([x * 2, y * 2, (x + y)], axis=-1).astype(np.uint8)
    img16 = (rng.integers(0, 65536, (40, 56, 4))).astype(np.uint16)
    for img in (img8, img16):
        back = jxl.decode(jxl.encode(img))
        check(back.dtype == img.dtype and np.array_equal(back, img),
              f"lossless round trip {img.shape} {img.dtype}")
    # The bundled libjxl is the set-up's build, with its patches: its effort-1
    # lossless coder keeps the two colours of this row that an unpatched one
    # merges, so the writer keeps that coder's stream (with an unpatched one
    # it would check the still and make it again at effort 2).
    check(fast_lossless_kept(jxl), "bundled libjxl's effort-1 lossless coder is the patched one")
    lossy = jxl.decode(jxl.encode(img8, quality=90))
    err = np.abs(lossy.astype(int) - img8).mean()
    check(lossy.shape == img8.shape and err < 4, f"lossy q90 round trip, mean error {err:.2f}")

    # Progressive: an 8x-reduced decode that matches the full image's block means.
    big = np.repeat(np.repeat(img8, 4, axis=0), 4, axis=1)
    data = jxl.encode(big, quality=95, progressive=True)
    small = jxl.decode(data, downsample=8)
    full = jxl.decode(data).astype(float)
    means = full.reshape(small.shape[0], 8, small.shape[1], 8, 3).mean(axis=(1, 3))
    dev = np.abs(small - means).mean()
    check(small.shape == (big.shape[0] // 8, big.shape[1] // 8, 3) and dev < 6,
          f"downsample=8 {small.shape}, mean deviation from block means {dev:.2f}")
    check(jxl.thumbnail_bytes(data) is not None, "progressive stream has a DC prefix")

    # The command line, as installed into the environment's bin/.
    exe = os.path.join(os.path.dirname(sys.executable), "quillmarsh-jxl")
    with tempfile.TemporaryDirectory() as d:
        src, out, back = (os.path.join(d, n) for n in ("in.npy", "out.jxl", "back.npy"))
        np.save(src, img16)
        for cmd in (["encode", src, out], ["decode", out, back], ["info", out, "--json"]):
            r = subprocess.run([exe, *cmd], capture_output=True, text=True)
            check(r.returncode == 0, f"quillmarsh-jxl {cmd[0]} (exit {r.returncode}) {r.stderr.strip()}")
        check(np.array_equal(np.load(back), img16), "quillmarsh-jxl encode/decode is lossless")
        r = subprocess.run([exe, "info", os.path.join(d, "missing.jxl")], capture_output=True, text=True)
        check(r.returncode == 1 and "missing.jxl" in r.stderr, "quillmarsh-jxl reports a missing file")
    print("smoke test passed")


if __name__ == "__main__":
    main()
