"""URLs and fsspec files as inputs, against a real nginx on 127.0.0.1: every
entry point gives what the local file gives, only the bytes a job needs are
fetched (from nginx's access log), and a failing server gives one clear
error."""

from __future__ import annotations

import re
import shutil
import socket
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

from _cli import cli, one_error_line
from _nginx import Nginx, nginx_binary
from conftest import conformance_file
from quillmarsh.codecs import jxl
from quillmarsh.core.remote import RemoteError, open_remote

FIRST_RANGE = 16384


def _animation() -> bytes:
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:384, 0:384]
    base = np.stack([x % 256, y % 256, (x * y) % 256], -1).astype(np.uint8)
    frames = np.stack([np.roll(base, 9 * i, axis=1) ^ rng.integers(0, 24, base.shape, np.uint8)
                       for i in range(12)])
    return jxl.encode(frames, distance=2.0, animation=True, duration=0.05)


def _progressive(frames: int = 1, side: int = 0, progressive: bool = True) -> bytes:
    y, x = np.mgrid[0:side or 640, 0:side or 768]
    img = np.stack([(x * y) % 251, (x ^ y) % 256, (3 * x + y) % 256], -1).astype(np.uint8)
    if frames == 1:
        return jxl.encode(img, distance=1.5, progressive=progressive)
    stack = np.stack([np.roll(img, 40 * i, axis=0) for i in range(frames)])
    return jxl.encode(stack, distance=1.5, progressive=True, animation=True, duration=0.1)


def _with_boxes() -> bytes:
    y, x = np.mgrid[0:300, 0:200]
    img = np.stack([x % 256, y % 256, (x + y) % 256], -1).astype(np.uint8)
    exif = b"MM\x00*\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00"
    return jxl.encode(img, distance=1.0, exif=exif, xmp=b"<x:xmpmeta xmlns:x='adobe:ns:meta/'/>")


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("www")
    shutil.copy(conformance_file("progressive"), root / "conf.jxl")
    (root / "prog.jxl").write_bytes(_progressive())
    (root / "proganim.jxl").write_bytes(_progressive(frames=2))
    # Above 2048 pixels a side: libjxl streams a file that is not
    # progressive group by group, so its DC sections are spread through the
    # file; a progressive one is buffered whole, its DC at the front.
    (root / "chunked.jxl").write_bytes(_progressive(side=2112, progressive=False))
    (root / "bigprog.jxl").write_bytes(_progressive(side=2112))
    (root / "anim.jxl").write_bytes(_animation())
    (root / "boxes.jxl").write_bytes(_with_boxes())
    (root / "empty.jxl").write_bytes(b"")
    return root


@pytest.fixture(scope="module")
def nginx(files):
    binary = nginx_binary()
    if binary is None:
        pytest.skip("nginx is not installed (scripts/setup installs Debian's nginx)")
    server = Nginx(files, binary)
    yield server
    server.stop()


@pytest.fixture
def log(nginx):
    nginx.requests()  # what earlier tests left
    return nginx


def _contiguous_bytes(requests) -> int:
    """Bytes sent over `requests`, checking that each range starts where the
    previous one ended (never a byte twice)."""
    pos = 0
    for r in requests:
        assert r.status == 206, requests
        start, stop = map(int, re.fullmatch(r"bytes=(\d+)-(\d+)", r.range).groups())
        assert start == pos and r.sent <= stop + 1 - start, requests
        pos += r.sent
    return pos


def _reader_facts(src):
    with jxl.JxlReader(src) as r:
        return [r.basic_info, r.color, r.icc_profile, r.channels, r.frame_shape, r.dtype]


def _boxes(src):
    with jxl.JxlReader(src) as r:
        return [r.exif, r.xmp]


def _frames(src):
    with jxl.JxlReader(src, streaming=True) as r:
        return list(r.iter_frames())


CALLS = {
    "decode": jxl.decode,
    "decode ds8": lambda s: jxl.decode(s, downsample=8),
    "decode index": lambda s: jxl.decode(s, index=4),
    "reader header": _reader_facts,
    "reader boxes": _boxes,
    "iter_frames": _frames,
    "frame_count": jxl.frame_count,
    "frames_info": jxl.frames_info,
    "thumbnail_bytes": jxl.thumbnail_bytes,
    "preview_bytes_needed": jxl.preview_bytes_needed,
}
CASES = [(c, "prog.jxl") for c in CALLS if c != "decode index"] + [
    (c, "conf.jxl") for c in ("decode ds8", "reader header", "thumbnail_bytes", "frames_info")] + [
    ("decode", "anim.jxl"), ("decode index", "anim.jxl"), ("decode ds8", "proganim.jxl"),
    ("frame_count", "anim.jxl"),
    ("frames_info", "anim.jxl"), ("reader boxes", "boxes.jxl"), ("decode", "boxes.jxl"),
]


