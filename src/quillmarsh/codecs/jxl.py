"""JPEG XL for quillmarsh: NumPy arrays to JPEG XL and back, through libjxl.

This is the public import path of quillmarsh's JPEG XL codec::

    from quillmarsh.codecs import jxl

    data = jxl.encode(image, quality=90)          # bytes; lossless by default
    jxl.encode(image, dest="photo.jxl")           # or to a path / file object
    image2 = jxl.decode("photo.jxl")              # (Y, X[, C]) uint8/uint16/float
    thumb = jxl.decode("photo.jxl", downsample=8) # 1:8 preview, progressive
    frame = jxl.decode("movie.jxl", index=5)      # one frame of an animation
    n = jxl.frame_count("movie.jxl")              # no pixels decoded

    with jxl.JxlReader("big.jxl", streaming=True) as reader:
        print(reader.frame_shape, reader.dtype, reader.basic_info)
        for frame in reader.iter_frames():
            ...

    with jxl.JxlWriter("movie.jxl", animation=True, quality=90) as writer:
        for frame in frames:
            writer.write_frame(frame)

Decoded frames are C-contiguous arrays of uint8, uint16, float16 or float32,
shaped ``(Y, X)`` for grey or ``(Y, X, C)`` with C of 2 (grey + alpha), 3 (RGB)
or 4 (RGBA); a whole animation is stacked on a new leading axis. libjxl works
with the interpreter lock released, on its own worker threads.

The module also holds the command-line tool ``quillmarsh-jxl`` (also run as
``python -m quillmarsh.codecs.jxl``): ``info``, ``decode``, ``encode`` and
``thumb``; see ``quillmarsh-jxl --help``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import secrets
import sys
import time
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence

import numpy as np

from ._jxl import (
    JxlError,
    JxlReader,
    JxlWriter,
    check_signature,
    decode,
    encode,
    frame_count,
    libjxl_version,
    thumbnail_bytes,
)

if TYPE_CHECKING:
    import numpy.typing as npt
    from PIL import Image as PILImage

__all__ = [
    "JxlReader",
    "JxlWriter",
    "decode",
    "encode",
    "frame_count",
    "thumbnail_bytes",
    "check_signature",
    "libjxl_version",
    "JxlError",
    "main",
]

# decode()'s default max_pixels: images above it are refused unless asked for.
MAX_PIXELS_DEFAULT = 2**30
PROG = "quillmarsh-jxl"

# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

_LAYOUTS = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
_LAYOUT_WORDS = {1: "grey", 2: "grey + alpha", 3: "colour", 4: "colour + alpha"}

# Readable names of libjxl's colour enumerations (jxl/color_encoding.h).
_COLOR_SPACES = {0: "RGB", 1: "grey", 2: "XYB", 3: "unknown"}
_WHITE_POINTS = {1: "D65", 2: "custom", 10: "E", 11: "DCI"}
_PRIMARIES = {1: "sRGB", 2: "custom", 9: "BT.2100", 11: "P3"}
_TRANSFERS = {
    1: "BT.709",
    2: "unknown",
    8: "linear",
    13: "sRGB",
    16: "PQ",
    17: "DCI",
    18: "HLG",
    65535: "gamma",
}
_INTENTS = {0: "perceptual", 1: "relative", 2: "saturation", 3: "absolute"}
_ORIENTATIONS = {
    1: "identity",
    2: "flip horizontal",
    3: "rotate 180",
    4: "flip vertical",
    5: "transpose",
    6: "rotate 90 cw",
    7: "anti-transpose",
    8: "rotate 90 ccw",
}

_PIL_OUTPUTS = {".png": "PNG", ".apng": "PNG", ".tif": "TIFF", ".tiff": "TIFF"}
_COUNT_LIMIT = 256 << 20  # largest file whose frames are counted for the progress line
_FRAME_MS = 100  # the writer's frame duration; decoded timing is not exposed


class CliError(Exception):
    """A failure the command line reports as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line (and exit status 2) like every other error."""

    def error(self, message: str) -> NoReturn:
        sub = self.prog[len(PROG) :].strip() if self.prog.startswith(PROG) else ""
        where = f"{sub}: " if sub else ""
        self.exit(2, f"{PROG}: {where}{message} (see '{self.prog} --help')\n")


def _name(table: Dict[int, str], value: int) -> str:
    return table.get(value, f"unknown ({value})")


def _sample_word(bits: int, exp_bits: int) -> str:
    if exp_bits:
        return f"{bits}-bit float ({exp_bits} exponent bits)"
    return f"{bits}-bit integer"


def _mib(n: int) -> str:
    if n >= 1 << 20:
        return f"{n / (1 << 20):.2f} MiB"
    if n >= 1 << 10:
        return f"{n / (1 << 10):.1f} KiB"
    return f"{n} bytes"


# --- error translation -----------------------------------------------------


def _input_error(path: str, exc: BaseException) -> CliError:
    msg = str(exc)
    if isinstance(exc, FileNotFoundError):
        return CliError(f"{path}: no such file")
    if isinstance(exc, IsADirectoryError):
        return CliError(f"{path}: is a directory")
    if isinstance(exc, PermissionError):
        return CliError(f"{path}: permission denied")
    if isinstance(exc, OSError):
        return CliError(f"{path}: cannot read: {exc.strerror or msg}")
    if isinstance(exc, MemoryError):
        return CliError(f"{path}: out of memory")
    if msg == "jxl: empty input":
        return CliError(f"{path}: empty file, not a JPEG XL file")
    if msg == "jxl: not a JPEG XL stream":
        return CliError(f"{path}: not a JPEG XL file")
    if isinstance(exc, JxlError):
        kind = "truncated" if "truncated" in msg else "corrupt"
        return CliError(f"{path}: {kind} JPEG XL file ({msg})")
    if isinstance(exc, NotImplementedError):
        return CliError(f"{path}: unsupported image ({msg})")
    return CliError(f"{path}: {msg}")


def _output_error(path: str, exc: BaseException) -> CliError:
    if isinstance(exc, FileNotFoundError):
        return CliError(f"{path}: cannot write: no such directory")
    if isinstance(exc, IsADirectoryError):
        return CliError(f"{path}: cannot write: is a directory")
    if isinstance(exc, PermissionError):
        return CliError(f"{path}: cannot write: permission denied")
    if isinstance(exc, OSError):
        return CliError(f"{path}: cannot write: {exc.strerror or exc}")
    return CliError(f"{path}: cannot write: {exc}")


_CAUGHT = (OSError, ValueError, TypeError, JxlError, NotImplementedError, MemoryError, IndexError)


@contextlib.contextmanager
def _reading(path: str) -> Iterator[None]:
    """Report failures inside the block as problems with input `path`."""
    try:
        yield
    except CliError:
        raise
    except _CAUGHT as exc:
        raise _input_error(path, exc) from exc


class _Output:
    """An output file written atomically.

    A temporary file beside the target is created at once, so an unwritable
    path fails before any work; it replaces the target only when everything
    was written, and is removed otherwise, so a failed run never leaves a
    half-written file or destroys an existing one.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        if os.path.isdir(path):
            raise CliError(f"{path}: cannot write: is a directory")
        if os.path.exists(path) and not os.access(path, os.W_OK):
            raise CliError(f"{path}: cannot write: permission denied")
        head, tail = os.path.split(path)
        self._tmp = os.path.join(head, f".{tail}.{secrets.token_hex(4)}.part")
        try:
            fd = os.open(self._tmp, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        except OSError as exc:
            raise _output_error(path, exc) from exc
        # Readable too: Pillow reads back what it wrote for multi-page TIFF.
        self.file: IO[bytes] = os.fdopen(fd, "w+b")

    def commit(self) -> None:
        try:
            self.file.close()
            os.replace(self._tmp, self.path)
        except OSError as exc:
            self.discard()
            raise _output_error(self.path, exc) from exc

    def discard(self) -> None:
        with contextlib.suppress(OSError):
            self.file.close()
        with contextlib.suppress(OSError):
            os.unlink(self._tmp)

    def __enter__(self) -> "_Output":
        return self

    def __exit__(self, exc_type: Optional[type], exc: Optional[BaseException], tb: Any) -> None:
        if exc_type is None:
            self.commit()
        else:
            self.discard()


# --- progress ----------------------------------------------------------------


class _Progress:
    """A self-overwriting progress line on stderr, only when it is a terminal."""

    def __init__(self, what: str, total: Optional[int]) -> None:
        self.what = what
        self.total = total
        self.enabled = _stderr_is_tty()
        self._shown = False

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        of = f"/{self.total}" if self.total else ""
        sys.stderr.write(f"\r{PROG}: {self.what} frame {done}{of}")
        sys.stderr.flush()
        self._shown = True

    def finish(self) -> None:
        if self._shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._shown = False


def _stderr_is_tty() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


# --- Pillow bridge -------------------------------------------------------------


def _pil() -> Any:
    try:
        from PIL import Image
    except ImportError:
        raise CliError(
            "reading or writing PNG/TIFF images needs Pillow, which is not installed: "
            "pip install 'quillmarsh[image]' (or use .npy files)"
        ) from None
    return Image


def _pil_output_format(path: str) -> Optional[str]:
    if os.path.isdir(path):
        raise CliError(f"{path}: cannot write: is a directory")
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        return None
    if ext in _PIL_OUTPUTS:
        return _PIL_OUTPUTS[ext]
    raise CliError(f"{path}: unknown output type {ext or '(none)'!r}; use .npy, .png or .tif")


def _note(message: str) -> None:
    sys.stderr.write(f"{PROG}: note: {message}\n")


def _to_pil_frame(frame: np.ndarray, fmt: str, bits: int) -> "PILImage.Image":
    """One decoded frame as a Pillow image, reducing to 8 bits where needed."""
    Image = _pil()
    grey = frame.ndim == 2
    if frame.dtype == np.uint8:
        return Image.fromarray(frame)  # type: ignore[no-any-return]
    if grey and frame.dtype == np.uint16:
        return Image.fromarray(frame)  # type: ignore[no-any-return]  # 16-bit grey
    if grey and frame.dtype == np.float32 and fmt == "TIFF":
        return Image.fromarray(frame)  # type: ignore[no-any-return]  # 32-bit float
    return Image.fromarray(_to_uint8(frame, bits))  # type: ignore[no-any-return]


def _to_uint8(frame: np.ndarray, bits: int) -> np.ndarray:
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


def _keeps_all_bits(frame: np.ndarray, fmt: str) -> bool:
    if frame.dtype == np.uint8:
        return True
    if frame.ndim == 2 and frame.dtype == np.uint16:
        return True
    return frame.ndim == 2 and frame.dtype == np.float32 and fmt == "TIFF"


def _write_frames(out: _Output, frames: List[np.ndarray], fmt: Optional[str], bits: int) -> None:
    """Write decoded frames: one array or a (T, ...) stack to .npy, else via Pillow."""
    if fmt is None:
        arr = frames[0] if len(frames) == 1 else np.stack(frames)
        np.save(out.file, arr, allow_pickle=False)
        return
    if not _keeps_all_bits(frames[0], fmt):
        _note(
            f"{frames[0].dtype} {_LAYOUTS.get(_channels(frames[0]), '?')} samples written to "
            f"{fmt} as 8 bits; use .npy to keep them all"
        )
    images = [_to_pil_frame(f, fmt, bits) for f in frames]
    if len(images) == 1:
        images[0].save(out.file, format=fmt)
    elif fmt == "PNG":
        images[0].save(
            out.file, format=fmt, save_all=True, append_images=images[1:],
            duration=_FRAME_MS, loop=0,
        )
    else:
        images[0].save(out.file, format=fmt, save_all=True, append_images=images[1:])


def _channels(frame: np.ndarray) -> int:
    return 1 if frame.ndim == 2 else int(frame.shape[-1])


def _pil_to_array(img: "PILImage.Image") -> np.ndarray:
    mode = img.mode
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


def _load_input(path: str, animation: bool) -> np.ndarray:
    """An array to encode: from .npy, or from an image through Pillow."""
    if os.path.splitext(path)[1].lower() == ".npy":
        with _reading(path):
            loaded: object = np.load(path, allow_pickle=False)
        if not isinstance(loaded, np.ndarray):
            raise CliError(f"{path}: not a single NumPy array (.npz archives are not read)")
        return loaded
    Image = _pil()
    with _reading(path):
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
            if not animation:
                if n > 1:
                    _note(f"{path} has {n} frames; encoding the first (--animation for all)")
                return _pil_to_array(img)
            frames = []
            for i in range(n):
                img.seek(i)
                frames.append(_pil_to_array(img))
    shapes = {(f.shape, f.dtype.str) for f in frames}
    if len(shapes) != 1:
        raise CliError(f"{path}: frames differ in size or sample type")
    return np.stack(frames)


# --- subcommands ---------------------------------------------------------------


def _container_kind(path: str) -> str:
    with open(path, "rb") as f:
        head = f.read(12)
    return "container" if head.startswith(b"\x00\x00\x00\x0cJXL ") else "codestream"


def _info(path: str) -> Dict[str, Any]:
    """What `info` reports, as plain values."""
    with _reading(path):
        fsize = os.path.getsize(path)
        # Only the header is parsed here, which costs nothing whatever size
        # the header claims; the size limit matters where pixels are decoded.
        with JxlReader(path, parse_color=True, max_pixels=None) as reader:
            basic = reader.basic_info
            color = reader.color
            icc = reader.icc_profile
            samples = reader.samples
            dtype = np.dtype(reader.dtype).name
        frames = frame_count(path)
        too_large = basic["xsize"] * basic["ysize"] > MAX_PIXELS_DEFAULT
        # Measuring the DC prefix may decode the whole first frame.
        prefix = None if too_large else thumbnail_bytes(path)
        kind = _container_kind(path)
    return {
        "file": path,
        "file_size": fsize,
        "format": kind,
        "xsize": basic["xsize"],
        "ysize": basic["ysize"],
        "channels": samples,
        "layout": _LAYOUTS.get(samples, "?"),
        "dtype": dtype,
        "bits_per_sample": basic["bits_per_sample"],
        "exponent_bits_per_sample": basic["exponent_bits_per_sample"],
        "alpha_bits": basic["alpha_bits"],
        "animation": bool(basic["have_animation"]),
        "frames": frames,
        "color": None
        if color is None
        else {
            "color_space": _name(_COLOR_SPACES, color["color_space"]),
            "white_point": _name(_WHITE_POINTS, color["white_point"]),
            "primaries": _name(_PRIMARIES, color["primaries"]),
            "transfer_function": _name(_TRANSFERS, color["transfer_function"]),
            "rendering_intent": _name(_INTENTS, color["rendering_intent"]),
        },
        "icc_size": None if icc is None else len(icc),
        "orientation": basic["orientation"],
        "intensity_target": basic["intensity_target"],
        "uses_original_profile": bool(basic["uses_original_profile"]),
        "dc_prefix_bytes": None if prefix is None else len(prefix),
        "dc_prefix_measured": not too_large,
    }


def _cmd_info(args: argparse.Namespace) -> int:
    path: str = args.file
    info = _info(path)
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    c = info["channels"]
    lines = [
        ("file", f"{path} ({_mib(info['file_size'])}, {info['format']})"),
        ("size", f"{info['xsize']} x {info['ysize']}"),
        ("channels", f"{c} ({info['layout']}, {_LAYOUT_WORDS.get(c, '?')})"),
        ("sample type", info["dtype"]),
        ("bit depth", _sample_word(info["bits_per_sample"], info["exponent_bits_per_sample"])),
    ]
    frames = info["frames"]
    if info["animation"]:
        lines.append(("animation", f"yes, {frames} frame{'s' if frames != 1 else ''}"))
    else:
        lines.append(("animation", f"no, {frames} frame{'s' if frames != 1 else ''}"))
    col = info["color"]
    if col is not None:
        lines.append(
            (
                "colour",
                f"{col['color_space']}, white point {col['white_point']}, primaries "
                f"{col['primaries']}, transfer {col['transfer_function']}, intent "
                f"{col['rendering_intent']}",
            )
        )
    icc = info["icc_size"]
    # libjxl synthesises a profile for an encoded colour space too; it
    # describes the pixels as decoded, whether or not the file embeds one.
    lines.append(("ICC profile", "none" if icc is None else f"{icc} bytes (of the decoded pixels)"))
    orient = info["orientation"]
    lines.append(("orientation", f"{orient} ({_name(_ORIENTATIONS, orient)})"))
    lines.append(("intensity", f"{info['intensity_target']:g} nits"))
    dc = info["dc_prefix_bytes"]
    if not info["dc_prefix_measured"]:
        lines.append(("progressive", "not measured (the image is larger than 2**30 pixels)"))
    elif dc is None:
        lines.append(("progressive", "none (no DC pass before the full first frame)"))
    else:
        share = 100.0 * dc / max(info["file_size"], 1)
        lines.append(("progressive", f"DC prefix {dc} bytes ({share:.1f}% of the file)"))
    width = max(len(k) for k, _ in lines)
    for key, value in lines:
        print(f"{key:<{width}}  {value}")
    return 0


def _decode_frames(
    path: str,
    *,
    index: Optional[int],
    downsample: int,
    streaming: bool,
    numthreads: Optional[int],
    what: str,
) -> "tuple[List[np.ndarray], int]":
    """Decoded frames of `path` (all, or the one at `index`) and the bit depth."""
    with _reading(path):
        reader = JxlReader(
            path,
            numthreads=numthreads,
            parse_color=False,
            streaming=streaming,
            skip_frames=index or 0,
            downsample=downsample,
        )
    with reader:
        bits = int(reader.basic_info["bits_per_sample"])
        total: Optional[int] = None
        multi = index is None and reader.is_animation
        if multi and _stderr_is_tty():
            with _reading(path):
                # frame_count holds the whole file in memory; skip it for huge ones.
                if os.path.getsize(path) <= _COUNT_LIMIT:
                    total = frame_count(path)
        progress = _Progress(what, total)
        frames: List[np.ndarray] = []
        try:
            with _reading(path):
                for frame in reader.iter_frames():
                    frames.append(frame)
                    if multi:
                        progress.update(len(frames))
                    if index is not None:
                        break
        finally:
            progress.finish()
    if not frames:
        if index is not None:
            with _reading(path):
                n = frame_count(path)
            raise CliError(f"{path}: no frame {index} (the file has {n} frame{'s' * (n != 1)})")
        raise CliError(f"{path}: no frames in the file")
    return frames, bits


def _cmd_decode(args: argparse.Namespace) -> int:
    src: str = args.file
    dst: str = args.out
    fmt = _pil_output_format(dst)
    if fmt is not None:
        _pil()  # fail before decoding when Pillow is missing
    frames, bits = _decode_frames(
        src,
        index=args.index,
        downsample=args.downsample,
        streaming=not args.no_streaming,
        numthreads=args.threads,
        what="decoding",
    )
    with _Output(dst) as out:
        _write_frames(out, frames, fmt, bits)
    if not args.quiet:
        shape = frames[0].shape if len(frames) == 1 else (len(frames),) + frames[0].shape
        print(f"{src} -> {dst}: {'x'.join(map(str, shape))} {frames[0].dtype}")
    return 0


def _cmd_thumb(args: argparse.Namespace) -> int:
    src: str = args.file
    dst: str = args.out
    fmt = _pil_output_format(dst)
    if fmt is not None:
        _pil()
    frames, bits = _decode_frames(
        src,
        index=args.index,
        downsample=8,
        streaming=False,
        numthreads=args.threads,
        what="decoding",
    )
    with _Output(dst) as out:
        _write_frames(out, frames, fmt, bits)
    if not args.quiet:
        print(f"{src} -> {dst}: {'x'.join(map(str, frames[0].shape))} {frames[0].dtype} (1:8)")
    return 0


def _cmd_encode(args: argparse.Namespace) -> int:
    src: str = args.input
    dst: str = args.out
    arr = _load_input(src, bool(args.animation))
    if not args.animation and arr.ndim == 4:
        raise CliError(f"{src}: holds a (T, Y, X, C) stack; pass --animation to encode it")
    if args.animation and arr.ndim < 3:
        raise CliError(f"{src}: --animation needs a (T, Y, X[, C]) stack, got shape {arr.shape}")
    options: Dict[str, Any] = {
        "quality": args.quality,
        "distance": args.distance,
        "lossless": True if args.lossless else None,
        "effort": args.effort,
        "numthreads": args.threads,
        "progressive": bool(args.progressive),
        "animation": bool(args.animation),
        "color": args.color,
    }
    frames = [arr[i] for i in range(arr.shape[0])] if args.animation else [arr]
    if not frames:
        raise CliError(f"{src}: the stack holds no frames")
    progress = _Progress("encoding", len(frames)) if len(frames) > 1 else None
    t0 = time.perf_counter()
    with _Output(dst) as out:
        try:
            # Leaving the writer's context by an exception abandons the stream;
            # the temporary output is then discarded as well.
            with JxlWriter(out.file, **options) as writer:
                for i, frame in enumerate(frames):
                    writer.write_frame(frame, is_last=i == len(frames) - 1)
                    if progress is not None:
                        progress.update(i + 1)
                writer.close()
        except _CAUGHT as exc:
            raise CliError(f"{src}: cannot encode: {exc}") from exc
        finally:
            if progress is not None:
                progress.finish()
    if not args.quiet:
        size = os.path.getsize(dst)
        pixels = int(frames[0].shape[0]) * int(frames[0].shape[1]) * len(frames)
        bpp = 8.0 * size / max(pixels, 1)
        took = time.perf_counter() - t0
        print(f"{src} -> {dst}: {_mib(size)}, {bpp:.3f} bits per pixel, {took:.2f} s")
    return 0


# --- argument parsing ------------------------------------------------------------


def _index_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a frame number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"frame numbers start at 0 (got {value})")
    return value


