"""Integration benchmarks: Zarr with JPEG XL chunks against Zarr's
default compressor, read through Dask with 1 and 2 workers; the Pillow plugin
against jxl.decode and its draft-based thumbnail against a full open+resize.

The Zarr data set is real 16-bit data that a PyPI package ships: nibabel's
example4d.nii.gz, a 4-D MRI scan (128x96, 24 slices, 2 volumes, int16 samples
of 0..1162), as a (48, 96, 128) uint16 stack in chunks of 8 slices, stored with
the codec's defaults (Z1) and with the option that favours reading (Z2). The
stack is small: a read through Dask is mostly Dask's own per-task work, the
same on both sides; Z3 shows the codecs' share alone. Without nibabel the rows
are SKIP.
"""

from __future__ import annotations

import gzip
import shutil
import struct
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from harness import (CONFORMANCE_PROGRESSIVE, Ctx, Row, bench, chunk_decode_cpu, dask_zarr_reads,
                     fmt_t, interleave, median, ratio_row, time_calls, verdict)


# ---------------------------------------------------------------------------
# data sets


def _mri_stack() -> Tuple[np.ndarray, str]:
    import nibabel  # noqa: F401  (only to find its files)

    path = Path(nibabel.__file__).parent / "tests" / "data" / "example4d.nii.gz"
    raw = gzip.decompress(path.read_bytes())
    ndim = struct.unpack("<h", raw[40:42])[0]
    dims = struct.unpack("<7h", raw[42:56])[:ndim]
    datatype = struct.unpack("<h", raw[70:72])[0]
    offset = int(struct.unpack("<f", raw[108:112])[0])
    if datatype != 4:  # NIfTI signed 16-bit
        raise ValueError(f"example4d.nii.gz: datatype {datatype}, expected 4 (int16)")
    count = int(np.prod(dims))
    vol = np.frombuffer(raw, dtype="<i2", count=count, offset=offset).reshape(dims[::-1])
    if vol.min() < 0:
        raise ValueError("example4d.nii.gz has negative samples")
    # (t, z, y, x) -> (t*z, y, x)
    stack = np.ascontiguousarray(vol.reshape(-1, dims[1], dims[0]).astype(np.uint16))
    return stack, f"nibabel example4d MRI {stack.shape} uint16 (max {int(stack.max())})"


# ---------------------------------------------------------------------------
# Zarr + Dask


def _write(path: Path, stack: np.ndarray, chunks: Tuple[int, ...], serializer: Optional[object]) -> int:
    import zarr

    if path.exists():
        shutil.rmtree(path)
    kwargs: Dict[str, object] = {}
    if serializer is not None:
        kwargs = {"serializer": serializer, "compressors": None}
    z = zarr.create_array(str(path), shape=stack.shape, chunks=chunks, dtype=stack.dtype, **kwargs)
    z[:] = stack
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file() and p.name != "zarr.json")


# The codec as stored by default, and the option that favours reading.
ZARR_SETTINGS = {
    "Z1": ({}, "default options (frames, effort 5)"),
    "Z2": ({"layout": "strip", "effort": 2}, "layout='strip', effort=2"),
}


