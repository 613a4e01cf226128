"""The command line on files made elsewhere (Pillow's test images, conformance
streams, cjxl's output) and on the damaged and unusual files users meet."""

from __future__ import annotations

import os
import re
import struct

import numpy as np
import pytest
from PIL import Image, ImageOps

import quillmarsh.pillow  # noqa: F401  (registers the format)
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
    """RGB + alpha (`alpha_bits` 0: none) + depth, written by this module."""
    rng = np.random.default_rng(9)
    a = rng.integers(0, np.iinfo(dtype).max, (24, 20, 5), endpoint=True).astype(dtype)
    alpha = {"type": "alpha"} if alpha_bits is None else {"type": "alpha", "bits": alpha_bits}
    if alpha_bits:
        a[..., 3] >>= 16 - alpha_bits
    depth = {"type": "depth", "bits": 12} if dtype == np.uint16 else "depth"
    if dtype == np.uint16:
        a[..., 4] >>= 4
    if alpha_bits == 0:
        a = a[..., [0, 1, 2, 4]]
    channels = ["color"] * 3 + ([] if alpha_bits == 0 else [alpha]) + [depth]
    path.write_bytes(jxl.encode(a, channels=channels))
    return a


@pytest.mark.parametrize("dtype, alpha_bits", [(np.uint8, None), (np.uint16, None), (np.uint16, 8),
                                               (np.uint8, 0)])
def test_decode_of_extra_channels_gives_colour_and_alpha(tmp_path, capsys, dtype, alpha_bits):
    a = _with_extras(tmp_path / "x.jxl", dtype, alpha_bits)
    want = a[..., :3 if alpha_bits == 0 else 4].copy()
    if alpha_bits:  # alpha in the colour's range, as a colour-only decode gives it
        want[..., 3] = a[..., 3].astype(np.uint32) * 65535 // 255
    err = ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "x.npy")
    assert err.count("\n") == 1 and "depth channel left out" in err and "--channels all" in err
    assert np.array_equal(np.load(tmp_path / "x.npy"), want)
    ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "x.png", "-q")
    png = np.asarray(Image.open(tmp_path / "x.png"))
    assert png.shape == want.shape
    if dtype == np.uint8:
        assert np.array_equal(png, want)
    ok(capsys, "decode", tmp_path / "x.jxl", tmp_path / "all.npy", "--channels", "all")
    assert np.load(tmp_path / "all.npy").shape == a.shape
    ok(capsys, "thumb", tmp_path / "x.jxl", tmp_path / "t.png", "-q")
    assert np.asarray(Image.open(tmp_path / "t.png")).shape == (3, 3, want.shape[-1])
    err = ok(capsys, "convert", tmp_path / "x.jxl", "--out", tmp_path / "c", "--to", "npy", "-j", "1")
    assert "depth channel left out" in err
    assert np.array_equal(np.load(tmp_path / "c" / "x.npy"), want)


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
                          jxl.decode(prefix, downsample=8, subsample="center"))


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


# ---- colour of integer images -------------------------------------------------------


def _png16(pillow_images, path, chunks):
    from PIL import PngImagePlugin

    grey = np.asarray(Image.open(pillow_images / "i_trns.png"))
    info = PngImagePlugin.PngInfo()
    for kind, payload in chunks:
        info.add(kind, payload)
    Image.fromarray(grey).save(path, pnginfo=info)


_GAMMA = (b"gAMA", struct.pack(">I", 45455))
_SRGB_CHRM = (b"cHRM", struct.pack(">8I", 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000))


@pytest.mark.parametrize("command", ["encode", "convert"])
@pytest.mark.parametrize(
    "source", ["i_trns.png", "gAMA", "gAMA 1.0", "sRGB", "gAMA cHRM", "tiff_16bit_RGB.tiff"])
