"""Checks of the benchmark tooling itself (not collected by the main suite).

A ratio against jxlbench_direct only means something when the direct
program does exactly the module's job: same pixels out of the decoder, same
bytes out of the encoder, same frame count. These tests hold it to that, and
check the memory probe and the slow file-like the benchmarks rely on.

    PYTHONPATH=src .venv/bin/python -m pytest -q benchmarks/test_harness.py
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench  # noqa: E402
import harness  # noqa: E402
from images import panning, photo  # noqa: E402


@pytest.fixture(scope="session")
def direct_path() -> Path:
    return harness.ensure_direct(None)


@pytest.fixture(scope="session")
def jxl():
    mod, err = harness.load_module()
    if mod is None:
        pytest.skip(f"module not importable: {err}")
    return mod


def needs(jxl, *names):
    missing = [n for n in names if not hasattr(jxl, n)]
    if missing:
        pytest.skip(f"module has no {', '.join(missing)} yet")


@pytest.fixture
def ctx(tmp_path, jxl, direct_path):
    return harness.Ctx(harness.QUICK, jxl, harness.Direct(direct_path, 2), tmp_path, 2)


def run_direct(direct_path: Path, *args: str) -> dict:
    proc = subprocess.run([str(direct_path), *args], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# Images of every layout and sample type the direct program handles.
IMAGES = {
    "rgb8": lambda: photo(48, 64, 3, np.uint8, seed=1),
    "rgba16": lambda: photo(40, 56, 4, np.uint16, seed=2),
    "grey8": lambda: photo(40, 56, 3, np.uint8, seed=3)[..., 1].copy(),
    "la8": lambda: photo(40, 56, 4, np.uint8, seed=4)[..., 2:].copy(),
    "anim8": lambda: panning(3, 32, 40, 3, np.uint8, seed=5, step=4),
}


@pytest.mark.parametrize("image,kw", [
    ("rgb8", dict(distance=1.0)),
    ("rgb8", dict(distance=2.5, effort=7)),
    ("rgb8", dict(lossless=True, effort=3)),
    ("rgb8", dict(distance=1.0, progressive=True)),
    ("rgb8", dict(lossless=True, progressive=True, numthreads=1)),
    ("rgba16", dict(distance=1.0)),
    ("rgba16", dict(lossless=True, effort=2)),
    ("grey8", dict(distance=1.0)),
    ("la8", dict(lossless=True)),
    ("anim8", dict(distance=1.0, animation=True)),
    ("anim8", dict(lossless=True, effort=1, animation=True)),
])
def test_direct_encoder_writes_the_modules_bytes(ctx, jxl, image, kw):
    needs(jxl, "encode")
    arr = IMAGES[image]()
    kw = dict(kw)
    kw.setdefault("numthreads", 2)
    out = ctx.dir / "direct.jxl"
    ctx.direct.run("encode", *ctx.direct_encode_args(arr, image, **kw), "--out", str(out),
                   threads=kw["numthreads"], repeat=1, warmup=0)
    assert out.read_bytes() == jxl.encode(arr, **kw)


@pytest.mark.parametrize("image,kw", [
    ("rgb8", dict(distance=1.0)),
    ("rgba16", dict(lossless=True)),
    ("grey8", dict(distance=1.5)),
    ("la8", dict(distance=1.0)),
    ("anim8", dict(distance=1.0, animation=True)),
])
@pytest.mark.parametrize("threads", [1, 2])
def test_direct_decoder_delivers_the_modules_pixels(ctx, jxl, image, kw, threads):
    needs(jxl, "decode")
    arr = IMAGES[image]()
    path = ctx.encode_file(image, arr, **kw)
    got = jxl.decode(path.read_bytes(), numthreads=threads)
    ctx.direct.threads = threads
    assert harness.same_pixels(ctx, path, got) == "yes"


@pytest.mark.parametrize("index", [0, 1, 2])
def test_direct_decoder_index_is_the_modules_frame(ctx, jxl, index):
    needs(jxl, "decode")
    arr = IMAGES["anim8"]()
    path = ctx.encode_file("anim", arr, lossless=True, animation=True)
    out = ctx.dir / "frame.raw"
    res = ctx.direct.run("decode", "--in", str(path), "--index", str(index), "--out", str(out),
                         repeat=1, warmup=0)
    assert res["frames"] == 1
    assert out.read_bytes() == arr[index].tobytes()  # lossless: the frame itself
    assert out.read_bytes() == jxl.decode(path.read_bytes(), index=index).tobytes()


def test_direct_decoder_matches_djxl(tmp_path, direct_path):
    """Independent of the module: libjxl's own tool decodes to the same pixels."""
    djxl = shutil.which("djxl")
    cjxl = shutil.which("cjxl")
    if not (djxl and cjxl):
        pytest.skip("cjxl/djxl not installed")
    arr = photo(40, 56, 3, np.uint8, seed=9)
    from PIL import Image

    Image.fromarray(arr).save(tmp_path / "in.png")
    subprocess.run([cjxl, str(tmp_path / "in.png"), str(tmp_path / "a.jxl"), "-d", "1", "--quiet"],
                   check=True, capture_output=True)
    subprocess.run([djxl, str(tmp_path / "a.jxl"), str(tmp_path / "ref.ppm"), "--quiet"],
                   check=True, capture_output=True)
    ref = np.asarray(Image.open(tmp_path / "ref.ppm"))
    run_direct(direct_path, "decode", "--in", str(tmp_path / "a.jxl"), "--out", str(tmp_path / "d.raw"),
               "--repeat", "1", "--warmup", "0")
    got = np.fromfile(tmp_path / "d.raw", np.uint8).reshape(ref.shape)
    np.testing.assert_array_equal(got, ref)


