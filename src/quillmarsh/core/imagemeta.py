"""Metadata of ordinary image files, read and written through Pillow.

The JPEG XL command line carries an image's metadata across formats: its ICC
profile, EXIF and XMP, and for animations the frame durations and the loop
count. This module is the Pillow side of that: `read_meta` gathers them from
an open Pillow image, `save_options` turns them into the keywords of
``Image.save`` for PNG/APNG, TIFF, WebP, GIF and JPEG, and `exif_summary`
makes EXIF readable for ``info``; the other helpers are shared by the command
line and the Pillow plugin (EXIF orientation, the colour an image's pixels are
in, profiles that do not fit the pixels, frames without a delay).

Conventions: EXIF is TIFF-structured bytes (starting "II*\\0" or "MM\\0*",
without the "Exif\\0\\0" marker some formats put first); XMP is bytes of
UTF-8 XML; durations are seconds per frame; ``loops`` is the number of times
the animation plays, 0 for forever (as in APNG, WebP and JPEG XL files). A
GIF's loop field counts repeats after the first play (browsers play loop + 1
times; no loop field, once), so its value is one less; the JPEG XL Pillow
plugin's ``loop`` follows GIF's, so a GIF goes through it and back unchanged.
A frame with a zero or missing delay is played for 100 ms by browsers; JPEG XL
would take it for a layer of the next frame, so it is given those 100 ms.
"""

from __future__ import annotations

import numbers
import re
import struct
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .color import JXL_TF_GAMMA, RI_RELATIVE, TF_LINEAR, ColorSpec

if TYPE_CHECKING:
    from PIL import Image as PILImage

__all__ = ["ImageMeta", "read_meta", "save_options", "dropped", "exif_summary", "EXIF_MARKER",
           "loops_of", "plays_of_gif_loop", "gif_loop_of_plays", "tiff_exif", "exif_orientation",
           "with_orientation", "xmp_orientation", "xmp_with_orientation", "shown_orientation", "upright_tags", "upright", "source_color", "icc_model",
           "profile_fits", "visible_delays", "DEFAULT_DELAY_MS"]

EXIF_MARKER = b"Exif\x00\x00"
_TIFF_HEADERS = (b"II*\x00", b"MM\x00*")
_PNG_XMP_KEY = "XML:com.adobe.xmp"
_TIFF_XMP_TAG = 700
_TIFF_EXIF_IFD, _TIFF_GPS_IFD = 0x8769, 0x8825
# The IFD0 tags of a TIFF that are EXIF rather than image structure.
_TIFF_EXIF_TAGS = (
    0x010E,  # ImageDescription
    0x010F,  # Make
    0x0110,  # Model
    0x0112,  # Orientation
    0x0131,  # Software
    0x0132,  # DateTime
    0x013B,  # Artist
    0x8298,  # Copyright
)


@dataclass
class ImageMeta:
    """What an image file says besides its pixels (None: it says nothing)."""

    icc_profile: Optional[bytes] = None
    exif: Optional[bytes] = None
    xmp: Optional[bytes] = None
    durations: Optional[List[float]] = None
    loops: Optional[int] = None
    notes: List[str] = field(default_factory=list)
    # The colour of pixels without an ICC profile (PNG sRGB/gAMA chunks, or
    # sRGB for untagged integer samples); None for float samples and with a profile.
    color: Optional[ColorSpec] = None


def tiff_exif(data: Any) -> Optional[bytes]:
    """TIFF-structured EXIF from bytes with or without the "Exif\\0\\0" marker."""
    if not isinstance(data, (bytes, bytearray)) or not data:
        return None
    raw = bytes(data)
    if raw.startswith(EXIF_MARKER):
        raw = raw[len(EXIF_MARKER):]
    return raw if raw[:4] in _TIFF_HEADERS else None


