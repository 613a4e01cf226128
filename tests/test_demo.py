"""scripts/demo.py, the README's first command, at a small size."""

from __future__ import annotations

import importlib.util
import os
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
    assert demo.main(["--size", "192x144", "--out", str(out)]) == 0
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


def test_demo_on_a_given_image(demo, tmp_path, capsys):
    PIL = pytest.importorskip("PIL.Image")
    from _images import synthetic

    img = synthetic(80, 100, 4, np.uint8, seed=8)
    PIL.fromarray(img).save(tmp_path / "mine.png")
    assert demo.main([str(tmp_path / "mine.png"), "--out", str(tmp_path / "o")]) == 0
    assert "mine.png" in capsys.readouterr().out
    np.testing.assert_array_equal(jxl.decode(tmp_path / "o" / "lossless.jxl"), img)


def test_demo_runs_as_a_script(tmp_path):
    env = dict(os.environ, PYTHONPATH=SRC_ROOT)
    proc = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "demo.py"), "--size", "64", "--out", "d"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "Checks: all passed" in proc.stdout
    assert (tmp_path / "d" / "thumbnail_1to8.png").exists() or (
        tmp_path / "d" / "thumbnail_1to8.npy").exists()
