"""Encoding to a quality or a size: the distance search behind the writer's
``target_score`` and ``target_size``.

JxlWriter calls :func:`encode_to_target` for a still frame when either is
given. Each trial is an ordinary encode of the frame with the writer's own
options (effort, threads, colour, metadata boxes) at one distance; for a
score it is decoded and scored with SSIMULACRA 2 against the frame. The
search moves on the logarithm of the distance, where score and size are
close to straight lines: a secant through the nearest points on either side
of the goal (bisection when it would land near an end), an extrapolation
from the last two points while only one side is known. Trials of a large
frame start on a copy reduced 2:1 per side until it has at most
``REDUCED_PIXELS`` pixels; the distance found there (and the slope of its
points) starts the search at full size.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

MIN_DISTANCE = 0.05
MAX_DISTANCE = 25.0
MAX_ENCODES = 6
SCORE_TOLERANCE = 0.5  # stop at a score in [S, S + 0.5]
SIZE_FILL = 0.97  # stop at a size in [0.97 N, N]
LARGE_PIXELS = 4 << 20  # frames above this get reduced-resolution trials first
REDUCED_PIXELS = 1 << 20
REDUCED_ENCODES = 4

# Starting points, from Pillow's test photographs at effort 7: the distance
# that typically gives a score (interpolated on log distance), and a stream's
# size falling by about 0.9 e-folds per e-fold of distance.
_TYPICAL_DISTANCE = [(10.0, MAX_DISTANCE), (30.0, 15.0), (50.0, 7.5), (60.0, 5.0), (70.0, 3.2), (80.0, 1.75),
                     (90.0, 0.7), (95.0, 0.4), (100.0, MIN_DISTANCE)]
_SIZE_SLOPE = -0.9
_SLOPE_BOUNDS = {"score": (-40.0, -2.0), "size": (-3.0, -0.2)}


@dataclass(frozen=True)
class TargetResult:
    """What an encode to a target reached.

    ``distance`` is the chosen distance (0.0: lossless); ``score`` its
    SSIMULACRA 2 (None for a size target, which decodes nothing); ``size`` the
    stream's bytes; ``encodes`` the trial encodes of the whole frame and
    ``reduced_encodes`` those of a reduced copy (large frames only).
    """

    distance: float
    score: Optional[float]
    size: int
    encodes: int
    reduced_encodes: int = 0


@dataclass
class Trial:
    distance: float  # 0.0: lossless
    size: int
    score: Optional[float] = None
    data: bytes = b""


Measure = Callable[[float], Trial]


def _log(d: float) -> float:
    return math.log(max(d, 1e-6))


def _clamp_distance(d: float) -> float:
    return min(max(d, MIN_DISTANCE), MAX_DISTANCE)


class _Search:
    """The points of one search on (log distance, value) where the value
    falls as the distance grows; `ok` tells a point on the goal's side."""

    def __init__(self, kind: str, aim: float, ok: Callable[[Trial], bool],
                 value: Callable[[Trial], float], slope: float) -> None:
        self.kind, self.aim, self.ok, self.value = kind, aim, ok, value
        self.default_slope = slope
        self.trials: List[Trial] = []

    def slope(self) -> float:
        """The value's slope per e-fold of distance through the two points
        nearest the aim (a default until there are two)."""
        lo, hi = _SLOPE_BOUNDS[self.kind]
        pts = sorted((t for t in self.trials if t.distance > 0),
                     key=lambda t: abs(self.value(t) - self.aim))[:2]
        if len(pts) == 2 and abs(_log(pts[0].distance) - _log(pts[1].distance)) > 1e-3:
            s = (self.value(pts[0]) - self.value(pts[1])) / (
                _log(pts[0].distance) - _log(pts[1].distance))
            return min(max(s, lo), hi)
        return self.default_slope

    def next_distance(self) -> Optional[float]:
        """The next distance to try, or None when nothing is left between
        the points (or the range's end is reached)."""
        lossy = [t for t in self.trials if t.distance > 0]
        good = [t for t in lossy if self.ok(t)]
        bad = [t for t in lossy if not self.ok(t)]
        if good and bad:
            # Score: the good side is below the goal's distance; size: above.
            if self.kind == "score":
                g = max(good, key=lambda t: t.distance)
                other = [t for t in bad if t.distance > g.distance]
                b = min(other, key=lambda t: t.distance) if other else None
            else:
                g = min(good, key=lambda t: t.distance)
                other = [t for t in bad if t.distance < g.distance]
                b = max(other, key=lambda t: t.distance) if other else None
            if b is None:  # noise: the points cross; settle for g
                return None
            lg, lb = _log(g.distance), _log(b.distance)
            if abs(lb - lg) < 0.01:
                return None
            # A secant through the two points nearest the aim (the curves
            # bend, so the bracket's ends give a worse one), kept inside the
            # bracket and away from its ends, else bisection.
            near = min((g, b), key=lambda t: abs(self.value(t) - self.aim))
            x = _log(near.distance) + (self.aim - self.value(near)) / self.slope()
            lo, hi = min(lg, lb), max(lg, lb)
            margin = 0.1 * (hi - lo)
            if not lo + margin <= x <= hi - margin:
                x = (lg + lb) / 2
            return math.exp(x)
        last = self.trials[-1]
        x = _log(last.distance) + (self.aim - self.value(last)) / self.slope()
        x = min(max(x, _log(last.distance) - math.log(8)), _log(last.distance) + math.log(8))
        d = _clamp_distance(math.exp(x))
        if any(abs(_log(t.distance) - _log(d)) < 1e-3 for t in lossy):
            return None  # the range's end, already tried
        return d