def _exif_of_tiff(img: "PILImage.Image") -> Optional[bytes]:
    """The EXIF of a TIFF file: its EXIF/GPS directories and descriptive tags.

    A TIFF keeps EXIF in its own first directory, next to the tags that lay
    out its strips; only the EXIF part is taken.
    """
    from PIL import Image

    src = img.getexif()
    if _TIFF_EXIF_IFD not in src and _TIFF_GPS_IFD not in src:
        return None
    out = Image.Exif()
    for tag in _TIFF_EXIF_TAGS:
        if tag in src:
            out[tag] = src[tag]
    for tag in (_TIFF_EXIF_IFD, _TIFF_GPS_IFD):
        if tag in src:
            ifd = src.get_ifd(tag)
            if ifd:
                out[tag] = ifd
    data = out.tobytes()
    return tiff_exif(data)


def _png_text_exif(info: Mapping[Any, Any]) -> Optional[bytes]:
    """EXIF that ImageMagick puts in a PNG text chunk (hex after three header
    lines), which Pillow's getexif reads too."""
    text = info.get("Raw profile type exif")
    if not isinstance(text, str):
        return None
    try:
        return bytes.fromhex("".join(text.split("\n")[3:]))
    except ValueError:
        return None


def _xmp_of(img: "PILImage.Image") -> Optional[bytes]:
    value: Any = img.info.get("xmp")
    if value is None:
        value = img.info.get(_PNG_XMP_KEY)
    if value is None and img.format == "TIFF":
        tags = getattr(img, "tag_v2", None)
        value = tags.get(_TIFF_XMP_TAG) if tags is not None else None
    if isinstance(value, str):
        value = value.encode("utf-8")
    if isinstance(value, tuple):  # a TIFF BYTE tag read as a tuple of ints
        value = bytes(value)
    return bytes(value) if isinstance(value, (bytes, bytearray)) and value else None


def plays_of_gif_loop(loop: Any) -> int:
    """Plays of a GIF-style loop field: absent (None) once, 0 forever, n n + 1 times."""
    if loop is None:
        return 1
    if isinstance(loop, bool) or not isinstance(loop, numbers.Integral) or loop < 0:
        raise ValueError(f"loop must be a whole number >= 0 (0: forever), got {loop!r}")
    return 0 if loop == 0 else int(loop) + 1


def gif_loop_of_plays(plays: int) -> Optional[int]:
    """The GIF-style loop field of `plays` (0 forever): None for a single play."""
    return None if plays == 1 else (0 if plays == 0 else plays - 1)


def loops_of(img: "PILImage.Image") -> int:
    """Plays of an animation open in Pillow, 0 for forever. GIF's loop field,
    and the JPEG XL plugin's that follows it, count repeats (none: one play);
    APNG's and WebP's count plays."""
    loop = img.info.get("loop")
    if img.format in ("GIF", "JXL"):
        return plays_of_gif_loop(loop)
    return 0 if loop is None else int(loop)


DEFAULT_DELAY_MS = 100


def visible_delays(ms: Sequence[Optional[float]]) -> Tuple[List[float], List[int]]:
    """Frame delays in ms with each zero or missing one made 100 ms, as
    browsers play them, and the indices of the frames so changed."""
    out: List[float] = []
    changed: List[int] = []
    for i, value in enumerate(ms):
        if value is None or float(value) <= 0:
            changed.append(i)
            value = DEFAULT_DELAY_MS
        out.append(float(value))
    return out, changed


# --- orientation ---------------------------------------------------------------

_ORIENTATION_TAG = 0x0112
_XMP_ORIENTATION = re.compile(rb'(tiff:Orientation(?:="|>))([0-9])')


# The orientation's value as stored: SHORT as the standard has it, LONG as
# some writers put it (Pillow reads either).
_ORIENTATION_FORMATS = {3: "H", 4: "I"}


def _orientation_entry(exif: bytes) -> Optional[Tuple[int, str]]:
    """Where the first directory's orientation value lies in TIFF-structured
    `exif` and its struct format; None without a readable one."""
    if exif[:4] not in _TIFF_HEADERS:
        return None
    order = "<" if exif[:2] == b"II" else ">"
    try:
        (ifd,) = struct.unpack_from(order + "I", exif, 4)
        (count,) = struct.unpack_from(order + "H", exif, ifd)
        for i in range(count):
            pos = ifd + 2 + 12 * i
            tag, kind, n = struct.unpack_from(order + "HHI", exif, pos)
            if tag == _ORIENTATION_TAG and n == 1 and kind in _ORIENTATION_FORMATS:
                return pos + 8, order + _ORIENTATION_FORMATS[kind]
    except struct.error:
        pass
    return None


