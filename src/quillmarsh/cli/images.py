"""Arrays in and out of files other than JPEG XL: .npy, and images through Pillow."""

from __future__ import annotations

import contextlib
import io
import os
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, List, Optional

import numpy as np

from quillmarsh.codecs.jxl import check_signature

from quillmarsh.core.imagemeta import ImageMeta, dropped, read_meta, save_options

from .base import CliError, Output, note, reading

if TYPE_CHECKING:
    from PIL import Image as PILImage

LAYOUTS = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
PIL_OUTPUTS = {".png": "PNG", ".apng": "PNG", ".tif": "TIFF", ".tiff": "TIFF",
               ".jpg": "JPEG", ".jpeg": "JPEG", ".webp": "WEBP", ".gif": "GIF"}
FRAME_S = 0.1  # frame duration of animated outputs when the source has none


def pil() -> Any:
    try:
        from PIL import Image
    except ImportError:
        raise CliError(
            "reading or writing PNG/TIFF images needs Pillow, which is not installed: "
            "pip install 'quillmarsh[image]' (or use .npy files)"
        ) from None
    return Image


def output_format(path: str) -> Optional[str]:
    """The Pillow format that `path`'s extension asks for; None for .npy."""
    if os.path.isdir(path):
        raise CliError(f"{path}: cannot write: is a directory")
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        return None
    if ext in PIL_OUTPUTS:
        return PIL_OUTPUTS[ext]
    raise CliError(f"{path}: unknown output type {ext or '(none)'!r}; "
                   "use .npy, .png, .tif, .jpg, .webp or .gif")


def channels(frame: np.ndarray) -> int:
    return 1 if frame.ndim == 2 else int(frame.shape[-1])


def to_uint8(frame: np.ndarray, bits: int) -> np.ndarray:
    # Integer samples keep the stream's own range (a 10-bit stream tops out at
    # 1023); float samples are nominally 0..1.
    scaled: np.ndarray = frame.astype(np.float32)
    if frame.dtype.kind == "u":
        top = float((1 << bits) - 1) if 0 < bits <= 16 else float(np.iinfo(frame.dtype).max)
        scaled *= 255.0 / top
    else:
        scaled = np.nan_to_num(scaled, nan=0.0) * 255.0
    out: np.ndarray = np.clip(np.rint(scaled), 0, 255).astype(np.uint8)
    return out


def tifffile_or_none() -> Any:
    """The tifffile module (16-bit colour TIFF), or None when it is not installed."""
    try:
        import tifffile as tf
    except ImportError:
        return None
    return tf


def wide_tiff(frame: np.ndarray, fmt: str) -> bool:
    """16-bit samples with alpha or colour: TIFF through tifffile (Pillow holds
    16 bits only for grey)."""
    return (fmt == "TIFF" and frame.dtype == np.uint16 and frame.ndim == 3
            and channels(frame) > 1 and tifffile_or_none() is not None)


def keeps_all_bits(frame: np.ndarray, fmt: str) -> bool:
    if frame.dtype == np.uint8:
        return fmt != "JPEG" or channels(frame) in (1, 3)
    if wide_tiff(frame, fmt):
        return True
    if frame.ndim == 2 and frame.dtype == np.uint16:
        return fmt in ("PNG", "TIFF")
    return frame.ndim == 2 and frame.dtype == np.float32 and fmt == "TIFF"


def to_pil_frame(frame: np.ndarray, fmt: str, bits: int) -> "PILImage.Image":
    """One decoded frame as a Pillow image, reducing to 8 bits where needed."""
    Image = pil()
    if not keeps_all_bits(frame, fmt) and frame.dtype != np.uint8:
        frame = to_uint8(frame, bits)
    if fmt == "JPEG" and channels(frame) in (2, 4):  # JPEG holds no alpha
        frame = frame[..., 0] if channels(frame) == 2 else frame[..., :3]
    return Image.fromarray(frame)  # type: ignore[no-any-return]


def write_frames(out: Output, frames: List[np.ndarray], fmt: Optional[str], bits: int,
                 warn: Callable[[str], None] = note, jpeg_quality: int = 95,
                 meta: Optional[ImageMeta] = None) -> None:
    """Write decoded frames: one array or a (T, ...) stack to .npy, else via
    Pillow with what `meta` holds (ICC profile, EXIF, XMP, timing); a
    reduction of the samples or metadata left out is told to `warn`."""
    if fmt is None:
        arr = frames[0] if len(frames) == 1 else np.stack(frames)
        np.save(out.file, arr, allow_pickle=False)
        return
    if fmt == "JPEG" and len(frames) > 1:
        raise CliError(f"{out.path}: JPEG holds one frame; write an animation to .png, .webp, "
                       ".gif, .tif or .npy")
    first = frames[0]
    if not keeps_all_bits(first, fmt):
        alpha = ", without alpha" if fmt == "JPEG" and channels(first) in (2, 4) else ""
        warn(f"{first.dtype} {LAYOUTS.get(channels(first), '?')} samples written to {fmt} as "
             f"8 bits{alpha}; use .npy to keep them all")
    meta = meta or ImageMeta()
    if len(frames) > 1 and meta.durations is None:
        meta = ImageMeta(meta.icc_profile, meta.exif, meta.xmp, [FRAME_S] * len(frames),
                         meta.loops)
    lost = dropped(fmt, meta, len(frames))
    if lost:
        warn(f"{fmt} cannot hold the {', '.join(lost)}; left out")
    if wide_tiff(frames[0], fmt):
        _write_wide_tiff(out.file, frames, meta, warn)
        return
    images = [to_pil_frame(f, fmt, bits) for f in frames]
    opts = save_options(fmt, meta, len(images))
    if fmt == "JPEG":
        opts["quality"] = jpeg_quality
    elif fmt == "WEBP":
        opts["lossless"] = True
    if len(images) > 1:
        opts.update(save_all=True, append_images=images[1:])
    images[0].save(out.file, format=fmt, **opts)


