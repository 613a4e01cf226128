"""Decompression bombs: a stream whose header claims gigapixels is refused
cleanly, without committing the memory it claims.

The streams are small real codestreams whose SizeHeader is rewritten to claim
65536 x 65536 (or more) pixels. Each operation runs in a process of its own
(with a timeout, so a hang fails the test), and its peak resident set is read
from VmHWM after resetting it.
"""

from __future__ import annotations

import io
import json
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quillmarsh
from quillmarsh.codecs import _jxl

from _images import synthetic

PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"),
                                reason="needs /proc peak-RSS reset")

# Under AddressSanitizer (scripts/asan.sh preloads it) the sanitizer's own
# shadow memory and quarantine are resident too, and calls run several times
# slower: the outcomes are still checked, the RSS and time bounds are not.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def check_cost(got: dict, peak_kib: int, seconds: float | None = None) -> None:
    if SANITIZED:
        return
    assert got["peak_kib"] < peak_kib, got
    if seconds is not None:
        assert got["seconds"] < seconds, got

# ---- crafting --------------------------------------------------------------

_U32_BITS = (9, 13, 18, 30)


def _bits(data: bytes) -> list[int]:
    return [(byte >> i) & 1 for byte in data for i in range(8)]


def _pack(bits: list[int]) -> bytes:
    bits = bits + [0] * (-len(bits) % 8)
    return bytes(sum(b << k for k, b in enumerate(bits[i:i + 8]))
                 for i in range(0, len(bits), 8))


def _u32(value: int) -> list[int]:
    # Selector 3: value - 1 in 30 bits.
    return [1, 1] + [((value - 1) >> i) & 1 for i in range(30)]


def _size_header_length(bits: list[int]) -> int:
    p = 1
    if bits[0]:  # small: (ysize / 8 - 1) in 5 bits, ratio, maybe xsize likewise
        p += 5
        ratio = bits[p] | bits[p + 1] << 1 | bits[p + 2] << 2
        return p + 3 + (5 if ratio == 0 else 0)
    p += 2 + _U32_BITS[bits[p] | bits[p + 1] << 1]
    ratio = bits[p] | bits[p + 1] << 1 | bits[p + 2] << 2
    p += 3
    if ratio == 0:
        p += 2 + _U32_BITS[bits[p] | bits[p + 1] << 1]
    return p


def _rebuild(stream: bytes, xsize: int, ysize: int, frame_byte: int, pad: int) -> bytes:
    bits = _bits(stream[2:])
    n = _size_header_length(bits)
    metadata = bits[n:8 * (frame_byte - 2) - pad]
    header = [0] + _u32(ysize) + [0, 0, 0] + _u32(xsize) + metadata
    return b"\xff\x0a" + _pack(header) + stream[frame_byte:]


def codestream(data: bytes) -> bytes:
    """The bare codestream of `data` (the jxlc box's content for a container)."""
    if data[:2] == b"\xff\x0a":
        return data
    pos = 0
    while pos < len(data):
        size, kind = int.from_bytes(data[pos:pos + 4], "big"), data[pos + 4:pos + 8]
        head = 8
        if size == 1:
            size, head = int.from_bytes(data[pos + 8:pos + 16], "big"), 16
        elif size == 0:
            size = len(data) - pos
        if kind == b"jxlc":
            return data[pos + head:pos + size]
        pos += size
    raise AssertionError("no jxlc box")


def relabel(stream: bytes, ref: np.ndarray, xsize: int, ysize: int) -> bytes:
    """`stream`, a bare codestream of `ref`, with a size header claiming
    xsize x ysize. The first frame starts byte-aligned after the image
    headers, and a longer size header moves everything behind it: the split
    between headers (plus padding) and frame is found by rebuilding at the
    original size until the result decodes to `ref` again."""
    assert stream[:2] == b"\xff\x0a"
    h, w = ref.shape[:2]
    for frame_byte in range(3, min(len(stream), 256)):
        for pad in range(8):
            cand = _rebuild(stream, w, h, frame_byte, pad)
            try:
                if np.array_equal(_jxl.decode(cand, numthreads=1), ref):
                    return _rebuild(stream, xsize, ysize, frame_byte, pad)
            except (_jxl.JxlError, ValueError, NotImplementedError):
                pass
    raise AssertionError("no split of the stream reproduces the image")


