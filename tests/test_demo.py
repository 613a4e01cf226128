"""scripts/demo.py, the README's first command, at a small size."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quillmarsh
from quillmarsh.codecs import jxl

ROOT = Path(__file__).resolve().parents[1]
SRC_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("quillmarsh_demo", ROOT / "scripts" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(spec.name, None)


def _table_rows(text: str) -> dict:
    """Rows of the stills table by variant name."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("variant"))
    rows = {}
    for line in lines[start + 2:]:
        if not line.strip():
            break
        name, rest = line[:28].strip(), line[28:]
        rows[name] = rest
    return rows


def test_small_demo_prints_the_table_and_writes_previews(demo, tmp_path, capsys):
    PIL = pytest.importorskip("PIL.Image")
    out = tmp_path / "demo-out"
    assert demo.main(["--quick", "--size", "192x144", "--out", str(out)]) == 0
    text = capsys.readouterr().out
    rows = _table_rows(text)
    assert [label for label, _, _ in demo.VARIANTS] == list(rows)[: len(demo.VARIANTS)]
    for name, rest in rows.items():
        if "lossless" in name:
            assert "exact (max err 0)" in rest, (name, rest)
        else:
            assert "PSNR" in rest, (name, rest)
    assert "Checks: all passed" in text
    assert "frame_count, no pixels decoded" in text and "12 frames" in text
    assert re.search(r"JPEG q90 recompressed losslessly \(transcode_jpeg\) +[\d.]+ KiB -> "
                     r"[\d.]+ KiB \(\d+\.\d% of the JPEG\)", text)
    assert re.search(r"the JPEG rebuilt from it \(reconstruct_jpeg\) +bit-exact", text)
    assert jxl.reconstruct_jpeg(out / "photo_q90_recompressed.jxl") == (out / "photo_q90.jpg").read_bytes()

    sizes = {"original.png": (192, 144), "decoded_q90.png": (192, 144),
             "thumbnail_1to8.png": (24, 18), "animation_frame11.png": (48, 36)}
    for name, size in sizes.items():
        with PIL.open(out / name) as im:
            assert im.size == size, name
    with PIL.open(out / "original.png") as im:
        original = np.asarray(im)
    # The files on disk are real streams of the image the table describes.
    np.testing.assert_array_equal(jxl.decode(out / "lossless.jxl"), original)
    assert jxl.frame_count(out / "animation_q90.jxl") == 12
    assert jxl.decode(out / "q50.jxl").shape == original.shape


def test_run_reports_exact_lossless_and_a_real_dc_prefix(demo, tmp_path):
    res = demo.run(256, 192, str(tmp_path), log=lambda _: None)
    assert all(res.checks.values()), res.checks
    by_name = {r.name: r for r in res.rows}
    assert by_name["lossless"].exact and by_name["lossless"].max_err == 0
    assert by_name["16-bit lossless, effort 1"].exact
    lossy = by_name["quality 50"]
    assert not lossy.exact and 20 < lossy.psnr_db < 60
    assert by_name["quality 50"].size < by_name["quality 95"].size < by_name["lossless"].size
    for r in res.rows:
        assert r.size == os.path.getsize(r.path)
    # Progressive lossy coding puts a DC pass first; plain lossless has none.
    prog = res.dc_prefix["q90_progressive"]
    assert prog is not None and 0 < prog < os.path.getsize(tmp_path / "q90_progressive.jxl")
    assert res.dc_prefix["lossless"] is None


def test_photo_is_deterministic_and_textured(demo):
    a, b = demo.make_photo(96, 128), demo.make_photo(96, 128)
    np.testing.assert_array_equal(a, b)
    assert a.shape == (96, 128, 3) and a.dtype == np.float32
    assert 0.0 <= a.min() and a.max() <= 1.0
    # neither flat nor noise: neighbouring pixels are close, the image varies a lot
    assert np.abs(np.diff(a, axis=1)).mean() < 0.05 < a.std()


@pytest.mark.parametrize("h, w, c", [(80, 100, 4), (10, 12, 3)])  # tiny: smaller than a frame
def test_demo_on_a_given_image(demo, tmp_path, capsys, h, w, c):
    PIL = pytest.importorskip("PIL.Image")
    from _images import synthetic

    img = synthetic(h, w, c, np.uint8, seed=8)
    PIL.fromarray(img).save(tmp_path / "mine.png")
    assert demo.main([str(tmp_path / "mine.png"), "--out", str(tmp_path / "o")]) == 0
    assert "mine.png" in capsys.readouterr().out
    np.testing.assert_array_equal(jxl.decode(tmp_path / "o" / "lossless.jxl"), img)


