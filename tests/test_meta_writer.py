"""The writer's metadata: EXIF/XMP/JUMBF boxes, frame durations, names and loops."""

import struct

import numpy as np
import pytest

from quillmarsh.codecs import _jxl

EXIF = (b"II*\x00" + struct.pack("<I", 8) + struct.pack("<H", 1)
        + struct.pack("<HHIHH", 0x0112, 3, 1, 1, 0) + struct.pack("<I", 0))
XMP = '<x:xmpmeta xmlns:x="adobe:ns:meta/">caf\u00e9</x:xmpmeta>'
JUMBF = b"\x00\x00\x00\x10jumdquillmarsh"


@pytest.fixture(scope="module")
def stack():
    return np.random.default_rng(3).integers(0, 256, (3, 12, 16, 3), dtype=np.uint8)


@pytest.mark.parametrize("exif", [EXIF, b"Exif\x00\x00" + EXIF, bytearray(EXIF)])
@pytest.mark.parametrize("compress", [False, True])
def test_boxes_round_trip_and_use_the_container(exif, compress):
    img = np.zeros((8, 8, 3), np.uint8)
    data = _jxl.encode(img, exif=exif, xmp=XMP, jumbf=JUMBF, compress_boxes=compress)
    assert data.startswith(b"\x00\x00\x00\x0cJXL ")
    r = _jxl.JxlReader(data)
    assert (r.exif, r.xmp, r.jumbf) == (EXIF, XMP.encode(), JUMBF)
    flags = {t: c for t, _, c in r.boxes if t in ("Exif", "xml ", "jumb")}
    assert flags == dict.fromkeys(("Exif", "xml ", "jumb"), compress)
    assert (r.read() == img).all()


def test_without_boxes_a_still_stays_a_bare_codestream():
    assert _jxl.encode(np.zeros((8, 8), np.uint8)).startswith(b"\xff\x0a")


@pytest.mark.parametrize("duration, want", [
    (None, [0.1, 0.1, 0.1]),
    (0.04, [0.04, 0.04, 0.04]),
    ([0.05, 0.2, 0.5], [0.05, 0.2, 0.5]),
    ((0, 1.001, 7), [0.0, 1.001, 7.0]),
    (np.array([0.016, 0.017, 0.5]), [0.016, 0.017, 0.5]),
])
@pytest.mark.parametrize("loops", [0, 1, 3])
def test_durations_and_loops_round_trip_exactly(stack, duration, want, loops):
    data = _jxl.encode(stack, animation=True, duration=duration, loops=loops)
    info = _jxl.frames_info(data, coalesce=False)  # a zero-duration frame is a layer
    assert [f["duration"] for f in info] == want  # milliseconds are exact
    assert [f["duration_ticks"] for f in info] == [round(d * 1000) for d in want]
    basic = _jxl.JxlReader(data).basic_info
    assert (basic["tps"], basic["num_loops"]) == (1000.0, loops)
    shown = _jxl.frames_info(data)
    assert [f["duration"] for f in shown] == [d for d in want if d]
    if 0.0 not in want:
        assert (_jxl.decode(data) == stack).all()


# A positive duration is at least one tick, so every frame given is a frame
# shown (0 ticks would make it a layer of the next one).
@pytest.mark.parametrize("duration, ticks", [
    ([0.0004, 0.1, 0.1], [1, 100, 100]), (1e-9, [1, 1, 1]), ([0.0015, 0.0005, 1e-300], [2, 1, 1]),
])
def test_positive_durations_below_half_a_tick_keep_their_frame(stack, duration, ticks):
    data = _jxl.encode(stack, animation=True, duration=duration)
    assert [f["duration_ticks"] for f in _jxl.frames_info(data)] == ticks
    assert (_jxl.decode(data) == stack).all()
    w = _jxl.JxlWriter(animation=True)
    for i, frame in enumerate(stack):
        w.write_frame(frame, is_last=i == 2, duration=0.0001)
    assert _jxl.frame_count(w.close()) == 3


def test_write_frame_duration_and_name(stack):
    w = _jxl.JxlWriter(animation=True, duration=[0.3, 0.3, 0.3])
    names = ["first", "", "dritte \u00fcberschrift"]
    for i, frame in enumerate(stack):
        w.write_frame(frame, is_last=i == 2, duration=0.125 if i == 1 else None, name=names[i])
    info = _jxl.frames_info(w.close())
    assert [(f["name"], f["duration"]) for f in info] == [
        ("first", 0.3), ("", 0.125), ("dritte \u00fcberschrift", 0.3)]


def test_still_image_may_be_named_but_not_timed():
    w = _jxl.JxlWriter()
    with pytest.raises(ValueError, match="duration needs animation=True"):
        w.write_frame(np.zeros((4, 4), np.uint8), duration=0.5)
    w = _jxl.JxlWriter()
    w.write_frame(np.zeros((4, 4), np.uint8), name="n" * 1071)
    assert _jxl.frames_info(w.close())[0]["name"] == "n" * 1071


