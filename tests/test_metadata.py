"""Reader metadata: color, icc_profile and basic_info."""

import numpy as np
import pytest

import _streams as S
from conftest import conformance_file
from quillmarsh.codecs import _jxl

# libjxl's enumeration values (jxl/color_encoding.h).
RGB, GRAY = 0, 1
WP_D65, WP_DCI = 1, 11
PRIM_SRGB, PRIM_2100, PRIM_P3 = 1, 9, 11
TF_LINEAR, TF_SRGB, TF_PQ, TF_DCI, TF_HLG, TF_GAMMA = 8, 13, 16, 17, 18, 65535
PERCEPTUAL, RELATIVE, ABSOLUTE = 0, 1, 3

COLOR_KEYS = ["color_space", "white_point", "primaries", "transfer_function", "rendering_intent"]
INFO_KEYS = ["xsize", "ysize", "bits_per_sample", "exponent_bits_per_sample",
             "num_color_channels", "num_extra_channels", "alpha_bits", "have_animation",
             "orientation", "intensity_target", "min_nits", "relative_to_max_display",
             "linear_below", "uses_original_profile", "alpha_premultiplied", "num_loops", "tps",
             "have_timecodes"]


@pytest.fixture(scope="module")
def rgb():
    return S.still(48, 64, 3)


def test_srgb_lossless(rgb):
    r = _jxl.JxlReader(rgb)
    c = r.color
    assert list(c) == COLOR_KEYS and all(type(v) is int for v in c.values())
    assert (c["color_space"], c["white_point"], c["primaries"], c["transfer_function"]) == (
        RGB, WP_D65, PRIM_SRGB, TF_SRGB)
    assert c["rendering_intent"] in (PERCEPTUAL, RELATIVE, 2, ABSOLUTE)
    assert r.color is not c and r.color == c  # a new dict each time


@pytest.mark.parametrize("name, c, want, target", [
    ("RGB_D65_202_Rel_PeQ", 3, (RGB, WP_D65, PRIM_2100, TF_PQ, RELATIVE), 10000.0),
    ("RGB_DCI_DCI_Per_DCI", 3, (RGB, WP_DCI, PRIM_P3, TF_DCI, PERCEPTUAL), 255.0),
    ("RGB_D65_SRG_Abs_HLG", 3, (RGB, WP_D65, PRIM_SRGB, TF_HLG, ABSOLUTE), 1000.0),
    ("Gra_D65_Rel_Lin", 1, (GRAY, WP_D65, None, TF_LINEAR, RELATIVE), 255.0),
])
def test_colour_encodings_are_libjxl_numbers(name, c, want, target):
    data = S.still(24, 32, c, np.uint16, ("-d", "0", "-e", "1", "-x", f"color_space={name}"))
    r = _jxl.JxlReader(data)
    got = tuple(r.color[k] for k in COLOR_KEYS)
    assert got[:2] == want[:2] and got[3:] == want[3:]
    if want[2] is not None:
        assert got[2] == want[2]
    assert r.basic_info["intensity_target"] == target


def test_gamma_transfer_is_reported_as_its_number():
    assert _jxl.JxlReader(conformance_file("lz77_flower")).color["transfer_function"] == TF_GAMMA


def test_parse_color_false(rgb):
    r = _jxl.JxlReader(rgb, parse_color=False)
    assert r.color is None and r.icc_profile is None
    assert r.basic_info["xsize"] == 64  # still filled
    r.close()
    assert r.icc_profile is None


def test_icc_profile_is_fetched_once_and_cached(rgb):
    r = _jxl.JxlReader(rgb)
    icc = r.icc_profile
    assert type(icc) is bytes and len(icc) > 128 and icc[36:40] == b"acsp"
    assert r.icc_profile is icc
    r.close()
    assert r.icc_profile is icc  # fetched before close: still there


def test_icc_profile_first_asked_after_close(rgb):
    r = _jxl.JxlReader(rgb)
    r.close()
    assert r.icc_profile is None


def test_icc_profile_after_frames_were_decoded(rgb):
    r = _jxl.JxlReader(rgb)
    r.read()
    assert r.icc_profile[36:40] == b"acsp"


def test_grey_profile_differs_from_rgb(rgb):
    grey = _jxl.JxlReader(S.still(48, 64, 1)).icc_profile
    assert grey[16:20] == b"GRAY" and _jxl.JxlReader(rgb).icc_profile[16:20] == b"RGB "


@pytest.mark.parametrize("c, extra, alpha", [(1, 0, 0), (2, 1, 8), (3, 0, 0), (4, 1, 8)])
def test_basic_info_fields(c, extra, alpha):
    bi = _jxl.JxlReader(S.still(24, 40, c)).basic_info
    assert list(bi) == INFO_KEYS
    assert (bi["xsize"], bi["ysize"]) == (40, 24)
    assert bi["num_color_channels"] == (1 if c <= 2 else 3)
    assert bi["num_extra_channels"] == extra and bi["alpha_bits"] == alpha
    assert bi["bits_per_sample"] == 8 and bi["exponent_bits_per_sample"] == 0
    assert bi["have_animation"] is False and bi["uses_original_profile"] is True
    assert type(bi["orientation"]) is int and bi["orientation"] == 1
    assert type(bi["intensity_target"]) is float and bi["intensity_target"] == 255.0
    assert type(bi["min_nits"]) is float


def test_basic_info_of_lossy_and_animated_streams():
    lossy = _jxl.JxlReader(S.still(48, 64, 3, np.uint8, S.LOSSY)).basic_info
    assert lossy["uses_original_profile"] is False
    anim = _jxl.JxlReader(S.animation(3, 24, 32)).basic_info
    assert anim["have_animation"] is True


def test_metadata_survives_close(rgb):
    r = _jxl.JxlReader(rgb)
    color, info = r.color, r.basic_info
    r.close()
    assert r.color == color and r.basic_info == info


def test_float_stream_info():
    bi = _jxl.JxlReader(S.still(24, 40, 3, np.float32)).basic_info
    assert (bi["bits_per_sample"], bi["exponent_bits_per_sample"]) == (32, 8)


def test_colour_given_only_as_an_icc_profile():
    # Kept losslessly, the colour is the profile itself: libjxl has no encoding
    # to describe it, so `color` says nothing rather than zeros.
    from PIL import ImageCms
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    data = _jxl.encode(S.image(16, 16, 3), icc_profile=icc)
    with _jxl.JxlReader(data) as r:
        assert r.color is None
        assert r.icc_profile == icc
    # A lossy (XYB) stream has an encoding again.
    with _jxl.JxlReader(_jxl.encode(S.image(16, 16, 3), icc_profile=icc, quality=90)) as r:
        assert r.color is not None and r.color["transfer_function"] == 13
