"""Metadata between JPEG XL files and other image files: what ``decode`` writes,
what ``encode`` keeps and what ``info`` shows."""

from __future__ import annotations

from typing import Any, Callable, Dict, Mapping, Optional, Tuple

import numpy as np

from quillmarsh.codecs.jxl import JxlError, JxlReader
from quillmarsh.core.color import ColorSpec
from quillmarsh.core.imagemeta import (ImageMeta, exif_orientation, exif_summary, icc_model,
                                       upright, upright_tags, with_orientation)

from .base import note, reading

# Formats whose files carry EXIF next to the pixels.
EXIF_FORMATS = ("PNG", "JPEG", "TIFF", "WEBP")


def plain_srgb(color: Optional[Mapping[str, Any]]) -> bool:
    """True for the sRGB colour encoding that every viewer assumes anyway."""
    if color is None:
        return False
    rgb_ok = color["color_space"] == 1 or color["primaries"] == 1
    return (color["color_space"] in (0, 1) and color["white_point"] == 1 and rgb_ok
            and color["transfer_function"] == 13)


def encode_meta(meta: ImageMeta, frames: int, color_given: bool) -> Dict[str, Any]:
    """JxlWriter keywords that keep what an input image file said."""
    out: Dict[str, Any] = {}
    if meta.icc_profile and not color_given:
        out["icc_profile"] = meta.icc_profile
    elif meta.color is not None and not color_given:
        out["color"] = meta.color
    if meta.exif:
        out["exif"] = meta.exif
    if meta.xmp:
        out["xmp"] = meta.xmp
    if frames > 1 and meta.durations is not None and len(meta.durations) == frames:
        out["duration"] = meta.durations
    if frames > 1 and meta.loops is not None:
        out["loops"] = meta.loops
    return out


def keep_for_jxl(src: str, arr: np.ndarray, meta: ImageMeta, *, stacked: bool,
                 color_given: bool, warn: Callable[[str], None] = note,
                 ) -> Tuple[np.ndarray, Dict[str, Any]]:
    """The pixels to encode and the JxlWriter keywords that keep what an input
    image file said: its colour (an ICC profile that fits the pixels, or the
    colour chunks; unless a colour is given), EXIF, XMP, and for a stack its
    durations and loops.

    The codestream here has no orientation of its own, so pixels stored with
    an EXIF orientation (or, without one there, an XMP one) are turned the
    way they are shown, and the orientation becomes 1 (every other byte kept).
    """
    turn, meta.exif, meta.xmp = upright_tags(meta.exif, meta.xmp)
    if turn is not None:
        arr = upright(arr, turn, stacked=stacked)
        said = "EXIF" if exif_orientation(meta.exif or b"") is not None else "XMP"
        warn(f"{src}: pixels turned upright by their {said} orientation {turn}")
    if meta.icc_profile and color_given:
        warn(f"{src}: its ICC profile is replaced by the colour asked for")
    elif meta.icc_profile:
        # Pillow keeps an RGB profile on a copy converted to grey, and CMYK
        # pixels arrive here as RGB: such a profile would mislabel them.
        samples = 1 if arr.ndim == (3 if stacked else 2) else int(arr.shape[-1])
        pixels = "GRAY" if samples <= 2 else "RGB"
        model = icc_model(meta.icc_profile)
        if model != pixels:
            warn(f"{src}: its ICC profile is for {model or 'unknown'} colour, the pixels are "
                 f"{'grey' if pixels == 'GRAY' else 'RGB'}; the profile is left out"
                 + (" (sRGB assumed)" if arr.dtype.kind in "ui" else ""))
            meta.icc_profile = None
            meta.color = ColorSpec() if arr.dtype.kind in "ui" else None
    frames = int(arr.shape[0]) if stacked else 1
    return arr, encode_meta(meta, frames, color_given)


def jxl_meta(path: str, fmt: str, *, all_frames: bool,
             warn: Callable[[str], None] = note, partial: bool = False) -> Tuple[ImageMeta, bool]:
    """What a decoded image written as `fmt` should carry, and whether to
    decode with the stored orientation (the EXIF then tells viewers).

    The ICC profile describes the pixels as decoded; it is left out only for
    plain sRGB. Durations and loops are given for a whole animation. With
    `partial` (a preview of a file that may be cut short) boxes that cannot
    be read are left out with a note instead of failing.
    """
    meta = ImageMeta()
    with reading(path):
        # Kept orientation: basic_info then reports the stored one (it says 1
        # when libjxl turns the pixels).
        with JxlReader(path, parse_color=True, max_pixels=None, keep_orientation=True,
                       extra_channels=True) as r:
            basic = r.basic_info
            if not plain_srgb(r.color):
                meta.icc_profile = r.icc_profile
            # Boxes that cannot be read at all fail the decode here (their
            # metadata would be lost); an unusable EXIF payload alone is left
            # out with a note.
            try:
                r.boxes
            except JxlError as exc:
                if not partial:
                    raise
                warn(f"{path}: EXIF and XMP left out: its boxes cannot be read ({exc})")
            else:
                try:
                    meta.exif = r.exif
                except JxlError as exc:
                    warn(f"{path}: EXIF left out ({exc})")
                meta.xmp = r.xmp
            if all_frames and basic["have_animation"]:
                meta.durations = [f["duration"] for f in r.frames_info]
                meta.loops = int(basic["num_loops"])
    keep_orientation = False
    stored = int(basic["orientation"])
    if meta.exif is not None:
        said = exif_orientation(meta.exif)
        if fmt in EXIF_FORMATS and said == stored and stored != 1:
            keep_orientation = True  # pixels as stored, turned by the viewer
        elif said not in (None, 1):
            meta.exif = with_orientation(meta.exif, 1)  # the pixels come upright
    return meta, keep_orientation


def summary(reader: JxlReader) -> Dict[str, Any]:
    """Boxes, EXIF summary and timing of an open reader, for ``info``."""
    try:
        boxes = reader.boxes
    except JxlError as exc:  # the rest of the file may still be worth showing
        return {"boxes": {"error": str(exc)}, "exif": None, "xmp_size": None}
    out: Dict[str, Any] = {"boxes": [list(b) for b in boxes]}
    try:
        exif = reader.exif
    except JxlError as exc:
        out["exif"] = {"error": str(exc)}
    else:
        if exif is None:
            out["exif"] = None
        else:
            try:
                out["exif"] = exif_summary(exif)
            except ValueError as exc:
                out["exif"] = {"error": str(exc)}
    out["xmp_size"] = None if reader.xmp is None else len(reader.xmp)
    return out
