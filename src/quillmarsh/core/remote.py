"""Remote inputs: a URL or an fsspec file read as a sequence of byte ranges.

A decoder reads its input front to back and may stop early: the header sits
at the front, a progressive image's 1:8 preview is complete after a prefix,
frame k ends before frame k+1 begins. :class:`RemoteInput` serves such a
reader. Each :meth:`RemoteInput.get` returns the next range of the file,
fetched with one request; ranges grow geometrically with what was read
before, so a job that stops early has fetched at most a fraction more than
it used, a long job makes few requests, and no byte is fetched twice.

``http://`` and ``https://`` go through the standard library (``http.client``,
one kept-alive connection, ``Range: bytes=a-b``); every other protocol, and a
file object that fsspec opened, through fsspec (the ``remote`` extra).
"""

from __future__ import annotations

import http.client
import re
import socket
import ssl
import threading
import urllib.parse
import warnings
import weakref
from typing import Any, Optional

__all__ = ["RemoteError", "RemoteInput", "is_remote", "open_remote", "DEFAULT_TIMEOUT"]

# Seconds a connection or a read may wait; `open_remote(..., timeout=...)`.
DEFAULT_TIMEOUT = 30.0
# The first range holds the header of nearly every file; more is asked only
# when the decoder needs it.
FIRST_RANGE = 16384
# No single request asks for more than this.
MAX_RANGE = 16 << 20
_MAX_REDIRECTS = 5

# A scheme of two characters or more: "C://x" is a Windows path.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")


class RemoteError(OSError):
    """A remote input could not be read: the message names the URL and the
    HTTP status or the network error."""


def is_remote(obj: Any) -> bool:
    """Whether `obj` is read as a remote input: a URL string with a scheme
    (``https://...``, ``s3://...``) or a file object opened by fsspec."""
    if isinstance(obj, str):
        return _URL.match(obj) is not None
    return type(obj).__module__.startswith("fsspec.") and hasattr(obj, "read")


def _describe(obj: Any) -> str:
    if isinstance(obj, str):
        return obj
    fs, path = getattr(obj, "fs", None), getattr(obj, "path", None)
    if fs is not None and path is not None:
        try:
            return str(fs.unstrip_protocol(path))
        except Exception:
            return str(path)
    return repr(obj)


# ---- backends: fetch(start, stop) -> the bytes [start, stop) ---------------


