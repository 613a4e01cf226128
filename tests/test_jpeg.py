"""Lossless JPEG recompression (transcode_jpeg) and reconstruction (reconstruct_jpeg)."""

from __future__ import annotations

import io
import json
import re
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, ImageCms

from _images import psnr, synthetic
from test_cli import cli
from quillmarsh.codecs import jxl

PIL_OPTIONS = {
    "baseline-420-q75": dict(quality=75, subsampling="4:2:0"),
    "baseline-422-q50": dict(quality=50, subsampling="4:2:2"),
    "progressive-444-q95": dict(quality=95, subsampling="4:4:4", progressive=True),
    "progressive-420-optimized": dict(quality=85, progressive=True, optimize=True),
    "grey-q80": dict(quality=80, mode="L"),
    "restart-markers": dict(quality=70, restart_marker_blocks=3),
    "rgb-no-ycbcr": dict(quality=90, keep_rgb=True, subsampling="4:4:4"),
    "comment": dict(quality=60, comment=b"made by quillmarsh's tests"),
}

EXIF = Image.Exif()
EXIF[0x010F] = "quillmarsh"  # Make
EXIF[0x0110] = "test camera"  # Model
EXIF_BYTES = EXIF.tobytes()
XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf='
       b'"http://www.w3.org/1999/02/22-rdf-syntax-ns#"/></x:xmpmeta>')


def make_jpeg(h=75, w=101, seed=0, mode="RGB", **options) -> bytes:
    """A JPEG of a photograph-like image; odd sizes exercise partial blocks."""
    img = Image.fromarray(synthetic(h, w, 3, seed=seed)).convert(mode)
    buf = io.BytesIO()
    img.save(buf, "JPEG", **options)
    return buf.getvalue()


def segments(jpeg: bytes):
    """(offset, length with marker, marker) of each segment up to the first scan."""
    pos, out = 2, []
    while True:
        marker = jpeg[pos + 1]
        length = struct.unpack(">H", jpeg[pos + 2:pos + 4])[0] + 2
        out.append((pos, length, marker))
        if marker == 0xDA:
            return out
        pos += length


def boxes(data: bytes):
    """Top-level container boxes as {type: payload}; brob boxes under their inner type."""
    found, pos = {}, 0
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        header = 8
        if size == 1:
            size, header = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
        elif size == 0:
            size = len(data) - pos
        payload = data[pos + header:pos + size]
        if kind == b"brob":
            kind, payload = payload[:4], None  # compressed: only its type is checked
        found[kind.decode("latin-1")] = payload
        pos += size
    return found


@pytest.fixture(scope="module")
def corpus():
    return {name: make_jpeg(seed=i, **opts) for i, (name, opts) in enumerate(PIL_OPTIONS.items())}


# ---- round trips -------------------------------------------------------------


@pytest.mark.parametrize("name", list(PIL_OPTIONS))
def test_round_trip_is_bit_exact_and_decodes_to_the_jpegs_pixels(corpus, name):
    original = corpus[name]
    data = jxl.transcode_jpeg(original)
    assert jxl.check_signature(data)
    assert jxl.reconstruct_jpeg(data) == original
    # The JPEG XL holds the same image: libjxl decodes the coefficients with
    # more precision than libjpeg, so samples differ by a few levels.
    pixels = jxl.decode(data)
    reference = np.asarray(Image.open(io.BytesIO(original)))
    assert pixels.shape == reference.shape
    assert psnr(pixels, reference, 255) > 40


def test_a_photograph_sized_jpeg_shrinks():
    original = make_jpeg(480, 640, quality=90)
    assert len(jxl.transcode_jpeg(original)) < 0.9 * len(original)


def test_data_after_the_end_of_image_marker_is_kept():
    original = make_jpeg() + b"trailing bytes a camera appended" * 10
    assert jxl.reconstruct_jpeg(jxl.transcode_jpeg(original)) == original


