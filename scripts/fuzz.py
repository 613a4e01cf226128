#!/usr/bin/env python3
"""Mutation fuzzing of quillmarsh.codecs._jxl's decoding entry points.

    python scripts/fuzz.py --iterations 1000000          # the long run
    python scripts/fuzz.py --iterations 20000 --quick    # what the test suite runs
    python scripts/fuzz.py --oracles --iterations 500000 # result checks

Inputs are real streams (this module's encoder output of every layout and
sample type, lossless, lossy, progressive, animated, in a container; the
conformance files next to the project) changed by a seeded mutation loop: bit
flips, byte sets, truncations, splices of two streams, inserted, deleted and
repeated runs. Each execution drives one target: `decode` (downsample 1/2/4/8,
both subsample phases, an index, a file-like input, streaming), a `JxlReader`
with its properties and metadata, `frame_count` or `thumbnail_bytes`, the
metadata boxes and frame headers, extra channels, colour-managed output
(`output_color="srgb"`), `reconstruct_jpeg`, the Pillow plugin (open, load,
seek) and the numcodecs codec's `decode`. Real JPEG files (Pillow's baseline,
progressive, grey and EXIF/XMP-carrying output, and Pillow's own JPEG and MPO
test files up to 64 KiB when fetched, with transcode_jpeg's and cjxl's streams
of them for `reconstruct_jpeg`), mutated the same way, drive `transcode_jpeg`;
a JPEG that is accepted must come back bit for bit from `reconstruct_jpeg`.
With --jpeg every execution is such a JPEG, given to `transcode_jpeg` and
`JxlWriter.write_jpeg` at one or two threads (some padded to 64 KiB, where the
DC check runs beside libjxl): both must give the same stream or the same
refusal, and verify=False the same stream as the default when that accepts.

Real files seed it too: Pillow's test images (when the set-up has fetched
them) as arrays, encoded here losslessly and lossily and, for small PNGs, by
cjxl. With --oracles every execution checks a result instead of only its
exception type: a lossless round trip (every sample type, layout and effort,
real pictures, any float bit pattern) gives every bit back; an animation
stores every frame it is given, whatever its positive duration; decode(out=)
holds what decode() returns with the same options (layers, reductions, cut
streams with allow_partial) and refuses other shapes; a lossy encode of
non-finite samples is refused.

Allowed outcomes are a result or one of the module's documented exception
types. Anything else is a finding: another exception type (MemoryError too: a
claim that got past the budgets), a crash (the worker process dies), a hang
(no progress within --timeout seconds). Execution i is a
pure function of (--seed, i), so every finding is reproduced by
`--replay I` (add --big-seed if the run had it), and its input is saved under
--findings.

libFuzzer through atheris (`--engine atheris`, `pip install atheris`) drives
the same targets; without a clang-instrumented build of the extension its
coverage feedback sees only Python code, so the seeded loop is the default.
"""

from __future__ import annotations

import argparse
import io
import json
import mmap
import os
import random
import resource
import struct
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CONFORMANCE = ROOT.parent / "shared" / "testdata" / "conformance"

# What a caller may see from a bad stream. Not MemoryError: within the
# decoders' budgets no call needs the worker's 8 GiB of address space, so
# running out of it means a claim that was not refused in time.
def allowed_exceptions():
    from quillmarsh.core.errors import JxlError

    return (JxlError, ValueError, TypeError, NotImplementedError, IndexError, RuntimeError)


# ---- seeds -----------------------------------------------------------------

# Conformance files that are large, or describe many pixels (a few hundred
# bytes can draw a 1386 x 924 image), take tens of milliseconds or more to
# decode: they are used whole only rarely, their first bytes serve instead.
_WHOLE_BYTES = 16384
_WHOLE_PIXELS = 1 << 18
_PREFIX = 4096


def _image(h: int, w: int, c: int, dtype, seed: int):
    import numpy as np

    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    base = 0.5 + 0.3 * np.sin(xx / 5.0 + seed) * np.cos(yy / 7.0)
    planes = [np.clip(base + 0.1 * i + rng.normal(0, 0.05, (h, w)), 0, 1) for i in range(c)]
    img = np.stack(planes, axis=-1).astype(np.float32)
    dt = np.dtype(dtype)
    if dt.kind == "u":
        img = np.round(img * np.iinfo(dt).max).astype(dt)
    else:
        img = img.astype(dt)
    return img[..., 0] if c == 1 else img


