"""The quillmarsh-jxl command line, run as a separate process like a user would."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quillmarsh
from quillmarsh.codecs import jxl
from _images import psnr, synthetic
from conftest import conformance_file
from _cli import PROG, SRC_ROOT, cli, cli_on_terminal, one_error_line

@pytest.fixture
def work(tmp_path):
    """A directory with arrays (.npy) and their lossless/progressive JPEG XL files."""
    rgb = synthetic(48, 64, 3, np.uint8, seed=1)
    stack = np.stack([synthetic(48, 64, 4, np.uint8, seed=10 + i) for i in range(3)])
    np.save(tmp_path / "rgb.npy", rgb)
    np.save(tmp_path / "stack.npy", stack)
    (tmp_path / "rgb.jxl").write_bytes(jxl.encode(rgb))
    (tmp_path / "prog.jxl").write_bytes(jxl.encode(rgb, quality=90, progressive=True))
    (tmp_path / "anim.jxl").write_bytes(jxl.encode(stack, animation=True))
    return tmp_path


# ---- round trips through the command line ------------------------------------

@pytest.mark.parametrize(
    "shape, dtype",
    [((48, 64, 3), np.uint8), ((48, 64), np.uint16), ((48, 64, 2), np.uint8),
     ((48, 64, 4), np.float32)],
    ids=["rgb8", "grey16", "la8", "rgba-float32"],
)
def test_encode_then_decode_npy_is_lossless_by_default(tmp_path, shape, dtype):
    arr = synthetic(shape[0], shape[1], 1 if len(shape) == 2 else shape[2], dtype, seed=3)
    np.save(tmp_path / "in.npy", arr)
    enc = cli("encode", "in.npy", "out.jxl", cwd=tmp_path)
    assert enc.returncode == 0, enc.stderr
    assert "out.jxl" in enc.stdout and enc.stderr == ""
    dec = cli("decode", "out.jxl", "back.npy", cwd=tmp_path)
    assert dec.returncode == 0, dec.stderr
    back = np.load(tmp_path / "back.npy")
    assert back.dtype == arr.dtype
    np.testing.assert_array_equal(back, arr)


@pytest.mark.parametrize(
    "options, lossless, progressive",
    [([], True, False), (["--quality", "90"], False, False), (["-d", "0"], True, False),
     (["--distance", "2.5", "--effort", "3"], False, False),
     (["--quality", "80", "--progressive"], False, True)],
)
def test_encode_options_reach_the_writer(work, options, lossless, progressive):
    proc = cli("encode", "rgb.npy", "o.jxl", *options, cwd=work)
    assert proc.returncode == 0, proc.stderr
    data = (work / "o.jxl").read_bytes()
    back = jxl.decode(data)
    rgb = np.load(work / "rgb.npy")
    assert np.array_equal(back, rgb) == lossless
    assert psnr(back, rgb, 255) > 25  # lossy still resembles the input
    assert (jxl.thumbnail_bytes(data) is not None) == progressive


def test_animation_encode_decode_and_index(work):
    proc = cli("encode", "stack.npy", "a.jxl", "--animation", cwd=work)
    assert proc.returncode == 0, proc.stderr
    stack = np.load(work / "stack.npy")
    assert jxl.frame_count(work / "a.jxl") == 3
    assert cli("decode", "a.jxl", "all.npy", cwd=work).returncode == 0
    np.testing.assert_array_equal(np.load(work / "all.npy"), stack)
    assert cli("decode", "a.jxl", "one.npy", "--index", "2", cwd=work).returncode == 0
    np.testing.assert_array_equal(np.load(work / "one.npy"), stack[2])


def test_decode_downsample_and_thumb_shapes(work):
    assert cli("decode", "rgb.jxl", "half.npy", "--downsample", "2", cwd=work).returncode == 0
    rgb = np.load(work / "rgb.npy")
    np.testing.assert_array_equal(np.load(work / "half.npy"), rgb[::2, ::2])
    proc = cli("thumb", "prog.jxl", "t.npy", cwd=work)
    assert proc.returncode == 0, proc.stderr
    thumb = np.load(work / "t.npy")
    assert thumb.shape == (6, 8, 3)
    # the centre of each block, where the 1:8 rendering stands for the block
    prog = str(work / "prog.jxl")
    assert np.array_equal(thumb, jxl.decode(prog, downsample=8, subsample="center"))
    assert not np.array_equal(thumb, jxl.decode(prog, downsample=8))
    assert cli("thumb", "anim.jxl", "t2.npy", "--index", "1", cwd=work).returncode == 0
    assert np.load(work / "t2.npy").shape == (6, 8, 4)


# ---- info -----------------------------------------------------------------------

def test_info_json_facts(work):
    facts = {}
    for name in ("rgb.jxl", "prog.jxl", "anim.jxl"):
        proc = cli("info", name, "--json", cwd=work)
        assert proc.returncode == 0, proc.stderr
        facts[name] = json.loads(proc.stdout)
    still, prog, anim = facts["rgb.jxl"], facts["prog.jxl"], facts["anim.jxl"]
    assert (still["xsize"], still["ysize"], still["channels"], still["layout"]) == (64, 48, 3, "RGB")
    assert (still["dtype"], still["bits_per_sample"], still["exponent_bits_per_sample"]) == (
        "uint8", 8, 0)
    assert (still["animation"], still["frames"]) == (False, 1)
    assert still["color"]["transfer_function"] == "sRGB"
    assert still["color"]["primaries"] == "sRGB"
    assert still["icc_size"] > 0
    assert still["dc_prefix_bytes"] is None
    assert still["file_size"] == (work / "rgb.jxl").stat().st_size
    assert 0 < prog["dc_prefix_bytes"] < prog["file_size"]
    assert (anim["animation"], anim["frames"], anim["layout"]) == (True, 3, "RGBA")
    assert anim["format"] == "container" and still["format"] == "codestream"


def test_info_text(work):
    proc = cli("info", "anim.jxl", cwd=work)
    assert proc.returncode == 0, proc.stderr
    rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in proc.stdout.splitlines())
    assert rows["size"] == "64 x 48"
    assert rows["channels"].startswith("4 (RGBA")
    assert rows["sample type"] == "uint8"
    assert rows["bit depth"] == "8-bit integer"
    assert rows["animation"] == "yes, 3 frames"
    assert "transfer sRGB" in rows["colour"]
    assert rows["progressive"].startswith("none")


def test_info_ten_bit_stream_and_png_reduction(tmp_path, cjxl):
    from PIL import Image

    grey10 = (synthetic(48, 64, 1, np.uint16, seed=4).astype(np.uint32) * 1023 // 65535)
    pgm = tmp_path / "g.pgm"
    pgm.write_bytes(b"P5\n64 48\n1023\n" + grey10.astype(">u2").tobytes())
    subprocess.run([cjxl, str(pgm), str(tmp_path / "g.jxl"), "-d", "0", "--quiet"], check=True,
                   capture_output=True)
    facts = json.loads(cli("info", "g.jxl", "--json", cwd=tmp_path).stdout)
    assert (facts["bits_per_sample"], facts["dtype"], facts["layout"]) == (10, "uint16", "L")
    # 16-bit grey goes to PNG whole, in the stream's own 10-bit range.
    assert cli("decode", "g.jxl", "g.png", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "g.png") as im:
        np.testing.assert_array_equal(np.asarray(im).astype(np.uint32), grey10)


def test_info_real_files():
    root = conformance_file("sunset_logo").parent.parent
    facts = json.loads(cli("info", "sunset_logo/input.jxl", "--json", cwd=root).stdout)
    assert (facts["bits_per_sample"], facts["layout"], facts["dtype"]) == (10, "RGBA", "uint16")
    anim = json.loads(cli("info", "animation_spline/input.jxl", "--json", cwd=root).stdout)
    assert (anim["animation"], anim["frames"]) == (True, 60)
    cmyk = json.loads(cli("info", "cmyk_layers/input.jxl", "--json", cwd=root).stdout)
    assert [c["type"] for c in cmyk["extra_channels"]] == ["black", "alpha"]


# ---- images through Pillow ------------------------------------------------------

@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_png_out_and_in(tmp_path, channels):
    from PIL import Image

    arr = synthetic(48, 64, channels, np.uint8, seed=channels)
    np.save(tmp_path / "a.npy", arr)
    assert cli("encode", "a.npy", "a.jxl", cwd=tmp_path).returncode == 0
    assert cli("decode", "a.jxl", "a.png", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "a.png") as im:
        np.testing.assert_array_equal(np.asarray(im), arr)
    proc = cli("encode", "a.png", "b.jxl", cwd=tmp_path)  # and back in through Pillow
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(jxl.decode(tmp_path / "b.jxl"), arr)


def test_palette_png_and_apng_animation_in(tmp_path):
    from PIL import Image

    rgb = synthetic(48, 64, 3, np.uint8, seed=2)
    pal = Image.fromarray(rgb).quantize(colors=16)
    pal.save(tmp_path / "p.png")
    assert cli("encode", "p.png", "p.jxl", cwd=tmp_path).returncode == 0
    np.testing.assert_array_equal(jxl.decode(tmp_path / "p.jxl"), np.asarray(pal.convert("RGB")))

    frames = [synthetic(48, 64, 3, np.uint8, seed=20 + i) for i in range(3)]
    Image.fromarray(frames[0]).save(tmp_path / "m.png", save_all=True, duration=100,
                                    append_images=[Image.fromarray(f) for f in frames[1:]])
    assert cli("encode", "m.png", "m.jxl", "--animation", cwd=tmp_path).returncode == 0
    np.testing.assert_array_equal(jxl.decode(tmp_path / "m.jxl"), np.stack(frames))
    proc = cli("encode", "m.png", "first.jxl", cwd=tmp_path)  # without --animation
    assert proc.returncode == 0 and "encoding the first" in proc.stderr
    np.testing.assert_array_equal(jxl.decode(tmp_path / "first.jxl"), frames[0])


def test_sixteen_bit_grey_png_in_and_out(tmp_path):
    from PIL import Image

    grey = synthetic(48, 64, 1, np.uint16, seed=7)
    Image.fromarray(grey).save(tmp_path / "g.png")
    assert cli("encode", "g.png", "g.jxl", cwd=tmp_path).returncode == 0
    back = jxl.decode(tmp_path / "g.jxl")
    assert back.dtype == np.uint16
    np.testing.assert_array_equal(back, grey)
    proc = cli("decode", "g.jxl", "h.png", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == ""  # nothing reduced, no note
    with Image.open(tmp_path / "h.png") as im:
        np.testing.assert_array_equal(np.asarray(im), grey)


def test_animation_to_apng_and_tiff(work):
    from PIL import Image

    stack = np.load(work / "stack.npy")
    for name in ("a.png", "a.tif"):
        assert cli("decode", "anim.jxl", name, cwd=work).returncode == 0
        with Image.open(work / name) as im:
            assert im.n_frames == 3
            im.seek(2)
            np.testing.assert_array_equal(np.asarray(im.convert("RGBA")), stack[2])


def test_sixteen_bit_colour_to_png_is_reduced_with_a_note(tmp_path):
    from PIL import Image

    arr = synthetic(48, 64, 3, np.uint16, seed=6)
    # Tagged sRGB: linear samples would be converted, not scaled.
    (tmp_path / "c.jxl").write_bytes(jxl.encode(arr, color="srgb"))
    proc = cli("decode", "c.jxl", "c.png", cwd=tmp_path)
    assert proc.returncode == 0
    assert "note:" in proc.stderr and ".npy" in proc.stderr
    with Image.open(tmp_path / "c.png") as im:
        got = np.asarray(im)
    want = np.rint(arr.astype(np.float64) * 255 / 65535).astype(np.uint8)
    assert np.abs(got.astype(int) - want).max() <= 1


def test_without_pillow_images_fail_clearly_but_npy_works(work):
    fake = work / "nopil"
    (fake / "PIL").mkdir(parents=True)
    (fake / "PIL" / "__init__.py").write_text("raise ImportError('No module named PIL')\n")
    for args in (["decode", "rgb.jxl", "x.png"], ["thumb", "rgb.jxl", "x.tif"],
                 ["encode", "x.png", "x.jxl"]):
        err = one_error_line(cli(*args, cwd=work, extra_path=str(fake)))
        assert "needs Pillow" in err and "quillmarsh[image]" in err
    assert not (work / "x.png").exists()
    assert cli("decode", "rgb.jxl", "x.npy", cwd=work, extra_path=str(fake)).returncode == 0


# ---- failures: one clear line, exit status 1 ----------------------------------

@pytest.fixture
def bad_inputs(work):
    data = (work / "rgb.jxl").read_bytes()
    (work / "cut.jxl").write_bytes(data[: len(data) // 2])
    (work / "text.jxl").write_text("certainly not an image\n")
    (work / "empty.jxl").write_bytes(b"")
    return work


@pytest.mark.parametrize("command", [["info"], ["decode", "@", "o.npy"], ["thumb", "@", "o.png"]],
                         ids=["info", "decode", "thumb"])
@pytest.mark.parametrize(
    "name, says",
    [("missing.jxl", "missing.jxl: no such file"),
     ("text.jxl", "text.jxl: not a JPEG XL file"),
     ("cut.jxl", "cut.jxl: truncated JPEG XL file"),
     ("empty.jxl", "empty.jxl: empty file"),
     (".", ".: is a directory")],
    ids=["missing", "not-jxl", "truncated", "empty", "directory"],
)
def test_bad_input_gives_one_line(bad_inputs, command, name, says):
    args = [name if a == "@" else a for a in command]
    if command == ["info"]:
        args.append(name)
    err = one_error_line(cli(*args, cwd=bad_inputs))
    assert says in err
    assert not list(bad_inputs.glob("o.*"))


@pytest.mark.parametrize(
    "args, says",
    [(["decode", "rgb.jxl", "nodir/o.npy"], "nodir/o.npy: cannot write: no such directory"),
     (["thumb", "rgb.jxl", "nodir/o.png"], "nodir/o.png: cannot write: no such directory"),
     (["encode", "rgb.npy", "nodir/o.jxl"], "nodir/o.jxl: cannot write: no such directory"),
     (["decode", "rgb.jxl", "adir"], "adir: cannot write: is a directory"),
     (["encode", "rgb.npy", "adir"], "adir: cannot write: is a directory"),
     (["decode", "rgb.jxl", "o.bmp"], "o.bmp: unknown output type '.bmp'")],
)
def test_unwritable_output_gives_one_line(work, args, says):
    (work / "adir").mkdir()
    before = sorted(p.name for p in work.iterdir())
    err = one_error_line(cli(*args, cwd=work))
    assert says in err
    assert sorted(p.name for p in work.iterdir()) == before


@pytest.mark.parametrize(
    "make, says",
    [(lambda p: np.save(p / "in.npy", np.zeros((8, 8), np.int64)), "unsupported dtype"),
     (lambda p: np.save(p / "in.npy", np.zeros((8, 8, 0), np.uint8)), "channels (got 0)"),
     (lambda p: np.save(p / "in.npy", np.zeros((2, 8, 8, 3), np.uint8)), "pass --animation"),
     (lambda p: (p / "in.npy").write_bytes(b"junk"), "in.npy: "),
     (lambda p: (p / "in.png").write_bytes(b"junk"), "not an image Pillow can read")],
    ids=["int64", "0-channels", "stack", "bad-npy", "bad-png"],
)
def test_failed_encode_keeps_existing_output(tmp_path, make, says):
    make(tmp_path)
    src = next(tmp_path.glob("in.*")).name
    (tmp_path / "out.jxl").write_bytes(b"previous result")
    err = one_error_line(cli("encode", src, "out.jxl", cwd=tmp_path))
    assert says in err
    assert (tmp_path / "out.jxl").read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([src, "out.jxl"])


def test_frame_index_past_the_end(work):
    err = one_error_line(cli("decode", "anim.jxl", "o.npy", "--index", "3", cwd=work))
    assert err == PROG + "anim.jxl: no frame 3 (the file has 3 frames)"


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["decode", "a.jxl"], ["encode", "a", "b", "--quality", "150"],
     ["encode", "a", "b", "--quality", "90", "--distance", "1"],
     ["encode", "a", "b", "--effort", "11"], ["decode", "a", "b", "--index", "-1"],
     ["decode", "a", "b", "--downsample", "3"], ["encode", "a", "b", "--color", "mauve"]],
)
def test_usage_errors_exit_2_with_one_line(tmp_path, args):
    one_error_line(cli(*args, cwd=tmp_path), status=2)


@pytest.mark.parametrize("module", ["quillmarsh.cli", "quillmarsh.codecs.jxl"])
def test_version_and_help(tmp_path, module):
    proc = cli("--version", cwd=tmp_path, module=module)
    assert proc.returncode == 0
    assert proc.stdout.strip() == (
        f"quillmarsh-jxl {quillmarsh.__version__} (libjxl {jxl.libjxl_version()})")
    helptext = cli("--help", cwd=tmp_path, module=module).stdout
    for command in ("info", "decode", "encode", "thumb"):
        assert command in helptext


# ---- progress line ----------------------------------------------------------------

def test_progress_only_on_a_terminal(work):
    pytest.importorskip("pty")
    piped = cli("decode", "anim.jxl", "p.npy", cwd=work)
    assert piped.returncode == 0 and piped.stderr == ""

    proc, seen = cli_on_terminal("decode", "anim.jxl", "t.npy", cwd=work)
    assert proc.returncode == 0
    assert b"frame 3/3" in seen


# ---- installed entry point --------------------------------------------------------

def test_console_script(work):
    script = Path(sys.executable).parent / "quillmarsh-jxl"
    if not script.exists() or not SRC_ROOT.endswith("site-packages"):
        pytest.skip("quillmarsh is not installed with its console script here")
    proc = subprocess.run([str(script), "info", "rgb.jxl", "--json"], cwd=work,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["xsize"] == 64


@pytest.mark.parametrize("limit, measured", [("none", True), ("120000", True), ("119999", False)])
def test_info_parses_the_header_of_any_size_but_measures_no_prefix_above_the_limit(tmp_path, limit,
                                                                                  measured):
    (tmp_path / "p.jxl").write_bytes(jxl.encode(np.full((300, 400, 3), 90, np.uint8), quality=90))
    facts = json.loads(cli("info", "p.jxl", "--json", "--max-pixels", limit, cwd=tmp_path).stdout)
    assert (facts["xsize"], facts["ysize"], facts["dc_prefix_measured"]) == (400, 300, measured)
    if not measured:
        assert facts["dc_prefix_bytes"] is None
        text = cli("info", "p.jxl", "--max-pixels", limit, cwd=tmp_path).stdout
        assert f"larger than --max-pixels {limit}" in text


@pytest.mark.parametrize("command", [["decode", "rgb.jxl", "o.npy"], ["thumb", "prog.jxl", "o.npy"]],
                         ids=["decode", "thumb"])
def test_max_pixels_refuses_before_decoding_and_none_lifts_it(work, command):
    (work / "o.npy").write_bytes(b"previous result")
    err = one_error_line(cli(*command, "--max-pixels", "3071", cwd=work))
    assert "64x48 = 3072 pixels exceeds --max-pixels=3071" in err and "or none" in err
    assert (work / "o.npy").read_bytes() == b"previous result"
    assert sorted(p.name for p in work.glob("o.*")) == ["o.npy"]
    for limit in ("3072", "none"):
        proc = cli(*command, "--max-pixels", limit, cwd=work)
        assert proc.returncode == 0, proc.stderr
        assert np.load(work / "o.npy").shape[:2] in ((48, 64), (6, 8))


@pytest.mark.parametrize("value", ["0", "-5", "lots"])
def test_max_pixels_usage_errors(tmp_path, value):
    err = one_error_line(cli("decode", "a.jxl", "b.npy", "--max-pixels", value, cwd=tmp_path),
                         status=2)
    assert "--max-pixels must be a positive integer or 'none'" in err



@pytest.mark.parametrize("budget, ok", [("36863", False), ("36864", True), ("none", True)])
def test_max_bytes_holds_all_frames_together_to_the_budget(work, budget, ok):
    # anim.jxl: 3 frames of 48x64x4 uint8 = 12288 bytes each, 36864 together.
    (work / "o.npy").write_bytes(b"previous result")
    proc = cli("decode", "anim.jxl", "o.npy", "--max-bytes", budget, cwd=work)
    if ok:
        assert proc.returncode == 0, proc.stderr
        assert np.load(work / "o.npy").shape == (3, 48, 64, 4)
    else:
        err = one_error_line(proc)
        assert "more than --max-bytes=36863 bytes" in err and "or none" in err
        assert (work / "o.npy").read_bytes() == b"previous result"
    assert cli("decode", "anim.jxl", "one.npy", "--index", "1", "--max-bytes", "12288",
               cwd=work).returncode == 0
    err = one_error_line(cli("decode", "anim.jxl", "one.npy", "--index", "1",
                             "--max-bytes", "12287", cwd=work))
    assert "--max-bytes=12287" in err


@pytest.mark.parametrize("version", [2, 4])
def test_info_names_the_profile_of_an_icc_only_image(tmp_path, cjxl, version):
    from PIL import Image
    from _icc import rgb_profile

    icc = rgb_profile(f"Marsh v{version} RGB", version)
    Image.fromarray(synthetic(32, 48, 3, np.uint8, seed=9)).save(tmp_path / "i.png", icc_profile=icc)
    subprocess.run([cjxl, str(tmp_path / "i.png"), str(tmp_path / "i.jxl"), "-d", "0", "--quiet"],
                   check=True, capture_output=True)
    facts = json.loads(cli("info", "i.jxl", "--json", cwd=tmp_path).stdout)
    assert facts["color"] is None
    assert (facts["icc_size"], facts["icc_description"]) == (len(icc), f"Marsh v{version} RGB")
    text = cli("info", "i.jxl", cwd=tmp_path).stdout
    rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in text.splitlines())
    assert rows["colour"] == f"ICC profile 'Marsh v{version} RGB', not an encoded colour space"
    assert "unknown" not in text