@pytest.mark.parametrize("kwargs, exc, msg", [
    ({"duration": -0.1}, ValueError, "finite number of seconds >= 0"),
    ({"duration": float("nan")}, ValueError, "finite number of seconds >= 0"),
    ({"duration": float("inf")}, ValueError, "finite number of seconds >= 0"),
    ({"duration": [0.1, -1, 0.1]}, ValueError, r"duration\[1\] must be a finite"),
    ({"duration": 4294968.0}, ValueError, "too long for the time base of 1/1000 s"),
    ({"duration": [0.1, 0.1]}, ValueError, "duration has 2 entries for 3 frames"),
    ({"duration": "0.1"}, TypeError, "duration must be a number of seconds"),
    ({"duration": [0.1, None, 0.1]}, TypeError, r"duration\[1\] must be a number"),
    ({"loops": -1}, ValueError, "loops must be 0 .forever. to 4294967295"),
    ({"loops": 2**32}, ValueError, "loops must be 0"),
    ({"loops": 1.5}, TypeError, "loops must be an int"),
    ({"exif": b"Exif\x00\x00GIF89a...."}, ValueError, "exif must be TIFF-structured"),
    ({"exif": b"II*"}, ValueError, "exif must be TIFF-structured"),
    ({"exif": "II*\x00"}, TypeError, "exif must be bytes"),
    ({"xmp": b""}, ValueError, "xmp is empty"),
    ({"jumbf": "text"}, TypeError, "jumbf must be bytes"),
    ({"timecodes": [1, 2]}, ValueError, "timecodes has 2 entries for 3 frames"),
    ({"timecodes": [1, -1, 2]}, ValueError, r"timecodes\[1\] must fit 32 bits"),
    ({"timecodes": [1, 2, 2**32]}, ValueError, r"timecodes\[2\] must fit 32 bits"),
    ({"timecodes": [1, True, 2]}, TypeError, r"timecodes\[1\] must be an int"),
    ({"timecodes": 7}, TypeError, "timecodes must be a sequence of ints"),
])
def test_bad_metadata_is_refused_before_anything_is_written(tmp_path, stack, kwargs, exc, msg):
    dest = tmp_path / "out.jxl"
    with pytest.raises(exc, match=msg):
        _jxl.encode(stack, animation=True, dest=dest, **kwargs)
    assert not dest.exists()
    dest.write_bytes(b"keep")
    with pytest.raises(exc, match=msg):
        _jxl.encode(stack, animation=True, dest=dest, **kwargs)
    assert dest.read_bytes() == b"keep"


def test_a_box_above_64_mib_is_refused():
    with pytest.raises(ValueError, match="jumbf of 67108865 bytes is larger than the 64 MiB"):
        _jxl.JxlWriter(jumbf=bytes((64 << 20) + 1))


@pytest.mark.parametrize("kwargs, msg", [
    ({"duration": 0.5}, "duration needs animation=True"),
    ({"loops": 2}, "loops needs animation=True"),
    ({"timecodes": [0]}, "timecodes needs animation=True"),
])
def test_timing_on_a_still_writer_is_refused(kwargs, msg):
    with pytest.raises(ValueError, match=msg):
        _jxl.encode(np.zeros((4, 4), np.uint8), **kwargs)


@pytest.mark.parametrize("name, exc, msg", [
    ("x" * 1072, ValueError, "1072 bytes in UTF-8; a frame name holds at most 1071"),
    ("\u00e9" * 536, ValueError, "1072 bytes in UTF-8"),
    ("a\x00b", ValueError, "must not contain NUL"),
    (b"bytes", TypeError, "name must be str"),
])
def test_bad_frame_names(name, exc, msg):
    w = _jxl.JxlWriter(animation=True)
    with pytest.raises(exc, match=msg):
        w.write_frame(np.zeros((4, 4), np.uint8), name=name)


def test_per_frame_durations_run_out(stack):
    w = _jxl.JxlWriter(animation=True, duration=[0.1, 0.2])
    w.write_frame(stack[0])
    w.write_frame(stack[1])
    with pytest.raises(ValueError, match="duration has 2 entries, too few for frame 3"):
        w.write_frame(stack[2], is_last=True)


def test_a_jpeg_keeps_its_own_metadata_only(tmp_path):
    import io
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(np.zeros((8, 8, 3), np.uint8)).save(buf, "JPEG")
    w = _jxl.JxlWriter(xmp=b"<x/>")
    with pytest.raises(ValueError, match="write_jpeg.. keeps the JPEG's own EXIF"):
        w.write_jpeg(buf.getvalue())


def test_timecodes_round_trip_from_the_writer_or_per_frame(stack):
    codes = [0x01020304, 0x01020305, 0xFFFFFFFF]
    data = _jxl.encode(stack, animation=True, timecodes=codes)
    assert _jxl.JxlReader(data).basic_info["have_timecodes"]
    assert [f["timecode"] for f in _jxl.frames_info(data)] == codes
    assert (_jxl.decode(data) == stack).all()
    # per frame: a timecode on the first frame makes every frame carry one
    w = _jxl.JxlWriter(animation=True, timecodes=codes)
    w.write_frame(stack[0], timecode=7)
    w.write_frame(stack[1])
    w.write_frame(stack[2], is_last=True)
    assert [f["timecode"] for f in _jxl.frames_info(w.close())] == [7, codes[1], codes[2]]
    plain = _jxl.encode(stack, animation=True)
    assert not _jxl.JxlReader(plain).basic_info["have_timecodes"]
    assert [f["timecode"] for f in _jxl.frames_info(plain)] == [None] * 3


@pytest.mark.parametrize("first, second, msg", [
    (5, None, "frame 2 needs a timecode"),
    (None, 5, "timecode for frame 2, but the first frame had none"),
])
def test_timecodes_on_some_frames_only_are_refused(stack, first, second, msg):
    w = _jxl.JxlWriter(animation=True)
    w.write_frame(stack[0], timecode=first)
    with pytest.raises(ValueError, match=msg):
        w.write_frame(stack[1], timecode=second)
    w.write_frame(stack[1], timecode=first and 6, is_last=True)  # the writer is still usable
    assert [f["timecode"] for f in _jxl.frames_info(w.close())] == [first, first and 6]
