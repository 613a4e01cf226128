"""frame_count and thumbnail_bytes: probes that decode no pixels."""

import io
import subprocess

import numpy as np
import pytest
from PIL import Image

import quillmarsh.codecs._jxl as jxl
from _images import synthetic
from conftest import conformance_file, skip_rss_bound_if_sanitized


@pytest.fixture
def make_stream(tmp_path, cjxl):
    """Encode a still through cjxl (real client of libjxl, independent of our writer)."""
    def make(img, *args):
        src, out = tmp_path / "in.png", tmp_path / "out.jxl"
        Image.fromarray(img).save(src)
        subprocess.run([cjxl, str(src), str(out), "--quiet", *args], check=True,
                       capture_output=True)
        return out.read_bytes()
    return make


class _BytesSub(bytes):
    pass


def _forms(data, tmp_path):
    p = tmp_path / "stream.jxl"
    p.write_bytes(data)
    yield "bytes", data
    yield "bytearray", bytearray(data)
    yield "memoryview", memoryview(data)
    yield "bytes-subclass", _BytesSub(data)
    yield "numpy-uint8", np.frombuffer(data, np.uint8)
    yield "str-path", str(p)
    yield "pathlib", p
    yield "BytesIO", io.BytesIO(data)
    with open(p, "rb") as f:
        yield "open-file", f


@pytest.mark.parametrize("case", ["animation_spline", "progressive", "bicycles", "grayscale"])
def test_input_forms_agree(case, tmp_path):
    data = conformance_file(case).read_bytes()
    want_n = jxl.frame_count(data)
    want_t = jxl.thumbnail_bytes(data)
    for name, form in _forms(data, tmp_path):
        assert jxl.frame_count(form) == want_n, name
    for name, form in _forms(data, tmp_path):
        assert jxl.thumbnail_bytes(form, numthreads=8) == want_t, name


@pytest.mark.parametrize("case,frames", [
    ("animation_spline", 60), ("bicycles", 1), ("lossless_pfm", 1), ("cmyk_layers", 1),
    ("sunset_logo", 1), ("alpha_triangles", 1),
])
def test_frame_count_conformance(case, frames):
    data = conformance_file(case).read_bytes()
    assert jxl.frame_count(data) == frames
    assert jxl.frame_count(data, numthreads=1) == frames


def test_frame_count_our_animation():
    if not hasattr(jxl, "encode"):
        pytest.skip("writer not built")
    stack = synthetic(32, 24, 3, np.uint8)[None].repeat(5, axis=0)
    stack[2] = 255 - stack[2]
    data = jxl.encode(stack, animation=True, effort=1)
    assert jxl.frame_count(data) == 5


@pytest.mark.parametrize("empty", [b"", bytearray(), io.BytesIO(b""), "file"])
def test_empty_inputs(empty, tmp_path):
    if empty == "file":
        (tmp_path / "e.jxl").write_bytes(b"")
        empty = tmp_path / "e.jxl"
    assert jxl.frame_count(empty) == 0
    if isinstance(empty, io.BytesIO):
        empty.seek(0)
    assert jxl.thumbnail_bytes(empty) is None


@pytest.mark.parametrize("func", [jxl.frame_count, jxl.thumbnail_bytes])
def test_garbage_is_a_libjxl_error(func):
    with pytest.raises(jxl.JxlError, match=r"^JxlDecoderProcessInput returned JXL_DEC_ERROR$"):
        func(b"plain text")


@pytest.mark.parametrize("func", [jxl.frame_count, jxl.thumbnail_bytes])
@pytest.mark.parametrize("bad", [None, 12, "missing-file.jxl", object()])
def test_unusable_inputs(func, bad):
    exc = FileNotFoundError if isinstance(bad, str) else TypeError
    with pytest.raises(exc):
        func(bad)


def test_text_mode_file_refused(tmp_path):
    p = tmp_path / "t.txt"
    p.write_text("hello")
    with open(p) as f, pytest.raises(TypeError):
        jxl.frame_count(f)