@pytest.mark.parametrize("how", ["bytes", "bytearray", "memoryview", "array", "path", "file"])
def test_inputs_and_destinations_of_every_kind(tmp_path, how):
    original = make_jpeg(seed=3)
    expected = jxl.transcode_jpeg(original)
    path = tmp_path / "in.jpg"
    path.write_bytes(original)
    src = {"bytes": original, "bytearray": bytearray(original), "memoryview": memoryview(original),
           "array": np.frombuffer(original, np.uint8), "path": path,
           "file": io.BytesIO(original)}[how]
    if how == "path":  # path in, path out, as str and as Path
        assert jxl.transcode_jpeg(str(src), tmp_path / "out.jxl") is None
        assert (tmp_path / "out.jxl").read_bytes() == expected
        assert jxl.reconstruct_jpeg(tmp_path / "out.jxl", str(tmp_path / "back.jpg")) is None
        assert (tmp_path / "back.jpg").read_bytes() == original
        assert sorted(p.name for p in tmp_path.iterdir()) == ["back.jpg", "in.jpg", "out.jxl"]
    elif how == "file":  # file-like in and out
        out = io.BytesIO()
        assert jxl.transcode_jpeg(src, out) is None
        assert out.getvalue() == expected
        back = io.BytesIO()
        jxl.reconstruct_jpeg(io.BytesIO(expected), back)
        assert back.getvalue() == original
    else:
        assert jxl.transcode_jpeg(src) == expected
        assert jxl.reconstruct_jpeg(type(src)(expected) if how != "array"
                                    else np.frombuffer(expected, np.uint8)) == original


def test_output_does_not_depend_on_the_thread_count():
    original = make_jpeg(300, 400, quality=90)
    one = jxl.transcode_jpeg(original, numthreads=1)
    assert jxl.transcode_jpeg(original, numthreads=4) == one
    assert jxl.reconstruct_jpeg(one, numthreads=1) == jxl.reconstruct_jpeg(one, numthreads=3)


@pytest.mark.parametrize("effort", [1, 9])
def test_effort_changes_the_stream_not_the_jpeg(effort):
    original = make_jpeg(200, 240, quality=92)
    data = jxl.transcode_jpeg(original, effort=effort)
    assert data != jxl.transcode_jpeg(original, effort=4)
    assert jxl.reconstruct_jpeg(data) == original


@pytest.mark.parametrize("given, taken", [(0, 1), (-3, 1), (11, 10), (10**30, 10), (2.9, 2),
                                          ("3", 3), (None, 7)])
def test_effort_is_taken_as_the_writer_takes_it(given, taken):
    # The efforts paired here make different streams of this JPEG (1 and 2
    # differ from 3, 7 from 5, 10 from 9), so a wrong rule shows.
    original = make_jpeg(200, 240, quality=92)
    assert jxl.transcode_jpeg(original, effort=given) == jxl.transcode_jpeg(original, effort=taken)


@pytest.mark.parametrize("effort, error", [("x", ValueError), (object(), TypeError)])
def test_effort_that_is_no_number_raises_the_conversion_error(effort, error):
    with pytest.raises(error, match="int"):
        jxl.transcode_jpeg(make_jpeg(), effort=effort)


def test_same_stream_as_cjxl(cjxl, tmp_path):
    src = tmp_path / "in.jpg"
    src.write_bytes(make_jpeg(160, 200, quality=88, exif=EXIF_BYTES))
    out = tmp_path / "cjxl.jxl"
    subprocess.run([cjxl, str(src), str(out), "--lossless_jpeg=1", "-e", "7", "--quiet"],
                   check=True, capture_output=True, timeout=120)
    assert jxl.transcode_jpeg(src) == out.read_bytes()


