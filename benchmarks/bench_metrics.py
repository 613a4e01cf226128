"""M1-M3: quillmarsh.metrics.ssimulacra2 against libjxl's ssimulacra2 tool.

M1 times the module against the tool on the same 2 MP pair (the tool reads
two PNG files already on disk; the module is given the arrays), M2 is the
module's CPU time for that pair on one thread, M3 the agreement of the scores
over the validation corpus (>= 40 pairs: Pillow's test photographs, the
demo's image, JPEG XL, JPEG, WebP and AVIF decodes at several qualities,
grey, alpha, 16-bit, float input, odd sizes, 8x8).

Run alone, it prints every pair of the corpus with both scores:

    PYTHONPATH=src .venv/bin/python benchmarks/bench_metrics.py [--quick] [--only NAME]

exit status 1 when the agreement misses (a pair more than 0.2 apart, or
0.05 apart on average).
"""

from __future__ import annotations

import argparse
import io
import math
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from harness import Ctx, Row, bench, fmt_t, interleave, median, verdict  # noqa: E402

TOOL_PATHS = ("/usr/local/bin/ssimulacra2",)
MAX_DIFF, MEAN_DIFF = 0.2, 0.05


def find_tool() -> Optional[str]:
    exe = shutil.which("ssimulacra2")
    if exe:
        return exe
    return next((p for p in TOOL_PATHS if Path(p).exists()), None)


def tool_score(exe: str, a: Path, b: Path) -> float:
    proc = subprocess.run([exe, str(a), str(b)], capture_output=True, text=True, check=True)
    return float(proc.stdout.split()[0])


# ---------------------------------------------------------------------------
# the corpus

@dataclass
class Pair:
    name: str
    ref: np.ndarray          # what the module is given
    dist: np.ndarray
    ref_png: Path            # what the tool is given (the same pixels)
    dist_png: Path
    linear: bool = False


def pillow_images() -> Optional[Path]:
    import PIL

    d = Path.home() / ".cache" / "quillmarsh" / f"pillow-{PIL.__version__}" / "Tests" / "images"
    return d if d.is_dir() else None


def demo_photo(h: int, w: int) -> np.ndarray:
    sys.path.insert(0, str(ROOT / "scripts"))
    from demo import make_photo

    out: np.ndarray = np.rint(make_photo(h, w) * 255.0).astype(np.uint8)
    return out


def _pil_roundtrip(img: np.ndarray, fmt: str, **kw) -> np.ndarray:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(img).save(buf, fmt, **kw)
    buf.seek(0)
    with Image.open(buf) as im:
        return np.asarray(im.convert("L" if img.ndim == 2 else "RGB"))


def _jxl_roundtrip(img: np.ndarray, distance: float) -> np.ndarray:
    from quillmarsh.codecs import jxl

    out: np.ndarray = jxl.decode(jxl.encode(img, distance=distance, effort=3))
    return out


# (label, distortion) pairs applied to each photograph
DISTORTIONS: Dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "jxl d1": lambda im: _jxl_roundtrip(im, 1.0),
    "jxl d3": lambda im: _jxl_roundtrip(im, 3.0),
    "jxl d8": lambda im: _jxl_roundtrip(im, 8.0),
    "jpeg q90": lambda im: _pil_roundtrip(im, "JPEG", quality=90),
    "jpeg q50": lambda im: _pil_roundtrip(im, "JPEG", quality=50),
    "jpeg q15": lambda im: _pil_roundtrip(im, "JPEG", quality=15),
    "webp q80": lambda im: _pil_roundtrip(im, "WEBP", quality=80),
    "webp q30": lambda im: _pil_roundtrip(im, "WEBP", quality=30),
    "avif q70": lambda im: _pil_roundtrip(im, "AVIF", quality=70),
    "avif q30": lambda im: _pil_roundtrip(im, "AVIF", quality=30),
}