KINDS = {
    "lossless": ((3, np.uint8), dict(effort=3)),
    "lossy": ((3, np.uint8), dict(quality=90)),
    "progressive-lossy": ((3, np.uint8), dict(quality=90, progressive=True)),
    "progressive-lossless": ((3, np.uint8), dict(progressive=True)),
    "grey-uint16": ((1, np.uint16), dict(effort=2)),
    "rgba-float32": ((4, np.float32), dict(effort=2)),
}


@pytest.fixture(scope="module")
def bombs(tmp_path_factory):
    d = tmp_path_factory.mktemp("bombs")
    out = {}
    for kind, ((c, dt), opts) in KINDS.items():
        img = synthetic(64, 64, c, dt, seed=3)
        stream = codestream(_jxl.encode(img, numthreads=1, **opts))
        p = d / f"{kind}.jxl"
        p.write_bytes(relabel(stream, _jxl.decode(stream), 65536, 65536))
        out[kind] = p
    return out


# ---- measuring -------------------------------------------------------------

PROBE = textwrap.dedent("""
    import json, sys, time
    from quillmarsh.codecs import _jxl

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1])

    data = open(sys.argv[1], "rb").read()
    op = sys.argv[2]
    calls = {
        "header": lambda: _jxl.JxlReader(data, max_pixels=None).frame_shape,
        "decode": lambda: _jxl.decode(data),
        "decode-ds8": lambda: _jxl.decode(data, downsample=8),
        "decode-nolimit": lambda: _jxl.decode(data, max_pixels=None),
        "decode-ds8-nolimit": lambda: _jxl.decode(data, downsample=8, max_pixels=None),
        "thumbnail_bytes-nolimit": lambda: _jxl.thumbnail_bytes(data, max_pixels=None),
        "decode-ds2": lambda: _jxl.decode(data, downsample=2),
        "decode-index": lambda: _jxl.decode(data, index=0, numthreads=2),
        "thumbnail_bytes": lambda: _jxl.thumbnail_bytes(data),
        "frame_count": lambda: _jxl.frame_count(data),
        "decode-srgb": lambda: _jxl.decode(data, output_color="srgb"),
        "decode-extra": lambda: _jxl.decode(data, extra_channels=True),
        "transcode_jpeg": lambda: _jxl.transcode_jpeg(data, effort=1, numthreads=1),
        "write_jpeg": lambda: _jxl.JxlWriter(effort=1, numthreads=1).write_jpeg(data),
        "reconstruct_jpeg": lambda: _jxl.reconstruct_jpeg(data, numthreads=1),
        "color": lambda: _jxl.JxlReader(data).icc_profile,
        "boxes-path": lambda: _jxl._read_boxes(sys.argv[1]),
    }
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # peak RSS := current RSS
    before = status("VmRSS:")
    t0 = time.perf_counter()
    try:
        result = calls[op]()
        outcome = ["result", repr(result)[:200]]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    seconds = time.perf_counter() - t0
    print(json.dumps({"outcome": outcome, "peak_kib": status("VmHWM:") - before,
                      "seconds": seconds}))
""")


def probe(path: Path, op: str) -> dict:
    proc = subprocess.run([sys.executable, "-c", PROBE, str(path), op], capture_output=True,
                          text=True, timeout=60, env=dict(os.environ, PYTHONPATH=PKG_ROOT))
    assert proc.returncode == 0, f"exit status {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.splitlines()[-1])


# ---- tests -----------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_the_crafted_header_claims_gigapixels(bombs, kind):
    with _jxl.JxlReader(bombs[kind].read_bytes(), parse_color=False, max_pixels=None) as r:
        assert (r.xsize, r.ysize) == (65536, 65536)
        # 4 GiB samples: 4 to 64 GiB per frame, depending on the layout.
        assert np.prod(r.frame_shape) * np.dtype(r.dtype).itemsize >= 4 << 30


@pytest.mark.parametrize("op", ["decode", "decode-ds8", "decode-ds2", "decode-index",
                                "thumbnail_bytes"])
@pytest.mark.parametrize("kind", KINDS)
def test_gigapixel_claim_is_refused_by_max_pixels(bombs, kind, op):
    got = probe(bombs[kind], op)
    exc, message = got["outcome"]
    if op == "thumbnail_bytes" and exc == "JxlError":
        # The probe reads the size when libjxl asks for output; these crafted
        # streams are already found inconsistent before that.
        pass
    else:
        assert exc == "ValueError" and "exceeds max_pixels=1073741824" in message, got
    check_cost(got, 16 * 1024, seconds=1.0)