def test_frame_count_truncated():
    data = conformance_file("animation_spline").read_bytes()
    with pytest.raises(jxl.JxlError, match=r"^jxl: truncated stream while counting frames$"):
        jxl.frame_count(data[: len(data) // 2])


def test_thumbnail_truncated():
    data = conformance_file("progressive").read_bytes()
    prefix = jxl.thumbnail_bytes(data)
    for cut in (20, len(prefix) - 1):
        with pytest.raises(jxl.JxlError, match=r"^jxl: truncated stream while seeking DC pass$"):
            jxl.thumbnail_bytes(data[:cut])


def test_thumbnail_progressive_conformance():
    data = conformance_file("progressive").read_bytes()
    prefix = jxl.thumbnail_bytes(data)
    assert isinstance(prefix, bytes)
    assert 0 < len(prefix) < len(data) // 2
    assert data.startswith(prefix)


@pytest.mark.parametrize("size,args,has_point", [
    (512, ("-d", "1", "-e", "3"), True),                       # multi-group VarDCT, single pass
    (256, ("-d", "1", "-e", "3"), False),                      # one group, single pass
    (200, ("-d", "1", "-e", "3", "--progressive_ac"), True),   # progressive AC at any size
    (512, ("-d", "0", "-e", "2"), False),                      # lossless modular
    (512, ("-d", "0", "-e", "2", "--responsive=1"), False),    # squeeze reports no point either
])
def test_thumbnail_by_coding_mode(make_stream, size, args, has_point):
    img = synthetic(size, size, 3, np.uint8, seed=size)
    data = make_stream(img, *args)
    prefix = jxl.thumbnail_bytes(data)
    if has_point:
        assert isinstance(prefix, bytes) and data.startswith(prefix)
        assert len(prefix) < len(data)
    else:
        assert prefix is None


def test_thumbnail_lossy_with_alpha_has_no_point(make_stream):
    img = synthetic(512, 512, 4, np.uint8)
    assert jxl.thumbnail_bytes(make_stream(img, "-d", "1", "-e", "3")) is None


def test_thumbnail_huge_size_header_fails_cleanly_without_memory(make_stream):
    # A tiny lossy stream re-labelled (size header patched) as 65536 x 65536
    # pixels: the probe must fail cleanly, not commit a 12 GiB scratch image.
    import resource
    img = synthetic(8, 8, 3, np.uint8)
    data = bytearray(make_stream(img, "-d", "1", "-e", "1"))
    assert data[:2] == b"\xff\x0a"
    # SizeHeader: small=0, height-1 in 30 bits (selector 3), ratio=0, width-1 likewise.
    bits = [0] + [1, 1] + [int(b) for b in format(65535, "030b")[::-1]] + [0, 0, 0] \
        + [1, 1] + [int(b) for b in format(65535, "030b")[::-1]]
    # Rebuild the stream: signature + new size header + the original bits after
    # the original size header (small=1: 1 + 5 + 3 bits, ratio coded width).
    orig_bits = []
    for byte in data[2:]:
        orig_bits.extend((byte >> i) & 1 for i in range(8))
    assert orig_bits[0] == 1  # 8x8 uses the small encoding: 1 + 5 + 3 = 9 bits
    rest = orig_bits[9:]
    new_bits = bits + rest
    new_bits += [0] * (-len(new_bits) % 8)
    out = bytearray(b"\xff\x0a")
    for i in range(0, len(new_bits), 8):
        out.append(sum(b << k for k, b in enumerate(new_bits[i:i + 8])))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(jxl.JxlError):
        jxl.thumbnail_bytes(bytes(out))
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    skip_rss_bound_if_sanitized()
    assert grown_kib < 512 * 1024, grown_kib


def test_cut_inside_last_frame_data_is_seen_by_decode_only():
    # libjxl stops parsing at the last frame's table of contents when no pixels
    # are wanted; the count stands, and decode reports the truncation.
    data = conformance_file("bicycles").read_bytes()
    cut = data[: len(data) - 100]
    assert jxl.frame_count(cut) == 1
    with pytest.raises(jxl.JxlError, match="truncated"):
        jxl.decode(cut)