def test_demo_runs_as_a_script(tmp_path):
    env = dict(os.environ, PYTHONPATH=SRC_ROOT)
    proc = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "demo.py"), "--quick", "--size", "64", "--out", "d"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "Checks: all passed" in proc.stdout
    assert (tmp_path / "d" / "thumbnail_1to8.png").exists() or (
        tmp_path / "d" / "thumbnail_1to8.npy").exists()
    # Run as the README's first command runs it: the chart and the report are there.
    assert (tmp_path / "d" / "rate_quality.png").is_file()
    assert "rate_quality.png" in (tmp_path / "d" / "index.html").read_text(encoding="utf-8")


# --------------------------------------------------------------------------
# The comparison with JPEG, WebP and AVIF, and the HTML report
# --------------------------------------------------------------------------

def _fake_format(demo, param):
    lo, hi = (0.1, 15.0) if param == "distance" else (1, 100)
    return demo.formats.Format(
        name="fake", slug="fake", ext="bin", param=param, sweep=(), quick=(), lo=lo, hi=hi,
        higher_is_better=param == "quality", settings_text="", version="",
        encode=lambda img, s: b"", decode=lambda data: None)


@pytest.mark.parametrize("param, size_of", [
    # sizes grow exponentially with quality and fall as a power of distance
    ("quality", lambda q: 1000.0 * 1.04 ** q),
    ("distance", lambda d: 50000.0 * d ** -1.3),
])
def test_setting_for_a_target_size_is_interpolated_and_clamped(demo, param, size_of):
    fmt = _fake_format(demo, param)
    settings = (30, 50, 70, 90) if param == "quality" else (0.5, 1.0, 2.0, 4.0)
    points = [(s, int(size_of(s))) for s in settings]
    inside = 60 if param == "quality" else 1.5
    got = demo.formats.interpolate_setting(points, int(size_of(inside)), fmt)
    assert got == pytest.approx(inside, rel=0.03)
    # Far outside the sweep the setting is extrapolated but stays valid.
    tiny = demo.formats.interpolate_setting(points, 1, fmt)
    huge = demo.formats.interpolate_setting(points, 10**12, fmt)
    smaller, bigger = (fmt.lo, fmt.hi) if param == "quality" else (fmt.hi, fmt.lo)
    assert (tiny, huge) == (smaller, bigger)


@pytest.mark.parametrize("shape, dtype, note", [
    ((20, 30), np.uint8, "grey"),
    ((20, 30, 1), np.uint8, "grey"),
    ((20, 30, 2), np.uint8, "grey"),
    ((20, 30, 3), np.uint8, None),
    ((20, 30, 4), np.uint8, "alpha"),
    ((20, 30, 3), np.uint16, ValueError),
])
def test_comparison_takes_every_layout_as_rgb(demo, shape, dtype, note):
    img = np.random.default_rng(3).integers(0, 255, shape).astype(dtype)
    if note is ValueError:
        with pytest.raises(ValueError):
            demo.formats.comparable_rgb(img)
        return
    rgb, change = demo.formats.comparable_rgb(img)
    assert rgb.shape == (20, 30, 3) and rgb.dtype == np.uint8 and rgb.flags.c_contiguous
    np.testing.assert_array_equal(rgb[..., 0], img if img.ndim == 2 else img[..., 0])
    assert (change is None) if note is None else (note in change)


def test_crops_come_from_the_most_detailed_region(demo):
    img = np.full((300, 400, 3), 128, np.uint8)
    rng = np.random.default_rng(5)
    img[180:260, 240:360] = rng.integers(0, 255, (80, 120, 3))
    y, x, h, w = demo.compare.detail_region(img, 96, 128)
    assert (h, w) == (96, 128)
    # the window holds the textured patch (on the 16-pixel grid)
    assert y <= 180 and y + h >= 260 - 16 and x <= 240 and x + w >= 360 - 16
    assert demo.compare.detail_region(img[:50, :60], 96, 128) == (0, 0, 50, 60)


def _ssimulacra2_or_skip(demo):
    exe = demo.metrics.find_ssimulacra2()
    if exe is None:
        pytest.skip("ssimulacra2 is not installed (scripts/build-ssimulacra2)")
    return exe


def test_ssimulacra2_scores_fall_as_distortion_grows(demo):
    metric = demo.metrics.ssimulacra2_metric(_ssimulacra2_or_skip(demo))
    img = demo.to_uint8(demo.make_photo(96, 128))
    rng = np.random.default_rng(9)
    noisy = [np.clip(img + rng.normal(0, s, img.shape), 0, 255).astype(np.uint8)
             for s in (2.0, 8.0, 24.0)]
    scores = metric.score(img, [img] + noisy)
    assert scores[0] == pytest.approx(100.0, abs=0.01)
    assert scores[0] > scores[1] > scores[2] > scores[3]


