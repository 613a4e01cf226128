"""Integration benchmarks (issue 16): Zarr with JPEG XL chunks against Zarr's
default compressor, read through Dask with 1 and 2 workers; the Pillow plugin
against jxl.decode and its draft-based thumbnail against a full open+resize.

The Zarr data set is real 16-bit data that a PyPI package ships: nibabel's
example4d.nii.gz, a 4-D MRI scan (128x96, 24 slices, 2 volumes, int16 samples
of 0..1162), as a (48, 96, 128) uint16 stack in chunks of 8 slices. Without
nibabel the rows are SKIP.
"""

from __future__ import annotations

import gzip
import shutil
import struct
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from harness import Ctx, Row, bench, fmt_t, interleave, median, ratio_row, time_calls, verdict


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


def _zarr_rows(ctx: Ctx, key: str, stack: np.ndarray, label: str) -> List[Row]:
    import dask.array as da
    from distributed import Client, LocalCluster

    from quillmarsh.codecs.jxl_zarr import JpegXlCodec

    chunks = (min(8, stack.shape[0]),) + stack.shape[1:]
    jxl_path, def_path = ctx.dir / f"{key}_jxl.zarr", ctx.dir / f"{key}_default.zarr"
    jxl_bytes = _write(jxl_path, stack, chunks, JpegXlCodec(effort=7))
    def_bytes = _write(def_path, stack, chunks, None)
    size = jxl_bytes / def_bytes
    for path in (jxl_path, def_path):
        if not np.array_equal(da.from_zarr(str(path)).compute(scheduler="sync"), stack):
            return [Row(key, f"Zarr {label}", status="ERROR", note=f"{path.name} does not read back exactly")]
    rows = [Row(f"{key}a", f"Zarr bytes, JPEG XL lossless e7 vs default compressor: {label}",
                f"{jxl_bytes / 1024:.0f} KiB", f"{def_bytes / 1024:.0f} KiB", f"x{size:.3f}", "<= 0.75",
                verdict(size <= 0.75), f"chunks {chunks}; default: zarr {_zarr_version()} format 3")]
    for workers, sub in ((1, "b"), (2, "c")):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
            def read(path: Path) -> Callable[[], List[float]]:
                def once() -> object:
                    return client.compute(da.from_zarr(str(path)).sum()).result()
                once()  # warm-up: workers import zarr and quillmarsh
                return lambda: time_calls(once, 3)
            t = interleave(ctx.p.rounds, {"jxl": read(jxl_path), "default": read(def_path)})
        mj, md = median(t["jxl"]), median(t["default"])
        mb = stack.nbytes / (1 << 20)
        rel = md / mj  # throughput of JPEG XL relative to the default
        rows.append(Row(f"{key}{sub}", f"Zarr read through Dask, {workers} worker(s): {label}",
                        f"{mb / mj:.0f} MiB/s", f"{mb / md:.0f} MiB/s", f"x{rel:.3f} throughput",
                        ">= 0.50", verdict(rel >= 0.5),
                        f"median of {len(t['jxl'])} reads of {mb:.1f} MiB; one libjxl thread per chunk"))
    return rows


def _zarr_version() -> str:
    import zarr

    return str(zarr.__version__)


@bench("Integrations (issue 16)", [
    "Z1a Zarr bytes, MRI stack", "Z1b Zarr read, MRI, 1 worker", "Z1c Zarr read, MRI, 2 workers",
])
def bench_zarr(ctx: Ctx) -> List[Row]:
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        import zarr  # noqa: F401

        stack, label = _mri_stack()
    except ImportError as exc:
        return [Row(k, "Zarr MRI stack", status="SKIP", note=f"needs {exc.name}")
                for k in ("Z1a", "Z1b", "Z1c")]
    return _zarr_rows(ctx, "Z1", stack, label)


# ---------------------------------------------------------------------------
# Pillow


@bench("Integrations (issue 16)", [
    "P1 Pillow open().load() vs jxl.decode, {still}x{still}",
    "P2 Pillow thumbnail((256, 256)) vs full open + resize, progressive {big}x{big}",
])
def bench_pillow(ctx: Ctx) -> List[Row]:
    from PIL import Image

    import quillmarsh.pillow  # noqa: F401

    p = ctx.p
    still = ctx.stream("still")

    def pil_load() -> None:
        with Image.open(still) as im:
            im.load()

    def decode() -> None:  # the plugin's own thread setting: libjxl's default
        ctx.jxl.decode(str(still))

    pil_load(), decode()
    t = interleave(p.rounds, {"pil": lambda: time_calls(pil_load, 3), "dec": lambda: time_calls(decode, 3)})
    rows = [ratio_row("P1", f"Pillow open().load() vs jxl.decode, {p.still}x{p.still}", t["pil"], t["dec"],
                      1.05, f"lossy d1 e7 RGB file of {still.stat().st_size / 1024:.0f} KiB")]

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