def encoder_seeds(side: int = 32) -> list[tuple[str, bytes]]:
    """This module's own output: every layout and sample type, lossless and
    lossy, progressive, animated, in a container."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    h, w = side * 3 // 4, side
    out = []
    for c, lay in ((1, "L"), (2, "LA"), (3, "RGB"), (4, "RGBA")):
        for dt in (np.uint8, np.uint16, np.float16, np.float32):
            img = _image(h, w, c, dt, c)
            name = f"{lay}-{np.dtype(dt).name}"
            out.append((name + "-lossless", _jxl.encode(img, effort=2, numthreads=1)))
            out.append((name + "-lossy", _jxl.encode(img, quality=80, effort=3, numthreads=1)))
    rgb = _image(h, w, 3, np.uint8, 7)
    out.append(("RGB-prog-lossy", _jxl.encode(rgb, quality=85, progressive=True, numthreads=1)))
    out.append(("RGB-prog-lossless", _jxl.encode(rgb, progressive=True, effort=2, numthreads=1)))
    out.append(("RGB-container", _jxl.encode(rgb, container=True, quality=90, numthreads=1)))
    out.append(("RGB-modular-lossy", _jxl.encode(rgb, modular=True, quality=80, numthreads=1)))
    stack = np.stack([_image(h, w, 4, np.uint8, s) for s in range(3)])
    out.append(("RGBA-anim-lossless",
                _jxl.encode(stack, animation=True, effort=2, numthreads=1)))
    out.append(("L-anim-lossy",
                _jxl.encode(stack[..., 0], animation=True, quality=80, numthreads=1)))
    # Zero-duration frames: layers of one still image.
    out.append(("RGBA-layers",
                _jxl.encode(stack, animation=True, duration=0, effort=2, numthreads=1)))
    return out


def conformance_seeds() -> tuple[list[tuple[str, bytes]], list[tuple[str, bytes]]]:
    """(cheap whole files and prefixes of costly ones, costly whole files)."""
    from quillmarsh.codecs import _jxl

    cheap, costly = [], []
    if not CONFORMANCE.is_dir():
        return cheap, costly
    for p in sorted(CONFORMANCE.glob("*/input.jxl")):
        data = p.read_bytes()
        name = "conf-" + p.parent.name
        try:
            with _jxl.JxlReader(data, parse_color=False) as r:
                pixels = r.xsize * r.ysize * _jxl.frame_count(data)
        except (ValueError, NotImplementedError, RuntimeError):
            pixels = 0  # a layout the module refuses: only its header is read
        if len(data) <= _WHOLE_BYTES and pixels <= _WHOLE_PIXELS:
            cheap.append((name, data))
        else:
            cheap.append((name + "-prefix", data[:min(_PREFIX, len(data) // 2)]))
            costly.append((name, data))
    return cheap, costly


def jpeg_seeds(side: int = 32) -> list[tuple[str, bytes]]:
    """Pillow's JPEG output of several kinds (the JPEG parser's seeds)."""
    from PIL import Image

    h, w = side * 3 // 4, side
    rgb = Image.fromarray(_image(h, w, 3, "uint8", 11))
    grey = Image.fromarray(_image(h, w, 1, "uint8", 12))
    exif = Image.Exif()
    exif[0x0112] = 6  # orientation
    exif[0x010F] = "quillmarsh"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    out = []
    for name, im, opts in (
            ("jpeg-baseline", rgb, dict(quality=85)),
            ("jpeg-progressive", rgb, dict(quality=75, progressive=True)),
            ("jpeg-grey", grey, dict(quality=90)),
            ("jpeg-444", rgb, dict(quality=95, subsampling=0)),
            ("jpeg-exif-xmp", rgb, dict(quality=80, exif=exif.tobytes(), xmp=xmp)),
            ("jpeg-restart", rgb, dict(quality=70, optimize=True)),
    ):
        buf = io.BytesIO()
        try:
            im.save(buf, "JPEG", **opts)
        except TypeError:  # an older Pillow without xmp=
            opts.pop("xmp", None)
            buf = io.BytesIO()
            im.save(buf, "JPEG", **opts)
        out.append((name, buf.getvalue()))
    return out


def transcoded_seeds(jpegs: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    """JPEG XL files carrying reconstruction data and metadata boxes."""
    from quillmarsh.codecs import _jxl

    out = []
    for name, data in jpegs:
        out.append((name + "-jxl", _jxl.transcode_jpeg(data, effort=1, numthreads=1)))
    name, data = jpegs[-2]
    out.append((name + "-jxl-nometa",
                _jxl.transcode_jpeg(data, effort=1, numthreads=1, keep_metadata=False)))
    return out


def real_jpeg_seeds(limit: int = 65536) -> list[tuple[str, bytes]]:
    """Pillow's own JPEG (and MPO) test files up to `limit` bytes: cameras',
    editors' and other encoders' markers, metadata and entropy coding."""
    d = pillow_images_dir()
    if d is None:
        return []
    out = []
    for p in sorted(d.rglob("*")):
        if p.is_file() and p.stat().st_size <= limit:
            data = p.read_bytes()
            if data[:3] == b"\xff\xd8\xff":
                out.append((f"real-{p.name}", data))
    return out


def real_transcoded_seeds(jpegs: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    """transcode_jpeg's and cjxl's streams of the real JPEGs it accepts."""
    import shutil
    import tempfile

    from quillmarsh.codecs import _jxl

    out = []
    cjxl = shutil.which("cjxl")
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in jpegs:
            try:
                out.append((name + "-jxl", _jxl.transcode_jpeg(data, effort=1, numthreads=1)))
            except ValueError:
                continue
            if cjxl:
                src, dst = Path(tmp) / "in.jpg", Path(tmp) / "out.jxl"
                src.write_bytes(data)
                r = subprocess.run([cjxl, str(src), str(dst), "--lossless_jpeg=1", "-e", "1",
                                    "--quiet"], capture_output=True, timeout=60)
                if r.returncode == 0:
                    out.append((name + "-cjxl", dst.read_bytes()))
    return out


def pillow_images_dir() -> Path | None:
    """Pillow's Tests/images, as the set-up caches them (tests/conftest.py)."""
    try:
        import PIL
    except ImportError:
        return None
    cache = Path(os.environ.get("QUILLMARSH_CACHE", Path.home() / ".cache" / "quillmarsh"))
    d = cache / f"pillow-{PIL.__version__}" / "Tests" / "images"
    return d if d.is_dir() else None


# Real pictures as arrays: the first frame of each of Pillow's test images that
# Pillow reads, cropped to at most _REAL_SIDE pixels a side so that encoding
# them stays cheap. Sorted by name, so a run is a pure function of its seed.
_REAL_SIDE = 48
_REAL_LIMIT = 160


def real_arrays() -> list[tuple[str, object]]:
    import numpy as np
    from PIL import Image

    d = pillow_images_dir()
    if d is None:
        return []
    out = []
    for p in sorted(d.iterdir()):
        if len(out) >= _REAL_LIMIT or p.stat().st_size > 1 << 20:
            continue
        try:
            with Image.open(p) as im:
                im.draft(None, (2 * _REAL_SIDE, 2 * _REAL_SIDE))
                mode = {"I;16": "I;16", "I;16B": "I;16", "F": "F", "L": "L", "LA": "LA",
                        "RGBA": "RGBA", "P": "RGBA", "PA": "RGBA", "1": "L"}.get(im.mode, "RGB")
                a = np.asarray(im.convert(mode) if mode != im.mode else im)
        except Exception:  # noqa: BLE001 - files Pillow itself cannot read are left out
            continue
        if a.ndim < 2 or min(a.shape[:2]) < 1:
            continue
        out.append((p.name, np.ascontiguousarray(a[:_REAL_SIDE, :_REAL_SIDE])))
    return out


