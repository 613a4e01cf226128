"""JPEG XL in Pillow through quillmarsh's codec: ``import quillmarsh.pillow``
(or ``quillmarsh.integrations.pillow``, the same module's home).

Importing this module registers the format "JXL" (extension ``.jxl``, MIME
type ``image/jxl``) with Pillow::

    from PIL import Image
    import quillmarsh.pillow  # noqa: F401

    with Image.open("photo.jxl") as im:      # header and metadata only
        im.thumbnail((256, 256))             # a lossy file: from its 1:8 pass
    im.save("small.jxl", quality=90)

Modes on reading:

==========================  =========================================
file                        Pillow mode
==========================  =========================================
8-bit grey / grey+alpha     L / LA
8-bit colour (+ alpha)      RGB / RGBA
9- to 16-bit grey           I;16, scaled to the full 0..65535 range
float grey                  F (the file's values, float32)
9-bit and deeper colour     RGB / RGBA (or LA), reduced to 8 bits:
and grey + alpha            Pillow has no 16-bit colour modes
==========================  =========================================

Float colour is clipped to 0..1 before the reduction. Extra channels other
than the first alpha (depth, thermal, ...) are left out; colour with a black
channel opens as CMYK (Pillow's convention, 255 full ink, with the file's CMYK
profile), or rendered to sRGB as RGBA when it has alpha too. ``info`` holds
"icc_profile", "exif" (as Pillow's JPEG and PNG plugins give it: "Exif\\0\\0"
then TIFF-structured bytes), "xmp", and for animations "duration"
(milliseconds of the current frame) and "loop" as GIF has it: the repeats
after the first play (0: forever; absent: plays once), so a GIF opened in
Pillow, saved as JPEG XL and saved back as GIF plays as often as before. The
file stores plays (a GIF's loop=3 is num_loops 4, as the command line writes
it). An APNG or WebP source's ``loop`` (which counts plays) is read with its
own meaning when saving.

Orientation: the pixels come upright, as the codestream orients them (JPEG
XL ignores an EXIF orientation), and the orientation in "exif" and "xmp" is
1, so ``ImageOps.exif_transpose`` leaves them as they are. Saving an image
with EXIF of another orientation (``exif=im.info["exif"]`` of a camera JPEG),
or XMP with one when the EXIF has none (Pillow's rule), turns the pixels
upright and stores orientation 1.

Errors are Pillow's: ``Image.open`` raises ``UnidentifiedImageError`` for a
file whose header is damaged or cut short and ``OSError`` for a valid file of a
kind the plugin does not read; ``load()`` raises
``OSError`` ("image file is truncated", "broken data stream") for damaged
pixel data; ``seek`` past the last frame raises ``EOFError``. The codec's own
error is the exception's ``__cause__``. With ``ImageFile.LOAD_TRUNCATED_IMAGES``
a file cut short loads what libjxl decoded before the cut (a lossy file's
passes so far), black where it had nothing to show, and a cut animation has
the frames libjxl can show (``n_frames``, ``ImageSequence``). Loaded pixels
are writable (``im.load()[x, y] = ...``).

Saving takes the modes above, CMYK with a CMYK profile as CMYK (and converts
1, P, PA, I, CMYK without a profile, YCbCr, ...) with
the options ``lossless`` (the default without ``quality``/``distance``;
``lossless=True`` wins over a quality, as in Pillow's WebP writer; without a
quality ``lossless=False`` means quality 90), ``quality`` (100 is lossless, as
in cjxl), ``distance``, ``effort``, ``progressive``, ``icc_profile`` (the
image's own by default; one for another colour model than the pixels', such
as the RGB profile Pillow keeps on a grey copy, is left out with a
UserWarning), ``exif`` (``Image.Exif`` or bytes, with or without
"Exif\\0\\0"), ``xmp``; ``save_all=True`` with ``append_images``,
``duration`` (ms, one number or one per frame) and ``loop``;
``lossless_jpeg=True`` for an image opened from a JPEG file stores that file's
JPEG bytes losslessly instead of its pixels; ``target_score`` (SSIMULACRA 2)
or ``target_size`` (bytes) for a still lets the writer choose the distance,
and the saved image's ``info["target_result"]`` says what it reached. Without
a profile, integer pixels are tagged with the colour the source file states (a PNG's sRGB or
gAMA chunk) or sRGB, as image files are by convention; float (F) pixels are
linear. A frame whose delay is zero or missing is stored for 100 ms, as
browsers play it (JPEG XL would make it a layer of the next frame): the
indices of such frames are put in the saved image's ``info["zero_delay_frames"]``.
"""