# Pillow's test photographs and which distortions each gets (every
# distortion is used on a few of them).
PHOTOS = {
    "hopper.png": ["jxl d1", "jpeg q50", "webp q30", "avif q70"],
    "flower.jpg": ["jxl d3", "jpeg q90", "webp q80", "avif q30"],
    "iptc.jpg": ["jxl d8", "jpeg q15", "avif q70"],
    "exif_typeerror.jpg": ["jxl d1", "jpeg q50", "webp q30"],
    "junk_jpeg_header.jpg": ["jxl d3", "jpeg q90", "avif q30"],
    "sugarshack_bad_mpo_header.jpg": ["jxl d8", "webp q80"],
    "exif-72dpi-int.jpg": ["jpeg q15", "jxl d1"],
    "xmp_test.jpg": ["jxl d1", "jpeg q50"],
    "flower2.jpg": ["jxl d3", "webp q80"],
    "icc_profile_big.jpg": ["avif q30", "jpeg q90"],
    "pil168.tif": ["jpeg q90", "jxl d8"],
}


def _load(path: Path, mode: str = "RGB") -> np.ndarray:
    import warnings

    from PIL import Image

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with Image.open(path) as im:
            return np.asarray(im.convert(mode))


def _save_png(arr: np.ndarray, path: Path) -> Path:
    from PIL import Image

    if arr.dtype == np.uint16 and arr.ndim != 2:
        raise ValueError("16-bit PNGs are written grey here")
    Image.fromarray(arr).save(path)
    return path


def build_corpus(workdir: Path, quick: bool = False) -> List[Pair]:
    """The validation pairs, their PNGs written under `workdir`."""
    pairs: List[Pair] = []

    def add(name: str, ref: np.ndarray, dist: np.ndarray, ref_png: Optional[Path] = None,
            dist_png: Optional[Path] = None, module_ref=None, module_dist=None, linear=False):
        i = len(pairs)
        rp = ref_png or _save_png(ref, workdir / f"{i:02d}_ref.png")
        dp = dist_png or _save_png(dist, workdir / f"{i:02d}_dist.png")
        pairs.append(Pair(name, ref if module_ref is None else module_ref,
                          dist if module_dist is None else module_dist, rp, dp, linear))

    images = pillow_images()
    if images is not None:
        for fname, kinds in PHOTOS.items():
            if quick and fname != "hopper.png":
                continue
            img = _load(images / fname)
            for kind in kinds:
                add(f"{fname} {kind}", img, DISTORTIONS[kind](img))
        grey = _load(images / "hopper_bad_exif.jpg", "L")
        if quick:
            grey = grey[:128, :160]
        for q in (20, 80):
            add(f"hopper_bad_exif.jpg grey jpeg q{q}", grey, _pil_roundtrip(grey, "JPEG", quality=q))
        flower = _load(images / "flower.jpg")
        odd = flower[3:3 + 97, 5:5 + 131]
        add("flower.jpg 131x97 jpeg q40", odd, _pil_roundtrip(odd, "JPEG", quality=40))
        odd = flower[:9, :13]
        add("flower.jpg 13x9 jxl d2", odd, _jxl_roundtrip(odd, 2.0))
        tiny = flower[100:108, 200:208]
        add("flower.jpg 8x8 jpeg q30", tiny, _pil_roundtrip(tiny, "JPEG", quality=30))
        tiny = flower[50:58, 50:65]
        add("flower.jpg 15x8 webp q20", tiny, _pil_roundtrip(tiny, "WEBP", quality=20))
        # float input: the module given float32 sRGB, the tool the 8-bit PNGs
        img = _load(images / ("hopper.png" if quick else "iptc.jpg"))
        dist = DISTORTIONS["jpeg q50"](img)
        add("jpeg q50, float32 input", img, dist,
            module_ref=img.astype(np.float32) / 255, module_dist=dist.astype(np.float32) / 255)
        # alpha: blended onto dark and light backgrounds, the lower score
        alpha = np.linspace(0, 255, flower.shape[1]).astype(np.uint8)
        alpha = np.repeat(alpha[None, :], flower.shape[0], 0)
        add("flower.jpg RGBA jpeg q60", np.dstack([flower, alpha]),
            np.dstack([_pil_roundtrip(flower, "JPEG", quality=60), alpha]))
        add("flower.jpg grey+alpha jpeg q40", np.dstack([flower[..., 1], alpha]),
            np.dstack([_pil_roundtrip(flower[..., 1], "JPEG", quality=40), alpha]))
        # 16-bit grey
        g16 = (grey.astype(np.uint16) * 257)
        noisy = np.clip(g16.astype(np.int64) + np.random.default_rng(1).normal(0, 900, g16.shape)
                        .astype(np.int64), 0, 65535).astype(np.uint16)
        add("hopper_bad_exif.jpg 16-bit grey + noise", g16, noisy)
    h, w = (256, 320) if quick else (1080, 1920)
    photo = demo_photo(h, w)
    for kind in ("jxl d1", "jxl d3", "jpeg q75", "webp q75", "avif q50"):
        if kind == "jpeg q75":
            dist = _pil_roundtrip(photo, "JPEG", quality=75)
        elif kind == "webp q75":
            dist = _pil_roundtrip(photo, "WEBP", quality=75)
        elif kind == "avif q50":
            dist = _pil_roundtrip(photo, "AVIF", quality=50)
        else:
            dist = DISTORTIONS[kind](photo)
        add(f"demo photo {w}x{h} {kind}", photo, dist)
    add(f"demo photo {w}x{h} identical", photo, photo.copy())
    return pairs


