"""Deterministic test images that look enough like photographs for a codec."""

from __future__ import annotations

import numpy as np

_MAX = {np.uint8: 255, np.uint16: 65535}


def synthetic(h: int, w: int, c: int = 3, dtype=np.uint8, seed: int = 0) -> np.ndarray:
    """A (h, w) image for c == 1, else (h, w, c): smooth structure plus noise.

    Colour channels get gradients, soft blobs and texture; an alpha channel
    (c == 2 or 4) is a smooth ramp, so lossy alpha stays well behaved.
    """
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    yy /= max(h - 1, 1)
    xx /= max(w - 1, 1)
    planes = []
    ncolor = 1 if c in (1, 2) else 3
    for i in range(ncolor):
        f1, f2 = 2.0 + 1.5 * i, 3.0 + 0.7 * i
        p = 0.45 + 0.25 * np.sin(2 * np.pi * (f1 * xx + 0.3 * i)) * np.cos(2 * np.pi * f2 * yy)
        p += 0.2 * (xx * (i + 1) % 1.0) - 0.1
        cx, cy = rng.uniform(0.2, 0.8, 2)
        p += 0.25 * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / 0.02)
        p += rng.normal(0.0, 0.02, size=(h, w)).astype(np.float32)
        planes.append(p)
    if c in (2, 4):
        planes.append(0.2 + 0.75 * xx * (1 - 0.5 * yy))
    img = np.clip(np.stack(planes, axis=-1), 0.0, 1.0)
    dt = np.dtype(dtype)
    if dt.kind == "u":
        img = np.round(img * _MAX[dt.type]).astype(dt)
    else:
        img = img.astype(dt)
    return img[..., 0] if c == 1 else img


def psnr(a: np.ndarray, b: np.ndarray, peak: float) -> float:
    err = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if err == 0 else 10 * np.log10(peak * peak / err)
