"""encode(), and what the encoder writes as seen by the module's reader."""

import io
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import quillmarsh.codecs._jxl as jxl
from _images import psnr, synthetic
from quillmarsh.core.color import JXL_TF_GAMMA, ColorSpec

CONTAINER_SIG = b"\x00\x00\x00\x0cJXL \r\n\x87\n"

# libjxl's enumeration values, as the reader reports them.
RGB, GRAY = 0, 1
D65 = 1
P_SRGB, P_2100, P_P3 = 1, 9, 11
TF_709, TF_LINEAR, TF_SRGB, TF_PQ, TF_HLG = 1, 8, 13, 16, 18

DTYPES = [np.uint8, np.uint16, np.float16, np.float32]
LAYOUTS = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4}


def frames_of(data):
    with jxl.JxlReader(data) as r:
        return [np.array(f) for f in r.iter_frames()]


# ---- round trips -------------------------------------------------------------

@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_lossless_round_trip_is_bit_exact(dtype, layout):
    c = LAYOUTS[layout]
    a = synthetic(37, 29, c, dtype, seed=c)
    if np.dtype(dtype).kind == "f":
        a[0, 0] = 0.0
        a[-1, -1] = 1.0
    data = jxl.encode(a)
    with jxl.JxlReader(data) as r:
        info = r.basic_info
        out = r.read()
    assert out.dtype == a.dtype and out.shape == a.shape
    assert np.array_equal(out, a)
    assert info["uses_original_profile"] is True
    assert info["num_color_channels"] == (1 if c <= 2 else 3)
    assert info["alpha_bits"] == (np.dtype(dtype).itemsize * 8 if c in (2, 4) else 0)