@pytest.mark.parametrize("op", ["decode-nolimit", "decode-ds8-nolimit",
                                "thumbnail_bytes-nolimit", "frame_count"])
@pytest.mark.parametrize("kind", KINDS)
def test_gigapixel_claim_without_limit_fails_cleanly_without_committing_memory(bombs, kind, op):
    got = probe(bombs[kind], op)
    exc, message = got["outcome"]
    if exc == "ValueError":
        # A frame above 8 GiB is refused by the byte budget before any buffer.
        assert op.startswith("decode") and "more than max_bytes=8589934592" in message, got
    else:
        # A clean refusal: libjxl finds the frame data inconsistent with the
        # claimed size.
        assert exc in ("JxlError", "MemoryError"), got
    check_cost(got, 64 * 1024)


@pytest.fixture(scope="module")
def under_limit_bombs(tmp_path_factory):
    """Claims of 32000 x 32000: under max_pixels and (in 8 or 16 bits) max_bytes."""
    d = tmp_path_factory.mktemp("bombs-under")
    out = {}
    for kind in ("lossless", "grey-uint16", "rgba-float32"):
        (c, dt), opts = KINDS[kind]
        stream = codestream(_jxl.encode(synthetic(64, 64, c, dt, seed=3), numthreads=1, **opts))
        out[kind] = d / f"{kind}.jxl"
        out[kind].write_bytes(relabel(stream, _jxl.decode(stream), 32000, 32000))
    return out


@pytest.mark.parametrize("op", ["decode-srgb", "decode-extra"])
@pytest.mark.parametrize("kind", ["lossless", "grey-uint16", "rgba-float32"])
def test_claim_under_the_limits_commits_no_conversion_buffers(under_limit_bombs, kind, op):
    # Colour conversion and extra channels decode into buffers of their own
    # (float colour: 12 GiB for this claim); they stay untouched, so out of
    # memory, until libjxl writes them, and these streams fail before it does.
    got = probe(under_limit_bombs[kind], op)
    assert got["outcome"][0] in ("JxlError", "ValueError"), got
    check_cost(got, 64 * 1024)


def test_header_parse_of_a_bomb_commits_nothing(bombs):
    got = probe(bombs["lossy"], "header")
    assert got["outcome"] == ["result", "(65536, 65536, 3)"]
    check_cost(got, 16 * 1024)


def test_large_but_cheap_image_decodes_at_one_eighth(tmp_path):
    # A real 4096 x 4096 stream of a few kilobytes: nothing to refuse, the
    # reduced decode and the probe give correct answers.
    img = np.full((4096, 4096), 77, np.uint8)
    img[::512, :] = 200
    data = _jxl.encode(img, effort=1, numthreads=1)
    assert len(data) < 64 * 1024
    small = _jxl.decode(data, downsample=8, numthreads=2)
    assert np.array_equal(small, img[::8, ::8])
    assert _jxl.thumbnail_bytes(data) is None
    assert _jxl.frame_count(data) == 1


def test_max_bytes_limits_what_read_allocates():
    frames = np.stack([np.full((24, 32, 3), i * 40, np.uint8) for i in range(3)])
    data = _jxl.encode(frames, animation=True)  # 2304 bytes a frame
    with pytest.raises(ValueError) as e:
        _jxl.JxlReader(data, max_bytes=5000).read()
    assert str(e.value) == ("jxl: decoding 3 frames of 2304 bytes needs 6912 bytes, more than "
                            "max_bytes=5000 (pass a larger max_bytes, or None, to decode it)")
    with pytest.raises(ValueError, match="^jxl: decoding a frame needs 2304 bytes, more than "):
        next(_jxl.JxlReader(data, max_bytes=2000).iter_frames())
    # One frame at a time stays within a budget that the whole stack exceeds.
    with _jxl.JxlReader(data, max_bytes=5000) as r:
        assert len(list(r.iter_frames())) == 3
    # Streamed input (frame count unknown) is held to the same budget.
    with pytest.raises(ValueError, match="^jxl: decoding 3 frames needs 6912 bytes"):
        _jxl.decode(io.BytesIO(data + bytes(4 << 20)), streaming=True, max_bytes=5000)
    np.testing.assert_array_equal(_jxl.decode(data, max_bytes=6912), frames)
    np.testing.assert_array_equal(_jxl.decode(data, max_bytes=None), frames)
    for bad in (0, -1):
        with pytest.raises(ValueError, match="^max_bytes must be a positive integer or None"):
            _jxl.decode(data, max_bytes=bad)


