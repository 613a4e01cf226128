"""Metadata through the command line: ICC/EXIF/XMP, durations and loops, info."""

from __future__ import annotations

import json
import struct

import numpy as np
import pytest
from PIL import Image, ImageCms, ImageOps

import _streams as S
from _images import synthetic
from quillmarsh.cli import main
from quillmarsh.codecs import jxl
from quillmarsh.core import imagemeta as M


def run(capsys, *args) -> str:
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out


@pytest.fixture(scope="module")
def meta():
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x010F], exif[0x0110] = "Nikon", "D750"
    exif.get_ifd(0x8769)[0x9003] = "2019:05:06 07:08:09"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    return M.ImageMeta(icc_profile=icc, exif=exif.tobytes()[6:], xmp=xmp)


def animated(path, durations_ms, loop):
    frames = [Image.fromarray(f) for f in S.animation_frames(len(durations_ms), 16, 24)]
    opts = {} if loop is None else {"loop": loop}
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=durations_ms, **opts)


@pytest.mark.parametrize("out", ["gif", "png", "webp"])
@pytest.mark.parametrize("loop", [3, 0, None])
def test_gif_timing_round_trips(tmp_path, capsys, out, loop):
    animated(tmp_path / "a.gif", [50, 200, 500], loop)
    run(capsys, "encode", tmp_path / "a.gif", tmp_path / "a.jxl", "--animation", "-q")
    info = jxl.frames_info(tmp_path / "a.jxl")
    assert [f["duration"] for f in info] == [0.05, 0.2, 0.5]
    plays = {3: 4, 0: 0, None: 1}[loop]  # a GIF's loop field counts the repeats
    assert jxl.JxlReader(tmp_path / "a.jxl").basic_info["num_loops"] == plays
    run(capsys, "decode", tmp_path / "a.jxl", tmp_path / f"b.{out}", "-q")
    back = M.read_meta(Image.open(tmp_path / f"b.{out}"))
    assert back.durations == [0.05, 0.2, 0.5] and back.loops == plays
    if out == "gif":
        assert Image.open(tmp_path / "b.gif").info.get("loop") == loop


@pytest.mark.parametrize("src, loop", [("gif", 3), ("gif", 0), ("gif", None), ("png", 2)])
def test_pillow_plugin_and_command_line_agree_on_loops(tmp_path, capsys, src, loop):
    import quillmarsh.pillow  # noqa: F401  (registers JXL)

    animated(tmp_path / f"a.{src}", [50, 200, 500], loop)
    run(capsys, "encode", tmp_path / f"a.{src}", tmp_path / "cli.jxl", "--animation", "-q")
    with Image.open(tmp_path / f"a.{src}") as im:
        im.save(tmp_path / "plugin.jxl", save_all=True)
    plays = jxl.JxlReader(tmp_path / "cli.jxl").basic_info["num_loops"]
    assert jxl.JxlReader(tmp_path / "plugin.jxl").basic_info["num_loops"] == plays
    assert plays == ({3: 4, 0: 0, None: 1}[loop] if src == "gif" else loop)
    # Back to GIF through Pillow: as many plays as the source had.
    with Image.open(tmp_path / "plugin.jxl") as im:
        im.save(tmp_path / "b.gif", save_all=True)
    with Image.open(tmp_path / "b.gif") as back:
        assert M.loops_of(back) == plays
        if src == "gif":
            assert back.info.get("loop") == loop


def test_pillow_plugin_refuses_a_bad_loop_and_writes_nothing(tmp_path):
    import quillmarsh.pillow  # noqa: F401

    frames = [Image.fromarray(f) for f in S.animation_frames(2, 16, 24)]
    with pytest.raises(ValueError, match="loop"):
        frames[0].save(tmp_path / "x.jxl", save_all=True, append_images=frames[1:], loop=-1)
    assert not (tmp_path / "x.jxl").exists()


@pytest.mark.parametrize("src, out", [("png", "png"), ("png", "gif"), ("webp", "png")])
@pytest.mark.parametrize("loop", [2, 0])
def test_apng_and_webp_timing_round_trips(tmp_path, capsys, src, out, loop):
    animated(tmp_path / f"a.{src}", [40, 1000, 7], loop)  # APNG/WebP loop counts plays
    run(capsys, "encode", tmp_path / f"a.{src}", tmp_path / "a.jxl", "--animation", "-q")
    assert jxl.JxlReader(tmp_path / "a.jxl").basic_info["num_loops"] == loop
    run(capsys, "decode", tmp_path / "a.jxl", tmp_path / f"b.{out}", "-q")
    back = M.read_meta(Image.open(tmp_path / f"b.{out}"))
    want = [0.04, 1.0, 0.007] if out != "gif" else [0.04, 1.0, 0.01]  # GIF: 1/100 s
    assert back.durations == want and back.loops == loop