def _same(a, b) -> None:
    if isinstance(a, list):
        assert isinstance(b, list) and len(a) == len(b)
        for x, y in zip(a, b):
            _same(x, y)
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape
        np.testing.assert_array_equal(a, b)
    else:
        assert a == b


@pytest.mark.parametrize("call,name", CASES, ids=[f"{c}-{n}" for c, n in CASES])
def test_url_gives_what_the_local_file_gives(nginx, files, call, name):
    local = CALLS[call](str(files / name))
    _same(CALLS[call](nginx.url(name)), local)
    _same(CALLS[call](nginx.url(name, "slow")), local)


@pytest.mark.parametrize("call", ["decode", "decode ds8", "reader header", "frame_count",
                                  "thumbnail_bytes"])
def test_fsspec_url_and_file_give_what_the_local_file_gives(files, call):
    fsspec = pytest.importorskip("fsspec")
    data = (files / "prog.jxl").read_bytes()
    with fsspec.open("memory://remote-test/prog.jxl", "wb") as f:
        f.write(data)
    local = CALLS[call](data)
    _same(CALLS[call]("memory://remote-test/prog.jxl"), local)
    with fsspec.open(f"file://{files / 'prog.jxl'}", "rb") as f:
        _same(CALLS[call](f), local)


@pytest.mark.parametrize("name", ["prog.jxl", "anim.jxl"])
def test_dask_and_pillow_read_what_the_local_file_gives(nginx, files, name):
    pytest.importorskip("dask")
    Image = pytest.importorskip("PIL.Image")
    fsspec = pytest.importorskip("fsspec")
    import quillmarsh.pillow  # noqa: F401  (registers the plugin)

    local = str(files / name)
    _same(jxl.to_dask(nginx.url(name)).compute(), jxl.to_dask(local).compute())
    with fsspec.open(f"file://{local}", "rb") as f, Image.open(f) as im:
        remote = np.asarray(im)
    with Image.open(local) as im:
        _same(remote, np.asarray(im))


