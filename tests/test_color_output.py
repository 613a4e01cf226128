"""Colour-managed output: decode(..., output_color=...) and JxlReader alike.

Lossy (XYB) files are converted by libjxl itself and must match djxl's own
conversion; lossless files keep their colour space inside libjxl and are
converted with lcms2, which must match the colour spaces' defining formulas.
"""

from __future__ import annotations

import io
import subprocess
from pathlib import Path

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from quillmarsh.core.color import ColorSpec
from _streams import encode_array

STEP = 1 / 255  # one 8-bit step, in [0, 1] units

# ---- the defining formulas ------------------------------------------------

XY = {  # primaries (r, g, b) and the D65 white point, CIE xy
    "srgb": ((0.64, 0.33), (0.30, 0.60), (0.15, 0.06)),
    "p3": ((0.680, 0.320), (0.265, 0.690), (0.150, 0.060)),
    "2100": ((0.708, 0.292), (0.170, 0.797), (0.131, 0.046)),
}
D65 = (0.3127, 0.3290)


def to_xyz(name: str) -> np.ndarray:
    """RGB -> XYZ matrix of a primaries set with the D65 white."""
    cols = np.array([[x / y, 1.0, (1 - x - y) / y] for x, y in XY[name]]).T
    wx, wy = D65
    white = np.array([wx / wy, 1.0, (1 - wx - wy) / wy])
    return cols * np.linalg.solve(cols, white)


def srgb_encode(lin):
    a = np.abs(lin)
    return np.sign(lin) * np.where(a <= 0.0031308, 12.92 * a, 1.055 * a ** (1 / 2.4) - 0.055)


def srgb_decode(e):
    a = np.abs(e)
    return np.sign(e) * np.where(a <= 0.04045, a / 12.92, ((a + 0.055) / 1.055) ** 2.4)


def pq_decode(e, intensity_target=10000.0):
    """PQ signal -> linear light with 1.0 at the image's intensity target."""
    m1, m2, c1, c2, c3 = 2610 / 16384, 2523 / 32, 3424 / 4096, 2413 / 128, 2392 / 128
    p = np.clip(e, 0, None) ** (1 / m2)
    nits = 10000 * (np.clip(p - c1, 0, None) / (c2 - c3 * p)) ** (1 / m1)
    return nits / intensity_target


def pq_encode(lin, intensity_target=10000.0):
    m1, m2, c1, c2, c3 = 2610 / 16384, 2523 / 32, 3424 / 4096, 2413 / 128, 2392 / 128
    y = np.clip(lin * intensity_target / 10000, 0, None) ** m1
    return ((c1 + c2 * y) / (1 + c3 * y)) ** m2


CURVES = {"linear": (lambda v, it: v, lambda v, it: v),
          "srgb": (lambda v, it: srgb_decode(v), lambda v, it: srgb_encode(v)),
          "pq": (pq_decode, pq_encode)}
TARGETS = {  # output_color name -> (primaries, curve)
    "srgb": ("srgb", "srgb"),
    "display-p3": ("p3", "srgb"),
    "linear-srgb": ("srgb", "linear"),
    "rec2100-pq": ("2100", "pq"),
}


def by_formula(samples: np.ndarray, src: tuple, dst: tuple, nits: float) -> np.ndarray:
    """Float [0, 1] samples from colour space `src` to `dst` (primaries, curve);
    linear 1.0 stands for the image's intensity target of `nits`."""
    lin = CURVES[src[1]][0](samples.astype(np.float64), nits)
    m = np.linalg.solve(to_xyz(dst[0]), to_xyz(src[0]))
    return CURVES[dst[1]][1](lin @ m.T, nits)


# ---- test images -------------------------------------------------------------


def gradient(h: int = 40, w: int = 48) -> np.ndarray:
    """Smooth ramps plus saturated corners (out of sRGB's gamut for P3/2100)."""
    y, x = np.mgrid[0:h, 0:w]
    img = np.stack([x / (w - 1), y / (h - 1), 0.5 * (1 - x / (w - 1)) + 0.25 * y / (h - 1)], -1)
    img[:6, :6] = (1.0, 0.0, 0.0)
    img[-6:, -6:] = (0.0, 1.0, 0.0)
    return img


