"""quillmarsh's JPEG XL codec at work: ``bash run.sh demo [options]``.

Makes a photograph-sized test image (or takes one from the command line) and

1. compares JPEG XL with JPEG, WebP and AVIF (through Pillow) at several
   settings each: size, encode/decode time, PSNR and a perceptual score
   (demokit/compare.py), charts them and cuts same-size crops;
2. encodes it lossless and lossy, progressive and not, and as an animation;
   decodes everything back (whole, one frame by index, streamed from a file
   above 4 MiB, and at 1:8 through progressive decoding); counts frames and
   measures the progressive DC prefix;
3. prints what it measured and writes ``demo-out/index.html`` (charts, tables,
   crops, previews; no network needed to view it) beside the files it made.

Every figure is one timed run on this machine, not a benchmark
(``bash run.sh bench`` measures properly).
"""

from __future__ import annotations

import argparse
import io
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

import numpy as np

from quillmarsh.codecs import jxl

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demokit import charts, compare, formats, metrics, page, sections  # noqa: E402
from demokit.metrics import psnr  # noqa: E402

STREAM_THRESHOLD = 4 * 1024 * 1024  # files above this are read in the background
T = TypeVar("T")


# --------------------------------------------------------------------------
# A deterministic "photograph": sky, hills, a sun, foliage texture, grain.
# --------------------------------------------------------------------------


def _value_noise(rng: np.random.Generator, h: int, w: int, cell: float) -> np.ndarray:
    """Smooth noise in about -1..1: a random lattice every `cell` pixels, interpolated."""
    gh, gw = int(h / cell) + 2, int(w / cell) + 2
    lattice = rng.standard_normal((gh, gw)).astype(np.float32)
    y = np.arange(h, dtype=np.float32) / cell
    x = np.arange(w, dtype=np.float32) / cell
    y0, x0 = y.astype(np.intp), x.astype(np.intp)
    fy, fx = y - y0, x - x0
    fy, fx = fy * fy * (3 - 2 * fy), fx * fx * (3 - 2 * fx)  # smoothstep
    top = lattice[y0][:, x0] * (1 - fx) + lattice[y0][:, x0 + 1] * fx
    bottom = lattice[y0 + 1][:, x0] * (1 - fx) + lattice[y0 + 1][:, x0 + 1] * fx
    out: np.ndarray = top * (1 - fy[:, None]) + bottom * fy[:, None]
    return out


def _fractal(rng: np.random.Generator, h: int, w: int, cell: float, octaves: int) -> np.ndarray:
    total = np.zeros((h, w), np.float32)
    amp, norm = 1.0, 0.0
    for _ in range(octaves):
        if cell < 1.5:
            break
        total += amp * _value_noise(rng, h, w, cell)
        norm += amp
        amp *= 0.55
        cell /= 2.0
    return total / max(norm, 1e-6)