@pytest.mark.parametrize("command", [["info", "--json"], ["thumb"], ["decode", "--index", "3"]])
def test_command_line_reads_a_url_as_the_local_file(nginx, files, tmp_path, command):
    name = "anim.jxl" if "--index" in command else "prog.jxl"
    outs = []
    for src in (nginx.url(name), str(files / name)):
        out = tmp_path / f"{len(outs)}.png"
        proc = cli(*command, src, *([] if command[0] == "info" else [out]), cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        outs.append(proc.stdout.replace(src, "SRC") if command[0] == "info" else out.read_bytes())
    assert outs[0] == outs[1]


def test_header_facts_take_one_first_range(log, files):
    size = (files / "conf.jxl").stat().st_size
    assert size > 4 * FIRST_RANGE
    _reader_facts(log.url("conf.jxl"))
    reqs = log.requests()
    assert _contiguous_bytes(reqs) == FIRST_RANGE and len(reqs) == 1


@pytest.mark.parametrize("name,share", [("conf.jxl", 1.0), ("prog.jxl", 0.2),
                                        ("bigprog.jxl", 0.2), ("chunked.jxl", 1.0)])
def test_preview_prefix_is_the_shortest_that_gives_the_preview(files, name, share):
    data = (files / name).read_bytes()
    n = jxl.preview_bytes_needed(data)
    assert n <= share * len(data)
    np.testing.assert_array_equal(jxl.decode(data[:n], downsample=8),
                                  jxl.decode(data, downsample=8))
    with pytest.raises(jxl.JxlError, match="truncated"):
        jxl.preview_bytes_needed(data[: n - 1])
    # thumbnail_bytes counts the bytes consumed, the sections done from the
    # front on: the same where the DC sections open the frame.
    consumed = len(jxl.thumbnail_bytes(data))
    assert consumed == n if name != "chunked.jxl" else consumed < n / 2


@pytest.mark.parametrize("name", ["conf.jxl", "prog.jxl", "bigprog.jxl", "chunked.jxl"])
@pytest.mark.parametrize("call", ["decode ds8", "thumbnail_bytes", "preview_bytes_needed"])
def test_preview_stops_after_the_dc_prefix(log, files, call, name):
    need = jxl.preview_bytes_needed(str(files / name))
    CALLS[call](log.url(name, "slow"))
    sent = _contiguous_bytes(log.requests())
    assert need <= sent <= max(1.15 * need, need + 4096)


def test_preview_of_an_animation_stops_in_its_last_frame(log, files):
    # Frame 0 whole, then the last frame up to its DC pass: the rest of that
    # frame is not fetched to find the end of the stream.
    size = (files / "proganim.jxl").stat().st_size
    jxl.decode(log.url("proganim.jxl", "slow"), downsample=8)
    assert _contiguous_bytes(log.requests()) < 0.7 * size


def test_full_decode_and_an_early_frame_fetch_each_byte_once(log, files):
    size = (files / "anim.jxl").stat().st_size
    jxl.decode(log.url("anim.jxl", "slow"))
    assert _contiguous_bytes(log.requests()) == size
    jxl.decode(log.url("anim.jxl", "slow"), index=0)
    assert _contiguous_bytes(log.requests()) < size / 2


def test_server_without_ranges_is_one_streamed_download(log, files):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = jxl.decode(log.url("prog.jxl", "norange"))
    np.testing.assert_array_equal(got, jxl.decode(str(files / "prog.jxl")))
    assert [w.category for w in caught] == [RuntimeWarning]
    assert "does not answer range requests" in str(caught[0].message)
    reqs = log.requests()
    assert [(r.status, r.sent) for r in reqs] == [(200, (files / "prog.jxl").stat().st_size)]


def test_empty_remote_file_behaves_as_empty_bytes(nginx):
    assert jxl.frame_count(nginx.url("empty.jxl")) == jxl.frame_count(b"") == 0
    assert jxl.thumbnail_bytes(nginx.url("empty.jxl")) is None
    with pytest.raises(ValueError, match="empty input"):
        jxl.decode(nginx.url("empty.jxl"))


# ---- failing servers ---------------------------------------------------------


class _BadServer:
    """A raw HTTP server on 127.0.0.1 answering range requests for `data`,
    with faults by path: /cut-later cuts the body of every range past the
    first, /liar claims the file is longer than it is, /hang never answers."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.conns: list = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}/{path}"

    def _serve(self) -> None:
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn: socket.socket) -> None:
        f = conn.makefile("rb")
        try:
            while True:
                head = [f.readline()]
                while head[-1] not in (b"\r\n", b"\n", b""):
                    head.append(f.readline())
                if head[0] == b"":
                    return
                path = head[0].split()[1].decode()
                m = re.search(rb"Range: bytes=(\d+)-(\d+)", b"".join(head))
                start, stop = int(m.group(1)), int(m.group(2)) + 1
                if path == "/hang":
                    conn.recv(1)  # until the client gives up
                    return
                total = len(self.data) + (100000 if path == "/liar" else 0)
                if start >= len(self.data):
                    conn.sendall(b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n")
                    continue
                body = self.data[start:min(stop, total)]
                # The liar sends what it has, as a range of the longer file it claims.
                declared = len(body) if path == "/liar" else min(stop, total) - start
                conn.sendall(b"HTTP/1.1 206 Partial Content\r\n"
                             b"Content-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n\r\n"
                             % (start, start + declared - 1, total, declared))
                if path == "/cut-later" and start > 0:
                    conn.sendall(body[: len(body) // 2])
                    conn.close()
                    return
                conn.sendall(body)
        except OSError:
            pass

    def close(self) -> None:
        self.sock.close()
        for c in self.conns:
            try:
                c.close()
            except OSError:
                pass


@pytest.fixture(scope="module")
def bad(files):
    server = _BadServer((files / "prog.jxl").read_bytes())
    yield server
    server.close()


def _remote_threads():
    return [t for t in threading.enumerate() if t.name == "quillmarsh-remote" and t.is_alive()]


@pytest.mark.parametrize("where,status", [
    ("missing", "HTTP 404 Not Found"),
    ("forbidden", "HTTP 403 Forbidden"),
    ("refused", "Connection refused"),
    ("cut-later", "the body ended after"),
    ("liar", "HTTP 206: "),
    ("hang", "timed out"),
])
def test_failing_server_gives_one_clear_error(nginx, bad, tmp_path, monkeypatch, where, status):
    monkeypatch.setattr("quillmarsh.core.remote.DEFAULT_TIMEOUT", 1.0)
    url = {"missing": nginx.url("prog.jxl", "missing"),
           "forbidden": nginx.url("prog.jxl", "forbidden"),
           "refused": f"http://127.0.0.1:{_closed_port()}/prog.jxl"}.get(where) or bad.url(where)
    calls = [jxl.decode]
    if where not in ("cut-later", "liar"):  # faults past the header
        calls.append(jxl.frame_count)
    if where != "liar":  # the lie is past the preview's prefix
        calls.append(lambda u: jxl.decode(u, downsample=8))
    for call in calls:
        with pytest.raises(RemoteError) as exc:
            call(url)
        assert str(exc.value).startswith(f"jxl: {url}: ") and status in str(exc.value)
        assert _remote_threads() == []
    # A timeout given with the input is the one used.
    if where == "hang":
        with pytest.raises(RemoteError, match="timed out"):
            jxl.decode(open_remote(url, timeout=0.2))
    if where in ("missing", "cut-later"):
        proc = cli("decode", url, tmp_path / "out.png", cwd=tmp_path)
        assert url in one_error_line(proc) and status in proc.stderr
        assert list(tmp_path.iterdir()) == []


def _closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