SOURCES = {  # name -> (samples, cjxl colour description, (primaries, curve))
    "linear": (gradient().astype(np.float32), "RGB_D65_SRG_Rel_Lin", ("srgb", "linear")),
    "display-p3": ((gradient() * 65535 + 0.5).astype(np.uint16), "RGB_D65_DCI_Rel_SRG",
                   ("p3", "srgb")),
    "pq": ((gradient() * 0.6).astype(np.float32), "RGB_D65_202_Rel_PeQ", ("2100", "pq")),
}
LOSSLESS, LOSSY = ("-d", "0", "-e", "2"), ("-d", "1", "-e", "3")


def make(source: str, args: tuple, alpha: bool = False) -> bytes:
    arr, desc, _ = SOURCES[source]
    if alpha:
        a = np.linspace(0, 65535, arr.shape[0] * arr.shape[1]).reshape(arr.shape[:2], order="F")
        arr = np.dstack([arr, a.astype(np.uint16)])
    return encode_array(arr, (*args, "-x", f"color_space={desc}"))


def unit(a: np.ndarray, bits: int) -> np.ndarray:
    if a.dtype.kind == "f":
        return a.astype(np.float64)
    return a.astype(np.float64) / (2**bits - 1)


def bits_of(data: bytes) -> int:
    with jxl.JxlReader(data) as r:
        return r.basic_info["bits_per_sample"]


def nits_of(data: bytes) -> float:
    with jxl.JxlReader(data) as r:
        return r.basic_info["intensity_target"]


def djxl_png(djxl: str, data: bytes, tmp_path: Path, *extra: str) -> np.ndarray:
    src, out = tmp_path / "in.jxl", tmp_path / "out.png"
    src.write_bytes(data)
    subprocess.run([djxl, str(src), str(out), *extra], check=True, capture_output=True)
    from PIL import Image

    with Image.open(out) as im:
        return np.asarray(im)


def png_unit(a: np.ndarray) -> np.ndarray:
    return a.astype(np.float64) / (255 if a.dtype == np.uint8 else 65535)


# ---- behaviour -----------------------------------------------------------------


@pytest.mark.parametrize("target", list(TARGETS))
@pytest.mark.parametrize("source", list(SOURCES))
def test_lossless_conversion_follows_the_formulas(source, target):
    data = make(source, LOSSLESS)
    bits = bits_of(data)
    raw = unit(jxl.decode(data), bits)
    out = jxl.decode(data, output_color=target)
    assert out.shape == raw.shape
    assert out.dtype == jxl.decode(data).dtype  # the sample type is kept
    got = unit(out, bits)
    want = by_formula(raw, SOURCES[source][2], TARGETS[target], nits_of(data))
    if source == "pq" and target == "rec2100-pq":
        # PQ's steep foot leaves the float32 round trip a little less exact.
        np.testing.assert_allclose(got, want, atol=STEP)
    np.testing.assert_allclose(np.clip(got, 0, 1), np.clip(want, 0, 1), atol=STEP)
    # Not a pass-through: the request changed the samples (except identity).
    if TARGETS[target] != SOURCES[source][2]:
        assert np.abs(got - raw).max() > 4 * STEP


@pytest.mark.parametrize(("target", "desc"), [("srgb", "RGB_D65_SRG_Rel_SRG"),
                                               ("display-p3", "RGB_D65_DCI_Rel_SRG")])
@pytest.mark.parametrize("source", list(SOURCES))
def test_lossy_conversion_matches_djxl(djxl, tmp_path, source, target, desc):
    data = make(source, LOSSY)
    ref = png_unit(djxl_png(djxl, data, tmp_path, f"--color_space={desc}"))
    got = np.clip(unit(jxl.decode(data, output_color=target), bits_of(data)), 0, 1)
    assert np.abs(got - ref).max() <= STEP + 1e-9


def test_desired_intensity_target_tone_maps_like_djxl(djxl, tmp_path):
    data = make("pq", LOSSY)
    ref = png_unit(djxl_png(djxl, data, tmp_path, "--color_space=RGB_D65_SRG_Rel_SRG",
                            "--display_nits=250"))
    plain = np.clip(jxl.decode(data, output_color="srgb"), 0, 1)
    got = np.clip(jxl.decode(data, output_color="srgb", desired_intensity_target=250), 0, 1)
    assert np.abs(got - ref).max() <= STEP + 1e-9
    assert (got - plain).mean() > 10 * STEP  # tone mapping for a dim display brightens


