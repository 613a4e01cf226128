"""Metadata boxes and frame headers read by parse-only passes."""

import io
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import _streams as S
from quillmarsh.codecs import _jxl
from quillmarsh.core.errors import JxlError

EXIF = (b"MM\x00*" + struct.pack(">I", 8) + struct.pack(">H", 1)
        + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + struct.pack(">I", 0))
XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
JUMBF = b"\x00\x00\x00\x10jumdquillmarsh"


def cjxl_with(tmp_path: Path, *args: str, png: bool = True) -> bytes:
    S.need_cjxl()
    src = tmp_path / "in.png"
    Image.fromarray(S.image(16, 24, 3)).save(src)
    out = tmp_path / "out.jxl"
    subprocess.run([S.CJXL, str(src), str(out), "--quiet", "-d", "0", "-e", "1", *args],
                   check=True, capture_output=True)
    return out.read_bytes()


def with_metadata(tmp_path: Path, compress: int, exif: bytes = EXIF) -> bytes:
    for name, data in (("exif", exif), ("xmp", XMP), ("jumbf", JUMBF)):
        (tmp_path / name).write_bytes(data)
    return cjxl_with(tmp_path, "-x", f"exif={tmp_path / 'exif'}", "-x",
                     f"xmp={tmp_path / 'xmp'}", "-x", f"jumbf={tmp_path / 'jumbf'}",
                     f"--compress_boxes={compress}")


def split_boxes(data: bytes):
    """(type, whole box bytes) of a container, in order."""
    out, pos = [], 0
    while pos < len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        assert size >= 8, "test helper handles plain 32-bit box sizes only"
        out.append((kind, data[pos:pos + size]))
        pos += size
    return out


@pytest.mark.parametrize("compress", [0, 1])
@pytest.mark.parametrize("form", ["bytes", "bytearray", "path", "file"])
def test_metadata_boxes_exact(tmp_path, compress, form):
    data = with_metadata(tmp_path, compress)
    path = tmp_path / "m.jxl"
    path.write_bytes(data)
    src = {"bytes": data, "bytearray": bytearray(data), "path": path,
           "file": io.BytesIO(data)}[form]
    got = _jxl._read_boxes(src)
    assert (got["exif"], got["xmp"], got["jumbf"]) == (EXIF, XMP, JUMBF)
    listed = {t: (size, comp) for t, size, comp in got["boxes"]}
    assert listed["Exif"][1] == listed["xml "][1] == listed["jumb"][1] == bool(compress)
    if not compress:  # stored sizes are the contents': offset field + TIFF data
        assert listed["Exif"][0] == 4 + len(EXIF) and listed["xml "][0] == len(XMP)
    types = [t for t, _, _ in got["boxes"]]
    assert types[:2] == ["JXL ", "ftyp"] and any(t in ("jxlc", "jxlp") for t in types)


def test_bare_codestream_has_no_boxes():
    got = _jxl._read_boxes(_jxl.encode(np.zeros((8, 8, 3), np.uint8)))
    assert got == {"exif": None, "xmp": None, "jumbf": None, "boxes": []}


def test_boxes_after_the_codestream_are_found(tmp_path):
    boxes = split_boxes(with_metadata(tmp_path, 0))
    meta = [b for t, b in boxes if t in (b"Exif", b"xml ", b"jumb")]
    rest = [b for t, b in boxes if t not in (b"Exif", b"xml ", b"jumb")]
    moved = b"".join(rest + meta)
    assert moved.index(b"Exif") > moved.rindex(b"jxlp")
    got = _jxl._read_boxes(moved)
    assert (got["exif"], got["xmp"], got["jumbf"]) == (EXIF, XMP, JUMBF)
    assert [t for t, _, _ in got["boxes"]][-3:] == ["Exif", "xml ", "jumb"]
    assert (_jxl.decode(moved) == _jxl.decode(b"".join(rest))).all()


def test_box_claiming_more_than_64_mib_is_refused(tmp_path):
    data = with_metadata(tmp_path, 0)
    claim = struct.pack(">I4s", 8 + (100 << 20), b"xml ") + b"<x/>"
    with pytest.raises(JxlError, match=r'XMP \("xml "\) box of 104857600 bytes is larger '
                                       r"than the 64 MiB limit"):
        _jxl._read_boxes(b"".join(b for t, b in split_boxes(data) if t != b"xml ") + claim)


