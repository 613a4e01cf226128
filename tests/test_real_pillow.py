"""The Pillow plugin over Pillow's own test images: real files made elsewhere."""

import io
import subprocess
import warnings
import zlib

import numpy as np
import pytest
from PIL import Image, ImageOps, ImageSequence

import quillmarsh.pillow  # noqa: F401  (registers the format)
from conftest import pillow_images_dir
from quillmarsh.codecs import jxl
from quillmarsh.pillow import ZERO_DELAYS

_DIR = pillow_images_dir()
_FILES = sorted(p for p in _DIR.rglob("*") if p.is_file()) if _DIR else []
_NO_CORPUS = pytest.mark.skip(reason="Pillow's Tests/images not fetched")

# Saved but read back in another mode: Pillow's modes without a JPEG XL
# counterpart become the nearest one (1 -> L, P/PA -> RGB(A), CMYK/YCbCr/LAB/
# HSV -> RGB, I and I;16B/L/N -> I;16, La/RGBa/RGBX -> LA/RGBA/RGB).
# Refused: mode I outside 0..65535 (the one sample range JPEG XL grey holds
# as integers), and frames larger than the decoder's default pixel limit.
_REFUSED = "holds 0..65535"


def _pixels(path, animated=False):
    """Pixels of `path` by its header (0: Pillow cannot open it, or with
    `animated`, it is no animation)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(path) as im:  # the header only
                if animated and not getattr(im, "is_animated", False):
                    return 0
                return im.width * im.height
    except Exception:
        return 0


_BIG = 100_000  # pixels: files above it are slow


def _files(pattern="*", big=None, animated=False):
    """The corpus files matching `pattern` whose header Pillow reads (only
    animations with `animated`); with `big`, those of more pixels are slow."""
    if not _FILES:
        return [pytest.param(None, marks=_NO_CORPUS)]
    sized = [(p, _pixels(p, animated)) for p in _FILES if p.match(pattern)]
    return [pytest.param(p, id=str(p.relative_to(_DIR)),
                         marks=[pytest.mark.slow] if big and n > big else [])
            for p, n in sized if n > 0]


def _open(path):
    """The image Pillow makes of `path`, loaded, or None when Pillow cannot."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            im = Image.open(path)
            im.load()
        return im
    except Exception:  # Pillow refuses many of its fuzzing and error cases
        return None


def _saved(im, **options):
    buf = io.BytesIO()
    im.save(buf, format="JXL", **options)
    return buf.getvalue()


def _expected(src, mode):
    """`src`'s pixels as the plugin's `mode` holds them."""
    if src.mode == mode:
        return np.asarray(src)
    if mode == "I;16":
        return np.asarray(src).astype(np.uint16)
    return np.asarray(src.convert(mode))


@pytest.mark.parametrize("path", _files(big=_BIG))
def test_every_image_pillow_opens_survives_a_lossless_save(path):
    src = _open(path)
    if src is None:
        pytest.skip("Pillow cannot open it")
    if src.width * src.height > 4_000_000:
        pytest.skip("large; the pixel limits are tested elsewhere")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # profiles for other colour models
            # The plugin's modes are the point here: most files take the fast
            # standard coder, one in ten the default effort (every effort on
            # real pictures is the fuzz oracles' work).
            data = _saved(src, effort=7 if zlib.crc32(path.name.encode()) % 10 == 0 else 2)
    except ValueError as exc:
        assert src.mode == "I" and _REFUSED in str(exc)
        return
    with Image.open(io.BytesIO(data)) as back:
        back.load()
        assert back.size == src.size
        expect = _expected(src, back.mode)
        got = np.asarray(back)
    assert got.shape == expect.shape
    assert np.array_equal(got, expect, equal_nan=got.dtype.kind == "f")


def _delays(im):
    """Each frame's delay, and whether the frames differ in size (Pillow's
    GIF reader grows the image for a frame outside the first one's screen)."""
    out, sizes = [], set()
    for frame in ImageSequence.Iterator(im):
        frame.load()  # WebP frames have their duration once loaded
        out.append(frame.info.get("duration"))
        sizes.add(frame.size)
    return out, len(sizes) > 1


@pytest.mark.parametrize("path", [f for pattern in ("*.gif", "*.png", "*.webp")
                                  for f in _files(pattern, animated=True)])
def test_animations_keep_their_frames_and_delays(path):
    src = _open(path)
    try:
        own, resized = _delays(src) if getattr(src, "is_animated", False) else (None, False)
    except Exception:  # damaged past its first frame
        own = None
    if own is None:
        pytest.skip("not an animation Pillow reads")
    frames = src.n_frames
    shown = [d if d else 100 for d in own]              # browsers: no delay is 100 ms
    src = _open(path)  # fresh: some damaged files cannot seek back
    if resized:
        with pytest.raises(ValueError, match="JPEG XL animation frames need one size and mode"):
            _saved(src, save_all=True)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        data = _saved(src, save_all=True, effort=1)  # frames and delays: the fastest coder
    with Image.open(io.BytesIO(data)) as back:
        assert back.n_frames == frames
        assert _delays(back) == (shown, False)
    assert (ZERO_DELAYS in src.info) == any(not d for d in own)