@pytest.mark.parametrize("kw,expect", [
    (dict(distance=1.0, progressive=True), [8]),
    # Single-pass VarDCT over more than one 256x256 group still has its DC
    # sections first; within one group there is no separate DC pass.
    (dict(distance=1.0), [8]),
    (dict(distance=1.0, side=256), [0]),
    (dict(lossless=True), [0]),          # modular without squeeze: no progression point
])
def test_direct_flush_stops_where_libjxl_allows(ctx, jxl, kw, expect):
    needs(jxl, "encode")
    kw = dict(kw)
    side = kw.pop("side", 512)
    path = ctx.encode_file("p", photo(side, side, 3, np.uint8, seed=6), **kw)
    res = ctx.direct.run("flush", "--in", str(path), repeat=1, warmup=0)
    assert res["ratios"] == expect
    assert res["out_bytes"] == (side // 8) ** 2 * 3  # one 1:8 copy per frame


def test_direct_flush_and_count_walk_every_frame(ctx, jxl):
    needs(jxl, "encode", "frame_count")
    path = ctx.encode_file("anim", IMAGES["anim8"](), distance=1.0, animation=True)
    assert len(ctx.direct.run("flush", "--in", str(path), repeat=1, warmup=0)["ratios"]) == 3
    count = ctx.direct.run("count", "--in", str(path), threads=1, repeat=1, warmup=0)["frames"]
    assert count == 3 == jxl.frame_count(path.read_bytes())


@pytest.mark.parametrize("quality, options", [(90, {}), (60, {"progressive": True}),
                                              (80, {"subsampling": "4:4:4", "mode": "L"})])
def test_direct_jpeg_modes_do_the_modules_job(ctx, jxl, quality, options):
    """jpeg-transcode writes transcode_jpeg's bytes; jpeg-reconstruct gives the JPEG back."""
    needs(jxl, "transcode_jpeg")
    from PIL import Image

    mode = options.pop("mode", "RGB")
    src = ctx.dir / f"q{quality}.jpg"
    Image.fromarray(photo(120, 152, 3, np.uint8, seed=quality)).convert(mode).save(
        src, quality=quality, **options)
    out, back = ctx.dir / "direct.jxl", ctx.dir / "direct.jpg"
    res = ctx.direct.run("jpeg-transcode", "--in", str(src), "--out", str(out), repeat=1, warmup=0)
    assert out.read_bytes() == jxl.transcode_jpeg(src, numthreads=2)
    assert res["out_bytes"] == out.stat().st_size
    ctx.direct.run("jpeg-reconstruct", "--in", str(out), "--out", str(back), repeat=1, warmup=0)
    assert back.read_bytes() == src.read_bytes()


def test_direct_program_refuses_bad_input(tmp_path, direct_path):
    bad = tmp_path / "bad.jxl"
    bad.write_bytes(b"not a jpeg xl stream")
    proc = subprocess.run([str(direct_path), "decode", "--in", str(bad)], capture_output=True, text=True)
    assert proc.returncode != 0 and "JXL_DEC_ERROR" in proc.stderr
    raw = tmp_path / "short.raw"
    raw.write_bytes(bytes(10))
    proc = subprocess.run([str(direct_path), "encode", "--raw", str(raw), "--width", "4", "--height", "4"],
                          capture_output=True, text=True)
    assert proc.returncode != 0 and "expected 48" in proc.stderr


def test_memory_probe_sees_the_output_buffer(ctx, jxl):
    """Peak RSS growth must cover at least the decoded array, on both sides,
    whatever the harness process itself holds (it holds a large array here)."""
    needs(jxl, "decode")
    ballast = np.ones(64 << 20, np.uint8)  # 64 MiB in the parent must not mask the children
    arr = photo(1024, 1024, 3, np.uint8, seed=8)
    path = ctx.encode_file("m", arr, distance=1.0)
    mod = harness.run_child({"op": "decode", "path": str(path), "kwargs": {"numthreads": 2}})
    ref = ctx.direct.run("decode", "--in", str(path), mem=True)
    for res in (mod, ref):
        assert harness.growth(res) >= arr.nbytes / 1024
    assert ballast.sum() == ballast.size


def test_slow_file_reads_the_file_and_sleeps_per_read(tmp_path):
    p = tmp_path / "f.bin"
    payload = bytes(range(256)) * 40
    p.write_bytes(payload)
    f = harness.SlowFile(p, 0.01)
    chunks = []
    t0 = time.perf_counter()
    while True:
        c = f.read(4096)
        if not c:
            break
        chunks.append(c)
    elapsed = time.perf_counter() - t0
    f.seek(0, 2)
    assert f.tell() == len(payload)
    f.close()
    assert b"".join(chunks) == payload and f.reads == 4
    assert elapsed >= 4 * 0.01


def test_photo_is_deterministic_and_compresses_like_a_photo(ctx, jxl):
    a = photo(96, 128, 3, np.uint8, seed=3)
    assert a.shape == (96, 128, 3) and a.dtype == np.uint8
    np.testing.assert_array_equal(a, photo(96, 128, 3, np.uint8, seed=3))
    assert not np.array_equal(a, photo(96, 128, 3, np.uint8, seed=4))
    # Bands are generated separately; a band edge must not show as a seam.
    b = photo(600, 64, 3, np.uint8, seed=3).astype(np.int16)
    steps = np.abs(np.diff(b, axis=0)).mean(axis=(1, 2))
    assert steps[255] < 3 * np.median(steps)
    needs(jxl, "encode")
    big = photo(256, 256, 3, np.uint8, seed=3)
    bpp = 8 * len(jxl.encode(big, lossless=True, effort=1)) / (256 * 256)
    assert 4 < bpp < 20  # neither flat (a few bits) nor white noise (24)


@pytest.mark.slow
def test_quick_run_prints_one_table_and_succeeds(direct_path):
    proc = subprocess.run(["bash", str(HERE / "run.sh"), "--quick"], capture_output=True, text=True,
                          timeout=900)  # a hang guard, not a speed check
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    out = proc.stdout
    assert out.count("machine: nproc=") == 1 and "summary:" in out
    for key in ("1a", "1f", "2a", "2d", "3a", "3d", "4a", "4c"):
        assert f"\n{key}  " in out


def test_every_benchmark_module_registers_rows_with_unique_keys():
    benches = bench.load_benches()
    modules = {module for *_, module in benches}
    assert modules == set(bench.module_names())  # each module registers something
    keys = [t.split(" ", 1)[0] for _, titles, _, _ in benches for t in titles]
    assert len(keys) == len(set(keys)) and len(keys) >= 19
    fmt = harness.dataclasses.asdict(harness.FULL)
    for _, titles, _, _ in benches:
        for t in titles:
            assert t.split(" ", 1)[1].format(**fmt)  # every placeholder is a Profile field


@pytest.mark.parametrize("only, want", [
    (["1a"], {"bench_decode"}), (["decode"], {"bench_decode"}),
    (["bench_probes", "3"], {"bench_probes", "bench_progressive"}), ([], None)])
def test_only_selects_rows_by_key_or_module(only, want):
    benches = bench.load_benches()
    got = {m for _, titles, _, m in benches
           if bench.selected(only, [t.split(" ", 1)[0] for t in titles], m)}
    assert got == (want if want is not None else set(bench.module_names()))
