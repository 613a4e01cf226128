"""Seeded fuzzing of the decoding entry points (scripts/fuzz.py), short run.

The long run is `python scripts/fuzz.py --iterations 1000000 --big-seed`.
"""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quillmarsh
from quillmarsh.codecs import _jxl, jxl
from quillmarsh.core.errors import JxlError

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "scripts" / "fuzz.py"
# Workers import the same package as this process.
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarsh.__file__)))


def _load():
    spec = importlib.util.spec_from_file_location("qm_fuzz", SCRIPT)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


fuzz = _load()


def run_fuzz(tmp_path, *args, timeout=150):
    env = dict(os.environ, PYTHONPATH=PKG_ROOT)
    proc = subprocess.run(
        [sys.executable, str(SCRIPT), "--json", "--findings", str(tmp_path / "findings"), *args],
        capture_output=True, text=True, timeout=timeout, env=env)
    assert proc.stdout, proc.stderr
    return proc.returncode, json.loads(proc.stdout.splitlines()[-1])


def test_seeded_run_finds_no_crash_hang_or_unexpected_exception(tmp_path):
    rc, summary = run_fuzz(tmp_path, "--iterations", "20000", "--quick", "--seed", "2024")
    problems = summary["crashes"] + summary["hangs"] + summary["exceptions"]
    assert problems == [], json.dumps(problems, indent=1)[:4000]
    assert rc == 0 and summary["executions"] == 20000


def test_result_checks_find_nothing(tmp_path):
    rc, summary = run_fuzz(tmp_path, "--oracles", "--iterations", "3000", "--quick",
                           "--seed", "7")
    problems = summary["crashes"] + summary["hangs"] + summary["exceptions"]
    assert problems == [], json.dumps(problems, indent=1)[:4000]
    assert set(summary["outcomes"]) == set(fuzz.ORACLE_NAMES)


def test_encoder_seeds_cover_every_layout_and_sample_type_and_decode():
    seeds = dict(fuzz.encoder_seeds())
    for lay, c in (("L", 1), ("LA", 2), ("RGB", 3), ("RGBA", 4)):
        for dt in (np.uint8, np.uint16, np.float16, np.float32):
            for mode in ("lossless", "lossy"):
                out = _jxl.decode(seeds[f"{lay}-{np.dtype(dt).name}-{mode}"])
                assert out.dtype == dt
                assert out.shape == ((24, 32) if c == 1 else (24, 32, c))
    assert _jxl.frame_count(seeds["RGBA-anim-lossless"]) == 3
    assert _jxl.thumbnail_bytes(seeds["RGB-prog-lossy"]) is not None


def test_executions_are_reproducible_from_seed_and_index():
    corpus = fuzz.Corpus(quick=True, big=False, side=16)
    first = [fuzz.make_case(7, i, corpus) for i in range(50)]
    assert first == [fuzz.make_case(7, i, corpus) for i in range(50)]
    other = [fuzz.make_case(8, i, corpus) for i in range(50)]
    assert sum(a[1] != b[1] for a, b in zip(first, other)) > 40
    # The mutations really change the streams, most of the time.
    seeds = {d for _, d in corpus.small}
    assert sum(d not in seeds for _, d, _, _ in first) > 40


def test_only_documented_exception_types_pass(monkeypatch):
    def raises(exc):
        def target(data, rng):
            raise exc
        return target

    for exc, passes in ((JxlError("x"), True), (IndexError(), True), (MemoryError(), False),
                        (OverflowError(), False), (SystemError(), False),
                        (KeyError(), False), (KeyboardInterrupt(), False)):
        monkeypatch.setitem(fuzz.TARGETS, "t", raises(exc))
        assert (fuzz.run_one(b"", "t", 0) is None) is passes, exc


