"""Scientific arrays: JPEG XL chunks (quillmarsh.integrations.numcodecs.JpegXl)
against what a scientist would store them with instead.

Data: nibabel's example4d MRI scan (real 16-bit data, a (48, 96, 128) stack
in chunks of 8 slices); astropy's FITS test files (big-endian 16-bit images;
FITS's BZERO=32768 convention turns their int16 into the uint16 they hold);
Pillow's 16-bit test images; a synthetic 12-bit fluorescence-microscopy stack
(64 x 256 x 256: cells as 3-D Gaussian blobs, photon and read noise).

- D1: lossless bytes against the best of Blosc-zstd (byte and bit shuffle)
  and plain zstd at levels 1 to 22.
- D2: bytes with every sample within E (1, 4, 16) on the MRI stack, against
  numcodecs' FixedScaleOffset (the integer quantiser: a step of 2E+1) + the
  best zstd level, and zfp's fixed-accuracy mode (tolerance E) when zfpy is
  installed; the decode CPU time of the chunks beside.
- D3: the same with float32 data (the MRI stack scaled) at an error of 1e-3
  of its range, against BitRound and Quantize (the fewest bits or digits that
  keep the bound) + the best zstd level, and zfp.
- D4: reading a Zarr format 3 array of 128 chunks (the microscopy stack)
  through Dask with 2 worker processes, JPEG XL lossless against Blosc-zstd.

Sizes are exact; times are CPU time on a shared machine.
"""

from __future__ import annotations

import os
import shutil
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from harness import (Ctx, Row, bench, chunk_decode_cpu, dask_zarr_reads, fmt_t, interleave, median,
                     verdict)

ZSTD_LEVELS = (1, 3, 6, 9, 12, 15, 19, 22)
QUICK_ZSTD_LEVELS = (3,)
MRI_CHUNK = 8
# The microscopy stack and its Zarr chunks (128 of them); a quick run's is smaller.
MICRO_SHAPE, MICRO_CHUNKS = (64, 256, 256), (8, 64, 64)
QUICK_MICRO_SHAPE = (16, 128, 128)


def _quick(ctx: Ctx) -> bool:
    return ctx.p.name == "quick"


def _levels(ctx: Ctx) -> Sequence[int]:
    return QUICK_ZSTD_LEVELS if _quick(ctx) else ZSTD_LEVELS


# ---------------------------------------------------------------------------
# data


def _mri() -> Tuple[np.ndarray, str]:
    from bench_integrations import _mri_stack

    return _mri_stack()


def _fits_images() -> List[Tuple[str, np.ndarray]]:
    import astropy
    from astropy.io import fits

    folder = Path(astropy.__file__).parent / "io" / "fits" / "tests" / "data"
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in sorted(folder.glob("*.fits")):
            if path.name == "checksum_false.fits":  # the same image as checksum.fits
                continue
            try:
                hdus = fits.open(path, memmap=False, do_not_scale_image_data=True)
            except Exception:  # a test file of a broken kind
                continue
            with hdus:
                for i, hdu in enumerate(hdus):
                    if not hdu.is_image or hdu.data is None or hdu.data.ndim != 2 or hdu.data.size < 1000:
                        continue
                    raw = hdu.data
                    if raw.dtype.kind != "i" or raw.dtype.itemsize != 2:
                        continue
                    # FITS stores unsigned 16-bit data as int16 with BZERO 32768.
                    if hdu.header.get("BZERO") == 32768:
                        vals = (raw.astype(np.int32) + 32768).astype(">u2")
                    else:
                        vals = (raw.astype(np.int32) - int(raw.min())).astype(">u2")
                    out.append((f"{path.name}[{i}]", vals))
    return out


def _pillow_16bit() -> List[Tuple[str, np.ndarray]]:
    from PIL import Image

    cache = Path(os.environ.get("QUILLMARSH_CACHE", Path.home() / ".cache" / "quillmarsh"))
    import PIL

    folder = cache / f"pillow-{PIL.__version__}" / "Tests" / "images"
    out = []
    for name in ("16bit.cropped.tif", "16bit.MM.cropped.tif", "16_bit_noise.tif", "12in16bit.tif",
                 "hopper_16bit.pgm"):
        if (folder / name).exists():
            with Image.open(folder / name) as im:
                arr = np.asarray(im)
            out.append((name, arr.astype(arr.dtype.str[0] + "u2") if arr.dtype.kind == "i" else arr))
    return out