@pytest.mark.parametrize("args", [LOSSLESS, LOSSY], ids=["lossless", "lossy"])
def test_reader_describes_the_delivered_pixels(args):
    from PIL import ImageCms

    data = make("display-p3", args)
    with jxl.JxlReader(data, parse_color=True, output_color="srgb") as r:
        color, icc = r.color, r.icc_profile
        frame = r.read()
    assert (color["primaries"], color["transfer_function"]) == (1, 13)  # sRGB, sRGB curve
    prof = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    assert prof.profile.xcolor_space.strip() == "RGB"
    # The delivered profile, handed back as a target, changes nothing more.
    again = jxl.decode(data, output_color=icc)
    np.testing.assert_allclose(unit(again, 16), unit(frame, 16), atol=STEP)


@pytest.mark.parametrize("args", [LOSSLESS, LOSSY], ids=["lossless", "lossy"])
def test_icc_target_equals_named_target(args):
    from PIL import ImageCms

    data = make("linear", args)
    srgb_icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    by_name = jxl.decode(data, output_color="srgb")
    by_icc = jxl.decode(data, output_color=srgb_icc)
    by_spec = jxl.decode(data, output_color=ColorSpec(transfer=13))
    np.testing.assert_allclose(np.clip(by_icc, 0, 1), np.clip(by_name, 0, 1), atol=STEP)
    np.testing.assert_array_equal(by_spec, by_name)


def test_alpha_passes_through_and_grey_stays_grey():
    data = make("display-p3", LOSSLESS, alpha=True)
    raw = jxl.decode(data)
    out = jxl.decode(data, output_color="srgb")
    np.testing.assert_array_equal(out[..., 3], raw[..., 3])
    assert np.abs(out[..., :3].astype(int) - raw[..., :3]).max() > 1000

    grey = np.linspace(0, 1, 32 * 24, dtype=np.float32).reshape(32, 24)
    gdata = encode_array(grey, (*LOSSLESS, "-x", "color_space=Gra_D65_Rel_Lin"))
    g = jxl.decode(gdata, output_color="srgb")
    assert g.shape == (32, 24)
    np.testing.assert_allclose(g, srgb_encode(jxl.decode(gdata).astype(np.float64)), atol=1e-4)


def test_none_keeps_the_data_colour_space():
    data = make("linear", LOSSLESS)
    np.testing.assert_array_equal(jxl.decode(data, output_color=None), jxl.decode(data))
    with jxl.JxlReader(data, parse_color=True) as r:
        assert r.color["transfer_function"] == 8  # linear


@pytest.mark.parametrize(("kwargs", "exc", "match"), [
    ({"output_color": "no-such-space"}, ValueError, "unknown color"),
    ({"output_color": 12}, TypeError, "output_color"),
    ({"output_color": b"not an ICC profile"}, ValueError, "output_color"),
    ({"output_color": "lab-icc"}, ValueError, "output_color"),
    ({"output_color": "srgb", "desired_intensity_target": -1}, ValueError,
     "desired_intensity_target"),
])
def test_bad_requests_are_refused(kwargs, exc, match):
    if kwargs.get("output_color") == "lab-icc":
        from PIL import ImageCms

        kwargs = {"output_color": ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()}
    data = make("linear", LOSSLESS)
    with pytest.raises(exc, match=match):
        jxl.decode(data, **kwargs)
    with pytest.raises(exc, match=match):
        jxl.JxlReader(data, **kwargs)