def test_compressed_box_inflating_past_64_mib_is_refused(tmp_path):
    (tmp_path / "big.xml").write_bytes(b" " * (65 << 20))
    data = cjxl_with(tmp_path, "-x", f"xmp={tmp_path / 'big.xml'}", "--compress_boxes=1",
                     "--brotli_effort=0")
    assert len(data) < 1 << 20
    with pytest.raises(JxlError, match=r"box is larger than the 64 MiB limit"):
        _jxl._read_boxes(data)


@pytest.mark.parametrize("exif, why", [
    (b"\x00\x00\x00\x40" + EXIF, "points past its end"),
    (b"\x00\x00\x00\x00GIF89a..", "no TIFF header"),
    (b"\x00\x00", "too short"),
])
def test_malformed_exif_box(tmp_path, exif, why):
    boxes = split_boxes(with_metadata(tmp_path, 0))
    bad = struct.pack(">I4s", 8 + len(exif), b"Exif") + exif
    data = b"".join(bad if t == b"Exif" else b for t, b in boxes)
    with pytest.raises(JxlError, match=f"malformed Exif box: .*{why}"):
        _jxl._read_boxes(data)


@pytest.mark.parametrize("cut", [40, 150, -3])
def test_truncated_container(tmp_path, cut):
    data = with_metadata(tmp_path, 1)
    with pytest.raises(JxlError, match="corrupt or truncated stream while reading its boxes"):
        _jxl._read_boxes(data[:cut])


@pytest.mark.parametrize("src, exc, msg", [
    (b"", ValueError, "jxl: empty input"),
    (b"not a jpeg xl file", ValueError, "jxl: not a JPEG XL stream"),
    (None, TypeError, "data must be bytes-like"),
])
@pytest.mark.parametrize("func", [_jxl._read_boxes, _jxl.frames_info])
def test_unusable_input(func, src, exc, msg):
    with pytest.raises(exc, match=msg):
        func(src)


class Trickle(io.RawIOBase):
    """Hands out `piece` bytes per read(); read number `fail_at` fails."""

    def __init__(self, data, piece, fail_at, failure):
        self.data, self.piece, self.fail_at, self.failure = data, piece, fail_at, failure
        self.reads = 0

    def read(self, n=-1):
        self.reads += 1
        if self.reads == self.fail_at:
            if isinstance(self.failure, BaseException):
                raise self.failure
            return self.failure
        chunk, self.data = self.data[:self.piece], self.data[self.piece:]
        return chunk


@pytest.mark.parametrize("fail_at", [1, 3])
@pytest.mark.parametrize("failure, exc, msg", [
    (OSError(5, "the disk went away"), OSError, "the disk went away"),
    ("text", TypeError, r"^jxl: read\(\) returned str, expected bytes$"),
])
@pytest.mark.parametrize("func", [_jxl._read_boxes, _jxl.frames_info])
def test_failing_read_of_a_file_like(tmp_path, func, fail_at, failure, exc, msg):
    # The pass runs without the lock and the read fails in the middle of it:
    # the read's own error comes out.
    src = Trickle(with_metadata(tmp_path, 0), 20, fail_at, failure)
    with pytest.raises(exc, match=msg):
        func(src)
    assert src.reads == fail_at
    trickled = Trickle(with_metadata(tmp_path, 0), 20, 0, None)
    assert func(trickled) == func(with_metadata(tmp_path, 0))


# ---- frame headers ---------------------------------------------------------

def gif_animation(tmp_path: Path) -> bytes:
    frames = [Image.fromarray(f) for f in S.animation_frames(3, 16, 24)]
    gif = tmp_path / "a.gif"
    frames[0].save(gif, save_all=True, append_images=frames[1:], duration=[50, 200, 500],
                   loop=3)
    S.need_cjxl()
    out = tmp_path / "a.jxl"
    subprocess.run([S.CJXL, str(gif), str(out), "--quiet", "-d", "0", "-e", "1"], check=True)
    return out.read_bytes()