def float16_patterns(c):
    """Every finite float16, as 1 to 4 channels of a 96 x 688 (or so) image."""
    bits = np.arange(0x10000, dtype=np.uint16)
    bits = bits[(bits & 0x7C00) != 0x7C00]
    n = -(-bits.size // (c * 96)) * c * 96
    a = np.resize(bits, n).view(np.float16).reshape(96, -1, c)
    return a[..., 0] if c == 1 else a


# libjxl's lossless coder alters float16 samples of magnitude 2**-15 to 2**-14
# above effort 1: such frames take its exact effort-1 coder (in rectangles too),
# or are refused where that coder is not used.
@pytest.mark.parametrize("c, kw", [
    (1, dict(effort=2)), (2, dict(effort=7, progressive=True)), (3, dict(effort=3, numthreads=2)),
    (4, dict(effort=1)), (3, dict(effort=2, chunked=True)),
])
def test_lossless_float16_keeps_every_finite_value(c, kw, request):
    a = float16_patterns(c)
    if kw.pop("chunked", False):  # an image this small goes in rectangles only when forced
        hooks = request.getfixturevalue("testing_hooks")
        before = hooks.chunked_mode("always")
        try:
            data = jxl.encode(a, lossless=True, **kw)
        finally:
            hooks.chunked_mode(before)
    else:
        data = jxl.encode(a, lossless=True, **kw)
    assert np.array_equal(jxl.decode(data).view(np.uint16), a.view(np.uint16))


@pytest.mark.parametrize("arr, kw, dec", [
    (np.stack([float16_patterns(3)] * 2), dict(animation=True), dict()),
    (np.dstack([float16_patterns(1)] * 5), dict(), dict(extra_channels=True)),
])
def test_lossless_float16_that_libjxl_would_alter_is_refused(tmp_path, arr, kw, dec):
    target = tmp_path / "a.jxl"
    target.write_bytes(b"keep")
    with pytest.raises(ValueError, match=r"float16 samples between 2\*\*-15 and 2\*\*-14"):
        jxl.encode(arr, lossless=True, effort=1, dest=target, **kw)
    assert target.read_bytes() == b"keep" and os.listdir(tmp_path) == ["a.jxl"]
    # Without those values the same frames are stored as they are.
    ok = np.where(np.abs(arr) < 2.0**-14, np.float16(0), arr)
    assert np.array_equal(jxl.decode(jxl.encode(ok, lossless=True, **kw), **dec), ok)


# libjxl 0.11.2's effort-1 lossless coder missed a palette hash collision
# between two pixels of one batch of eight and stored pixel 18 of this row as
# pixel 22's colour. The set-up patches libjxl; with an unpatched libjxl the
# writer checks such a still and makes it again at effort 2.
ROW_25 = np.array([[
    [30, 114, 198], [241, 45, 128], [222, 13, 201], [103, 129, 235], [122, 0, 171],
    [163, 108, 19], [209, 138, 126], [132, 247, 183], [71, 89, 196], [211, 249, 89],
    [0, 78, 213], [227, 2, 200], [102, 120, 46], [158, 166, 135], [82, 69, 147],
    [174, 62, 18], [104, 204, 159], [64, 110, 164], [168, 50, 196], [87, 70, 40],
    [238, 96, 4], [104, 199, 11], [52, 254, 14], [175, 152, 191], [79, 121, 94]]], np.uint8)


@pytest.mark.parametrize("image", [ROW_25, np.repeat(ROW_25, 3, axis=0),
                                   np.dstack([ROW_25, np.full((1, 25, 1), 200, np.uint8)])],
                         ids=["row", "rows", "rgba"])
def test_effort_1_lossless_keeps_colliding_palette_colours(image):
    assert np.array_equal(jxl.decode(jxl.encode(image, lossless=True, effort=1)), image)
    w = jxl.JxlWriter(None, effort=1)
    w.write_frame(image)
    assert np.array_equal(jxl.decode(w.close()), image)


def random_image(rng, dtype, c, h, w):
    """Random samples; integer images sometimes from a small palette (the
    effort-1 coder's palette search), float16 any finite value but NaN-free."""
    dt = np.dtype(dtype)
    if dt.kind == "u":
        top = np.iinfo(dt).max
        if rng.random() < 0.5:
            colours = rng.integers(0, top, size=(int(rng.integers(2, 300)), c), endpoint=True)
            a = colours[rng.integers(0, len(colours), size=(h, w))].astype(dt)
        else:
            a = rng.integers(0, top, size=(h, w, c), endpoint=True).astype(dt)
    elif dt == np.float16:
        bits = rng.integers(0, 0x10000, size=(h, w, c)).astype(np.uint16)
        bits[(bits & 0x7C00) == 0x7C00] &= 0x83FF  # top exponent: a finite value instead
        a = bits.view(np.float16)
    else:
        a = (rng.standard_normal((h, w, c)) * 10.0 ** rng.integers(-30, 30)).astype(dt)
    return a[..., 0] if c == 1 else a


# Lossless is lossless at every effort, for every sample type and layout.
@pytest.mark.parametrize("effort", range(1, 11))
def test_lossless_oracle_over_random_images(effort):
    rng = np.random.default_rng(effort)
    for dtype in DTYPES:
        for c in (1, 2, 3, 4):
            h, w = (int(v) for v in rng.integers(1, 40, size=2))
            a = random_image(rng, dtype, c, h, w)
            back = jxl.decode(jxl.encode(a, lossless=True, effort=effort))
            assert back.dtype == a.dtype and back.shape == a.shape
            assert back.tobytes() == a.tobytes(), (np.dtype(dtype).name, c, h, w)


# NaN and infinity: libjxl's lossy coder cannot represent them (one spoils its
# neighbours), so they are refused before anything is written.
@pytest.mark.parametrize("dtype", [np.float16, np.float32], ids=["float16", "float32"])
@pytest.mark.parametrize("bad, text", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")])
def test_lossy_refuses_non_finite_samples(tmp_path, dtype, bad, text):
    a = synthetic(16, 16, 3, dtype)
    a[5, 7, 1] = bad
    a[9, 2, 0] = np.nan
    target = tmp_path / "a.jxl"
    target.write_bytes(b"keep")
    with pytest.raises(ValueError, match=re.escape(
            f"jxl: lossy coding cannot represent NaN or infinity; the first is sample "
            f"[5, 7, 1] ({text}); encode losslessly or replace them")):
        jxl.encode(a, quality=90, dest=target)
    assert target.read_bytes() == b"keep" and os.listdir(tmp_path) == ["a.jxl"]
    with pytest.raises(ValueError, match=re.escape("sample [0, 3] of frame 2 (nan)")):
        frames = np.zeros((2, 4, 4), dtype)
        frames[1, 0, 3] = np.nan
        jxl.encode(frames, animation=True, distance=1.0)


# Lossless float32 keeps every bit pattern, NaN payloads included; float16
# keeps infinities, and NaN, which libjxl's decoder would turn into infinity,
# is refused.
def test_lossless_non_finite_samples():
    bits = np.array([0x7FC00000, 0xFFC00001, 0x7F800001, 0x7F800000, 0xFF800000, 0x3F800000],
                    np.uint32)
    a32 = np.resize(bits, (4, 6)).view(np.float32)
    for effort in (1, 7):
        assert jxl.decode(jxl.encode(a32, effort=effort)).tobytes() == a32.tobytes()
    a16 = np.array([[np.inf, -np.inf, 1.0, 0.0]], np.float16)
    assert jxl.decode(jxl.encode(a16)).tobytes() == a16.tobytes()
    a16[0, 2] = np.nan
    with pytest.raises(ValueError, match=re.escape(
            "jxl: libjxl does not keep float16 NaN losslessly (it decodes as infinity); the "
            "first is sample [0, 2] (nan); pass float32 samples to keep NaN")):
        jxl.encode(a16)


# The synthetic image carries pixel noise, which perceptual coding drops:
# cjxl at the same settings gives the same PSNR (see the byte-identity test).
@pytest.mark.parametrize("kwargs, floor", [
    (dict(quality=90), 29.0),
    (dict(distance=1.0, effort=3), 29.0),
    (dict(distance=1.0, progressive=True), 29.0),
    (dict(distance=0.5, color_transform="xyb", decoding_speed=2), 31.0),
    (dict(distance=1.0, modular=True), 25.0),
    (dict(distance=0.1), 38.0),
])
def test_lossy_round_trip_is_close(kwargs, floor):
    a = synthetic(64, 48, 3)
    data = jxl.encode(a, **kwargs)
    out = frames_of(data)[0]
    assert out.shape == a.shape
    assert floor < psnr(out, a, 255) < float("inf")
    assert len(data) < len(jxl.encode(a))


@pytest.mark.parametrize("args, kwargs", [
    (["-d", "1", "-e", "5"], dict(distance=1.0)),
    (["-q", "90", "-e", "7"], dict(quality=90, effort=7)),
    (["-d", "2", "-e", "4", "--faster_decoding=2"], dict(distance=2, effort=4, decoding_speed=2)),
    (["-d", "0", "-e", "3"], dict(effort=3)),
    (["-d", "0", "-e", "1"], dict(effort=1)),
    (["-d", "1", "-e", "5", "--num_threads=1"], dict(distance=1, numthreads=1)),
])
def test_same_bytes_as_cjxl(cjxl, tmp_path, args, kwargs):
    a = synthetic(64, 48, 3)
    src, out = tmp_path / "a.ppm", tmp_path / "a.jxl"
    src.write_bytes(b"P6\n48 64\n255\n" + a.tobytes())
    subprocess.run([cjxl, str(src), str(out), "--quiet", *args], check=True)
    assert jxl.encode(a, **kwargs) == out.read_bytes()


@pytest.mark.parametrize("ct", ["none", "ycbcr"])
def test_lossless_with_explicit_colour_transform(ct):
    a = synthetic(16, 16, 3)
    assert np.array_equal(frames_of(jxl.encode(a, color_transform=ct, modular=1))[0], a)


def test_effort_changes_the_stream():
    a = synthetic(48, 48, 3)
    streams = {e: jxl.encode(a, effort=e) for e in (1, 5, 7, 9)}
    assert len(set(streams.values())) > 1
    for s in streams.values():
        assert np.array_equal(frames_of(s)[0], a)


# ---- colour tags ---------------------------------------------------------------

@pytest.mark.parametrize("dtype, c, expect", [
    (np.uint8, 3, (RGB, D65, P_SRGB, TF_SRGB)),
    (np.uint8, 4, (RGB, D65, P_SRGB, TF_SRGB)),
    (np.uint8, 1, (GRAY, D65, None, TF_SRGB)),
    (np.uint8, 2, (GRAY, D65, None, TF_SRGB)),
    (np.uint16, 3, (RGB, D65, P_SRGB, TF_LINEAR)),
    (np.uint16, 1, (GRAY, D65, None, TF_LINEAR)),
    (np.float16, 4, (RGB, D65, P_SRGB, TF_LINEAR)),
    (np.float32, 3, (RGB, D65, P_SRGB, TF_LINEAR)),
    (np.float32, 2, (GRAY, D65, None, TF_LINEAR)),
])
def test_default_colour_tags(dtype, c, expect):
    with jxl.JxlReader(jxl.encode(synthetic(8, 8, c, dtype))) as r:
        col = r.color
    got = (col["color_space"], col["white_point"], col["primaries"], col["transfer_function"])
    if expect[2] is None:  # grey has no primaries
        got, expect = got[:2] + got[3:], expect[:2] + expect[3:]
    assert got == expect


@pytest.mark.parametrize("color, dtype, expect", [
    ("rec2100-pq", np.uint16, (D65, P_2100, TF_PQ)),
    ("rec2100-hlg", np.uint16, (D65, P_2100, TF_HLG)),
    ("display-p3", np.uint8, (D65, P_P3, TF_SRGB)),
    ("rec2020", np.float32, (D65, P_2100, TF_709)),
    ("linear-srgb", np.uint8, (D65, P_SRGB, TF_LINEAR)),
    ("srgb", np.float32, (D65, P_SRGB, TF_SRGB)),
    ("gamma22-srgb", np.uint16, (D65, P_SRGB, JXL_TF_GAMMA)),
    (ColorSpec(primaries=P_P3, transfer=TF_PQ, rendering_intent=3), np.uint8,
     (D65, P_P3, TF_PQ)),
])
def test_colour_description_is_written(color, dtype, expect):
    a = synthetic(8, 8, 3, dtype)
    with jxl.JxlReader(jxl.encode(a, color=color)) as r:
        col = r.color
        out = r.read()
    assert (col["white_point"], col["primaries"], col["transfer_function"]) == expect
    assert np.array_equal(out, a)  # tags change no sample


def test_rendering_intent_and_grey_description():
    with jxl.JxlReader(jxl.encode(synthetic(8, 8, 1), color=ColorSpec(rendering_intent=3))) as r:
        assert r.color["color_space"] == GRAY
        assert r.color["rendering_intent"] == 3


@pytest.mark.parametrize("kwargs, target", [
    (dict(color="rec2100-pq"), 10000.0),
    (dict(color="rec2100-hlg", intensity_target=4000), 4000.0),
    (dict(color="rec2100-pq", intensity_target=0), 10000.0),
    (dict(), 255.0),  # libjxl's SDR default
    (dict(intensity_target=600), 600.0),
])
def test_intensity_target(kwargs, target):
    with jxl.JxlReader(jxl.encode(synthetic(8, 8, 3, np.uint16), **kwargs)) as r:
        assert r.basic_info["intensity_target"] == target


def test_hdr_lossy_keeps_original_profile():
    with jxl.JxlReader(jxl.encode(synthetic(8, 8, 3, np.uint16), color="rec2100-pq",
                                  quality=90)) as r:
        assert r.basic_info["uses_original_profile"] is True
    with jxl.JxlReader(jxl.encode(synthetic(8, 8, 3, np.uint16), quality=90)) as r:
        assert r.basic_info["uses_original_profile"] is False


def test_icc_profile_wins_over_description():
    a = synthetic(16, 16, 3)
    with jxl.JxlReader(jxl.encode(a, color="display-p3")) as r:
        p3_icc = r.icc_profile
    assert p3_icc and len(p3_icc) >= 128
    data = jxl.encode(a, color="rec2100-pq", icc_profile=bytearray(p3_icc))
    with jxl.JxlReader(data) as r:
        assert r.icc_profile == p3_icc
        assert r.color is None  # described by the profile alone, not as PQ
        # Only the description's HDR flag is used.
        assert r.basic_info["intensity_target"] == 10000.0
        assert np.array_equal(r.read(), a)


# A profile of the other colour model (Pillow keeps an RGB profile on a grey
# copy) is refused in words, not as libjxl's BAD_INPUT; nothing is written.
@pytest.mark.parametrize("c, words", [
    (1, "RGB colour but the image is grey; pass a grey profile, or RGB pixels"),
    (2, "RGB colour but the image is grey; pass a grey profile, or RGB pixels"),
    (3, "grey colour but the image is RGB; pass an RGB profile, or grey pixels"),
    (4, "grey colour but the image is RGB; pass an RGB profile, or grey pixels"),
])
def test_icc_profile_of_the_other_colour_model_is_refused(tmp_path, c, words):
    def profile(channels):
        with jxl.JxlReader(jxl.encode(synthetic(8, 8, channels))) as r:
            return r.icc_profile
    a = synthetic(8, 8, c)
    target = tmp_path / "a.jxl"
    with pytest.raises(ValueError, match="^" + re.escape("jxl: icc_profile describes " + words)):
        jxl.encode(a, icc_profile=profile(3 if c <= 2 else 1), dest=target)
    assert os.listdir(tmp_path) == []
    assert np.array_equal(jxl.decode(jxl.encode(a, icc_profile=profile(c))), a)


def test_invalid_icc_profile_is_libjxl_error():
    with pytest.raises(jxl.JxlError, match=r"^JxlEncoderSetICCProfile returned JXL_ENC_ERROR"):
        jxl.encode(synthetic(8, 8, 3), icc_profile=b"\0" * 200)


# ---- encode() ----------------------------------------------------------------

def test_encode_defaults_to_lossless_bytes(tmp_path):
    a = synthetic(24, 20, 3)
    data = jxl.encode(a)
    assert type(data) is bytes
    assert np.array_equal(frames_of(data)[0], a)
    p = tmp_path / "a.jxl"
    assert jxl.encode(a, dest=p) is None
    assert p.read_bytes() == data
    buf = io.BytesIO()
    assert jxl.encode(a, dest=buf) is None
    assert buf.getvalue() == data
    w = jxl.JxlWriter()
    w.write_frame(a, is_last=True)
    assert w.close() == data


def test_encode_animation_stack():
    stack = np.stack([synthetic(16, 12, 4, seed=i) for i in range(5)])
    data = jxl.encode(stack, animation=True)
    assert data.startswith(CONTAINER_SIG)
    with jxl.JxlReader(data) as r:
        assert r.basic_info["have_animation"] is True
        out = r.read()
    assert out.shape == stack.shape and np.array_equal(out, stack)
    assert jxl.frame_count(data) == 5


def test_animation_frames_last_a_tenth_of_a_second(tmp_path):
    jxlinfo = shutil.which("jxlinfo")
    if jxlinfo is None:
        pytest.skip("jxlinfo not installed")
    p = tmp_path / "anim.jxl"
    jxl.encode(np.zeros((3, 8, 8), np.uint8), animation=True, dest=p)
    text = subprocess.run([jxlinfo, "-v", str(p)], capture_output=True, text=True,
                          check=True).stdout
    assert "ticks per second (numerator / denominator): 1000 / 1" in text  # whole ms
    assert "num_loops: 0" in text
    assert re.findall(r"duration: ([\d.]+) ms", text) == ["100.0"] * 3


def test_animation_first_axis_is_time():
    a = synthetic(6, 10, 3)
    out = frames_of(jxl.encode(a, animation=True))
    assert len(out) == 6
    assert all(np.array_equal(o, f) for o, f in zip(out, a))
    assert out[0].shape == (10, 3)


def test_animation_from_non_contiguous_stack():
    stack = np.stack([synthetic(10, 8, 3, seed=i) for i in range(3)])
    view = stack[:, ::-1, :, ::-1]
    assert np.array_equal(np.stack(frames_of(jxl.encode(view, animation=True))), view)


def test_empty_animation_stack_is_an_error(tmp_path):
    empty = np.zeros((0, 4, 4), np.uint8)
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        jxl.encode(empty, animation=True)
    buf = io.BytesIO()
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        jxl.encode(empty, animation=True, dest=buf)
    assert buf.getvalue() == b""
    with pytest.raises(ValueError, match="^jxl: no frames were written$"):
        jxl.encode(empty, animation=True, dest=tmp_path / "x.jxl")
    assert os.listdir(tmp_path) == []


def test_animation_rank_checked_before_destination(tmp_path):
    p = tmp_path / "never.jxl"
    with pytest.raises(ValueError) as ei:
        jxl.encode(np.zeros((4, 4), np.uint8), animation=True, dest=p)
    assert str(ei.value) == "animation requires (T, Y, X[, C]) input"
    assert not p.exists()


@pytest.mark.parametrize("arr, kwargs, exc, message", [
    (np.zeros((2, 4, 4, 3), np.uint8), {}, ValueError,
     "jxl: ndim=4; expected 2 (Y,X) or 3 (Y,X,C)"),
    (np.zeros((4, 4), np.uint8), dict(quality=90, distance=1.0), ValueError,
     "jxl: pass quality or distance, not both"),
    (np.zeros((4, 4), np.int32), {}, ValueError,
     "jxl: unsupported dtype dtype('int32') (want uint8, uint16, float16, or float32)"),
    (np.zeros((2, 4, 4, 5), np.uint8), dict(animation=True, channels=["color"] * 3), ValueError,
     "jxl: channels lists 3 channels but the array has 5"),
    ([[1.5, 2.5]], {}, ValueError,
     "jxl: unsupported dtype dtype('float64') (want uint8, uint16, float16, or float32)"),
])
def test_encode_failures_leave_an_existing_file_untouched(tmp_path, arr, kwargs, exc, message):
    p = tmp_path / "out.jxl"
    p.write_bytes(b"the caller's data")
    fds = len(os.listdir("/proc/self/fd"))
    with pytest.raises(exc) as ei:
        jxl.encode(arr, dest=p, **kwargs)
    assert str(ei.value) == message
    assert p.read_bytes() == b"the caller's data"
    assert os.listdir(tmp_path) == ["out.jxl"]
    assert len(os.listdir("/proc/self/fd")) == fds  # every file opened was closed


def test_encode_signature():
    a = np.zeros((4, 4), np.uint8)
    with pytest.raises(TypeError):
        jxl.encode(a, None)
    with pytest.raises(TypeError):
        jxl.encode(a, dset=None)
    assert jxl.encode(arr=a) == jxl.encode(a)
    assert jxl.encode.__doc__.splitlines()[0] == (
        "Encode a single ndarray (or animation stack) to JPEG XL bytes.")


def test_progressive_stream_has_a_dc_prefix():
    a = synthetic(256, 256, 3)
    prog = jxl.encode(a, quality=90, progressive=True)
    plain = jxl.encode(a, quality=90)
    prefix = jxl.thumbnail_bytes(prog)
    assert prefix is not None and 0 < len(prefix) < len(prog)
    assert jxl.thumbnail_bytes(plain) is None


def _mri_stack():
    nibabel = pytest.importorskip("nibabel")
    from pathlib import Path

    path = Path(nibabel.__file__).parent / "tests" / "data" / "example4d.nii.gz"
    vol = np.asarray(nibabel.load(path).dataobj)[..., 0]
    return np.ascontiguousarray(np.moveaxis(vol, 2, 0)).astype(np.uint16)


@pytest.mark.parametrize("source", ["mri", "mri 12-bit channels", "hopper rgb"])
def test_max_error_bounds_every_sample_in_a_plain_stream(pillow_images, source):
    if source == "hopper rgb":
        from PIL import Image

        with Image.open(pillow_images / "hopper.png") as im:
            arr, kw = np.asarray(im.convert("RGB")), {}
    else:
        arr, kw = _mri_stack(), {"animation": True}
        if "12-bit" in source:
            kw["channels"] = [{"type": "color", "bits": 12}]
    lossless = jxl.encode(arr, **kw)
    assert jxl.encode(arr, max_error=0.9, **kw) == lossless  # no grid step below the bound
    sizes = []
    for bound in (1, 4, 16):
        data = jxl.encode(arr, max_error=bound, **kw)
        back = jxl.decode(data)  # any decoder reads the values themselves
        err = np.abs(back.astype(np.int64) - arr)
        assert back.shape == arr.shape and 0 < err.max() <= bound
        sizes.append(len(data))
    assert sizes == sorted(sizes, reverse=True) and sizes[0] < 0.9 * len(lossless)


def _float_sources():
    mri = _mri_stack()[8:11].astype(np.float64)
    ramp = np.linspace(0.0, 1.0, 64 * 48 * 3).reshape(64, 48, 3)
    return {
        "mri stack, negative to above 1": (mri * 0.37 - 120.0, {"animation": True}),
        "mri slice, 0..1": (mri[1] / mri.max(), {}),
        "rgb ramp, large values": (ramp * 3e4 + 1e4, {}),
    }


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
@pytest.mark.parametrize("source", ["mri stack, negative to above 1", "mri slice, 0..1",
                                    "rgb ramp, large values", "nan and inf"])
def test_float_max_error_round_trips_within_the_bound(dtype, source):
    from quillmarsh.integrations.numcodecs import JpegXl

    if source == "nan and inf":  # stored losslessly, as the codec does
        arr, kw = np.linspace(-2.0, 2.0, 40 * 30).reshape(40, 30), {}
        arr[3, 4], arr[5, 6] = np.inf, -np.inf
        if dtype == np.float32:
            arr[7, 8] = np.nan
    else:
        arr, kw = _float_sources()[source]
    arr = arr.astype(dtype)
    span = float(np.nanmax(np.where(np.isfinite(arr), arr, np.nan)) - np.nanmin(arr[np.isfinite(arr)]))
    bound = span * (4e-3 if dtype == np.float16 else 1e-3)
    data = jxl.encode(arr, max_error=bound, **kw)
    with jxl.JxlReader(data) as reader:
        read = reader.read()
    # the codec reads encode()'s stream, and encode()'s reader the codec's
    for back in (jxl.decode(data), read, JpegXl().decode(data),
                 jxl.decode(JpegXl(max_error=bound).encode(arr))):
        assert back.dtype == dtype and back.shape == arr.shape
        if source == "nan and inf":
            np.testing.assert_array_equal(back, arr)
            continue
        assert np.abs(back.astype(np.float64) - arr.astype(np.float64)).max() <= bound
    if source != "nan and inf":
        assert len(data) < 0.6 * len(jxl.encode(arr, lossless=True, **kw))
    if kw:
        np.testing.assert_array_equal(jxl.decode(data, index=1), read[1])


@pytest.mark.parametrize("arr, kw, message", [
    (np.zeros((8, 8), np.float32), {"max_error": 1, "channels": ["color"]},
     "max_error with float samples takes no channels= list"),
    (np.zeros((8, 8), np.uint16), {"max_error": 1, "distance": 1.0}, "max_error or a lossy"),
    (np.zeros((8, 8), np.uint16), {"max_error": 1, "lossless": False}, "max_error or a lossy"),
    (np.zeros((8, 8), np.uint16), {"max_error": float("nan")}, "max_error must be 0 or more"),
    # libjxl clips a sample above its channel's bits without a word
    (np.full((8, 8), 4096, np.uint16), {"channels": [{"type": "color", "bits": 12}]},
     r"channel 0 holds the value 4096, which does not fit its bits \(0 to 4095\)"),
    (np.dstack([np.zeros((8, 8, 3), np.uint8), np.full((8, 8), 64, np.uint8)]),
     {"channels": ["color"] * 3 + [{"type": "depth", "bits": 6}]},
     r"channel 3 holds the value 64, which does not fit its bits \(0 to 63\)"),
])
def test_max_error_and_bits_refusals_write_nothing(tmp_path, arr, kw, message):
    dest = tmp_path / "out.jxl"
    dest.write_bytes(b"kept")
    with pytest.raises(ValueError, match=message):
        jxl.encode(arr, dest=str(dest), **kw)
    assert dest.read_bytes() == b"kept" and os.listdir(tmp_path) == ["out.jxl"]
