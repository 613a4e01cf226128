"""JPEG XL against JPEG, WebP and AVIF on one image: a sweep of settings per
format (size, time, PSNR, perceptual score) and crops of one region at about
the same file size."""

from __future__ import annotations

import os
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

import numpy as np

from .formats import Format, interpolate_setting
from .metrics import Metric, psnr

T = TypeVar("T")


@dataclass
class Point:
    """One format at one setting, encoded and decoded once."""

    format: str
    setting: float
    setting_text: str
    size: int
    pixels: int
    encode_s: float
    decode_s: float
    psnr_db: float
    path: str
    score: float = float("nan")

    @property
    def bpp(self) -> float:
        return 8.0 * self.size / self.pixels

    @property
    def mpx_per_s_encode(self) -> float:
        return self.pixels / 1e6 / self.encode_s if self.encode_s > 0 else float("inf")

    @property
    def mpx_per_s_decode(self) -> float:
        return self.pixels / 1e6 / self.decode_s if self.decode_s > 0 else float("inf")


@dataclass
class Crop:
    """A region of one format's decode at the matched size."""

    format: str
    point: Optional[Point]   # None for the original
    path: str


@dataclass
class TargetPoint:
    """JPEG XL encoded to the score or the size of a reference point."""

    label: str               # "at the score of JPEG quality 75"
    point: Point
    encodes: int             # trial encodes the search made
    reported_score: Optional[float]  # the writer's own score (None for a size target)


@dataclass
class Comparison:
    width: int
    height: int
    metric: Metric
    formats: List[Format]
    notes: List[str]
    points: List[Point] = field(default_factory=list)
    target_size: int = 0
    target_text: str = ""
    region: Tuple[int, int, int, int] = (0, 0, 0, 0)  # y, x, h, w
    crops: List[Crop] = field(default_factory=list)
    targets: List[TargetPoint] = field(default_factory=list)

    def by_format(self) -> Dict[str, List[Point]]:
        out: Dict[str, List[Point]] = {f.name: [] for f in self.formats}
        for p in self.points:
            out.setdefault(p.format, []).append(p)
        for pts in out.values():
            pts.sort(key=lambda p: p.size)
        return out


def _save(path: str, data: bytes) -> str:
    with open(path, "wb") as f:
        f.write(data)
    return path


def _fastest(fn: Callable[[], T], budget: float) -> Tuple[T, float]:
    """fn's result and its fastest time: repeated while the runs so far took
    less than `budget` seconds (at most 5 runs), so that fast codecs are not
    timed by one scheduler hiccup on a busy machine. Slow ones run once."""
    best, spent, result = float("inf"), 0.0, None
    for _ in range(5):
        t0 = time.perf_counter()
        result = fn()
        took = time.perf_counter() - t0
        best, spent = min(best, took), spent + took
        if spent >= budget:
            break
    return result, best  # type: ignore[return-value]


def _measure(fmt: Format, img: np.ndarray, setting: float, path: str,
             budget: float = 0.3) -> Tuple[Point, np.ndarray, bytes]:
    """Encode and decode; `path` is where the caller will keep the file."""
    data, t_enc = _fastest(lambda: fmt.encode(img, setting), budget)
    back, t_dec = _fastest(lambda: fmt.decode(data), budget)
    if back.shape != img.shape:
        raise RuntimeError(f"{fmt.name} decoded {back.shape}, expected {img.shape}")
    pixels = img.shape[0] * img.shape[1]
    point = Point(fmt.name, setting, fmt.setting_text(setting), len(data), pixels,
                  t_enc, t_dec, psnr(img, back, 255.0), path)
    return point, back, data


def detail_region(img: np.ndarray, h: int, w: int) -> Tuple[int, int, int, int]:
    """The h x w window (on a 16-pixel grid) with the most fine detail.

    That is where lossy codecs differ most: smooth sky looks the same in all.
    """
    H, W = img.shape[:2]
    h, w = min(h, H), min(w, W)
    grey = img.astype(np.float32).mean(axis=2) if img.ndim == 3 else img.astype(np.float32)
    energy = np.zeros((H, W), np.float64)
    energy[:, 1:] += np.abs(np.diff(grey, axis=1))
    energy[1:, :] += np.abs(np.diff(grey, axis=0))
    integral = np.pad(energy.cumsum(0).cumsum(1), ((1, 0), (1, 0)))
    ys = np.arange(0, H - h + 1, 16)
    xs = np.arange(0, W - w + 1, 16)
    sums = (integral[ys[:, None] + h, xs[None, :] + w] - integral[ys[:, None], xs[None, :] + w]
            - integral[ys[:, None] + h, xs[None, :]] + integral[ys[:, None], xs[None, :]])
    iy, ix = np.unravel_index(int(np.argmax(sums)), sums.shape)
    return int(ys[iy]), int(xs[ix]), h, w


