"""``decode`` and ``thumb``: JPEG XL to .npy, PNG or TIFF."""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict, List, Literal, Optional, Tuple

import numpy as np

from quillmarsh.codecs.jxl import JxlReader, frame_count, reconstruct_jpeg
from quillmarsh.core.remote import is_remote

from .base import CliError, Output, Progress, mib, note, reading, stderr_is_tty
from .images import keeps_all_bits, output_format, pil, write_frames, write_tiff_channels
from .meta import jxl_meta
from .options import add_limits, add_quiet, add_threads, index_arg, limit_kwargs, ranged

_COUNT_LIMIT = 256 << 20  # largest file whose frames are counted for the progress line


def register(sub: Any) -> None:
    p = sub.add_parser(
        "decode",
        help="decode to .npy, .png, .tif, .jpg, .webp or .gif",
        description="Decode FILE to OUT. .npy keeps every sample as decoded (an "
        "animation becomes a (T, Y, X[, C]) stack); .png and .tif (through Pillow) "
        "keep 8-bit images, 16-bit grey and, in TIFF, 32-bit float grey, and reduce "
        "other samples to 8 bits. Animations become animated PNG, WebP or GIF with "
        "their frame durations and loop count, or multi-page TIFF. The ICC profile, "
        "EXIF and XMP go along where the format holds them. Files above 4 MiB are "
        "read in the background while decoding. A .jpg OUT of a file made from a JPEG "
        "is that JPEG, rebuilt bit for bit; other files are encoded to a new JPEG "
        "(--quality).",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--index", type=index_arg, default=None, metavar="K",
                   help="decode only frame K (from 0) of an animation")
    p.add_argument("--downsample", type=int, choices=(1, 2, 4, 8), default=1,
                   help="reduce width and height by this factor (8: progressive decode)")
    p.add_argument("--no-streaming", action="store_true",
                   help="read the whole file before decoding")
    p.add_argument("--quality", "-Q", type=ranged(int, 1, 100, "quality"), default=95,
                   help="JPEG quality of a .jpg OUT encoded from pixels (default 95)")
    p.add_argument("--channels", choices=("color", "all"), default="color",
                   help="'all' writes every channel, extra channels after colour, to "
                   ".npy or (through tifffile) a multi-channel .tif")
    add_threads(p)
    add_limits(p)
    add_quiet(p)
    p.set_defaults(func=run_decode, subsample="top-left")

    p = sub.add_parser(
        "thumb",
        help="write a 1:8 thumbnail",
        description="Write a thumbnail of FILE, 1/8 of its width and height, to OUT "
        "(.png, .tif, .jpg or .npy). Progressive files stop decoding after the DC pass.",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--index", type=index_arg, default=0, metavar="K",
                   help="frame of an animation (default 0)")
    add_threads(p)
    add_limits(p)
    add_quiet(p)
    # The centre pixel of each 8x8 block stands for the block (closest to its
    # average); the top-left one sits on its edge, blended with the neighbours.
    p.set_defaults(func=run_thumb, downsample=8, subsample="center", no_streaming=True,
                   channels="color")


# Transfer functions whose samples are not display-ready: linear, PQ, HLG.
_SCENE_OR_HDR = {8, 16, 18}


def display_color(path: str, fmt: Optional[str], extra_channels: bool) -> Optional[str]:
    """"srgb" when `path` is written to an 8-bit image file that cannot keep
    its samples as they are (linear or HDR colour, or CMYK), else None."""
    if fmt is None or extra_channels:
        return None
    with reading(path):
        with JxlReader(path, parse_color=True, extra_channels=True, max_pixels=None) as r:
            color, basic, kinds = r.color, r.basic_info, [c["type"] for c in r.channels]
    if "black" in kinds:
        return "srgb"
    samples = basic["num_color_channels"] + (1 if basic["alpha_bits"] else 0)
    if basic["exponent_bits_per_sample"]:
        dtype: Any = np.float16 if basic["bits_per_sample"] == 16 else np.float32
    else:
        dtype = np.uint8 if basic["bits_per_sample"] <= 8 else np.uint16
    probe = np.empty((0, 0) if samples == 1 else (0, 0, samples), dtype)
    reduced = not keeps_all_bits(probe, fmt)
    return "srgb" if reduced and color and color["transfer_function"] in _SCENE_OR_HDR else None