def test_16_bit_images_keep_their_colour_as_cjxl_does(pillow_images, tmp_path, capsys, cjxl,
                                                      source, command):
    import subprocess

    tifffile = pytest.importorskip("tifffile")
    src = tmp_path / "in.png"
    cjxl_in = src
    if source.endswith((".png", ".tiff")):
        src = pillow_images / source
        cjxl_in = src
    else:
        chunks = {"gAMA": [_GAMMA], "gAMA 1.0": [(b"gAMA", struct.pack(">I", 100000))],
                  "sRGB": [(b"sRGB", b"\x00")], "gAMA cHRM": [_GAMMA, _SRGB_CHRM]}[source]
        _png16(pillow_images, src, chunks)
    if source.endswith(".tiff"):  # cjxl reads no TIFF: the same samples as a 16-bit PPM
        rgb = tifffile.imread(src)
        cjxl_in = tmp_path / "in.ppm"
        head = b"P6\n%d %d\n65535\n" % (rgb.shape[1], rgb.shape[0])
        cjxl_in.write_bytes(head + rgb.astype(">u2").tobytes())
    subprocess.run([cjxl, str(cjxl_in), str(tmp_path / "c.jxl"), "-d", "0", "--quiet"], check=True)
    if command == "encode":
        ok(capsys, "encode", src, tmp_path / "q.jxl", "-q")
        ours = tmp_path / "q.jxl"
    else:
        ok(capsys, "convert", src, "--out", tmp_path / "o", "-q", "-j", "1")
        ours = next((tmp_path / "o").glob("*.jxl"))
    with jxl.JxlReader(ours) as q, jxl.JxlReader(tmp_path / "c.jxl") as c:
        assert q.dtype == np.uint16
        assert q.color == c.color
        assert q.icc_profile == c.icc_profile
    assert np.array_equal(jxl.decode(ours), jxl.decode(tmp_path / "c.jxl"))


def test_float_images_stay_linear(tmp_path, capsys):
    Image.fromarray(np.linspace(0, 1, 64 * 48, dtype=np.float32).reshape(48, 64)).save(tmp_path / "f.tif")
    ok(capsys, "encode", tmp_path / "f.tif", tmp_path / "f.jxl", "-q")
    with jxl.JxlReader(tmp_path / "f.jxl") as r:
        assert r.dtype == np.float32 and r.color["transfer_function"] == 8  # linear


@pytest.mark.parametrize("name", ["l_trns.png", "rgb_trns.png", "i_trns.png"])
def test_transparent_colour_of_a_png_becomes_alpha_as_in_cjxl(pillow_images, tmp_path, capsys,
                                                              cjxl, name):
    import subprocess

    ok(capsys, "encode", pillow_images / name, tmp_path / "q.jxl", "-q")
    subprocess.run([cjxl, str(pillow_images / name), str(tmp_path / "c.jxl"), "-d", "0", "--quiet"],
                   check=True)
    ours, theirs = jxl.decode(tmp_path / "q.jxl"), jxl.decode(tmp_path / "c.jxl")
    assert ours.shape[-1] in (2, 4) and (ours[..., -1] == 0).any()
    assert np.array_equal(ours, theirs)


# ---- a profile that does not fit the pixels ----------------------------------------


@pytest.mark.parametrize("command", ["encode", "convert"])
def test_rgb_profile_on_grey_pixels_is_left_out_with_a_note(pillow_images, tmp_path, capsys,
                                                            command):
    grey = Image.open(pillow_images / "xmp_test.jpg").convert("L")
    assert grey.info["icc_profile"][16:20] == b"RGB "  # Pillow keeps it on the grey copy
    grey.save(tmp_path / "g.png")
    if command == "encode":
        err = ok(capsys, "encode", tmp_path / "g.png", tmp_path / "g.jxl", "-e", "1")
    else:
        err = ok(capsys, "convert", tmp_path / "g.png", "--out", tmp_path, "-e", "1", "-j", "1")
    assert "ICC profile is for RGB colour, the pixels are grey; the profile is left out" in err
    with jxl.JxlReader(tmp_path / "g.jxl") as r:
        assert r.color["color_space"] == 1 and r.color["transfer_function"] == 13  # grey sRGB
    assert np.array_equal(jxl.decode(tmp_path / "g.jxl"), np.asarray(grey))


# ---- animations with zero or missing delays ----------------------------------------


def _animations(pillow_images):
    names = []
    for path in sorted([*pillow_images.glob("*.gif"), *pillow_images.glob("*.webp"),
                        *pillow_images.glob("*.png"), *pillow_images.glob("apng/*.png")]):
        try:
            with Image.open(path) as im:
                if getattr(im, "is_animated", False):
                    names.append(str(path.relative_to(pillow_images)))
        except Exception:
            continue
    return names