def test_a_failing_metric_tool_is_an_error_not_a_score(demo, tmp_path):
    fake = tmp_path / "ssimulacra2"
    fake.write_text("#!/bin/sh\necho 'Image size mismatch.' >&2\nexit 1\n")
    fake.chmod(0o755)
    metric = demo.metrics.ssimulacra2_metric(str(fake))
    img = np.zeros((16, 16, 3), np.uint8)
    with pytest.raises(RuntimeError, match="size mismatch"):
        metric.score(img, [img])
    fake.write_text("#!/bin/sh\necho nonsense\n")
    with pytest.raises(RuntimeError, match="no score"):
        metric.score(img, [img])


def test_without_the_tool_the_chart_says_psnr(demo, monkeypatch):
    monkeypatch.setattr(demo.metrics, "find_ssimulacra2", lambda: None)
    metric = demo.metrics.best_metric()
    assert metric.name == "PSNR" and not metric.perceptual
    assert "not a perceptual metric" in metric.axis_label


def _page_refs(html_text: str) -> list:
    import re
    return re.findall(r'<(?:img|a)\b[^>]*?(?:src|href)="([^"#]+)"', html_text)


@pytest.fixture(scope="module")
def report(demo, tmp_path_factory):
    """One quick demo run at a small size: its output directory and stdout."""
    pytest.importorskip("PIL.Image")
    pytest.importorskip("matplotlib")
    out = tmp_path_factory.mktemp("report") / "demo-out"
    import contextlib
    import io
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        assert demo.main(["--quick", "--size", "256x192", "--out", str(out)]) == 0
    return out, buf.getvalue()


def test_report_compares_every_format_at_the_same_size(demo, report):
    from PIL import Image
    from PIL import features

    out, text = report
    page = (out / "index.html").read_text(encoding="utf-8")
    names = ["JPEG XL", "JPEG", "WebP"] + (["AVIF"] if features.check("avif") else [])
    for name in names:
        assert f"<td>{name}</td>" in page, name
    # The crops: the original and one per format, each file within 10 % of
    # the shared target size, all cut from the same region.
    crops = sorted((out / "compare").glob("crop_*.png"))
    assert len(crops) == len(names) + 1
    sizes = {Image.open(c).size for c in crops}
    assert len(sizes) == 1
    matched = [p for p in (out / "compare").iterdir() if "_matched." in p.name]
    assert len(matched) == len(names)
    target = (out / "compare" / "jpg_75.jpg").stat().st_size
    for p in matched:
        assert abs(p.stat().st_size / target - 1) < 0.10, (p.name, p.stat().st_size, target)
    # What the page says about the JPEG XL file is what decoding it gives.
    jxl_crop = np.asarray(Image.open(out / "compare" / "crop_jxl.png"))
    full = jxl.decode(out / "compare" / "jxl_matched.jxl")
    assert any(np.array_equal(jxl_crop, full[y:y + jxl_crop.shape[0], x:x + jxl_crop.shape[1]])
               for y in range(0, full.shape[0] - jxl_crop.shape[0] + 1, 16)
               for x in range(0, full.shape[1] - jxl_crop.shape[1] + 1, 16))
    assert "Report: " in text and "JPEG XL against JPEG, WebP and AVIF" in text


def test_report_has_jpeg_xl_at_the_score_and_size_of_jpeg_75(report):
    out, text = report
    if "SSIMULACRA 2" not in text:
        pytest.skip("the targets need the SSIMULACRA 2 tool for the demo's scores")
    jpeg = re.search(r"JPEG     quality 75 +[\d.]+ KiB SSIMULACRA 2 +([\d.]+)", text)
    rows = {kind: (float(kib), float(score)) for kind, kib, score in re.findall(
        r"at the (score|size) of JPEG quality 75 +distance [\d.]+ +([\d.]+) KiB "
        r"SSIMULACRA 2 +([\d.]+)", text)}
    assert jpeg and set(rows) == {"score", "size"}, text
    # The demo scores with the tool, the writer with the package's metric.
    assert rows["score"][1] >= float(jpeg.group(1)) - 0.3
    jpeg_75 = (out / "compare" / "jpg_75.jpg").stat().st_size
    assert (out / "compare" / "jxl_target_size.jxl").stat().st_size <= jpeg_75
    page = (out / "index.html").read_text(encoding="utf-8")
    for label in ("JPEG XL at the score of JPEG quality 75", "JPEG XL at the size of JPEG quality 75"):
        assert label in page


def test_report_charts_are_real_pictures(report):
    from PIL import Image

    out, _ = report
    for name in ("rate_quality.png", "speed.png"):
        with Image.open(out / name) as im:
            assert im.width >= 800 and im.height >= 400
            colours = im.convert("RGB").getcolors(maxcolors=1 << 20)
        assert colours is not None and len(colours) > 50, name  # not blank