@pytest.mark.parametrize("dest", ["memory", "path", "file"])
def test_writer_adds_a_jpeg_as_its_only_frame(tmp_path, dest):
    original = make_jpeg(quality=85, exif=EXIF_BYTES)
    sink = {"memory": None, "path": tmp_path / "w.jxl", "file": io.BytesIO()}[dest]
    with jxl.JxlWriter(sink, effort=7) as writer:
        writer.write_jpeg(original)
        with pytest.raises(ValueError, match="only frame is the JPEG"):
            writer.write_frame(synthetic(75, 101, 3))
        data = writer.close()
    if dest == "path":
        data = sink.read_bytes()
    elif dest == "file":
        data = sink.getvalue()
    assert data == jxl.transcode_jpeg(original)  # same settings, same stream
    assert jxl.reconstruct_jpeg(data) == original


@pytest.mark.parametrize("bad", ["cmyk", "cut-in-scan", "png", "no-huffman-tables"])
def test_writer_refusing_a_jpeg_stays_ready_for_a_frame(bad):
    data, message = BAD_JPEGS[bad]
    writer = jxl.JxlWriter()
    with pytest.raises(ValueError, match=message):
        writer.write_jpeg(data)
    img = synthetic(24, 32, 3)
    writer.write_frame(img)
    np.testing.assert_array_equal(jxl.decode(writer.close()), img)


@pytest.mark.parametrize("setup, message", [
    (dict(animation=True), "needs a still-image writer"),
    (dict(frame=True), "already has one"),
    (dict(jpeg=True), "already has one"),
])
def test_writer_takes_a_jpeg_only_as_a_still_images_first_frame(setup, message):
    writer = jxl.JxlWriter(animation=setup.get("animation", False))
    if setup.get("frame"):
        writer.write_frame(synthetic(75, 101, 3))
    if setup.get("jpeg"):
        writer.write_jpeg(BASE)
    with pytest.raises(ValueError, match=message):
        writer.write_jpeg(BASE)


# ---- metadata ---------------------------------------------------------------


def test_exif_xmp_and_icc_are_kept_and_the_file_rebuilt():
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    original = make_jpeg(quality=85, exif=EXIF_BYTES, xmp=XMP, icc_profile=icc)
    data = jxl.transcode_jpeg(original)
    found = boxes(data)
    assert {"Exif", "xml ", "jbrd"} <= set(found)
    if found["Exif"] is not None:  # stored uncompressed: 4-byte offset, then the TIFF data
        assert found["Exif"][4:] == EXIF_BYTES[6:] or found["Exif"][4:] == EXIF_BYTES
    if found["xml "] is not None:
        assert found["xml "] == XMP
    assert jxl.JxlReader(data).icc_profile == icc
    assert jxl.reconstruct_jpeg(data) == original


def test_without_metadata_the_pixels_stay_but_reconstruction_goes():
    original = make_jpeg(quality=85, exif=EXIF_BYTES, xmp=XMP)
    with_meta = jxl.transcode_jpeg(original)
    bare = jxl.transcode_jpeg(original, keep_metadata=False)
    assert len(bare) < len(with_meta)
    assert not {"Exif", "xml ", "jbrd"} & set(boxes(bare) if bare[:4] == b"\0\0\0\x0c" else {})
    np.testing.assert_array_equal(jxl.decode(bare), jxl.decode(with_meta))
    with pytest.raises(ValueError, match="^jxl: no JPEG reconstruction data in this file$"):
        jxl.reconstruct_jpeg(bare)


@pytest.mark.parametrize("kind, expected", [
    ("recompressed", True), ("without-metadata", False), ("pixels", False),
    ("pixels-container", False)])