def exif_orientation(exif: bytes) -> Optional[int]:
    """The orientation tag of TIFF-structured EXIF; None without one or when
    it cannot be read. Read where `with_orientation` writes it, so that pixels
    are only turned when the tag can be set to 1 (and other damage in the
    EXIF does not hide it)."""
    entry = _orientation_entry(exif)
    if entry is None:
        return None
    return int(struct.unpack_from(entry[1], exif, entry[0])[0])


def with_orientation(exif: bytes, value: int) -> bytes:
    """TIFF-structured `exif` with its first-directory orientation set to
    `value`, every other byte unchanged (the tag is patched in place);
    unchanged without the tag."""
    entry = _orientation_entry(exif)
    if entry is None:
        return exif
    out = bytearray(exif)
    struct.pack_into(entry[1], out, entry[0], value)
    return bytes(out)


def xmp_orientation(xmp: Optional[bytes]) -> Optional[int]:
    """The tiff:Orientation of an XMP packet (attribute or element), or None."""
    found = _XMP_ORIENTATION.search(xmp) if xmp else None
    return int(found.group(2)) if found else None


def shown_orientation(exif: Optional[bytes], xmp: Optional[bytes]) -> Optional[int]:
    """The orientation viewers apply, by Pillow's rule: the EXIF's, else the
    XMP's (PNGs tagged by XMP tools often carry it there alone)."""
    said = exif_orientation(exif) if exif else None
    return said if said is not None else xmp_orientation(xmp)


def xmp_with_orientation(xmp: bytes, value: int) -> bytes:
    """An XMP packet with its tiff:Orientation (attribute or element) set to
    `value`: Pillow reads it when the EXIF has no orientation."""
    return _XMP_ORIENTATION.sub(lambda m: m.group(1) + b"%d" % value, xmp)


def upright_tags(exif: Optional[bytes], xmp: Optional[bytes]
                 ) -> Tuple[Optional[int], Optional[bytes], Optional[bytes]]:
    """The orientation viewers apply to pixels with this EXIF and XMP (None
    when there is nothing to turn), and the EXIF and XMP with it set to 1, as
    they must read once the pixels are turned with `upright`.

    JPEG XL shows pixels as its codestream orients them and ignores these
    tags, so the pixels are turned and the tags say so."""
    turn = shown_orientation(exif, xmp)
    if turn is None or turn == 1:
        return None, exif, xmp
    return (turn, with_orientation(exif, 1) if exif else exif,
            xmp_with_orientation(xmp, 1) if xmp else xmp)


# EXIF orientation -> the array operation that turns the stored pixels upright
# (what Pillow's ImageOps.exif_transpose does).
_UPRIGHT = {
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: a.swapaxes(0, 1),
    6: lambda a: a.swapaxes(0, 1)[:, ::-1],
    7: lambda a: a.swapaxes(0, 1)[::-1, ::-1],
    8: lambda a: a.swapaxes(0, 1)[::-1],
}


def upright(arr: np.ndarray, orientation: int, stacked: bool) -> np.ndarray:
    """Pixels stored with an EXIF orientation, turned the way they are shown;
    `stacked` arrays hold frames on their first axis."""
    turn = _UPRIGHT.get(orientation)
    if turn is None:
        return arr
    if stacked:
        return np.ascontiguousarray(np.stack([turn(f) for f in arr]))
    return np.ascontiguousarray(turn(arr))


# --- colour ----------------------------------------------------------------------

_SRGB_CHROMATICITY = (0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06)