from __future__ import annotations

import io
import os
import warnings
from dataclasses import dataclass
from typing import IO, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

try:
    from PIL import Image, ImageFile, ImageSequence, UnidentifiedImageError
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("quillmarsh.pillow needs Pillow: pip install 'quillmarsh[image]'") from exc

from quillmarsh.codecs import jxl
from quillmarsh.core import imagemeta

from ._arrow import arrow_pixels
from .header import fit_to_shape, read_header, reduced_shape

__all__ = ["JxlImageFile", "FORMAT", "MIME", "EXTENSIONS", "ZERO_DELAYS"]

FORMAT = "JXL"
MIME = "image/jxl"
EXTENSIONS = [".jxl"]
# The info key a saved animation's first image gets when frames of zero or no
# delay were stored as 100 ms: their indices.
ZERO_DELAYS = "zero_delay_frames"
# The info key a still saved with target_score or target_size gets: what the
# encode reached (a TargetResult: distance, score, size, encodes).
TARGET_RESULT = "target_result"
_CODESTREAM = b"\xff\x0a"
_COLOUR_MODES = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
# Modes whose samples Pillow keeps in the decoder's layout (frombuffer maps them).
_SHARED_MODES = ("L", "RGBA", "I;16")
# What the codec raises for a stream it cannot read.
_STREAM_ERRORS = (jxl.JxlError, ValueError)
_fromarrow = getattr(Image, "fromarrow", None)  # Pillow 11.2 and later


def _load_error(exc: BaseException) -> OSError:
    """The OSError Pillow callers expect from load() for damaged pixel data."""
    if isinstance(exc, NotImplementedError):
        return OSError(f"JPEG XL image of a kind this plugin does not read: {exc}")
    if isinstance(exc, EOFError) or "truncated" in str(exc):
        return OSError(f"image file is truncated (JPEG XL: {exc})")
    return OSError(f"broken data stream when reading JPEG XL image: {exc}")


def _accept(prefix: bytes) -> bool:
    return bool(jxl.check_signature(prefix[:16]))


def _is_srgb(color: Any) -> bool:
    """Whether the file's colour encoding is plain sRGB (or grey with sRGB's curve).

    Pillow takes an image without a profile as sRGB, so such files get no
    "icc_profile" (one made up by libjxl would only grow a saved copy).
    """
    if not color or color["white_point"] != 1 or color["transfer_function"] != 13:
        return False
    return bool(color["color_space"] == 1 or (color["color_space"] == 0 and color["primaries"] == 1))


def _own_dtype(basic: Mapping[str, Any]) -> Any:
    """The sample type libjxl gives the colour channels alone."""
    if basic["exponent_bits_per_sample"]:
        return np.float16 if basic["bits_per_sample"] <= 16 else np.float32
    return np.uint8 if basic["bits_per_sample"] <= 8 else np.uint16


def _pillow_mode(samples: int, dtype: Any) -> str:
    if samples == 1 and dtype == np.uint16:
        return "I;16"
    if samples == 1 and dtype in (np.float16, np.float32):
        return "F"
    return _COLOUR_MODES[samples]