def test_frame_size_arithmetic_is_checked(testing_hooks):
    # 4294967295 x 4294967295 RGBA float32 frames: 2**68 bytes.
    with pytest.raises(ValueError, match="^jxl: the frame size does not fit in 64 bits$"):
        testing_hooks.describe_basic_info(3, 1, 8, 32, 8, 2**32 - 1, 2**32 - 1)


def test_max_pixels_limits_real_streams_before_any_pixel_buffer():
    img = np.full((300, 400, 3), 90, np.uint8)
    data = _jxl.encode(img, quality=90)
    msg = r"^jxl: image of 400x300 = 120000 pixels exceeds max_pixels=119999 "
    with pytest.raises(ValueError, match=msg):
        _jxl.decode(data, max_pixels=119_999)
    with pytest.raises(ValueError, match=msg):
        _jxl.JxlReader(data, max_pixels=119_999)
    with pytest.raises(ValueError, match=msg):
        _jxl.thumbnail_bytes(data, max_pixels=119_999)
    assert _jxl.decode(data, max_pixels=120_000).shape == (300, 400, 3)
    assert _jxl.decode(data, max_pixels=None, downsample=8).shape == (38, 50, 3)
    assert isinstance(_jxl.thumbnail_bytes(data, max_pixels=None), bytes)
    for bad in (0, -5):
        with pytest.raises(ValueError, match="^max_pixels must be a positive integer or None"):
            _jxl.decode(data, max_pixels=bad)
    with pytest.raises(TypeError):
        _jxl.decode(data, max_pixels=1.5)


# ---- claims in JPEG files and in JPEG XL metadata -------------------------------


def jpeg_claiming(width: int, height: int, mode: str, **opts) -> bytes:
    """A real 16 x 16 JPEG whose frame header claims width x height."""
    from PIL import Image

    shape = (16, 16) if mode == "L" else (16, 16, 3)
    buf = io.BytesIO()
    Image.fromarray(synthetic(16, 16, 1 if mode == "L" else 3, seed=4).reshape(shape)).save(
        buf, "JPEG", quality=90, **opts)
    data = bytearray(buf.getvalue())
    sof = data.index(b"\xff\xc2" if opts.get("progressive") else b"\xff\xc0")
    data[sof + 5:sof + 9] = struct.pack(">HH", height, width)
    return bytes(data)


JPEG_KINDS = {
    "grey": ("L", {}),
    "progressive-420": ("RGB", dict(progressive=True)),
    "444": ("RGB", dict(subsampling=0)),
}


@pytest.mark.parametrize("op", ["transcode_jpeg", "write_jpeg"])
@pytest.mark.parametrize("kind", JPEG_KINDS)
def test_jpeg_claiming_gigapixels_is_refused_before_its_coefficients(tmp_path, kind, op):
    # libjxl would commit 8 to 24 GiB of DCT coefficients for these 300 bytes.
    mode, opts = JPEG_KINDS[kind]
    p = tmp_path / "bomb.jpg"
    p.write_bytes(jpeg_claiming(65535, 65535, mode, **opts))
    got = probe(p, op)
    exc, message = got["outcome"]
    assert exc == "ValueError", got
    assert message.startswith("jxl: corrupt JPEG stream (65535x65535 pixels claimed, but only ")
    assert "refused before allocating" in message
    check_cost(got, 16 * 1024, seconds=1.0)


@pytest.mark.parametrize("kind", ["grey", "progressive-420"])
def test_large_jpeg_with_its_data_still_recompresses(kind):
    # 6000 x 6000 of one colour: little data, but a DC value for every block,
    # and more coefficient memory than needs evidence.
    from PIL import Image

    mode, opts = JPEG_KINDS[kind]
    img = np.full((6000, 6000) if mode == "L" else (6000, 6000, 3), 128, np.uint8)
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, "JPEG", quality=90, optimize=True, **opts)
    jpeg = buf.getvalue()
    assert len(jpeg) < 6000 * 6000 // 64 // 2  # about two bits per block
    assert _jxl.reconstruct_jpeg(_jxl.transcode_jpeg(jpeg, effort=1)) == jpeg