def typical_distance(score: float) -> float:
    """Where a search for `score` starts, and the slope around it."""
    pts = _TYPICAL_DISTANCE
    for (s0, d0), (s1, d1) in zip(pts, pts[1:]):
        if score <= s1 or (s1, d1) == pts[-1]:
            f = (score - s0) / (s1 - s0)
            if f <= 0 or f >= 1:
                return d0 if f <= 0 else d1
            return math.exp(math.log(d0) + f * (math.log(d1) - math.log(d0)))
    return pts[-1][1]


def typical_slope(score: float) -> float:
    """SSIMULACRA 2 per e-fold of distance around `score` (negative)."""
    run = math.log(typical_distance(score - 2.5)) - math.log(typical_distance(score + 2.5))
    lo, hi = _SLOPE_BOUNDS["score"]
    return min(max(-5.0 / max(run, 1e-6), lo), hi)


def search_score(measure: Measure, target: float, *, start: Optional[float] = None,
                 slope: Optional[float] = None, max_encodes: int = MAX_ENCODES,
                 tolerance: float = SCORE_TOLERANCE) -> Tuple[Trial, int]:
    """The largest distance whose trial scores at least `target`, within
    `max_encodes` trials; stops at a score in [target, target + tolerance].
    Lossless (score 100) when no lossy trial reaches the target. Returns the
    chosen trial and the number of trials."""
    if target >= 100.0:
        return measure(0.0), 1
    search = _Search("score", target + tolerance / 2, lambda t: (t.score or 0.0) >= target,
                     lambda t: float(t.score or 0.0),
                     typical_slope(target) if slope is None else slope)
    d: Optional[float] = _clamp_distance(typical_distance(target) if start is None else start)
    while d is not None:
        t = measure(d)
        search.trials.append(t)
        if target <= (t.score or 0.0) <= target + tolerance:
            break
        passed = any(search.ok(x) for x in search.trials)
        left = max_encodes - len(search.trials)
        # The last trial of a search with nothing good yet is lossless.
        if left <= 0 or (left == 1 and not passed):
            break
        d = search.next_distance()
    good = [t for t in search.trials if search.ok(t)]
    if good:
        return max(good, key=lambda t: t.distance), len(search.trials)
    return measure(0.0), len(search.trials) + 1


def search_size(measure: Measure, limit: int, *, start: float = 1.0,
                slope: Optional[float] = None, max_encodes: int = MAX_ENCODES,
                fill: float = SIZE_FILL) -> Tuple[Trial, int]:
    """The smallest distance whose stream fits in `limit` bytes, within
    `max_encodes` trials (one more when none has fitted by then: the largest
    distance); stops at a size in [fill * limit, limit]. Lossless when the
    smallest distance fits and so does the lossless stream. ValueError when
    even the largest distance does not fit."""
    aim = math.log(limit * (1 + fill) / 2)
    search = _Search("size", aim, lambda t: t.size <= limit, lambda t: math.log(max(t.size, 1)),
                     _SIZE_SLOPE if slope is None else slope)
    d: Optional[float] = _clamp_distance(start)
    while d is not None:
        t = measure(d)
        search.trials.append(t)
        if fill * limit <= t.size <= limit:
            break
        fits = any(search.ok(x) for x in search.trials)
        if not fits and t.distance >= MAX_DISTANCE:
            raise ValueError(
                f"jxl: target_size {limit} is too small for this image: its smallest stream "
                f"(distance {MAX_DISTANCE:g}) takes {t.size} bytes")
        left = max_encodes - len(search.trials)
        if left <= 0 and fits:
            break
        d = search.next_distance() if left > 0 else MAX_DISTANCE
        if d is None and not fits:
            d = MAX_DISTANCE
    good = [t for t in search.trials if search.ok(t)]
    best = min(good, key=lambda t: t.distance)
    count = len(search.trials)
    if best.distance <= MIN_DISTANCE and count < max_encodes:
        exact = measure(0.0)
        count += 1
        if exact.size <= limit:
            best = exact
    return best, count


# ---- trials on real frames ---------------------------------------------------


def _colour(arr: np.ndarray, channels: int) -> np.ndarray:
    """The colour channels the metric scores: (Y, X) grey or (Y, X, 3)."""
    out: np.ndarray = arr[:, :, :channels] if arr.ndim == 3 else arr[:, :, None]
    return out[:, :, 0] if channels == 1 else out


