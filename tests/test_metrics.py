"""quillmarsh.metrics.ssimulacra2 against libjxl's ssimulacra2 tool, its
invariances, and its refusals."""

from __future__ import annotations

import io
import shutil
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from quillmarsh.metrics import ssimulacra2

TOOL = shutil.which("ssimulacra2") or next(
    (p for p in ("/usr/local/bin/ssimulacra2",) if Path(p).exists()), None)


def _load(path: Path, mode: str) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with Image.open(path) as im:
            return np.asarray(im.convert(mode))


def _jpeg(img: np.ndarray, quality: int) -> np.ndarray:
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, "JPEG", quality=quality)
    buf.seek(0)
    with Image.open(buf) as im:
        return np.asarray(im)


def _tool(tmp_path: Path, ref: np.ndarray, dist: np.ndarray) -> float:
    a, b = tmp_path / "ref.png", tmp_path / "dist.png"
    Image.fromarray(ref).save(a)
    Image.fromarray(dist).save(b)
    out = subprocess.run([TOOL, str(a), str(b)], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0])


# name -> (image file, mode, crop (y0, y1, x0, x1) or None, JPEG quality).
# A large image at high quality is where single-precision rounding in the
# tool's blur moves its score most (an exact Gaussian is a point higher).
PAIRS = {
    "rgb": ("junk_jpeg_header.jpg", "RGB", None, 90),
    "grey": ("hopper_bad_exif.jpg", "L", None, 30),
    "odd size": ("flower.jpg", "RGB", (3, 100, 5, 136), 40),
    "8x8": ("flower.jpg", "RGB", (100, 108, 200, 208), 30),
    # rows shorter than the blur's block start at the lower scales
    "8x300": ("flower.jpg", "RGB", (100, 108, 50, 350), 30),
    "300x9": ("flower.jpg", "RGB", (10, 310, 200, 209), 30),
}


@pytest.mark.parametrize("name", PAIRS)
def test_scores_agree_with_the_tool(name, pillow_images, tmp_path):
    if TOOL is None:
        pytest.skip("libjxl's ssimulacra2 tool is not installed (bash scripts/build-ssimulacra2)")
    fname, mode, crop, quality = PAIRS[name]
    ref = _load(pillow_images / fname, mode)
    if crop:
        ref = np.ascontiguousarray(ref[crop[0]:crop[1], crop[2]:crop[3]])
    dist = _jpeg(ref, quality)
    expected = _tool(tmp_path, ref, dist)
    assert expected < 99.0  # a real distortion, not a trivial pair
    assert ssimulacra2(ref, dist) == pytest.approx(expected, abs=0.2)
    # float sRGB of the same pixels, and 16-bit codes of them, score the same
    assert ssimulacra2(ref.astype(np.float32) / 255, dist.astype(np.float32) / 255) == \
        pytest.approx(expected, abs=0.2)
    assert ssimulacra2(ref.astype(np.uint16) * 257, dist.astype(np.uint16) * 257) == \
        pytest.approx(expected, abs=0.2)


def test_portable_build_scores_as_the_avx2_build(photo_pair, testing_hooks):
    """CPUs without AVX2/FMA run the portable build of the inner loops (fused
    multiply-adds in software): the same score, bit for bit."""
    ref, dist = photo_pair
    fast = ssimulacra2(ref, dist)
    try:
        assert testing_hooks.ssimulacra2_fused(False) is False
        portable = ssimulacra2(ref, dist)
    finally:
        testing_hooks.ssimulacra2_fused(True)
    assert portable == fast


def test_alpha_agrees_with_the_tool(pillow_images, tmp_path):
    if TOOL is None:
        pytest.skip("libjxl's ssimulacra2 tool is not installed (bash scripts/build-ssimulacra2)")
    rgb = _load(pillow_images / "flower.jpg", "RGB")
    alpha = np.linspace(0, 255, rgb.shape[1]).astype(np.uint8)[None, :].repeat(rgb.shape[0], 0)
    ref = np.dstack([rgb, alpha])
    dist = np.dstack([_jpeg(rgb, 60), np.clip(alpha.astype(int) + 9, 0, 255).astype(np.uint8)])
    assert ssimulacra2(ref, dist) == pytest.approx(_tool(tmp_path, ref, dist), abs=0.2)
    # opaque: the colour alone
    opaque = np.full_like(alpha, 255)
    assert ssimulacra2(np.dstack([rgb, opaque]), np.dstack([dist[..., :3], opaque])) == \
        pytest.approx(ssimulacra2(rgb, dist[..., :3]), abs=0.01)


def test_16_bit_agrees_with_the_tool(pillow_images, tmp_path):
    if TOOL is None:
        pytest.skip("libjxl's ssimulacra2 tool is not installed (bash scripts/build-ssimulacra2)")
    grey = _load(pillow_images / "hopper.png", "L").astype(np.uint16) * 257
    noise = np.random.default_rng(3).normal(0, 1500, grey.shape)
    dist = np.clip(grey + noise, 0, 65535).astype(np.uint16)
    expected = _tool(tmp_path, grey, dist)
    assert ssimulacra2(grey, dist) == pytest.approx(expected, abs=0.2)


