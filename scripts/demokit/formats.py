"""The image formats the demo compares, each behind the same small interface.

JPEG XL goes through quillmarsh's codec; JPEG (libjpeg-turbo), WebP and AVIF
through Pillow, with the settings a photographer's export would use.
"""

from __future__ import annotations

import io
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np

from quillmarsh.codecs import jxl


@dataclass(frozen=True)
class Format:
    """One lossy format: how to encode at a setting, how to decode."""

    name: str                  # "JPEG XL"
    slug: str                  # file-name part: "jxl"
    ext: str                   # file extension
    param: str                 # what the setting is: "distance" or "quality"
    sweep: Tuple[float, ...]   # settings of the full run, best quality first
    quick: Tuple[float, ...]   # settings of a --quick run
    lo: float                  # valid range of the setting
    hi: float
    higher_is_better: bool     # True for quality, False for distance
    settings_text: str         # what else is fixed, for the report
    version: str
    encode: Callable[[np.ndarray, float], bytes]
    decode: Callable[[bytes], np.ndarray]

    def setting_text(self, value: float) -> str:
        if self.param == "distance":
            return f"distance {value:g}"
        return f"quality {int(value)}"

    def clamp(self, value: float) -> float:
        value = min(max(value, self.lo), self.hi)
        return round(value, 2) if self.param == "distance" else float(round(value))


def _pillow_decode(data: bytes) -> np.ndarray:
    from PIL import Image

    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im.convert("RGB"))


def _pillow_encoder(fmt: str, **fixed: object) -> Callable[[np.ndarray, float], bytes]:
    def encode(img: np.ndarray, quality: float) -> bytes:
        from PIL import Image

        buf = io.BytesIO()
        Image.fromarray(img).save(buf, fmt, quality=int(quality), **fixed)
        return buf.getvalue()

    return encode


def jxl_format(numthreads: Optional[int] = None, effort: int = 7) -> Format:
    return Format(
        name="JPEG XL", slug="jxl", ext="jxl", param="distance",
        sweep=(0.5, 1.0, 2.0, 3.0, 5.0), quick=(1.0, 2.5, 5.0), lo=0.1, hi=15.0,
        higher_is_better=False,
        settings_text=f"quillmarsh.codecs.jxl.encode(distance=d, effort={effort}), "
        f"{'all cores' if numthreads is None else f'{numthreads} threads'}",
        version=f"libjxl {jxl.libjxl_version()}",
        encode=lambda img, d: jxl.encode(img, distance=float(d), effort=effort,
                                         numthreads=numthreads),
        decode=lambda data: jxl.decode(data, numthreads=numthreads),
    )


def pillow_formats() -> Tuple[List[Format], List[str]]:
    """The Pillow formats this Pillow can write, and a note for each one it cannot."""
    try:
        import PIL
        from PIL import features
    except ImportError:
        return [], ["Pillow is not installed: JPEG, WebP and AVIF are left out "
                    "(pip install 'quillmarsh[demo]')"]
    out: List[Format] = []
    notes: List[str] = []
    candidates = [
        ("jpg", "JPEG", "JPEG", "jpg", (95, 85, 75, 60, 40), (90, 75, 50),
         "Pillow, libjpeg-turbo, 4:2:0 chroma, optimized Huffman tables",
         {"optimize": True}),
        ("webp", "WebP", "WEBP", "webp", (95, 85, 75, 60, 40), (90, 70, 50),
         "Pillow, libwebp, lossy, method 4 (the default)", {"method": 4}),
        ("avif", "AVIF", "AVIF", "avif", (90, 80, 65, 50, 30), (85, 65, 40),
         "Pillow, libavif, 4:2:0 chroma, speed 6 (the default), all cores", {"speed": 6}),
    ]
    for feature, name, pil_name, ext, sweep, quick, text, fixed in candidates:
        if not features.check(feature):
            notes.append(f"this Pillow ({PIL.__version__}) cannot write {name}: left out")
            continue
        version = features.version(feature) or "?"
        out.append(Format(
            name=name, slug=ext, ext=ext, param="quality", sweep=sweep, quick=quick,
            lo=1, hi=100, higher_is_better=True, settings_text=text,
            version=f"Pillow {PIL.__version__}, {feature} {version}",
            encode=_pillow_encoder(pil_name, **fixed), decode=_pillow_decode,
        ))
    return out, notes


def all_formats(numthreads: Optional[int] = None) -> Tuple[List[Format], List[str]]:
    others, notes = pillow_formats()
    return [jxl_format(numthreads)] + others, notes


def comparable_rgb(img: np.ndarray) -> Tuple[np.ndarray, Optional[str]]:
    """The 8-bit RGB image every format can take, and what was changed to get it."""
    if img.dtype != np.uint8:
        raise ValueError(f"the comparison needs 8-bit samples, got {img.dtype}")
    if img.ndim == 2:
        return np.ascontiguousarray(np.repeat(img[..., None], 3, axis=2)), "grey shown as RGB"
    channels = img.shape[2]
    if channels == 3:
        return np.ascontiguousarray(img), None
    if channels == 4:
        return np.ascontiguousarray(img[..., :3]), "alpha left out (JPEG has none)"
    if channels in (1, 2):
        return np.ascontiguousarray(np.repeat(img[..., :1], 3, axis=2)), "grey shown as RGB"
    raise ValueError(f"cannot compare a {channels}-channel image")


def interpolate_setting(points: Sequence[Tuple[float, int]], target: int, fmt: Format) -> float:
    """The setting expected to give `target` bytes, from (setting, size) points.

    Sizes grow roughly exponentially with quality and fall with log distance,
    so interpolate in log size (and log distance); outside the measured range
    the nearest segment is extended.
    """
    if not points:
        raise ValueError("no points to interpolate")
    pts = sorted(points, key=lambda p: p[1])
    if len(pts) == 1:
        return fmt.clamp(pts[0][0])
    logs = np.log([max(p[1], 1) for p in pts])
    xs = np.array([np.log(p[0]) if fmt.param == "distance" else p[0] for p in pts])
    t = np.log(max(target, 1))
    i = int(np.clip(np.searchsorted(logs, t), 1, len(pts) - 1))
    l0, l1, x0, x1 = logs[i - 1], logs[i], xs[i - 1], xs[i]
    x = x0 if l1 == l0 else x0 + (x1 - x0) * (t - l0) / (l1 - l0)
    return fmt.clamp(float(np.exp(x)) if fmt.param == "distance" else float(x))