def tifffile() -> Any:
    try:
        import tifffile as tf
    except ImportError:
        raise CliError(
            "TIFF files of more than 4 channels need tifffile, which is not installed: "
            "pip install 'quillmarsh[tiff]' (or use .npy files)"
        ) from None
    return tf


def write_tiff_channels(out: Output, frames: List[np.ndarray]) -> None:
    """Every channel of the frames into one TIFF (pages for an animation)."""
    tf = tifffile()
    arr = frames[0] if len(frames) == 1 else np.stack(frames)
    buf = io.BytesIO()  # tifffile wants a named file; the output's is a bare descriptor
    tf.imwrite(buf, arr, photometric="minisblack", planarconfig="contig")
    out.file.write(buf.getbuffer())


def read_tiff_channels(path: str) -> Optional[np.ndarray]:
    """A TIFF of more than 4 samples per pixel read whole with tifffile; None
    for any other TIFF (left to Pillow) or when tifffile is not installed."""
    try:
        import tifffile as tf
    except ImportError:
        return None
    try:
        with tf.TiffFile(path) as t:
            page = t.pages[0]
            if int(getattr(page, "samplesperpixel", 1)) <= 4 and page.ndim <= 3 and (
                    page.ndim < 3 or page.shape[-1] <= 4):
                return None
            arr: np.ndarray = t.asarray()
    except (tf.TiffFileError, ValueError):
        return None
    return arr


def _write_wide_tiff(file: IO[bytes], frames: List[np.ndarray], meta: ImageMeta,
                     warn: Callable[[str], None]) -> None:
    tf = tifffile_or_none()
    extra = [(700, "B", len(meta.xmp), meta.xmp, True)] if meta.xmp else []
    if meta.exif:
        warn("EXIF left out of a 16-bit colour TIFF (tifffile writes no EXIF directory)")
    c = channels(frames[0])
    data = frames[0] if len(frames) == 1 else np.stack(frames)
    buf = io.BytesIO()  # tifffile wants a file with a name; ours has a descriptor
    tf.imwrite(buf, data, photometric="rgb" if c >= 3 else "minisblack",
               extrasamples=("unassalpha",) if c in (2, 4) else None,
               iccprofile=meta.icc_profile, extratags=extra, metadata=None)
    file.write(buf.getbuffer())


def _read_wide_tiff(path: str, img: "PILImage.Image", n: int) -> Optional[List[np.ndarray]]:
    """The 16-bit colour pages of a TIFF, which Pillow would cut to 8 bits."""
    bits = img.tag_v2.get(258) if hasattr(img, "tag_v2") else None  # BitsPerSample
    if img.format != "TIFF" or not isinstance(bits, tuple) or len(bits) < 2 or bits[0] != 16:
        return None
    tf = tifffile_or_none()
    if tf is None:
        note(f"{path}: 16-bit colour read as 8 bits (pip install tifffile to keep 16)")
        return None
    with tf.TiffFile(path) as t:
        return [np.ascontiguousarray(t.pages[i].asarray()) for i in range(n)]


def pil_to_array(img: "PILImage.Image") -> np.ndarray:
    mode = img.mode
    trns = img.info.get("transparency")
    if trns is not None and mode in ("1", "L", "RGB") and not isinstance(trns, bytes):
        # A PNG's tRNS colour is transparent: an alpha channel, as in cjxl.
        return np.asarray(img.convert("RGBA" if mode == "RGB" else "LA"))
    if trns is not None and mode.startswith("I;16") and isinstance(trns, int):
        grey = np.asarray(img).astype(np.uint16)
        opacity = np.where(grey == trns, 0, 65535).astype(np.uint16)
        return np.ascontiguousarray(np.stack([grey, opacity], axis=-1))
    if mode in ("L", "LA", "RGB", "RGBA"):
        return np.asarray(img)
    if mode.startswith("I;16"):
        return np.asarray(img).astype(np.uint16)  # native byte order
    if mode == "I":
        a = np.asarray(img)
        if a.size and (int(a.min()) < 0 or int(a.max()) > 65535):
            raise ValueError("32-bit integer samples outside 0..65535 are not supported")
        return a.astype(np.uint16)
    if mode == "F":
        return np.asarray(img, dtype=np.float32)
    if mode == "1":
        return np.asarray(img.convert("L"))
    if mode in ("P", "PA"):
        alpha = mode == "PA" or "transparency" in img.info
        return np.asarray(img.convert("RGBA" if alpha else "RGB"))
    if mode == "La":
        return np.asarray(img.convert("LA"))
    if mode == "RGBa":
        return np.asarray(img.convert("RGBA"))
    return np.asarray(img.convert("RGB"))


