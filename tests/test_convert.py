"""quillmarsh-jxl convert: batches of files, in one process, worker processes or a Dask cluster."""

from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from _cli import PROG, cli, cli_on_terminal, one_error_line
from _images import psnr, synthetic

Image = pytest.importorskip("PIL.Image")


@pytest.fixture
def batch(tmp_path):
    """A folder of inputs (and the pixels each should give), with a subfolder and a bad file."""
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    want = {}
    for name, c in (("rgb", 3), ("rgba", 4), ("grey", 1)):
        arr = synthetic(40, 56, c, np.uint8, seed=c)
        Image.fromarray(arr).save(src / f"{name}.png")
        want[f"{name}.jxl"] = arr
    g16 = synthetic(40, 56, 1, np.uint16, seed=5)
    np.save(src / "g16.npy", g16)
    want["g16.jxl"] = g16
    frames = [synthetic(24, 32, 3, np.uint8, seed=10 + i) for i in range(3)]
    pil_frames = [Image.fromarray(f).quantize(colors=64) for f in frames]
    pil_frames[0].save(src / "anim.gif", save_all=True, append_images=pil_frames[1:], duration=50)
    want["anim.jxl"] = np.stack([np.asarray(f.convert("RGB")) for f in pil_frames])
    webp = synthetic(40, 56, 3, np.uint8, seed=8)
    Image.fromarray(webp).save(src / "w.webp", lossless=True)
    want["w.jxl"] = webp
    deep = synthetic(40, 56, 3, np.uint8, seed=7)
    Image.fromarray(deep).save(src / "sub" / "deep.tif")
    want["sub/deep.jxl"] = deep
    (src / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n but then nothing")
    (src / "notes.txt").write_text("not an image, and not taken from a folder\n")
    return tmp_path, want


def outputs(folder: Path) -> dict:
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


def test_folder_to_jxl_is_lossless_and_lists_failures_without_stopping(batch):
    root, want = batch
    proc = cli("convert", "in", "-r", "--out", "out", "--workers", "1", cwd=root)
    assert proc.returncode == 1  # one file failed
    assert proc.stderr.splitlines() == [PROG + "in/broken.png: not an image Pillow can read"]
    assert re.search(r"converted 7 files to jxl, skipped 0, failed 1\n.*files/s", proc.stdout)
    got = outputs(root / "out")
    assert sorted(got) == sorted(want)  # no partial, temporary or stray outputs
    for name, arr in want.items():
        np.testing.assert_array_equal(jxl.decode(got[name]), arr, err_msg=name)
    assert jxl.frame_count(got["anim.jxl"]) == 3

    flat = cli("convert", "in", "--out", "flat", "--workers", "1", "-q", cwd=root)
    assert flat.stdout == "" and flat.returncode == 1
    assert "sub/deep.jxl" not in outputs(root / "flat")  # no -r: subfolders left out


def test_existing_outputs_are_skipped_unless_overwrite(batch):
    root, _ = batch
    (root / "out").mkdir()
    (root / "out" / "rgb.jxl").write_bytes(b"an earlier result")
    proc = cli("convert", "in/rgb.png", "in/grey.png", "--out", "out", cwd=root)
    assert proc.returncode == 0, proc.stderr
    assert "converted 1 file to jxl, skipped 1 (outputs exist" in proc.stdout
    assert (root / "out" / "rgb.jxl").read_bytes() == b"an earlier result"
    proc = cli("convert", "in/rgb.png", "--out", "out", "--overwrite", cwd=root)
    assert proc.returncode == 0 and "converted 1 file" in proc.stdout
    assert jxl.decode(root / "out" / "rgb.jxl").shape == (40, 56, 3)


@pytest.mark.parametrize("to", ["png", "tif", "npy", "jpg"])
def test_back_from_jxl(batch, to):
    root, want = batch
    assert cli("convert", "in", "-r", "--out", "jxl", cwd=root).returncode == 1
    proc = cli("convert", "jxl", "-r", "--out", "back", "--to", to, cwd=root)
    if to == "jpg":  # JPEG holds one frame and no alpha: those files fail or are noted
        assert proc.returncode == 1 and "back/anim.jpg: JPEG holds one frame" in proc.stderr
        assert ("rgba.jxl: uint8 RGBA samples written to JPEG as 8 bits, without alpha"
                in proc.stderr)
    else:
        assert proc.returncode == 0, proc.stderr
    for name, arr in want.items():
        out = root / "back" / (name[: -len(".jxl")] + "." + to)
        if to == "jpg" and name == "anim.jxl":
            assert not out.exists()
            continue
        back = np.load(out) if to == "npy" else np.asarray(Image.open(out))
        if to == "jpg":
            ref = arr[..., :3] if arr.ndim == 3 and arr.shape[-1] == 4 else arr
            if ref.dtype == np.uint16:  # reduced to 8 bits, with a note
                ref = np.rint(ref / 257.0)
            assert back.shape == ref.shape and psnr(back, ref, 255) > 25, name
        elif to in ("png", "tif") and name == "anim.jxl":
            assert Image.open(out).n_frames == 3
        else:
            np.testing.assert_array_equal(back, arr, err_msg=name)


@pytest.mark.parametrize(
    "args, says",
    [(["nothing-here", "in/rgb.png"], "nothing-here: no such file or folder"),
     (["in/rgb.png", "in/sub/../rgb.png"], "same output"),
     (["in/notes.txt"], "in/notes.txt: not an image Pillow can read")],
    ids=["missing", "collision", "not-an-image"],
)
def test_problems_are_per_file(batch, args, says):
    root, _ = batch
    proc = cli("convert", *args, "--out", "out", cwd=root)
    assert proc.returncode == 1
    assert says in proc.stderr and len(proc.stderr.splitlines()) == 1
    converted = int(re.search(r"converted (\d+)", proc.stdout).group(1))
    assert converted == len(outputs(root / "out")) == (0 if args == ["in/notes.txt"] else 1)


@pytest.mark.parametrize(
    "args, status, says",
    [(["in", "--out", "out", "--to", "png"], 1, "no JPEG XL files found in in (-r for subfolders)"),
     (["in", "--out", "in/rgb.png"], 1, "in/rgb.png: not a folder"),
     (["in", "--out", "o", "--workers", "0"], 2, "worker count must be >= 1"),
     (["in", "--out", "o", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], 2,
      "not allowed with argument"),
     (["in", "--out", "o", "--to", "bmp"], 2, "invalid choice: 'bmp'")],
)
def test_batch_usage_and_setup_errors(batch, args, status, says):
    root, _ = batch
    err = one_error_line(cli("convert", *args, cwd=root), status=status)
    assert says in err
    assert not (root / "o").exists()


def test_progress_bar_only_on_a_terminal(batch):
    root, _ = batch
    proc, seen = cli_on_terminal("convert", "in/rgb.png", "in/grey.png", "--out", "o", cwd=root)
    assert proc.returncode == 0
    assert re.search(rb"0/2 \[.*file/s\]", seen), seen  # tqdm's bar
    piped = cli("convert", "in/rgb.png", "--out", "p", cwd=root)
    assert piped.returncode == 0 and piped.stderr == ""


def test_worker_processes_and_a_dask_cluster_give_the_same_bytes_as_one_process(batch):
    distributed = pytest.importorskip("distributed")
    root, _ = batch
    common = ["in", "-r", "--quality", "85", "--effort", "4"]
    assert cli("convert", *common, "--out", "one", "--workers", "1", cwd=root).returncode == 1
    assert cli("convert", *common, "--out", "two", "--workers", "2", cwd=root).returncode == 1
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        proc = cli("convert", *common, "--out", "dask", "--scheduler", cluster.scheduler_address,
                   cwd=root)
        assert proc.returncode == 1
        assert "broken.png: not an image Pillow can read" in proc.stderr
        assert f"Dask cluster {cluster.scheduler_address}" in proc.stdout
    one = outputs(root / "one")
    assert len(one) == 7
    assert outputs(root / "two") == one
    assert outputs(root / "dask") == one


def test_jpegs_are_recompressed_and_come_back_bit_for_bit(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    originals = {}
    for i, quality in enumerate((75, 95)):
        Image.fromarray(synthetic(48, 64, 3, np.uint8, seed=30 + i)).save(
            src / f"p{i}.jpg", quality=quality)
        originals[f"p{i}"] = (src / f"p{i}.jpg").read_bytes()
    assert cli("convert", "in", "--out", "jxl", cwd=tmp_path).returncode == 0
    for name, data in originals.items():
        assert jxl.reconstruct_jpeg(tmp_path / "jxl" / f"{name}.jxl") == data
    proc = cli("convert", "jxl", "--out", "back", "--to", "jpg", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == ""
    assert {p.stem: p.read_bytes() for p in (tmp_path / "back").iterdir()} == originals

    # --pixels: the decoded pixels, losslessly; no JPEG to rebuild from that file.
    assert cli("convert", "in/p0.jpg", "--pixels", "--out", "px", cwd=tmp_path).returncode == 0
    px = tmp_path / "px" / "p0.jxl"
    np.testing.assert_array_equal(jxl.decode(px), np.asarray(Image.open(src / "p0.jpg")))
    with pytest.raises(ValueError, match="no JPEG reconstruction data"):
        jxl.reconstruct_jpeg(px)