def left_out_channels(path: str, to_array: bool = False) -> Optional[List[Dict[str, Any]]]:
    """The channels of `path` when some beyond colour and alpha must be left
    out of a colour image (depth, thermal, spot colours, ...), else None.
    A black channel is not among them: CMYK is rendered to sRGB whole for an
    image file, and refused for an array (`to_array`), which holds samples
    as decoded."""
    with reading(path):
        with JxlReader(path, parse_color=False, extra_channels=True, max_pixels=None) as r:
            channels: List[Dict[str, Any]] = [dict(c) for c in r.channels]
    extra = [c["type"] for c in channels if c["type"] != "color"]
    if "black" in extra and to_array:
        raise CliError(f"{path}: a CMYK image (it has a black channel): --channels all writes "
                       "every channel to .npy; an image file (.png, .tif, ...) gets it rendered "
                       "to sRGB")
    if "black" in extra or extra in ([], ["alpha"]):
        return None
    return channels


def colour_and_alpha(frame: np.ndarray, channels: List[Dict[str, Any]]) -> np.ndarray:
    """The colour channels and the first alpha of a frame decoded with every
    channel, in the sample type a colour-only decode gives (integer channels
    in their own range; float frames 0..1)."""
    colour = [i for i, c in enumerate(channels) if c["type"] == "color"]
    alpha = [i for i, c in enumerate(channels) if c["type"] == "alpha"][:1]
    bits = int(channels[0]["bits_per_sample"])
    sub = frame[..., colour + alpha]
    if channels[0]["exponent_bits_per_sample"]:
        out = sub.astype(np.float16 if bits == 16 else np.float32)
    else:
        top = float((1 << bits) - 1)
        if sub.dtype.kind == "f":
            sub = np.rint(np.clip(np.nan_to_num(sub), 0.0, 1.0) * top)
        elif alpha and int(channels[alpha[0]]["bits_per_sample"]) != bits:
            sub = sub.astype(np.float64)
            sub[..., -1] = np.rint(sub[..., -1] * (top / ((1 << int(channels[alpha[0]]["bits_per_sample"])) - 1)))
        out = sub.astype(np.uint8 if bits <= 8 else np.uint16)
    return np.ascontiguousarray(out[..., 0] if out.shape[-1] == 1 else out)


def left_out_note(path: str, channels: List[Dict[str, Any]]) -> str:
    kept_alpha = False
    gone = []
    for c in channels:
        if c["type"] == "color" or (c["type"] == "alpha" and not kept_alpha):
            kept_alpha = kept_alpha or c["type"] == "alpha"
            continue
        gone.append(f"{c['type']} {c['name']!r}" if c.get("name") else c["type"])
    return (f"{path}: its {', '.join(gone)} channel{'s' * (len(gone) != 1)} left out "
            "(--channels all keeps every channel, in .npy or .tif)")


def decode_frames(path: str, *, index: Optional[int], downsample: int = 1,
                  subsample: Literal["top-left", "center"] = "top-left", streaming: bool = False,
                  numthreads: Optional[int] = None, progress: bool = True,
                  output_color: Optional[str] = None, extra_channels: bool = False,
                  keep_orientation: bool = False,
                  colour_of: Optional[List[Dict[str, Any]]] = None,
                  **limits: Any) -> Tuple[List[np.ndarray], int]:
    """Decoded frames of `path` (all, or the one at `index`) and the bit depth.

    `colour_of` (the file's channels, from `left_out_channels`) keeps only
    colour and alpha of a file with more channels."""
    with reading(path):
        reader = JxlReader(path, numthreads=numthreads, parse_color=False, streaming=streaming,
                           skip_frames=index or 0, downsample=downsample, subsample=subsample,
                           output_color=output_color,
                           extra_channels=extra_channels or colour_of is not None,
                           keep_orientation=keep_orientation, **limits)
    with reader:
        bits = int(reader.basic_info["bits_per_sample"])
        total: Optional[int] = None
        multi = progress and index is None and reader.is_animation
        if multi and stderr_is_tty():
            with reading(path):
                # frame_count holds the whole file in memory; skip it for huge
                # ones, and for a URL, whose frames it would download first.
                if not is_remote(path) and os.path.getsize(path) <= _COUNT_LIMIT:
                    total = frame_count(path)
        shown = Progress("decoding", total)
        frames: List[np.ndarray] = []
        budget = limits.get("max_bytes")
        held = 0
        try:
            with reading(path):
                for frame in reader.iter_frames():
                    if colour_of is not None:
                        frame = colour_and_alpha(frame, colour_of)
                    # The frames are all kept (and stacked or written together):
                    # their sum is held to the budget as they come.
                    held += frame.nbytes
                    if budget is not None and held > budget:
                        raise CliError(f"{path}: decoding {len(frames) + 1} frames needs more "
                                       f"than --max-bytes={budget} bytes (pass a larger "
                                       "--max-bytes, or none, to decode it)")
                    frames.append(frame)
                    if multi:
                        shown.update(len(frames))
                    if index is not None:
                        break
        finally:
            shown.finish()
    if not frames:
        if index is not None:
            with reading(path):
                n = frame_count(path)
            raise CliError(f"{path}: no frame {index} (the file has {n} frame{'s' * (n != 1)})")
        raise CliError(f"{path}: no frames in the file")
    return frames, bits