def _to_pillow(frame: np.ndarray, mode: str, bits: int) -> np.ndarray:
    """The frame's samples as Pillow's `mode` holds them."""
    if mode == "F":
        return np.ascontiguousarray(frame, dtype=np.float32)
    if frame.dtype == np.uint8:
        return frame
    if frame.dtype == np.uint16:
        top = (1 << bits) - 1 if 8 < bits < 16 else 65535
        wide = frame.astype(np.uint32)
        if mode == "I;16":
            if top == 65535:
                return frame
            return ((wide * 65535 + top // 2) // top).astype(np.uint16)
        return ((wide * 255 + top // 2) // top).astype(np.uint8)
    scaled = np.clip(frame.astype(np.float32), 0.0, 1.0) * 255.0 + 0.5
    return scaled.astype(np.uint8)


@dataclass(frozen=True)
class _ChannelPlan:
    """Which of a file's channels make the Pillow image, and how frames are
    decoded for it."""

    mode: str
    samples: int
    dtype: Any                     # the samples' type before Pillow's conversion
    read_options: Dict[str, Any]   # JxlReader keywords for the frames
    pick: Optional[List[int]] = None  # channels taken from an extra_channels decode
    invert: bool = False           # JPEG XL's 0 is full ink, Pillow's 255
    render: Optional[str] = None   # output_color: rendered through the profile


def _plan_channels(basic: Mapping[str, Any], channels: Sequence[Mapping[str, Any]],
                   plain: Tuple[int, Any]) -> _ChannelPlan:
    """The mode, and how frames are decoded for it.

    Colour and the first alpha channel make the image; other extra channels
    (depth, thermal, ...) are left out. Colour with a black channel is
    Pillow's CMYK (Pillow's convention: 255 is full ink, the file's 0), or
    rendered to sRGB through its profile when it has alpha, which CMYK cannot
    hold. `plain` is the (samples, dtype) of a decode without options.
    """
    colour = int(basic["num_color_channels"])
    extras = [ch["type"] for ch in channels[colour:]]
    alpha = [colour + extras.index("alpha")] if "alpha" in extras else []
    own = _own_dtype(basic)
    if len(extras) == len(alpha):
        samples, dtype = plain
        return _ChannelPlan(_pillow_mode(samples, dtype), samples, dtype, {})
    if "black" in extras and colour == 3 and not alpha:
        return _ChannelPlan("CMYK", 4, own, {"extra_channels": True},
                            pick=[0, 1, 2, colour + extras.index("black")], invert=True)
    if "black" in extras:
        samples = colour + len(alpha)
        return _ChannelPlan(_pillow_mode(samples, own), samples, own, {"output_color": "srgb"},
                            render="srgb")
    pick = list(range(colour)) + alpha
    return _ChannelPlan(_pillow_mode(len(pick), own), len(pick), own,
                        {"extra_channels": True, "render_spot_colors": True}, pick=pick)


class _ArrowPixels:
    """A (Y, X, 4) uint8 array offered to Image.fromarrow, which shares it."""

    def __init__(self, frame: np.ndarray) -> None:
        self._frame = frame

    def __arrow_c_array__(self, requested_schema: Any = None) -> Any:
        return arrow_pixels(self._frame)


def _rgb_image(frame: np.ndarray, size: Tuple[int, int]) -> Image.Image:
    """An RGB image over a frame decoded with an opaque fourth sample.

    Pillow keeps RGB in four bytes per pixel, the fourth 255, which is the
    frame's layout: sharing it skips Pillow's unpacking pass and its own
    full-size allocation.
    """
    if _fromarrow is not None:
        try:
            shared: Image.Image = _fromarrow(_ArrowPixels(frame), "RGB", size)
            return shared
        except ValueError:  # a Pillow that does not take this layout
            pass
    img = Image.new("RGB", size, None)
    img.frombytes(frame, "raw", "RGBX")
    return img


class _CopyOnWrite:
    """Pillow's PixelAccess over a frame shared with Pillow through Arrow,
    which Pillow keeps read-only: the first write copies the frame (as
    Pillow's own paste and putpixel do)."""

    def __init__(self, image: Image.Image, access: Any) -> None:
        self._image = image
        self._access = access

    def __getitem__(self, xy: Any) -> Any:
        return self._access[xy]

    def __setitem__(self, xy: Any, value: Any) -> None:
        if self._image.readonly:
            self._image._ensure_mutable()
            self._access = self._image.im.pixel_access(False)
        self._access[xy] = value

    def getpixel(self, xy: Any) -> Any:
        return self[xy]

    def putpixel(self, xy: Any, value: Any) -> None:
        self[xy] = value


class JxlImageFile(ImageFile.ImageFile):
    """A JPEG XL file: header at open, pixels at load, one frame at a time."""

    format = FORMAT
    format_description = "JPEG XL"

    def _open(self) -> None:
        # Pillow's conventions: a file it cannot identify raises
        # UnidentifiedImageError, a file of an unsupported kind OSError; the
        # codec's own exceptions would escape callers that catch OSError.
        try:
            self._open_stream()
        except NotImplementedError as exc:
            raise OSError(f"JPEG XL image of a kind this plugin does not read: {exc}") from exc
        except _STREAM_ERRORS as exc:
            where = f"image file {self.filename!r}" if self.filename else "image"
            raise UnidentifiedImageError(
                f"cannot identify {where}: damaged or truncated JPEG XL file ({exc})"
            ) from exc

    def _open_stream(self) -> None:
        assert self.fp is not None
        # Every channel layout opens; which channels become the image is
        # chosen here (colour and alpha; a black channel makes CMYK).
        reader, head, complete = read_header(self.fp, parse_color=True, extra_channels=True)
        with reader:
            basic = reader.basic_info
            channels = reader.channels
            self._animated_header = bool(reader.is_animation)
            icc = reader.icc_profile if not _is_srgb(reader.color) else None
            plain = (reader.samples, reader.dtype)
        self._bits = int(basic["bits_per_sample"])
        self._plan = _plan_channels(basic, channels, plain)
        self._mode = self._plan.mode
        # Lossy (XYB) files are coded in passes whose first gives a 1:8 image.
        self._lossy = not basic["uses_original_profile"]
        self._size = (int(basic["xsize"]), int(basic["ysize"]))
        self._head = head
        self._data: Optional[bytes] = head if complete else None
        self._frame = 0
        self._loaded: Optional[Tuple[int, int]] = None  # (frame, downsample) in self.im
        self._downsample = 1
        self._frames: Optional[List[Dict[str, Any]]] = None
        self._frame_total: Optional[int] = None
        self._iter: Optional[Any] = None
        self._iter_next = -1
        self._iter_reader: Optional[Any] = None
        if icc and self._plan.render is None:
            self.info["icc_profile"] = icc
        if head[:2] != _CODESTREAM:
            # A container: its metadata boxes may lie anywhere in the file.
            # One cut short (or with boxes that cannot be read) still opens,
            # as Pillow's formats do with an intact header; load() tells.
            try:
                with jxl.JxlReader(self._all_bytes(), parse_color=False,
                                   extra_channels=True) as full:
                    exif, xmp = full.exif, full.xmp
            except _STREAM_ERRORS:
                exif = xmp = None
            # The pixels come as the codestream orients them, which is how
            # JPEG XL shows them (an EXIF orientation is not applied on top):
            # the orientation Pillow sees is 1, so exif_transpose leaves them.
            if exif:
                self.info["exif"] = imagemeta.EXIF_MARKER + imagemeta.with_orientation(exif, 1)
            if xmp:
                self.info["xmp"] = imagemeta.xmp_with_orientation(xmp, 1)
        if self._animated_header:
            # GIF's meaning (repeats after the first play; absent: once).
            loop = imagemeta.gif_loop_of_plays(int(basic["num_loops"]))
            if loop is not None:
                self.info["loop"] = loop
            self._set_duration()

    # -- whole stream, frames and timing ----------------------------------

    def _all_bytes(self) -> bytes:
        if self._data is None:
            assert self.fp is not None
            self._data = self._head + self.fp.read()
        self._release_file()
        return self._data

    def _release_file(self) -> None:
        # Everything is in memory: a file Pillow opened for us can go now
        # (Image.open marks it exclusive only after _open returns).
        if self._data is not None and self.fp is not None and self._exclusive_fp:
            self.fp.close()
            self.fp = None

    def _frame_headers(self) -> List[Dict[str, Any]]:
        if self._frames is None:
            try:
                self._frames = [dict(f) for f in jxl.frames_info(self._all_bytes())]
            except _STREAM_ERRORS as exc:
                raise _load_error(exc) from exc
        return self._frames

    def _set_duration(self) -> None:
        if self._animated_header:
            try:
                seconds = float(self._frame_headers()[self._frame]["duration"])
            except OSError:  # frames cut short: no timing known
                self.info.pop("duration", None)
                return
            self.info["duration"] = int(round(seconds * 1000.0))

    @property
    def n_frames(self) -> int:
        if not self._animated_header:
            return 1
        try:
            return len(self._frame_headers())
        except OSError:
            if not ImageFile.LOAD_TRUNCATED_IMAGES:
                raise
        # A cut animation under Pillow's flag: the frames libjxl can show,
        # found by decoding them (the headers of the frames cut off are lost).
        if self._frame_total is None:
            count = 0
            try:
                with jxl.JxlReader(self._all_bytes(), parse_color=False, allow_partial=True,
                                   **self._plan.read_options) as reader:
                    for _ in reader.iter_frames():
                        count += 1
            except _STREAM_ERRORS:
                pass
            self._frame_total = max(count, 1)
        return self._frame_total

    @property
    def is_animated(self) -> bool:
        return self.n_frames > 1

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._frame = frame
        self._set_duration()

    def tell(self) -> int:
        return self._frame

    # -- pixels --------------------------------------------------------------

    def draft(
        self, mode: Optional[str], size: Optional[Tuple[int, int]]
    ) -> Optional[Tuple[str, Tuple[int, int, float, float]]]:
        """Decode at 1:8 when `size` allows it and the file is lossy.

        Only the factor 8 is used: libjxl renders it from a lossy file's early
        (DC) pass, skipping the rest when the file is progressive, and the
        image is a smooth 1:8 picture either way. The centre pixel of each 8x8
        block is kept, the one nearest the block's average (the top-left one
        sits on the block's edge). Smaller factors, and lossless files (no such
        pass), would cost a full decode and sample it without filtering, so
        Pillow's own resampling is left to do them better.
        """
        if size is None or self._loaded is not None or self._downsample != 1:
            return None
        scale = min(self.size[0] // max(size[0], 1), self.size[1] // max(size[1], 1))
        if scale < 8 or not self._lossy:
            return None
        original = self.size
        self._downsample = 8
        y, x = reduced_shape((original[1], original[0]), 8)
        self._size = (x, y)
        return self.mode, (0, 0, original[0] / 8, original[1] / 8)

    def _next_frame(self, index: int) -> np.ndarray:
        """Frame `index`, continuing the open frame iterator when it is next."""
        if self._iter is None or self._iter_next != index:
            self._close_iter()
            self._iter_reader = jxl.JxlReader(
                self._all_bytes(), parse_color=False, skip_frames=index,
                downsample=self._downsample, subsample="center", opaque_alpha=self._rgbx,
                allow_partial=bool(ImageFile.LOAD_TRUNCATED_IMAGES), **self._plan.read_options,
            )
            self._iter = self._iter_reader.iter_frames()
            self._iter_next = index
        try:
            frame = next(self._iter)
        except StopIteration:
            self._close_iter()
            raise EOFError(f"no frame {index} in this JPEG XL file") from None
        self._iter_next += 1
        return frame

    @property
    def _rgbx(self) -> bool:
        # RGB decoded with an opaque fourth sample: Pillow's own layout.
        return self.mode == "RGB" and self._plan.pick is None and self._plan.render is None

    def _close_iter(self) -> None:
        if self._iter_reader is not None:
            self._iter_reader.close()
        self._iter_reader = self._iter = None

    def load(self) -> Any:
        want = (self._frame, self._downsample)
        if self._loaded != want:
            try:
                frame = self._selected(self._next_frame(self._frame))
            except (EOFError, NotImplementedError) + _STREAM_ERRORS as exc:
                self._close_iter()  # the next load() starts over
                error = _load_error(exc)
                if not (ImageFile.LOAD_TRUNCATED_IMAGES and "truncated" in str(error)):
                    raise error from exc
                # Pillow's meaning of the flag: a truncated image loads, black
                # where nothing could be decoded (here: libjxl had nothing
                # to show yet; what it can show comes as a partial frame).
                frame = None
            if frame is None:
                img = Image.new(self.mode, self.size)
            else:
                img = self._image_of(_to_pillow(frame, self.mode, self._bits))
            self.im = img.im
            # The decoded frame belongs to this image alone: Pillow may write
            # into it as into any loaded image (an Arrow-shared one is
            # read-only to Pillow: load() then gives a copy-on-write access).
            self.readonly = 0
            self._loaded = want
            if not self._animated_header:
                self._close_iter()
            self._release_file()
        self.tile = []
        access = Image.Image.load(self)
        if access is not None and self.readonly:
            return _CopyOnWrite(self, access)
        return access

    def _selected(self, frame: np.ndarray) -> np.ndarray:
        """The decoded frame at this image's size with only the channels it shows."""
        plan = self._plan
        samples = 4 if self._rgbx else plan.samples
        if plan.pick is not None:
            frame = frame[..., plan.pick]
            own = np.dtype(plan.dtype)
            if frame.dtype != own:  # widened for another channel
                if frame.dtype.kind == "f" and own.kind != "f":
                    top = (1 << min(self._bits, 16)) - 1
                    frame = np.clip(frame, 0.0, 1.0) * top + 0.5
                frame = frame.astype(own)
            if plan.invert:
                frame = 255 - _to_pillow(frame, "CMYK", self._bits)
            frame = np.ascontiguousarray(frame)
        shape = (self.size[1], self.size[0]) + (() if samples == 1 else (samples,))
        return fit_to_shape(frame, shape)

    def _image_of(self, frame: np.ndarray) -> Image.Image:
        """A Pillow image of this file's mode holding `frame`'s samples."""
        if self._rgbx:
            return _rgb_image(frame, self.size)
        if self.mode in _SHARED_MODES:
            # Pillow uses the array's memory as it is.
            return Image.frombuffer(self.mode, self.size, frame, "raw", self.mode, 0, 1)
        # Unpacked into Pillow's own layout once, into a new image without
        # the fill pass Image.frombuffer makes first.
        img = Image.new(self.mode, self.size, None)
        img.frombytes(frame, "raw", self.mode)
        return img

    def load_seek(self, pos: int) -> None:  # pragma: no cover - tiles are never used
        pass

    def close(self) -> None:
        self._close_iter()
        super().close()


# ---------------------------------------------------------------------------
# saving


def _save_array(im: Image.Image, cmyk: bool = False) -> np.ndarray:
    """The image's pixels as an array the encoder takes; with `cmyk`, a CMYK
    image's as colour and black channels (JPEG XL's 0 is full ink)."""
    mode = im.mode
    if cmyk and mode == "CMYK":
        return 255 - np.asarray(im)
    if mode in ("L", "LA", "RGB", "RGBA", "F"):
        pass
    elif mode.startswith("I;16"):
        return np.asarray(im).astype(np.uint16)
    elif mode == "I":
        arr = np.asarray(im)
        if arr.size and (arr.min() < 0 or arr.max() > 65535):
            raise ValueError(
                f"cannot write mode I with values {arr.min()}..{arr.max()} as JPEG XL; "
                "it holds 0..65535 as 16-bit grey"
            )
        return arr.astype(np.uint16)
    elif mode == "1":
        im = im.convert("L")
    elif mode in ("P", "PA"):
        im = im.convert("RGBA" if im.has_transparency_data else "RGB")
    elif mode in ("La",):
        im = im.convert("LA")
    elif mode in ("RGBa", "RGBX"):
        im = im.convert("RGBA" if mode == "RGBa" else "RGB")
    else:
        im = im.convert("RGBA" if im.has_transparency_data else "RGB")
    return np.asarray(im)


def _exif_bytes(value: Any) -> Optional[bytes]:
    """TIFF-structured EXIF from an ``Image.Exif`` or bytes with or without
    the "Exif\\0\\0" marker Pillow's formats put first."""
    if value is None or value == b"":
        return None
    if isinstance(value, Image.Exif):
        value = value.tobytes()
    raw = bytes(value)
    return raw[len(imagemeta.EXIF_MARKER):] if raw.startswith(imagemeta.EXIF_MARKER) else raw


def _xmp_bytes(value: Any) -> Optional[bytes]:
    if value is None or value in (b"", ""):
        return None
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


# Writing lossy without a quality or distance: cjxl's default, distance 1.
_DEFAULT_QUALITY = 90.0


def _quality_options(info: Dict[str, Any]) -> Dict[str, Any]:
    """lossless=True wins over a quality (as in Pillow's WebP writer); quality
    100 is lossless (as in cjxl); lossless=False alone is quality 90; no option
    at all is lossless."""
    lossless = info.get("lossless")
    quality, distance = info.get("quality"), info.get("distance")
    target = {k: info[k] for k in ("target_score", "target_size") if info.get(k) is not None}
    if target:
        # The writer chooses the distance and refuses other quality options.
        given = {"quality": quality, "distance": distance, "lossless": lossless or None}
        return {**target, **{k: v for k, v in given.items() if v is not None}}
    if lossless or (quality is not None and float(quality) >= 100.0):
        return {"lossless": True}
    if quality is not None:
        return {"quality": float(quality)}
    if distance is not None:
        return {"distance": float(distance)}
    if lossless is not None:
        return {"quality": _DEFAULT_QUALITY}
    return {"lossless": True}


def _writer_options(im: Image.Image, info: Dict[str, Any], mode: str) -> Dict[str, Any]:
    """JxlWriter keywords for `im` written as pixels of Pillow's `mode`."""
    options = _quality_options(info)
    for key in ("effort", "numthreads"):
        if info.get(key) is not None:
            options[key] = int(info[key])
    if info.get("progressive"):
        options["progressive"] = True
    icc = info.get("icc_profile", im.info.get("icc_profile"))
    if icc and not imagemeta.profile_fits(bytes(icc), mode):
        # Pillow keeps an RGB image's profile on a copy converted to grey
        # (and a CMYK one on a copy converted to RGB); its writers store it
        # anyway, libjxl refuses it. Colour is then sRGB's, as for no profile.
        warnings.warn(
            f"JPEG XL: the image's ICC profile is for {imagemeta.icc_model(bytes(icc)) or 'no'} "
            f"data, its pixels are {mode}; the profile is left out", UserWarning, stacklevel=4)
        icc = None
    if icc:
        options["icc_profile"] = bytes(icc)
    else:
        color, note = imagemeta.source_color(im.info, mode)
        if note:
            warnings.warn(f"JPEG XL: {note}", UserWarning, stacklevel=4)
        if color is not None:
            options["color"] = color
    exif = _exif_bytes(info.get("exif"))
    xmp = _xmp_bytes(info.get("xmp"))
    if exif is not None:
        options["exif"] = exif
    if xmp is not None:
        options["xmp"] = xmp
    return options


def _upright(frames: List[np.ndarray], options: Dict[str, Any]) -> List[np.ndarray]:
    """Frames stored with an EXIF (or XMP) orientation, turned the way it
    shows them, with the tags set to 1."""
    turn, exif, xmp = imagemeta.upright_tags(options.get("exif"), options.get("xmp"))
    if turn is None:
        return frames
    for key, value in (("exif", exif), ("xmp", xmp)):
        if value is not None:
            options[key] = value
    return [imagemeta.upright(f, turn, stacked=False) for f in frames]


def _durations(duration: Any, count: int, own: Sequence[Any]) -> Tuple[List[float], List[int]]:
    """Seconds per frame from Pillow's `duration` (ms: a number or one per
    frame) or the frames' own, and the frames whose zero or missing delay
    became 100 ms: JPEG XL would merge a frame of no duration into the next."""
    if duration is None:
        duration = list(own)
    elif not isinstance(duration, (list, tuple)):
        duration = [duration] * count
    if len(duration) != count:
        raise ValueError(f"duration has {len(duration)} entries for {count} frames")
    ms, changed = imagemeta.visible_delays(duration)
    return [m / 1000.0 for m in ms], changed


def _save_jpeg_losslessly(im: Image.Image, fp: IO[bytes], info: Dict[str, Any]) -> None:
    if im.format != "JPEG" or not isinstance(im, ImageFile.ImageFile):
        raise ValueError(
            "lossless_jpeg=True needs an image opened from a JPEG file, unchanged; "
            f"this one is {im.format or 'not from a file'}"
        )
    data = _original_bytes(im)
    kwargs: Dict[str, Any] = {}
    if info.get("effort") is not None:
        kwargs["effort"] = int(info["effort"])
    fp.write(jxl.transcode_jpeg(data, **kwargs))


def _original_bytes(im: ImageFile.ImageFile) -> bytes:
    if im.filename:
        with open(im.filename, "rb") as f:
            return f.read()
    if im.fp is not None and hasattr(im.fp, "seek"):
        im.fp.seek(0)
        return im.fp.read()
    raise ValueError("lossless_jpeg=True: the JPEG file this image came from is closed")


def _save(im: Image.Image, fp: IO[bytes], filename: Union[str, bytes], save_all: bool = False) -> None:
    info = im.encoderinfo
    im.info.pop(ZERO_DELAYS, None)  # an earlier save's, not this one's
    im.info.pop(TARGET_RESULT, None)
    if info.get("lossless_jpeg"):
        _save_jpeg_losslessly(im, fp, info)
        return
    images = [im] + list(info.get("append_images", [])) if save_all else [im]
    # CMYK with its profile is stored as CMYK (colour and a black channel);
    # without one, Pillow's own conversion to RGB is all there is.
    icc = info.get("icc_profile", im.info.get("icc_profile"))
    cmyk = im.mode == "CMYK" and icc is not None and imagemeta.icc_model(bytes(icc)) == "CMYK"
    frames: List[np.ndarray] = []
    own_ms: List[Any] = []
    for each in images:
        for page in (ImageSequence.Iterator(each) if save_all else [each]):
            frames.append(_save_array(page, cmyk))
            own_ms.append(page.info.get("duration"))
    options = _writer_options(im, info, "CMYK" if cmyk else _written_mode(frames[0]))
    if cmyk:
        options["channels"] = ["color"] * 3 + ["black"]
    frames = _upright(frames, options)
    if len(frames) == 1:
        fp.write(_open_writer_and_write(options, frames, None, None, im.info))
        return
    durations, changed = _durations(info.get("duration"), len(frames), own_ms)
    if changed:
        im.info[ZERO_DELAYS] = tuple(changed)
    if info.get("loop") is not None:
        plays = imagemeta.plays_of_gif_loop(info["loop"])
    elif im.format in ("GIF", "JXL", "PNG", "WEBP"):
        plays = imagemeta.loops_of(im)  # each format's own meaning
    else:
        plays = 0
    fp.write(_open_writer_and_write(options, frames, durations, plays))


def _written_mode(frame: np.ndarray) -> str:
    """Pillow's name for what a frame from _save_array holds."""
    if frame.ndim == 2:
        return {"u1": "L", "u2": "I;16"}.get(frame.dtype.str[1:], "F")
    return _COLOUR_MODES[frame.shape[2]]


def _open_writer_and_write(
    options: Dict[str, Any], frames: List[np.ndarray], durations: Optional[List[float]], loop: Any,
    report: Optional[Dict[Any, Any]] = None,
) -> bytes:
    first = frames[0]
    for i, frame in enumerate(frames[1:], 1):
        if frame.shape != first.shape or frame.dtype != first.dtype:
            raise ValueError(
                f"frame {i} is {frame.shape} {frame.dtype}, frame 0 {first.shape} {first.dtype}; "
                "JPEG XL animation frames need one size and mode"
            )
    extra: Dict[str, Any] = {}
    if len(frames) > 1:
        extra["animation"] = True
        if loop is not None:
            extra["loops"] = loop
    buf = io.BytesIO()
    with jxl.JxlWriter(buf, **options, **extra) as writer:
        for i, frame in enumerate(frames):
            if durations is not None:
                writer.write_frame(frame, duration=durations[i])
            else:
                writer.write_frame(frame)
    if report is not None and writer.target_result is not None:
        report[TARGET_RESULT] = writer.target_result
    return buf.getvalue()


def _save_all(im: Image.Image, fp: IO[bytes], filename: Union[str, bytes]) -> None:
    _save(im, fp, filename, save_all=True)


Image.register_open(FORMAT, JxlImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_save_all(FORMAT, _save_all)
Image.register_extensions(FORMAT, EXTENSIONS)
Image.register_mime(FORMAT, MIME)