def source_color(info: Mapping[Any, Any], mode: str) -> Tuple[Optional[ColorSpec], Optional[str]]:
    """The colour of an image without an ICC profile, from what Pillow puts in
    `info` (a PNG's sRGB, gAMA and cHRM chunks), and a note on what could not
    be kept.

    Image files are sRGB by convention, so untagged integer samples are sRGB;
    float samples (mode F, or F;...) give None: the writer's default, linear.
    """
    if mode.startswith("F"):
        return None, None
    intent = info.get("srgb")
    if isinstance(intent, int) and not isinstance(intent, bool):
        return ColorSpec(rendering_intent=intent if 0 <= intent <= 3 else RI_RELATIVE), None
    gamma = info.get("gamma")
    if not isinstance(gamma, (int, float)) or not 0.0 < float(gamma) <= 1.0:
        note = None if gamma is None else f"its gAMA {gamma!r} is unusable; tagged sRGB"
        return ColorSpec(), note
    note = None
    chrm = info.get("chromaticity")
    if chrm is not None and not (
            len(chrm) == 8 and all(abs(float(a) - b) < 0.002 for a, b in zip(chrm, _SRGB_CHROMATICITY))):
        note = "its cHRM primaries are not sRGB's and were left out (sRGB primaries assumed)"
    if abs(float(gamma) - 1.0) < 1e-4:
        return ColorSpec(transfer=TF_LINEAR), note
    return ColorSpec(transfer=JXL_TF_GAMMA, gamma=float(gamma)), note


def icc_model(icc: bytes) -> Optional[str]:
    """The colour space an ICC profile is for ("RGB", "GRAY", "CMYK", ...), from
    its header; None when the bytes are too short to be a profile."""
    if len(icc) < 20:
        return None
    return icc[16:20].decode("latin-1").strip()


def profile_fits(icc: bytes, mode: str) -> bool:
    """Whether an ICC profile describes pixels of Pillow's `mode`: a grey
    profile for grey modes, a CMYK one for CMYK, an RGB one for colour.
    Pillow keeps an RGB image's profile on a copy converted to grey."""
    grey = mode in ("1", "L", "LA", "La", "I", "F") or mode.startswith(("I;", "F;"))
    return icc_model(icc) == ("GRAY" if grey else "CMYK" if mode == "CMYK" else "RGB")


def read_meta(img: "PILImage.Image", *, timing: bool = True) -> ImageMeta:
    """ICC profile, EXIF, XMP and (with `timing`) frame durations and loops.

    `img` is an image fresh from ``Image.open``; it is left at its first
    frame. Durations and loops are given only for animations (GIF, APNG,
    WebP); a multi-page TIFF has none.
    """
    # A PNG's eXIf chunk may follow the pixels. Loading a TIFF applies and
    # drops its orientation tag, so its EXIF matches the pixels it gives.
    img.load()
    meta = ImageMeta()
    icc = img.info.get("icc_profile")
    meta.icc_profile = bytes(icc) if icc else None
    if meta.icc_profile is None:
        meta.color, color_note = source_color(img.info, img.mode)
        if color_note:
            meta.notes.append(color_note)
    if img.format == "TIFF":
        meta.exif = _exif_of_tiff(img)
    else:
        meta.exif = tiff_exif(img.info.get("exif") or _png_text_exif(img.info))
        if img.info.get("exif") and meta.exif is None:
            meta.notes.append("its EXIF is not TIFF-structured and was left out")
    meta.xmp = _xmp_of(img)
    n = int(getattr(img, "n_frames", 1))
    if timing and getattr(img, "is_animated", False) and img.format in ("GIF", "PNG", "WEBP"):
        meta.loops = loops_of(img)
        delays = []
        for i in range(n):
            img.seek(i)
            ms = img.info.get("duration")
            if ms is None:
                img.load()
                ms = img.info.get("duration")
            delays.append(ms)
        img.seek(0)
        shown, changed = visible_delays(delays)
        if changed:
            meta.notes.append(f"{len(changed)} of its {n} frames had no delay and are shown "
                              f"for {DEFAULT_DELAY_MS} ms each, as browsers play them")
        meta.durations = [ms / 1000.0 for ms in shown]
    return meta