def test_frames_info_of_an_animation(tmp_path):
    data = gif_animation(tmp_path)
    path = tmp_path / "a.jxl"
    for src in (data, path, open(path, "rb")):
        info = _jxl.frames_info(src)
        assert [f["duration"] for f in info] == pytest.approx([0.05, 0.2, 0.5])
        assert [f["is_last"] for f in info] == [False, False, True]
        ticks = [f["duration_ticks"] for f in info]
        assert ticks[1] == 4 * ticks[0] and ticks[2] == 10 * ticks[0]
        assert {(f["xsize"], f["ysize"], f["timecode"], f["name"]) for f in info} == {
            (24, 16, None, "")}
    assert len(info) == _jxl.frame_count(data)


def test_frames_info_of_a_still():
    (f,) = _jxl.frames_info(S.still(20, 30))
    assert (f["duration"], f["duration_ticks"], f["is_last"], f["xsize"], f["ysize"]) == (
        0.0, 0, True, 30, 20)


def test_layers_without_coalescing():
    data = S.layered_animation(48, 64)
    whole = _jxl.frames_info(data)
    assert [(f["xsize"], f["ysize"], f["crop_x0"], f["crop_y0"]) for f in whole] == [
        (64, 48, 0, 0)] * 2
    layers = _jxl.frames_info(data, coalesce=False)
    assert layers[0]["xsize"], layers[0]["ysize"] == (64, 48)
    second = layers[1]
    assert (second["xsize"], second["ysize"]) < (64, 48)
    assert second["crop_x0"] <= 8 and second["crop_y0"] <= 8
    assert second["crop_x0"] + second["xsize"] >= 24 and second["crop_y0"] + second["ysize"] >= 16
    assert {f["blend_mode"] for f in layers} <= {"replace", "blend", "add", "muladd", "mul"}


