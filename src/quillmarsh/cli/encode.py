"""``encode``: a .npy array or an image to JPEG XL."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Dict, List, Optional

import numpy as np

from quillmarsh.codecs.jxl import JxlWriter, transcode_jpeg

from .base import CAUGHT, PROG, CliError, Output, Progress, mib, note, reading
from .images import load_image
from .meta import keep_for_jxl
from .options import add_encode_options, add_quiet, add_threads, encode_kwargs, lossless_quality


def register(sub: Any) -> None:
    p = sub.add_parser(
        "encode",
        help="encode a .npy array or an image to JPEG XL",
        description="Encode IN (a .npy array, or an image Pillow can read) to OUT. "
        "Without --quality, --distance or a target the result is lossless. A JPEG is recompressed "
        "losslessly (its DCT coefficients kept, typically 15-20%% smaller, the original "
        "file rebuilt by 'decode OUT x.jpg') unless --quality, --distance or --pixels asks "
        "for its decoded pixels to be encoded. The image's ICC profile (or PNG colour "
        "chunks), EXIF and XMP are kept; an untagged image of integer samples is sRGB, "
        "float samples linear sRGB (see --color). With --animation its frame durations and "
        "loop count are kept (GIF, APNG, WebP), a zero or missing delay shown as 100 ms.",
    )
    p.add_argument("input", metavar="IN")
    p.add_argument("out", metavar="OUT")
    add_encode_options(p)
    p.add_argument("--animation", "-a", action="store_true",
                   help="IN is a (T, Y, X[, C]) stack or a multi-frame image")
    p.add_argument("--pixels", action="store_true",
                   help="encode a JPEG's decoded pixels instead of recompressing it losslessly")
    add_threads(p)
    add_quiet(p)
    p.set_defaults(func=run)


def check_not_empty(src: str, arr: np.ndarray, animation: bool) -> None:
    """An array without pixels (an empty .npy) is refused here, by name."""
    if 0 in arr.shape[: 3 if animation else 2]:
        raise CliError(f"{src}: the array is empty (shape {arr.shape}): there are no pixels "
                       "to encode")


def frames_of(src: str, arr: np.ndarray, animation: bool) -> List[np.ndarray]:
    """The frames to write: the array itself, or the frames of a (T, ...) stack."""
    check_not_empty(src, arr, animation)
    if not animation and arr.ndim == 4:
        raise CliError(f"{src}: holds a (T, Y, X, C) stack; pass --animation to encode it")
    if animation and arr.ndim < 3:
        raise CliError(f"{src}: --animation needs a (T, Y, X[, C]) stack, got shape {arr.shape}")
    frames = [arr[i] for i in range(arr.shape[0])] if animation else [arr]
    if not frames:
        raise CliError(f"{src}: the stack holds no frames")
    return frames


def write_jxl(src: str, out: Output, frames: List[np.ndarray], options: Dict[str, Any],
              progress: Optional[Progress] = None) -> Any:
    """Encode `frames` into the open output; failures name the input. Returns
    the writer's target_result (None without a target)."""
    try:
        # Leaving the writer's context by an exception abandons the stream;
        # the temporary output is then discarded as well.
        with JxlWriter(out.file, **options) as writer:
            for i, frame in enumerate(frames):
                writer.write_frame(frame, is_last=i == len(frames) - 1)
                if progress is not None:
                    progress.update(i + 1)
            writer.close()
            return writer.target_result
    except CAUGHT as exc:
        raise CliError(f"{src}: cannot encode: {exc}") from exc
    finally:
        if progress is not None:
            progress.finish()


def target_text(reached: Any) -> str:
    """What an encode to a target reached, for the summary line."""
    how = "lossless" if reached.distance == 0 else f"distance {reached.distance:.3g}"
    score = "" if reached.score is None else f", SSIMULACRA 2 {reached.score:.2f}"
    trials = reached.encodes + reached.sample_encodes
    return f", {how}{score} ({trials} trial encode{'s' if trials != 1 else ''})"


def is_jpeg(path: str) -> bool:
    """Whether `path` starts like a JPEG; an unreadable path is left to load_input."""
    try:
        with open(path, "rb") as f:
            return f.read(3) == b"\xff\xd8\xff"
    except OSError:
        return False


def recompress_jpeg(args: argparse.Namespace) -> Optional[int]:
    """Lossless recompression of the JPEG `args.input`; None, after a note, for
    a JPEG libjxl cannot recompress or give back bit for bit (its pixels are
    encoded instead)."""
    src: str = args.input
    dst: str = args.out
    pixel_only = [flag for flag, on in (("--progressive", args.progressive), ("--color", args.color),
                                        ("--animation", args.animation)) if on]
    if pixel_only:
        raise CliError(f"{src}: {', '.join(pixel_only)} applies to pixels, not to lossless JPEG "
                       "recompression; add --pixels to encode the JPEG's pixels")
    t0 = time.perf_counter()
    size_in = os.path.getsize(src)
    refused: Optional[ValueError] = None
    try:
        with Output(dst) as out:  # left by the refusal: nothing is written
            with reading(src):
                try:
                    data = transcode_jpeg(src, effort=7 if args.effort is None else args.effort,
                                          numthreads=args.threads)
                except ValueError as exc:
                    refused = exc
            if refused is not None:
                raise refused
            out.file.write(data)
    except ValueError as exc:
        if exc is not refused:
            raise
        note(f"{src}: {str(exc).removeprefix('jxl: ')}; its pixels are encoded losslessly instead")
        return None
    if not args.quiet:
        size = os.path.getsize(dst)
        change = 100.0 * (size - size_in) / max(size_in, 1)
        sys.stderr.write(f"{PROG}: {src}: JPEG recompressed losslessly, {mib(size_in)} -> "
                         f"{mib(size)} ({change:+.1f}%); 'decode' to .jpg rebuilds the original\n")
        print(f"{src} -> {dst}: {mib(size)}, {time.perf_counter() - t0:.2f} s")
    return 0


def run(args: argparse.Namespace) -> int:
    src: str = args.input
    dst: str = args.out
    lossless_quality(args)
    if (not args.pixels and args.quality is None and args.distance is None
            and args.target_score is None and args.target_size is None
            and os.path.splitext(src)[1].lower() != ".npy" and is_jpeg(src)):
        rc = recompress_jpeg(args)
        if rc is not None:
            return rc
    animation = bool(args.animation)
    arr, meta = load_image(src, animation)
    arr, kept = keep_for_jxl(src, arr, meta, stacked=animation, color_given=args.color is not None)
    frames = frames_of(src, arr, animation)
    options = dict(encode_kwargs(args), animation=animation, **kept)
    progress = Progress("encoding", len(frames)) if len(frames) > 1 else None
    t0 = time.perf_counter()
    with Output(dst) as out:
        reached = write_jxl(src, out, frames, options, progress)
    if not args.quiet:
        size = os.path.getsize(dst)
        pixels = int(frames[0].shape[0]) * int(frames[0].shape[1]) * len(frames)
        bpp = 8.0 * size / max(pixels, 1)
        took = time.perf_counter() - t0
        target = "" if reached is None else target_text(reached)
        print(f"{src} -> {dst}: {mib(size)}, {bpp:.3f} bits per pixel{target}, {took:.2f} s")
    return 0