def _bits_le(fields: list[tuple[int, int]]) -> bytes:
    bits = [(v >> i) & 1 for v, n in fields for i in range(n)]
    return _pack(bits)


def _split_boxes(data: bytes) -> list[tuple[bytes, bytes]]:
    out, pos = [], 0
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        out.append((kind, data[pos + 8:pos + size]))
        pos += size
    return out


def _join_boxes(boxes: list[tuple[bytes, bytes]]) -> bytes:
    return b"".join(struct.pack(">I4s", 8 + len(c), k) + c for k, c in boxes)


@pytest.mark.parametrize("marker", ["APP0", "COM"])
def test_reconstruction_data_claiming_a_gigabyte_of_markers_is_refused(tmp_path, marker):
    # The head of a "jbrd" box lists the JPEG's markers, then 16 bits of
    # length for each APP and COM marker: 16383 of them claim 1 GiB in 50 kB.
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(synthetic(16, 16, 1, seed=5)).save(buf, "JPEG", quality=90)
    boxes = _split_boxes(_jxl.transcode_jpeg(buf.getvalue(), effort=1))
    assert b"jbrd" in [k for k, _ in boxes]
    n = 16383
    code = {"APP0": 0xE0, "COM": 0xFE}[marker] - 0xC0
    fields = [(1, 1)] + [(code, 6)] * n + [(0xD9 - 0xC0, 6)]
    fields += [(0, 2), (65535, 16)] * n if marker == "APP0" else [(65535, 16)] * n
    bomb = _join_boxes([(k, _bits_le(fields) + bytes(64) if k == b"jbrd" else c)
                        for k, c in boxes])
    p = tmp_path / "jbrd-bomb.jxl"
    p.write_bytes(bomb)
    got = probe(p, "reconstruct_jpeg")
    assert got["outcome"][0] == "ValueError", got
    assert got["outcome"][1].startswith(
        f"jxl: the JPEG reconstruction data claims {n * 65536} bytes of marker data, more "
        "than the "), got
    check_cost(got, 32 * 1024, seconds=1.0)


def test_large_markers_within_the_budget_rebuild(cjxl, tmp_path):
    # 20 comments of 64 KiB (of zeros: the file stays small) claim more than
    # 16 times the file, but the image's size allows them.
    from PIL import Image

    def with_comments(side):
        buf = io.BytesIO()
        Image.fromarray(np.full((side, side), 90, np.uint8)).save(buf, "JPEG", quality=90)
        com = b"\xff\xfe\xff\xff" + bytes(65533)
        return buf.getvalue()[:2] + com * 20 + buf.getvalue()[2:]

    big = with_comments(2000)
    data = _jxl.transcode_jpeg(big, effort=1)
    assert 16 * len(data) + (1 << 20) < 20 * 65536
    assert _jxl.reconstruct_jpeg(data) == big
    # transcode_jpeg refuses what reconstruct_jpeg would not give back; a file
    # from libjxl's own encoder carries the claim.
    small = with_comments(64)
    with pytest.raises(ValueError, match="too large for its recompressed size"):
        _jxl.transcode_jpeg(small, effort=1)
    src, made = tmp_path / "in.jpg", tmp_path / "in.jxl"
    src.write_bytes(small)
    subprocess.run([cjxl, str(src), str(made), "--lossless_jpeg=1", "-e", "1", "--quiet"], check=True)
    with pytest.raises(ValueError, match=r"^jxl: the JPEG reconstruction data claims 1310737 "
                                            r"bytes of marker data, more than the \d+ bytes "):
        _jxl.reconstruct_jpeg(made.read_bytes())


def _u64_field(v: int) -> list[tuple[int, int]]:
    # Selector 3: 12 bits, then 8 more at a time while a continuation bit is set.
    out = [(3, 2), (v & 0xFFF, 12)]
    v >>= 12
    while v:
        out += [(1, 1), (v & 0xFF, 8)]
        v >>= 8
    return out + [(0, 1)]