def _rgba(frame):
    """A decoded 8-bit frame (grey, grey + alpha, RGB or RGBA) as RGBA."""
    if frame.ndim == 2:
        frame = frame[..., None]
    colour = frame[..., :-1] if frame.shape[-1] in (2, 4) else frame
    alpha = frame[..., -1:] if frame.shape[-1] in (2, 4) else np.full_like(frame[..., :1], 255)
    return np.concatenate([np.broadcast_to(colour, colour.shape[:2] + (3,)), alpha], axis=-1)


def _pillow_reading(path):
    """Frames (RGB or RGBA) and delays in ms as Pillow reads them."""
    frames, delays = [], []
    with Image.open(path) as im:
        for i in range(im.n_frames):
            im.seek(i)
            im.load()
            delays.append(im.info.get("duration"))
            frames.append(np.asarray(im.convert("RGBA")))
    return frames, delays


def test_every_frame_of_pillows_animations_is_a_visible_frame(pillow_images, tmp_path, capsys):
    names = _animations(pillow_images)
    assert len(names) > 40
    refused = {}
    zero = 0
    for name in names:
        try:
            frames, delays = _pillow_reading(pillow_images / name)
        except Exception:  # damaged on purpose (or a bomb): Pillow refuses it too
            continue
        out = tmp_path / (name.replace("/", "_") + ".jxl")
        status, _, err = run(capsys, "encode", pillow_images / name, out, "--animation", "-e", "1")
        if status != 0:
            refused[name] = (err.strip(), {f.shape for f in frames})
            continue
        info = jxl.frames_info(out)
        assert len(info) == len(frames), name
        want = [(d or 100) / 1000 for d in delays]
        assert [f["duration"] for f in info] == pytest.approx(want, abs=5e-4), name
        if not all(delays):
            zero += 1
            assert "had no delay and are shown for 100 ms" in err, name
        for got, frame in zip(jxl.decode(out), frames):
            assert np.array_equal(_rgba(got), frame), name
    assert zero >= 20
    # refused: only animations whose frames Pillow itself gives in several sizes
    assert all("frames differ in size" in why and len(shapes) > 1
               for why, shapes in refused.values()), refused
    assert len(refused) <= 2, refused


def test_convert_keeps_frames_with_no_delay(pillow_images, tmp_path, capsys):
    ok(capsys, "convert", pillow_images / "dispose_none_load_end.gif", "--out", tmp_path, "-j", "1")
    out = tmp_path / "dispose_none_load_end.jxl"
    assert [f["duration"] for f in jxl.frames_info(out)] == [0.1, 0.1]


def test_cmyk_to_an_array_names_the_ways_out(tmp_path, capsys):
    src = conformance_file("cmyk_layers")
    line = fails(capsys, "decode", src, tmp_path / "c.npy")
    assert "a CMYK image (it has a black channel): --channels all" in line
    ok(capsys, "decode", src, tmp_path / "c.npy", "--channels", "all", "-q")
    assert np.load(tmp_path / "c.npy").shape[-1] == 5
    ok(capsys, "decode", src, tmp_path / "c.png", "-q")  # rendered to sRGB
    assert Image.open(tmp_path / "c.png").mode in ("RGB", "RGBA")


def test_pillows_decompression_bomb_is_one_plain_line(pillow_images, tmp_path, capsys):
    line = fails(capsys, "encode", pillow_images / "decompression_bomb.gif", tmp_path / "b.jxl")
    assert "decompression_bomb.gif: cannot read: Image size (" in line
    assert "Error" not in line and not (tmp_path / "b.jxl").exists()


@pytest.mark.parametrize("name, where", [("xmp_tags_orientation.png", "XMP"),
                                         ("exif_imagemagick_orientation.png", "EXIF")])
def test_orientation_of_a_png_outside_exif_is_applied(pillow_images, tmp_path, capsys, name, where):
    # XMP alone, or EXIF in ImageMagick's text chunk: Pillow shows both
    src = Image.open(pillow_images / name)
    upright = np.asarray(ImageOps.exif_transpose(src))
    err = ok(capsys, "encode", pillow_images / name, tmp_path / "o.jxl")
    assert f"pixels turned upright by their {where} orientation 3" in err
    with Image.open(tmp_path / "o.jxl") as im:
        assert im.getexif().get(0x0112, 1) == 1
        assert np.array_equal(np.asarray(ImageOps.exif_transpose(im)), upright)
    ok(capsys, "decode", tmp_path / "o.jxl", tmp_path / "o.png", "-q")
    assert np.array_equal(np.asarray(ImageOps.exif_transpose(Image.open(tmp_path / "o.png"))), upright)
