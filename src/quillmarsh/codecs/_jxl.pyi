"""Streaming JPEG XL codec for quillmarsh.

Type stubs of the compiled extension. The public import path is
``quillmarsh.codecs.jxl``, which re-exports every public name below.
"""

import os
from types import TracebackType
from typing import Iterator, Literal, NoReturn, Protocol, Sequence, TypedDict, TypeVar, Union, overload

import numpy as _np
import numpy.typing as npt

from quillmarsh.codecs._quality_target import TargetResult
from quillmarsh.core.color import ColorSpec
from quillmarsh.core.errors import JxlError as JxlError

class _ReadableBinary(Protocol):
    """A binary file-like object: ``read()`` (or ``read(n)``) returns bytes."""

    def read(self, size: int = ..., /) -> bytes: ...

class _WritableBinary(Protocol):
    """A binary file-like destination: ``write(b)`` is called once, at close."""

    def write(self, data: bytes, /) -> object: ...

_PathLike = Union[str, os.PathLike[str], os.PathLike[bytes]]

# What a reader and the probes accept: bytes-like objects (used in place), a
# uint8 array, a filesystem path, a URL (http(s), or any protocol fsspec
# knows), or a binary file-like object (one fsspec opened is read in ranges).
_Input = Union[
    bytes,
    bytearray,
    memoryview,
    npt.NDArray[_np.uint8],
    _PathLike,
    _ReadableBinary,
]

# A colour space for decoded samples: a colour name, a ColorSpec or the bytes
# of an RGB (grey for grey images) ICC profile.
_OutputColor = Union[None, str, ColorSpec, bytes, bytearray, memoryview]

# The four sample types the codec produces.
_Sample = Union[_np.uint8, _np.uint16, _np.float16, _np.float32]
_SampleType = Union[
    type[_np.uint8], type[_np.uint16], type[_np.float16], type[_np.float32]
]

# A decoded frame (Y, X) or (Y, X, C), or a stack (T, Y, X[, C]).
_Frame = npt.NDArray[_Sample]

_FrameShape = Union[tuple[int, int], tuple[int, int, int]]

_Subsample = Literal["top-left", "center"]

_ColorInput = Union[str, ColorSpec, None]

_ColorTransform = Union[str, int, None]

class _ColorEncoding(TypedDict):
    """libjxl's JxlColorEncoding enumeration numbers (see jxl/color_encoding.h)."""

    color_space: int
    white_point: int
    primaries: int
    transfer_function: int
    rendering_intent: int

class _BasicInfo(TypedDict):
    """The main fields of libjxl's JxlBasicInfo."""

    xsize: int
    ysize: int
    bits_per_sample: int
    exponent_bits_per_sample: int
    num_color_channels: int
    num_extra_channels: int
    alpha_bits: int
    have_animation: bool
    orientation: int
    intensity_target: float
    min_nits: float
    relative_to_max_display: bool
    linear_below: float
    uses_original_profile: bool
    alpha_premultiplied: bool
    num_loops: int
    tps: float | None
    have_timecodes: bool

class _Channel(TypedDict, total=False):
    """One channel of a stream: "type" is "color", "alpha", "depth",
    "spot_color", "selection_mask", "black", "cfa", "thermal", "optional" or
    "unknown"; "alpha_premultiplied" only for alpha, "spot_color" (red, green,
    blue, solidity) only for spot colours."""

    type: str
    name: str
    bits_per_sample: int
    exponent_bits_per_sample: int
    alpha_premultiplied: bool
    spot_color: tuple[float, float, float, float]

class _ChannelSpec(TypedDict, total=False):
    """A channel as the writer takes it: "type" (required), "name",
    "bits" (stored precision; integer samples then hold that range),
    "spot_color", "alpha_premultiplied"."""

    type: str
    name: str
    bits: int
    spot_color: tuple[float, float, float, float]
    alpha_premultiplied: bool

_ChannelList = list[Union[str, _ChannelSpec]]

