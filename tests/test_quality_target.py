"""Encoding to a target score or size: the search's rules on synthetic
curves, then the writer, encode, the Pillow plugin and the command line on
real photographs."""

from __future__ import annotations

import io
import math

import numpy as np
import pytest

from quillmarsh.codecs import jxl
from quillmarsh.codecs._quality_target import (
    MAX_DISTANCE,
    Trial,
    search_score,
    search_size,
)

# ---- the search on synthetic monotone curves ---------------------------------


def _counting(curve):
    calls = []

    def measure(d):
        calls.append(d)
        score, size = curve(d)
        return Trial(d, size, score)

    return measure, calls


SCORE_CURVES = {
    # SSIMULACRA 2 against distance, as photographs roughly go, and harder ones.
    "typical": lambda d: 100.0 if d == 0 else 88.0 - 11.0 * math.log(d),
    "steep": lambda d: 100.0 if d == 0 else 75.0 - 25.0 * math.log(d),
    "flat": lambda d: 100.0 if d == 0 else 95.0 - 4.0 * math.log(d) - 0.3 * math.log(d) ** 2,
    "kinked": lambda d: 100.0 if d == 0 else (90.0 - 6.0 * math.log(d) if d < 1.5
                                              else 87.6 - 20.0 * math.log(d / 1.5)),
}


@pytest.mark.parametrize("curve", SCORE_CURVES)
@pytest.mark.parametrize("target", [55.0, 70.0, 80.0, 90.0])
def test_score_search_stops_in_the_band_or_gives_the_largest_passing_distance(curve, target):
    f = SCORE_CURVES[curve]
    measure, calls = _counting(lambda d: (f(d), 1000))
    best, count = search_score(measure, target)
    assert count == len(calls) <= 6
    assert best.score >= target
    lossy = [d for d in calls if d > 0]
    # The chosen distance is the largest that passed among those tried...
    assert best.distance == max(d for d in calls if f(d) >= target)
    # ...and on these smooth curves the search ends in [S, S + 0.5] (or at
    # the largest distance, when even that scores above the band).
    assert best.score <= target + 0.5 or best.distance == MAX_DISTANCE, (
        calls, [f(d) for d in lossy])


def test_score_search_falls_back_to_lossless_when_no_distance_reaches_the_target():
    measure, calls = _counting(lambda d: (100.0 if d == 0 else 60.0 - math.log(d), 10))
    best, count = search_score(measure, 99.0)
    assert (best.distance, best.score) == (0.0, 100.0)
    assert count == len(calls) <= 6 and calls[-1] == 0.0
    measure, calls = _counting(lambda d: (100.0, 10))
    assert search_score(measure, 100.0) == (Trial(0.0, 10, 100.0), 1) and calls == [0.0]


def test_score_search_at_a_low_target_stops_at_the_largest_distance():
    measure, calls = _counting(lambda d: (95.0 - math.log(d), 10))
    best, count = search_score(measure, 5.0)
    assert best.distance == MAX_DISTANCE and count == len(calls) <= 6


SIZE_CURVES = {
    "photo": lambda d: int(200_000 * d ** -0.9) + 300,
    "steep": lambda d: int(900_000 * d ** -1.6) + 300,
    "flat": lambda d: int(40_000 * d ** -0.4) + 2_000,
}


@pytest.mark.parametrize("curve", SIZE_CURVES)
@pytest.mark.parametrize("limit", [3_000, 20_000, 150_000, 1_000_000])
def test_size_search_never_goes_over_the_limit(curve, limit):
    f = SIZE_CURVES[curve]
    lossless = f(0.05) * 3
    measure, calls = _counting(lambda d: (None, lossless if d == 0 else f(d)))
    if f(MAX_DISTANCE) > limit:
        with pytest.raises(ValueError, match=f"target_size {limit} is too small"):
            search_size(measure, limit)
        return
    best, count = search_size(measure, limit)
    assert best.size <= limit and count == len(calls) <= 7
    # The best quality among what was tried that fits.
    assert best.distance == min(d for d in calls if (lossless if d == 0 else f(d)) <= limit)
    if f(0.05) > limit:
        assert best.size >= 0.95 * limit, calls


# ---- real frames -----------------------------------------------------------