# ---------------------------------------------------------------------------
# agreement

@dataclass
class Result:
    name: str
    shape: tuple
    tool: float
    module: float
    tool_s: float
    module_s: float

    @property
    def diff(self) -> float:
        return self.module - self.tool


def compare(pairs: List[Pair], exe: str) -> List[Result]:
    from quillmarsh.metrics import ssimulacra2

    out = []
    for p in pairs:
        t0 = time.perf_counter()
        t = tool_score(exe, p.ref_png, p.dist_png)
        t1 = time.perf_counter()
        m = ssimulacra2(p.ref, p.dist, linear=p.linear)
        t2 = time.perf_counter()
        out.append(Result(p.name, p.ref.shape, t, m, t1 - t0, t2 - t1))
    return out


def agreement(results: List[Result]) -> tuple:
    diffs = [abs(r.diff) for r in results]
    return max(diffs), sum(diffs) / len(diffs), sum(r.diff for r in results) / len(results)


def print_results(results: List[Result]) -> None:
    print(f"{'pair':48} {'shape':>15} {'tool':>12} {'module':>12} {'diff':>9}")
    for r in results:
        print(f"{r.name:48} {str(r.shape):>15} {r.tool:12.6f} {r.module:12.6f} {r.diff:+9.5f}")
    mx, mean_abs, mean = agreement(results)
    print(f"{len(results)} pairs: max |diff| {mx:.5f} (<= {MAX_DIFF}), mean |diff| {mean_abs:.5f} "
          f"(<= {MEAN_DIFF}), mean diff {mean:+.5f}")


# ---------------------------------------------------------------------------
# benchmark rows

@bench("Metric", ["M1 ssimulacra2 vs the tool, 2 MP pair (arrays vs PNGs on disk)",
                  "M2 ssimulacra2 2 MP, one thread, CPU time",
                  "M3 ssimulacra2 agreement with the tool"])