def codestream_with_icc_claim(enc_size: int | None) -> bytes:
    """An 8 x 8 image header whose colour is an ICC profile of `enc_size`
    encoded bytes (None: sRGB, no profile), then 64 KiB of zeros."""
    f = [(1, 1), (0, 5), (1, 3)]  # small size header: 8 x 8
    # Image metadata: not all default, no extra fields, 8-bit integer
    # samples, 16-bit buffers suffice, no extra channels, XYB.
    f += [(0, 1), (0, 1), (0, 1), (0, 2), (1, 1), (0, 2), (1, 1)]
    # Colour: not all default, an ICC profile wanted, RGB; else all default.
    f += [(1, 1)] if enc_size is None else [(0, 1), (1, 1), (0, 2)]
    f += [(0, 2), (1, 1)]  # no extensions; default transform data
    if enc_size is not None:
        f += _u64_field(enc_size)
    return b"\xff\x0a" + _bits_le(f) + bytes(65536)


def test_crafted_icc_header_is_read_as_intended():
    plain = codestream_with_icc_claim(None)
    with _jxl.JxlReader(plain) as r:
        assert r.frame_shape == (8, 8, 3) and r.icc_profile[36:40] == b"acsp"
    with _jxl.JxlReader(codestream_with_icc_claim(1 << 32), parse_color=False) as r:
        assert r.frame_shape == (8, 8, 3)


@pytest.mark.parametrize("op", ["color", "decode-nolimit"])
@pytest.mark.parametrize("claim", [200 << 20, 1 << 32, 1 << 60])
def test_icc_profile_claiming_gigabytes_is_refused_before_allocation(tmp_path, claim, op):
    p = tmp_path / "icc-bomb.jxl"
    p.write_bytes(codestream_with_icc_claim(claim))
    got = probe(p, op)
    assert got["outcome"][0] == "JxlError", got
    check_cost(got, 16 * 1024, seconds=1.0)


@pytest.mark.parametrize("kind, claim", [(b"Exif", 1 << 40), (b"xml ", 3 << 30),
                                         (b"abcd", 1 << 40)])
def test_box_claiming_gigabytes_is_refused_reading_a_file(tmp_path, kind, claim):
    # The metadata pass reads files in chunks: a box larger than the file
    # neither grows its buffer nor goes unreported.
    data = _jxl.encode(synthetic(8, 8, 3), container=True, numthreads=1)
    head = struct.pack(">I4sQ", 1, kind, claim)
    p = tmp_path / "box-bomb.jxl"
    p.write_bytes(data + head + bytes(8 << 20))
    got = probe(p, "boxes-path")
    exc, message = got["outcome"]
    assert exc == "JxlError", got
    if kind != b"abcd":
        assert f"box of {claim - 16} bytes is larger than the 64 MiB limit" in message, got
    check_cost(got, 24 * 1024, seconds=2.0)


def _png_claiming(width: int, height: int) -> bytes:
    import zlib

    def chunk(kind, content):
        return (struct.pack(">I", len(content)) + kind + content
                + struct.pack(">I", zlib.crc32(kind + content)))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(1 << 20), 9)) + chunk(b"IEND", b""))


@pytest.mark.parametrize("to", ["jxl", "png"])
def test_batch_conversion_reports_a_bomb_and_converts_the_rest(bombs, tmp_path, to):
    from PIL import Image

    from _cli import cli

    src = tmp_path / "in"
    src.mkdir()
    if to == "jxl":
        Image.fromarray(synthetic(24, 32, 3)).save(src / "a.png")
        Image.fromarray(synthetic(24, 32, 3)).save(src / "b.jpg", quality=90)
        (src / "c-bomb.jpg").write_bytes(jpeg_claiming(65535, 65535, "RGB"))
        (src / "d-bomb.png").write_bytes(_png_claiming(65535, 65535))
    else:
        (src / "a.jxl").write_bytes(_jxl.encode(synthetic(24, 32, 3)))
        (src / "b.jxl").write_bytes(_jxl.transcode_jpeg(jpeg_claiming(16, 16, "RGB")))
        (src / "c-bomb.jxl").write_bytes(bombs["lossy"].read_bytes())
        (src / "d-bomb.jxl").write_bytes(bombs["progressive-lossless"].read_bytes())
    proc = cli("convert", src, "-o", tmp_path / "out", "--to", to, "-j", "2", cwd=tmp_path)
    assert proc.returncode == 1, proc.stderr
    assert "converted 2 files" in proc.stdout + proc.stderr and "failed 2" in proc.stdout + proc.stderr
    failed = [line for line in proc.stderr.splitlines() if "bomb" in line]
    assert len(failed) == 2, proc.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [f"a.{to}", f"b.{to}"]
    if to == "png":
        assert all("exceeds --max-pixels=1073741824" in line for line in failed), proc.stderr