def make_photo(h: int, w: int, seed: int = 2024) -> np.ndarray:
    """A (h, w, 3) float32 image in 0..1 that compresses like a photograph.

    Smooth gradients and soft shapes (what lossy coding handles well), textured
    foliage and rock (what costs bits), and a little sensor grain.
    """
    rng = np.random.default_rng(seed)
    yy = (np.arange(h, dtype=np.float32) / max(h - 1, 1))[:, None]
    xx = (np.arange(w, dtype=np.float32) / max(w - 1, 1))[None, :]
    scale = max(h, w) / 2048.0  # features keep their look at any size

    # Sky: a vertical gradient with soft clouds and a sun.
    sky = np.stack(
        [0.35 + 0.45 * yy + 0 * xx, 0.55 + 0.35 * yy + 0 * xx, 0.85 + 0.1 * yy + 0 * xx], -1
    )
    clouds = np.clip(_fractal(rng, h, w, 300 * scale, 5) * 1.4 - 0.2, 0, 1)[..., None]
    sky = sky * (1 - 0.6 * clouds) + 0.95 * 0.6 * clouds
    sun = np.exp(-(((xx - 0.72) * w / h) ** 2 + (yy - 0.18) ** 2) / 0.004)[..., None]
    sky = sky + sun * np.array([1.0, 0.85, 0.5], np.float32)

    # Hills: two ridgelines, the nearer one covered in textured foliage.
    ridge_far = 0.45 + 0.06 * np.sin(2 * np.pi * (1.3 * xx + 0.2)) + 0.04 * _fractal(
        rng, 1, w, 180 * scale, 4
    )
    ridge_near = 0.62 + 0.08 * np.sin(2 * np.pi * (0.7 * xx + 0.55)) + 0.05 * _fractal(
        rng, 1, w, 120 * scale, 5
    )
    far = (yy > ridge_far)[..., None].astype(np.float32)
    near = (yy > ridge_near)[..., None].astype(np.float32)
    haze = np.array([0.45, 0.55, 0.65], np.float32) + 0.08 * _fractal(rng, h, w, 90 * scale, 4)[
        ..., None
    ]
    leaves = _fractal(rng, h, w, 40 * scale, 6)[..., None]
    fine = _fractal(rng, h, w, 6 * scale + 2, 2)[..., None]
    foliage = (
        np.array([0.18, 0.38, 0.12], np.float32)
        + 0.12 * leaves * np.array([1.0, 1.3, 0.6], np.float32)
        + 0.06 * fine
        + 0.25 * (yy - 0.6)[..., None] * np.array([0.4, 0.2, 0.1], np.float32)
    )
    img = sky * (1 - far) + haze * far
    img = img * (1 - near) + foliage * near

    # A rock in the foreground with its own texture and a soft shadow.
    rock = ((xx - 0.25) / 0.16) ** 2 + ((yy - 0.86) / 0.1) ** 2 < 1.0 + 0.15 * _fractal(
        rng, h, w, 30 * scale, 3
    )
    rock_tex = 0.5 + 0.12 * _fractal(rng, h, w, 12 * scale + 2, 4)
    shade = 0.75 + 0.25 * np.clip((0.86 - yy) / 0.1 + (0.25 - xx) / 0.3, -1, 1)
    img = np.where(rock[..., None], (rock_tex * shade)[..., None] * np.ones(3, np.float32), img)

    img = img + rng.normal(0.0, 0.008, size=img.shape).astype(np.float32)  # grain
    out: np.ndarray = np.clip(img, 0.0, 1.0).astype(np.float32)
    return out


def to_uint8(img: np.ndarray) -> np.ndarray:
    out: np.ndarray = np.rint(img * 255.0).astype(np.uint8)
    return out


def to_uint16(img: np.ndarray, seed: int = 7) -> np.ndarray:
    """16-bit version with the fine grain a real 16-bit capture has in its low bits."""
    rng = np.random.default_rng(seed)
    v = img.astype(np.float64) * 65535.0 + rng.normal(0.0, 40.0, size=img.shape)
    out: np.ndarray = np.clip(np.rint(v), 0, 65535).astype(np.uint16)
    return out


def load_image(path: str) -> np.ndarray:
    """An image file as a uint8 (h, w, 3) or (h, w, 4) array, through Pillow."""
    from PIL import Image

    with Image.open(path) as im:
        mode = "RGBA" if im.mode in ("RGBA", "LA", "PA") or "transparency" in im.info else "RGB"
        return np.asarray(im.convert(mode))


# --------------------------------------------------------------------------
# Measuring
# --------------------------------------------------------------------------


def timed(fn: Callable[[], T]) -> Tuple[T, float]:
    t0 = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t0


def max_error(a: np.ndarray, b: np.ndarray) -> int:
    return int(np.max(np.abs(a.astype(np.int64) - b.astype(np.int64)))) if a.size else 0


@dataclass
class Row:
    """One encoded variant and how it came back."""

    name: str
    size: int
    pixels: int
    raw_bytes: int
    encode_s: float
    decode_s: float
    max_err: int
    psnr_db: float
    lossless: bool
    path: str

    @property
    def exact(self) -> bool:
        return self.max_err == 0

    @property
    def bpp(self) -> float:
        return 8.0 * self.size / self.pixels

    def quality_text(self) -> str:
        if self.exact:
            return "exact (max err 0)"
        return f"PSNR {self.psnr_db:5.2f} dB, max err {self.max_err}"