def bench_metric(ctx: Ctx) -> List[Row]:
    try:
        from quillmarsh import metrics
    except ImportError as exc:
        return [Row(k, "", status="MISSING", note=str(exc)) for k in ("M1", "M2", "M3")]
    exe = find_tool()
    if exe is None:
        return [Row(k, "", status="SKIP", note="libjxl's ssimulacra2 tool is not installed "
                    "(bash scripts/build-ssimulacra2)") for k in ("M1", "M2", "M3")]
    quick = ctx.p.name == "quick"
    h, w = (256, 320) if quick else (1080, 1920)
    work = Path(tempfile.mkdtemp(dir=ctx.dir))
    photo = demo_photo(h, w)
    dist = _pil_roundtrip(photo, "JPEG", quality=75)
    a, b = _save_png(photo, work / "ref.png"), _save_png(dist, work / "dist.png")
    t = interleave(ctx.p.rounds, {
        "module": lambda: [_wall(lambda: metrics.ssimulacra2(photo, dist))],
        "tool": lambda: [_wall(lambda: tool_score(exe, a, b))],
    })
    m, r = median(t["module"]), median(t["tool"])
    cpu_m, cpu_t = _cpu_times(ctx.p.rounds, lambda: metrics.ssimulacra2(photo, dist),
                              lambda: tool_score(exe, a, b))
    rows = [Row("M1", "", fmt_t(m), fmt_t(r), f"x{r / m:.2f} faster", ">= x3.00",
                verdict(r / m >= 3.0),
                f"{w}x{h}, wall time, {ctx.threads} threads on a shared machine; CPU time "
                f"(all threads): module {fmt_t(cpu_m)}, tool {fmt_t(cpu_t)} (x{cpu_t / cpu_m:.2f})")]
    cpu = []
    for _ in range(ctx.p.rounds):
        c0 = time.process_time()
        metrics.ssimulacra2(photo, dist, numthreads=1)
        cpu.append(time.process_time() - c0)
    c = median(cpu)
    limit = 0.3 * (h * w) / 2e6
    rows.append(Row("M2", "", fmt_t(c), "", fmt_t(c), f"<= {fmt_t(limit)}", verdict(c <= limit),
                    f"{w}x{h}, numthreads=1, process CPU time"))
    res = compare(build_corpus(work, quick), exe)
    mx, mean_abs, mean = agreement(res)
    ok = mx <= MAX_DIFF and mean_abs <= MEAN_DIFF
    rows.append(Row("M3", "", "", "", f"max {mx:.3f}, mean {mean_abs:.4f}",
                    f"<= {MAX_DIFF}, <= {MEAN_DIFF}", verdict(ok),
                    f"{len(res)} pairs, mean signed difference {mean:+.4f}"))
    return rows


def _cpu_times(rounds: int, module: Callable[[], object], tool: Callable[[], object]) -> tuple:
    """Median CPU time of the module's call (this process, every thread) and
    of the tool's run (its child process), interleaved."""
    import resource

    mod, ref = [], []
    for _ in range(rounds):
        c0 = time.process_time()
        module()
        mod.append(time.process_time() - c0)
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        tool()
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        ref.append(r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime)
    return median(mod), median(ref)


def _wall(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="the quick profile's corpus: small images only")
    ap.add_argument("--only", help="pairs whose name contains this")
    args = ap.parse_args(argv)
    exe = find_tool()
    if exe is None:
        print("libjxl's ssimulacra2 tool is not installed (bash scripts/build-ssimulacra2)")
        return 1
    with tempfile.TemporaryDirectory(prefix="qm-metric-") as d:
        pairs = build_corpus(Path(d), args.quick)
        if args.only:
            pairs = [p for p in pairs if args.only in p.name]
        results = compare(pairs, exe)
    print_results(results)
    mx, mean_abs, _ = agreement(results)
    t_tool = sum(r.tool_s for r in results)
    t_mod = sum(r.module_s for r in results)
    print(f"time over the corpus: tool {t_tool:.2f} s, module {t_mod:.2f} s "
          f"(x{t_tool / t_mod:.1f})")
    return 0 if mx <= MAX_DIFF and mean_abs <= MEAN_DIFF and not math.isnan(mx) else 1


if __name__ == "__main__":
    sys.exit(main())