@pytest.mark.parametrize("fmt, ext, how", [
    ("JPEG", "jpg", []), ("JPEG", "jpg", ["--pixels"]), ("PNG", "png", []), ("TIFF", "tif", [])])
def test_icc_exif_xmp_bytes_round_trip(tmp_path, capsys, meta, fmt, ext, how):
    src = tmp_path / f"in.{ext}"
    Image.fromarray(synthetic(24, 32, 3, np.uint8)).save(
        src, format=fmt, **M.save_options(fmt, meta), **({"quality": 92} if ext == "jpg" else {}))
    got = M.read_meta(Image.open(src))
    assert (got.icc_profile, got.exif, got.xmp) == (meta.icc_profile, meta.exif, meta.xmp)
    run(capsys, "encode", src, tmp_path / "x.jxl", "-q", *how)
    r = jxl.JxlReader(tmp_path / "x.jxl")
    assert (r.icc_profile, r.exif, r.xmp) == (meta.icc_profile, meta.exif, meta.xmp)
    run(capsys, "decode", tmp_path / "x.jxl", tmp_path / f"out.{ext}", "-q")
    back = M.read_meta(Image.open(tmp_path / f"out.{ext}"))
    assert (back.icc_profile, back.exif, back.xmp) == (meta.icc_profile, meta.exif, meta.xmp)


def test_plain_srgb_gets_no_profile_but_other_spaces_do(tmp_path, capsys):
    img = synthetic(8, 8, 3, np.uint8)
    (tmp_path / "s.jxl").write_bytes(jxl.encode(img))
    (tmp_path / "p.jxl").write_bytes(jxl.encode(img, color="display-p3"))
    run(capsys, "decode", tmp_path / "s.jxl", tmp_path / "s.png", "-q")
    run(capsys, "decode", tmp_path / "p.jxl", tmp_path / "p.png", "-q")
    assert "icc_profile" not in Image.open(tmp_path / "s.png").info
    assert Image.open(tmp_path / "p.png").info["icc_profile"] == jxl.JxlReader(
        tmp_path / "p.jxl").icc_profile


def test_exif_orientation_of_an_input_turns_the_pixels(tmp_path, capsys):
    exif = Image.Exif()
    exif[0x0112] = 6
    pixels = synthetic(20, 30, 3, np.uint8)
    Image.fromarray(pixels).save(tmp_path / "o.png", exif=exif)
    run(capsys, "encode", tmp_path / "o.png", tmp_path / "o.jxl", "-q")
    shown = np.asarray(ImageOps.exif_transpose(Image.open(tmp_path / "o.png")))
    r = jxl.JxlReader(tmp_path / "o.jxl")
    assert (r.read() == shown).all()
    assert M.exif_summary(r.exif)["orientation"] == 1


@pytest.mark.parametrize("ext", ["jpg", "png"])
def test_stored_orientation_is_kept_with_its_exif(tmp_path, capsys, ext):
    data = S.oriented(6)  # a JPEG transcoded by cjxl: orientation 6 in header and EXIF
    (tmp_path / "o.jxl").write_bytes(data)
    run(capsys, "decode", tmp_path / "o.jxl", tmp_path / f"o.{ext}", "-q")
    out = Image.open(tmp_path / f"o.{ext}")
    assert M.exif_summary(M.read_meta(out).exif)["orientation"] == 6
    shown = np.asarray(ImageOps.exif_transpose(out).convert("RGB")).astype(int)
    upright = jxl.decode(data).astype(int)
    assert shown.shape == upright.shape
    # A wrong turn differs by tens of levels; re-encoding as JPEG by a few.
    assert np.abs(shown - upright).mean() < (8 if ext == "jpg" else 0.5)


def info_fields(text: str) -> dict:
    """`info`'s text output as {label: value} (labels are padded to one width)."""
    return dict(line.split(None, 1) if "  " not in line else
                [part.strip() for part in line.split("  ", 1)] for line in text.splitlines())


