"""ICC/EXIF/XMP and animation timing of ordinary image files, through Pillow."""

import io
import struct

import numpy as np

import pytest
from PIL import Image, ImageCms

from quillmarsh.core import imagemeta as M


@pytest.fixture(scope="module")
def meta():
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x010F], exif[0x0110], exif[0x0112] = "Canon", "EOS 5D", 1
    exif.get_ifd(0x8769)[0x9003] = "2021:06:07 08:09:10"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    return M.ImageMeta(icc_profile=icc, exif=exif.tobytes()[6:], xmp=xmp)


def save_and_read(fmt, frames, meta, **extra):
    buf = io.BytesIO()
    images = [Image.fromarray(f) for f in frames]
    more = {"save_all": True, "append_images": images[1:]} if len(images) > 1 else {}
    images[0].save(buf, format=fmt, **M.save_options(fmt, meta, len(images)), **more, **extra)
    buf.seek(0)
    return Image.open(buf)


@pytest.mark.parametrize("fmt", ["PNG", "JPEG", "TIFF", "WEBP"])
def test_icc_exif_xmp_survive_each_format(fmt, meta):
    img = save_and_read(fmt, [np.zeros((8, 12, 3), np.uint8)], meta)
    got = M.read_meta(img)
    assert (got.icc_profile, got.exif, got.xmp) == (meta.icc_profile, meta.exif, meta.xmp)
    assert got.durations is None and got.loops is None
    assert M.dropped(fmt, meta) == []


def test_gif_cannot_hold_them_and_says_so(meta):
    assert M.dropped("GIF", meta) == ["ICC profile", "EXIF", "XMP"]
    got = M.read_meta(save_and_read("GIF", [np.zeros((8, 12, 3), np.uint8)], meta))
    assert (got.icc_profile, got.exif, got.xmp) == (None, None, None)


@pytest.mark.parametrize("fmt", ["GIF", "PNG", "WEBP"])
@pytest.mark.parametrize("loops", [0, 1, 3])
def test_durations_and_loops_round_trip(fmt, loops):
    frames = [np.full((8, 8, 3), v, np.uint8) for v in (0, 100, 200)]
    meta = M.ImageMeta(durations=[0.05, 0.2, 0.5], loops=loops)
    got = M.read_meta(save_and_read(fmt, frames, meta))
    assert got.durations == [0.05, 0.2, 0.5] and got.loops == loops


@pytest.mark.parametrize("plays, field", [(0, 0), (1, None), (4, 3)])
def test_gif_loop_field_counts_repeats(plays, field):
    frames = [np.full((8, 8, 3), v, np.uint8) for v in (0, 200)]
    img = save_and_read("GIF", frames, M.ImageMeta(durations=[0.1, 0.1], loops=plays))
    assert img.info.get("loop") == field


def test_exif_marker_and_non_tiff_exif():
    img = Image.fromarray(np.zeros((4, 4, 3), np.uint8))
    buf = io.BytesIO()
    img.save(buf, format="WEBP", exif=b"Exif\x00\x00not tiff at all")
    got = M.read_meta(Image.open(buf))
    assert got.exif is None and got.notes == ["its EXIF is not TIFF-structured and was left out"]


def test_exif_summary(meta):
    assert M.exif_summary(meta.exif) == {
        "camera": "Canon EOS 5D", "date": "2021:06:07 08:09:10", "orientation": 1}
    with pytest.raises(ValueError, match="unreadable EXIF"):
        M.exif_summary(b"II*\x00\xff\xff\xff\x7f")


@pytest.mark.parametrize("name", ["dispose_none_load_end.gif", "duplicate_number_of_loops.gif"])
def test_frames_without_delay_get_100ms(pillow_images, name):
    # zero delays in the first file, no delay fields at all in the second
    with Image.open(pillow_images / name) as img:
        got = M.read_meta(img)
    assert got.durations == [0.1, 0.1]
    assert got.notes == ["2 of its 2 frames had no delay and are shown for 100 ms each, "
                         "as browsers play them"]


@pytest.mark.parametrize(
    "info, mode, transfer, gamma, intent, note",
    [
        ({}, "I;16", 13, 0.0, 1, None),                                   # untagged: sRGB
        ({"srgb": 0, "gamma": 0.45455}, "RGB", 13, 0.0, 0, None),         # sRGB chunk wins
        ({"gamma": 0.45455, "chromaticity": (0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06)},
         "L", 65535, 0.45455, 1, None),
        ({"gamma": 1.0}, "RGBA", 8, 0.0, 1, None),
        ({"gamma": 0.5, "chromaticity": (0.3127, 0.329, 0.7, 0.3, 0.2, 0.7, 0.15, 0.05)},
         "RGB", 65535, 0.5, 1, "its cHRM primaries are not sRGB's"),
    ],
)
def test_source_color(info, mode, transfer, gamma, intent, note):
    spec, said = M.source_color(info, mode)
    assert (spec.transfer, spec.gamma, spec.rendering_intent, spec.primaries) == (transfer, gamma, intent, 1)
    assert (said is None) if note is None else said.startswith(note)
    assert M.source_color({}, "F") == (None, None)


def test_profile_fits_the_colour_model():
    rgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    assert M.profile_fits(rgb, "RGB") and M.profile_fits(rgb, "RGBA")
    assert not M.profile_fits(rgb, "L") and not M.profile_fits(rgb, "I;16")
    assert not M.profile_fits(b"short", "RGB")


def _long_orientation(value):
    """Big-endian EXIF whose orientation is a LONG, as some writers store it."""
    return b"MM\x00*" + struct.pack(">IHHHII", 8, 1, 0x0112, 4, 1, value) + b"\x00" * 4


@pytest.mark.parametrize("typed", ["SHORT", "LONG"])
def test_orientation_is_patched_in_exif_and_xmp(meta, typed):
    if typed == "SHORT":
        exif = Image.Exif()
        exif[0x0112], exif[0x010F] = 6, "Canon"
        raw = exif.tobytes()[6:]
    else:
        raw = _long_orientation(6)
    assert M.exif_orientation(raw) == 6
    fixed = M.with_orientation(raw, 1)
    assert len(fixed) == len(raw) and M.exif_orientation(fixed) == 1
    read = Image.Exif()
    read.load(M.EXIF_MARKER + fixed)
    assert read[0x0112] == 1  # what exif_transpose goes by
    xmp = b'<a tiff:Orientation="8"/><tiff:Orientation>3</tiff:Orientation>'
    assert M.xmp_with_orientation(xmp, 1) == b'<a tiff:Orientation="1"/><tiff:Orientation>1</tiff:Orientation>'