def test_every_reference_on_the_page_resolves_inside_the_output(report):
    import re

    out, _ = report
    page = (out / "index.html").read_text(encoding="utf-8")
    refs = _page_refs(page)
    for needed in ("rate_quality.png", "thumbnail_1to8.png", "animation_frame11.png",
                   "compare/crop_original.png"):
        assert needed in refs
    for ref in refs:
        assert "://" not in ref and not ref.startswith("/"), ref  # no network, no absolute path
        target = (out / ref).resolve()
        assert target.is_file() and out.resolve() in target.parents, ref
    assert "<script" not in page and "http" not in page
    ids = re.findall(r'\bid="([^"]+)"', page)
    assert len(ids) == len(set(ids))  # the page's anchors and the browser check need unique ids


def _chromium():
    import shutil
    for name in ("chromium", "chromium-browser", "chromium-headless-shell", "google-chrome"):
        exe = shutil.which(name)
        if exe:
            return exe
    return None


@pytest.fixture(scope="session")
def chromium():
    """Headless Chromium; installed from Debian's packages when this test is selected."""
    exe = _chromium()
    if exe is None and os.geteuid() == 0 and _which("apt-get"):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        lock = ["-o", "DPkg::Lock::Timeout=600"]
        subprocess.run(["apt-get", *lock, "update", "-qq"], env=env, capture_output=True,
                       timeout=900)
        subprocess.run(["apt-get", *lock, "install", "-y", "-qq", "--no-install-recommends",
                        "chromium"], env=env, capture_output=True, timeout=1800)
        exe = _chromium()
    if exe is None:
        pytest.skip("no Chromium, and it cannot be installed here")
    return exe


def _which(name):
    import shutil
    return shutil.which(name)


# Appended to a copy of the page: reports, once everything has loaded, which
# images failed and where the chart sits.
PROBE = """<script>
window.addEventListener("load", () => {
  const imgs = [...document.images];
  const chart = document.getElementById("chart-rate-quality");
  const box = chart.getBoundingClientRect(), style = getComputedStyle(chart);
  const out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify({
    images: imgs.length,
    broken: imgs.filter(i => !i.complete || i.naturalWidth === 0).map(i => i.getAttribute("src")),
    chart: {natural: [chart.naturalWidth, chart.naturalHeight], shown: [box.width, box.height],
            top: box.top + window.scrollY, visible: style.display !== "none" &&
            style.visibility === "visible" && style.opacity !== "0"}});
  document.body.appendChild(out);
});
</script></body>"""


@pytest.mark.slow
@pytest.mark.browser
def test_page_renders_in_a_real_browser(report, chromium, tmp_path):
    import json
    import re

    from PIL import Image

    out, _ = report
    page = (out / "index.html").read_text(encoding="utf-8")
    probe = out / "probe.html"
    probe.write_text(page.replace("</body>", PROBE), encoding="utf-8")
    common = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
              f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1200,1600"]
    try:
        dom = subprocess.run([*common, "--virtual-time-budget=15000", "--dump-dom",
                              probe.as_uri()], capture_output=True, text=True, timeout=300)
    finally:
        probe.unlink()
    found = re.search(r'<pre id="probe">(.*?)</pre>', dom.stdout, re.S)
    assert found, dom.stderr[-2000:]
    result = json.loads(found.group(1).replace("&quot;", '"'))
    assert result["images"] == page.count("<img ") and result["broken"] == []
    chart = result["chart"]
    assert chart["visible"] and chart["natural"][0] >= 800
    assert chart["shown"][0] >= 600 and chart["shown"][1] >= 300 and chart["top"] < 1600

    # The screenshot shows the chart: JPEG XL's red curve is on screen.
    shot = tmp_path / "shot.png"
    subprocess.run([*common, f"--screenshot={shot}", (out / "index.html").as_uri()],
                   capture_output=True, timeout=300)
    pixels = np.asarray(Image.open(shot).convert("RGB")).astype(int)
    red = np.abs(pixels - np.array([0xD6, 0x27, 0x28])).sum(axis=2) < 60
    assert red.sum() > 200


def test_images_below_the_metric_tools_minimum_are_scored_with_psnr(demo, tmp_path):
    pytest.importorskip("PIL.Image")
    img = np.random.default_rng(4).integers(0, 255, (6, 40, 3)).astype(np.uint8)
    cmp = demo.run_comparison(img, str(tmp_path), quick=True, log=lambda _: None)
    assert cmp.metric.name == "PSNR"
    assert cmp.points and all(p.score == p.psnr_db for p in cmp.points)