@pytest.mark.parametrize("target, exc, passes", [
    ("pillow", OSError("broken"), True),
    ("pillow", EOFError(), True),
    ("pillow", JxlError("x"), False),             # the codec's error escaping Pillow
    ("pillow", ValueError(), False),
    ("numcodecs", ValueError("x"), True),
    ("numcodecs", NotImplementedError(), False),
    ("numcodecs", JxlError("x"), False),
    ("numcodecs", MemoryError(), False),
])
def test_plugin_and_codec_targets_keep_their_own_contract(monkeypatch, target, exc, passes):
    def raises(data, rng):
        raise exc

    monkeypatch.setitem(fuzz.TARGETS, target, raises)
    assert (fuzz.run_one(b"", target, 0) is None) is passes


def test_a_crashing_execution_is_recorded_with_its_input_and_the_run_goes_on(tmp_path):
    rc, summary = run_fuzz(tmp_path, "--iterations", "40", "--quick", "--side", "16",
                           "--inject-crash-at", "17", timeout=300)
    assert rc == 1
    assert [c["index"] for c in summary["crashes"]] == [17]
    assert "exit status" in summary["crashes"][0]["detail"]
    corpus = fuzz.Corpus(quick=True, big=False, side=16)
    saved = (tmp_path / "findings" / "crash-17.jxl").read_bytes()
    assert saved == fuzz.make_case(0, 17, corpus)[1]
    assert summary["hangs"] == [] and summary["exceptions"] == []


def test_the_short_run_drives_every_target_and_the_jpeg_seeds_only_into_transcode():
    corpus = fuzz.Corpus(quick=True, big=False, side=16)
    cases = [fuzz.make_case(2024, i, corpus) for i in range(3000)]
    seen = {target for _, _, target, _ in cases}
    # "stream" needs --big-seed, "jpeg" --jpeg, the result checks --oracles.
    assert seen == set(fuzz.TARGETS) - {"stream", "jpeg"} - set(fuzz.ORACLE_NAMES)
    jpeg_names = {name for name, _ in corpus.jpeg}
    assert all((target == "transcode") == (name in jpeg_names) for name, _, target, _ in cases)


def test_jpeg_seeds_round_trip_and_their_transcodes_carry_boxes():
    jpegs = fuzz.jpeg_seeds(16)
    assert {"jpeg-progressive", "jpeg-grey", "jpeg-exif-xmp"} <= dict(jpegs).keys()
    transcoded = dict(fuzz.transcoded_seeds(jpegs))
    for name, data in jpegs:
        assert data[:2] == b"\xff\xd8"
        assert _jxl.reconstruct_jpeg(transcoded[name + "-jxl"]) == data, name
    with _jxl.JxlReader(transcoded["jpeg-exif-xmp-jxl"]) as r:
        assert r.has_jpeg_reconstruction
        assert r.exif is not None and r.xmp is not None
    with _jxl.JxlReader(transcoded["jpeg-exif-xmp-jxl-nometa"]) as r:
        assert r.exif is None and r.xmp is None


@pytest.mark.parametrize("target, data", [
    ("pillow", b"\xff\x0a" + b"\x00" * 30),  # Pillow's OSError is allowed there only
    ("numcodecs", b"PK\x03\x04 not a chunk"),
    ("transcode", b"\xff\xd8\xff\xe0 broken"),
    ("reconstruct", b"\xff\x0a\xff\x07"),
    ("boxes", b"\x00\x00\x00\x0cJXL \r\n\x87\n\xff\xff\xff\xff"),
])
def test_new_targets_pass_their_documented_failures(target, data):
    assert fuzz.run_one(data, target, 1) is None


def test_a_jpeg_that_does_not_rebuild_is_a_finding(monkeypatch):
    jpeg = dict(fuzz.jpeg_seeds(16))["jpeg-baseline"]
    real = _jxl.reconstruct_jpeg
    monkeypatch.setattr(_jxl, "reconstruct_jpeg", lambda d, **k: real(d, **k)[:-1])
    # param 1 chooses the reconstruction check for some seeds; try a few.
    errs = [fuzz.run_one(jpeg, "transcode", p) for p in range(8)]
    assert any(isinstance(e, AssertionError) for e in errs)
    assert all(e is None or isinstance(e, AssertionError) for e in errs)


