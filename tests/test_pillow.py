"""The Pillow plugin, driven through Pillow's own calls."""

import gc
import io
import subprocess
import sys

import numpy as np
import pytest

from PIL import Image, ImageFile, ImageSequence, PngImagePlugin, UnidentifiedImageError

import quillmarsh.integrations.pillow as plugin  # importing it registers the format
from conftest import conformance_file
from quillmarsh.codecs import jxl


def _reopen(im, **options):
    buf = io.BytesIO()
    im.save(buf, format="JXL", **options)
    buf.seek(0)
    return Image.open(buf), buf.getvalue()


@pytest.fixture
def photo(rng):
    y, x = np.mgrid[0:96, 0:128]
    base = np.stack([x * 2, y * 2, (x + y)], axis=-1) % 256
    return (base + rng.integers(0, 8, base.shape)).clip(0, 255).astype(np.uint8)


def test_registration():
    assert Image.registered_extensions()[".jxl"] == "JXL"
    assert Image.MIME["JXL"] == "image/jxl"
    assert "JXL" in Image.SAVE and "JXL" in Image.SAVE_ALL


@pytest.mark.parametrize(
    "mode, make",
    [
        ("L", lambda a: a[..., 0]),
        ("LA", lambda a: a[..., :2]),
        ("RGB", lambda a: a),
        ("RGBA", lambda a: np.dstack([a, a[..., 1]])),
        ("I;16", lambda a: a[..., 0].astype(np.uint16) * 257 + a[..., 1]),
        ("F", lambda a: a[..., 0].astype(np.float32) / 7.0),
    ],
)
def test_lossless_round_trip_per_mode(tmp_path, photo, mode, make):
    arr = make(photo)
    src = Image.fromarray(arr)
    assert src.mode == mode
    path = tmp_path / "x.jxl"
    src.save(path)                                   # format from the extension
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size) == ("JXL", mode, (128, 96))
        assert im.get_format_mimetype() == "image/jxl"
        assert np.array_equal(np.asarray(im), arr)
        assert im.n_frames == 1 and not im.is_animated


@pytest.mark.parametrize("shared", [True, False], ids=["arrow", "unpacked"])
def test_rgb_pixels_in_pillows_layout_and_copied_on_write(photo, monkeypatch, shared):
    if not shared:  # a Pillow without Image.fromarrow
        monkeypatch.setattr(plugin, "_fromarrow", None)
    im = Image.open(io.BytesIO(jxl.encode(photo, lossless=True)))
    im.load()
    rgbx = np.dstack([photo, np.full(photo.shape[:2], 255, np.uint8)])
    assert im.tobytes("raw", "RGBX") == rgbx.tobytes()
    before = im.copy()
    im.paste((1, 2, 3), (0, 0, 10, 10))
    im.putpixel((20, 20), (4, 5, 6))
    assert np.array_equal(np.asarray(before), photo)
    assert (np.asarray(im)[:10, :10] == (1, 2, 3)).all() and im.getpixel((20, 20)) == (4, 5, 6)
    assert np.array_equal(np.asarray(im.convert("RGBA"))[..., 3], rgbx[..., 3])


@pytest.mark.skipif(not hasattr(Image, "fromarrow"), reason="Pillow without Image.fromarrow")
def test_arrow_export_shares_the_frame_until_released(photo):
    from quillmarsh.integrations._arrow import arrow_pixels

    frame = np.dstack([photo, np.full(photo.shape[:2], 255, np.uint8)])
    before = sys.getrefcount(frame)

    class Offer:
        def __arrow_c_array__(self, requested_schema=None):
            return arrow_pixels(frame)

    im = Image.fromarrow(Offer(), "RGB", (photo.shape[1], photo.shape[0]))
    assert np.array_equal(np.asarray(im), photo)
    frame[0, 0, :3] = (1, 2, 3)  # the image maps the frame's memory
    assert im.getpixel((0, 0)) == (1, 2, 3)
    assert sys.getrefcount(frame) > before  # held by the export while Pillow uses it
    del im
    gc.collect()
    assert sys.getrefcount(frame) == before
    unconsumed = arrow_pixels(frame)  # capsules nobody imports release on their own
    del unconsumed
    assert sys.getrefcount(frame) == before
    for bad in (frame[:, ::2], np.ascontiguousarray(frame[..., :3]), frame.astype(np.uint16)):
        with pytest.raises(ValueError, match="C-contiguous"):
            arrow_pixels(bad)