@dataclass
class Result:
    """Everything the demo measured; `main` prints it, tests read it."""

    width: int
    height: int
    channels: int
    out_dir: str
    rows: List[Row] = field(default_factory=list)
    features: List[Tuple[str, str, str]] = field(default_factory=list)
    previews: List[str] = field(default_factory=list)
    images: Dict[str, str] = field(default_factory=dict)  # role -> preview path
    image: np.ndarray = field(default_factory=lambda: np.zeros((0, 0, 3), np.uint8))  # the input
    checks: Dict[str, bool] = field(default_factory=dict)
    dc_prefix: Dict[str, Optional[int]] = field(default_factory=dict)


def mb_per_s(nbytes: int, seconds: float) -> str:
    return f"{nbytes / 1e6 / seconds:8.1f}" if seconds > 0 else "       -"


def seconds(t: float) -> str:
    return f"{t * 1000:.1f} ms" if t < 1.0 else f"{t:.2f} s"


def mib(n: int) -> str:
    return f"{n / (1 << 20):.2f} MiB" if n >= 1 << 20 else f"{n / 1024:.1f} KiB"


# --------------------------------------------------------------------------
# The demo
# --------------------------------------------------------------------------

VARIANTS: List[Tuple[str, str, Dict[str, Any]]] = [
    ("lossless", "lossless", {"lossless": True}),
    ("lossless, progressive", "lossless_progressive", {"lossless": True, "progressive": True}),
    ("quality 95", "q95", {"quality": 95}),
    ("quality 90", "q90", {"quality": 90}),
    ("quality 90, progressive", "q90_progressive", {"quality": 90, "progressive": True}),
    ("quality 75", "q75", {"quality": 75}),
    ("quality 50", "q50", {"quality": 50}),
]