class _Http:
    """Range requests over one kept-alive connection. A server that answers
    a range request with the whole file (200) is read as one streamed GET."""

    def __init__(self, url: str, timeout: float) -> None:
        self.url = url
        self.timeout = timeout
        self.size: Optional[int] = None
        self._target = url
        self._conn: Optional[http.client.HTTPConnection] = None
        self._whole: Optional[http.client.HTTPResponse] = None  # the 200 fallback
        self._whole_pos = 0
        self._closed = False

    def reopened(self) -> "_Http":
        fresh = _Http(self.url, self.timeout)
        fresh.size = self.size
        return fresh

    def _error(self, what: str) -> RemoteError:
        return RemoteError(f"jxl: {self.url}: {what}")

    def _connection(self) -> http.client.HTTPConnection:
        if self._conn is None:
            parts = urllib.parse.urlsplit(self._target)
            if parts.scheme not in ("http", "https") or not parts.hostname:
                raise self._error("not an http(s) URL")
            if parts.scheme == "https":
                self._conn = http.client.HTTPSConnection(
                    parts.hostname, parts.port, timeout=self.timeout,
                    context=ssl.create_default_context(),
                )
            else:
                self._conn = http.client.HTTPConnection(
                    parts.hostname, parts.port, timeout=self.timeout
                )
        return self._conn

    def _request(self, start: int, stop: int) -> http.client.HTTPResponse:
        for _ in range(_MAX_REDIRECTS + 1):
            parts = urllib.parse.urlsplit(self._target)
            path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
            headers = {"Range": f"bytes={start}-{stop - 1}", "Accept-Encoding": "identity"}
            for attempt in (0, 1):
                reused = self._conn is not None
                conn = self._connection()
                try:
                    conn.request("GET", path, headers=headers)
                    response = conn.getresponse()
                    break
                except (OSError, http.client.HTTPException) as exc:
                    self._drop_connection()
                    if self._closed:
                        raise self._error("closed") from None
                    # A kept-alive connection the server has closed since:
                    # once more on a new one.
                    stale = isinstance(exc, (http.client.RemoteDisconnected, ConnectionResetError,
                                             BrokenPipeError))
                    if not (reused and stale and attempt == 0):
                        raise self._error(f"cannot read: {_reason(exc)}") from None
            if response.status in (301, 302, 303, 307, 308):
                location = response.getheader("Location")
                response.read()
                if not location:
                    raise self._error(
                        f"HTTP {response.status} {response.reason} without a Location"
                    )
                new = urllib.parse.urljoin(self._target, location)
                if urllib.parse.urlsplit(new)[:2] != urllib.parse.urlsplit(self._target)[:2]:
                    self._drop_connection()
                self._target = new
                continue
            return response
        raise self._error(f"more than {_MAX_REDIRECTS} redirects")

    def fetch(self, start: int, stop: int) -> bytes:
        if self._whole is not None:
            return self._read_whole(start, stop)
        response = self._request(start, stop)
        status = response.status
        if status == 206:
            return self._read_range(response, start, stop)
        if status == 200 and start == 0:
            length = response.getheader("Content-Length")
            self.size = int(length) if length and length.isdigit() else None
            if self.size != 0:  # nginx answers so for an empty file too
                warnings.warn(
                    f"jxl: {self.url}: the server does not answer range requests; "
                    "reading the file in one download",
                    RuntimeWarning,
                    stacklevel=2,
                )
            self._whole = response
            return self._read_whole(start, stop)
        if status == 416 and start == 0:
            response.read()
            self.size = 0  # an empty file has no first byte to ask for
            return b""
        body_note = ""
        try:
            response.read()
        except (OSError, http.client.HTTPException):
            self._drop_connection()
        if status == 200:
            body_note = " (a range was asked and the whole file came)"
        raise self._error(f"HTTP {status} {response.reason}{body_note}")

    def _read_range(self, response: http.client.HTTPResponse, start: int, stop: int) -> bytes:
        m = re.fullmatch(r"bytes (\d+)-(\d+)/(\d+|\*)", response.getheader("Content-Range", ""))
        if m is None or int(m.group(1)) != start:
            self._drop_connection()
            raise self._error(
                f"HTTP 206 with Content-Range {response.getheader('Content-Range')!r} "
                f"for bytes {start}-{stop - 1}"
            )
        first, last = int(m.group(1)), int(m.group(2))
        total = None if m.group(3) == "*" else int(m.group(3))
        if total is not None:
            if self.size is not None and total != self.size:
                self._drop_connection()
                raise self._error(f"the file's length changed from {self.size} to {total} bytes")
            self.size = total
        want = last - first + 1
        try:
            data = response.read()
        except http.client.IncompleteRead as exc:
            self._drop_connection()
            raise self._error(
                f"HTTP 206: the body ended after {len(exc.partial)} of {want} bytes"
            ) from None
        except (OSError, http.client.HTTPException) as exc:
            self._drop_connection()
            raise self._error(f"HTTP 206: reading the body failed: {_reason(exc)}") from None
        if len(data) != want or (last + 1 < stop and (total is None or last + 1 != total)):
            self._drop_connection()
            raise self._error(
                f"HTTP 206: {len(data)} bytes for bytes {start}-{stop - 1} "
                f"(the server said {first}-{last} of {total})"
            )
        return data

    def _read_whole(self, start: int, stop: int) -> bytes:
        assert self._whole is not None
        if start != self._whole_pos:
            raise self._error("read out of order from a server without range requests")
        try:
            data = self._whole.read(stop - start)
        except http.client.IncompleteRead as exc:
            raise self._error(
                f"HTTP 200: the body ended after {self._whole_pos + len(exc.partial)} "
                f"of {self.size} bytes"
            ) from None
        except (OSError, http.client.HTTPException) as exc:
            raise self._error(f"HTTP 200: reading the body failed: {_reason(exc)}") from None
        self._whole_pos += len(data)
        if not data and self.size is not None and self._whole_pos < self.size:
            raise self._error(
                f"HTTP 200: the body ended after {self._whole_pos} of {self.size} bytes"
            )
        return data

    def _drop_connection(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None:
            conn.close()

    def abort(self) -> None:
        """Ends a request in flight on another thread (its read fails at once)."""
        self._closed = True
        conn = self._conn
        sock = getattr(conn, "sock", None) if conn is not None else None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        self._closed = True
        if self._whole is not None:
            self._whole.close()
            self._whole = None
        self._drop_connection()


class _Fsspec:
    """Ranges through fsspec: of a path on a filesystem (a URL of another
    protocol), or reads of a file object that fsspec opened."""

    def __init__(self, src: Any, timeout: float) -> None:
        self.url = _describe(src)
        self._src = src
        self._timeout = timeout
        self._file = None
        if isinstance(src, str):
            try:
                import fsspec  # type: ignore[import-untyped, import-not-found, unused-ignore]
            except ImportError:
                raise ImportError(
                    f"jxl: reading {src} needs fsspec: pip install 'quillmarsh[remote]'"
                ) from None
            try:
                self._fs, self._path = fsspec.core.url_to_fs(src)
                self.size: Optional[int] = int(self._fs.size(self._path))
            except (OSError, ValueError) as exc:
                raise RemoteError(f"jxl: {src}: {_reason(exc)}") from None
        else:
            self._file = src
            self._start = src.tell()
            size = getattr(src, "size", None)
            self.size = None if size is None else int(size) - self._start

    def reopened(self) -> "_Fsspec":
        fresh = _Fsspec.__new__(_Fsspec)
        fresh.__dict__.update(self.__dict__)
        return fresh

    def fetch(self, start: int, stop: int) -> bytes:
        try:
            if self._file is None:
                return bytes(self._fs.cat_file(self._path, start=start, end=stop))
            self._file.seek(self._start + start)
            return bytes(self._file.read(stop - start))
        except (OSError, ValueError) as exc:
            raise RemoteError(f"jxl: {self.url}: {_reason(exc)}") from None

    def abort(self) -> None:
        pass

    def close(self) -> None:
        pass


def _reason(exc: BaseException) -> str:
    if isinstance(exc, socket.timeout):
        return "timed out"
    text = str(exc) or type(exc).__name__
    return text


# ---- the sequential reader -------------------------------------------------


class _Fetch:
    """One range fetched on a thread of its own."""

    __slots__ = ("thread", "data", "error")

    def __init__(self, backend: Any, start: int, stop: int) -> None:
        self.data: Optional[bytes] = None
        self.error: Optional[BaseException] = None
        self.thread = threading.Thread(
            target=self._run, args=(backend, start, stop), name="quillmarsh-remote", daemon=True
        )
        self.thread.start()

    def _run(self, backend: Any, start: int, stop: int) -> None:
        try:
            self.data = backend.fetch(start, stop)
        except BaseException as exc:  # handed to the consumer
            self.error = exc

    def result(self) -> bytes:
        self.thread.join()
        if self.error is not None:
            raise self.error
        assert self.data is not None
        return self.data


def _stop(backend: Any, pending: "list[_Fetch]") -> None:
    backend.abort()
    for fetch in pending:
        fetch.thread.join()
    pending.clear()
    backend.close()


class RemoteInput:
    """The bytes of a remote file, front to back, in growing ranges.

    :meth:`get` returns the next range (bytes) or None at the end. A range is
    ``max(FIRST_RANGE, growth * bytes read so far)`` bytes, at most
    ``MAX_RANGE``. With ``prefetch``, once a second range has been asked for
    (the job is more than a header), the range after the one returned is
    fetched on a thread meanwhile, so decoding overlaps the download; the
    job's last range is then followed by at most one unused one. :meth:`close`
    ends a fetch in flight and joins its thread.
    """

    def __init__(self, backend: Any) -> None:
        self._backend = backend
        self.url: str = backend.url
        self.growth, self.prefetch, self._step = _USES["stream"]
        self._pos = 0
        self._gets = 0
        self._ended = False
        self._pending: "list[_Fetch]" = []  # at most one
        self._finalizer = weakref.finalize(self, _stop, backend, self._pending)

    @property
    def size(self) -> Optional[int]:
        """The file's length, once a response has told it."""
        size: Optional[int] = self._backend.size
        return size

    def _next_range(self, pos: int) -> Optional["tuple[int, int]"]:
        size = self._backend.size
        if size is not None and pos >= size:
            return None
        n = min(MAX_RANGE, max(FIRST_RANGE if pos == 0 else self._step, int(pos * self.growth)))
        stop = pos + n if size is None else min(size, pos + n)
        return pos, stop

    def get(self) -> Optional[bytes]:
        """The next range of the file, or None once it has all been read."""
        if not self._finalizer.alive:
            raise ValueError("RemoteInput is closed")
        if self._ended:
            return None
        self._gets += 1
        data: bytes
        if self._pending:
            data = self._pending.pop().result()
        else:
            span = self._next_range(self._pos)
            data = b"" if span is None else self._backend.fetch(*span)
        if not data:
            self._ended = True
            return None
        self._pos += len(data)
        if self.prefetch and self._gets >= 2:
            span = self._next_range(self._pos)
            if span is not None:
                self._pending.append(_Fetch(self._backend, *span))
        return data

    def tune(self, use: str) -> None:
        """Read the rest as a ``"stream"`` (a decode), a ``"probe"`` (header
        facts, frame walks) or a ``"prefix"`` (a progressive preview)."""
        try:
            self.growth, self.prefetch, self._step = _USES[use]
        except KeyError:
            raise ValueError(f"use must be one of {', '.join(_USES)}; got {use!r}") from None

    def reopen(self, use: str = "probe") -> "RemoteInput":
        """A new reader of the same file from its start, for a second pass."""
        r = RemoteInput(self._backend.reopened())
        r.tune(use)
        return r

    def close(self) -> None:
        """End a fetch in flight, join its thread, close the connection."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def __enter__(self) -> "RemoteInput":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# How each kind of job reads: (growth, prefetch). A decode doubles what it
# has and overlaps the next range with its work; a probe stops after the
# header or a frame walk, so it fetches nothing ahead; a progressive prefix
# (a 1:8 preview) ends at a point no header tells, so after the first range
# its ranges grow by an eighth (4 KiB at least) and it fetches at most that
# much past the point.
_USES = {"stream": (1.0, True, FIRST_RANGE), "probe": (1.0, False, FIRST_RANGE),
         "prefix": (0.125, False, 4096)}


def open_remote(src: Any, *, use: str = "stream", timeout: Optional[float] = None) -> RemoteInput:
    """A :class:`RemoteInput` over a URL (``http(s)://`` through the standard
    library, any other protocol through fsspec) or an fsspec file object (read
    from where it stands). A RemoteInput is returned as it is.

    ``use`` is ``"stream"``, ``"probe"`` or ``"prefix"`` (see
    :meth:`RemoteInput.tune`). ``timeout`` (seconds; default
    :data:`DEFAULT_TIMEOUT`, read at each call) bounds the connection and
    each read.
    """
    if isinstance(src, RemoteInput):
        return src
    t = DEFAULT_TIMEOUT if timeout is None else float(timeout)
    if isinstance(src, str) and urllib.parse.urlsplit(src).scheme.lower() in ("http", "https"):
        backend: Any = _Http(src, t)
    else:
        backend = _Fsspec(src, t)
    r = RemoteInput(backend)
    r.tune(use)
    return r
