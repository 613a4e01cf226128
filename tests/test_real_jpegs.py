"""Every JPEG in Pillow's test images (files made by cameras, editors and
other encoders) through lossless recompression: one transcode_jpeg accepts
comes back from reconstruct_jpeg bit for bit; one it refuses is one libjxl's
own cjxl and djxl cannot give back either, or one of the limits named below.
The conformance corpus holds JPEG XL files only."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

import pytest
from conftest import pillow_images_dir

from quillmarsh.codecs import jxl


def _jpegs() -> list:
    d = pillow_images_dir()
    if d is None:
        return [pytest.param(None, marks=pytest.mark.skip(reason="Pillow's Tests/images not fetched"))]
    # JPEGs by content, not by name: MPO files are JPEGs with more images behind.
    found = sorted(p for p in d.rglob("*") if p.is_file() and p.read_bytes()[:3] == b"\xff\xd8\xff")
    # Above 1 MB the recompression takes seconds at effort 7.
    return [pytest.param(p, id=str(p.relative_to(d)),
                         marks=[pytest.mark.slow] if p.stat().st_size > 1 << 20 else [])
            for p in found]


# Refusals and the reason each names. All of them are JPEGs cjxl refuses or
# djxl gives back with other bytes; the test checks that too.
REFUSED = {
    "pil_sample_cmyk.jpg": "4 colour components (CMYK or YCCK) is not supported by libjxl",
    "truncated_jpeg.jpg": "truncated JPEG stream",
    "ultrahdr.jpg": "truncated JPEG stream",  # cut inside its scan
    # The second image of the MPO is data after the first one's end.
    "fujifilm.mpo": "4965583 bytes follow its end-of-image marker; libjxl keeps at most 4260096",
    # Its ICC chunk appears twice: libjxl would rebuild it from another profile.
    "icc-after-SOF.jpg": "its APP2 ICC_PROFILE chunks (1 of 1, 1 of 1) are not one profile",
    # libjxl cannot read its entropy-coded data.
    "hopper_bad_exif.jpg": "corrupt or unsupported JPEG stream (libjxl could not read",
}


def _libjxl_gives_back(cjxl: str, djxl: str, path: Path, tmp_path: Path) -> bool:
    made, back = tmp_path / "cjxl.jxl", tmp_path / "djxl.jpg"
    if subprocess.run([cjxl, str(path), str(made), "--lossless_jpeg=1", "--quiet"],
                      capture_output=True).returncode:
        return False
    if subprocess.run([djxl, str(made), str(back), "--quiet"], capture_output=True).returncode:
        return False
    return back.read_bytes() == path.read_bytes()


@pytest.mark.parametrize("path", _jpegs())
def test_accepted_jpegs_come_back_and_refused_ones_are_beyond_libjxl(path, cjxl, djxl, tmp_path):
    original = path.read_bytes()
    try:
        stream = jxl.transcode_jpeg(original)
    except ValueError as exc:
        assert path.name in REFUSED, f"refused: {exc}"
        assert REFUSED[path.name] in str(exc)
        assert not _libjxl_gives_back(cjxl, djxl, path, tmp_path)
        return
    assert path.name not in REFUSED
    assert jxl.reconstruct_jpeg(stream) == original
    # A stream cjxl made rebuilds too (its reconstruction data may differ).
    made = tmp_path / "cjxl.jxl"
    subprocess.run([cjxl, str(path), str(made), "--lossless_jpeg=1", "--quiet"], check=True)
    assert jxl.reconstruct_jpeg(made) == original


@pytest.mark.parametrize("name", ["jpeg_ff00_header.jpg", "icc-after-SOF.jpg"])
def test_pillow_plugin_lossless_jpeg_keeps_the_same_promise(pillow_images, tmp_path, name):
    from PIL import Image

    import quillmarsh.pillow  # noqa: F401  (registers JPEG XL)

    path = pillow_images / name
    dest = tmp_path / "out.jxl"
    with Image.open(path) as im:
        if name in REFUSED:
            with pytest.raises(ValueError, match=re.escape(REFUSED[name])):
                im.save(dest, lossless_jpeg=True)
            assert not dest.exists()
            return
        im.save(dest, lossless_jpeg=True)
    assert jxl.reconstruct_jpeg(dest) == path.read_bytes()