def rebuilt_jpeg(args: argparse.Namespace) -> Optional[bytes]:
    """The JPEG `args.file` was recompressed from, or None when it holds no
    reconstruction data (or a reduced or later frame is asked for)."""
    if args.downsample != 1 or args.index not in (None, 0):
        return None
    with reading(args.file):
        try:
            return reconstruct_jpeg(args.file, numthreads=args.threads, max_pixels=args.max_pixels)
        except ValueError as exc:
            if str(exc) != "jxl: no JPEG reconstruction data in this file":
                raise
    return None


def _run(args: argparse.Namespace, suffix: str) -> int:
    src: str = args.file
    dst: str = args.out
    fmt = output_format(dst)
    every = args.channels == "all"
    if every and fmt not in (None, "TIFF"):
        raise CliError(f"{dst}: --channels all writes .npy or .tif")
    if fmt == "JPEG" and suffix == "":
        data = rebuilt_jpeg(args)
        if data is not None:
            with Output(dst) as out:
                out.file.write(data)
            if not args.quiet:
                print(f"{src} -> {dst}: the original JPEG, rebuilt bit for bit ({mib(len(data))})")
            return 0
    meta, keep_orientation = None, False
    if fmt is not None and not every:
        pil()  # fail before decoding when Pillow is missing
        # A thumbnail may come from a file cut after its first pass.
        meta, keep_orientation = jxl_meta(src, fmt, all_frames=args.index is None,
                                          partial=suffix != "")
    target = display_color(src, fmt, every)
    if target is not None and meta is not None:
        meta.icc_profile = None  # the pixels come converted to sRGB
    colour_of = None if every else left_out_channels(src, to_array=fmt is None)
    frames, bits = decode_frames(src, index=args.index, downsample=args.downsample,
                                 subsample=args.subsample,
                                 streaming=not args.no_streaming, numthreads=args.threads,
                                 output_color=target, extra_channels=every,
                                 keep_orientation=keep_orientation, colour_of=colour_of,
                                 **limit_kwargs(args))
    if colour_of is not None and not args.quiet:
        note(left_out_note(src, colour_of))
    quality = getattr(args, "quality", 95)
    if fmt == "JPEG" and suffix == "" and not args.quiet:
        note(f"{src} holds no JPEG reconstruction data: {dst} is a new JPEG encoded from its "
             f"pixels (quality {quality})")
    if target is not None and not args.quiet:
        note(f"{src}: colour converted to sRGB for the 8-bit {fmt} output")
    with Output(dst) as out:
        if every and fmt == "TIFF":
            write_tiff_channels(out, frames)
        else:
            write_frames(out, frames, fmt, bits, jpeg_quality=quality, meta=meta)
    if not args.quiet:
        shape = frames[0].shape if len(frames) == 1 else (len(frames),) + frames[0].shape
        print(f"{src} -> {dst}: {'x'.join(map(str, shape))} {frames[0].dtype}{suffix}")
    return 0


def run_decode(args: argparse.Namespace) -> int:
    return _run(args, "")


def run_thumb(args: argparse.Namespace) -> int:
    return _run(args, " (1:8)")