@pytest.fixture(scope="module")
def orientations():
    if _DIR is None:
        pytest.skip("Pillow's Tests/images not fetched")
    return {n: _DIR / f"hopper_orientation_{n}.jpg" for n in range(2, 9)}


@pytest.mark.parametrize("n", range(2, 9))
@pytest.mark.parametrize("via", ["cjxl", "plugin", "lossless_jpeg"])
def test_exif_orientation_is_applied_once(tmp_path, orientations, n, via, request):
    jpeg = Image.open(orientations[n])
    assert jpeg.getexif()[0x0112] == n
    upright = np.asarray(ImageOps.exif_transpose(jpeg)).astype(int)
    out = tmp_path / "x.jxl"
    if via == "cjxl":
        cjxl = request.getfixturevalue("cjxl")
        subprocess.run([cjxl, str(orientations[n]), str(out), "--quiet"], check=True, timeout=120)
    elif via == "lossless_jpeg":  # libjxl moves the orientation into the codestream
        jpeg.save(out, lossless_jpeg=True)
    else:
        jpeg.save(out, exif=jpeg.info["exif"])
    with Image.open(out) as im:
        assert im.getexif()[0x0112] == 1
        shown = np.asarray(ImageOps.exif_transpose(im)).astype(int)
    assert shown.shape == upright.shape
    if via == "plugin":  # lossless: the JPEG decoder's own pixels, turned
        assert np.array_equal(shown, upright)
    else:  # libjxl's JPEG decoding differs from Pillow's by a level or two
        assert np.abs(shown - upright).mean() < 3


def _png16(tmp_path, name, chunks):
    from PIL import PngImagePlugin

    info = PngImagePlugin.PngInfo()
    for cid, data in chunks:
        info.add(cid, data)
    y, x = np.mgrid[0:32, 0:48]
    path = tmp_path / name
    Image.fromarray(((x * 1300 + y * 40) % 65536).astype(np.uint16)).save(path, pnginfo=info)
    return path


@pytest.mark.parametrize(
    "name",
    ["i_trns.png", "copyleft.png", "hopper.png", "pil123rgba.png", "tiny.png",
     "dxt1-rgb-4bbp-noalpha_MipMaps-1.png", "tiff_16bit_RGB_target.png",
     "made:grey16.png", "made:grey16-gamma1.png", "made:grey16-srgb.png"],
)
def test_colour_tags_match_cjxl(tmp_path, cjxl, name):
    if name.startswith("made:"):
        chunks = {"made:grey16.png": [],
                  "made:grey16-gamma1.png": [(b"gAMA", (100000).to_bytes(4, "big"))],
                  "made:grey16-srgb.png": [(b"sRGB", b"\x00")]}[name]
        path = _png16(tmp_path, name[5:], chunks)
    else:
        if _DIR is None:
            pytest.skip("Pillow's Tests/images not fetched")
        path = _DIR / name
    theirs = tmp_path / "cjxl.jxl"
    subprocess.run([cjxl, str(path), str(theirs), "-d", "0", "--quiet"], check=True, timeout=120)
    ours = io.BytesIO(_saved(Image.open(path)))
    with jxl.JxlReader(str(theirs)) as a, jxl.JxlReader(ours) as b:
        assert b.color == a.color
        assert b.basic_info["bits_per_sample"] == min(a.basic_info["bits_per_sample"], 8) or \
            b.dtype == a.dtype


def test_tiff_16bit_rgb_is_srgb(pillow_images):
    with Image.open(pillow_images / "tiff_16bit_RGB.tiff") as im:
        data = _saved(im)
    with jxl.JxlReader(data) as r:
        assert r.color["transfer_function"] == 13 and r.color["primaries"] == 1


def test_grey_copy_of_rgb_profile_image_drops_the_profile(pillow_images):
    src = Image.open(pillow_images / "xmp_test.jpg")
    assert src.info["icc_profile"]
    grey = src.convert("L")
    with pytest.warns(UserWarning, match="profile is for RGB data, its pixels are L; the profile is left out"):
        data = _saved(grey, effort=1)
    with Image.open(io.BytesIO(data)) as back:
        assert "icc_profile" not in back.info
        assert np.array_equal(np.asarray(back), np.asarray(grey))


@pytest.mark.parametrize("name", ["xmp_tags_orientation.png", "xmp_tags_orientation_exiftool.png"])
def test_xmp_orientation_is_applied_once(pillow_images, name):
    src = Image.open(pillow_images / name)
    assert "exif" not in src.info and src.getexif()[0x0112] == 3  # from the XMP alone
    upright = np.asarray(ImageOps.exif_transpose(src))
    with Image.open(io.BytesIO(_saved(src, xmp=src.info["xmp"]))) as im:
        assert im.getexif()[0x0112] == 1
        assert np.array_equal(np.asarray(ImageOps.exif_transpose(im)), upright)
