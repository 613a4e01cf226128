"""jxl.to_dask: lazy Dask arrays over the frames of a file or over many files."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

from conftest import conformance_file  # noqa: E402
from quillmarsh.codecs import jxl  # noqa: E402


@pytest.fixture
def clip(rng, tmp_path):
    frames = rng.integers(0, 255, (6, 50, 70, 3), dtype=np.uint8)
    path = tmp_path / "clip.jxl"
    jxl.encode(frames, animation=True, dest=str(path))
    return path, frames


@pytest.fixture
def stills(rng, tmp_path):
    images = rng.integers(0, 65535, (4, 33, 47), dtype=np.uint16)
    for i, im in enumerate(images):
        jxl.encode(im, dest=str(tmp_path / f"scan_{i:02d}.jxl"))
    return tmp_path, images


def test_frames_of_one_file(clip):
    path, frames = clip
    arr = jxl.to_dask(path)
    assert arr.shape == frames.shape and arr.dtype == np.uint8
    assert arr.chunks[0] == (1,) * 6                 # one chunk per frame
    assert np.array_equal(arr[4].compute(), frames[4])
    assert np.array_equal(arr.compute(), frames)


def test_still_image_is_one_frame(rng, tmp_path):
    img = rng.integers(0, 255, (20, 30, 4), dtype=np.uint8)
    data = jxl.encode(img)
    (tmp_path / "one.jxl").write_bytes(data)
    for src in (tmp_path / "one.jxl", str(tmp_path / "one.jxl"), data):
        arr = jxl.to_dask(src)
        assert arr.shape == (1, 20, 30, 4)
        assert np.array_equal(arr.compute()[0], img)


@pytest.mark.parametrize("as_glob", [True, False])
def test_many_files(stills, as_glob):
    folder, images = stills
    src = str(folder / "scan_*.jxl") if as_glob else sorted(folder.glob("scan_*.jxl"))
    arr = jxl.to_dask(src)
    assert arr.shape == (4, 33, 47) and arr.dtype == np.uint16
    assert arr.chunks[0] == (1, 1, 1, 1)
    assert np.array_equal(arr.compute(), images)
    assert float(arr.mean().compute()) == pytest.approx(images.mean())


@pytest.mark.parametrize("downsample", [2, 8])
@pytest.mark.parametrize("subsample", [None, "top-left"])
def test_downsample_is_passed_through(clip, downsample, subsample):
    path, frames = clip
    kw = {} if subsample is None else {"subsample": subsample}
    arr = jxl.to_dask(path, downsample=downsample, **kw)
    shape = (6, -(-50 // downsample), -(-70 // downsample), 3)
    assert arr.shape == shape
    if subsample is None:  # previews default to the centre of each block
        o = downsample // 2
        kept = frames[:, o::downsample, o::downsample]
        pad = [(0, 0), (0, shape[1] - kept.shape[1]), (0, shape[2] - kept.shape[2]), (0, 0)]
        expect = np.pad(kept, pad, mode="edge")
    else:
        expect = frames[:, ::downsample, ::downsample]
    assert np.array_equal(arr.compute(), expect)


def test_progressive_downsample_keeps_announced_shape():
    path = conformance_file("progressive")
    arr = jxl.to_dask(path, downsample=8)
    full = jxl.JxlReader(str(path)).frame_shape
    expect = (1, -(-full[0] // 8), -(-full[1] // 8)) + tuple(full[2:])
    assert arr.shape == expect
    assert arr.compute().shape == expect


def test_graph_is_built_from_headers_only(rng, tmp_path):
    # The pixels of this file are cut away: building the array must still
    # work (only the header is read), computing it must fail.
    data = jxl.encode(rng.integers(0, 255, (64, 64), dtype=np.uint8))
    path = tmp_path / "cut.jxl"
    path.write_bytes(data[: len(data) // 2])
    arr = jxl.to_dask(path)
    assert arr.shape == (1, 64, 64)
    with pytest.raises(jxl.JxlError, match="cut.jxl: .*truncated"):  # names the file
        arr.compute()


def test_mixed_files_are_refused(stills, rng):
    folder, _ = stills
    jxl.encode(rng.integers(0, 255, (33, 47), dtype=np.uint8), dest=str(folder / "scan_99.jxl"))
    with pytest.raises(ValueError, match="all files need one shape and type"):
        jxl.to_dask(str(folder / "scan_*.jxl"))


@pytest.mark.parametrize(
    "src, kwargs, error, message",
    [
        ("nothing_here_*.jxl", {}, FileNotFoundError, "no file matches"),
        ([], {}, ValueError, "empty list"),
        ("clip", {"downsample": 3}, ValueError, "downsample must be 1, 2, 4 or 8"),
    ],
)
def test_bad_arguments(clip, tmp_path, src, kwargs, error, message):
    if src == "clip":
        src = clip[0]
    elif isinstance(src, str):
        src = str(tmp_path / src)
    with pytest.raises(error, match=message):
        jxl.to_dask(src, **kwargs)


@pytest.mark.parametrize("bad, error, message", [
    (b"\x89PNG\r\n\x1a\n" + bytes(40), ValueError, "scan_50.jxl: jxl: not a JPEG XL stream"),
    (b"\xff\x0a", jxl.JxlError, "scan_50.jxl: .*truncated"),
])
def test_a_bad_file_in_a_list_is_named(stills, bad, error, message):
    folder, _ = stills
    (folder / "scan_50.jxl").write_bytes(bad)
    with pytest.raises(error, match=message):
        jxl.to_dask(str(folder / "scan_*.jxl"))


def test_animation_in_a_file_list_is_refused(clip, stills):
    folder, _ = stills
    with pytest.raises(ValueError, match="is an animation"):
        jxl.to_dask([folder / "scan_00.jxl", clip[0]])


@pytest.mark.slow
def test_computes_on_a_local_cluster(clip):
    distributed = pytest.importorskip("distributed")
    path, frames = clip
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            result = client.compute(jxl.to_dask(path).sum(axis=0)).result()
    assert np.array_equal(result, frames.sum(axis=0, dtype=np.uint64))


@pytest.mark.parametrize("ratio", [1, 2, 4, 8])
def test_coarser_progression_points_are_sampled_to_the_announced_shape(ratio):
    # downsample=8 may stop at a progression point of ratio 2 or 4 (or none);
    # each chunk must still have the 1:8 shape announced from the header.
    from quillmarsh.integrations.header import fit_to_shape, reduced_shape

    full = np.arange(100 * 50 * 3, dtype=np.uint16).reshape(100, 50, 3)
    got = full[::ratio, ::ratio]
    want = reduced_shape(full.shape, 8)
    assert want == (13, 7, 3)
    assert np.array_equal(fit_to_shape(got, want), full[::8, ::8])
    with pytest.raises(ValueError, match="announced"):
        fit_to_shape(full[::3, ::3], want)
