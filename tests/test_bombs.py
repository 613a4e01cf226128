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


def test_frame_size_arithmetic_is_checked():
    # 4294967295 x 4294967295 RGBA float32 frames: 2**68 bytes.
    with pytest.raises(ValueError, match="^jxl: the frame size does not fit in 64 bits$"):
        _jxl._describe_basic_info(3, 1, 8, 32, 8, 2**32 - 1, 2**32 - 1)


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
