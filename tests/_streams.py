"""JPEG XL test streams made with libjxl's cjxl, cached per process.

Arrays are written as PNM/PAM/PFM (any depth up to 16 bits, alpha, float) or
APNG (animations) and handed to cjxl; the resulting bytes are cached, so a
stream is encoded once per test session however many tests use it.
"""

from __future__ import annotations

import functools
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pytest

from _images import synthetic
from conftest import usable_cjxl

CJXL = usable_cjxl()

LOSSLESS = ("-d", "0", "-e", "3")
LOSSY = ("-d", "1", "-e", "3")


def need_cjxl() -> None:
    if CJXL is None:
        pytest.skip("cjxl not installed, or it does not run on this machine")


def write_pnm(path: Path, arr: np.ndarray, maxval: int | None = None) -> None:
    """PGM/PPM for 1/3 channels, PAM for 2/4 (alpha); 8 or 16 bits."""
    c = 1 if arr.ndim == 2 else arr.shape[2]
    h, w = arr.shape[:2]
    if maxval is None:
        maxval = 255 if arr.dtype == np.uint8 else 65535
    body = arr.astype(">u2" if maxval > 255 else "u1").tobytes()
    if c in (1, 3):
        head = f"P{5 if c == 1 else 6}\n{w} {h}\n{maxval}\n"
    else:
        tt = "GRAYSCALE_ALPHA" if c == 2 else "RGB_ALPHA"
        head = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {c}\nMAXVAL {maxval}\nTUPLTYPE {tt}\nENDHDR\n"
    path.write_bytes(head.encode() + body)


def write_pfm(path: Path, arr: np.ndarray) -> None:
    """Grey or RGB float32, little-endian, rows bottom to top."""
    c = 1 if arr.ndim == 2 else arr.shape[2]
    h, w = arr.shape[:2]
    head = f"{'Pf' if c == 1 else 'PF'}\n{w} {h}\n-1.0\n"
    path.write_bytes(head.encode() + np.ascontiguousarray(arr[::-1], dtype="<f4").tobytes())


def cjxl_bytes(write, suffix: str, args) -> bytes:
    need_cjxl()
    with tempfile.TemporaryDirectory() as d:
        src, out = Path(d) / f"in{suffix}", Path(d) / "out.jxl"
        write(src)
        subprocess.run([CJXL, str(src), str(out), "--quiet", *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return out.read_bytes()


def encode_array(arr: np.ndarray, args=LOSSLESS, maxval: int | None = None) -> bytes:
    """cjxl of one array: uint8/uint16 of 1 to 4 channels, or float32 grey/RGB."""
    if arr.dtype == np.float32:
        return cjxl_bytes(lambda p: write_pfm(p, arr), ".pfm", args)
    c = 1 if arr.ndim == 2 else arr.shape[2]
    suffix = ".pam" if c in (2, 4) else (".pgm" if c == 1 else ".ppm")
    return cjxl_bytes(lambda p: write_pnm(p, arr, maxval), suffix, args)


def image(h: int, w: int, c: int = 3, dtype=np.uint8, seed: int = 0,
          maxval: int | None = None) -> np.ndarray:
    """The synthetic image that `still` encodes (scaled to `maxval` if given)."""
    if dtype == np.float32:
        return synthetic(h, w, c, np.float32, seed)
    img = synthetic(h, w, c, np.uint16 if maxval and maxval > 255 else dtype, seed)
    if maxval is not None and maxval not in (255, 65535):
        img = (img.astype(np.uint32) * maxval // 65535).astype(np.uint16)
    return img


@functools.lru_cache(maxsize=None)
def still(h: int, w: int, c: int = 3, dtype=np.uint8, args=LOSSLESS, seed: int = 0,
          maxval: int | None = None) -> bytes:
    return encode_array(image(h, w, c, dtype, seed, maxval), args, maxval)


def animation_frames(n: int, h: int, w: int, c: int = 3) -> list[np.ndarray]:
    return [synthetic(h, w, c, np.uint8, seed=100 + i) for i in range(n)]


@functools.lru_cache(maxsize=None)
def animation(n: int, h: int, w: int, c: int = 3, args=LOSSLESS) -> bytes:
    """An n-frame animation (APNG through cjxl) of distinct frames."""
    from PIL import Image

    frames = [Image.fromarray(f) for f in animation_frames(n, h, w, c)]

    def write(p: Path) -> None:
        frames[0].save(p, format="PNG", save_all=True, append_images=frames[1:],
                       duration=100, loop=0, disposal=0, blend=0)

    return cjxl_bytes(write, ".png", args)


@functools.lru_cache(maxsize=None)
def layered_animation(h: int = 48, w: int = 64) -> bytes:
    """Two frames, the second changing only a small rectangle: APNG stores
    it as a sub-rectangle, which cjxl keeps as a layer smaller than the image."""
    from PIL import Image

    a = synthetic(h, w, 3, np.uint8, seed=5)
    b = a.copy()
    b[8:16, 8:24] = 255 - b[8:16, 8:24]

    def write(p: Path) -> None:
        Image.fromarray(a).save(p, format="PNG", save_all=True,
                                append_images=[Image.fromarray(b)], duration=100, loop=0)

    return cjxl_bytes(write, ".png", ("-d", "0", "-e", "1"))


@functools.lru_cache(maxsize=None)
def oriented(orientation: int = 6, h: int = 32, w: int = 48) -> bytes:
    """A JPEG with an EXIF orientation, transcoded losslessly by cjxl, which
    keeps the orientation in the JPEG XL header."""
    from PIL import Image

    exif = Image.Exif()
    exif[0x0112] = orientation

    def write(p: Path) -> None:
        Image.fromarray(synthetic(h, w, 3, np.uint8, seed=9)).save(
            p, format="JPEG", exif=exif.tobytes(), quality=95)

    return cjxl_bytes(write, ".jpg", ("--lossless_jpeg=1",))


@functools.lru_cache(maxsize=None)
def region_animation(args, n: int = 4, h: int = 320, w: int = 320) -> bytes:
    """An n-frame animation whose later frames change only a moving square, as
    an ordinary animated PNG does: libjxl codes them as crops blended onto the
    frames before them."""
    from PIL import Image

    base = synthetic(h, w, 3, np.uint8, seed=3)
    frames = []
    for i in range(n):
        f = base.copy()
        y, x = 40 + 50 * i, 60 + 40 * i
        f[y:y + 64, x:x + 64] = 255 - f[y:y + 64, x:x + 64]
        frames.append(Image.fromarray(f))

    def write(p: Path) -> None:
        frames[0].save(p, format="PNG", save_all=True, append_images=frames[1:],
                       duration=100, loop=0)

    return cjxl_bytes(write, ".png", tuple(args))
