"""Lossless multichannel storage: JPEG XL against Blosc-zstd and TIFF.

Data a person would store as (Y, X, N) arrays, made from photographs that
scikit-image ships: its motorcycle stereo pair as one 6-channel uint8 array
(two views of one scene, strongly correlated), and its coffee photograph
turned into 12 overlapping spectral bands (smooth Gaussian responses over the
red/green/blue samples, as a multispectral camera's bands overlap), stored as
a 12-bit sensor would (uint16, 0..4095) and spread over the full 16 bits.
Sizes are compared at default settings: JPEG XL lossless at effort 5 (the
writer's default) and 7 (libjxl's), Blosc with zstd level 5 and bit shuffle
(numcodecs), TIFF with deflate (tifffile). Decode throughput is
reported in MB/s of raw samples.
"""

from __future__ import annotations

import io
from typing import Callable, Dict, List, Tuple

import numpy as np

from harness import Ctx, Missing, Row, bench, fmt_t, interleave, median, time_calls, verdict


def _libs():
    try:
        import numcodecs
        import tifffile
        from skimage import data as skdata
    except ImportError as exc:
        raise Missing(f"{exc.name} (pip install numcodecs tifffile scikit-image)")
    return numcodecs, tifffile, skdata


def _datasets(skdata, small: bool) -> Dict[str, np.ndarray]:
    left, right = skdata.stereo_motorcycle()[:2]
    stereo = np.ascontiguousarray(np.dstack([left, right]))
    rgb = skdata.coffee().astype(np.float64) / 255
    centres = np.linspace(0, 2, 12)  # band centres across blue(0)..red(2)
    w = np.exp(-0.5 * ((np.arange(3)[None, ::-1] - centres[:, None]) / 0.6) ** 2)
    w /= w.sum(axis=1, keepdims=True)
    lin = np.clip(rgb @ w.T, 0, 1)
    out = {"stereo 6ch u8": stereo,
           # a 12-bit sensor's range, and the same bands spread over 16 bits
           "bands 12ch 12-bit": np.round(lin * 4095).astype(np.uint16),
           "bands 12ch 16-bit": np.round(lin * 65535).astype(np.uint16)}
    if small:
        out = {k: np.ascontiguousarray(v[:128, :128]) for k, v in out.items()}
    return out


def _codecs(numcodecs, tifffile) -> Dict[str, Tuple[Callable, Callable]]:
    def blosc_pair(arr):
        c = numcodecs.Blosc(cname="zstd", clevel=5, shuffle=numcodecs.Blosc.BITSHUFFLE)
        return c.encode(arr), lambda b: np.frombuffer(c.decode(b), arr.dtype).reshape(arr.shape)

    def tiff_pair(compression):
        def make(arr):
            buf = io.BytesIO()
            tifffile.imwrite(buf, arr, photometric="minisblack", planarconfig="contig",
                             compression=compression, predictor=True)
            return buf.getvalue(), lambda b: tifffile.imread(io.BytesIO(b))
        return make

    # TIFF's zstd needs a codec package that bundles other image codecs,
    # among them a JPEG XL one, so it is left out: deflate is TIFF's baseline.
    return {"blosc-zstd": blosc_pair, "tiff-deflate": tiff_pair("zlib")}


@bench("Extra channels", [
    "C1 lossless bytes vs best of Blosc-zstd/TIFF, stereo 6ch u8",
    "C2 lossless bytes vs best of Blosc-zstd/TIFF, bands 12ch 12-bit",
    "C4 lossless bytes vs best of Blosc-zstd/TIFF, bands 12ch 16-bit",
])
def bench_multichannel_size(ctx: Ctx) -> List[Row]:
    ctx.need("encode", "decode")
    numcodecs, tifffile, skdata = _libs()
    rows = []
    for key, (name, arr) in zip(("C1", "C2", "C4"),
                                _datasets(skdata, ctx.p.name == "quick").items()):
        others = {}
        for cname, make in _codecs(numcodecs, tifffile).items():
            try:
                blob, dec = make(arr)
            except Exception as exc:  # a TIFF codec tifffile cannot use here
                others[cname] = (None, str(exc).splitlines()[0][:40])
                continue
            assert np.array_equal(dec(blob), arr), cname
            others[cname] = (len(blob), "")
        sizes = {k: v[0] for k, v in others.items() if v[0] is not None}
        best_name = min(sizes, key=sizes.get)
        jx = {}
        for effort in (5, 7):
            blob = ctx.jxl.encode(arr, lossless=True, effort=effort, numthreads=ctx.threads)
            back = ctx.jxl.decode(blob, extra_channels=True, numthreads=ctx.threads)
            assert np.array_equal(back, arr), "JPEG XL round trip not exact"
            jx[effort] = blob
        q = len(jx[5]) / sizes[best_name]
        listed = ", ".join(f"{k} {v[0] / 1024:.0f} KiB" if v[0] else f"{k} n/a ({v[1]})"
                           for k, v in others.items())
        rows.append(Row(key, f"lossless bytes vs best other, {name} {arr.shape[1]}x{arr.shape[0]}",
                        f"{len(jx[5]) / 1024:.0f} KiB", f"{sizes[best_name] / 1024:.0f} KiB "
                        f"({best_name})", f"x{q:.3f}", "<= 0.80", verdict(q <= 0.8),
                        f"effort 7: {len(jx[7]) / 1024:.0f} KiB; {listed}; raw "
                        f"{arr.nbytes / 1024:.0f} KiB"))
    return rows


@bench("Extra channels", [
    "C3 decode throughput, stereo 6ch u8 (JPEG XL vs Blosc-zstd)",
])
def bench_multichannel_decode(ctx: Ctx) -> List[Row]:
    ctx.need("encode", "decode")
    numcodecs, tifffile, skdata = _libs()
    arr = _datasets(skdata, ctx.p.name == "quick")["stereo 6ch u8"]
    blob = ctx.jxl.encode(arr, lossless=True, numthreads=ctx.threads)
    bl, bdec = _codecs(numcodecs, tifffile)["blosc-zstd"](arr)
    tb, tdec = _codecs(numcodecs, tifffile)["tiff-deflate"](arr)
    n = ctx.threads
    t = interleave(ctx.p.rounds, {
        "jxl": lambda: time_calls(lambda: ctx.jxl.decode(blob, extra_channels=True, numthreads=n), 1),
        "blosc": lambda: time_calls(lambda: bdec(bl), 3),
        "tiff": lambda: time_calls(lambda: tdec(tb), 1),
    })
    j, b, f = median(t["jxl"]), median(t["blosc"]), median(t["tiff"])
    mb = arr.nbytes / 1e6
    return [Row("C3", f"decode throughput, stereo 6ch u8 {arr.shape[1]}x{arr.shape[0]}",
                f"{mb / j:.0f} MB/s ({fmt_t(j)})", f"{mb / b:.0f} MB/s (blosc)",
                f"x{j / b:.1f} blosc's time", "report", "INFO",
                f"TIFF deflate {mb / f:.0f} MB/s; {n} threads")]