def _zarr_rows(ctx: Ctx, stack: np.ndarray, label: str) -> List[Row]:
    import dask.array as da
    import distributed  # noqa: F401  (the cluster the reads run on)

    from quillmarsh.integrations.zarr import JpegXlCodec

    chunks = (min(8, stack.shape[0]),) + stack.shape[1:]
    paths = {"default": ctx.dir / "zarr_default.zarr"}
    sizes = {"default": _write(paths["default"], stack, chunks, None)}
    for key, (options, _) in ZARR_SETTINGS.items():
        paths[key] = ctx.dir / f"zarr_{key}.zarr"
        sizes[key] = _write(paths[key], stack, chunks, JpegXlCodec(**options))
    for key, path in paths.items():
        if not np.array_equal(da.from_zarr(str(path)).compute(scheduler="sync"), stack):
            return [Row(key, f"Zarr {label}", status="ERROR", note=f"{path.name} does not read back exactly")]
    rows = []
    for key, (_, what) in ZARR_SETTINGS.items():
        size = sizes[key] / sizes["default"]
        rows.append(Row(f"{key}a", f"Zarr bytes, JPEG XL lossless ({what}) vs default compressor",
                        f"{sizes[key] / 1024:.0f} KiB", f"{sizes['default'] / 1024:.0f} KiB", f"x{size:.3f}",
                        "<= 0.75", verdict(size <= 0.75),
                        f"{label}, chunks {chunks}; default: zarr {_zarr_version()} format 3"))
    mb = stack.nbytes / (1 << 20)
    for workers, sub in ((1, "b"), (2, "c")):
        t, cpu = dask_zarr_reads(paths, workers, ctx.p.rounds)
        md, cd = median(t["default"]), median(cpu["default"])
        for key, (_, what) in ZARR_SETTINGS.items():
            mj = median(t[key])
            rel = md / mj  # throughput of JPEG XL relative to the default
            rows.append(Row(f"{key}{sub}", f"Zarr read through Dask, {workers} worker(s), JPEG XL ({what})",
                            f"{mb / mj:.1f} MiB/s", f"{mb / md:.1f} MiB/s", f"x{rel:.3f} throughput",
                            ">= 0.50", verdict(rel >= 0.5),
                            f"median of {len(t[key])} reads of {mb:.1f} MiB, one libjxl thread per chunk; "
                            f"workers' CPU per read {median(cpu[key]) * 1e3:.0f} ms vs {cd * 1e3:.0f} ms "
                            f"(x{cd / median(cpu[key]):.3f})"))
    # Without Dask: the chunks' codec time alone, one thread (the part the
    # codec decides; Dask's per-task work is the same on both sides).
    import numcodecs

    from quillmarsh.integrations.numcodecs import JpegXl

    pieces = [stack[i:i + chunks[0]] for i in range(0, stack.shape[0], chunks[0])]
    zstd = numcodecs.Zstd(level=0)
    coded = {"default": (zstd, [zstd.encode(c) for c in pieces])}
    for key, (options, _) in ZARR_SETTINGS.items():
        codec = JpegXl(**options)
        coded[key] = (codec, [codec.encode(c) for c in pieces])

    t = chunk_decode_cpu(ctx.p.rounds, coded)
    md = median(t["default"])
    rows.append(Row("Z3", "Zarr chunks decoded without Dask, one thread: JPEG XL vs zstd",
                    " / ".join(f"{k} {fmt_t(median(t[k]))}" for k in ZARR_SETTINGS), fmt_t(md),
                    " / ".join(f"x{md / median(t[k]):.3f}" for k in ZARR_SETTINGS), "report", "INFO",
                    f"CPU time of decoding the {len(pieces)} chunks of {chunks}; "
                    "throughput relative to zstd, codec alone"))
    return rows


def _zarr_version() -> str:
    import zarr

    return str(zarr.__version__)


@bench("Integrations", [
    "Z1a Zarr bytes, MRI stack, default options", "Z1b Zarr read, MRI, 1 worker, default options",
    "Z1c Zarr read, MRI, 2 workers, default options",
    "Z2a Zarr bytes, MRI stack, strip layout effort 2", "Z2b Zarr read, MRI, 1 worker, strip effort 2",
    "Z2c Zarr read, MRI, 2 workers, strip effort 2",
    "Z3 Zarr chunk decode without Dask, one thread",
])
def bench_zarr(ctx: Ctx) -> List[Row]:
    keys = ("Z1a", "Z1b", "Z1c", "Z2a", "Z2b", "Z2c", "Z3")
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        import zarr  # noqa: F401

        stack, label = _mri_stack()
    except ImportError as exc:
        return [Row(k, "Zarr MRI stack", status="SKIP", note=f"needs {exc.name}") for k in keys]
    return _zarr_rows(ctx, stack, label)


# ---------------------------------------------------------------------------
# Pillow