def test_frames_info_of_a_truncated_stream(tmp_path):
    data = gif_animation(tmp_path)
    with pytest.raises(JxlError, match="truncated stream while reading its frame headers"):
        _jxl.frames_info(data[: len(data) * 2 // 3])


# ---- the reader's properties -----------------------------------------------

@pytest.fixture(scope="module")
def big_with_exif(tmp_path_factory):
    """A file above the streaming threshold (4 MiB) with metadata boxes."""
    d = tmp_path_factory.mktemp("big")
    noise = np.random.default_rng(7).integers(0, 256, (1300, 1300, 3), dtype=np.uint8)
    Image.fromarray(noise).save(d / "in.png")
    (d / "exif").write_bytes(EXIF)
    (d / "xmp").write_bytes(XMP)
    S.need_cjxl()
    subprocess.run([S.CJXL, str(d / "in.png"), str(d / "big.jxl"), "--quiet", "-d", "0",
                    "-e", "1", "-x", f"exif={d / 'exif'}", "-x", f"xmp={d / 'xmp'}"],
                   check=True)
    path = d / "big.jxl"
    assert path.stat().st_size > 4 << 20
    return path


@pytest.mark.parametrize("how", ["bytes", "path", "streamed path", "streamed file"])
def test_reader_box_properties(tmp_path, big_with_exif, how):
    src = {"bytes": lambda: big_with_exif.read_bytes(), "path": lambda: big_with_exif,
           "streamed path": lambda: big_with_exif,
           "streamed file": lambda: open(big_with_exif, "rb")}[how]()
    with _jxl.JxlReader(src, streaming=how.startswith("streamed")) as r:
        assert r._streaming == how.startswith("streamed")
        assert (r.exif, r.xmp, r.jumbf) == (EXIF, XMP, None)
        assert [t for t, _, _ in r.boxes if t in ("Exif", "xml ")] == ["Exif", "xml "]
        (f,) = r.frames_info
        assert (f["xsize"], f["ysize"], f["is_last"]) == (1300, 1300, True)
        assert r.read().shape == (1300, 1300, 3)  # the passes left the decoder alone
        assert r.exif == EXIF
    if how == "streamed file":
        src.close()


def test_reader_properties_after_close(tmp_path):
    data = with_metadata(tmp_path, 1)
    r = _jxl.JxlReader(data)
    assert r.xmp == XMP
    r.close()
    assert (r.exif, r.xmp, r.jumbf) == (EXIF, XMP, JUMBF)  # cached by the first access
    with pytest.raises(RuntimeError, match="JxlReader is closed"):
        r.frames_info  # never asked before the close
    r2 = _jxl.JxlReader(data)
    r2.close()
    with pytest.raises(RuntimeError, match="JxlReader is closed"):
        r2.exif


def test_reader_malformed_exif_spares_the_other_boxes(tmp_path):
    boxes = split_boxes(with_metadata(tmp_path, 0))
    bad = struct.pack(">I4s", 12, b"Exif") + b"\x00\x00\x00\x00"
    r = _jxl.JxlReader(b"".join(bad if t == b"Exif" else b for t, b in boxes))
    with pytest.raises(JxlError, match="malformed Exif box"):
        r.exif
    assert r.xmp == XMP and ("Exif", 4, False) in r.boxes


def test_reader_frames_info_follows_its_coalescing():
    data = S.layered_animation(48, 64)
    assert len(_jxl.JxlReader(data).frames_info) == 2
    layers = _jxl.JxlReader(data, coalesce=False).frames_info
    assert layers == _jxl.frames_info(data, coalesce=False)
    assert layers[1]["xsize"] < 64
    r = _jxl.JxlReader(data)
    first = r.frames_info
    first[0]["name"] = "changed"
    assert r.frames_info[0]["name"] == ""  # each access is a fresh copy


def test_basic_info_timing_and_premultiplied(tmp_path):
    info = _jxl.JxlReader(gif_animation(tmp_path)).basic_info
    assert info["tps"] == 100.0 and info["num_loops"] == 0 and info["have_timecodes"] is False
    assert info["alpha_premultiplied"] is False
    still = _jxl.JxlReader(S.still(8, 8)).basic_info
    assert still["tps"] is None and still["num_loops"] == 0
    rgba = tmp_path / "a.png"
    Image.fromarray(S.image(16, 16, 4)).save(rgba)
    out = tmp_path / "p.jxl"
    subprocess.run([S.CJXL, str(rgba), str(out), "--quiet", "-d", "0", "--premultiply=1"],
                   check=True)
    assert _jxl.JxlReader(out).basic_info["alpha_premultiplied"] is True


# ---- premultiplied alpha -----------------------------------------------------

@pytest.fixture(scope="module")
def premultiplied():
    """A 16-bit RGBA image stored premultiplied (cjxl --premultiply=1 takes the
    samples as premultiplied already), and its straight colour."""
    img = S.image(32, 48, 4, np.uint16, seed=3, maxval=65535)
    alpha = np.linspace(4096, 65535, 48)[None, :, None]  # alpha >= 1/16
    stored = img.copy()
    stored[..., :3] = np.round(img[..., :3] * alpha / 65535.0)
    stored[..., 3] = np.round(alpha[..., 0])
    return S.encode_array(stored, ("-d", "0", "-e", "1", "--premultiply=1")), img


def test_unpremultiply_alpha_gives_colour_divided_by_alpha(premultiplied):
    data, straight_source = premultiplied
    assert _jxl.JxlReader(data).basic_info["alpha_premultiplied"] is True
    stored = _jxl.decode(data).astype(np.float64)
    straight = _jxl.decode(data, unpremultiply_alpha=True).astype(np.float64)
    alpha = stored[..., 3:]
    assert (straight[..., 3] == stored[..., 3]).all()
    want = np.clip(stored[..., :3] * 65535.0 / alpha, 0, 65535)
    assert np.abs(straight[..., :3] - want).max() <= 1
    # The straight colour comes back within one 8-bit step (257 in 16 bits).
    assert np.abs(straight[..., :3] - straight_source[..., :3]).max() <= 257
    assert np.abs(stored[..., :3] - straight_source[..., :3]).max() > 257 * 10
    with _jxl.JxlReader(data, unpremultiply_alpha=True) as r:
        assert (r.read() == straight).all()


def test_unpremultiply_alpha_leaves_straight_alpha_alone():
    data = S.still(16, 16, 4)
    assert (_jxl.decode(data, unpremultiply_alpha=True) == _jxl.decode(data)).all()