def _microscopy(shape: Tuple[int, int, int]) -> np.ndarray:
    """Cells as 3-D Gaussian blobs over a camera offset, photon (Poisson)
    and read (Gaussian) noise, on a 12-bit camera."""
    rng = np.random.default_rng(27)
    z, y, x = np.ogrid[: shape[0], : shape[1], : shape[2]]
    light = np.zeros(shape, np.float32)
    for _ in range(max(8, 120 * shape[0] * shape[1] * shape[2] // (64 * 256 * 256))):
        cz, cy, cx = (rng.uniform(0, n) for n in shape)
        s = rng.uniform(2.5, 7.0)
        amp = rng.uniform(150, 2500)
        zs, ys, xs = (slice(max(0, int(c - 4 * s)), int(c + 4 * s) + 1) for c in (cz, cy, cx))
        blob = np.exp(-(((z[zs] - cz) ** 2) / (2 * (s * 1.5) ** 2)
                        + ((y[:, ys] - cy) ** 2 + (x[:, :, xs] - cx) ** 2) / (2 * s * s)))
        light[zs, ys, xs] += (amp * blob).astype(np.float32)
    counts = rng.poisson(light + 20.0).astype(np.float32)
    frame = 100.0 + counts + rng.normal(0, 2.0, shape).astype(np.float32)
    return np.clip(np.rint(frame), 0, 4095).astype(np.uint16)


# ---------------------------------------------------------------------------
# codecs


def _chunks(stack: np.ndarray, depth: int) -> List[np.ndarray]:
    return [np.ascontiguousarray(stack[i:i + depth]) for i in range(0, stack.shape[0], depth)]


def _best_zstd(pieces: Sequence[Any], levels: Sequence[int] = ZSTD_LEVELS) -> Tuple[int, int]:
    """(bytes, level) of the zstd level with the fewest bytes."""
    import numcodecs

    best = None
    for level in levels:
        codec = numcodecs.Zstd(level=level)
        n = sum(len(codec.encode(np.ascontiguousarray(p))) for p in pieces)
        if best is None or n < best[0]:
            best = (n, level)
    assert best is not None
    return best


def _best_blosc(pieces: Sequence[np.ndarray]) -> Tuple[int, str]:
    from numcodecs import Blosc

    best = None
    for shuffle, name in ((Blosc.SHUFFLE, "shuffle"), (Blosc.BITSHUFFLE, "bitshuffle")):
        for level in (5, 9):
            codec = Blosc(cname="zstd", clevel=level, shuffle=shuffle)
            n = sum(len(codec.encode(p)) for p in pieces)
            if best is None or n < best[0]:
                best = (n, f"Blosc-zstd {level} {name}")
    assert best is not None
    return best


def _lossless_ref(pieces: Sequence[np.ndarray], levels: Sequence[int]) -> Tuple[int, str]:
    blosc = _best_blosc(pieces)
    zstd, level = _best_zstd(pieces, levels)
    return blosc if blosc[0] <= zstd else (zstd, f"zstd {level}")


def _jxl_bytes(pieces: Sequence[np.ndarray], **options: Any) -> int:
    from quillmarsh.integrations.numcodecs import JpegXl

    codec = JpegXl(**options)
    return sum(len(codec.encode(p)) for p in pieces)


def _decode_cpu(ctx: Ctx, sides: Dict[str, Tuple[Any, List[bytes]]]) -> Dict[str, float]:
    """Median CPU time of decoding every chunk, per side (one thread)."""
    t = chunk_decode_cpu(ctx.p.rounds, sides)
    return {k: median(v) for k, v in t.items()}


# ---------------------------------------------------------------------------
# S1 lossless


def _lossless_row(ctx: Ctx, key: str, title: str, pieces: Sequence[np.ndarray], label: str,
                  target: Optional[float]) -> Row:
    jxl = _jxl_bytes(pieces)
    ref, ref_name = _lossless_ref(pieces, _levels(ctx))
    strip = ""
    if pieces[0].ndim == 3 and not _quick(ctx):
        n = _jxl_bytes(pieces, layout="strip", effort=7)
        strip = f"; layout='strip', effort=7: {n / 1024:.1f} KiB, x{n / ref:.3f}"
    q = jxl / ref
    raw = sum(p.nbytes for p in pieces)
    return Row(key, title, f"{jxl / 1024:.1f} KiB", f"{ref / 1024:.1f} KiB", f"x{q:.3f}",
               "report" if target is None else f"<= {target:.2f}",
               "INFO" if target is None else verdict(q <= target),
               f"{label}; raw {raw / 1024:.0f} KiB, JPEG XL x{raw / jxl:.2f} (default options{strip}); "
               f"reference: the best of Blosc-zstd and zstd levels {min(_levels(ctx))}-{max(_levels(ctx))} "
               f"({ref_name})")


@bench("Science", [
    "D1a lossless bytes, MRI stack, vs Blosc-zstd / best zstd",
    "D1b lossless bytes, astropy FITS files (big-endian)",
    "D1c lossless bytes, Pillow's 16-bit images",
    "D1d lossless bytes, synthetic 12-bit microscopy stack",
])
def bench_science_lossless(ctx: Ctx) -> List[Row]:
    rows = []
    try:
        stack, label = _mri()
        rows.append(_lossless_row(ctx, "D1a", "lossless bytes, MRI stack, JPEG XL vs best Blosc/zstd",
                                  _chunks(stack, MRI_CHUNK), f"{label}, chunks of {MRI_CHUNK}", 0.75))
    except ImportError as exc:
        rows.append(Row("D1a", "lossless bytes, MRI stack", status="SKIP", note=f"needs {exc.name}"))
    try:
        fits = _fits_images()
        rows.append(_lossless_row(ctx, "D1b", "lossless bytes, astropy FITS files, JPEG XL vs best Blosc/zstd",
                                  [a for _, a in fits], f"{len(fits)} images: " +
                                  ", ".join(f"{n} {a.shape}" for n, a in fits), None))
    except ImportError as exc:
        rows.append(Row("D1b", "lossless bytes, FITS files", status="SKIP", note=f"needs {exc.name}"))
    images = _pillow_16bit()
    if images:
        rows.append(_lossless_row(ctx, "D1c", "lossless bytes, Pillow's 16-bit images, JPEG XL vs best Blosc/zstd",
                                  [a for _, a in images], ", ".join(n for n, _ in images), None))
    else:
        rows.append(Row("D1c", "lossless bytes, Pillow's 16-bit images", status="SKIP",
                        note="Pillow's Tests/images not fetched"))
    micro = _microscopy(QUICK_MICRO_SHAPE if _quick(ctx) else MICRO_SHAPE)
    rows.append(_lossless_row(ctx, "D1d", "lossless bytes, microscopy stack, JPEG XL vs best Blosc/zstd",
                              _chunks(micro, 8), f"synthetic {micro.shape} uint16 (max {int(micro.max())}), "
                              "chunks of 8", None))
    return rows


# ---------------------------------------------------------------------------
# S2, S3 bounded error


def _check_bound(name: str, back: np.ndarray, orig: np.ndarray, bound: float) -> None:
    err = float(np.abs(back.astype(np.float64) - orig.astype(np.float64)).max())
    if err > bound * (1 + 1e-9):
        raise AssertionError(f"{name} moved a sample by {err}, above {bound}")


class _Zfp:
    """zfp fixed accuracy on one chunk (floats; integers go in as float32 and
    come back rounded)."""

    def __init__(self, tolerance: float, integers: bool):
        self.tolerance, self.integers = tolerance, integers

    def encode(self, arr: np.ndarray) -> bytes:
        import zfpy

        data = arr.astype(np.float32) if self.integers else arr
        return bytes(zfpy.compress_numpy(np.ascontiguousarray(data), tolerance=self.tolerance))

    def decode(self, blob: bytes) -> np.ndarray:
        import zfpy

        out = zfpy.decompress_numpy(blob)
        return np.clip(np.rint(out), 0, 65535).astype(np.uint16) if self.integers else out


class _Chain:
    """A filter then zstd at a level, as numcodecs' filters + compressor."""

    def __init__(self, filt: Any, level: int, coded: str):
        import numcodecs

        self.filt, self.zstd, self.coded = filt, numcodecs.Zstd(level=level), np.dtype(coded)

    def encode(self, arr: np.ndarray) -> bytes:
        return bytes(self.zstd.encode(np.ascontiguousarray(self.filt.encode(arr))))

    def decode(self, blob: bytes) -> np.ndarray:
        return np.asarray(self.filt.decode(np.frombuffer(self.zstd.decode(blob), self.coded)))


def _bounded_row(ctx: Ctx, key: str, title: str, pieces: List[np.ndarray], bound: float,
                 rivals: Dict[str, Any], note: str) -> Row:
    """JPEG XL with max_error against each rival's codec (each checked to keep
    the bound), bytes and decode CPU time of the best rival beside."""
    from quillmarsh.integrations.numcodecs import JpegXl

    sides: Dict[str, Tuple[Any, List[bytes]]] = {}
    for name, codec in {"JPEG XL": JpegXl(max_error=bound), **rivals}.items():
        blobs = [codec.encode(p) for p in pieces]
        for p, b in zip(pieces, blobs):
            _check_bound(name, np.asarray(codec.decode(b)).reshape(p.shape), p, bound)
        sides[name] = (codec, blobs)
    size = {k: sum(len(b) for b in v[1]) for k, v in sides.items()}
    best = min((k for k in sides if k != "JPEG XL"), key=lambda k: size[k])
    cpu = _decode_cpu(ctx, {"JPEG XL": sides["JPEG XL"], best: sides[best]})
    q = size["JPEG XL"] / size[best]
    others = ", ".join(f"{k} {size[k] / 1024:.1f} KiB" for k in rivals)
    return Row(key, title, f"{size['JPEG XL'] / 1024:.1f} KiB", f"{size[best] / 1024:.1f} KiB",
               f"x{q:.3f}", "<= 0.80", verdict(q <= 0.8),
               f"{note}; best rival {best}; {others}; decode CPU JPEG XL {fmt_t(cpu['JPEG XL'])} "
               f"vs {fmt_t(cpu[best])} (x{cpu[best] / cpu['JPEG XL']:.2f} throughput)")


def _zfpy_ok() -> bool:
    try:
        import zfpy  # noqa: F401
    except ImportError:
        return False
    return True


def _fewest(make: Callable[[int], Any], options: Sequence[int], pieces: List[np.ndarray],
            bound: float) -> Any:
    """The first codec of `options` (fewest bits/digits first) that keeps the bound."""
    for n in options:
        codec = _Chain(make(n), 1, "<f4")
        if all(float(np.abs(np.asarray(codec.decode(codec.encode(p))).reshape(p.shape).astype(np.float64)
                            - p.astype(np.float64)).max()) <= bound for p in pieces):
            return codec.filt
    raise AssertionError("no setting keeps the bound")


@bench("Science", [
    "D2a bounded error E=1, MRI stack, vs FixedScaleOffset+zstd / zfp",
    "D2b bounded error E=4, MRI stack",
    "D2c bounded error E=16, MRI stack",
    "D3 bounded error 1e-3 of the range, MRI stack as float32, vs BitRound/Quantize+zstd / zfp",
])
def bench_science_bounded(ctx: Ctx) -> List[Row]:
    import numcodecs

    try:
        stack, label = _mri()
    except ImportError as exc:
        return [Row(k, "bounded error, MRI stack", status="SKIP", note=f"needs {exc.name}")
                for k in ("D2a", "D2b", "D2c", "D3")]
    if _quick(ctx):  # two chunks
        stack, label = stack[: 2 * MRI_CHUNK], f"{label}, first {2 * MRI_CHUNK} slices"
    pieces = _chunks(stack, MRI_CHUNK)
    zfp_note = "" if _zfpy_ok() else "; zfpy not installed: no zfp side"
    rows = []
    for key, bound in (("D2a", 1), ("D2b", 4), ("D2c", 16)):
        step = 2 * bound + 1
        quant = numcodecs.FixedScaleOffset(offset=0, scale=1 / step, dtype="<u2", astype="<u2")
        _, level = _best_zstd([quant.encode(p) for p in pieces], _levels(ctx))
        rivals: Dict[str, Any] = {f"FixedScaleOffset(1/{step})+zstd {level}": _Chain(quant, level, "<u2")}
        if _zfpy_ok():
            rivals["zfp accuracy"] = _Zfp(bound, integers=True)
        rows.append(_bounded_row(ctx, key, f"bytes within E={bound}, MRI stack, JPEG XL vs best rival",
                                 pieces, bound, rivals, f"{label}, chunks of {MRI_CHUNK}{zfp_note}"))
    floats = [(p.astype(np.float64) * 0.0137 - 3.2).astype(np.float32) for p in pieces]
    lo = min(float(p.min()) for p in floats)
    hi = max(float(p.max()) for p in floats)
    bound_f = 1e-3 * (hi - lo)
    bitround = _fewest(lambda k: numcodecs.BitRound(keepbits=k), range(1, 24), floats, bound_f)
    quantize = _fewest(lambda d: numcodecs.Quantize(digits=d, dtype="<f4"), range(0, 8), floats, bound_f)
    frivals: Dict[str, Any] = {}
    for name, filt in ((f"BitRound({bitround.keepbits})", bitround),
                       (f"Quantize({quantize.digits})", quantize)):
        _, level = _best_zstd([filt.encode(p) for p in floats], _levels(ctx))
        frivals[f"{name}+zstd {level}"] = _Chain(filt, level, "<f4")
    if _zfpy_ok():
        frivals["zfp accuracy"] = _Zfp(bound_f, integers=False)
    rows.append(_bounded_row(ctx, "D3", "bytes within 1e-3 of the range, MRI as float32, JPEG XL vs best rival",
                             floats, bound_f, frivals,
                             f"MRI x 0.0137 - 3.2 as float32 ({lo:.2f} to {hi:.2f}), E={bound_f:.4g}{zfp_note}"))
    return rows


# ---------------------------------------------------------------------------
# S4 reading through Dask


def _store(path: Path, stack: np.ndarray, chunks: Tuple[int, ...], serializer: Any, compressors: Any) -> int:
    import zarr

    if path.exists():
        shutil.rmtree(path)
    kwargs: Dict[str, Any] = {"compressors": compressors}
    if serializer is not None:
        kwargs["serializer"] = serializer
    z = zarr.create_array(str(path), shape=stack.shape, chunks=chunks, dtype=stack.dtype, **kwargs)
    z[:] = stack
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file() and p.name != "zarr.json")


@bench("Science", ["D4 Zarr v3 read through Dask, 2 workers, 128 chunks, JPEG XL vs Blosc-zstd"])
def bench_science_dask(ctx: Ctx) -> List[Row]:
    try:
        import dask.array as da
        import distributed  # noqa: F401  (the cluster the reads run on)
        from zarr.codecs import BloscCodec
    except ImportError as exc:
        return [Row("D4", "Zarr read through Dask", status="SKIP", note=f"needs {exc.name}")]
    from quillmarsh.integrations.zarr import JpegXlCodec

    if _quick(ctx):  # a cluster of worker processes takes longer than the quick run has
        return [Row("D4", "Zarr read through Dask", status="SKIP", note="full run only")]
    stack = _microscopy(MICRO_SHAPE)
    chunks = MICRO_CHUNKS
    n_chunks = int(np.prod([-(-s // c) for s, c in zip(stack.shape, chunks)]))
    paths = {"jxl": ctx.dir / "science_jxl.zarr", "blosc": ctx.dir / "science_blosc.zarr"}
    sizes = {"jxl": _store(paths["jxl"], stack, chunks, JpegXlCodec(), None),
             "blosc": _store(paths["blosc"], stack, chunks, None,
                             BloscCodec(cname="zstd", clevel=5, shuffle="shuffle"))}
    for key, path in paths.items():
        if not np.array_equal(da.from_zarr(str(path)).compute(scheduler="sync"), stack):
            return [Row("D4", "Zarr read through Dask", status="ERROR", note=f"{key} does not read back")]
    mb = stack.nbytes / (1 << 20)
    t, cpu = dask_zarr_reads(paths, 2, ctx.p.rounds)
    mj, mb_ = median(t["jxl"]), median(t["blosc"])
    cj, cb = median(cpu["jxl"]), median(cpu["blosc"])
    rel = mb_ / mj
    return [Row("D4", "Zarr v3 read through Dask, 2 workers, JPEG XL lossless vs Blosc-zstd",
                f"{mb / mj:.1f} MiB/s", f"{mb / mb_:.1f} MiB/s", f"x{rel:.3f} throughput", ">= 0.50",
                verdict(rel >= 0.5),
                f"synthetic microscopy {stack.shape} uint16, {n_chunks} chunks of {chunks}; "
                f"stored {sizes['jxl'] / 1024:.0f} KiB vs {sizes['blosc'] / 1024:.0f} KiB "
                f"(Blosc-zstd 5 shuffle); median of {len(t['jxl'])} reads, wall time on a shared machine; "
                f"workers' CPU per read {cj * 1e3:.0f} ms vs {cb * 1e3:.0f} ms (x{cb / cj:.3f})")]
