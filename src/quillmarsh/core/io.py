"""Background reading of large inputs in fixed-size chunks."""

from __future__ import annotations

import os
import queue
import tempfile
import threading
import weakref
from typing import IO, Optional, Union

__all__ = ["AtomicOutput", "BackgroundChunkReader"]

_EOF = object()
_POLL = 0.05  # seconds between checks for close() while the queue is full


class _Failure:
    __slots__ = ("exc",)

    def __init__(self, exc: BaseException) -> None:
        self.exc = exc


class _Shared:
    """What the reading thread needs. The thread holds this, never the
    BackgroundChunkReader, so a reader that is dropped without close() is
    collected and its finaliser stops the thread."""

    def __init__(self, file: IO[bytes], own_file: bool, chunk_size: int, prefetch: int) -> None:
        self.file = file
        self.own_file = own_file
        self.chunk_size = chunk_size
        self.queue: "queue.Queue[object]" = queue.Queue(maxsize=prefetch)
        self.stop = threading.Event()
        self.file_lock = threading.Lock()
        self.file_closed = False

    def put(self, item: object) -> bool:
        while not self.stop.is_set():
            try:
                self.queue.put(item, timeout=_POLL)
                return True
            except queue.Full:
                continue
        return False

    def close_own_file(self) -> None:
        with self.file_lock:
            if self.own_file and not self.file_closed:
                self.file_closed = True
                try:
                    self.file.close()
                except Exception:
                    pass

    def shutdown(self) -> None:
        """Stop the thread and drop queued chunks (also unblocks a full queue)."""
        self.stop.set()
        try:
            while True:
                self.queue.get_nowait()
        except queue.Empty:
            pass


def _read_chunks(shared: _Shared) -> None:
    size = shared.chunk_size
    try:
        while not shared.stop.is_set():
            data = shared.file.read(size)
            if not data:
                if data is None:  # non-blocking stream with nothing ready
                    raise OSError("read() returned None (non-blocking stream?)")
                shared.put(_EOF)
                return
            if not isinstance(data, bytes):
                if isinstance(data, str):
                    raise TypeError("read() returned str; open the file in binary mode")
                data = bytes(data)
            # A file-like may return more than asked for; keep the size promise.
            for start in range(0, len(data), size):
                if not shared.put(data[start : start + size] if len(data) > size else data):
                    return
    except BaseException as exc:  # handed to the consumer, never lost
        shared.put(_Failure(exc))
    finally:
        if shared.stop.is_set():
            shared.close_own_file()


class BackgroundChunkReader:
    """Read a path or binary file-like object on a daemon thread.

    Up to ``prefetch`` chunks of at most ``chunk_size`` bytes wait in a bounded
    queue, so reading overlaps whatever the consumer does with earlier chunks
    and memory stays bounded. :meth:`get` returns the next chunk as ``bytes``
    or None at the end; an error of the reading thread is re-raised there.
    :meth:`close` stops the thread promptly and closes the file only if this
    object opened it; dropping the object without ``close()`` stops the thread
    too, once the object is collected.
    """

    def __init__(
        self,
        src: Union[str, "os.PathLike[str]", IO[bytes]],
        chunk_size: int = 4194304,
        prefetch: int = 4,
    ) -> None:
        chunk_size = int(chunk_size)
        prefetch = int(prefetch)
        if chunk_size <= 0:
            raise ValueError(f"chunk_size must be > 0; got {chunk_size}")
        if prefetch <= 0:
            raise ValueError(f"prefetch must be > 0; got {prefetch}")
        if isinstance(src, (str, os.PathLike)):
            file: IO[bytes] = open(src, "rb")
            own = True
        elif hasattr(src, "read"):
            file = src
            own = False
        else:
            raise TypeError(
                f"src must be a path or a binary file-like object; got {type(src).__name__}"
            )
        self.chunk_size = chunk_size
        self.prefetch = prefetch
        self._shared = _Shared(file, own, chunk_size, prefetch)
        self._finished = False  # the consumer has seen the end or an error
        self._closed = False
        self._thread = threading.Thread(
            target=_read_chunks, args=(self._shared,), name="quillmarsh-chunk-reader", daemon=True
        )
        # Runs at close() or when the object is collected, whichever is first.
        self._finalizer = weakref.finalize(self, self._shared.shutdown)
        self._thread.start()

    # Kept for introspection in tests and debugging.
    @property
    def _file(self) -> IO[bytes]:
        return self._shared.file

    @property
    def _queue(self) -> "queue.Queue[object]":
        return self._shared.queue

    def get(self) -> Optional[bytes]:
        """Return the next chunk (at most ``chunk_size`` bytes), or None at the end."""
        if self._closed:
            raise ValueError("BackgroundChunkReader is closed")
        if self._finished:
            return None
        item = self._shared.queue.get()
        if item is _EOF:
            self._finished = True
            return None
        if isinstance(item, _Failure):
            self._finished = True
            raise item.exc
        return item  # type: ignore[return-value]

    def close(self) -> None:
        """Stop the reading thread and close the file if it was opened here."""
        if self._closed:
            return
        self._closed = True
        self._finalizer()
        self._thread.join(timeout=2 * _POLL + 0.5)
        if not self._thread.is_alive():
            self._shared.close_own_file()
        # else: the thread is inside a slow read(); it closes the file on its way out.

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "BackgroundChunkReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class AtomicOutput:
    """A binary file that appears at `path` only when committed.

    Writes go to a temporary file in the target's folder; `commit()` renames it
    over the target, `discard()` removes it. A failed write therefore leaves an
    existing target untouched and no partial file behind. The folder must
    exist and be writable, and an existing target must be a writable file:
    both are checked here, so errors come before any work is done.
    """

    def __init__(self, path: "Union[str, os.PathLike[str]]") -> None:
        target = os.path.abspath(os.fspath(path))
        folder = os.path.dirname(target)
        if os.path.isdir(target):
            raise IsADirectoryError(f"jxl: destination is a directory: {os.fspath(path)!r}")
        if os.path.exists(target) and not os.access(target, os.W_OK):
            raise PermissionError(f"jxl: destination is not writable: {os.fspath(path)!r}")
        fd, self._tmp = tempfile.mkstemp(prefix=".", suffix=".part", dir=folder)
        self.path = target
        # Readable too: Pillow reads back what it wrote for multi-page TIFF.
        self.file: Optional[IO[bytes]] = os.fdopen(fd, "w+b")
        if os.path.exists(target):
            try:
                os.chmod(self._tmp, os.stat(target).st_mode & 0o7777)
            except OSError:
                pass
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self._tmp, 0o666 & ~umask)

    def write(self, data: "bytes | bytearray | memoryview") -> int:
        if self.file is None:
            raise ValueError("I/O operation on closed file")
        return self.file.write(data)

    def commit(self) -> None:
        """Flush, close and move the temporary file over the target."""
        if self.file is None:
            return
        f, self.file = self.file, None
        try:
            f.flush()
            os.fsync(f.fileno())
            f.close()
            os.replace(self._tmp, self.path)
        except BaseException:
            f.close()
            _remove_quietly(self._tmp)
            raise

    def discard(self) -> None:
        """Close and remove the temporary file; the target is untouched."""
        if self.file is None:
            return
        f, self.file = self.file, None
        f.close()
        _remove_quietly(self._tmp)

    def __enter__(self) -> "AtomicOutput":
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is None:
            self.commit()
        else:
            self.discard()

    def __del__(self) -> None:
        # Never commit implicitly: a dropped output is a failed one.
        try:
            self.discard()
        except Exception:
            pass


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