def test_open_reads_header_only_until_load(tmp_path, photo):
    data = jxl.encode(photo)
    path = tmp_path / "cut.jxl"
    path.write_bytes(data[: len(data) // 3])         # pixels cut away
    im = Image.open(path)
    assert (im.mode, im.size) == ("RGB", (128, 96))
    with pytest.raises(OSError, match="image file is truncated"):
        im.load()


@pytest.mark.parametrize("keep", [0.8, 0.02])
def test_load_truncated_images_loads_what_was_decoded(monkeypatch, keep):
    y, x = np.mgrid[0:512, 0:640]
    grid = np.stack([x % 256, y % 256, (x + y) % 256], axis=-1).astype(np.uint8)
    data = jxl.encode(grid, lossless=True, effort=1)
    cut = data[: int(len(data) * keep)]
    with pytest.raises(OSError, match="image file is truncated"):
        Image.open(io.BytesIO(cut)).load()
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    with Image.open(io.BytesIO(cut)) as im:
        im.load()
        got = np.asarray(im)
        assert im.tobytes("raw", "RGBX")[3::4] == b"\xff" * (640 * 512)
    exact = (got == grid).all(axis=-1).mean()
    if keep > 0.5:  # the groups decoded before the cut are exact, the rest black
        assert 0.5 <= exact < 1.0
    assert (got[~(got == grid).all(axis=-1)] == 0).all()


@pytest.mark.parametrize("channels, mode", [(1, "I;16"), (2, "LA"), (3, "RGB"), (4, "RGBA")])
def test_sixteen_bit_files_map_to_nearest_mode(rng, channels, mode):
    shape = (40, 50) if channels == 1 else (40, 50, channels)
    arr = rng.integers(0, 65535, shape, endpoint=True).astype(np.uint16)
    im = Image.open(io.BytesIO(jxl.encode(arr)))
    assert im.mode == mode
    got = np.asarray(im)
    if mode == "I;16":
        assert np.array_equal(got, arr)
    else:
        expect = (arr.astype(np.uint32) * 255 + 32767) // 65535
        assert got.dtype == np.uint8 and np.array_equal(got, expect)


@pytest.mark.parametrize(
    "case, mode",
    [("grayscale", "L"), ("bicycles", "RGB"), ("sunset_logo", "RGBA"),
     ("alpha_triangles", "RGBA"), ("lossless_pfm", "RGB")],
)
def test_conformance_files_open_convert_and_match_decode(case, mode):
    path = conformance_file(case)
    with Image.open(path) as im:
        assert im.format == "JXL" and im.mode == mode
        pixels = np.asarray(im).astype(np.int32)
        grey = im.convert("L")
    ref = jxl.decode(str(path))
    if ref.dtype == np.uint8:
        assert np.array_equal(pixels, ref)
    else:  # reduced to 8 bits: within half a step of the exact value
        top = 1.0 if ref.dtype.kind == "f" else float((1 << jxl.JxlReader(str(path)).basic_info["bits_per_sample"]) - 1)
        exact = np.clip(ref.astype(np.float64) / top, 0, 1) * 255
        assert np.abs(pixels - exact).max() <= 0.51
    assert grey.mode == "L" and grey.size == im.size


def _extra_channel_file(rng, *types, icc=None):
    arr = rng.integers(0, 255, (24, 30, 3 + len(types)), dtype=np.uint8)
    data = jxl.encode(arr, channels=["color"] * 3 + list(types), icc_profile=icc)
    return arr, Image.open(io.BytesIO(data))


def test_extra_channels_are_left_out(rng):
    arr, im = _extra_channel_file(rng, "alpha", "depth", "thermal")
    assert im.mode == "RGBA" and np.array_equal(np.asarray(im), arr[..., :4])
    arr, im = _extra_channel_file(rng, "depth")
    assert im.mode == "RGB" and np.array_equal(np.asarray(im), arr[..., :3])


def test_black_channel_opens_as_cmyk_or_renders_with_alpha(rng):
    path = conformance_file("cmyk_layers")                  # CMYK + alpha
    with Image.open(path) as im:
        assert im.mode == "RGBA" and "icc_profile" not in im.info
        assert np.array_equal(np.asarray(im), jxl.decode(str(path), output_color="srgb"))
    icc = jxl.JxlReader(str(path), extra_channels=True).icc_profile
    arr, im = _extra_channel_file(rng, "black", icc=icc)
    assert im.mode == "CMYK" and im.info["icc_profile"] == icc
    assert np.array_equal(np.asarray(im), 255 - arr)        # Pillow: 255 is full ink
    again, _ = _reopen(im)                                  # stored as CMYK again
    assert again.mode == "CMYK" and again.info["icc_profile"] == icc
    assert np.array_equal(np.asarray(again), 255 - arr)


def _damaged(kind, photo):
    data = bytearray(jxl.encode(photo, container=kind.startswith("container")))
    if kind in ("header cut", "container cut"):
        return bytes(data[:3 if kind == "header cut" else 30])
    if kind == "header damaged":
        data[2:6] = b"\xff" * 4
    elif kind in ("pixels cut", "container pixels cut"):
        del data[len(data) // 3:]
    elif kind == "pixels damaged":
        data[20:40] = bytes(20)
    return bytes(data)


@pytest.mark.parametrize(
    "kind, error, message",
    [
        ("header cut", UnidentifiedImageError, "damaged or truncated JPEG XL file"),
        ("container cut", UnidentifiedImageError, "damaged or truncated JPEG XL file"),
        ("header damaged", UnidentifiedImageError, "damaged or truncated JPEG XL file"),
        ("pixels cut", OSError, "image file is truncated"),
        ("container pixels cut", OSError, "image file is truncated"),
        ("pixels damaged", OSError, "broken data stream"),
    ],
)
def test_damaged_files_raise_pillows_errors(tmp_path, photo, kind, error, message):
    path = tmp_path / "bad.jxl"
    path.write_bytes(_damaged(kind, photo))
    if error is UnidentifiedImageError:
        with pytest.raises(error, match=message) as caught:
            Image.open(path)
    else:
        with Image.open(path) as im:                 # the header is intact
            assert im.size == (128, 96)
            for _ in range(2):                       # a retry fails alike
                with pytest.raises(error, match=message) as caught:
                    im.load()
    assert isinstance(caught.value.__cause__, jxl.JxlError)


def test_damaged_frame_fails_load_and_sequence_ends_with_eof(rng):
    frames = rng.integers(0, 255, (4, 30, 40, 3), dtype=np.uint8)
    data = bytearray(jxl.encode(frames, animation=True))
    data[-1500:-1400] = bytes(100)                   # inside the last frame's pixels
    im = Image.open(io.BytesIO(bytes(data)))
    assert im.n_frames == 4
    got = []
    with pytest.raises(OSError, match="broken data stream"):
        for frame in ImageSequence.Iterator(im):
            got.append(np.asarray(frame))
    assert len(got) == 3 and all(np.array_equal(g, f) for g, f in zip(got, frames))
    im.seek(1)                                       # earlier frames still read
    assert np.array_equal(np.asarray(im), frames[1])
    with pytest.raises(EOFError):
        im.seek(4)


def test_cut_animation_opens_and_loads_its_first_frame(rng, monkeypatch):
    frames = rng.integers(0, 255, (6, 30, 40, 3), dtype=np.uint8)
    data = jxl.encode(frames, animation=True, container=True)
    cut = data[: len(data) * 2 // 3]
    with Image.open(io.BytesIO(cut)) as im:
        assert (im.size, "duration" in im.info) == ((40, 30), False)
        assert np.array_equal(np.asarray(im), frames[0])
        with pytest.raises(OSError, match="image file is truncated"):
            im.n_frames
    # Pillow's flag: the frames that are there
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    there = len(jxl.decode(cut, allow_partial=True))
    assert 1 < there < 6
    with Image.open(io.BytesIO(cut)) as im:
        assert im.n_frames == there and im.is_animated
        got = [np.asarray(f.convert("RGB")) for f in ImageSequence.Iterator(im)]
    assert len(got) == there and all(np.array_equal(g, f) for g, f in zip(got, frames))


@pytest.mark.parametrize("mode, value", [("L", 7), ("LA", (7, 8)), ("RGB", (1, 2, 3)),
                                         ("RGBA", (1, 2, 3, 4)), ("I;16", 700), ("F", 0.5)])
def test_loaded_pixels_are_writable(photo, mode, value):
    arr = {"L": photo[..., 0], "LA": photo[..., :2], "RGB": photo, "RGBA": np.dstack([photo, photo[..., 0]]),
           "I;16": photo[..., 0].astype(np.uint16) * 200, "F": photo[..., 0] / np.float32(255)}[mode]
    im = Image.open(io.BytesIO(jxl.encode(arr)))
    px = im.load()
    px[0, 0] = value
    px[5, 3] = value
    assert im.getpixel((0, 0)) == value and im.getpixel((5, 3)) == value
    assert im.getpixel((1, 0)) == Image.fromarray(arr).getpixel((1, 0))


def test_animation_frames_seek_and_timing(rng):
    frames = rng.integers(0, 255, (5, 30, 40, 3), dtype=np.uint8)
    im = Image.open(io.BytesIO(jxl.encode(frames, animation=True)))
    assert im.n_frames == 5 and im.is_animated
    assert im.info["duration"] == 100 and im.info["loop"] == 0
    got = [np.asarray(f.convert("RGB")) for f in ImageSequence.Iterator(im)]
    assert len(got) == 5 and all(np.array_equal(g, f) for g, f in zip(got, frames))
    im.seek(3)
    assert im.tell() == 3 and np.array_equal(np.asarray(im), frames[3])
    im.seek(1)                                       # backwards
    assert np.array_equal(np.asarray(im), frames[1])
    with pytest.raises(EOFError):
        im.seek(5)


def test_conformance_animation_matches_decode():
    path = conformance_file("animation_spline")
    with Image.open(path) as im:
        assert im.n_frames == 60 and im.is_animated
        durations = [frame.info["duration"] for frame in ImageSequence.Iterator(im)]
        im.seek(59)
        last = np.asarray(im)
    info = jxl.frames_info(str(path))
    assert durations == [round(f["duration"] * 1000) for f in info]
    assert np.array_equal(last, jxl.decode(str(path), index=59))


def test_thumbnail_of_progressive_file_uses_the_early_pass():
    path = conformance_file("progressive")
    with Image.open(path) as im:
        full_size = im.size
        im.thumbnail((256, 256))
        assert im.size == (256, 170)
        thumb = np.asarray(im).astype(np.float64)
    with Image.open(path) as im:
        reference = np.asarray(im.resize((256, 170), Image.Resampling.BICUBIC)).astype(np.float64)
    assert full_size == (4064, 2704)
    # the 1:8 pass is a faithful small picture, not a sample of single pixels
    assert np.abs(thumb - reference).mean() < 4.0


def test_draft_keeps_the_centre_of_each_block():
    # A real progressive photograph: its 1:8 rendering sampled at each block's
    # centre is close to the block averages; at the top-left corner it is not.
    path = conformance_file("progressive")
    with Image.open(path) as im:
        im.draft("RGB", (508, 338))
        preview = np.asarray(im)
    assert np.array_equal(preview, jxl.decode(str(path), downsample=8, subsample="center"))
    full = jxl.decode(str(path)).astype(np.float64)
    h, w = full.shape[0] // 8, full.shape[1] // 8
    box = full[: h * 8, : w * 8].reshape(h, 8, w, 8, 3).mean(axis=(1, 3))
    mse = np.mean((preview[:h, :w] - box) ** 2)
    assert 10 * np.log10(255**2 / mse) > 31  # top-left sampling: 26 dB


def test_draft_only_for_lossy_files(photo, tmp_path):
    big = np.kron(photo, np.ones((8, 8, 1), np.uint8))        # 1024x768
    lossless = tmp_path / "l.jxl"
    lossy = tmp_path / "p.jxl"
    Image.fromarray(big).save(lossless)
    Image.fromarray(big).save(lossy, quality=85, progressive=True)
    with Image.open(lossless) as im:
        assert im.draft("RGB", (128, 96)) is None            # no 1:8 pass: full decode
        assert im.size == (1024, 768)
    with Image.open(lossy) as im:
        mode, box = im.draft("RGB", (128, 96))
        assert (mode, im.size, box) == ("RGB", (128, 96), (0, 0, 128.0, 96.0))
        assert np.asarray(im).shape == (96, 128, 3)
        assert im.draft("RGB", (16, 16)) is None             # only once, before load


def test_lossy_options(photo):
    lossless, lossless_bytes = _reopen(Image.fromarray(photo))
    lossy, lossy_bytes = _reopen(Image.fromarray(photo), quality=70, effort=3)
    assert np.array_equal(np.asarray(lossless), photo)
    assert len(lossy_bytes) < len(lossless_bytes)
    diff = np.abs(np.asarray(lossy).astype(int) - photo)
    assert 0 < diff.mean() < 8
    _, by_distance = _reopen(Image.fromarray(photo), distance=3.0)
    assert len(by_distance) < len(lossless_bytes)
    _, progressive = _reopen(Image.fromarray(photo), quality=80, progressive=True)
    assert jxl.thumbnail_bytes(progressive) is not None


@pytest.mark.parametrize(
    "options, exact",
    [({}, True), ({"quality": 100}, True), ({"lossless": True, "quality": 50}, True),
     ({"lossless": True, "distance": 3.0}, True), ({"lossless": False}, False),
     ({"quality": 90}, False)],
)
def test_lossless_and_quality_options(photo, options, exact):
    again, data = _reopen(Image.fromarray(photo), **options)
    assert np.array_equal(np.asarray(again), photo) == exact
    if options == {"lossless": False}:  # the documented lossy default
        assert data == _reopen(Image.fromarray(photo), quality=90)[1]


def test_icc_profile_is_kept():
    profile = Image.open(conformance_file("progressive")).info["icc_profile"]  # linear sRGB
    im = Image.new("RGB", (32, 24), (10, 200, 30))
    again, _ = _reopen(im, icc_profile=profile)
    assert again.info["icc_profile"] == profile
    assert np.array_equal(np.asarray(again), np.asarray(im))
    plain, _ = _reopen(im)                                   # sRGB needs no profile
    assert "icc_profile" not in plain.info


@pytest.mark.parametrize(
    "mode, expect_mode",
    [("1", "L"), ("P", "RGB"), ("CMYK", "RGB"), ("I", "I;16"), ("RGBX", "RGB"), ("PA", "RGBA")],
)
def test_other_modes_are_converted_on_save(mode, expect_mode):
    src = Image.new("RGB", (20, 10), (250, 128, 3)).convert(mode)
    again, _ = _reopen(src)
    assert again.mode == expect_mode
    assert np.array_equal(np.asarray(again), np.asarray(src.convert(expect_mode)))


def test_mode_i_out_of_range_is_refused():
    im = Image.fromarray(np.array([[-1, 70000]], dtype=np.int32))
    with pytest.raises(ValueError, match="holds 0..65535"):
        im.save(io.BytesIO(), format="JXL")


def test_save_all_with_append_images(photo):
    frames = [Image.fromarray(np.roll(photo, 9 * i, axis=1)) for i in range(4)]
    buf = io.BytesIO()
    frames[0].save(buf, format="JXL", save_all=True, append_images=frames[1:])
    data = buf.getvalue()
    assert jxl.frame_count(data) == 4
    stack = jxl.decode(data)
    assert all(np.array_equal(stack[i], np.asarray(f)) for i, f in enumerate(frames))
    with pytest.raises(ValueError, match="one size and mode"):
        frames[0].save(io.BytesIO(), format="JXL", save_all=True,
                       append_images=[frames[1].resize((10, 10))])


@pytest.mark.parametrize("save_all", [None, False, True])
def test_append_images_follows_pillows_other_writers(photo, save_all):
    frames = [Image.fromarray(np.roll(photo, 9 * i, axis=1)) for i in range(3)]
    counts = []
    for fmt in ("PNG", "JXL"):
        buf = io.BytesIO()
        extra = {} if save_all is None else {"save_all": save_all}
        frames[0].save(buf, format=fmt, append_images=frames[1:], **extra)
        counts.append(Image.open(buf).n_frames)
    assert counts[0] == counts[1]


def test_zero_delays_become_100ms(photo):
    frames = [Image.fromarray(np.roll(photo, 9 * i, axis=1)) for i in range(3)]
    gif = io.BytesIO()
    frames[0].save(gif, format="GIF", save_all=True, append_images=frames[1:], duration=[0, 40, 0])
    src = Image.open(gif)
    again, _ = _reopen(src, save_all=True)
    assert again.n_frames == 3
    assert [f.info["duration"] for f in ImageSequence.Iterator(again)] == [100, 40, 100]
    assert src.info[plugin.ZERO_DELAYS] == (0, 2)
    _reopen(src, save_all=True, duration=40)   # saved again: no frame changed
    assert plugin.ZERO_DELAYS not in src.info


def test_save_all_durations_and_loop(photo):
    frames = [Image.fromarray(np.roll(photo, 9 * i, axis=1)) for i in range(3)]
    again, data = _reopen(frames[0], save_all=True, append_images=frames[1:],
                          duration=[40, 250, 1000], loop=3)
    assert [f.info["duration"] for f in ImageSequence.Iterator(again)] == [40, 250, 1000]
    assert again.info["loop"] == 3
    one, _ = _reopen(frames[0], save_all=True, append_images=frames[1:], duration=70)
    assert [f.info["duration"] for f in ImageSequence.Iterator(one)] == [70, 70, 70]


def test_exif_and_xmp_read_from_file(tmp_path, photo, cjxl):
    exif = Image.Exif()
    exif[0x010F] = "quillmarsh camera"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    png = tmp_path / "in.png"
    meta = PngImagePlugin.PngInfo()
    meta.add_itxt("XML:com.adobe.xmp", xmp.decode())
    Image.fromarray(photo).save(png, exif=exif, pnginfo=meta)
    out = tmp_path / "out.jxl"
    subprocess.run([cjxl, str(png), str(out), "-d", "0", "--quiet"], check=True, timeout=120)
    with Image.open(out) as im:
        assert im.info["exif"][:10] in (b"Exif\x00\x00II*\x00", b"Exif\x00\x00MM\x00*")
        assert im.getexif()[0x010F] == "quillmarsh camera"
        assert im.info["xmp"] == xmp
        assert np.array_equal(np.asarray(im), photo)
        im.save(tmp_path / "again.jpg", exif=im.info["exif"])   # Pillow's convention
    assert Image.open(tmp_path / "again.jpg").getexif()[0x010F] == "quillmarsh camera"


@pytest.mark.parametrize("form", [lambda e: e, lambda e: e.tobytes(), lambda e: e.tobytes()[6:]],
                         ids=["Exif", "marked bytes", "TIFF bytes"])
def test_exif_and_xmp_saved(photo, form):
    exif = Image.Exif()
    exif[0x0131] = "quillmarsh test"
    xmp = b"<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"
    again, _ = _reopen(Image.fromarray(photo), exif=form(exif), xmp=xmp)
    assert again.getexif()[0x0131] == "quillmarsh test"
    assert again.info["xmp"] == xmp


def test_lossless_jpeg_needs_an_image_from_a_jpeg(photo):
    with pytest.raises(ValueError, match="needs an image opened from a JPEG file"):
        Image.fromarray(photo).save(io.BytesIO(), format="JXL", lossless_jpeg=True)


def test_lossless_jpeg_keeps_the_original_bytes(tmp_path, photo):
    src = tmp_path / "in.jpg"
    Image.fromarray(photo).save(src, quality=88)
    out = tmp_path / "out.jxl"
    with Image.open(src) as im:
        im.save(out, lossless_jpeg=True)
    assert jxl.reconstruct_jpeg(str(out)) == src.read_bytes()