def test_jpeg_mode_holds_write_jpeg_to_transcode_jpeg(monkeypatch):
    jpeg = dict(fuzz.jpeg_seeds(16))["jpeg-baseline"]
    assert [fuzz.run_one(jpeg, "jpeg", p) for p in range(8)] == [None] * 8
    real = _jxl.JxlWriter

    class OneByteMore:
        def __init__(self, **kw):
            self.w = real(**kw)

        def write_jpeg(self, data):
            self.w.write_jpeg(data)

        def close(self):
            return self.w.close() + b"\0"

    monkeypatch.setattr(_jxl, "JxlWriter", OneByteMore)
    errs = [fuzz.run_one(jpeg, "jpeg", p) for p in range(8)]
    assert any(isinstance(e, AssertionError) for e in errs)
    assert all(e is None or isinstance(e, AssertionError) for e in errs)


def test_extra_channel_name_of_invalid_utf8_is_replaced():
    # Found by the fuzzer (seed 1912, execution 16911): a name is bytes in the
    # file, and invalid UTF-8 made the whole channel list a RuntimeError.
    arr = np.zeros((8, 8, 4), np.uint8)

    def stream(name):
        return jxl.encode(arr, channels=["color"] * 3 + [{"type": "depth", "name": name}],
                          lossless=True, effort=1)

    def bits(data):
        return [(byte >> i) & 1 for byte in data for i in range(8)]

    a, b = bits(stream("A")), bits(stream("B"))
    first = next(i for i in range(len(a)) if a[i] != b[i])  # the name's lowest bit
    bad = a[:first] + [1] * 8 + a[first + 8:]  # the name becomes b"\xff"
    data = bytes(sum(bad[i + k] << k for k in range(8)) for i in range(0, len(bad), 8))
    with jxl.JxlReader(data, extra_channels=True) as r:
        assert r.channels[-1]["name"] == "\ufffd" and r.channels[-1]["type"] == "depth"
        np.testing.assert_array_equal(r.read(), arr)



@pytest.fixture(scope="module")
def oracle_corpus():
    return fuzz.Corpus(True, False, 16)


def _flip_one_sample(real, target):
    def decode(data, **kw):
        a = real(data, **kw)
        if target != "out" or "out" in kw:  # "out" compares with and without out=
            a.reshape(-1).view(np.uint8)[0] ^= 1
        return a
    return decode


def _checked(target, data, param):
    import random

    try:
        return fuzz.TARGETS[target](data, random.Random(param)) is not None
    except Exception:  # noqa: BLE001 - a finding or a refusal: not a passing case
        return False


@pytest.mark.parametrize("target", ["lossless", "frames", "out"])
def test_oracles_report_a_changed_sample(monkeypatch, oracle_corpus, target):
    monkeypatch.setattr(fuzz, "ORACLES", True)
    monkeypatch.setattr(fuzz, "CORPUS", oracle_corpus)
    # The first case of this target that the codec passes with a result to
    # compare (oracles run before every fault they look for is mended).
    for i in range(400):
        _, data, t, param = fuzz.make_case(0, i, oracle_corpus)
        if t == target and _checked(t, data, param):
            break
    else:
        pytest.fail(f"no passing {target} case among 400")
    monkeypatch.setattr(_jxl, "decode", _flip_one_sample(_jxl.decode, target))
    assert isinstance(fuzz.run_one(data, target, param), AssertionError)


def test_lossy_oracle_reports_an_accepted_non_finite_sample(monkeypatch):
    monkeypatch.setattr(_jxl, "encode", lambda a, **kw: b"")
    assert isinstance(fuzz.run_one(b"", "lossy_nonfinite", 3), AssertionError)
