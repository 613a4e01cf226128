"""ICC/EXIF/XMP and animation timing of ordinary image files, through Pillow."""

import io

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
