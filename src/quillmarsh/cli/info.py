"""``info``: what a JPEG XL file holds, from its headers."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Dict, Optional

import numpy as np

from quillmarsh.codecs.jxl import JxlReader, frame_count, frames_info, thumbnail_bytes
from quillmarsh.core.icc import profile_description
from quillmarsh.core.remote import is_remote, open_remote

from .base import mib, reading
from .images import LAYOUTS
from .meta import summary
from .options import add_limits

LAYOUT_WORDS = {1: "grey", 2: "grey + alpha", 3: "colour", 4: "colour + alpha"}

# Readable names of libjxl's colour enumerations (jxl/color_encoding.h).
COLOR_SPACES = {0: "RGB", 1: "grey", 2: "XYB", 3: "unknown"}
WHITE_POINTS = {1: "D65", 2: "custom", 10: "E", 11: "DCI"}
PRIMARIES = {1: "sRGB", 2: "custom", 9: "BT.2100", 11: "P3"}
TRANSFERS = {1: "BT.709", 2: "unknown", 8: "linear", 13: "sRGB", 16: "PQ", 17: "DCI",
             18: "HLG", 65535: "gamma"}
INTENTS = {0: "perceptual", 1: "relative", 2: "saturation", 3: "absolute"}
ORIENTATIONS = {1: "identity", 2: "flip horizontal", 3: "rotate 180", 4: "flip vertical",
                5: "transpose", 6: "rotate 90 cw", 7: "anti-transpose", 8: "rotate 90 ccw"}


def register(sub: Any) -> None:
    p = sub.add_parser(
        "info",
        help="describe a JPEG XL file",
        description="Size, channels, sample type, bit depth, animation and frame count, "
        "colour encoding, ICC profile size and description, frame durations and loops, "
        "layers, metadata boxes with an EXIF summary and progressive DC prefix size of FILE. "
        "Only headers and the first frame (up to its DC pass, if any) are decoded, so damage "
        "further into the file shows only when it is decoded.",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print the facts as JSON")
    add_limits(p, budget=False)
    p.set_defaults(func=run)


def _name(table: Dict[int, str], value: int) -> str:
    return table.get(value, f"unknown ({value})")


def _sample_word(bits: int, exp_bits: int) -> str:
    if exp_bits:
        return f"{bits}-bit float ({exp_bits} exponent bits)"
    return f"{bits}-bit integer"


def _size_and_kind(path: str) -> "tuple[Optional[int], str]":
    """The file's size and whether it is a container; of a URL from its first
    range (the size as the server tells it)."""
    if is_remote(path):
        with open_remote(path, use="probe") as remote:
            head, size = (remote.get() or b"")[:12], remote.size
    else:
        with open(path, "rb") as f:
            head, size = f.read(12), os.fstat(f.fileno()).st_size
    return size, "container" if head.startswith(b"\x00\x00\x00\x0cJXL ") else "codestream"


def facts(path: str, max_pixels: Optional[int]) -> Dict[str, Any]:
    """What `info` reports, as plain values."""
    with reading(path):
        fsize, kind = _size_and_kind(path)
        # Only the header is parsed here, which costs nothing whatever size
        # the header claims; the size limit matters where pixels are decoded.
        # With the stored orientation kept, basic_info reports it (libjxl says
        # 1 once it turns the pixels itself); the size shown is the displayed one.
        with JxlReader(path, parse_color=True, max_pixels=None, extra_channels=True,
                       keep_orientation=True) as reader:
            basic = reader.basic_info
            if basic["orientation"] >= 5:
                basic["xsize"], basic["ysize"] = basic["ysize"], basic["xsize"]
            color = reader.color
            icc = reader.icc_profile
            samples = reader.samples
            dtype = np.dtype(reader.dtype).name
            meta = summary(reader)
            # Unreadable boxes leave the JPEG reconstruction box unknown.
            jpeg = None if isinstance(meta["boxes"], dict) else reader.has_jpeg_reconstruction
            extra = [{k: v for k, v in c.items() if k != "spot_color"}
                     for c in reader.channels if c["type"] != "color"]
            durations = [f["duration"] for f in reader.frames_info]
        layers = frames_info(path, coalesce=False)
        frames = frame_count(path)
        too_large = max_pixels is not None and basic["xsize"] * basic["ysize"] > max_pixels
        # Measuring the DC prefix may decode the whole first frame.
        prefix = None if too_large else thumbnail_bytes(path, max_pixels=None)
    return {
        "file": path,
        "file_size": fsize,
        "format": kind,
        "xsize": basic["xsize"],
        "ysize": basic["ysize"],
        "channels": samples,
        "layout": LAYOUTS.get(samples) if len(extra) <= 1 else
        f"{basic['num_color_channels']} colour + {len(extra)} extra",
        "dtype": dtype,
        "bits_per_sample": basic["bits_per_sample"],
        "exponent_bits_per_sample": basic["exponent_bits_per_sample"],
        "alpha_bits": basic["alpha_bits"],
        "extra_channels": extra,
        "animation": bool(basic["have_animation"]),
        "frames": frames,
        "color": None
        if color is None
        else {
            "color_space": _name(COLOR_SPACES, color["color_space"]),
            "white_point": _name(WHITE_POINTS, color["white_point"]),
            "primaries": _name(PRIMARIES, color["primaries"]),
            "transfer_function": _name(TRANSFERS, color["transfer_function"]),
            "rendering_intent": _name(INTENTS, color["rendering_intent"]),
        },
        "icc_size": None if icc is None else len(icc),
        "icc_description": None if icc is None else profile_description(icc),
        "orientation": basic["orientation"],
        "intensity_target": basic["intensity_target"],
        "uses_original_profile": bool(basic["uses_original_profile"]),
        "alpha_premultiplied": bool(basic["alpha_premultiplied"]),
        "durations": durations if basic["have_animation"] else None,
        "loops": basic["num_loops"] if basic["have_animation"] else None,
        "layers": [{k: f[k] for k in ("xsize", "ysize", "crop_x0", "crop_y0", "blend_mode")}
                   for f in layers],
        **meta,
        "dc_prefix_bytes": None if prefix is None else len(prefix),
        "dc_prefix_measured": not too_large,
        "jpeg_reconstruction": jpeg,
    }


def _size_text(size: Optional[int]) -> str:
    # A server that streams a file without its length leaves it unknown.
    return "size unknown" if size is None else mib(size)


def _seconds(d: float) -> str:
    return f"{d:g} s"


def _timing_lines(info: Dict[str, Any]) -> "list[tuple[str, str]]":
    lines = []
    durations = info["durations"]
    if durations is not None:
        distinct = sorted(set(durations))
        if len(distinct) == 1:
            text = f"{_seconds(distinct[0])} each"
        elif len(durations) <= 8:
            text = ", ".join(_seconds(d) for d in durations)
        else:
            text = f"{len(distinct)} distinct: " + ", ".join(_seconds(d) for d in distinct[:8])
            text += ", ..." if len(distinct) > 8 else ""
        lines.append(("durations", f"{text} (total {_seconds(round(sum(durations), 6))})"))
        loops = info["loops"]
        lines.append(("loops", "forever" if loops == 0 else f"plays {loops} time"
                      + ("s" if loops != 1 else "")))
    layers = info["layers"]
    if len(layers) != info["frames"] or any(
            (l["xsize"], l["ysize"]) != (info["xsize"], info["ysize"]) for l in layers):
        shown = "; ".join(f"{l['xsize']}x{l['ysize']} at ({l['crop_x0']}, {l['crop_y0']}) "
                          f"{l['blend_mode']}" for l in layers[:4])
        more = f"; {len(layers) - 4} more" if len(layers) > 4 else ""
        lines.append(("layers", f"{len(layers)} in {info['frames']} frame"
                      f"{'s' if info['frames'] != 1 else ''}: {shown}{more}"))
    return lines


def _box_lines(info: Dict[str, Any]) -> "list[tuple[str, str]]":
    boxes = info["boxes"]
    if isinstance(boxes, dict):
        return [("boxes", f"unreadable ({boxes['error']})")]
    if not boxes:
        return [("boxes", "none (a bare codestream)")]
    parts = []
    for kind, size, compressed in boxes:
        what = "to the end" if size is None else mib(size)
        name = kind.strip() or repr(kind)
        parts.append(f"{name} {what}{' (brob)' if compressed else ''}")
    lines = [("boxes", ", ".join(parts))]
    exif = info["exif"]
    if exif is not None:
        if "error" in exif:
            lines.append(("EXIF", f"unreadable ({exif['error']})"))
        else:
            facts = [f"{k} {exif[k]}" for k in ("camera", "date", "orientation") if k in exif]
            lines.append(("EXIF", ", ".join(facts) or "present, no camera, date or orientation"))
    if info["xmp_size"] is not None:
        lines.append(("XMP", mib(info["xmp_size"])))
    return lines


def run(args: argparse.Namespace) -> int:
    path: str = args.file
    info = facts(path, args.max_pixels)
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    c = info["channels"]
    frames = info["frames"]
    lines = [
        ("file", f"{path} ({_size_text(info['file_size'])}, {info['format']})"),
        ("size", f"{info['xsize']} x {info['ysize']}"),
        ("channels", f"{c} ({info['layout']}, {LAYOUT_WORDS[c]})" if c in LAYOUT_WORDS
         and len(info["extra_channels"]) <= 1 else f"{c} ({info['layout']})"),
        ("sample type", info["dtype"]),
    ]
    if info["extra_channels"]:
        lines.append(("extra channels", ", ".join(
            (f"{e['type']} {e['name']!r}" if e["name"] else e["type"])
            + f" ({_sample_word(e['bits_per_sample'], e['exponent_bits_per_sample'])})"
            for e in info["extra_channels"])))
    lines += [
        ("bit depth", _sample_word(info["bits_per_sample"], info["exponent_bits_per_sample"])),
        ("animation", f"{'yes' if info['animation'] else 'no'}, "
                      f"{frames} frame{'s' if frames != 1 else ''}"),
    ]
    col = info["color"]
    if col is not None:
        lines.append(("colour", f"{col['color_space']}, white point {col['white_point']}, "
                      f"primaries {col['primaries']}, transfer {col['transfer_function']}, "
                      f"intent {col['rendering_intent']}"))
    elif info["icc_size"] is not None:
        # libjxl describes the colour only by the file's own ICC profile.
        desc = info["icc_description"]
        named = f"'{desc}'" if desc else "(without a description)"
        lines.append(("colour", f"ICC profile {named}, not an encoded colour space"))
    icc = info["icc_size"]
    # libjxl synthesises a profile for an encoded colour space too; it
    # describes the pixels as decoded, whether or not the file embeds one.
    desc = info["icc_description"]
    lines.append(("ICC profile", "none" if icc is None else f"{icc} bytes (of the decoded pixels)"
                  + (f", '{desc}'" if desc else "")))
    orient = info["orientation"]
    lines.append(("orientation", f"{orient} ({_name(ORIENTATIONS, orient)})"))
    if info["alpha_bits"]:
        lines.append(("alpha", "premultiplied" if info["alpha_premultiplied"] else "straight"))
    lines += _timing_lines(info)
    lines += _box_lines(info)
    lines.append(("intensity", f"{info['intensity_target']:g} nits"))
    dc = info["dc_prefix_bytes"]
    if not info["dc_prefix_measured"]:
        lines.append(("progressive", f"not measured (the image is larger than --max-pixels "
                                     f"{args.max_pixels})"))
    elif dc is None:
        lines.append(("progressive", "none (no DC pass before the full first frame)"))
    else:
        share = "" if info["file_size"] is None else \
            f" ({100.0 * dc / max(info['file_size'], 1):.1f}% of the file)"
        lines.append(("progressive", f"DC prefix {dc} bytes{share}"))
    lines.append(("JPEG", "unknown (boxes unreadable)" if info["jpeg_reconstruction"] is None
                  else "reconstructable: 'decode FILE x.jpg' rebuilds the original JPEG bit for bit"
                  if info["jpeg_reconstruction"] else "no JPEG reconstruction data"))
    width = max(len(k) for k, _ in lines)
    for key, value in lines:
        print(f"{key:<{width}}  {value}")
    return 0