@bench("Integrations", [
    "P1 Pillow open().load() vs jxl.decode, {still}x{still}",
    "P2 Pillow thumbnail((256, 256)) vs full open + resize, progressive {big}x{big}",
])
def bench_pillow(ctx: Ctx) -> List[Row]:
    from PIL import Image

    import quillmarsh.integrations.pillow  # noqa: F401

    p = ctx.p
    still = ctx.stream("still")

    def pil_load() -> None:
        with Image.open(still) as im:
            im.load()

    def decode() -> None:  # the plugin's own thread setting: libjxl's default
        ctx.jxl.decode(str(still))

    cpu: Dict[str, List[float]] = {"pil": [], "dec": []}

    def timed(key: str, fn: Callable[[], None]) -> Callable[[], List[float]]:
        def run() -> List[float]:
            out = []
            for _ in range(3):
                c0, t0 = time.process_time(), time.perf_counter()
                fn()
                out.append(time.perf_counter() - t0)
                cpu[key].append(time.process_time() - c0)
            return out
        return run

    pil_load(), decode()
    t = interleave(p.rounds, {"pil": timed("pil", pil_load), "dec": timed("dec", decode)})
    rows = [ratio_row("P1", f"Pillow open().load() vs jxl.decode, {p.still}x{p.still}", t["pil"], t["dec"],
                      1.05, f"lossy d1 e7 RGB file of {still.stat().st_size / 1024:.0f} KiB; CPU time "
                      f"(all threads) x{median(cpu['pil']) / median(cpu['dec']):.3f}")]

    prog = ctx.stream("big_prog")

    def thumb() -> Tuple[int, int]:
        with Image.open(prog) as im:
            im.thumbnail((256, 256))
            return im.size

    def full() -> Tuple[int, int]:
        with Image.open(prog) as im:
            im.load()
            return im.resize(size, Image.Resampling.BICUBIC).size

    size = thumb()
    full()
    t = interleave(p.rounds, {"thumb": lambda: time_calls(thumb, 1), "full": lambda: time_calls(full, 1)})
    mt, mf = median(t["thumb"]), median(t["full"])
    speed = mf / mt
    rows.append(Row("P2", f"Pillow thumbnail((256, 256)) vs full open + resize, progressive {p.big}x{p.big}",
                    fmt_t(mt), fmt_t(mf), f"x{speed:.2f} faster", ">= 1.80 faster", verdict(speed >= 1.8),
                    f"lossy d1 progressive; thumbnail {size}"))
    return rows



@bench("Integrations", ["P3 Pillow draft() + load(), 1:8 of a progressive {big}x{big} photograph"])
def bench_pillow_draft(ctx: Ctx) -> List[Row]:
    """The plugin's 1:8 preview of a real photograph against the source
    reduced by 8x8 box averages (PSNR), and its time next to jxl.decode's
    own downsample=8 (top-left sampling, the module's default)."""
    from PIL import Image

    import quillmarsh.integrations.pillow  # noqa: F401

    p = ctx.p
    title = f"Pillow draft() + load(), 1:8 of a progressive {p.big}x{p.big} photograph"
    if not CONFORMANCE_PROGRESSIVE.exists():
        return [Row("P3", title, status="SKIP", note=f"{CONFORMANCE_PROGRESSIVE} absent")]
    path = ctx.stream("photo_prog")
    src = ctx.array("photo")
    side = p.big // 8
    box = src.reshape(side, 8, side, 8, src.shape[2]).mean(axis=(1, 3))

    def draft() -> np.ndarray:
        with Image.open(path) as im:
            im.draft("RGB", (side, side))
            return np.asarray(im)

    def psnr(a: np.ndarray) -> float:
        return float(10 * np.log10(255.0 ** 2 / np.mean((a.astype(np.float64) - box) ** 2)))

    data = path.read_bytes()
    got, plain = draft(), ctx.jxl.decode(data, downsample=8)
    t = interleave(p.rounds, {"draft": lambda: time_calls(draft, 1),
                              "ds8": lambda: time_calls(lambda: ctx.jxl.decode(data, downsample=8), 1)})
    q = psnr(got)
    return [Row("P3", title, fmt_t(median(t["draft"])), f"decode(downsample=8) {fmt_t(median(t['ds8']))}",
                f"{q:.2f} dB", ">= 34 dB vs box-reduced source", verdict(q >= 34.0),
                f"{path.stat().st_size / 1024:.0f} KiB, d1 progressive; decode(downsample=8) "
                f"(top-left) {psnr(plain):.2f} dB; output {got.shape}")]
