"""Background reading of large inputs in fixed-size chunks."""

from __future__ import annotations

import os
import queue
import threading
from typing import IO, Optional, Union

__all__ = ["BackgroundChunkReader"]

_EOF = object()
_POLL = 0.05  # seconds between checks for close() while the queue is full


class _Failure:
    __slots__ = ("exc",)

    def __init__(self, exc: BaseException) -> None:
        self.exc = exc


class BackgroundChunkReader:
    """Read a path or binary file-like object on a daemon thread.

    Up to ``prefetch`` chunks of at most ``chunk_size`` bytes wait in a bounded
    queue, so reading overlaps whatever the consumer does with earlier chunks
    and memory stays bounded. :meth:`get` returns the next chunk as ``bytes``
    or None at the end; an error of the reading thread is re-raised there.
    :meth:`close` stops the thread promptly and closes the file only if this
    object opened it.
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
            self._file = open(src, "rb")
            self._own_file = True
        elif hasattr(src, "read"):
            self._file = src
            self._own_file = False
        else:
            raise TypeError(
                f"src must be a path or a binary file-like object; got {type(src).__name__}"
            )
        self.chunk_size = chunk_size
        self.prefetch = prefetch
        self._queue: "queue.Queue[object]" = queue.Queue(maxsize=prefetch)
        self._stop = threading.Event()
        self._finished = False  # the consumer has seen the end or an error
        self._closed = False
        self._file_lock = threading.Lock()
        self._file_closed = False
        self._thread = threading.Thread(
            target=self._run, name="quillmarsh-chunk-reader", daemon=True
        )
        self._thread.start()

    # -- reading thread -------------------------------------------------
    def _put(self, item: object) -> bool:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=_POLL)
                return True
            except queue.Full:
                continue
        return False

    def _run(self) -> None:
        size = self.chunk_size
        try:
            while not self._stop.is_set():
                data = self._file.read(size)
                if not data:
                    if data is None:  # non-blocking stream with nothing ready
                        raise OSError("read() returned None (non-blocking stream?)")
                    self._put(_EOF)
                    return
                if not isinstance(data, bytes):
                    if isinstance(data, str):
                        raise TypeError("read() returned str; open the file in binary mode")
                    data = bytes(data)
                # A file-like may return more than asked for; keep the size promise.
                for start in range(0, len(data), size):
                    if not self._put(data[start : start + size] if len(data) > size else data):
                        return
        except BaseException as exc:  # handed to the consumer, never lost
            self._put(_Failure(exc))
        finally:
            if self._stop.is_set():
                self._close_own_file()

    def _close_own_file(self) -> None:
        with self._file_lock:
            if self._own_file and not self._file_closed:
                self._file_closed = True
                try:
                    self._file.close()
                except Exception:
                    pass

    # -- consumer side ---------------------------------------------------
    def get(self) -> Optional[bytes]:
        """Return the next chunk (at most ``chunk_size`` bytes), or None at the end."""
        if self._closed:
            raise ValueError("BackgroundChunkReader is closed")
        if self._finished:
            return None
        item = self._queue.get()
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
        self._stop.set()
        # Unblock a thread waiting on a full queue, and free the chunks.
        try:
            while True:
                self._queue.get_nowait()
        except queue.Empty:
            pass
        self._thread.join(timeout=2 * _POLL + 0.5)
        if not self._thread.is_alive():
            self._close_own_file()
        # else: the thread is inside a slow read(); it closes the file on its way out.

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "BackgroundChunkReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