def _colour_channels(arr: np.ndarray, options: Dict[str, Any]) -> int:
    samples = arr.shape[2] if arr.ndim == 3 else 1
    if samples <= 4:
        return 1 if samples <= 2 else 3
    return int(options.get("color_channels") or 1)


def _is_linear(arr: np.ndarray, options: Dict[str, Any]) -> bool:
    from quillmarsh.core.color import TF_LINEAR, parse_color

    spec = parse_color(options.get("color"))
    if spec is None:  # the writer's default: sRGB for 8-bit, linear otherwise
        return arr.dtype != np.uint8 and options.get("icc_profile") is None
    return spec.transfer == TF_LINEAR


def reduce_half(arr: np.ndarray) -> np.ndarray:
    """The frame at half its size per side (2x2 means; an odd last row or
    column is dropped), in its own sample type."""
    h, w = arr.shape[0] // 2 * 2, arr.shape[1] // 2 * 2
    a = arr[:h, :w].astype(np.float32)
    m = (a[0::2, 0::2] + a[1::2, 0::2] + a[0::2, 1::2] + a[1::2, 1::2]) * np.float32(0.25)
    out: np.ndarray = np.rint(m) if np.issubdtype(arr.dtype, np.integer) else m
    return out.astype(arr.dtype)


def _measure(frame: np.ndarray, options: Dict[str, Any], scored: bool) -> Measure:
    from . import _jxl

    reference: Optional[np.ndarray] = None
    linear, channels = _is_linear(frame, options), _colour_channels(frame, options)
    if scored:
        from quillmarsh.metrics import ssimulacra2

        reference = _colour(frame, channels)
        threads = options.get("numthreads")
        # A lossy stream of an image with an ICC profile decodes to linear
        # sRGB unless asked for the profile's own space.
        icc = options.get("icc_profile")
        back: Dict[str, Any] = {} if icc is None else {"output_color": bytes(icc)}

    def measure(distance: float) -> Trial:
        if distance > 0:
            data = _jxl.encode(frame, **options, distance=distance)
        else:
            data = _jxl.encode(frame, **options, lossless=True)
        assert data is not None
        t = Trial(distance, len(data), data=data)
        if reference is not None:
            if distance == 0:
                t.score = 100.0  # the pixels themselves
            else:
                decoded = _colour(_jxl.decode(data, numthreads=threads, **back), channels)
                t.score = ssimulacra2(reference, decoded, linear=linear, numthreads=threads)
        return t

    return measure


def _reduced_start(frame: np.ndarray, options: Dict[str, Any], target_score: Optional[float],
                   target_size: Optional[int]) -> Tuple[float, int]:
    """The distance a search on the frame reduced to at most REDUCED_PIXELS
    finds, and its trial count: where the full-size search starts."""
    small = frame
    while small.shape[0] * small.shape[1] > REDUCED_PIXELS:
        small = reduce_half(small)
    measure = _measure(small, options, target_score is not None)
    if target_score is not None:
        found, count = search_score(measure, target_score, max_encodes=REDUCED_ENCODES)
        return max(found.distance, MIN_DISTANCE), count
    assert target_size is not None
    # Its share of the limit by pixels: a reduced frame takes more bytes per
    # pixel than the whole one, which the full-size search corrects.
    share = max(target_size * small.shape[0] * small.shape[1] // (frame.shape[0] * frame.shape[1]), 1)
    try:
        found, count = search_size(measure, share, max_encodes=REDUCED_ENCODES)
    except ValueError:  # its share is below its smallest stream
        return MAX_DISTANCE, REDUCED_ENCODES + 1
    return max(found.distance, MIN_DISTANCE), count


def encode_to_target(frame: Any, options: Dict[str, Any], target_score: Optional[float],
                     target_size: Optional[int]) -> Tuple[bytes, TargetResult]:
    """The stream of `frame` (a still) at the distance the target asks for,
    with the writer's `options` (no dest, quality, distance or lossless)."""
    frame = np.ascontiguousarray(frame)
    if target_score is not None and (frame.ndim < 2 or min(frame.shape[:2]) < 8):
        raise ValueError(f"jxl: target_score needs a frame of at least 8x8 pixels (SSIMULACRA 2 "
                         f"scores none smaller), got shape {frame.shape}")
    start: Optional[float] = None
    reduced = 0
    if frame.ndim >= 2 and frame.shape[0] * frame.shape[1] > LARGE_PIXELS:
        start, reduced = _reduced_start(frame, options, target_score, target_size)
    measure = _measure(frame, options, target_score is not None)
    if target_score is not None:
        best, count = search_score(measure, target_score, start=start)
    else:
        assert target_size is not None
        best, count = search_size(measure, target_size, start=1.0 if start is None else start)
    result = TargetResult(distance=best.distance, score=best.score, size=best.size,
                          encodes=count, reduced_encodes=reduced)
    return best.data, result