@contextlib.contextmanager
def pillow_refusals(path: str, Image: Any) -> Iterator[None]:
    """Pillow's refusal of an image above its pixel limit, as one line."""
    try:
        yield
    except Image.DecompressionBombError as exc:
        raise CliError(f"{path}: cannot read: {exc}") from exc


def load_input(path: str, animation: bool, *, quiet_frames: bool = False) -> np.ndarray:
    """An array to encode: from .npy, or from an image through Pillow."""
    return load_image(path, animation, quiet_frames=quiet_frames)[0]


def load_image(path: str, animation: bool, *, quiet_frames: bool = False,
               warn: Callable[[str], None] = note) -> "tuple[np.ndarray, ImageMeta]":
    """An array to encode and what the file says besides (ICC profile, EXIF,
    XMP; frame durations and loops of an animation read with `animation`).

    With `animation`, every frame of a multi-frame image is stacked; without
    it the first frame is used (with a note unless `quiet_frames`).
    """
    if os.path.splitext(path)[1].lower() == ".npy":
        with reading(path):
            loaded: object = np.load(path, allow_pickle=False)
        if not isinstance(loaded, np.ndarray):
            raise CliError(f"{path}: not a single NumPy array (.npz archives are not read)")
        return loaded, ImageMeta()
    if os.path.splitext(path)[1].lower() in (".tif", ".tiff"):
        with reading(path):
            wide = read_tiff_channels(path)
        if wide is not None:
            return (wide[np.newaxis] if animation and wide.ndim == 3 else wide), ImageMeta()
    Image = pil()
    with reading(path), pillow_refusals(path, Image):
        if not os.path.exists(path):
            raise FileNotFoundError(path)
        try:
            img = Image.open(path)
        except Image.UnidentifiedImageError as exc:
            with open(path, "rb") as f:
                if check_signature(f.read(16)):
                    raise CliError(f"{path}: already JPEG XL (decode it first)") from exc
            raise CliError(f"{path}: not an image Pillow can read") from exc
        with img:
            n = int(getattr(img, "n_frames", 1))
            meta = read_meta(img, timing=animation and n > 1)
            for text in meta.notes:
                warn(f"{path}: {text}")
            pages = _read_wide_tiff(path, img, n if animation else 1)
            if not animation or n == 1:
                if n > 1 and not quiet_frames:
                    note(f"{path} has {n} frames; encoding the first (--animation for all)")
                arr = pages[0] if pages else pil_to_array(img)
                return (arr[np.newaxis] if animation else arr), meta
            frames: List[np.ndarray] = pages or []
            if not pages:
                # Freshly opened: reading the timing went through the frames,
                # and an APNG sought back to its start loses its palette.
                with Image.open(path) as fresh:
                    for i in range(n):
                        fresh.seek(i)
                        frames.append(pil_to_array(fresh))
    frames = same_layout(frames)
    shapes = {(f.shape, f.dtype.str) for f in frames}
    if len(shapes) != 1:
        seen = ", ".join(sorted({f"{'x'.join(map(str, shape))} {np.dtype(dt)}" for shape, dt in shapes}))
        raise CliError(f"{path}: frames differ in size or sample type ({seen})")
    return np.stack(frames), meta


def same_layout(frames: List[np.ndarray]) -> List[np.ndarray]:
    """Frames of one size and sample type given one channel layout: a GIF's
    first frame may be palette-with-transparency (RGBA) and the next ones
    RGB, or grey among colour. Grey becomes RGB and a missing alpha opaque,
    where any frame needs them."""
    if len({(f.shape[:2], f.dtype.str) for f in frames}) != 1:
        return frames
    counts = {channels(f) for f in frames}
    if len(counts) == 1:
        return frames
    colour = any(c >= 3 for c in counts)
    alpha = any(c in (2, 4) for c in counts)
    out = []
    for f in frames:
        f = f[..., np.newaxis] if f.ndim == 2 else f
        c = f.shape[-1]
        col, a = (f[..., :-1], f[..., -1:]) if c in (2, 4) else (f, None)
        if colour and col.shape[-1] == 1:
            col = np.repeat(col, 3, axis=-1)
        if alpha and a is None:
            top = np.iinfo(f.dtype).max if f.dtype.kind == "u" else 1.0
            a = np.full(f.shape[:2] + (1,), top, f.dtype)
        g = col if a is None else np.concatenate([col, a], axis=-1)
        out.append(np.ascontiguousarray(g[..., 0] if g.shape[-1] == 1 else g))
    return out