def test_info_shows_timing_boxes_exif_and_layers(tmp_path, capsys, meta):
    stack = np.stack(S.animation_frames(3, 16, 24, 4))
    (tmp_path / "a.jxl").write_bytes(jxl.encode(
        stack, animation=True, duration=[0.05, 0.2, 0.5], loops=2, exif=meta.exif, xmp=meta.xmp,
        compress_boxes=True))
    got = info_fields(run(capsys, "info", tmp_path / "a.jxl"))
    assert got["durations"] == "0.05 s, 0.2 s, 0.5 s (total 0.75 s)"
    assert got["loops"] == "plays 2 times"
    assert "Exif" in got["boxes"] and "(brob)" in got["boxes"]
    assert got["EXIF"] == "camera Nikon D750, date 2019:05:06 07:08:09"
    assert got["alpha"] == "straight"
    facts = json.loads(run(capsys, "info", "--json", tmp_path / "a.jxl"))
    assert facts["durations"] == [0.05, 0.2, 0.5] and facts["loops"] == 2
    assert ["Exif", facts["boxes"][3][1], True] in facts["boxes"]
    assert facts["exif"] == {"camera": "Nikon D750", "date": "2019:05:06 07:08:09"}
    (tmp_path / "l.jxl").write_bytes(S.layered_animation(48, 64))
    got = info_fields(run(capsys, "info", tmp_path / "l.jxl"))
    assert got["layers"].startswith("2 in 2 frames: 64x48 at (0, 0)")
    (tmp_path / "s.jxl").write_bytes(S.still(8, 8))
    got = info_fields(run(capsys, "info", tmp_path / "s.jxl"))
    assert got["boxes"] == "none (a bare codestream)"
    assert not {"durations", "loops", "layers", "EXIF"} & set(got)


@pytest.mark.parametrize("shape", [(10, 12, 3), (10, 12, 4), (2, 10, 12, 3)])
def test_16_bit_colour_tiff_keeps_every_bit(tmp_path, capsys, shape):
    tifffile = pytest.importorskip("tifffile")
    a = np.random.default_rng(5).integers(0, 65536, shape, dtype=np.uint16)
    photometric = {"photometric": "rgb", "metadata": None}
    if shape[-1] == 4:
        photometric["extrasamples"] = ("unassalpha",)
    tifffile.imwrite(tmp_path / "in.tif", a, **photometric)
    stack = len(shape) == 4
    run(capsys, "encode", tmp_path / "in.tif", tmp_path / "x.jxl", "-q",
        *(["--animation"] if stack else []))
    assert (jxl.decode(tmp_path / "x.jxl") == a).all()
    run(capsys, "decode", tmp_path / "x.jxl", tmp_path / "out.tif", "-q")
    assert (tifffile.imread(tmp_path / "out.tif") == a).all()


def test_pixels_converted_for_an_8_bit_file_carry_no_stale_profile(tmp_path, capsys):
    linear = np.linspace(0, 1, 8 * 8 * 3, dtype=np.float32).reshape(8, 8, 3)
    (tmp_path / "lin.jxl").write_bytes(jxl.encode(linear))  # linear sRGB
    assert jxl.JxlReader(tmp_path / "lin.jxl").color["transfer_function"] == 8
    run(capsys, "decode", tmp_path / "lin.jxl", tmp_path / "lin.png", "-q")
    # The pixels come converted to sRGB: the file's own (linear) profile would mislabel them.
    assert "icc_profile" not in Image.open(tmp_path / "lin.png").info


def with_box(data: bytes, kind: bytes, payload: bytes, claim: int | None = None) -> bytes:
    """`data` (a container) with a box of `kind` appended; `claim` overrides its size field."""
    return data + struct.pack(">I4s", claim or 8 + len(payload), kind) + payload


@pytest.mark.parametrize("damage", ["exif not TIFF", "box past the end", "box above 64 MiB"])
def test_damaged_boxes_through_the_command_line(tmp_path, capsys, meta, damage):
    good = jxl.encode(np.zeros((8, 8, 3), np.uint8), xmp=meta.xmp)
    data = {"exif not TIFF": with_box(good, b"Exif", b"\0\0\0\0GIF89a.."),
            "box past the end": with_box(good, b"Exif", b"\0\0\0\0" + meta.exif, claim=4096),
            "box above 64 MiB": with_box(good, b"jumb", b"\0" * 16, claim=8 + (65 << 20))}[damage]
    (tmp_path / "a.jxl").write_bytes(data)
    (tmp_path / "b.png").write_bytes(b"keep")
    status = main(["decode", str(tmp_path / "a.jxl"), str(tmp_path / "b.png")])
    err = capsys.readouterr().err
    shown = info_fields(run(capsys, "info", tmp_path / "a.jxl"))
    if damage == "exif not TIFF":  # the pixels and the XMP are kept, the EXIF is left out
        assert status == 0 and "EXIF left out (jxl: malformed Exif box: no TIFF header" in err
        back = M.read_meta(Image.open(tmp_path / "b.png"))
        assert back.exif is None and back.xmp == meta.xmp
        assert shown["EXIF"].startswith("unreadable (jxl: malformed Exif box")
    else:  # the metadata cannot be read: a clear error, the old file untouched
        assert status != 0 and "EXIF left out" not in err
        assert ("truncated" in err) if damage == "box past the end" else ("64 MiB" in err)
        assert (tmp_path / "b.png").read_bytes() == b"keep"
        assert shown["boxes"].startswith("unreadable (jxl: ")
        assert shown["JPEG"] == "unknown (boxes unreadable)"