def run(
    width: int,
    height: int,
    out_dir: str,
    *,
    image: Optional[np.ndarray] = None,
    numthreads: Optional[int] = None,
    frames: int = 12,
    log: Callable[[str], None] = print,
) -> Result:
    """Run every step of the demo; returns the measurements."""
    os.makedirs(out_dir, exist_ok=True)
    if image is None:
        photo = make_photo(height, width)
        img = to_uint8(photo)
    else:
        photo = None
        img = np.ascontiguousarray(image)
        height, width = img.shape[:2]
    channels = 1 if img.ndim == 2 else img.shape[2]
    res = Result(width, height, channels, out_dir, image=img)
    pixels = width * height

    def save(name: str, data: bytes) -> str:
        path = os.path.join(out_dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    # 1. Stills: every variant encoded from memory, decoded back from memory.
    decoded: Dict[str, np.ndarray] = {}
    encoded: Dict[str, bytes] = {}
    for label, slug, opts in VARIANTS:
        log(f"  encoding {label} ...")
        data, t_enc = timed(lambda: jxl.encode(img, numthreads=numthreads, **opts))
        back, t_dec = timed(lambda: jxl.decode(data, numthreads=numthreads))
        path = save(f"{slug}.jxl", data)
        encoded[slug], decoded[slug] = data, back
        res.rows.append(
            Row(
                name=label,
                size=len(data),
                pixels=pixels,
                raw_bytes=img.nbytes,
                encode_s=t_enc,
                decode_s=t_dec,
                max_err=max_error(img, back),
                psnr_db=psnr(img, back, 255.0),
                lossless=bool(opts.get("lossless")),
                path=path,
            )
        )

    # 2. An animation: a camera panning across the scene.
    # A quarter of the image, at least 16 pixels, at most all of it.
    fw, fh = min(max(width // 4, 16), width), min(max(height // 4, 16), height)
    steps = max(frames - 1, 1)
    pan = [
        img[
            (i * (height - fh)) // (2 * steps) : (i * (height - fh)) // (2 * steps) + fh,
            (i * (width - fw)) // steps : (i * (width - fw)) // steps + fw,
        ]
        for i in range(frames)
    ]
    stack = np.ascontiguousarray(np.stack(pan))
    log(f"  encoding a {frames}-frame animation ...")
    anim, t_enc = timed(
        lambda: jxl.encode(stack, animation=True, quality=90, numthreads=numthreads)
    )
    anim_path = save("animation_q90.jxl", anim)
    whole, t_whole = timed(lambda: jxl.decode(anim_path, numthreads=numthreads))
    k = frames - 1
    one, t_one = timed(lambda: jxl.decode(anim, index=k, numthreads=numthreads))
    first, t_first = timed(lambda: jxl.decode(anim, index=0, numthreads=numthreads))
    n, t_count = timed(lambda: jxl.frame_count(anim))
    res.rows.append(
        Row(
            name=f"animation, {frames} frames q90",
            size=len(anim),
            pixels=fw * fh * frames,
            raw_bytes=stack.nbytes,
            encode_s=t_enc,
            decode_s=t_whole,
            max_err=max_error(stack, whole),
            psnr_db=psnr(stack, whole, 255.0),
            lossless=False,
            path=anim_path,
        )
    )
    res.checks["animation shape"] = whole.shape == stack.shape
    res.checks["frame by index"] = bool(np.array_equal(one, whole[k]))
    res.checks["frame_count"] = n == frames
    res.features.append(
        (
            f"whole animation, from its file",
            f"{'x'.join(map(str, whole.shape))} {whole.dtype}",
            seconds(t_whole),
        )
    )
    res.features.append(
        (
            f"frame {k} alone (index={k})",
            "same pixels as in the whole decode"
            if res.checks["frame by index"]
            else "DIFFERS from the whole decode",
            f"{seconds(t_one)} (frame 0: {seconds(t_first)})",
        )
    )
    res.features.append(("frame_count, no pixels decoded", f"{n} frames", seconds(t_count)))

    # 3. Streaming: a 16-bit lossless master, big enough to be read in chunks
    #    by a background thread while libjxl decodes.
    src16 = to_uint16(photo) if photo is not None else img.astype(np.uint16) * 257
    log("  encoding a 16-bit lossless master (effort 1) ...")
    data16, t_enc16 = timed(
        lambda: jxl.encode(src16, lossless=True, effort=1, numthreads=numthreads)
    )
    path16 = save("master_16bit_lossless.jxl", data16)
    streamed, t_stream = timed(lambda: jxl.decode(path16, streaming=True, numthreads=numthreads))
    inmem, t_mem = timed(lambda: jxl.decode(data16, numthreads=numthreads))
    exact16 = bool(np.array_equal(streamed, src16)) and bool(np.array_equal(inmem, src16))
    res.checks["16-bit master exact"] = exact16
    res.checks["lossless stills exact"] = all(r.exact for r in res.rows if r.lossless)
    res.rows.append(
        Row(
            name="16-bit lossless, effort 1",
            size=len(data16),
            pixels=pixels,
            raw_bytes=src16.nbytes,
            encode_s=t_enc16,
            decode_s=t_mem,
            max_err=max_error(src16, inmem),
            psnr_db=psnr(src16, inmem, 65535.0),
            lossless=True,
            path=path16,
        )
    )
    how = (
        f"streamed: {mib(len(data16))} > 4 MiB, read in 4 MiB chunks"
        if len(data16) > STREAM_THRESHOLD
        else f"{mib(len(data16))} is below 4 MiB, so read whole"
    )
    res.features.append(
        (
            "16-bit master from file, streaming=True",
            f"{how}; {'exact' if exact16 else 'NOT exact'}",
            f"{seconds(t_stream)} (from memory {seconds(t_mem)})",
        )
    )

    # 4. Progressive: 1:8 previews (downsample=8) and the DC prefix.
    #    Previews keep the centre pixel of each 8x8 block (nearest the block's
    #    average). Whether one came from an early pass or from the finished
    #    frame shows in its pixels: the latter equals those pixels of a full decode.
    want = (math.ceil(height / 8), math.ceil(width / 8))
    thumbs: Dict[str, np.ndarray] = {}
    for slug, label in (
        ("q90_progressive", "progressive q90"),
        ("q90", "non-progressive q90"),
        ("lossless_progressive", "progressive lossless"),
    ):
        data = encoded[slug]
        thumb, t_thumb = timed(
            lambda: jxl.decode(data, downsample=8, subsample="center", numthreads=numthreads)
        )
        full, t_full = timed(lambda: jxl.decode(data, numthreads=numthreads))
        thumbs[slug] = thumb
        res.checks[f"1:8 shape, {label}"] = thumb.shape[:2] == want
        centres = full[4::8, 4::8]
        source = (
            "the centre pixels of the full frame"
            if np.array_equal(thumb[: centres.shape[0], : centres.shape[1]], centres)
            else "rendered from an early pass"
        )
        res.features.append(
            (
                f"downsample=8, {label}",
                f"{thumb.shape[1]}x{thumb.shape[0]}, {source}",
                f"{seconds(t_thumb)} (full decode {seconds(t_full)})",
            )
        )
    for slug, label in (
        ("q90_progressive", "progressive q90"),
        ("q90", "non-progressive q90"),
        ("lossless_progressive", "progressive lossless"),
        ("lossless", "lossless"),
    ):
        data = encoded[slug]
        prefix, t_prefix = timed(lambda: jxl.thumbnail_bytes(data))
        text = (
            "None: no DC pass before the full frame"
            if prefix is None
            else f"{len(prefix)} bytes = {100.0 * len(prefix) / len(data):.1f}% of the file"
        )
        res.features.append((f"DC prefix (thumbnail_bytes), {label}", text, seconds(t_prefix)))
        res.dc_prefix[slug] = None if prefix is None else len(prefix)
        if prefix is not None:
            res.checks[f"DC prefix is a prefix, {label}"] = (
                data.startswith(prefix) and len(prefix) < len(data)
            )
    thumb = thumbs["q90_progressive"]

    # A JPEG of the image recompressed losslessly, and the JPEG rebuilt from it.
    try:
        from PIL import Image
    except ImportError:
        res.features.append(("JPEG recompression", "skipped (needs Pillow)", "-"))
    else:
        colour = img if img.ndim == 2 or channels == 3 else img[..., : 1 if channels == 2 else 3]
        buf = io.BytesIO()
        Image.fromarray(np.ascontiguousarray(colour).squeeze()).save(buf, "JPEG", quality=90)
        jpeg = buf.getvalue()
        small, t_tc = timed(lambda: jxl.transcode_jpeg(jpeg, numthreads=numthreads))
        rebuilt, t_rc = timed(lambda: jxl.reconstruct_jpeg(small, numthreads=numthreads))
        save("photo_q90.jpg", jpeg)
        save("photo_q90_recompressed.jxl", small)
        res.checks["JPEG rebuilt bit for bit"] = rebuilt == jpeg
        res.features.append(("JPEG q90 recompressed losslessly (transcode_jpeg)",
                             f"{mib(len(jpeg))} -> {mib(len(small))} "
                             f"({100.0 * len(small) / len(jpeg):.1f}% of the JPEG)", seconds(t_tc)))
        res.features.append(("the JPEG rebuilt from it (reconstruct_jpeg)",
                             "bit-exact" if rebuilt == jpeg else "DIFFERS", seconds(t_rc)))

    # 5. Previews a person can open.
    res.previews = write_previews(
        out_dir,
        {
            "original.png": img,
            "decoded_q90.png": decoded["q90"],
            "decoded_q50.png": decoded["q50"],
            "thumbnail_1to8.png": thumb,
            f"animation_frame{k}.png": one,
        },
        log,
    )
    if res.previews and res.previews[0].endswith(".png"):
        res.images = {"thumbnail": res.previews[3], "frame": res.previews[4],
                      "full": res.previews[1], "original": res.previews[0]}
    return res


def write_previews(out_dir: str, images: Dict[str, np.ndarray], log: Callable[[str], None]) -> List[str]:
    try:
        from PIL import Image
    except ImportError:
        log("  Pillow is not installed: previews written as .npy (pip install pillow for PNG)")
        paths = []
        for name, arr in images.items():
            path = os.path.join(out_dir, os.path.splitext(name)[0] + ".npy")
            np.save(path, arr)
            paths.append(path)
        return paths
    paths = []
    for name, arr in images.items():
        path = os.path.join(out_dir, name)
        Image.fromarray(arr).save(path, compress_level=1)
        paths.append(path)
    return paths


def report(res: Result, out: Callable[[str], None] = print) -> None:
    out("")
    out(f"Stills and animation ({res.width}x{res.height}, {res.channels} channels; "
        "sizes against the raw samples):")
    head = (
        f"{'variant':<28} {'size':>10} {'bpp':>7} {'vs raw':>7}  {'reconstruction':<30}"
        f" {'encode':>9} {'decode':>9} {'enc MB/s':>8} {'dec MB/s':>8}"
    )
    out(head)
    out("-" * len(head))
    for r in res.rows:
        out(
            f"{r.name:<28} {mib(r.size):>10} {r.bpp:7.3f} {r.raw_bytes / r.size:6.1f}x  "
            f"{r.quality_text():<30} {seconds(r.encode_s):>9} {seconds(r.decode_s):>9} "
            f"{mb_per_s(r.raw_bytes, r.encode_s)} {mb_per_s(r.raw_bytes, r.decode_s)}"
        )
    out("")
    out("Decoding features:")
    w1 = max(len(f[0]) for f in res.features)
    w2 = max(len(f[1]) for f in res.features)
    for what, result, took in res.features:
        out(f"  {what:<{w1}}  {result:<{w2}}  {took}")
    out("")
    bad = [name for name, ok in res.checks.items() if not ok]
    out("Checks: " + ("all passed" if not bad else "FAILED: " + ", ".join(bad)))
    out(f"Files in {res.out_dir}/: the .jxl streams and PNG previews:")
    for p in res.previews:
        out(f"  {p}")


def _size_arg(text: str) -> Tuple[int, int]:
    try:
        if "x" in text.lower():
            w, h = (int(v) for v in text.lower().split("x", 1))
        else:
            w = int(text)
            h = (w * 3) // 4
    except ValueError:
        raise argparse.ArgumentTypeError(f"size must be WIDTH or WIDTHxHEIGHT, got {text!r}")
    if w < 32 or h < 32:
        raise argparse.ArgumentTypeError(f"size must be at least 32x32, got {w}x{h}")
    return w, h


def run_comparison(
    img: np.ndarray,
    out_dir: str,
    *,
    quick: bool = False,
    numthreads: Optional[int] = None,
    metric: Optional[metrics.Metric] = None,
    log: Callable[[str], None] = print,
) -> Optional[compare.Comparison]:
    """JPEG XL against the formats Pillow writes; None without Pillow."""
    fmts, notes = formats.all_formats(numthreads)
    if len(fmts) == 1:
        for note in notes:
            log(f"  {note}")
        return None
    rgb, change = formats.comparable_rgb(img)
    if change:
        notes.insert(0, f"the comparison uses the image's colour channels: {change}")
    if metric is None:
        metric = (metrics.best_metric() if min(rgb.shape[:2]) >= 8  # ssimulacra2's minimum
                  else metrics.psnr_metric("the image is smaller than 8x8 pixels"))
    cmp = compare.compare(rgb, fmts, metric, out_dir, quick=quick, notes=notes, log=log)
    compare.target_points(cmp, rgb, out_dir, numthreads=numthreads, log=log)
    return cmp


def report_comparison(cmp: compare.Comparison, out: Callable[[str], None] = print) -> None:
    out("")
    out(f"JPEG XL against JPEG, WebP and AVIF ({cmp.width}x{cmp.height}; "
        f"quality measured with {cmp.metric.name}):")
    head = (f"{'format':<8} {'setting':<14} {'size':>10} {'bpp':>7} {cmp.metric.name:>13} "
            f"{'PSNR dB':>8} {'encode':>9} {'decode':>9}")
    out(head)
    out("-" * len(head))
    for name, pts in cmp.by_format().items():
        for p in pts:
            out(f"{name:<8} {p.setting_text:<14} {mib(p.size):>10} {p.bpp:7.3f} "
                f"{p.score:13.2f} {p.psnr_db:8.2f} {seconds(p.encode_s):>9} "
                f"{seconds(p.decode_s):>9}")
    out(f"Crops at about the size of {cmp.target_text} ({mib(cmp.target_size)}):")
    for crop in cmp.crops:
        if crop.point is not None:
            p = crop.point
            out(f"  {crop.format:<8} {p.setting_text:<14} {mib(p.size):>10} "
                f"{cmp.metric.name} {p.score:6.2f}")
    if cmp.targets:
        out("JPEG XL encoded to a target (target_score, target_size):")
        for t in cmp.targets:
            p = t.point
            out(f"  {t.label:<36} {p.setting_text:<15} {mib(p.size):>10} "
                f"{cmp.metric.name} {p.score:6.2f}  {t.encodes} trial encodes, "
                f"{seconds(p.encode_s)}")
    for note in cmp.notes:
        out(f"Note: {note}")


def write_report(
    res: Result,
    cmp: Optional[compare.Comparison],
    out_dir: str,
    source: str,
    log: Callable[[str], None] = print,
    extra: Sequence[page.Section] = (),
) -> str:
    """Charts and the HTML report; returns the page's path.

    `extra` sections (built by other parts of the demo) go after the JPEG XL ones.
    """
    parts: List[page.Section] = []
    if cmp is not None:
        title = f"{source}, {cmp.width}x{cmp.height}"
        chart: Optional[str] = None
        speed: Optional[str] = None
        try:
            chart = charts.rate_quality_chart(
                cmp, os.path.join(out_dir, "rate_quality.png"), f"Size against quality: {title}")
            speed = charts.speed_chart(
                cmp, os.path.join(out_dir, "speed.png"), f"Speed: {title}")
        except ImportError:
            log("  matplotlib is not installed: no charts (pip install 'quillmarsh[demo]')")
        if chart:
            parts.append(sections.rate_quality(cmp, out_dir, chart, speed))
        parts += [sections.same_size(cmp, out_dir), sections.points_table(cmp)]
    parts.append(sections.jxl_modes(res))
    if res.images:
        parts.append(sections.previews(res, out_dir, res.images))
    parts.extend(extra)
    parts.append(sections.files(out_dir, [r.path for r in res.rows] + res.previews))
    intro = (f"<p>quillmarsh's JPEG XL codec (libjxl {page.esc(jxl.libjxl_version())}) on "
             f"{page.esc(source)}, on a machine with {os.cpu_count()} cores. Times are single "
             "or best-of-a-few runs, not a benchmark. Made by <code>bash run.sh demo</code>.</p>")
    return page.write_page(os.path.join(out_dir, "index.html"),
                           "quillmarsh JPEG XL demo", intro, parts)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="demo.py",
        description="quillmarsh's JPEG XL codec at work on a generated photograph "
        "(or on IMAGE): compared with JPEG, WebP and AVIF; encode, decode, stream, "
        "thumbnail, animate; an HTML report in the output directory.",
    )
    parser.add_argument("image", nargs="?", help="an image to use instead (read with Pillow)")
    parser.add_argument("--size", type=_size_arg, default=(2048, 1536), metavar="WxH",
                        help="size of the generated image (default 2048x1536; W alone gives 4:3)")
    parser.add_argument("--out", default="demo-out", help="output directory (default demo-out)")
    parser.add_argument("--threads", type=int, default=None,
                        help="libjxl worker threads (default: all cores)")
    parser.add_argument("--quick", action="store_true",
                        help="three settings per format instead of five")
    args = parser.parse_args(argv)

    image = None
    if args.image:
        try:
            image = load_image(args.image)
        except ImportError:
            print("demo: reading an image needs Pillow (pip install pillow)", file=sys.stderr)
            return 1
        except OSError as exc:
            print(f"demo: cannot read {args.image}: {exc}", file=sys.stderr)
            return 1
    w, h = args.size
    source = (os.path.basename(args.image) if image is not None
              else "a generated photograph")
    print(f"quillmarsh JPEG XL demo: libjxl {jxl.libjxl_version()}, {os.cpu_count()} cores, "
          f"image: {args.image if image is not None else f'a generated {w}x{h} photograph'}")
    t0 = time.perf_counter()
    res = run(w, h, args.out, image=image, numthreads=args.threads)
    print("  comparing with the formats Pillow writes ...")
    cmp = run_comparison(res.image, args.out, quick=args.quick, numthreads=args.threads)
    report(res)
    if cmp is not None:
        report_comparison(cmp)
    index = write_report(res, cmp, args.out, source)
    print(f"\nReport: {index} (open it in a browser; it needs no network)")
    print(f"Done in {time.perf_counter() - t0:.1f} s (timed runs on this machine, not a benchmark).")
    return 0 if all(res.checks.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
