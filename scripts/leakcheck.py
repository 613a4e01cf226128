#!/usr/bin/env python3
"""Leak check of quillmarsh.codecs._jxl: RSS growth over many calls.

    python scripts/leakcheck.py                      # 10,000 iterations per scenario
    python scripts/leakcheck.py --iterations 500 -k decode

Every scenario is one kind of call on good and on failing inputs (decode,
encode, frame_count, thumbnail_bytes, JxlReader construction and close, the
streaming reader, JPEG recompression and reconstruction, metadata boxes and
frame headers, colour-managed output, extra channels, decoding into the
caller's array, the Pillow plugin and the numcodecs codec), repeated after a
warm-up; the resident set size is read from /proc/self/statm before and
after. A scenario whose RSS grows by more than --limit-kib fails. Exit
status 1 when any does.
"""

from __future__ import annotations

import argparse
import gc
import io
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from quillmarsh.codecs import _jxl
import quillmarsh.core.io as qio
from quillmarsh.core.errors import JxlError

EXPECTED = (JxlError, ValueError, TypeError, NotImplementedError, IndexError, RuntimeError)
LIMIT_KIB = 2048


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _image(h, w, c, dtype=np.uint8, seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    base = (np.sin(xx / 4.0) * np.cos(yy / 6.0) + 1) / 2
    img = np.stack([np.clip(base + rng.normal(0, 0.05, (h, w)), 0, 1)] * c, axis=-1)
    if np.dtype(dtype).kind == "u":
        img = np.round(img * np.iinfo(dtype).max)
    img = img.astype(dtype)
    return img[..., 0] if c == 1 else img


class _ChunkServer:
    """Stands in for BackgroundChunkReader: serves a stream in small chunks
    from memory, so the streaming path runs without 4 MiB of real input."""

    data = b""
    chunk = 997

    def __init__(self, src, chunk_size=4194304, prefetch=4):
        self.pos = 0

    def get(self):
        if self.pos >= len(self.data):
            return None
        out = self.data[self.pos:self.pos + self.chunk]
        self.pos += len(out)
        return out

    def close(self):
        pass


class Inputs:
    def __init__(self, tmpdir: str):
        rgb = _image(48, 64, 3)
        self.rgb = rgb
        self.still = _jxl.encode(rgb, effort=2, numthreads=1)
        self.lossy = _jxl.encode(rgb, quality=85, numthreads=1)
        self.prog = _jxl.encode(rgb, quality=85, progressive=True, numthreads=1)
        self.anim = _jxl.encode(np.stack([_image(24, 32, 4, seed=s) for s in range(3)]),
                                animation=True, effort=2, numthreads=1)
        self.truncated = self.lossy[: len(self.lossy) // 2]
        self.header_only = self.still[:12]
        self.cut = self.still[:3]  # inside the image header
        self.junk = b"not a jpeg xl stream at all"
        self.jpeg = _jpeg(rgb)
        self.jpeg_cut = self.jpeg[: len(self.jpeg) // 2]
        self.recompressed = _jxl.transcode_jpeg(self.jpeg, effort=1, numthreads=1)
        # 64 KiB of comment: at two threads the DC check runs beside libjxl.
        self.jpeg_padded = _padded(self.jpeg)
        # Refused once libjxl has made its stream (DC check aside), and by
        # libjxl itself (no Huffman tables): the writer starts over.
        self.jpeg_clamped = _padded(DAMAGED_JPEG.read_bytes())
        self.jpeg_no_tables = _without_tables(self.jpeg)
        self.rgba = _jxl.encode(_image(24, 32, 4), effort=2, numthreads=1)
        self.path = os.path.join(tmpdir, "still.jxl")
        with open(self.path, "wb") as f:
            f.write(self.still)
        # Above the streaming threshold by size; its bytes come from _ChunkServer.
        self.big_path = os.path.join(tmpdir, "big.jxl")
        with open(self.big_path, "wb") as f:
            f.truncate(4 * 1024 * 1024 + 1)


def _jpeg(rgb) -> bytes:
    from PIL import Image

    buf = io.BytesIO()
    exif = Image.Exif()
    exif[0x010F] = "quillmarsh"
    Image.fromarray(rgb).save(buf, "JPEG", quality=85, exif=exif.tobytes())
    return buf.getvalue()


DAMAGED_JPEG = Path(__file__).resolve().parents[1] / "tests" / "data" / "grey-dc-out-of-range.jpg"


def _padded(jpeg: bytes) -> bytes:
    return jpeg[:2] + b"\xff\xfe\xff\xff" + bytes(65533) + jpeg[2:]


def _without_tables(jpeg: bytes) -> bytes:
    """The JPEG without its DHT segments (all before its first scan)."""
    out, pos = bytearray(jpeg[:2]), 2
    while jpeg[pos + 1] != 0xDA:
        end = pos + 2 + int.from_bytes(jpeg[pos + 2:pos + 4], "big")
        if jpeg[pos + 1] != 0xC4:
            out += jpeg[pos:end]
        pos = end
    return bytes(out + jpeg[pos:])


def _write_jpeg(data: bytes, numthreads: int) -> bytes:
    w = _jxl.JxlWriter(effort=1, numthreads=numthreads)
    try:
        w.write_jpeg(data)
    except EXPECTED:
        w.write_frame(np.zeros((8, 8), np.uint8))  # still ready for a frame
        w.close()
        raise
    return w.close()


def _expect_failure(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except EXPECTED:
        return
    raise AssertionError(f"{fn.__name__} did not fail")


def scenarios(inp: Inputs) -> dict:
    """name -> one iteration (a few calls)."""

    def decode_good():
        _jxl.decode(inp.still, numthreads=1)
        _jxl.decode(inp.anim, numthreads=1)
        _jxl.decode(inp.anim, index=1, downsample=2, numthreads=1)
        _jxl.decode(inp.prog, downsample=8, numthreads=1)
        _jxl.decode(io.BytesIO(inp.lossy), numthreads=2)

    def decode_fail():
        _expect_failure(_jxl.decode, inp.truncated, numthreads=1)
        _expect_failure(_jxl.decode, inp.truncated, downsample=8, numthreads=1)
        _expect_failure(_jxl.decode, inp.junk)
        _expect_failure(_jxl.decode, inp.header_only, numthreads=1)
        _expect_failure(_jxl.decode, inp.anim, index=7, numthreads=1)
        _expect_failure(_jxl.decode, inp.still, downsample=3)

    def encode_good():
        _jxl.encode(inp.rgb, effort=1, numthreads=1)
        _jxl.encode(inp.rgb, quality=80, effort=3, numthreads=2)
        w = _jxl.JxlWriter(animation=True, effort=1, numthreads=1)
        w.write_frame(inp.rgb)
        w.write_frame(inp.rgb, is_last=True)
        w.close()

    def encode_fail():
        _expect_failure(_jxl.encode, inp.rgb.astype(np.int32))
        _expect_failure(_jxl.encode, inp.rgb, quality=90, distance=1.0)
        _expect_failure(_jxl.encode, inp.rgb, distance=1000.0, numthreads=1)
        w = _jxl.JxlWriter(animation=True, effort=1, numthreads=1)
        w.write_frame(inp.rgb)
        _expect_failure(w.write_frame, inp.rgb[:8])
        w.close()
        w = _jxl.JxlWriter(effort=1, numthreads=1)
        w.write_frame(inp.rgb)  # dropped unclosed: released by destruction
        del w

    def frame_count_good():
        _jxl.frame_count(inp.still)
        _jxl.frame_count(inp.anim)
        _jxl.frame_count(inp.path)
        _jxl.frame_count(bytearray(inp.lossy))

    def frame_count_fail():
        _expect_failure(_jxl.frame_count, inp.cut)
        _expect_failure(_jxl.frame_count, inp.junk)
        _expect_failure(_jxl.frame_count, None)

    def thumbnail_good():
        assert _jxl.thumbnail_bytes(inp.prog) is not None
        assert _jxl.thumbnail_bytes(inp.still) is None
        _jxl.thumbnail_bytes(io.BytesIO(inp.prog))

    def thumbnail_fail():
        _expect_failure(_jxl.thumbnail_bytes, inp.truncated)
        _expect_failure(_jxl.thumbnail_bytes, inp.junk)
        _expect_failure(_jxl.thumbnail_bytes, inp.cut)

    def reader_close():
        r = _jxl.JxlReader(inp.still, numthreads=1)
        r.basic_info, r.color, r.icc_profile
        r.close()
        with _jxl.JxlReader(inp.anim, numthreads=2) as r:
            next(r.iter_frames())  # abandoned mid-stream
        r = _jxl.JxlReader(inp.path, numthreads=1)
        it = iter(r)
        next(it)
        del r, it  # dropped without close
        r = _jxl.JxlReader(inp.lossy, numthreads=1)
        r.read()
        r.close()
        r.close()

    def reader_fail():
        _expect_failure(_jxl.JxlReader, inp.cut, numthreads=1)
        _expect_failure(_jxl.JxlReader, inp.junk)
        _expect_failure(_jxl.JxlReader, inp.still, subsample="middle")
        r = _jxl.JxlReader(inp.truncated, numthreads=1)
        _expect_failure(r.read)
        r.close()
        _expect_failure(r.read)

    def streaming():
        prev = qio.BackgroundChunkReader
        qio.BackgroundChunkReader = _ChunkServer
        try:
            _ChunkServer.data = inp.lossy
            with _jxl.JxlReader(inp.big_path, streaming=True, numthreads=1) as r:
                assert r._streaming
                r.read()
            r = _jxl.JxlReader(inp.big_path, streaming=True, numthreads=1)
            del r  # dropped mid-stream
            _ChunkServer.data = inp.truncated
            _expect_failure(_jxl.decode, inp.big_path, streaming=True, numthreads=1)
            _ChunkServer.data = inp.junk
            _expect_failure(_jxl.decode, inp.big_path, streaming=True)
        finally:
            qio.BackgroundChunkReader = prev

    def jpeg_good():
        jxl = _jxl.transcode_jpeg(inp.jpeg, effort=1, numthreads=1)
        assert _jxl.reconstruct_jpeg(jxl, numthreads=1) == inp.jpeg
        out = io.BytesIO()
        _jxl.reconstruct_jpeg(inp.recompressed, out, numthreads=1)
        assert _write_jpeg(inp.jpeg, 1) == jxl
        padded = _jxl.transcode_jpeg(inp.jpeg_padded, effort=1, numthreads=2)
        assert _write_jpeg(inp.jpeg_padded, 2) == padded

    def jpeg_fail():
        _expect_failure(_jxl.transcode_jpeg, inp.jpeg_cut, effort=1, numthreads=1)
        _expect_failure(_jxl.transcode_jpeg, inp.junk)
        _expect_failure(_jxl.reconstruct_jpeg, inp.still, numthreads=1)  # no JPEG inside
        _expect_failure(_jxl.reconstruct_jpeg, inp.recompressed[: len(inp.recompressed) // 2])
        for data in (inp.jpeg_clamped, inp.jpeg_no_tables):
            _expect_failure(_jxl.transcode_jpeg, data, effort=1, numthreads=2)
            _expect_failure(_write_jpeg, data, 2)

    def boxes_good():
        with _jxl.JxlReader(inp.recompressed, numthreads=1) as r:
            assert r.exif is not None and r.has_jpeg_reconstruction
            r.xmp, r.jumbf, r.boxes, r.frames_info, r.channels
        _jxl.frames_info(inp.anim)
        _jxl.frames_info(inp.still, coalesce=False)

    def boxes_fail():
        _expect_failure(_jxl.frames_info, inp.cut)
        _expect_failure(_jxl.frames_info, inp.junk)
        _expect_failure(_jxl.JxlReader, inp.recompressed[:40])

    def color_channels_good():
        _jxl.decode(inp.lossy, output_color="srgb", numthreads=1)
        _jxl.decode(inp.rgba, extra_channels=True, numthreads=1)
        with _jxl.JxlReader(inp.anim, extra_channels=True, numthreads=1) as r:
            r.channels
            r.read()

    def color_channels_fail():
        _expect_failure(_jxl.decode, inp.truncated, output_color="srgb", numthreads=1)
        _expect_failure(_jxl.decode, inp.still, output_color="no-such-space")
        _expect_failure(_jxl.decode, inp.truncated, extra_channels=True, numthreads=1)

    def out_good():
        out = np.empty_like(inp.rgb)
        _jxl.decode(inp.still, out=out, numthreads=1)
        frames = np.empty((3, 24, 32, 4), np.uint8)
        with _jxl.JxlReader(inp.anim, numthreads=1) as r:
            r.read_into(frames)
        with _jxl.JxlReader(inp.anim, numthreads=1) as r:
            for _ in r.iter_frames(out=frames[0]):
                pass

    def out_fail():
        _expect_failure(_jxl.decode, inp.still, out=np.empty((47, 64, 3), np.uint8))
        _expect_failure(_jxl.decode, inp.still, out=np.empty_like(inp.rgb, dtype=np.uint16))
        _expect_failure(_jxl.decode, inp.truncated, out=np.empty_like(inp.rgb), numthreads=1)
        with _jxl.JxlReader(inp.anim, numthreads=1) as r:
            _expect_failure(r.read_into, np.empty((2, 24, 32, 4), np.uint8))

    def plugins_good():
        from PIL import Image

        import quillmarsh.pillow  # noqa: F401  (registers the format)
        from quillmarsh.codecs.numcodecs import JpegXl

        with Image.open(io.BytesIO(inp.anim)) as im:
            im.load()
            im.seek(2)
            im.load()
        codec = JpegXl(effort=1)
        chunk = codec.encode(inp.rgb)
        codec.decode(chunk)
        codec.decode(chunk, out=np.empty(inp.rgb.size, np.uint8))

    def plugins_fail():
        from PIL import Image

        import quillmarsh.pillow  # noqa: F401
        from quillmarsh.codecs.numcodecs import JpegXl

        for bad in (inp.truncated, inp.junk):
            try:
                with Image.open(io.BytesIO(bad), formats=["JXL"]) as im:
                    im.load()
            except (OSError,) + EXPECTED:
                pass
            else:
                raise AssertionError("Pillow loaded a broken stream")
        codec = JpegXl()
        _expect_failure(codec.decode, inp.truncated)
        _expect_failure(codec.decode, inp.still, out=np.empty(10, np.uint8))

    return {
        "jpeg": jpeg_good, "jpeg-fail": jpeg_fail,
        "out": out_good, "out-fail": out_fail,
        "plugins": plugins_good, "plugins-fail": plugins_fail,
        "boxes": boxes_good, "boxes-fail": boxes_fail,
        "color-channels": color_channels_good, "color-channels-fail": color_channels_fail,
        "decode": decode_good, "decode-fail": decode_fail,
        "encode": encode_good, "encode-fail": encode_fail,
        "frame_count": frame_count_good, "frame_count-fail": frame_count_fail,
        "thumbnail_bytes": thumbnail_good, "thumbnail_bytes-fail": thumbnail_fail,
        "reader-close": reader_close, "reader-fail": reader_fail,
        "streaming": streaming,
    }


def measure(fn, iterations: int, warmup: int) -> tuple[int, float]:
    """(RSS growth in KiB over `iterations` calls after `warmup` calls, seconds)."""
    for _ in range(warmup):
        fn()
    gc.collect()
    before = rss_kib()
    t0 = time.perf_counter()
    for _ in range(iterations):
        fn()
    seconds = time.perf_counter() - t0
    gc.collect()
    return rss_kib() - before, seconds


def run(iterations: int, names=None, warmup: int | None = None) -> dict:
    with tempfile.TemporaryDirectory() as d:
        table = scenarios(Inputs(d))
        out = {}
        for name, fn in table.items():
            if names and not any(n in name for n in names):
                continue
            w = warmup if warmup is not None else max(50, iterations // 10)
            out[name] = measure(fn, iterations, w)
        return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iterations", type=int, default=10000)
    p.add_argument("--warmup", type=int, default=None,
                   help="calls before the first reading (default: a tenth, at least 50)")
    p.add_argument("--limit-kib", type=int, default=LIMIT_KIB)
    p.add_argument("-k", action="append", default=[], help="only scenarios containing this")
    args = p.parse_args(argv)
    results = run(args.iterations, args.k, args.warmup)
    failed = False
    print(f"{'scenario':22} {'iterations':>10} {'seconds':>8} {'RSS growth KiB':>15}")
    for name, (grown, secs) in results.items():
        bad = grown > args.limit_kib
        failed |= bad
        print(f"{name:22} {args.iterations:>10} {secs:8.1f} {grown:>15}"
              + ("  OVER LIMIT" if bad else ""))
    print(f"limit {args.limit_kib} KiB per scenario: {'FAIL' if failed else 'ok'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