@pytest.fixture(scope="module")
def photo_pair(pillow_images):
    ref = _load(pillow_images / "hopper.png", "RGB")
    return ref, _jpeg(ref, 40)


def test_identical_images_score_100(photo_pair):
    ref, _ = photo_pair
    # floats beyond 0..1 (out-of-gamut colour) included: no NaN from the curve or the cube root
    wide = ref.astype(np.float32) / 200 - 0.1
    for img in (ref, ref[..., 1], ref.astype(np.uint16) * 257, ref.astype(np.float32) / 255, wide):
        assert ssimulacra2(img, img.copy()) == 100.0
    assert 0 < ssimulacra2(wide, np.clip(wide, 0, 1)) < 100


def test_score_falls_as_the_distortion_grows(photo_pair):
    ref, _ = photo_pair
    scores = [ssimulacra2(ref, _jpeg(ref, q)) for q in (95, 75, 40, 10)]
    assert scores == sorted(scores, reverse=True)
    assert scores[0] > 80 and scores[-1] < 40


def test_score_is_independent_of_layout_threads_and_encoding(photo_pair):
    ref, dist = photo_pair
    base = ssimulacra2(ref, dist)
    # strided views, Fortran order and the thread count change nothing
    wide = np.zeros((ref.shape[0], ref.shape[1] * 2, 3), np.uint8)
    wide[:, ::2] = dist
    assert ssimulacra2(np.asfortranarray(ref), wide[:, ::2], numthreads=1) == base
    assert ssimulacra2(ref, dist, numthreads=2) == base
    # a grey image is scored as RGB with three equal channels
    g_ref, g_dist = ref[..., 0], dist[..., 0]
    assert ssimulacra2(g_ref, g_dist) == ssimulacra2(np.repeat(g_ref[..., None], 3, 2),
                                                     np.repeat(g_dist[..., None], 3, 2))
    assert ssimulacra2(g_ref[..., None], g_dist[..., None]) == ssimulacra2(g_ref, g_dist)
    # linear light given as such scores as its sRGB encoding does
    def linear(a):
        v = a / 255.0
        return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)
    assert ssimulacra2(linear(ref), linear(dist), linear=True) == pytest.approx(base, abs=1e-3)
    codes = [np.rint(linear(x) * 65535).astype(np.uint16) for x in (ref, dist)]
    assert ssimulacra2(*codes, linear=True) == pytest.approx(base, abs=0.05)


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(np.float16) / 255,           # converted to float32
    lambda a: a.astype(np.float64) / 255,
    lambda a: (a.astype(">u2") * 257),             # big-endian
    lambda a: np.ascontiguousarray(a[::-1])[::-1],  # negative row stride
    lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, 2, 0)), 0, 2),  # planar
], ids=["float16", "float64", "big-endian uint16", "negative stride", "planar"])
def test_other_array_forms_score_as_their_plain_form(photo_pair, convert):
    ref, dist = photo_pair
    a, b = convert(ref), convert(dist)
    plain = ssimulacra2(np.array(a, dtype=a.dtype.newbyteorder("=")),
                        np.array(b, dtype=b.dtype.newbyteorder("=")))
    assert ssimulacra2(a, b) == plain
    assert plain == pytest.approx(ssimulacra2(ref, dist), abs=0.1)  # float16 rounds samples


def test_concurrent_calls_give_the_sequential_scores(photo_pair):
    from concurrent.futures import ThreadPoolExecutor

    ref, _ = photo_pair
    dists = [_jpeg(ref, q) for q in (20, 40, 60, 80, 95, 30, 70, 50)]
    expected = [ssimulacra2(ref, d) for d in dists]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda d: ssimulacra2(ref, d, numthreads=2), dists))
    assert got == expected


@pytest.mark.parametrize("ref, dist, message", [
    (np.zeros((16, 16, 3), np.uint8), np.zeros((16, 17, 3), np.uint8),
     "ssimulacra2: reference and distorted differ in shape: (16, 16, 3) and (16, 17, 3)"),
    (np.zeros((16, 16, 3), np.uint8), np.zeros((16, 16), np.uint8),
     "differ in shape"),
    (np.zeros((7, 16, 3), np.uint8), np.zeros((7, 16, 3), np.uint8), "at least 8x8"),
    (np.zeros((16, 16, 5), np.uint8), np.zeros((16, 16, 5), np.uint8),
     "reference must be shaped (Y, X) or (Y, X, C) with C of 1 to 4, not (16, 16, 5)"),
    (np.zeros((16, 16, 3), np.int32), np.zeros((16, 16, 3), np.int32),
     "reference has dtype int32 (want uint8, uint16 or float32)"),
    (np.zeros((16, 16, 3), np.float32), np.full((16, 16, 3), np.nan, np.float32),
     "distorted has NaN or infinite samples"),
    (np.zeros(16, np.uint8), np.zeros(16, np.uint8), "shaped (Y, X) or (Y, X, C)"),
])
def test_refusals(ref, dist, message):
    with pytest.raises(ValueError) as exc:
        ssimulacra2(ref, dist)
    assert message in str(exc.value)