_R = TypeVar("_R", bound="JxlReader")
_W = TypeVar("_W", bound="JxlWriter")

_DEC_STATUS_NAMES: dict[int, str]
_ENC_STATUS_NAMES: dict[int, str]
_ENC_ERR_NAMES: dict[int, str]

def libjxl_version() -> str:
    """Version of the libjxl decoder in use, such as ``"0.11.2"``."""

def check_signature(data: bytes | bytearray | memoryview | npt.NDArray[_np.uint8] | None) -> bool:
    """Return True if `data` looks like a JPEG XL stream.

    Only the first 16 bytes are examined; None and empty input give False.
    """

class JxlReader:
    """Streaming JPEG XL decoder.

    The constructor parses the header (size, channels, sample type, animation
    flag and, with ``parse_color``, the colour encoding) without decoding
    pixels; frames are then decoded one at a time with :meth:`iter_frames` or
    all at once with :meth:`read`. Use it as a context manager, or call
    :meth:`close`.

    ``output_color`` (a colour name, a ColorSpec or RGB/grey ICC profile bytes)
    delivers the samples in that colour space, in the image's sample type;
    :attr:`color` and :attr:`icc_profile` then describe the delivered samples.
    libjxl converts XYB (lossy) images itself; the others are converted with
    lcms2. An image with a black channel is rendered through its CMYK profile.
    ``desired_intensity_target`` tone-maps HDR for a display of that many nits
    (libjxl's tone mapping, for XYB images).

    ``extra_channels=True`` delivers every channel, ``(Y, X, C + E)``: colour
    first, then the extra channels in file order, in the widest sample type any
    channel needs. Integer channels keep their own range (an 8-bit alpha in a
    uint16 frame stays 0..255) unless ``rescale=True``; in a float frame every
    channel is 0..1. ``render_spot_colors=True`` mixes spot colours into the
    colour channels.
    """

    def __init__(
        self,
        data: _Input,
        *,
        numthreads: int | None = None,
        keep_orientation: bool = False,
        coalesce: bool = True,
        parse_color: bool = True,
        streaming: bool = False,
        skip_frames: int = 0,
        downsample: int = 1,
        subsample: _Subsample = "top-left",
        max_pixels: int | None = 1073741824,
        max_bytes: int | None = 8589934592,
        output_color: _OutputColor = None,
        desired_intensity_target: float | None = None,
        extra_channels: bool = False,
        render_spot_colors: bool = False,
        rescale: bool = False,
        unpremultiply_alpha: bool = False,
        opaque_alpha: bool = False,
        allow_partial: bool = False,
    ) -> None: ...
    @property
    def xsize(self) -> int:
        """Image width in pixels (after orientation, unless ``keep_orientation``)."""
    @property
    def ysize(self) -> int:
        """Image height in pixels."""
    @property
    def samples(self) -> int:
        """Samples per pixel: 1 (L), 2 (LA), 3 (RGB) or 4 (RGBA)."""
    @property
    def truncated(self) -> bool:
        """True once ``allow_partial`` delivered a frame of a stream cut short."""
    @property
    def frame_shape(self) -> _FrameShape:
        """Shape of one full-size frame: ``(Y, X)`` or ``(Y, X, samples)``."""
    @property
    def dtype(self) -> _SampleType:
        """NumPy scalar type of the samples (``numpy.uint8`` and so on)."""
    @property
    def is_animation(self) -> bool:
        """True if the stream is an animation."""
    @property
    def n_frames(self) -> int | None:
        """Best-effort frame count (None if unknown until decoded)."""
    @property
    def color(self) -> _ColorEncoding | None:
        """Decoded JxlColorEncoding as a dict.

        None without colour parsing, or when the colour is described only by an
        ICC profile (see :attr:`icc_profile`).
        """
    @property
    def icc_profile(self) -> bytes | None:
        """ICC profile bytes (lazy)."""
    @property
    def basic_info(self) -> _BasicInfo: ...
    @property
    def exif(self) -> bytes | None:
        """EXIF as TIFF-structured bytes ("II*\\0" or "MM\\0*" first), or None."""
    @property
    def xmp(self) -> bytes | None:
        """XMP packet bytes (the "xml " box), or None."""
    @property
    def jumbf(self) -> bytes | None:
        """JUMBF superbox bytes (the "jumb" box), or None."""
    @property
    def boxes(self) -> list[tuple[str, int | None, bool]]:
        """The container's boxes in file order: (type, size, compressed) tuples."""
    @property
    def has_jpeg_reconstruction(self) -> bool:
        """True when the file holds the data to rebuild the JPEG it was recompressed from."""
    @property
    def frames_info(self) -> list[_FrameInfo]:
        """One dict per frame from a parse-only pass, as this reader delivers them."""
    @property
    def channels(self) -> list[_Channel]:
        """One dict per channel, colour first, then the extra channels in file
        order; known from the header alone."""
    def iter_frames(self, *, out: _Frame | None = None) -> Iterator[_Frame]:
        """Yield one decoded numpy array per JXL frame; with ``out`` every
        frame is written into it and ``out`` is yielded."""
    def __iter__(self) -> Iterator[_Frame]: ...
    def read(self) -> _Frame:
        """Decode the entire stream.

        One frame gives that frame; several give a stack ``(T, Y, X[, C])``.
        """
    def read_into(self, out: _Frame) -> _Frame:
        """Decode the frames left into ``out`` (read()'s shape and dtype,
        C-contiguous, writeable) and return it."""
    def close(self) -> None:
        """Release the decoder; safe to call more than once."""
    def __enter__(self: _R) -> _R: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...
    def __reduce__(self) -> NoReturn:
        """Readers and writers hold native state and cannot be pickled."""
    def __setstate__(self, state: object) -> NoReturn: ...