@pytest.mark.parametrize("how", ["bytes", "path", "streamed-path"])
def test_reader_tells_whether_the_jpeg_can_be_rebuilt(tmp_path, kind, expected, how):
    original = make_jpeg(quality=85, exif=EXIF_BYTES)
    data = {"recompressed": lambda: jxl.transcode_jpeg(original),
            "without-metadata": lambda: jxl.transcode_jpeg(original, keep_metadata=False),
            "pixels": lambda: jxl.encode(synthetic(32, 48, 3)),
            "pixels-container": lambda: jxl.encode(synthetic(32, 48, 3), container=True)}[kind]()
    path = tmp_path / "f.jxl"
    path.write_bytes(data)
    src = data if how == "bytes" else path
    with jxl.JxlReader(src, streaming=how == "streamed-path") as reader:
        assert reader.has_jpeg_reconstruction is expected
        assert reader.read().shape[:2] == ((75, 101) if kind != "pixels" and kind != "pixels-container"
                                           else (32, 48))


# ---- bad input ----------------------------------------------------------------


def _patched_frame_header(jpeg: bytes, marker=None, precision=None, factors=None) -> bytes:
    """A crafted variant: the frame header's marker, precision or sampling rewritten."""
    out = bytearray(jpeg)
    pos = next(p for p, _, m in segments(jpeg) if m in (0xC0, 0xC2))
    if marker is not None:
        out[pos + 1] = marker
    if precision is not None:
        out[pos + 4] = precision
    if factors is not None:
        out[pos + 11] = factors  # the first component's sampling byte
    return bytes(out)


def _without(jpeg: bytes, marker: int) -> bytes:
    kept = [jpeg[p:p + n] for p, n, m in segments(jpeg) if m != marker]
    return jpeg[:2] + b"".join(kept[:-1]) + jpeg[segments(jpeg)[-1][0]:]