def real_seeds(arrays, limit: int = 48) -> list[tuple[str, bytes]]:
    """Pillow's pictures as JPEG XL streams: our encoder's, lossless and lossy,
    and cjxl's of the PNGs among them (streams made elsewhere)."""
    import shutil
    import tempfile

    from quillmarsh.codecs import _jxl

    out = []
    for k, (name, a) in enumerate(arrays[:limit]):
        try:
            if k % 2 == 0:
                out.append((f"real-{name}-lossless", _jxl.encode(a, effort=2, numthreads=1)))
            elif a.dtype != "float32":
                out.append((f"real-{name}-lossy",
                            _jxl.encode(a, quality=80, progressive=k % 4 == 1, numthreads=1)))
        except (ValueError, NotImplementedError):
            pass
    cjxl = shutil.which("cjxl")
    d = pillow_images_dir()
    if cjxl and d is not None:
        pngs = [p for p in sorted(d.glob("*.png")) if p.stat().st_size < 16384][:12]
        with tempfile.TemporaryDirectory() as tmp:
            for j, p in enumerate(pngs):
                dst = Path(tmp) / "out.jxl"
                args = ("-d", "0", "-e", "2") if j % 2 else ("-d", "1.5", "-e", "3", "-p")
                r = subprocess.run([cjxl, str(p), str(dst), "--quiet", *args],
                                   capture_output=True, timeout=60)
                if r.returncode == 0:
                    out.append((f"cjxl-{p.name}", dst.read_bytes()))
    return out


def big_seed() -> bytes:
    """A stream above the 4 MiB streaming threshold (noise coded losslessly)."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    rng = np.random.default_rng(5)
    img = rng.integers(0, 256, (1216, 1216, 3), dtype=np.uint8)
    data = _jxl.encode(img, effort=1, numthreads=1)
    assert len(data) > 4 * 1024 * 1024, len(data)
    return data


class Corpus:
    def __init__(self, quick: bool, big: bool, side: int):
        self.small = encoder_seeds(side)
        conf_small, conf_large = conformance_seeds()
        self.small += conf_small
        self.jpeg = jpeg_seeds(side)
        self.small += transcoded_seeds(self.jpeg)
        real_jpegs = real_jpeg_seeds()
        self.jpeg += real_jpegs
        self.small += real_transcoded_seeds(real_jpegs)
        self.arrays = real_arrays()
        self.small += real_seeds(self.arrays)
        # The in-suite run keeps to fast inputs; the long run also decodes
        # the large real files now and then.
        self.large = [] if quick else conf_large
        self.big = big_seed() if big else None

    def describe(self) -> str:
        return (f"{len(self.small)} small seeds ({len(self.arrays)} real pictures), "
                f"{len(self.jpeg)} JPEG, {len(self.large)} large, "
                f"streaming seed {'yes' if self.big else 'no'}")


# ---- mutations -------------------------------------------------------------

_INTERESTING = (0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE, 0x0A, 0x10, 0x40)


def _offset(rng: random.Random, n: int) -> int:
    # Headers live at the front: half the edits land in the first 64 bytes.
    if n <= 1:
        return 0
    if rng.random() < 0.5:
        return rng.randrange(min(n, 64))
    return rng.randrange(n)


def mutate(rng: random.Random, data: bytes, pool: list[tuple[str, bytes]]) -> bytes:
    buf = bytearray(data)
    for _ in range(rng.choice((1, 1, 1, 2, 2, 3, 5))):
        n = len(buf)
        kind = rng.randrange(9)
        if kind == 0 and n:  # bit flip
            i = _offset(rng, n)
            buf[i] ^= 1 << rng.randrange(8)
        elif kind == 1 and n:  # byte set
            buf[_offset(rng, n)] = rng.choice(_INTERESTING) if rng.random() < 0.5 \
                else rng.randrange(256)
        elif kind == 2 and n:  # truncation
            del buf[rng.randrange(n + 1):]
        elif kind == 3:  # splice: our head, another stream's tail
            other = rng.choice(pool)[1]
            a, b = rng.randrange(n + 1), rng.randrange(len(other) + 1)
            buf[a:] = other[b:]
        elif kind == 4:  # insert a random run
            i = rng.randrange(n + 1)
            buf[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 17)))
        elif kind == 5 and n:  # delete a run
            i = rng.randrange(n)
            del buf[i:i + rng.randrange(1, 33)]
        elif kind == 6 and n:  # repeat a run
            i = rng.randrange(n)
            run = buf[i:i + rng.randrange(1, 65)]
            j = rng.randrange(n + 1)
            buf[j:j] = run * rng.randrange(1, 4)
        elif kind == 7 and n >= 4:  # 32-bit field set to an extreme
            i = _offset(rng, n - 3)
            buf[i:i + 4] = struct.pack("<I", rng.choice((0, 1, 0x7FFFFFFF, 0xFFFFFFFF,
                                                           rng.getrandbits(32))))
        elif kind == 8 and n:  # a run of one byte value
            i = _offset(rng, n)
            k = rng.randrange(1, 33)
            buf[i:i + k] = bytes([rng.choice(_INTERESTING)]) * min(k, n - i)
    return bytes(buf)


# ---- one execution -----------------------------------------------------------


def make_case(seed: int, i: int, corpus: Corpus):
    """The input and target plan of execution i: a pure function of (seed, i)."""
    rng = random.Random(f"{seed}:{i}")
    r = rng.random()
    if corpus.big is not None and r < 0.0005:
        name, data, target = "big", corpus.big, "stream"
        # Damage the far part too, so refills meet errors mid-stream.
        if rng.random() < 0.7:
            data = bytearray(data)
            for _ in range(rng.randrange(1, 4)):
                j = rng.randrange(len(data))
                data[j] ^= 1 << rng.randrange(8)
            if rng.random() < 0.5:
                del data[rng.randrange(4 * 1024 * 1024 + 1, len(data)):]
            data = bytes(data)
        return name, data, target, rng.getrandbits(32)
    if ORACLES:
        target = rng.choice(ORACLE_NAMES)
        if target != "out":
            return "generated", b"", target, rng.getrandbits(32)
        # Valid streams: the seeds as they are (made here, elsewhere, real).
        name, data = rng.choice(corpus.small)
        return name, data, target, rng.getrandbits(32)
    if r < 0.1 or JPEG_ONLY:
        # The JPEG parser: mutated JPEG files, spliced with each other.
        name, data = rng.choice(corpus.jpeg)
        if rng.random() < 0.95:
            data = mutate(rng, data, corpus.jpeg)
        return name, data, "jpeg" if JPEG_ONLY else "transcode", rng.getrandbits(32)
    if corpus.large and r < 0.104:
        name, data = rng.choice(corpus.large)
    else:
        name, data = rng.choice(corpus.small)
    if rng.random() < 0.95:
        data = mutate(rng, data, corpus.small)
    target = rng.choice(TARGET_NAMES)
    return name, data, target, rng.getrandbits(32)


def _consume(it, limit: int):
    n = 0
    for frame in it:
        frame.sum()  # touch every sample that libjxl wrote
        n += 1
        if n >= limit:
            break
    return n


def t_decode(data, rng):
    from quillmarsh.codecs import _jxl

    ds = rng.choice((1, 1, 2, 4, 8, 8))
    sub = rng.choice(("top-left", "center"))
    arg = rng.choice((data, data, bytearray(data), memoryview(data)))
    return _jxl.decode(arg, downsample=ds, subsample=sub, numthreads=rng.choice((1, 1, 2)),
                       coalesce=rng.random() < 0.9, keep_orientation=rng.random() < 0.2)


def t_decode_index(data, rng):
    from quillmarsh.codecs import _jxl

    return _jxl.decode(data, index=rng.choice((0, 1, 2, 5)), downsample=rng.choice((1, 2, 8)),
                       numthreads=1)


def t_filelike(data, rng):
    from quillmarsh.codecs import _jxl

    return _jxl.decode(io.BytesIO(data), streaming=rng.random() < 0.5, numthreads=1,
                       downsample=rng.choice((1, 8)))


def t_reader(data, rng):
    from quillmarsh.codecs import _jxl

    with _jxl.JxlReader(data, parse_color=rng.random() < 0.8, numthreads=1,
                        downsample=rng.choice((1, 2, 4, 8)),
                        skip_frames=rng.choice((0, 0, 1, 3))) as r:
        facts = (r.xsize, r.ysize, r.samples, r.frame_shape, r.dtype, r.is_animation,
                 r.n_frames, r.basic_info, r.color, r.icc_profile)
        _consume(r.iter_frames(), rng.choice((0, 1, 2, 100)))
        if rng.random() < 0.3:
            try:
                r.read()
            except allowed_exceptions():
                pass
    return facts


def t_frame_count(data, rng):
    from quillmarsh.codecs import _jxl

    return _jxl.frame_count(rng.choice((data, bytearray(data))))


def t_thumbnail(data, rng):
    from quillmarsh.codecs import _jxl

    return _jxl.thumbnail_bytes(data)


def t_stream(data, rng):
    """The >4 MiB seed through a streaming reader (background chunk reads)."""
    from quillmarsh.codecs import _jxl

    with _jxl.JxlReader(io.BytesIO(data), streaming=True, numthreads=1,
                        downsample=rng.choice((1, 8))) as r:
        assert r._streaming
        return _consume(r.iter_frames(), rng.choice((1, 100)))


def t_transcode(data, rng):
    """A JPEG into JPEG XL; what is accepted must rebuild the same bytes."""
    from quillmarsh.codecs import _jxl

    jxl = _jxl.transcode_jpeg(data, effort=rng.choice((1, 1, 3)), numthreads=1,
                              keep_metadata=rng.random() < 0.8)
    if rng.random() < 0.5:
        back = _jxl.reconstruct_jpeg(jxl, numthreads=1)
        if back != data:
            raise AssertionError(f"reconstruct_jpeg gave {len(back)} bytes for a "
                                 f"{len(data)}-byte JPEG, not the same")
    return jxl


def _outcome(call):
    """The call's result, or its refusal as (type name, message, exception)."""
    try:
        return call()
    except allowed_exceptions() as e:
        return (type(e).__name__, str(e), e)