def _ranged(kind: Callable[[str], float], lo: float, hi: float, what: str) -> Callable[[str], Any]:
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


def _color_arg(text: str) -> str:
    from quillmarsh.core.color import parse_color

    try:
        parse_color(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def _threads_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a thread count: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"thread count must be >= 0 (got {value})")
    return value


def _build_parser() -> argparse.ArgumentParser:
    from quillmarsh import __version__

    parser = _Parser(
        prog=PROG,
        description="Inspect, decode and encode JPEG XL files with quillmarsh's codec.",
        epilog="Errors print one line on stderr; the exit status is 1 for a failed "
        "command and 2 for a usage error.",
    )
    parser.add_argument(
        "--version",
        action="version",
        version=f"{PROG} {__version__} (libjxl {libjxl_version()})",
    )
    parser.add_argument(
        "--debug", action="store_true", help="show a traceback for unexpected errors"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    threads = _Parser(add_help=False)
    threads.add_argument(
        "--threads",
        type=_threads_arg,
        default=None,
        metavar="N",
        help="libjxl worker threads (default: all cores; 1 = no worker threads)",
    )
    quiet = _Parser(add_help=False)
    quiet.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")

    p = sub.add_parser(
        "info",
        help="describe a JPEG XL file",
        description="Size, channels, sample type, bit depth, animation and frame count, "
        "colour encoding, ICC profile size and progressive DC prefix size of FILE. "
        "Only headers and the first frame (up to its DC pass, if any) are decoded, so damage "
        "further into the file shows only when it is decoded.",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print the facts as JSON")
    p.set_defaults(func=_cmd_info)

    p = sub.add_parser(
        "decode",
        parents=[threads, quiet],
        help="decode to .npy, .png or .tif",
        description="Decode FILE to OUT. .npy keeps every sample as decoded (an "
        "animation becomes a (T, Y, X[, C]) stack); .png and .tif (through Pillow) "
        "keep 8-bit images, 16-bit grey and, in TIFF, 32-bit float grey, and reduce "
        "other samples to 8 bits. Animations become animated PNG (100 ms frames) or "
        "multi-page TIFF. Files above 4 MiB are read in the background while "
        "decoding.",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--index", type=_index_arg, default=None, metavar="K",
                   help="decode only frame K (from 0) of an animation")
    p.add_argument("--downsample", type=int, choices=(1, 2, 4, 8), default=1,
                   help="reduce width and height by this factor (8: progressive decode)")
    p.add_argument("--no-streaming", action="store_true",
                   help="read the whole file before decoding")
    p.set_defaults(func=_cmd_decode)

    p = sub.add_parser(
        "encode",
        parents=[threads, quiet],
        help="encode a .npy array or an image to JPEG XL",
        description="Encode IN (a .npy array, or an image Pillow can read) to OUT. "
        "Without --quality or --distance the result is lossless.",
    )
    p.add_argument("input", metavar="IN")
    p.add_argument("out", metavar="OUT")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--quality", "-Q", type=_ranged(float, 0, 100, "quality"), default=None,
                      help="lossy quality 0..100 (90 is visually lossless for most photos)")
    mode.add_argument("--distance", "-d", type=_ranged(float, 0, 25, "distance"), default=None,
                      help="lossy Butteraugli distance 0..25 (1.0 is visually lossless)")
    mode.add_argument("--lossless", action="store_true", help="exact (the default)")
    p.add_argument("--effort", "-e", type=int, choices=range(1, 11), default=None,
                   metavar="1..10", help="encoder effort (default 5; higher is slower)")
    p.add_argument("--progressive", "-p", action="store_true",
                   help="progressive coding: a 1:8 preview decodes from the first bytes")
    p.add_argument("--animation", "-a", action="store_true",
                   help="IN is a (T, Y, X[, C]) stack or a multi-frame image")
    p.add_argument("--color", type=_color_arg, default=None, metavar="NAME",
                   help="colour encoding, such as srgb, display-p3, rec2100-pq "
                   "(default: sRGB for 8-bit, linear sRGB otherwise)")
    p.set_defaults(func=_cmd_encode)

    p = sub.add_parser(
        "thumb",
        parents=[threads, quiet],
        help="write a 1:8 thumbnail",
        description="Write a thumbnail of FILE, 1/8 of its width and height, to OUT "
        "(.png, .tif or .npy). Progressive files stop decoding after the DC pass.",
    )
    p.add_argument("file", metavar="FILE")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--index", type=_index_arg, default=0, metavar="K",
                   help="frame of an animation (default 0)")
    p.set_defaults(func=_cmd_thumb)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``quillmarsh-jxl`` command line; returns the exit status."""
    parser = _build_parser()
    args = parser.parse_args(argv)
    func: Callable[[argparse.Namespace], int] = args.func
    try:
        return func(args)
    except CliError as exc:
        _fail(str(exc))
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except BrokenPipeError:
        # stdout went away (``| head``); keep the interpreter's final flush quiet.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
    except Exception as exc:  # a bug or an unforeseen failure: still one line
        if args.debug:
            raise
        _fail(f"{type(exc).__name__}: {exc}")
    return 1


def _fail(message: str) -> None:
    text = " ".join(message.split())  # one line, whatever the message held
    sys.stderr.write(f"{PROG}: {text}\n")
    sys.stderr.flush()


if __name__ == "__main__":
    sys.exit(main())
