"""How close a decoded image is to the original.

The perceptual metric is libjxl's ssimulacra2 tool (scores up to 100 for an
identical image; about 90 is indistinguishable at 1:1, 70 high quality, 50
medium, 30 low). `scripts/build-ssimulacra2` builds it from the libjxl
source the set-up downloads. Without it the demo charts PSNR and says so.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence

import numpy as np

SSIMULACRA2_PATHS = ("/usr/local/bin/ssimulacra2",)


def psnr(a: np.ndarray, b: np.ndarray, peak: float) -> float:
    err = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return math.inf if err == 0.0 else 10.0 * math.log10(peak * peak / err)


def find_ssimulacra2() -> Optional[str]:
    exe = os.environ.get("QM_SSIMULACRA2") or shutil.which("ssimulacra2")
    if exe:
        return exe
    return next((p for p in SSIMULACRA2_PATHS if os.access(p, os.X_OK)), None)


def _write_ppm(path: str, img: np.ndarray) -> None:
    """Binary PPM: no compression, so writing and reading it costs next to nothing."""
    h, w = img.shape[:2]
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h))
        f.write(np.ascontiguousarray(img, dtype=np.uint8).tobytes())


def run_ssimulacra2(exe: str, original: str, distorted: str) -> float:
    proc = subprocess.run([exe, original, distorted], capture_output=True, text=True,
                          timeout=300)
    if proc.returncode != 0:
        raise RuntimeError(f"ssimulacra2 failed: {proc.stderr.strip() or proc.returncode}")
    try:
        return float(proc.stdout.split()[0])
    except (IndexError, ValueError):
        raise RuntimeError(f"ssimulacra2 printed no score: {proc.stdout!r}") from None


@dataclass
class Metric:
    """A quality score for decoded images against one original (higher is better)."""

    name: str
    axis_label: str
    why: str
    score_all: Callable[[np.ndarray, Sequence[np.ndarray]], List[float]]
    perceptual: bool

    def score(self, original: np.ndarray, decoded: Sequence[np.ndarray]) -> List[float]:
        return self.score_all(original, decoded)


def ssimulacra2_metric(exe: str, workers: int = 2) -> Metric:
    def score_all(original: np.ndarray, decoded: Sequence[np.ndarray]) -> List[float]:
        if original.ndim != 3 or original.shape[2] != 3 or original.dtype != np.uint8:
            raise ValueError("ssimulacra2 scores 8-bit RGB images here")
        with tempfile.TemporaryDirectory(prefix="qm-ssim2-") as tmp:
            ref = os.path.join(tmp, "original.ppm")
            _write_ppm(ref, original)

            def one(i: int) -> float:
                path = os.path.join(tmp, f"decoded{i}.ppm")
                _write_ppm(path, decoded[i])
                try:
                    return run_ssimulacra2(exe, ref, path)
                finally:
                    os.unlink(path)

            with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
                return list(pool.map(one, range(len(decoded))))

    return Metric(
        name="SSIMULACRA 2",
        axis_label="SSIMULACRA 2 score (higher is better; 90 = indistinguishable at 1:1)",
        why="libjxl's ssimulacra2 tool: a perceptual metric tuned on subjective ratings of "
        "compressed photographs, on a 0-100 scale that reads like a quality setting",
        score_all=score_all,
        perceptual=True,
    )


def psnr_metric(reason: str) -> Metric:
    def score_all(original: np.ndarray, decoded: Sequence[np.ndarray]) -> List[float]:
        return [psnr(original, d, 255.0) for d in decoded]

    return Metric(
        name="PSNR",
        axis_label="PSNR in dB (higher is better; not a perceptual metric)",
        why=f"PSNR, because {reason}; PSNR rewards blur and misses blocking, so read the "
        "crops rather than the chart",
        score_all=score_all,
        perceptual=False,
    )


def best_metric(workers: int = 2) -> Metric:
    exe = find_ssimulacra2()
    if exe is None:
        return psnr_metric("libjxl's ssimulacra2 tool is not installed "
                           "(bash scripts/build-ssimulacra2 builds it)")
    return ssimulacra2_metric(exe, workers)
