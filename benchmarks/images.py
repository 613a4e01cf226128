"""Deterministic photograph-like test images for the benchmarks.

Random noise alone compresses unrealistically badly, flat gradients
unrealistically well; these images mix smooth structure (gradients, soft
blobs, sawtooth edges), fine oriented texture and a little sensor noise.
They are generated in bands of rows so that large images (tens of
megapixels) need little more memory than the result itself.
"""

from __future__ import annotations

import numpy as np

_BAND = 256
_MAX = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0}


def photo(h: int, w: int, c: int = 3, dtype=np.uint8, seed: int = 0,
          out: "np.ndarray | None" = None) -> np.ndarray:
    """A (h, w, c) image (c = 3 or 4; 4 adds a smooth alpha ramp), written
    into `out` when given (e.g. a memory map larger than memory)."""
    dt = np.dtype(dtype)
    if dt not in _MAX:
        raise ValueError(f"unsupported dtype {dt}")
    if c not in (3, 4):
        raise ValueError(f"c must be 3 or 4, got {c}")
    rng = np.random.default_rng(seed)
    # Scene parameters, fixed by the seed.
    blobs = [(*rng.uniform(0.1, 0.9, 2), rng.uniform(0.005, 0.04), rng.uniform(-0.3, 0.3, 3))
             for _ in range(5)]
    waves = [(rng.uniform(1.5, 4.0), rng.uniform(1.0, 3.5), rng.uniform(0, 1)) for _ in range(3)]
    # Texture: oriented waves with periods of 5 to 14 pixels, fixed in pixels,
    # so a large image has the same fine detail as a small one.
    tex = [(rng.uniform(0, np.pi), rng.uniform(2 * np.pi / 14, 2 * np.pi / 5), rng.uniform(0, 6.3))
           for _ in range(3)]
    if out is None:
        out = np.empty((h, w, c), dtype=dt)
    elif out.shape != (h, w, c) or out.dtype != dt:
        raise ValueError(f"out must be ({h}, {w}, {c}) {dt}")
    xn = np.linspace(0.0, 1.0, w, dtype=np.float32)[None, :]
    xp = np.arange(w, dtype=np.float32)[None, :]
    for y0 in range(0, h, _BAND):
        y1 = min(h, y0 + _BAND)
        yn = (np.arange(y0, y1, dtype=np.float32) / max(h - 1, 1))[:, None]
        yp = np.arange(y0, y1, dtype=np.float32)[:, None]
        brng = np.random.default_rng([seed, y0])
        # Every term is separable in x and y, so a band costs a few outer
        # products rather than transcendental functions per pixel.
        fields = np.zeros((3, y1 - y0, w), np.float32)
        for cx, cy, s, col in blobs:
            g = np.exp(-((yn - cy) ** 2) / s) * np.exp(-((xn - cx) ** 2) / s)
            for ch in range(3):
                fields[ch] += (0.2 + col[ch]) * g
        texture = np.zeros((y1 - y0, w), np.float32)
        for ang, k, ph in tex:
            ax, ay = k * np.cos(ang) * xp + ph, k * np.sin(ang) * yp
            texture += np.sin(ax) * np.cos(ay) + np.cos(ax) * np.sin(ay)
        # Texture strength varies over the image, as surfaces do in a photo.
        texture *= 0.02 + 0.03 * np.cos(3.0 * xn + 2.0 * yn) ** 2
        for ch in range(3):
            f1, f2, ph = waves[ch]
            p = 0.45 + 0.22 * np.sin(2 * np.pi * (f1 * xn + ph)) * np.cos(2 * np.pi * f2 * yn)
            p = p + 0.12 * ((xn * (ch + 1) + 0.5 * yn) % 1.0) - 0.06
            p = p + 0.3 * fields[ch]
            p = p + texture
            p = p + brng.standard_normal((y1 - y0, w), dtype=np.float32) * 0.012
            out[y0:y1, :, ch] = np.clip(p, 0.0, 1.0) * _MAX[dt] + 0.5
        if c == 4:
            alpha = 0.25 + 0.7 * xn * (1 - 0.5 * yn)
            out[y0:y1, :, 3] = np.broadcast_to(alpha * _MAX[dt] + 0.5, (y1 - y0, w))
    return out


def panning(frames: int, h: int, w: int, c: int = 3, dtype=np.uint8, seed: int = 0,
            step: int = 16) -> np.ndarray:
    """A (frames, h, w, c) animation: a camera pan across one wider photo."""
    base = photo(h, w + step * (frames - 1), c, dtype, seed)
    return np.ascontiguousarray(np.stack([base[:, t * step:t * step + w] for t in range(frames)]))
