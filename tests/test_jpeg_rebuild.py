"""A JPEG that libjxl would accept but not give back bit for bit is refused.

libjxl rebuilds every DC coefficient clamped to -2047..2047. A conforming
8-bit JPEG never leaves that range, a damaged one can (its DC predictions add
up past it). The crafted JPEGs below start from Pillow's files and re-code
their DC coefficients (AC all zero) with a Huffman code that has every DC
category.
"""

from __future__ import annotations

import contextlib
import io
import struct
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from quillmarsh.codecs import jxl

DAMAGED = (Path(__file__).parent / "data" / "grey-dc-out-of-range.jpg").read_bytes()

DC_LENGTHS = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]  # categories 0-11
EOB_LENGTHS = [1] + [0] * 15  # one AC symbol: end of block


def _dht(kind: int, slot: int, lengths, symbols) -> bytes:
    body = bytes([kind << 4 | slot, *lengths, *symbols])
    return b"\xff\xc4" + struct.pack(">H", len(body) + 2) + body


def _codes(lengths, symbols):
    codes, code, k = {}, 0, 0
    for n, count in enumerate(lengths, 1):
        for _ in range(count):
            codes[symbols[k]] = (code, n)
            code, k = code + 1, k + 1
        code <<= 1
    return codes


class _Bits:
    def __init__(self):
        self.bits = []

    def put(self, value: int, n: int):
        self.bits += [(value >> i) & 1 for i in range(n - 1, -1, -1)]

    def dc(self, diff: int):
        cat = abs(diff).bit_length()
        self.put(*_codes(DC_LENGTHS, range(12))[cat])
        self.put(diff if diff >= 0 else diff + (1 << cat) - 1, cat)

    def data(self) -> bytes:
        bits = self.bits + [1] * (-len(self.bits) % 8)
        out = bytearray()
        for i in range(0, len(bits), 8):
            out.append(int("".join(map(str, bits[i:i + 8])), 2))
            if out[-1] == 0xFF:
                out.append(0)
        return bytes(out)


def _segments(jpeg: bytes):
    """(marker, segment bytes, entropy-coded data after it) in order, up to EOI."""
    pos, out = 2, []
    while jpeg[pos + 1] != 0xD9:
        marker = jpeg[pos + 1]
        end = pos + 2 + struct.unpack(">H", jpeg[pos + 2:pos + 4])[0]
        data_end = end
        while marker == 0xDA and not (jpeg[data_end] == 0xFF and jpeg[data_end + 1] not in (0, *range(0xD0, 0xD8))):
            data_end += 1
        out.append((marker, jpeg[pos:end], jpeg[end:data_end]))
        pos = data_end
    return out


def _pillow(blocks: int, mode: str, **options) -> bytes:
    buf = io.BytesIO()
    Image.new(mode, (8 * blocks, 8), "gray").save(buf, "JPEG", quality=90, subsampling=0, **options)
    return buf.getvalue()