def _key(outcome):
    return outcome[:2] if isinstance(outcome, tuple) else outcome


def t_jpeg(data, rng):
    """transcode_jpeg and JxlWriter.write_jpeg at one or two threads: the
    same stream or the same refusal, and what is accepted rebuilds."""
    from quillmarsh.codecs import _jxl

    numthreads = rng.choice((1, 2))
    if numthreads == 2 and rng.random() < 0.5 and data[:2] == b"\xff\xd8":
        # 64 KiB of comment: the DC check then runs beside libjxl.
        data = data[:2] + b"\xff\xfe\xff\xff" + bytes(65533) + data[2:]
    effort = rng.choice((1, 1, 3))
    keep = rng.random() < 0.8
    jxl = _outcome(lambda: _jxl.transcode_jpeg(data, effort=effort, numthreads=numthreads,
                                               keep_metadata=keep))
    if keep:
        def via_writer():
            w = _jxl.JxlWriter(effort=effort, numthreads=numthreads)
            w.write_jpeg(data)
            return w.close()

        other = _outcome(via_writer)
        if _key(other) != _key(jxl):
            raise AssertionError(f"transcode_jpeg gave {str(jxl)[:200]}, write_jpeg {str(other)[:200]}")
    if isinstance(jxl, tuple):
        raise jxl[2]  # an allowed refusal, counted as such
    if keep and _jxl.reconstruct_jpeg(jxl, numthreads=numthreads) != data:
        raise AssertionError(f"an accepted {len(data)}-byte JPEG did not come back")
    if keep and rng.random() < 0.2:
        # Verification checks the stream; it never changes it.
        unverified = _jxl.transcode_jpeg(data, effort=effort, numthreads=numthreads, verify=False)
        if unverified != jxl:
            raise AssertionError("verify=False gave another stream")
    return jxl


def t_reconstruct(data, rng):
    from quillmarsh.codecs import _jxl

    if rng.random() < 0.5:
        return _jxl.reconstruct_jpeg(data, numthreads=1)
    dest = io.BytesIO()
    _jxl.reconstruct_jpeg(data, dest, numthreads=1)
    return dest.getvalue()