class JxlWriter:
    """Streaming JPEG XL encoder.

    Frames are added with :meth:`write_frame`; :meth:`close` finishes the
    stream and returns it as bytes (no ``dest``) or writes it to ``dest`` in
    one piece and returns None. With no quality options, or quality=100, the
    writer is lossless. ``max_error`` bounds every sample's error: integers
    move onto a grid in the stream itself; float samples (one frame, or
    ``encode``'s animation stack) are stored as grid indices with their
    offset and step in a private box, which ``decode`` reads to restore them.
    """

    def __init__(
        self,
        dest: _PathLike | _WritableBinary | None = None,
        *,
        color: _ColorInput = None,
        lossless: bool | None = None,
        quality: float | None = None,
        distance: float | None = None,
        effort: int | None = 5,
        decoding_speed: int | None = 0,
        numthreads: int | None = None,
        animation: bool = False,
        container: bool = False,
        intensity_target: float | None = None,
        icc_profile: bytes | bytearray | memoryview | None = None,
        progressive: bool = False,
        min_nits: float | None = None,
        relative_to_max_display: bool | None = None,
        linear_below: float | None = None,
        color_transform: _ColorTransform = None,
        modular: bool | None = None,
        channels: _ChannelList | None = None,
        color_channels: int | None = None,
        extra_channel_distance: float | list[float] | None = None,
        max_error: float | None = None,
        exif: bytes | None = None,
        xmp: bytes | str | None = None,
        jumbf: bytes | None = None,
        compress_boxes: bool = False,
        duration: float | Sequence[float] | None = None,
        loops: int = 0,
    timecodes: Sequence[int] | None = None,
        target_score: float | None = None,
        target_size: int | None = None,
    ) -> None: ...
    def write_frame(
        self,
        arr: npt.ArrayLike,
        *,
        is_last: bool = False,
        duration: float | None = None,
        name: str | None = None,
        timecode: int | None = None,
    ) -> None:
        """Encode one frame ``(Y, X)`` or ``(Y, X, C)``; C above 4 (or a
        ``channels`` list) adds extra channels after colour."""
    @property
    def target_result(self) -> TargetResult | None:
        """What the frame written to ``target_score`` or ``target_size``
        reached (distance, score, size, encodes); None before it or without
        a target."""
    def write_jpeg(self, data: _Input, *, verify: bool = True) -> None:
        """Add a JPEG as the stream's only frame, recompressed losslessly
        (rebuilt and compared unless verify=False, as transcode_jpeg)."""
    def close(self) -> bytes | None:
        """Finish the stream: return it (memory mode) or write it to ``dest``."""
    def __enter__(self: _W) -> _W: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...
    def __reduce__(self) -> NoReturn:
        """Readers and writers hold native state and cannot be pickled."""
    def __setstate__(self, state: object) -> NoReturn: ...

