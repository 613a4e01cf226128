"""``encode``: a .npy array or an image to JPEG XL."""

from __future__ import annotations

import argparse
import os
import time
from typing import Any, Dict, List, Optional

import numpy as np

from quillmarsh.codecs.jxl import JxlWriter

from .base import CAUGHT, CliError, Output, Progress, mib
from .images import load_input
from .options import add_encode_options, add_quiet, add_threads, encode_kwargs


def register(sub: Any) -> None:
    p = sub.add_parser(
        "encode",
        help="encode a .npy array or an image to JPEG XL",
        description="Encode IN (a .npy array, or an image Pillow can read) to OUT. "
        "Without --quality or --distance the result is lossless.",
    )
    p.add_argument("input", metavar="IN")
    p.add_argument("out", metavar="OUT")
    add_encode_options(p)
    p.add_argument("--animation", "-a", action="store_true",
                   help="IN is a (T, Y, X[, C]) stack or a multi-frame image")
    add_threads(p)
    add_quiet(p)
    p.set_defaults(func=run)


def frames_of(src: str, arr: np.ndarray, animation: bool) -> List[np.ndarray]:
    """The frames to write: the array itself, or the frames of a (T, ...) stack."""
    if not animation and arr.ndim == 4:
        raise CliError(f"{src}: holds a (T, Y, X, C) stack; pass --animation to encode it")
    if animation and arr.ndim < 3:
        raise CliError(f"{src}: --animation needs a (T, Y, X[, C]) stack, got shape {arr.shape}")
    frames = [arr[i] for i in range(arr.shape[0])] if animation else [arr]
    if not frames:
        raise CliError(f"{src}: the stack holds no frames")
    return frames


def write_jxl(src: str, out: Output, frames: List[np.ndarray], options: Dict[str, Any],
              progress: Optional[Progress] = None) -> None:
    """Encode `frames` into the open output; failures name the input."""
    try:
        # Leaving the writer's context by an exception abandons the stream;
        # the temporary output is then discarded as well.
        with JxlWriter(out.file, **options) as writer:
            for i, frame in enumerate(frames):
                writer.write_frame(frame, is_last=i == len(frames) - 1)
                if progress is not None:
                    progress.update(i + 1)
            writer.close()
    except CAUGHT as exc:
        raise CliError(f"{src}: cannot encode: {exc}") from exc
    finally:
        if progress is not None:
            progress.finish()


def run(args: argparse.Namespace) -> int:
    src: str = args.input
    dst: str = args.out
    animation = bool(args.animation)
    frames = frames_of(src, load_input(src, animation), animation)
    options = dict(encode_kwargs(args), animation=animation)
    progress = Progress("encoding", len(frames)) if len(frames) > 1 else None
    t0 = time.perf_counter()
    with Output(dst) as out:
        write_jxl(src, out, frames, options, progress)
    if not args.quiet:
        size = os.path.getsize(dst)
        pixels = int(frames[0].shape[0]) * int(frames[0].shape[1]) * len(frames)
        bpp = 8.0 * size / max(pixels, 1)
        took = time.perf_counter() - t0
        print(f"{src} -> {dst}: {mib(size)}, {bpp:.3f} bits per pixel, {took:.2f} s")
    return 0