def compare(
    img: np.ndarray,
    formats: Sequence[Format],
    metric: Metric,
    out_dir: str,
    *,
    quick: bool = False,
    notes: Sequence[str] = (),
    crop: Tuple[int, int] = (192, 256),
    log: Callable[[str], None] = print,
) -> Comparison:
    """Sweep every format, score every decode, and cut same-size crops."""
    from PIL import Image

    os.makedirs(os.path.join(out_dir, "compare"), exist_ok=True)
    sub = os.path.join(out_dir, "compare")
    cmp = Comparison(img.shape[1], img.shape[0], metric, list(formats), list(notes))
    decoded: List[np.ndarray] = []
    for fmt in formats:
        settings = fmt.quick if quick else fmt.sweep
        log(f"  {fmt.name}: {', '.join(fmt.setting_text(s) for s in settings)} ...")
        for s in settings:
            point, back, data = _measure(fmt, img, s, os.path.join(sub, f"{fmt.slug}_{s:g}.{fmt.ext}"))
            _save(point.path, data)
            cmp.points.append(point)
            decoded.append(back)

    # About the same file size for every format: the size of the middle JPEG
    # setting (Pillow's default quality, 75) when JPEG is there, else of JPEG
    # XL at distance 2. Each format's setting for it is interpolated from its
    # sweep, then corrected once from the size it actually gave.
    sizes = {(p.format, p.setting): p.size for p in cmp.points}
    if ("JPEG", 75.0) in sizes:
        cmp.target_size, cmp.target_text = sizes[("JPEG", 75.0)], "JPEG quality 75"
    else:
        ref = formats[0]
        point = _measure(ref, img, 2.0, "", budget=0.0)[0]
        cmp.target_size, cmp.target_text = point.size, f"{ref.name} {ref.setting_text(2.0)}"
    y, x, h, w = cmp.region = detail_region(img, *crop)
    matched: List[Tuple[Point, np.ndarray]] = []
    for fmt in formats:
        pts = [(p.setting, p.size) for p in cmp.points if p.format == fmt.name]
        setting = interpolate_setting(pts, cmp.target_size, fmt)
        path = os.path.join(sub, f"{fmt.slug}_matched.{fmt.ext}")
        best: Optional[Tuple[Point, np.ndarray, bytes]] = None
        tried: Dict[float, int] = {}
        for attempt in range(3):
            # Corrections cost a whole encode: a second try always, a third
            # only for formats that encode this image in under a second.
            if setting in tried or (attempt == 2 and best is not None
                                    and best[0].encode_s > 1.0):
                break
            this = _measure(fmt, img, setting, path, budget=0.0)
            tried[setting] = this[0].size
            if best is None or (abs(this[0].size - cmp.target_size)
                                < abs(best[0].size - cmp.target_size)):
                best = this
            if abs(this[0].size / cmp.target_size - 1.0) <= 0.05:
                break
            setting = interpolate_setting(pts + list(tried.items()), cmp.target_size, fmt)
        assert best is not None
        _save(path, best[2])
        matched.append((best[0], best[1]))

    log(f"  scoring {len(decoded) + len(matched)} decodes with {metric.name} ...")
    scores = metric.score(img, decoded + [back for _, back in matched])
    for point, score in zip(cmp.points + [p for p, _ in matched], scores):
        point.score = score

    original = os.path.join(sub, "crop_original.png")
    Image.fromarray(img[y:y + h, x:x + w]).save(original)
    cmp.crops.append(Crop("original", None, original))
    for fmt, (point, back) in zip(formats, matched):
        path = os.path.join(sub, f"crop_{fmt.slug}.png")
        Image.fromarray(back[y:y + h, x:x + w]).save(path)
        cmp.crops.append(Crop(fmt.name, point, path))
    return cmp


def target_points(cmp: Comparison, img: np.ndarray, out_dir: str, *, effort: int = 7,
                  numthreads: Optional[int] = None, reference: Tuple[str, float] = ("JPEG", 75.0),
                  log: Callable[[str], None] = print) -> None:
    """JPEG XL encoded with target_score at the reference point's score and
    with target_size at its size, scored like every other point."""
    from quillmarsh.codecs import jxl

    ref = next((p for p in cmp.points if (p.format, p.setting) == reference), None)
    if ref is None or not cmp.metric.perceptual or not 0 <= ref.score <= 100:
        cmp.notes.append(f"no JPEG XL points at the score and size of {reference[0]} "
                         f"{reference[1]:g}: " + ("that point is missing" if ref is None else
                                                  "they need the SSIMULACRA 2 score"))
        return
    sub = os.path.join(out_dir, "compare")
    goals = [(f"at the score of {ref.format} {ref.setting_text}", "score", ref.score),
             (f"at the size of {ref.format} {ref.setting_text}", "size", ref.size)]
    log(f"  JPEG XL to the score ({ref.score:.2f}) and the size ({ref.size} bytes) of "
        f"{ref.format} {ref.setting_text} ...")
    decoded: List[np.ndarray] = []
    for label, kind, goal in goals:
        writer = jxl.JxlWriter(effort=effort, numthreads=numthreads, **{f"target_{kind}": goal})
        t0 = time.perf_counter()
        writer.write_frame(img)
        data = writer.close()
        took = time.perf_counter() - t0
        assert data is not None
        r = writer.target_result
        back, t_dec = _fastest(lambda: jxl.decode(data, numthreads=numthreads), 0.3)
        path = _save(os.path.join(sub, f"jxl_target_{kind}.jxl"), data)
        point = Point("JPEG XL", r.distance, f"distance {r.distance:.3g}", len(data),
                      img.shape[0] * img.shape[1], took, t_dec, psnr(img, back, 255.0), path)
        cmp.targets.append(TargetPoint(label, point, r.encodes + r.sample_encodes, r.score))
        decoded.append(back)
    for t, score in zip(cmp.targets, cmp.metric.score(img, decoded)):
        t.point.score = score
