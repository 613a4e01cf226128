"""The command line on files made elsewhere (Pillow's test images, conformance
streams, cjxl's output) and on the damaged and unusual files users meet."""

from __future__ import annotations

import os
import re
import struct

import numpy as np
import pytest
from PIL import Image

from quillmarsh.cli import main
from quillmarsh.codecs import jxl
from conftest import conformance_file


def run(capsys, *args):
    """(status, stdout, stderr) of the command line run in this process."""
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def ok(capsys, *args) -> str:
    status, _, err = run(capsys, *args)
    assert status == 0, err
    return err


def fails(capsys, *args) -> str:
    status, out, err = run(capsys, *args)
    assert status == 1 and out == "", (status, err)
    lines = err.splitlines()
    assert len(lines) == 1, err
    return lines[0]


# ---- --quality 100 --------------------------------------------------------------


@pytest.mark.parametrize("command", ["encode", "convert"])
@pytest.mark.parametrize("name", ["hopper.png", "hopper.jpg"])
def test_quality_100_is_lossless(pillow_images, tmp_path, capsys, command, name):
    src = pillow_images / name
    if command == "encode":
        ok(capsys, "encode", src, tmp_path / "q.jxl", "--quality", "100", "-q")
        ok(capsys, "encode", src, tmp_path / "l.jxl", "--lossless", "-q")
    else:
        ok(capsys, "convert", src, "--out", tmp_path / "q", "--quality", "100", "-q", "-j", "1")
        ok(capsys, "convert", src, "--out", tmp_path / "l", "--lossless", "-q", "-j", "1")
        (tmp_path / "q" / "hopper.jxl").rename(tmp_path / "q.jxl")
        (tmp_path / "l" / "hopper.jxl").rename(tmp_path / "l.jxl")
    data = (tmp_path / "q.jxl").read_bytes()
    # the same file as --lossless: a JPEG recompressed, other pixels exact
    assert data == (tmp_path / "l.jxl").read_bytes()
    with jxl.JxlReader(data) as r:
        assert r.has_jpeg_reconstruction == name.endswith(".jpg")
    if name.endswith(".png"):
        assert np.array_equal(jxl.decode(data), np.asarray(Image.open(src)))


# ---- files with extra channels -----------------------------------------------------


def _with_extras(path, dtype, alpha_bits=None):
    rng = np.random.default_rng(9)
    top = np.iinfo(dtype).max
    a = rng.integers(0, top, (24, 20, 5), endpoint=True).astype(dtype)
    alpha = {"type": "alpha"} if alpha_bits is None else {"type": "alpha", "bits": alpha_bits}
    if alpha_bits is not None:
        a[..., 3] >>= 16 - alpha_bits
    a[..., 4] >>= 4
    path.write_bytes(jxl.encode(a, channels=["color"] * 3 + [alpha, {"type": "depth", "bits": 12}]
                                if dtype == np.uint16 else ["color"] * 3 + [alpha, "depth"]))
    return a


@pytest.mark.parametrize("dtype, alpha_bits", [(np.uint8, None), (np.uint16, None), (np.uint16, 8)])
def test_decode_of_extra_channels_gives_colour_and_alpha(tmp_path, capsys, dtype, alpha_bits):
    a = _with_extras(tmp_path / "x.jxl", dtype, alpha_bits)
    want = a[..., :4].copy()
    if alpha_bits:  # alpha in the colour's range, as a colour-only decode gives it
        want[..., 3] = a[..., 3].astype(np.uint32) * 65535 // 255
    err = ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "x.npy")
    assert err.count("\n") == 1 and "depth channel left out" in err and "--channels all" in err
    assert np.array_equal(np.load(tmp_path / "x.npy"), want)
    ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "x.png", "-q")
    png = np.asarray(Image.open(tmp_path / "x.png"))
    assert png.shape == (24, 20, 4)
    if dtype == np.uint8:
        assert np.array_equal(png, want)
    ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "all.npy", "--channels", "all")
    assert np.load(tmp_path / "all.npy").shape == (24, 20, 5)
    ok(capsys, "thumb", tmp_path / "x.jxl", tmp_path / "t.png", "-q")
    assert np.asarray(Image.open(tmp_path / "t.png")).shape == (3, 3, 4)
    err = ok(capsys, "convert", tmp_path / "x.jxl", "--out", tmp_path / "c", "--to", "npy", "-j", "1")
    assert "depth channel left out" in err
    assert np.array_equal(np.load(tmp_path / "c" / "x.npy"), want)