def t_boxes(data, rng):
    """Metadata boxes, frame headers and channel descriptions (no pixels)."""
    from quillmarsh.codecs import _jxl

    if rng.random() < 0.3:
        return _jxl.frames_info(data, coalesce=rng.random() < 0.7)
    with _jxl.JxlReader(data, parse_color=rng.random() < 0.5, numthreads=1,
                        coalesce=rng.random() < 0.7) as r:
        facts = (r.exif, r.xmp, r.jumbf, r.boxes, r.has_jpeg_reconstruction, r.channels)
        if rng.random() < 0.5:
            facts += (r.frames_info,)
    return facts


def t_extra(data, rng):
    from quillmarsh.codecs import _jxl

    if rng.random() < 0.5:
        return _jxl.decode(data, extra_channels=True, numthreads=1,
                           downsample=rng.choice((1, 8)),
                           render_spot_colors=rng.random() < 0.3, rescale=rng.random() < 0.3)
    with _jxl.JxlReader(data, extra_channels=True, numthreads=1) as r:
        r.channels
        return _consume(r.iter_frames(), rng.choice((1, 3)))


def t_color(data, rng):
    from quillmarsh.codecs import _jxl

    return _jxl.decode(data, output_color="srgb", numthreads=1, parse_color=True,
                       downsample=rng.choice((1, 1, 8)),
                       desired_intensity_target=rng.choice((None, None, 100.0)))


def t_pillow(data, rng):
    from PIL import Image

    import quillmarsh.pillow  # noqa: F401  (registers the format)

    with Image.open(io.BytesIO(data), formats=["JXL"]) as im:
        im.load()
        for k in range(1, min(getattr(im, "n_frames", 1), 4)):
            im.seek(k)
            im.load()
        if rng.random() < 0.2:
            im.seek(rng.choice((0, 1, 7)))
        return im.size, im.mode


def t_numcodecs(data, rng):
    import numpy as np

    from quillmarsh.codecs.numcodecs import JpegXl

    codec = JpegXl()
    if rng.random() < 0.5:
        return codec.decode(data)
    out = np.empty(rng.choice((768, 2304, 3072, 1 << 16)), dtype=np.uint8)
    return codec.decode(data, out=out)


# ---- oracles: what comes back must be what was given ------------------------
#
# These targets build their own input from the execution's random stream (and
# the real pictures) and check a result, not only its exception type: a lossless
# round trip must give every bit back, an animation every frame it was given,
# decode(out=) exactly what decode() returns, and a lossy encode of
# non-finite samples must be refused rather than smear them over the image.

CORPUS: "Corpus | None" = None


def _as_dtype(a, dtype):
    """A real picture's samples scaled to the full range of another type."""
    import numpy as np

    if a.dtype == np.float32:
        f = a.astype(np.float64)
        f = (f - f.min()) / max(float(f.max() - f.min()), 1e-12)
    else:
        f = a.astype(np.float64) / (255.0 if a.dtype == np.uint8 else 65535.0)
    if np.dtype(dtype).kind == "u":
        return np.round(f * np.iinfo(dtype).max).astype(dtype)
    return f.astype(dtype)