def decode(
    data: _Input,
    *,
    numthreads: int | None = None,
    keep_orientation: bool = False,
    coalesce: bool = True,
    parse_color: bool = False,
    streaming: bool = False,
    index: int | None = None,
    downsample: int = 1,
    subsample: _Subsample = "top-left",
    max_pixels: int | None = 1073741824,
    max_bytes: int | None = 8589934592,
    output_color: _OutputColor = None,
    desired_intensity_target: float | None = None,
    extra_channels: bool = False,
    render_spot_colors: bool = False,
    rescale: bool = False,
    unpremultiply_alpha: bool = False,
    opaque_alpha: bool = False,
    allow_partial: bool = False,
    out: _Frame | None = None,
) -> _Frame:
    """Decode a JPEG XL bytes/path into a numpy array (single ndarray).

    ``index`` selects one frame (earlier frames are skipped at parse cost);
    ``downsample`` 2, 4 or 8 reduces every frame (8 through libjxl's
    progressive decoding); ``streaming`` reads large files in the background.
    ``output_color`` (a colour name, a ColorSpec or ICC profile bytes)
    converts the samples into that colour space, keeping the sample type;
    ``desired_intensity_target`` tone-maps HDR images for a display of that
    many nits. Floats written with ``max_error`` are stored as grid indices:
    ``decode`` and :meth:`JxlReader.read` restore them (not into ``out`` or
    from a streamed input), frame iteration and the Pillow plugin give the
    indices.
    """

@overload
def encode(
    arr: npt.ArrayLike,
    *,
    color: _ColorInput = None,
    lossless: bool | None = None,
    quality: float | None = None,
    distance: float | None = None,
    effort: int | None = 5,
    decoding_speed: int | None = 0,
    numthreads: int | None = None,
    animation: bool = False,
    container: bool = False,
    intensity_target: float | None = None,
    icc_profile: bytes | bytearray | memoryview | None = None,
    progressive: bool = False,
    dest: None = None,
    min_nits: float | None = None,
    relative_to_max_display: bool | None = None,
    linear_below: float | None = None,
    color_transform: _ColorTransform = None,
    modular: bool | None = None,
    channels: _ChannelList | None = None,
    color_channels: int | None = None,
    extra_channel_distance: float | list[float] | None = None,
    max_error: float | None = None,
    exif: bytes | None = None,
    xmp: bytes | str | None = None,
    jumbf: bytes | None = None,
    compress_boxes: bool = False,
    duration: float | Sequence[float] | None = None,
    loops: int = 0,
    timecodes: Sequence[int] | None = None,
    target_score: float | None = None,
    target_size: int | None = None,
) -> bytes:
    """Encode a single ndarray (or animation stack) to JPEG XL bytes."""

@overload
def encode(
    arr: npt.ArrayLike,
    *,
    color: _ColorInput = None,
    lossless: bool | None = None,
    quality: float | None = None,
    distance: float | None = None,
    effort: int | None = 5,
    decoding_speed: int | None = 0,
    numthreads: int | None = None,
    animation: bool = False,
    container: bool = False,
    intensity_target: float | None = None,
    icc_profile: bytes | bytearray | memoryview | None = None,
    progressive: bool = False,
    dest: _PathLike | _WritableBinary,
    min_nits: float | None = None,
    relative_to_max_display: bool | None = None,
    linear_below: float | None = None,
    color_transform: _ColorTransform = None,
    modular: bool | None = None,
    channels: _ChannelList | None = None,
    color_channels: int | None = None,
    extra_channel_distance: float | list[float] | None = None,
    max_error: float | None = None,
    exif: bytes | None = None,
    xmp: bytes | str | None = None,
    jumbf: bytes | None = None,
    compress_boxes: bool = False,
    duration: float | Sequence[float] | None = None,
    loops: int = 0,
    timecodes: Sequence[int] | None = None,
    target_score: float | None = None,
    target_size: int | None = None,
) -> None:
    """Encode a single ndarray (or animation stack) to a path or file-like object."""