def test_decode_of_colour_and_depth_without_alpha(tmp_path, capsys):
    rgbd = np.random.default_rng(3).integers(0, 256, (16, 12, 4), dtype=np.uint8)
    (tmp_path / "d.jxl").write_bytes(jxl.encode(rgbd, channels=["color"] * 3 + ["depth"]))
    ok(capsys, "decode", tmp_path / "d.jxl", tmp_path / "d.png", "-q")
    assert np.array_equal(np.asarray(Image.open(tmp_path / "d.png")), rgbd[..., :3])


# ---- thumb of a file cut after its first pass --------------------------------------


@pytest.mark.parametrize("source", ["container", "conformance"])
def test_thumb_of_a_progressive_file_cut_after_its_dc_pass(pillow_images, tmp_path, capsys, source):
    if source == "container":  # EXIF makes a container of boxes
        rgb = np.asarray(Image.open(pillow_images / "hopper.png").convert("RGB").resize((256, 256)))
        exif = Image.Exif()
        exif[0x010F] = "Maker"
        data = jxl.encode(rgb, distance=1.0, progressive=True, exif=exif.tobytes()[6:])
    else:
        data = conformance_file("progressive").read_bytes()
    prefix = data[: len(jxl.thumbnail_bytes(data))]
    assert len(prefix) < len(data)
    (tmp_path / "cut.jxl").write_bytes(prefix)
    ok(capsys, "thumb", tmp_path / "cut.jxl", tmp_path / "t.png")
    assert np.array_equal(np.asarray(Image.open(tmp_path / "t.png")),
                          jxl.decode(prefix, downsample=8))


# ---- messages that name what is wrong ------------------------------------------------


def _boxes(data):
    pos, out = 0, []
    while pos < len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        out.append((pos, kind))
        pos += size or len(data) - pos
    return out


@pytest.mark.parametrize(
    "damage, says",
    [("size", r"damaged JPEG XL file: box 4 \('Exif' at byte \d+\) has an impossible size of 3 bytes"),
     ("type", r"damaged JPEG XL file: box 4 \(at byte \d+\) has no valid type"),
     ("cut", r"truncated JPEG XL file: box \d \('jxl[cp]' at byte \d+\) needs \d+ bytes")],
)
@pytest.mark.parametrize("command", ["decode", "info"])
def test_damaged_and_cut_containers_are_told_apart(tmp_path, capsys, damage, says, command):
    exif = Image.Exif()
    exif[0x010F] = "Maker"
    rgb = np.random.default_rng(1).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    data = bytearray(jxl.encode(rgb, exif=exif.tobytes()[6:], distance=1.0))
    boxes = _boxes(data)
    exif_at = next(pos for pos, kind in boxes if kind == b"Exif")
    if damage == "size":
        struct.pack_into(">I", data, exif_at, 3)
    elif damage == "type":  # a header overwritten: size and type
        data[exif_at : exif_at + 8] = b"\xff" * 8
    else:
        del data[len(data) * 2 // 3 :]
    (tmp_path / "x.jxl").write_bytes(bytes(data))
    status, out, err = run(capsys, command, tmp_path / "x.jxl",
                           *([tmp_path / "x.png"] if command == "decode" else []))
    assert status == 1, err
    assert re.search(says, err), err
    assert "truncated JPEG XL" not in err or damage == "cut"
    assert not (tmp_path / "x.png").exists()


def test_empty_npy_is_named(tmp_path, capsys):
    for shape in [(0,), (0, 8, 3), (4, 0)]:
        np.save(tmp_path / "e.npy", np.zeros(shape, np.uint8))
        line = fails(capsys, "encode", tmp_path / "e.npy", tmp_path / "e.jxl")
        assert f"the array is empty (shape {shape})" in line and "API_USAGE" not in line
        assert not (tmp_path / "e.jxl").exists()
    np.save(tmp_path / "s.npy", np.zeros((0, 8, 8, 3), np.uint8))
    line = fails(capsys, "encode", tmp_path / "s.npy", tmp_path / "e.jxl", "--animation")
    assert "the array is empty" in line


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs Linux's /proc")
def test_a_folder_that_takes_no_files_is_not_called_missing(tmp_path, capsys):
    try:  # /proc exists but no file can be made in it
        open("/proc/quillmarsh-probe", "wb").close()
    except FileNotFoundError:
        pass
    except OSError as exc:  # pragma: no cover - another refusal (not root)
        pytest.skip(f"/proc refuses new files otherwise here: {exc}")
    else:  # pragma: no cover
        pytest.skip("/proc takes new files here")
    np.save(tmp_path / "a.npy", np.zeros((4, 4), np.uint8))
    line = fails(capsys, "encode", tmp_path / "a.npy", "/proc/a.jxl")
    assert "no file can be created in the folder /proc" in line
    assert "no such directory" not in line