@pytest.mark.parametrize("source", ["linear", "pq"])
def test_command_line_png_of_linear_or_hdr_is_converted(tmp_path, source):
    from PIL import Image
    from test_cli import cli

    data = make(source, LOSSLESS)
    (tmp_path / "x.jxl").write_bytes(data)
    done = cli("decode", "x.jxl", "x.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    got = np.asarray(Image.open(tmp_path / "x.png")).astype(np.float64) / 255
    want = np.clip(jxl.decode(data, output_color="srgb"), 0, 1)
    assert np.abs(got - want).max() <= STEP / 2 + 1e-6
    assert np.abs(got - np.clip(jxl.decode(data), 0, 1)).max() > 10 * STEP  # not raw


# ---- HDR for an SDR display: lossless and lossy agree with djxl ---------------


def hlg_encode(lin):
    a, b, c = 0.17883277, 0.28466892, 0.55991073
    lin = np.clip(lin, 0, None)
    return np.where(lin <= 1 / 12, np.sqrt(3 * lin), a * np.log(np.maximum(12 * lin - b, 1e-12)) + c)


HDR = {  # name -> (cjxl colour description, stored intensity target, peak of the content)
    "pq-10000": ("RGB_D65_202_Rel_PeQ", 10000, 4000),
    "pq-1000": ("RGB_D65_202_Rel_PeQ", 1000, 1000),
    "hlg": ("RGB_D65_202_Rel_HLG", 1000, None),
}


def hdr_pair(name: str) -> tuple[bytes, bytes]:
    """A lossy HDR file of colours inside sRGB's gamut, and a lossless file of
    exactly the pixels the lossy one decodes to."""
    desc, nits, peak = HDR[name]
    lin = (0.05 + 0.9 * gradient()) @ np.linalg.solve(to_xyz("2100"), to_xyz("srgb")).T
    lin = lin * np.linspace(0.15, 1, lin.shape[1])[None, :, None] ** 2  # dim to bright
    samples = hlg_encode(lin) if peak is None else pq_encode(lin, peak)
    args = ("-x", f"color_space={desc}", f"--intensity_target={nits}")
    lossy = encode_array(samples.astype(np.float32), ("-d", "0.5", "-e", "3", *args))
    same = jxl.decode(lossy)
    assert same.dtype == np.float32
    lossless = encode_array(same, ("-d", "0", "-e", "1", *args))
    np.testing.assert_array_equal(jxl.decode(lossless), same)
    return lossy, lossless


@pytest.mark.parametrize("display", [None, 250])
@pytest.mark.parametrize("name", list(HDR))
def test_hdr_to_srgb_matches_djxl_lossless_and_lossy(djxl, tmp_path, name, display):
    lossy, lossless = hdr_pair(name)
    extra = () if display is None else (f"--display_nits={display}",)
    ref = png_unit(djxl_png(djxl, lossy, tmp_path, "--color_space=RGB_D65_SRG_Rel_SRG", *extra))
    for data in (lossy, lossless):
        got = jxl.decode(data, output_color="srgb", desired_intensity_target=display)
        assert np.abs(np.clip(got, 0, 1) - ref).max() <= STEP + 1e-9
    if display is not None:  # the request changed the pixels: brighter on a dim display
        plain = np.clip(jxl.decode(lossless, output_color="srgb"), 0, 1)
        assert (ref - plain).mean() > 4 * STEP


@pytest.mark.parametrize("name", ["pq-10000", "pq-1000", "grey"])
def test_desired_intensity_target_alone_tone_maps_pq_in_its_own_space(name):
    if name == "grey":
        ramp = pq_encode(np.linspace(0, 0.2, 40 * 48).reshape(40, 48))  # up to 2000 nits
        lossy, lossless = None, encode_array(ramp.astype(np.float32),
                                             (*LOSSLESS, "-x", "color_space=Gra_D65_Rel_PeQ"))
    else:
        lossy, lossless = hdr_pair(name)
    got = jxl.decode(lossless, desired_intensity_target=250)
    np.testing.assert_array_equal(got, jxl.decode(lossless, output_color="rec2100-pq",
                                                  desired_intensity_target=250))
    nits = pq_decode(got.astype(np.float64)) * 10000
    assert 200 < nits.max() <= 250.01  # the display's peak, from a brighter source
    if name == "grey":  # the tone curve keeps the order of the samples
        assert (np.diff(nits.ravel()) >= -1e-3).all()
    assert pq_decode(jxl.decode(lossless).astype(np.float64)).max() * 10000 > 800
    with jxl.JxlReader(lossless, desired_intensity_target=250, parse_color=True) as r:
        assert r.color["transfer_function"] == 16  # still PQ, described by its own profile
        assert r.icc_profile == jxl.JxlReader(lossless, parse_color=True).icc_profile
    if name == "pq-10000":  # libjxl's own in-place mapping of the lossy copy agrees
        assert np.abs(got - jxl.decode(lossy, desired_intensity_target=250)).max() <= STEP