def _with_channels(a, c):
    """(Y, X) for c = 0, else (Y, X, c), repeating or dropping samples."""
    import numpy as np

    if a.ndim == 2:
        a = a[..., None]
    if c == 0:
        return np.ascontiguousarray(a[..., 0])
    reps = -(-c // a.shape[2])
    return np.ascontiguousarray(np.concatenate([a] * reps, axis=2)[..., :c])


_SPECIALS = (float("nan"), float("inf"), float("-inf"), -0.0, 2.0 ** -24, 2.0 ** -15,
             3.0 * 2.0 ** -16, 2.0 ** -14, -(2.0 ** -20), 65504.0, 1e-30)


def oracle_array(rng: random.Random, allow_specials: bool = True):
    """A random image of any sample type and layout: real pictures, noise over
    the whole range (any bit pattern for floats), few values, or gradients."""
    import numpy as np

    dtype = np.dtype(rng.choice(("uint8", "uint16", "float16", "float32")))
    c = rng.choice((0, 1, 2, 3, 4))
    # Short wide strips too: libjxl's effort-1 coder went wrong on some.
    h, w = rng.choice((rng.randint(1, 4), rng.randint(1, 40))), rng.randint(1, 40)
    g = np.random.default_rng(rng.getrandbits(64))
    shape = (h, w) if c == 0 else (h, w, c)
    kind = rng.random()
    if kind < 0.3 and CORPUS is not None and CORPUS.arrays:
        a = _with_channels(_as_dtype(rng.choice(CORPUS.arrays)[1], dtype), c)
    elif kind < 0.6:
        if dtype.kind == "u":
            a = g.integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
        else:
            bits = np.dtype(f"u{dtype.itemsize}")
            a = g.integers(0, np.iinfo(bits).max, shape, dtype=bits, endpoint=True).view(dtype)
            if not allow_specials:
                a = np.where(np.isfinite(a), a, dtype.type(0))
    elif kind < 0.8:
        values = g.random(rng.randint(1, 5)) * (np.iinfo(dtype).max if dtype.kind == "u" else 1)
        a = values[g.integers(0, len(values), shape)].astype(dtype)
    else:
        yy, xx = np.mgrid[0:h, 0:w]
        ramp = (xx * rng.randint(1, 9) + yy * rng.randint(0, 5)) % 256 / 255.0
        a = _with_channels(_as_dtype(ramp.astype(np.float32), dtype), c)
    a = np.array(a, dtype=dtype)
    if dtype.kind == "f" and allow_specials and rng.random() < 0.25:
        flat = a.reshape(-1)
        for _ in range(rng.randint(1, 4)):
            flat[rng.randrange(flat.size)] = rng.choice(_SPECIALS)
    return a


def _bits(a):
    import numpy as np

    return a.view(np.dtype(f"u{a.dtype.itemsize}")) if a.dtype.kind == "f" else a


def _same_bits(a, b) -> bool:
    import numpy as np

    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(_bits(a), _bits(b))


def _first_difference(a, b) -> str:
    import numpy as np

    if a.shape != b.shape or a.dtype != b.dtype:
        return f"{b.dtype}{b.shape} for {a.dtype}{a.shape}"
    at = tuple(int(i) for i in np.argwhere(_bits(a) != _bits(b))[0])
    return f"at {at}: {b[at]!r} for {a[at]!r} ({a.dtype}{a.shape})"


def t_lossless(data, rng):
    """Every sample type, layout and effort: a lossless round trip is exact."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    a = oracle_array(rng)
    animation = rng.random() < 0.15
    if animation:
        a = np.stack([a, np.roll(a, 1, axis=0), a[::-1]][:rng.randint(2, 3)])
    effort = rng.choice((1, 1, 1, 2, 2, 3, 4, 5, 6, 7, 8, 9))
    how = rng.choice(({}, {"lossless": True}, {"distance": 0.0}, {"quality": 100}))
    extra = rng.choice(({}, {}, {"progressive": True}, {"container": True}, {"modular": True}))
    stream = _jxl.encode(a, effort=effort, numthreads=rng.choice((1, 1, 2)),
                         animation=animation, **how, **extra)
    back = _jxl.decode(stream, numthreads=1)
    if a.shape[-1:] == (1,) and back.shape == a.shape[:-1]:
        a = a[..., 0]  # one grey channel comes back as (Y, X)
    if not _same_bits(a, back):
        raise AssertionError(f"lossless {how or 'default'} effort {effort} {extra}: "
                             + _first_difference(a, back))
    return stream


def t_lossy_nonfinite(data, rng):
    """A lossy encode of float samples that are not all finite is refused."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    a = oracle_array(rng, allow_specials=False)
    if a.dtype.kind != "f":
        a = _as_dtype(a, rng.choice((np.float16, np.float32)))
    flat = a.reshape(-1)
    flat[rng.randrange(flat.size)] = rng.choice((float("nan"), float("inf"), float("-inf")))
    try:
        _jxl.encode(a, quality=rng.choice((50, 80, 95)), effort=rng.choice((1, 3, 7)),
                    numthreads=1)
    except ValueError:
        return None
    raise AssertionError(f"a lossy encode of {a.dtype}{a.shape} holding "
                         f"{flat[~np.isfinite(flat)][:1]} succeeded")


def t_frames(data, rng):
    """Every frame an animation is given is a frame of the stream, whatever
    its (positive) duration."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    n = rng.randint(2, 6)
    h, w = rng.randint(1, 24), rng.randint(1, 24)
    g = np.random.default_rng(rng.getrandbits(64))
    frames = g.integers(0, 256, (n, h, w, rng.choice((1, 3, 4))), dtype=np.uint8)
    if frames.shape[-1] == 1:
        frames = frames[..., 0]  # grey frames are (T, Y, X) both ways
    durations = [rng.choice((rng.uniform(1e-7, 1e-3), 0.0004, 0.0005, 0.001, 1 / 30, 0.1,
                             rng.uniform(0.001, 3.0))) for _ in range(n)]
    opts = dict(effort=rng.choice((1, 2, 3)), numthreads=1)
    if rng.random() < 0.5:
        stream = _jxl.encode(frames, animation=True, duration=durations, **opts)
    else:
        w_ = _jxl.JxlWriter(animation=True, **opts)
        for k in range(n):
            w_.write_frame(frames[k], duration=durations[k], is_last=k == n - 1)
        stream = w_.close()
    count = _jxl.frame_count(stream)
    back = _jxl.decode(stream, numthreads=1)
    if count != n or not _same_bits(frames, back):
        raise AssertionError(f"{n} frames of durations {[round(d, 6) for d in durations]}: "
                             f"frame_count {count}, decode {back.shape}")
    return stream


def t_out(data, rng):
    """decode(out=) holds exactly what decode() returns with the same options,
    and takes an array of that shape."""
    import numpy as np

    from quillmarsh.codecs import _jxl

    opts = {"numthreads": 1}
    if rng.random() < 0.4:
        opts["coalesce"] = False
    if rng.random() < 0.3:
        opts["downsample"] = rng.choice((2, 4, 8))
    if rng.random() < 0.2:
        opts["index"] = rng.choice((0, 1))
    if rng.random() < 0.2:
        opts["extra_channels"] = True
    if rng.random() < 0.3:
        opts["allow_partial"] = True
        data = data[:rng.randrange(len(data) // 3, len(data) + 1)]
    try:
        ref = _jxl.decode(data, **opts)
    except allowed_exceptions():
        return None  # nothing to compare
    if ref.ndim == 4 and rng.random() < 0.3:
        # A stack's result: one frame's shape, or one frame more, is not it.
        wrong = rng.choice((ref.shape[1:], (ref.shape[0] + 1,) + ref.shape[1:]))
        try:
            _jxl.decode(data, out=np.zeros(wrong, ref.dtype), **opts)
        except ValueError:
            return None
        raise AssertionError(f"decode(out=) with {opts} took shape {wrong} where decode() "
                             f"returns {ref.shape}")
    out = np.empty_like(ref)
    out.view(np.uint8)[...] = 0x5A  # not what any decode writes everywhere
    try:
        got = _jxl.decode(data, out=out, **opts)
    except allowed_exceptions() as e:
        raise AssertionError(f"decode(out=) with {opts} refused the shape decode() returns, "
                             f"{ref.dtype}{ref.shape}: {type(e).__name__}: {e}") from e
    if got is not out and not np.shares_memory(got, out):
        raise AssertionError("decode(out=) returned another array than out")
    if not _same_bits(ref, out):
        raise AssertionError(f"decode(out=) with {opts} differs from decode(): "
                             + _first_difference(ref, out))
    return out


TARGETS = {
    "decode": t_decode, "decode_index": t_decode_index, "filelike": t_filelike,
    "reader": t_reader, "frame_count": t_frame_count, "thumbnail": t_thumbnail,
    "stream": t_stream, "transcode": t_transcode, "reconstruct": t_reconstruct,
    "boxes": t_boxes, "extra": t_extra, "color": t_color, "pillow": t_pillow,
    "numcodecs": t_numcodecs, "jpeg": t_jpeg, "lossless": t_lossless,
    "lossy_nonfinite": t_lossy_nonfinite, "frames": t_frames, "out": t_out,
}
# --oracles: every execution is one of the result-checking targets above.
ORACLES = False
ORACLE_NAMES = ("lossless", "lossless", "lossless", "lossy_nonfinite", "frames", "out", "out")
# --jpeg: every execution is a mutated JPEG through "jpeg".
JPEG_ONLY = False
# Weighted: the reader and decode carry the most code. "transcode" takes the
# JPEG seeds and "stream" the big one (see make_case).
TARGET_NAMES = ("decode", "decode", "decode_index", "filelike", "reader", "reader",
                "frame_count", "thumbnail", "reconstruct", "boxes", "boxes", "extra",
                "color", "pillow", "numcodecs")
# Targets held to their own contract instead of the module's list: the Pillow
# plugin raises Pillow's errors (OSError, UnidentifiedImageError among them; EOFError
# for a missing frame; Pillow's own DecompressionBombError for a huge header),
# the numcodecs codec ValueError. Anything else from them is a finding.
def target_allowed(target):
    if target == "pillow":
        from PIL import Image

        return (OSError, EOFError, Image.DecompressionBombError)
    if target == "numcodecs":
        return (ValueError,)
    return allowed_exceptions()


# (target, outcome) -> count in this process: "ok" or the allowed exception's type.
OUTCOMES: dict[tuple[str, str], int] = {}


def run_one(data: bytes, target: str, param: int):
    """Returns None for an allowed outcome, else the unexpected exception."""
    rng = random.Random(param)
    try:
        TARGETS[target](data, rng)
    except target_allowed(target) as e:
        key = (target, type(e).__name__)
        OUTCOMES[key] = OUTCOMES.get(key, 0) + 1
        return None
    except BaseException as e:  # noqa: BLE001 - everything else is a finding
        return e
    OUTCOMES[(target, "ok")] = OUTCOMES.get((target, "ok"), 0) + 1
    return None


def _save_outcomes(findings: Path, start: int) -> None:
    rows = [[t, o, n] for (t, o), n in sorted(OUTCOMES.items())]
    (findings / f".outcomes-{os.getppid()}-{start}.json").write_text(json.dumps(rows))


# ---- worker ------------------------------------------------------------------


def worker(args) -> int:
    """Runs executions [start, end); publishes the current index in the
    shared progress file so that the parent can name a crash or hang."""
    # AddressSanitizer reserves terabytes of address space for its shadow.
    if args.rlimit_as_mib and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        lim = args.rlimit_as_mib * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (lim, lim))
    global CORPUS
    corpus = CORPUS = Corpus(args.quick, args.big_seed, args.side)
    findings = Path(args.findings)
    with open(args.progress, "r+b") as f:
        mm = mmap.mmap(f.fileno(), 16)
        for i in range(args.start, args.end):
            name, data, target, param = make_case(args.seed, i, corpus)
            mm[0:8] = struct.pack("<q", i)
            if args.inject_crash_at == i:
                os.abort()
            err = run_one(data, target, param)
            if err is not None:
                tag = f"exc-{i}"
                (findings / f"{tag}.jxl").write_bytes(data)
                with open(findings / "findings.jsonl", "a") as log:
                    log.write(json.dumps({"kind": "exception", "index": i, "seed": name,
                                          "target": target, "type": type(err).__name__,
                                          "message": str(err)[:300]}) + "\n")
            mm[8:16] = struct.pack("<q", i + 1)  # executions completed
            if (i + 1 - args.start) % 2000 == 0:
                _save_outcomes(findings, args.start)
    _save_outcomes(findings, args.start)
    return 0


# ---- driver ------------------------------------------------------------------


def _spawn(args, start: int, end: int, progress: Path) -> subprocess.Popen:
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--start", str(start),
           "--end", str(end), "--seed", str(args.seed), "--findings", str(args.findings),
           "--progress", str(progress), "--side", str(args.side),
           "--rlimit-as-mib", str(args.rlimit_as_mib)]
    if args.quick:
        cmd.append("--quick")
    if args.big_seed:
        cmd.append("--big-seed")
    if args.jpeg:
        cmd.append("--jpeg")
    if args.oracles:
        cmd.append("--oracles")
    if args.inject_crash_at is not None:
        cmd += ["--inject-crash-at", str(args.inject_crash_at)]
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _read_progress(mm) -> tuple[int, int]:
    return struct.unpack("<q", mm[0:8])[0], struct.unpack("<q", mm[8:16])[0]


def drive(args) -> dict:
    """Runs [0, iterations) in --workers slices, restarting a worker past an
    execution that crashed or hung. Returns the summary."""
    findings = Path(args.findings)
    findings.mkdir(parents=True, exist_ok=True)
    first, n = args.first, args.iterations
    k = max(1, args.workers)
    bounds = [(first + (n - first) * j // k, first + (n - first) * (j + 1) // k)
              for j in range(k)]
    t0 = time.monotonic()
    records: list[dict] = []
    slots = []
    for j, (a, b) in enumerate(bounds):
        prog = findings / f".progress-{os.getpid()}-{j}"
        prog.write_bytes(struct.pack("<qq", -1, a))
        f = open(prog, "r+b")
        slots.append({"a": a, "b": b, "path": prog, "file": f, "mm": mmap.mmap(f.fileno(), 16),
                      "proc": None, "seen": (a, a), "since": time.monotonic()})
    corpus = None  # built on demand, to save crash reproducers

    def save(kind, i, extra=""):
        nonlocal corpus
        if corpus is None:
            corpus = Corpus(args.quick, args.big_seed, args.side)
        name, data, target, _ = make_case(args.seed, i, corpus)
        (findings / f"{kind}-{i}.jxl").write_bytes(data)
        rec = {"kind": kind, "index": i, "seed": name, "target": target, "detail": extra}
        records.append(rec)
        with open(findings / "findings.jsonl", "a") as log:
            log.write(json.dumps(rec) + "\n")

    last_report = t0
    while True:
        active = 0
        for s in slots:
            if s["a"] >= s["b"] and s["proc"] is None:
                continue
            if s["proc"] is None:
                # cur = -1 until the worker has built its corpus and starts.
                s["mm"][0:16] = struct.pack("<qq", -1, s["a"])
                s["proc"] = _spawn(args, s["a"], s["b"], s["path"])
                s["seen"], s["since"] = (-1, s["a"]), time.monotonic()
            active += 1
            cur, done = _read_progress(s["mm"])
            rc = s["proc"].poll()
            if rc is not None:
                err = s["proc"].stderr.read().decode(errors="replace")[-2000:]
                s["proc"] = None
                if rc == 0 and done >= s["b"]:
                    s["a"] = s["b"]
                    continue
                if cur < 0:
                    raise RuntimeError(f"fuzz worker failed to start (exit status {rc}):\n{err}")
                # Died inside execution `cur`: record it, go on after it.
                save("crash", cur, f"exit status {rc}: {err}")
                s["a"] = cur + 1
                continue
            # Start-up (imports, seed encoding) is not an execution: on a
            # loaded machine it gets a longer allowance.
            limit = args.timeout if cur >= 0 else max(120.0, args.timeout)
            if (cur, done) != s["seen"]:
                s["seen"], s["since"] = (cur, done), time.monotonic()
            elif time.monotonic() - s["since"] > limit and cur < 0:
                s["proc"].kill()
                s["proc"].wait()
                raise RuntimeError(f"fuzz worker did not start within {limit} s")
            elif time.monotonic() - s["since"] > limit:
                s["proc"].kill()
                s["proc"].wait()
                s["proc"] = None
                save("hang", cur, f"no progress for {args.timeout} s")
                s["a"] = cur + 1
        if active == 0:
            break
        now = time.monotonic()
        if args.verbose and now - last_report > 30:
            execs = sum(_read_progress(s["mm"])[1] - lo for s, (lo, _) in zip(slots, bounds))
            print(f"[{now - t0:7.0f} s] {execs} executions, {len(records)} crash/hang",
                  flush=True)
            last_report = now
        time.sleep(0.05)

    for s in slots:
        s["mm"].close()
        s["file"].close()
        s["path"].unlink()
    outcomes: dict[str, dict[str, int]] = {}
    for f in findings.glob(f".outcomes-{os.getpid()}-*.json"):
        for t, o, k in json.loads(f.read_text()):
            outcomes.setdefault(t, {})[o] = outcomes.setdefault(t, {}).get(o, 0) + k
        f.unlink()
    exc = []
    log = findings / "findings.jsonl"
    if log.exists():
        exc = [json.loads(line) for line in log.read_text().splitlines()]
        exc = [r for r in exc if r["kind"] == "exception"]
    return {"executions": n - first, "seconds": round(time.monotonic() - t0, 1),
            "crashes": [r for r in records if r["kind"] == "crash"],
            "hangs": [r for r in records if r["kind"] == "hang"],
            "exceptions": exc, "outcomes": outcomes}


def replay(args) -> int:
    global CORPUS
    corpus = CORPUS = Corpus(args.quick, args.big_seed, args.side)
    name, data, target, param = make_case(args.seed, args.replay, corpus)
    print(f"execution {args.replay}: seed {name}, target {target}, {len(data)} bytes", flush=True)
    rng = random.Random(param)
    TARGETS[target](data, rng)  # let whatever happens happen
    print("allowed outcome or result")
    return 0


def atheris_main(args) -> int:
    """libFuzzer's mutator over the same targets (Python coverage only)."""
    import atheris

    corpus = Corpus(args.quick, args.big_seed, args.side)
    seed_dir = Path(args.findings) / "atheris-seeds"
    seed_dir.mkdir(parents=True, exist_ok=True)
    for name, data in corpus.small:
        (seed_dir / name).write_bytes(data)

    def one(buf: bytes):
        if len(buf) < 2:
            return
        err = run_one(buf[1:], TARGET_NAMES[buf[0] % len(TARGET_NAMES)], buf[0])
        if err is not None:
            raise err

    atheris.Setup([sys.argv[0], f"-runs={args.iterations}", f"-seed={args.seed or 1}",
                   f"-timeout={int(args.timeout)}", "-rss_limit_mb=0",
                   f"-artifact_prefix={args.findings}/", str(seed_dir)], one)
    atheris.Fuzz()
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iterations", type=int, default=1000000)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--first", type=int, default=0,
                   help="first execution index (resumes a run that was stopped)")
    p.add_argument("--workers", type=int, default=1,
                   help="processes (the machine is shared: keep to 1 while others work)")
    p.add_argument("--timeout", type=float, default=20.0,
                   help="seconds without progress that count as a hang")
    p.add_argument("--findings", default=str(ROOT / "build" / "fuzz-findings"))
    p.add_argument("--side", type=int, default=32, help="width of the encoder seeds")
    p.add_argument("--quick", action="store_true",
                   help="fast inputs only (no whole large conformance files)")
    p.add_argument("--big-seed", action="store_true",
                   help="add a >4 MiB stream driven through the streaming reader")
    p.add_argument("--rlimit-as-mib", type=int, default=8192,
                   help="address-space limit of a worker (0: none; use 0 under ASan)")
    p.add_argument("--jpeg", action="store_true",
                   help="JPEG paths only: transcode_jpeg against JxlWriter.write_jpeg at 1 and "
                        "2 threads, and reconstruct_jpeg")
    p.add_argument("--oracles", action="store_true",
                   help="result checks only: lossless round trips of every sample type and "
                        "effort, frames given = frames stored, decode(out=) = decode(), lossy "
                        "non-finite samples refused")
    p.add_argument("--engine", choices=("mutate", "atheris"), default="mutate")
    p.add_argument("--replay", type=int, default=None, help="run execution I in this process")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
    p.add_argument("-v", "--verbose", action="store_true")
    # Internal.
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--end", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--progress", default="", help=argparse.SUPPRESS)
    p.add_argument("--inject-crash-at", type=int, default=None, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    global JPEG_ONLY, ORACLES
    JPEG_ONLY = args.jpeg
    ORACLES = args.oracles

    if args.worker:
        return worker(args)
    if args.replay is not None:
        return replay(args)
    if args.engine == "atheris":
        return atheris_main(args)
    summary = drive(args)
    if args.json:
        print(json.dumps(summary))
    else:
        print(f"{summary['executions']} executions in {summary['seconds']} s: "
              f"{len(summary['crashes'])} crashes, {len(summary['hangs'])} hangs, "
              f"{len(summary['exceptions'])} unexpected exceptions "
              f"(details in {args.findings}/findings.jsonl)")
        for t, counts in sorted(summary["outcomes"].items()):
            print(f"  {t:12} " + ", ".join(f"{o} {k}" for o, k in sorted(counts.items())))
    bad = summary["crashes"] or summary["hangs"] or summary["exceptions"]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
