"""Options that several subcommands take, each defined once.

A subcommand calls ``add_*`` on its parser; the matching function turns the
parsed values into the keyword arguments of the codec call.
"""

from __future__ import annotations

import argparse
import math
from typing import Any, Callable, Dict, Optional


def index_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a frame number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"frame numbers start at 0 (got {value})")
    return value


def count_arg(what: str, lo: int) -> Callable[[str], int]:
    """An integer of at least `lo`, for counts such as threads and workers."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {what}: {text!r}") from None
        if value < lo:
            raise argparse.ArgumentTypeError(f"{what} must be >= {lo} (got {value})")
        return value

    parse.__name__ = what
    return parse


def limit_arg(what: str) -> Callable[[str], Optional[int]]:
    """A positive integer, or 'none' to lift the limit."""

    def parse(text: str) -> Optional[int]:
        if text.strip().lower() == "none":
            return None
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{what} must be a positive integer or 'none', got {text!r}") from None
        if value <= 0:
            raise argparse.ArgumentTypeError(
                f"{what} must be a positive integer or 'none', got {text!r}")
        return value

    parse.__name__ = what
    return parse


def ranged(kind: Callable[[str], float], lo: float, hi: float, what: str) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a number, got {text!r}") from None
        if not (lo <= value <= hi) or (isinstance(value, float) and math.isnan(value)):
            raise argparse.ArgumentTypeError(f"{what} must be in {lo:g}..{hi:g}, got {text}")
        return value

    parse.__name__ = what
    return parse


_SIZE_UNITS = {"": 1, "b": 1, "k": 1000, "kb": 1000, "m": 1000**2, "mb": 1000**2,
               "kib": 1024, "mib": 1024**2}


def size_arg(text: str) -> int:
    """A byte count: 200000, 200k (1000s), 1.5M, 300KiB (1024s)."""
    t = text.strip().lower()
    digits = t.rstrip("abikm")
    unit = t[len(digits):]
    try:
        value = float(digits) * _SIZE_UNITS[unit]
    except (KeyError, ValueError):
        raise argparse.ArgumentTypeError(
            f"not a size: {text!r} (bytes, or with k, M, KiB or MiB)") from None
    if not math.isfinite(value) or value < 1:
        raise argparse.ArgumentTypeError(f"a size must be at least 1 byte, got {text}")
    return int(value)


def color_arg(text: str) -> str:
    from quillmarsh.core.color import parse_color

    try:
        parse_color(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


# --- option groups ---------------------------------------------------------------


def add_threads(p: argparse.ArgumentParser) -> None:
    p.add_argument("--threads", type=count_arg("thread count", 0), default=None, metavar="N",
                   help="libjxl worker threads (default: all cores; 1 = no worker threads)")


def add_quiet(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")


def add_limits(p: argparse.ArgumentParser, budget: bool = True) -> None:
    """The decoder's limits against decompression bombs (`budget`: also the
    byte budget of decoded output, for commands that decode pixels)."""
    p.add_argument("--max-pixels", type=limit_arg("--max-pixels"), default=2**30, metavar="N",
                   help="refuse images with more pixels per frame than N before decoding "
                   "(default 2**30; 'none' lifts the limit)")
    if budget:
        p.add_argument("--max-bytes", type=limit_arg("--max-bytes"), default=8 << 30,
                       metavar="N", help="refuse to decode more than N bytes of pixels, all "
                       "frames together (default 8 GiB; 'none' lifts the limit)")


def limit_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    """The decoder's size limits from `add_limits`."""
    return {"max_pixels": args.max_pixels, "max_bytes": args.max_bytes}


def add_encode_options(p: argparse.ArgumentParser) -> None:
    """The encoder's settings; `encode_kwargs` turns them into JxlWriter arguments."""
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--quality", "-Q", type=ranged(float, 0, 100, "quality"), default=None,
                      help="quality 0..100: 90 is visually lossless for most photos, "
                      "100 is lossless (as --lossless)")
    mode.add_argument("--distance", "-d", type=ranged(float, 0, 25, "distance"), default=None,
                      help="lossy Butteraugli distance 0..25 (1.0 is visually lossless)")
    mode.add_argument("--lossless", action="store_true", help="exact (the default)")
    mode.add_argument("--target-score", type=ranged(float, 0, 100, "target score"), default=None,
                      metavar="S", help="the largest distance whose result scores at least S "
                      "in SSIMULACRA 2 (90: indistinguishable at 1:1, 70: high quality); "
                      "found in at most 6 trial encodes")
    mode.add_argument("--target-size", type=size_arg, default=None, metavar="N",
                      help="the best quality that fits in N bytes (200000, 200k, 1.5M, 300KiB)")
    p.add_argument("--effort", "-e", type=int, choices=range(1, 11), default=None,
                   metavar="1..10", help="encoder effort (default 5; higher is slower)")
    p.add_argument("--progressive", "-p", action="store_true",
                   help="progressive coding: a 1:8 preview decodes from the first bytes")
    p.add_argument("--color", type=color_arg, default=None, metavar="NAME",
                   help="colour encoding, such as srgb, display-p3, rec2100-pq (default: "
                   "an image's own ICC profile or PNG colour chunks; else sRGB for integer "
                   "samples, as image files are by convention, and linear sRGB for float "
                   "samples; a .npy array: sRGB for 8-bit, linear sRGB otherwise)")


def lossless_quality(args: argparse.Namespace) -> None:
    """--quality 100 is lossless, as in cjxl: the same as --lossless (a JPEG
    is then recompressed losslessly)."""
    if args.quality is not None and args.quality >= 100:
        args.quality = None
        args.lossless = True


def encode_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    """JxlWriter keyword arguments from `add_encode_options` and `add_threads`."""
    lossless_quality(args)
    return {
        "quality": args.quality,
        "distance": args.distance,
        "lossless": True if args.lossless else None,
        "effort": args.effort,
        "numthreads": args.threads,
        "progressive": bool(args.progressive),
        "color": args.color,
        "target_score": args.target_score,
        "target_size": args.target_size,
    }