class _FrameInfo(TypedDict):
    duration: float
    duration_ticks: int
    timecode: int | None
    name: str
    is_last: bool
    xsize: int
    ysize: int
    crop_x0: int
    crop_y0: int
    blend_mode: str

def frames_info(data: _Input, *, coalesce: bool = True) -> list[_FrameInfo]:
    """Frame headers of a JPEG XL stream, without decoding pixels."""

def frame_count(data: _Input, *, numthreads: int | None = None) -> int:
    """Return the number of frames in a JPEG XL stream."""

def preview_bytes_needed(
    data: _Input, *, downsample: int = 8, max_pixels: int | None = 1073741824
) -> int | None:
    """How many leading bytes ``decode(data, downsample=...)`` of a still
    image reads: the prefix up to the first frame's progression point of
    1:`downsample` or finer (2, 4 or 8). None when the frame has no such point
    (the whole stream is needed) and for an empty input."""

def thumbnail_bytes(
    data: _Input, *, numthreads: int | None = None, max_pixels: int | None = 1073741824
) -> bytes | None:
    """Return the JXL byte-prefix consumed up to the DC progressive pass.

    None when the stream is not progressively coded. The prefix measures the
    DC pass; for a decodable thumbnail use ``decode(data, downsample=8)``.
    """

@overload
def transcode_jpeg(
    src: _Input,
    dest: None = None,
    *,
    effort: int = 7,
    numthreads: int | None = None,
    keep_metadata: bool = True,
    verify: bool = True,
) -> bytes:
    """Recompress a JPEG losslessly into JPEG XL (bytes). With `verify` (the
    default) the JPEG is rebuilt from the stream and compared, and one libjxl
    would not give back bit for bit is refused (ValueError); verify=False skips
    that rebuild for callers who accept the risk."""

@overload
def transcode_jpeg(
    src: _Input,
    dest: _PathLike | _WritableBinary,
    *,
    effort: int = 7,
    numthreads: int | None = None,
    keep_metadata: bool = True,
    verify: bool = True,
) -> None:
    """Recompress a JPEG losslessly into JPEG XL, written to `dest` (nothing is
    written when the JPEG is refused; `verify` as above)."""

@overload
def reconstruct_jpeg(
    src: _Input,
    dest: None = None,
    *,
    numthreads: int | None = None,
    max_pixels: int | None = 1073741824,
) -> bytes:
    """Rebuild the original JPEG file from a JPEG XL made by transcode_jpeg() (bytes)."""

@overload
def reconstruct_jpeg(
    src: _Input,
    dest: _PathLike | _WritableBinary,
    *,
    numthreads: int | None = None,
    max_pixels: int | None = 1073741824,
) -> None:
    """Rebuild the original JPEG file from a JPEG XL made by transcode_jpeg(), written to `dest`."""

def _ssimulacra2(
    reference: npt.ArrayLike,
    distorted: npt.ArrayLike,
    *,
    linear: bool = False,
    numthreads: int | None = None,
) -> float:
    """Internal: the SSIMULACRA 2 score (quillmarsh.metrics.ssimulacra2)."""

def _arrow_pixels(arr: npt.NDArray[_np.uint8]) -> tuple[object, object]:
    """Internal: Arrow's (schema, array) capsules sharing a C-contiguous
    (Y, X, 4) uint8 array as four-byte pixels (the Pillow plugin's
    Image.fromarrow)."""