def sequential(dcs, restart: int = 0) -> bytes:
    """A baseline JPEG, one 8x8 MCU per entry of `dcs` (a DC per component)."""
    ncomp = len(dcs[0])
    template = _pillow(len(dcs), "L" if ncomp == 1 else "RGB")
    head = [seg for m, seg, _ in _segments(template) if m not in (0xC4, 0xDA, 0xDD)]
    ids = [seg[10 + 3 * c] for m, seg, _ in _segments(template) if m == 0xC0 for c in range(ncomp)]
    sos = bytes([ncomp, *(b for i in ids for b in (i, 0x00)), 0, 63, 0])
    bits, pred, data = _Bits(), [0] * ncomp, b""
    for m, dc in enumerate(dcs):
        for c, value in enumerate(dc):
            bits.dc(value - pred[c])
            bits.put(0, 1)  # end of block
            pred[c] = value
        if restart and (m + 1) % restart == 0 and m + 1 < len(dcs):
            data += bits.data() + bytes([0xFF, 0xD0 + (m // restart) % 8])
            bits, pred = _Bits(), [0] * ncomp
    dri = b"\xff\xdd\x00\x04" + struct.pack(">H", restart) if restart else b""
    return (b"\xff\xd8" + b"".join(head) + _dht(0, 0, DC_LENGTHS, range(12)) + _dht(1, 0, EOB_LENGTHS, [0])
            + dri + b"\xff\xda" + struct.pack(">H", len(sos) + 2) + sos + data + bits.data() + b"\xff\xd9")


def padded(jpeg: bytes) -> bytes:
    """The same JPEG with 80 KB of comments: large enough for the DC check to
    run beside libjxl when it has threads to spare."""
    comment = b"\xff\xfe" + struct.pack(">H", 40002) + bytes(40000)
    return jpeg[:2] + 2 * comment + jpeg[2:]


def progressive(first, refine) -> bytes:
    """A progressive grey JPEG whose DC scans say `first` (shifted by the scan's
    point transform) and `refine` (the bit below)."""
    out = b"\xff\xd8"
    for marker, seg, data in _segments(_pillow(len(first), "L", progressive=True)):
        if marker == 0xDA and seg[7] == 0:  # a DC scan (Ss 0)
            bits = _Bits()
            if seg[9] >> 4 == 0:  # the first (Ah 0), else the refinement
                out += _dht(0, seg[6] >> 4, DC_LENGTHS, range(12))
                for prev, value in zip([0, *first], first):
                    bits.dc(value - prev)
            else:
                for bit in refine:
                    bits.put(bit, 1)
            data = bits.data()
        out += seg + data
    return out + b"\xff\xd9"


CLAMPED = (r"^jxl: this JPEG cannot be recompressed losslessly: its DC coefficient {} \(component {}\) "
           r"is outside -2047..2047, which libjxl would clamp")
NOT_REBUILT = "^jxl: this JPEG cannot be recompressed losslessly: libjxl would not rebuild the same bytes"
CASES = {
    "damaged-file": (lambda: DAMAGED, CLAMPED.format(2112, 1)),
    "grey-2048": (lambda: sequential([(1024,), (2048,)]), CLAMPED.format(2048, 1)),
    "grey-minus-2048": (lambda: sequential([(-1024,), (-2048,)]), CLAMPED.format(-2048, 1)),
    "grey-limits": (lambda: sequential([(2047,), (1000,), (-1047,), (-2047,)]), None),
    "colour-limits": (lambda: sequential([(0, 0, 0), (1000, -1500, 2047), (2047, -2047, 1000)]), None),
    "colour-third-2100": (lambda: sequential([(0, 0, 0), (1000, 1500, 1200), (0, 0, 2100), (0, 0, 1000)]),
                          CLAMPED.format(2100, 3)),
    # Each restart starts the prediction again: 2000 three times, not 6000.
    "restart-each-block": (lambda: sequential([(2000,), (2000,), (-2000,)], restart=1), None),
    "large-grey-limits": (lambda: padded(sequential([(2047,), (0,), (-2047,)])), None),
    "large-grey-2048": (lambda: padded(sequential([(1024,), (2048,)])), CLAMPED.format(2048, 1)),
    "progressive-2047": (lambda: progressive([1023, 5], [1, 0]), None),
    "progressive-2200": (lambda: progressive([1100, 5], [0, 0]), CLAMPED.format(2200, 1)),
    # -2048 from the first DC scan: the refinement bit decides, rebuilding tells.
    "progressive-refined-to-2047": (lambda: progressive([-1024, 5], [1, 0]), None),
    "progressive-left-at-2048": (lambda: progressive([-1024, 5], [0, 0]), NOT_REBUILT),
}


# Its DC check follows all the data, but libjxl refuses the JPEG for the
# 5 MiB after its end: the DC refusal wins wherever the check ran.
CASES["large-grey-2048-and-a-long-tail"] = (lambda: padded(sequential([(1024,), (2048,)])) + bytes(5 << 20),
                                            CLAMPED.format(2048, 1))


# With verification the rebuild finds a clamped DC value and the DC check
# names it. Without, the DC check runs before libjxl on one thread, and beside
# it on two for the large JPEGs. The outcome must not depend on which.
@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("numthreads", [1, 2])
@pytest.mark.parametrize("name", list(CASES))
def test_accepted_jpegs_come_back_bit_for_bit_and_others_are_refused(tmp_path, name, numthreads, verify):
    make, refusal = CASES[name]
    jpeg = make()
    assert Image.open(io.BytesIO(jpeg)).load() is not None  # a JPEG Pillow decodes
    writer = jxl.JxlWriter(effort=1, numthreads=numthreads)
    if refusal is None:
        stream = jxl.transcode_jpeg(jpeg, effort=1, numthreads=numthreads, verify=verify)
        assert jxl.reconstruct_jpeg(stream) == jpeg
        writer.write_jpeg(jpeg, verify=verify)
        assert writer.close() == stream
        return
    dest = tmp_path / "out.jxl"
    dest.write_bytes(b"precious")
    for target in (None, dest):
        with pytest.raises(ValueError, match=refusal):
            jxl.transcode_jpeg(jpeg, target, effort=1, numthreads=numthreads, verify=verify)
    assert dest.read_bytes() == b"precious"
    assert [p.name for p in tmp_path.iterdir()] == ["out.jxl"]
    with pytest.raises(ValueError, match=refusal):
        writer.write_jpeg(jpeg, verify=verify)
    writer.write_frame(jxl.decode(jxl.transcode_jpeg(jpeg, keep_metadata=False)))
    assert jxl.decode(writer.close()).shape[:2] == Image.open(io.BytesIO(jpeg)).size[::-1]



def _commented(segments: int) -> bytes:
    """A small grey JPEG carrying `segments` comments of 64 KiB of one letter."""
    buf = io.BytesIO()
    Image.new("L", (16, 16), 90).save(buf, "JPEG", quality=90)
    jpeg = buf.getvalue()
    com = b"\xff\xfe" + struct.pack(">H", 65535) + b"a" * 65533
    return jpeg[:2] + com * segments + jpeg[2:]


@pytest.mark.parametrize("segments, accepted", [(8, True), (24, False)])
def test_jpeg_much_larger_than_its_stream_is_accepted_only_if_it_can_be_rebuilt(segments, accepted):
    # Repetitive comments compress to almost nothing in the stream; past
    # reconstruct_jpeg's budget for a stream that small, transcode_jpeg and
    # the writer must refuse rather than hand out a file that cannot be
    # turned back, with the same words.
    big = _commented(segments)
    writer = jxl.JxlWriter(effort=1)
    if accepted:
        stream = jxl.transcode_jpeg(big, effort=1)
        assert jxl.reconstruct_jpeg(stream) == big
        writer.write_jpeg(big)
        assert writer.close() == stream
        return
    with pytest.raises(ValueError, match="cannot be recompressed losslessly: it is too large") as refused:
        jxl.transcode_jpeg(big, effort=1)
    with pytest.raises(ValueError) as writer_refused:
        writer.write_jpeg(big)
    assert str(writer_refused.value) == str(refused.value)


@pytest.mark.parametrize("dest, then", [("memory", "frame"), ("file", "frame"), ("path", "frame"),
                                        ("path", "abandon")])
def test_writer_refusing_a_jpeg_after_libjxl_read_it_delivers_nothing(tmp_path, dest, then):
    # The refusal comes once the stream is made; nothing of it may reach the
    # destination, and the writer takes a frame as if the call had not been.
    target = tmp_path / "out.jxl"
    target.write_bytes(b"precious")
    sink = {"memory": None, "path": target, "file": io.BytesIO()}[dest]
    img = np.full((16, 24), 90, np.uint8)
    with pytest.raises(KeyError) if then == "abandon" else contextlib.nullcontext():
        with jxl.JxlWriter(sink, effort=1) as writer:
            with pytest.raises(ValueError, match="it is too large for its recompressed size"):
                writer.write_jpeg(_commented(24))
            assert target.read_bytes() == b"precious"
            if dest == "file":
                assert sink.getvalue() == b""
            if then == "abandon":
                raise KeyError("the caller gives up")
            writer.write_frame(img)
            data = writer.close()
    assert [p.name for p in tmp_path.iterdir()] == ["out.jxl"]
    if then == "abandon":
        assert target.read_bytes() == b"precious"
        return
    if dest != "memory":
        data = target.read_bytes() if dest == "path" else sink.getvalue()
    np.testing.assert_array_equal(jxl.decode(data), img)


# ---- ICC chunks and bytes between markers, taken as libjxl's reader takes them ----


def _icc_jpeg(chunks, after_frame: int = 0) -> bytes:
    """A small colour JPEG with APP2 ICC_PROFILE chunks (number, count, payload);
    the last `after_frame` of them follow the frame header."""
    from PIL import ImageCms

    profile = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    part = {"all": profile, "head": profile[:200], "tail": profile[200:], "junk": b"not a profile"}
    buf = io.BytesIO()
    Image.fromarray(np.arange(16 * 24 * 3, dtype=np.uint8).reshape(16, 24, 3)).save(buf, "JPEG")
    jpeg = buf.getvalue()
    segs = [b"\xff\xe2" + struct.pack(">H", 16 + len(part[p])) + b"ICC_PROFILE\0" + bytes([n, of]) + part[p]
            for n, of, p in chunks]
    cut = len(segs) - after_frame
    dht = jpeg.index(b"\xff\xc4")
    return jpeg[:2] + b"".join(segs[:cut]) + jpeg[2:dht] + b"".join(segs[cut:]) + jpeg[dht:]


MISSTORED = r"its APP2 ICC_PROFILE chunks \({}\) are not one profile in chunks 1 to N of N, in order"
INCOMPLETE = r"its ICC profile is incomplete or out of order \(APP2 ICC_PROFILE chunks {}\)"
ICC_CASES = {
    "one-chunk": ([(1, 1, "all")], 0, None),
    "two-chunks": ([(1, 2, "head"), (2, 2, "tail")], 0, None),
    "two-chunks-around-the-frame-header": ([(1, 2, "head"), (2, 2, "tail")], 1, None),
    # Not a profile to libjxl: kept as plain data.
    "chunk-2-of-2-alone": ([(2, 2, "all")], 0, None),
    # Pillow's icc-after-SOF.jpg: its chunk again after the frame header.
    "repeated-after-the-frame-header": ([(1, 1, "all"), (1, 1, "all")], 1, MISSTORED.format("1 of 1, 1 of 1")),
    "a-stray-chunk-first": ([(1, 1, "junk"), (1, 1, "all")], 0, MISSTORED.format("1 of 1, 1 of 1")),
    "another-count-second": ([(1, 1, "all"), (2, 2, "junk")], 0, MISSTORED.format("1 of 1, 2 of 2")),
    "a-chunk-missing": ([(1, 2, "head")], 0, INCOMPLETE.format("1 of 2")),
    "chunks-reversed": ([(2, 2, "tail"), (1, 2, "head")], 0, INCOMPLETE.format("2 of 2, 1 of 2")),
}


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("name", list(ICC_CASES))
def test_icc_chunks_libjxl_cannot_put_back_are_refused_by_name(name, verify):
    # libjxl replaces the chunks it takes for the profile with the profile it
    # stores, which it drops unless the chunks are 1 to N of N in order: such
    # a JPEG would come back from another profile, or not at all (cjxl and
    # djxl alike). The marker walk refuses it, with or without the rebuild.
    chunks, after_frame, refusal = ICC_CASES[name]
    jpeg = _icc_jpeg(chunks, after_frame)
    if refusal is None:
        stream = jxl.transcode_jpeg(jpeg, effort=1, verify=verify)
        assert jxl.reconstruct_jpeg(stream) == jpeg
        return
    with pytest.raises(ValueError, match="^jxl: this JPEG cannot be recompressed losslessly: " + refusal):
        jxl.transcode_jpeg(jpeg, effort=1, verify=verify)
    with pytest.raises(ValueError, match=refusal):
        jxl.JxlWriter(effort=1).write_jpeg(jpeg, verify=verify)
    # Only the rebuild needs the chunks: the pixels are recompressed.
    assert jxl.decode(jxl.transcode_jpeg(jpeg, effort=1, keep_metadata=False)).shape == (16, 24, 3)


@pytest.mark.parametrize("stray", [
    b"\xff\x00\x00\x02",  # Pillow's jpeg_ff00_header.jpg, before its quantisation tables
    b"\xff\xf7\x00\x05",  # a marker libjxl does not know
    b"\xff\xd8",          # a second start-of-image
    b"\x00\x01\x02",
])
def test_bytes_between_markers_that_libjxl_keeps_are_accepted(stray):
    buf = io.BytesIO()
    Image.fromarray(np.arange(16 * 24, dtype=np.uint8).reshape(16, 24)).save(buf, "JPEG")
    jpeg = buf.getvalue()
    dqt = jpeg.index(b"\xff\xdb")
    jpeg = jpeg[:dqt] + stray + jpeg[dqt:]
    for verify in (True, False):
        assert jxl.reconstruct_jpeg(jxl.transcode_jpeg(jpeg, effort=1, verify=verify)) == jpeg


# Pillow's hopper_orientation_2.jpg with a few bytes of its entropy-coded data
# changed (a fuzzer's find): libjxl reads it, stores it, and rebuilds its
# byte 1071 on with other bytes (cjxl and djxl alike). No check short of
# rebuilding foresees that.
REBUILT_OTHERWISE = (Path(__file__).parent / "data" / "entropy-data-rebuilt-otherwise.jpg").read_bytes()


@pytest.mark.parametrize("numthreads", [1, 2])
def test_verification_refuses_a_jpeg_libjxl_would_give_back_otherwise(tmp_path, numthreads):
    refusal = NOT_REBUILT + r" from it \(they differ from byte 1071 of 14178 on"
    dest = tmp_path / "out.jxl"
    dest.write_bytes(b"precious")
    for target in (None, dest):
        with pytest.raises(ValueError, match=refusal):
            jxl.transcode_jpeg(REBUILT_OTHERWISE, target, effort=1, numthreads=numthreads)
    assert dest.read_bytes() == b"precious"
    assert [p.name for p in tmp_path.iterdir()] == ["out.jxl"]
    writer = jxl.JxlWriter(effort=1, numthreads=numthreads)
    with pytest.raises(ValueError, match=refusal):
        writer.write_jpeg(REBUILT_OTHERWISE)
    # The risk verify=False takes: the stream is made, and gives back other bytes.
    stream = jxl.transcode_jpeg(REBUILT_OTHERWISE, effort=1, numthreads=numthreads, verify=False)
    back = jxl.reconstruct_jpeg(stream)
    assert back != REBUILT_OTHERWISE and back[:1071] == REBUILT_OTHERWISE[:1071]
    writer.write_jpeg(REBUILT_OTHERWISE, verify=False)
    assert writer.close() == stream