BASE = make_jpeg(seed=7, quality=80)
CMYK = make_jpeg(seed=7, mode="CMYK")
BAD_JPEGS = {
    "empty": (b"", "^jxl: not a JPEG stream$"),
    "png": (b"\x89PNG\r\n\x1a\n" + bytes(40), "^jxl: not a JPEG stream$"),
    "jpeg-xl": (jxl.encode(synthetic(8, 8, 3)), "^jxl: not a JPEG stream$"),
    "only-soi": (b"\xff\xd8\xff", "^jxl: truncated JPEG stream"),
    "cut-in-headers": (BASE[:150], "^jxl: truncated JPEG stream"),
    "cut-in-scan": (BASE[:len(BASE) // 2], "^jxl: truncated JPEG stream"),
    "no-end-marker": (BASE[:-2], "^jxl: truncated JPEG stream"),
    "no-scan": (BASE[:segments(BASE)[-1][0]] + b"\xff\xd9", "^jxl: corrupt JPEG stream .no image data"),
    "no-huffman-tables": (_without(BASE, 0xC4), "^jxl: corrupt or unsupported JPEG stream"),
    "arithmetic": (_patched_frame_header(BASE, marker=0xC9), "arithmetic coding .SOF9. is not supported"),
    "12-bit": (_patched_frame_header(BASE, precision=12), "12-bit samples is not supported"),
    "lossless": (_patched_frame_header(BASE, marker=0xC3), r"lossless JPEG \(SOF3\)"),
    "hierarchical": (_patched_frame_header(BASE, marker=0xC5), r"hierarchical JPEG \(SOF5\)"),
    "cmyk": (CMYK, r"4 colour components \(CMYK or YCCK\) is not supported"),
    "4:1:1": (_patched_frame_header(BASE, factors=0x41), "chroma sampling factors 4x1, 1x1, 1x1"),
}


@pytest.mark.parametrize("name", list(BAD_JPEGS))
def test_bad_jpeg_is_refused_and_nothing_is_written(tmp_path, name):
    data, message = BAD_JPEGS[name]
    with pytest.raises(ValueError, match=message):
        jxl.transcode_jpeg(data)
    dest = tmp_path / "out.jxl"
    dest.write_bytes(b"precious")
    with pytest.raises(ValueError, match=message):
        jxl.transcode_jpeg(data, dest)
    assert dest.read_bytes() == b"precious"
    assert [p.name for p in tmp_path.iterdir()] == ["out.jxl"]
    sink = io.BytesIO()
    with pytest.raises(ValueError, match=message):
        jxl.transcode_jpeg(data, sink)
    assert sink.getvalue() == b""


@pytest.fixture(scope="module")
def recompressed():
    return jxl.transcode_jpeg(BASE)


@pytest.mark.parametrize("name, error, message", [
    ("jpeg", ValueError, "^jxl: not a JPEG XL stream$"),
    ("pixels-codestream", ValueError, "^jxl: no JPEG reconstruction data in this file$"),
    ("pixels-container", ValueError, "^jxl: no JPEG reconstruction data in this file$"),
    ("truncated", jxl.JxlError, "truncated"),
    ("corrupt", jxl.JxlError, "JXL_DEC_ERROR"),
])
def test_reconstruct_refuses_what_it_cannot_rebuild(tmp_path, recompressed, name, error, message):
    img = synthetic(16, 16, 3)
    src = {"jpeg": BASE, "pixels-codestream": jxl.encode(img),
           "pixels-container": jxl.encode(img, container=True),
           "truncated": recompressed[:len(recompressed) * 2 // 3],
           "corrupt": recompressed[:40] + bytes(len(recompressed) - 40)}[name]
    dest = tmp_path / "out.jpg"
    dest.write_bytes(b"precious")
    with pytest.raises(error, match=message):
        jxl.reconstruct_jpeg(src, dest)
    assert dest.read_bytes() == b"precious"
    assert [p.name for p in tmp_path.iterdir()] == ["out.jpg"]


def test_reconstruct_refuses_more_pixels_than_allowed(recompressed):
    with pytest.raises(ValueError, match="exceeds max_pixels=100"):
        jxl.reconstruct_jpeg(recompressed, max_pixels=100)
    assert jxl.reconstruct_jpeg(recompressed, max_pixels=None) == BASE


def test_reconstruct_rebuilds_a_file_whose_reconstruction_data_precedes_its_codestream(
        recompressed, djxl, tmp_path):
    # Boxes may come in any order: with the "jbrd" box first, libjxl hands over
    # the reconstruction data before the image header (djxl rebuilds the JPEG).
    from test_bombs import _join_boxes, _split_boxes

    boxes = _split_boxes(recompressed)
    jbrd = [b for b in boxes if b[0] == b"jbrd"]
    moved = _join_boxes(boxes[:2] + jbrd + [b for b in boxes[2:] if b[0] != b"jbrd"])
    assert moved != recompressed and len(jbrd) == 1
    src, back = tmp_path / "moved.jxl", tmp_path / "back.jpg"
    src.write_bytes(moved)
    subprocess.run([djxl, str(src), str(back), "--quiet"], check=True)
    assert back.read_bytes() == BASE
    assert jxl.reconstruct_jpeg(moved) == BASE


def test_reconstruct_rebuilds_a_jpeg_with_many_runs_between_its_markers(cjxl, tmp_path):
    # 513 bytes, progressive, with restart markers between its scans: 18 runs
    # of bytes between markers, whose lengths come far behind in the
    # reconstruction data. Counting each as the most it could be (64 KiB)
    # refused this file; djxl rebuilds it, from cjxl's stream and from ours.
    src = Path(__file__).parent / "data" / "progressive-restarts-between-scans.jpg"
    original = src.read_bytes()
    made = tmp_path / "cjxl.jxl"
    subprocess.run([cjxl, str(src), str(made), "--lossless_jpeg=1", "--quiet"], check=True)
    for stream in (jxl.transcode_jpeg(original), made.read_bytes()):
        assert jxl.reconstruct_jpeg(stream) == original


def test_reconstruct_refuses_runs_between_markers_claiming_a_gigabyte():
    # The lengths of the runs of bytes between markers come last in the
    # reconstruction data's fields, behind its tables; libjxl allocates them
    # all (djxl's RSS: 1 GiB for these 44 kB) before the data arrives. They
    # are read exactly: the whole claim is named.
    from test_bombs import _bits_le, _join_boxes, _split_boxes

    boxes = _split_boxes(jxl.transcode_jpeg(make_jpeg(16, 16, mode="L"), effort=1))
    n = 16383
    f = [(1, 1)] + [(0xFF - 0xC0, 6)] * n + [(0xD9 - 0xC0, 6)]
    f += [(0, 2), (0, 4), (0, 2), (0, 2)]  # one quantisation table; grey, using it
    f += [(0, 2)]  # four Huffman codes of one symbol each
    for ac in (0, 1, 0, 1):
        f += [(ac, 1), (0, 2), (1, 1), (1, 2)] + [(0, 2)] * 16 + [(3, 2), (255, 8)]
    f += [(65535, 16)] * n + [(0, 2), (0, 1)]  # the runs; no tail, no padding bits
    bomb = _join_boxes([(k, _bits_le(f) + bytes(64) if k == b"jbrd" else c) for k, c in boxes])
    with pytest.raises(ValueError, match=f"^jxl: the JPEG reconstruction data claims {n * 65535} bytes "
                                         "of marker data, more than the "):
        jxl.reconstruct_jpeg(bomb)


def test_reconstruction_stops_at_its_size_budget(cjxl, tmp_path):
    # 2 MiB of zeros after the end-of-image marker compress to almost nothing,
    # so the rebuilt file is far above 16 times its JPEG XL plus 1 MiB.
    # transcode_jpeg refuses such a JPEG; libjxl's own encoder makes the file.
    original = make_jpeg(8, 8, quality=50, mode="L") + bytes(2 << 20)
    src, made = tmp_path / "in.jpg", tmp_path / "in.jxl"
    src.write_bytes(original)
    subprocess.run([cjxl, str(src), str(made), "--lossless_jpeg=1", "--quiet"], check=True)
    data = made.read_bytes()
    with pytest.raises(ValueError, match="too large for its recompressed size"):
        jxl.transcode_jpeg(original)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    dest = out_dir / "out.jpg"
    # The 2 MiB are claimed in the reconstruction data's fields: refused
    # before libjxl allocates them.
    with pytest.raises(ValueError, match=r"claims 2097169 bytes of marker data, .* refused as a "
                                         "possible decompression bomb$"):
        jxl.reconstruct_jpeg(data, dest)
    assert list(out_dir.iterdir()) == []
    small = make_jpeg(8, 8, quality=50, mode="L") + bytes(1 << 19)
    assert jxl.reconstruct_jpeg(jxl.transcode_jpeg(small)) == small


@pytest.mark.parametrize("func", [jxl.transcode_jpeg, jxl.reconstruct_jpeg])
@pytest.mark.parametrize("dest, error", [(42, TypeError), ("missing-dir/out", FileNotFoundError),
                                         (".", IsADirectoryError)])
def test_unusable_destination_fails_before_any_work(tmp_path, monkeypatch, func, dest, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        func(b"not even looked at", dest)
    assert list(Path(tmp_path).iterdir()) == []


# ---- command line -----------------------------------------------------------


@pytest.fixture
def photo_jpg(tmp_path):
    path = tmp_path / "photo.jpg"
    path.write_bytes(make_jpeg(120, 160, quality=90, exif=EXIF_BYTES))
    return path


def test_cli_recompresses_a_jpeg_and_rebuilds_it(tmp_path, photo_jpg):
    proc = cli("encode", "photo.jpg", "photo.jxl", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    (line,) = proc.stderr.splitlines()
    assert re.fullmatch(r"quillmarsh-jxl: photo\.jpg: JPEG recompressed losslessly, "
                        r"[\d.]+ KiB -> [\d.]+ KiB \(-\d+\.\d%\); .*", line), line
    assert jxl.reconstruct_jpeg(tmp_path / "photo.jxl") == photo_jpg.read_bytes()
    proc = cli("decode", "photo.jxl", "back.jpg", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert "rebuilt bit for bit" in proc.stdout
    assert (tmp_path / "back.jpg").read_bytes() == photo_jpg.read_bytes()


def test_cli_info_says_whether_the_jpeg_can_be_rebuilt(tmp_path, photo_jpg):
    (tmp_path / "photo.jxl").write_bytes(jxl.transcode_jpeg(photo_jpg))
    (tmp_path / "px.jxl").write_bytes(jxl.encode(synthetic(16, 16, 3)))
    for name, words, flag in (("photo.jxl", "reconstructable: 'decode FILE x.jpg' rebuilds", True),
                              ("px.jxl", "no JPEG reconstruction data", False)):
        proc = cli("info", name, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert re.search(r"^JPEG +" + re.escape(words), proc.stdout, re.M), proc.stdout
        proc = cli("info", name, "--json", cwd=tmp_path)
        assert json.loads(proc.stdout)["jpeg_reconstruction"] is flag


@pytest.mark.parametrize("flags", [["--pixels"], ["--quality", "90"], ["--distance", "1"]])
def test_cli_pixel_options_encode_the_jpegs_pixels(tmp_path, photo_jpg, flags):
    proc = cli("encode", "photo.jpg", "photo.jxl", *flags, cwd=tmp_path)
    assert proc.returncode == 0 and "recompressed" not in proc.stderr, proc.stderr
    with pytest.raises(ValueError, match="no JPEG reconstruction data"):
        jxl.reconstruct_jpeg(tmp_path / "photo.jxl")
    assert jxl.decode(tmp_path / "photo.jxl").shape == (120, 160, 3)


def test_cli_decodes_a_pixel_file_to_a_new_jpeg_at_the_quality_asked(tmp_path):
    (tmp_path / "px.jxl").write_bytes(jxl.encode(synthetic(64, 80, 3)))
    sizes = {}
    for q in (40, 95):
        proc = cli("decode", "px.jxl", f"q{q}.jpg", "--quality", q, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert "px.jxl holds no JPEG reconstruction data" in proc.stderr
        assert f"new JPEG encoded from its pixels (quality {q})" in proc.stderr
        with Image.open(tmp_path / f"q{q}.jpg") as img:
            assert img.format == "JPEG" and img.size == (80, 64)
        sizes[q] = (tmp_path / f"q{q}.jpg").stat().st_size
    assert sizes[40] < sizes[95]


@pytest.mark.parametrize("jpeg, reason, shape", [
    (CMYK, "4 colour components (CMYK or YCCK) is not supported by libjxl", (75, 101, 3)),
    ((Path(__file__).parent / "data" / "grey-dc-out-of-range.jpg").read_bytes(),
     "its DC coefficient 2112 (component 1) is outside -2047..2047, which libjxl would clamp "
     "(a damaged JPEG?)", (24, 32)),
])
def test_cli_names_why_a_jpeg_cannot_be_recompressed_and_encodes_its_pixels(tmp_path, jpeg, reason, shape):
    (tmp_path / "in.jpg").write_bytes(jpeg)
    proc = cli("encode", "in.jpg", "out.jxl", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert ("quillmarsh-jxl: note: in.jpg: this JPEG cannot be recompressed losslessly: "
            f"{reason}; its pixels are encoded losslessly instead") in proc.stderr.splitlines()
    assert "recompressed losslessly," not in proc.stderr
    assert jxl.decode(tmp_path / "out.jxl").shape[:len(shape)] == shape
    with pytest.raises(ValueError, match="no JPEG reconstruction data"):
        jxl.reconstruct_jpeg(tmp_path / "out.jxl")
