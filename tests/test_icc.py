"""ICC profile descriptions, as `quillmarsh-jxl info` shows them."""

from __future__ import annotations

import io

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from quillmarsh.core.icc import profile_description
from _icc import rgb_profile


@pytest.mark.parametrize("version", [2, 4])
def test_description_matches_what_little_cms_reads(version):
    ImageCms = pytest.importorskip("PIL.ImageCms")
    icc = rgb_profile("Marsh test RGB", version, [("de", "DE", "Marsch-Test")])
    got = profile_description(icc)
    assert got == "Marsh test RGB"  # English chosen over the German record
    assert got == ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(icc))).strip()


@pytest.mark.parametrize("name", ["sRGB", "LAB", "XYZ"])
def test_description_of_little_cms_built_in_profiles(name):
    ImageCms = pytest.importorskip("PIL.ImageCms")
    profile = ImageCms.createProfile(name)
    icc = ImageCms.ImageCmsProfile(profile).tobytes()
    assert profile_description(icc) == ImageCms.getProfileDescription(profile).strip()


def test_description_of_libjxl_synthesised_profile():
    with jxl.JxlReader(jxl.encode(np.zeros((8, 8, 3), np.uint8))) as reader:
        assert profile_description(reader.icc_profile) == "RGB_D65_SRG_Rel_SRG"


@pytest.mark.parametrize("version", [2, 4])
def test_damaged_profiles_give_none_not_an_exception(version):
    icc = rgb_profile("Marsh test RGB", version)
    for n in range(len(icc)):  # every truncation
        assert profile_description(icc[:n]) in (None, "Marsh test RGB")
    assert profile_description(icc[:140]) is None
    bad = bytearray(icc)
    bad[128:132] = (10**6).to_bytes(4, "big")  # tag count past the end
    assert profile_description(bytes(bad)) is None
    assert profile_description(b"") is None