@pytest.fixture(scope="module")
def photo(pillow_images):
    from PIL import Image

    with Image.open(pillow_images / "flower.jpg") as im:
        return np.asarray(im.convert("RGB"))


@pytest.mark.parametrize("limit", [4_000, 12_000, 30_000])
def test_target_size_fits_and_reports_what_it_reached(photo, limit):
    w = jxl.JxlWriter(target_size=limit, effort=3)
    assert w.target_result is None
    w.write_frame(photo)
    data = w.close()
    r = w.target_result
    assert len(data) == r.size <= limit and r.size >= 0.9 * limit
    assert r.score is None and 1 <= r.encodes <= 7 and r.distance > 0
    assert jxl.decode(data).shape == photo.shape
    # The one-shot function gives the same stream.
    assert jxl.encode(photo, target_size=limit, effort=3) == data


def test_target_score_reaches_the_score_it_reports(photo):
    from quillmarsh.metrics import ssimulacra2

    w = jxl.JxlWriter(target_score=80, effort=3)
    w.write_frame(photo)
    data = w.close()
    r = w.target_result
    assert 80 <= r.score <= 81 and r.size == len(data) and r.encodes <= 6
    assert ssimulacra2(photo, jxl.decode(data)) == pytest.approx(r.score, abs=0.01)
    # The distance is the stream's: an encode at it gives the same bytes.
    assert jxl.encode(photo, distance=r.distance, effort=3) == data


@pytest.mark.parametrize("kind", ["grey", "rgba", "uint16", "float32", "icc"])
def test_score_of_other_layouts_is_the_colour_channels_own(photo, pillow_images, kind):
    from PIL import Image

    from quillmarsh.metrics import ssimulacra2

    rgb = photo[:160, :200]
    image, colour = {
        "grey": (rgb[:, :, 1].copy(), lambda a: a),
        "rgba": (np.dstack([rgb, np.arange(200, dtype=np.uint8)[None].repeat(160, 0)]),
                 lambda a: a[:, :, :3]),
        "uint16": (rgb.astype(np.uint16) * 257, lambda a: a),
        "float32": ((rgb / 255.0).astype(np.float32) ** 2.2, lambda a: a),
        "icc": (rgb, lambda a: a),
    }[kind]
    options, back = {}, {}
    if kind == "icc":  # a lossy stream decodes to linear sRGB unless asked for its profile
        with Image.open(pillow_images / "icc_profile_big.jpg") as im:
            options["icc_profile"] = back["output_color"] = im.info["icc_profile"]
    w = jxl.JxlWriter(target_score=85, effort=3, **options)
    w.write_frame(image)
    data = w.close()
    r = w.target_result
    decoded = jxl.decode(data, **back)
    assert decoded.shape == image.shape and decoded.dtype == image.dtype
    # The writer's default colour: sRGB for 8-bit samples, linear otherwise.
    linear = image.dtype != np.uint8
    assert 85 <= r.score < 88 and r.distance > 0.3
    assert ssimulacra2(colour(image), colour(decoded), linear=linear) == pytest.approx(r.score,
                                                                                    abs=0.01)
    if kind == "rgba":  # alpha stays exact
        assert np.array_equal(decoded[:, :, 3], image[:, :, 3])


@pytest.mark.parametrize("options, message", [
    (dict(target_score=101), "target_score must be a SSIMULACRA 2 score from 0 to 100 .got 101"),
    (dict(target_score=-0.5), "from 0 to 100 .got -0.5"),
    (dict(target_score=float("nan")), "from 0 to 100 .got nan"),
    (dict(target_size=0), "target_size must be a positive number of bytes .got 0"),
    (dict(target_size=10), "target_size 10 is too small for this image"),
    (dict(target_score=80, target_size=1000), "pass target_score or target_size, not both"),
    (dict(target_score=80, quality=90), "pass no quality, distance, lossless or max_error"),
    (dict(target_size=1000, lossless=True), "pass no quality, distance, lossless or max_error"),
    (dict(target_size=1000, max_error=2), "pass no quality, distance, lossless or max_error"),
    (dict(target_score=80, animation=True), "apply to still images"),
    (dict(target_score=80, small=True), "target_score needs a frame of at least 8x8 pixels"),
])
def test_refusals_write_nothing(tmp_path, photo, options, message):
    options = dict(options)
    image = photo[:7, :300] if options.pop("small", False) else photo
    image = image[None] if options.get("animation") else image
    dest = tmp_path / "out.jxl"
    with pytest.raises(ValueError, match=message):
        jxl.encode(image, dest=dest, **options)
    assert list(tmp_path.iterdir()) == []
    dest.write_bytes(b"old")
    with pytest.raises(ValueError, match=message):
        jxl.encode(image, dest=str(dest), **options)
    assert dest.read_bytes() == b"old"


