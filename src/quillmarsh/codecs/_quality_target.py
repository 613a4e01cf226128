"""Encoding to a quality or a size: the distance search behind the writer's
``target_score`` and ``target_size``.

JxlWriter calls :func:`encode_to_target` for a still frame when either is
given. Each trial is an ordinary encode of the frame with the writer's own
options (effort, threads, colour, metadata boxes) at one distance; for a
score it is decoded and scored with SSIMULACRA 2 against the frame. The
search moves on the logarithm of the distance, where score and size are
close to straight lines: a secant through the two points nearest the goal,
kept inside the bracket of points on either side (bisection when it points
outside), or an extrapolation while only one side is known. A large frame is
searched first on a sample of it: a mosaic of tiles spread over the frame,
at full resolution (a copy reduced in resolution scores and compresses
differently at the same distance: on a 10-megapixel photograph it put the
distance for SSIMULACRA 2 80 at 1.55 where the frame needs 2.42, the mosaic
at 2.43); the distance found there and the slope of its points start the
search at full size.
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
LARGE_PIXELS = 4 << 20  # frames above this are searched on a sample first
SAMPLE_TILE = 256  # the side of a sample's tiles (libjxl's group size)
SAMPLE_TILES = 16  # tiles in a sample: 1 megapixel
SAMPLE_ENCODES = 4

# Starting points, from Pillow's test photographs at full size, effort 7: the
# distance that typically gives a score (interpolated on log distance), and
# the bits per pixel a distance typically gives (about 1.6 * d ** -0.65).
_TYPICAL_DISTANCE = [(10.0, MAX_DISTANCE), (30.0, 18.0), (50.0, 9.0), (60.0, 6.3), (70.0, 4.0),
                     (80.0, 2.4), (90.0, 0.95), (95.0, 0.55), (100.0, MIN_DISTANCE)]
_BPP_AT_1 = 1.6
_SIZE_SLOPE = -0.65
_SLOPE_BOUNDS = {"score": (-40.0, -2.0), "size": (-3.0, -0.2)}


@dataclass(frozen=True)
class TargetResult:
    """What an encode to a target reached.

    ``distance`` is the chosen distance (0.0: lossless); ``score`` its
    SSIMULACRA 2 (None for a size target, which decodes nothing); ``size`` the
    stream's bytes; ``encodes`` the trial encodes of the whole frame and
    ``sample_encodes`` those of a sample of its tiles (large frames only).
    """

    distance: float
    score: Optional[float]
    size: int
    encodes: int
    sample_encodes: int = 0


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


def _slope(trials: List[Trial], kind: str, aim: float, value: Callable[[Trial], float],
           default: float) -> float:
    lo, hi = _SLOPE_BOUNDS[kind]
    pts = sorted((t for t in trials if t.distance > 0), key=lambda t: abs(value(t) - aim))[:2]
    if len(pts) == 2 and abs(_log(pts[0].distance) - _log(pts[1].distance)) > 1e-3:
        s = (value(pts[0]) - value(pts[1])) / (_log(pts[0].distance) - _log(pts[1].distance))
        return min(max(s, lo), hi)
    return default


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
        return _slope(self.trials, self.kind, self.aim, self.value, self.default_slope)

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
            # bend, so the bracket's ends give a worse one), kept a little
            # inside the bracket; bisection when it points outside.
            near = min((g, b), key=lambda t: abs(self.value(t) - self.aim))
            x = _log(near.distance) + (self.aim - self.value(near)) / self.slope()
            lo, hi = min(lg, lb), max(lg, lb)
            margin = max(0.03 * (hi - lo), 0.002)
            x = (lo + hi) / 2 if not lo < x < hi else min(max(x, lo + margin), hi - margin)
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
                 tolerance: float = SCORE_TOLERANCE,
                 record: Optional[List[Trial]] = None) -> Tuple[Trial, int]:
    """The largest distance whose trial scores at least `target`, within
    `max_encodes` trials; stops at a score in [target, target + tolerance].
    Lossless (score 100) when no lossy trial reaches the target. Returns the
    chosen trial and the number of trials."""
    if target >= 100.0:
        return measure(0.0), 1
    d: Optional[float] = _clamp_distance(typical_distance(target) if start is None else start)
    search = _Search("score", target + tolerance / 2, lambda t: (t.score or 0.0) >= target,
                     lambda t: float(t.score or 0.0),
                     typical_slope(target) if slope is None else slope)
    if record is not None:
        search.trials = record
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


def typical_distance_for_size(limit: int, pixels: int) -> float:
    """Where a search for `limit` bytes of `pixels` pixels starts."""
    bpp = 8.0 * limit / max(pixels, 1)
    return _clamp_distance(math.exp(math.log(bpp / _BPP_AT_1) / _SIZE_SLOPE))


def search_size(measure: Measure, limit: int, *, start: float = 1.0,
                slope: Optional[float] = None, max_encodes: int = MAX_ENCODES,
                fill: float = SIZE_FILL, record: Optional[List[Trial]] = None) -> Tuple[Trial, int]:
    """The smallest distance whose stream fits in `limit` bytes, within
    `max_encodes` trials (one more when none has fitted by then: the largest
    distance); stops at a size in [fill * limit, limit]. Lossless when the
    smallest distance fits and so does the lossless stream. ValueError when
    even the largest distance does not fit."""
    aim = math.log(limit * (1 + fill) / 2)
    search = _Search("size", aim, lambda t: t.size <= limit, lambda t: math.log(max(t.size, 1)),
                     _SIZE_SLOPE if slope is None else slope)
    if record is not None:
        search.trials = record
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


def tile_sample(arr: np.ndarray) -> np.ndarray:
    """SAMPLE_TILES tiles of SAMPLE_TILE pixels spread evenly over the frame
    (rows of them, as many rows as fit up to four), side by side in one
    array at full resolution."""
    h, w = arr.shape[0], arr.shape[1]
    th, tw = min(SAMPLE_TILE, h), min(SAMPLE_TILE, w)
    ny = max(1, min(h // th, 4))
    nx = max(1, min(w // tw, SAMPLE_TILES // ny))
    ys = [int(v) for v in np.linspace(0, h - th, ny)]
    xs = [int(v) for v in np.linspace(0, w - tw, nx)]
    rows = [np.concatenate([arr[y:y + th, x:x + tw] for x in xs], axis=1) for y in ys]
    out: np.ndarray = np.ascontiguousarray(np.concatenate(rows, axis=0))
    return out


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


def _sample_start(frame: np.ndarray, options: Dict[str, Any], target_score: Optional[float],
                  target_size: Optional[int]) -> Tuple[float, Optional[float], int]:
    """The distance a search on a tile sample of the frame finds, the slope of
    its points, and its trial count: where the full-size search starts."""
    sample = tile_sample(frame)
    measure = _measure(sample, options, target_score is not None)
    trials: List[Trial] = []
    if target_score is not None:
        found, count = search_score(measure, target_score, max_encodes=SAMPLE_ENCODES,
                                    record=trials)
        slope = _slope(trials, "score", target_score, lambda t: float(t.score or 0.0),
                       typical_slope(target_score))
        return max(found.distance, MIN_DISTANCE), slope, count
    assert target_size is not None
    # The sample's share of the limit by pixels.
    share = max(target_size * sample.shape[0] * sample.shape[1] //
                (frame.shape[0] * frame.shape[1]), 1)
    try:
        found, count = search_size(
            measure, share, max_encodes=SAMPLE_ENCODES, record=trials,
            start=typical_distance_for_size(share, sample.shape[0] * sample.shape[1]))
    except ValueError:  # its share is below its smallest stream
        return MAX_DISTANCE, None, len(trials)
    slope = _slope(trials, "size", math.log(share), lambda t: math.log(max(t.size, 1)),
                   _SIZE_SLOPE)
    return max(found.distance, MIN_DISTANCE), slope, count


def encode_to_target(frame: Any, options: Dict[str, Any], target_score: Optional[float],
                     target_size: Optional[int]) -> Tuple[bytes, TargetResult]:
    """The stream of `frame` (a still) at the distance the target asks for,
    with the writer's `options` (no dest, quality, distance or lossless)."""
    frame = np.ascontiguousarray(frame)
    if target_score is not None and (frame.ndim < 2 or min(frame.shape[:2]) < 8):
        raise ValueError(f"jxl: target_score needs a frame of at least 8x8 pixels (SSIMULACRA 2 "
                         f"scores none smaller), got shape {frame.shape}")
    start: Optional[float] = None
    slope: Optional[float] = None
    sampled = 0
    if frame.ndim >= 2 and frame.shape[0] * frame.shape[1] > LARGE_PIXELS:
        start, slope, sampled = _sample_start(frame, options, target_score, target_size)
    measure = _measure(frame, options, target_score is not None)
    if target_score is not None:
        best, count = search_score(measure, target_score, start=start, slope=slope)
    else:
        assert target_size is not None
        if start is None:
            start = typical_distance_for_size(target_size, frame.shape[0] * frame.shape[1])
        best, count = search_size(measure, target_size, start=start, slope=slope)
    result = TargetResult(distance=best.distance, score=best.score, size=best.size,
                          encodes=count, sample_encodes=sampled)
    return best.data, result