def _ms(seconds: float) -> int:
    return int(round(seconds * 1000.0))


def save_options(fmt: str, meta: ImageMeta, n_frames: int = 1) -> Dict[str, Any]:
    """Keywords for ``Image.save(..., format=fmt)`` that write `meta`.

    `fmt` is a Pillow format name (PNG, TIFF, WEBP, GIF, JPEG). What the
    format cannot hold is left out; `dropped` names it.
    """
    from PIL import Image, PngImagePlugin

    opts: Dict[str, Any] = {}
    exif = meta.exif
    if fmt in ("PNG", "WEBP", "JPEG", "TIFF") and meta.icc_profile:
        opts["icc_profile"] = meta.icc_profile
    if fmt == "PNG":
        if exif:
            opts["exif"] = exif
        if meta.xmp:
            info = PngImagePlugin.PngInfo()
            info.add_itxt(_PNG_XMP_KEY, meta.xmp.decode("utf-8", "replace"))
            opts["pnginfo"] = info
    elif fmt == "JPEG":
        if exif:
            opts["exif"] = EXIF_MARKER + exif
        if meta.xmp:
            opts["xmp"] = meta.xmp
    elif fmt == "WEBP":
        if exif:
            opts["exif"] = exif
        if meta.xmp:
            opts["xmp"] = meta.xmp
    elif fmt == "TIFF":
        # The writer takes one tag table: the EXIF's, with the XMP packet in it.
        if exif or meta.xmp:
            tags = Image.Exif()
            if exif:
                tags.load(EXIF_MARKER + exif)
            if meta.xmp:
                tags[_TIFF_XMP_TAG] = meta.xmp
            opts["exif"] = tags
    if n_frames > 1 and fmt in ("PNG", "WEBP", "GIF"):
        if meta.durations is not None:
            ms = [_ms(d) for d in meta.durations[:n_frames]]
            if fmt == "GIF":  # hundredths of a second; a short frame stays a frame
                ms = [0 if m == 0 else max(10, 10 * round(m / 10)) for m in ms]
            opts["duration"] = ms
        loops = 0 if meta.loops is None else int(meta.loops)
        if fmt == "GIF":
            if loops != 1:
                opts["loop"] = gif_loop_of_plays(loops)
        else:
            opts["loop"] = loops
    return opts


def dropped(fmt: str, meta: ImageMeta, n_frames: int = 1) -> List[str]:
    """Names of what `save_options(fmt, meta, n_frames)` cannot write."""
    lost = []
    if fmt == "GIF":
        lost += [name for name, v in (("ICC profile", meta.icc_profile), ("EXIF", meta.exif),
                                      ("XMP", meta.xmp)) if v]
    if n_frames > 1 and fmt == "TIFF" and meta.durations is not None:
        lost.append("frame durations")
    return lost


# --- readable summaries ------------------------------------------------------

_MAKE, _MODEL, _DATETIME, _DATETIME_ORIGINAL = 0x010F, 0x0110, 0x0132, 0x9003


def exif_summary(exif: bytes) -> Dict[str, Any]:
    """Camera, date and orientation of TIFF-structured EXIF (what is present).

    Raises ValueError when the bytes cannot be parsed.
    """
    from PIL import Image

    tags = Image.Exif()
    try:
        # Pillow only warns about some damage; it is an error here.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            tags.load(EXIF_MARKER + exif)
            sub = tags.get_ifd(_TIFF_EXIF_IFD)
    except Exception as exc:  # Pillow raises several kinds for broken EXIF
        raise ValueError(f"unreadable EXIF ({exc})") from None
    out: Dict[str, Any] = {}
    camera = " ".join(str(tags[t]).strip("\x00 ") for t in (_MAKE, _MODEL) if t in tags)
    if camera:
        out["camera"] = camera
    date = sub.get(_DATETIME_ORIGINAL) or tags.get(_DATETIME)
    if date:
        out["date"] = str(date).strip("\x00 ")
    if _ORIENTATION_TAG in tags:
        out["orientation"] = int(tags[_ORIENTATION_TAG])
    return out