def test_a_targeted_writer_takes_one_frame_and_no_jpeg(photo, pillow_images):
    w = jxl.JxlWriter(target_size=20_000, effort=2)
    with pytest.raises(ValueError, match="recompresses losslessly"):
        w.write_jpeg(pillow_images / "flower.jpg")
    w.write_frame(photo)
    with pytest.raises(ValueError, match="takes one frame"):
        w.write_frame(photo)
    assert len(w.close()) <= 20_000


def test_large_frames_are_searched_on_a_sample_of_tiles_first(photo, monkeypatch):
    from quillmarsh.codecs import _quality_target as qt

    monkeypatch.setattr(qt, "LARGE_PIXELS", 100_000)
    monkeypatch.setattr(qt, "SAMPLE_TILE", 64)
    sample = qt.tile_sample(photo)
    # 16 tiles of the frame itself, at full size, spread to its corners.
    assert sample.shape == (4 * 64, 4 * 64, 3)
    assert np.array_equal(sample[:64, :64], photo[:64, :64])
    assert np.array_equal(sample[-64:, -64:], photo[-64:, -64:])
    assert np.array_equal(sample[64:128, 64:128], photo[98:162, 138:202])
    for target in (dict(target_size=25_000), dict(target_score=75)):
        w = jxl.JxlWriter(effort=2, **target)
        w.write_frame(photo)
        data = w.close()
        r = w.target_result
        assert len(data) == r.size <= 25_000 or r.score >= 75
        assert r.sample_encodes >= 1 and jxl.decode(data).shape == photo.shape


# ---- the Pillow plugin and the command line ---------------------------------


def test_pillow_plugin_saves_to_a_target(photo):
    from PIL import Image

    import quillmarsh.pillow  # noqa: F401  (registers the plugin)

    im = Image.fromarray(photo)
    buf = io.BytesIO()
    im.save(buf, "JXL", target_size=15_000, effort=3)
    assert 0.9 * 15_000 <= len(buf.getvalue()) == im.info["target_result"].size <= 15_000
    im.save(io.BytesIO(), "JXL", quality=80)  # an earlier save's result does not stay
    assert "target_result" not in im.info
    with pytest.raises(ValueError, match="pass no quality"):
        Image.fromarray(photo).save(io.BytesIO(), "JXL", target_size=15_000, quality=80)


def test_command_line_targets(tmp_path, pillow_images):
    from _cli import cli, one_error_line

    src = pillow_images / "flower.jpg"  # a JPEG: a target encodes its pixels
    r = cli("encode", src, "small.jxl", "--target-size", "12k", "--effort", "3", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    size = (tmp_path / "small.jxl").stat().st_size
    assert 0.9 * 12_000 <= size <= 12_000 and "distance" in r.stdout and "trial encode" in r.stdout
    r = cli("encode", src, "good.jxl", "--target-score", "70", "--effort", "3", cwd=tmp_path)
    assert r.returncode == 0 and "SSIMULACRA 2 7" in r.stdout, r.stdout + r.stderr
    for args, status, message in [
        (["--target-score", "120"], 2, "target score must be in 0..100, got 120"),
        (["--target-size", "12q"], 2, "not a size: '12q'"),
        (["--target-size", "12k", "--quality", "80"], 2, "not allowed with argument"),
        (["--target-size", "100"], 1, "target_size 100 is too small for this image"),
    ]:
        r = cli("encode", src, "bad.jxl", *args, cwd=tmp_path)
        assert r.returncode == status and message in r.stderr, r.stderr
        if status == 1:
            one_error_line(r)
    assert not (tmp_path / "bad.jxl").exists()
