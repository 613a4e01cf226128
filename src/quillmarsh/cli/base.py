"""What every subcommand shares: the program name, one-line errors, atomic
outputs and the progress line."""

from __future__ import annotations

import contextlib
import os
import re
import struct
import sys
from typing import IO, Any, Iterator, Optional, Union

from quillmarsh.codecs.jxl import JxlError
from quillmarsh.core.io import AtomicOutput

PROG = "quillmarsh-jxl"


class CliError(Exception):
    """A failure the command line reports as one line, exit status 1."""


def note(message: str) -> None:
    sys.stderr.write(f"{PROG}: note: {message}\n")


def fail(message: str) -> None:
    text = " ".join(message.split())  # one line, whatever the message held
    sys.stderr.write(f"{PROG}: {text}\n")
    sys.stderr.flush()


def mib(n: int) -> str:
    if n >= 1 << 20:
        return f"{n / (1 << 20):.2f} MiB"
    if n >= 1 << 10:
        return f"{n / (1 << 10):.1f} KiB"
    return f"{n} bytes"


def stderr_is_tty() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


# --- error translation -----------------------------------------------------

# What a failed read, decode or encode may raise; anything else is a bug.
CAUGHT = (OSError, ValueError, TypeError, JxlError, NotImplementedError, MemoryError, IndexError)


# OS errors by class: the words for an input, and for an output.
_OS_WORDS = (
    (FileNotFoundError, "no such file", "no such directory"),
    (IsADirectoryError, "is a directory", "is a directory"),
    (PermissionError, "permission denied", "permission denied"),
)


def _os_words(exc: OSError, as_input: bool) -> Optional[str]:
    for cls, read_words, write_words in _OS_WORDS:
        if isinstance(exc, cls):
            return read_words if as_input else write_words
    return None


def input_error(path: str, exc: BaseException) -> CliError:
    msg = str(exc)
    if isinstance(exc, OSError):
        words = _os_words(exc, True)
        return CliError(f"{path}: {words or 'cannot read: ' + (exc.strerror or msg)}")
    if isinstance(exc, MemoryError):
        return CliError(f"{path}: out of memory")
    if msg == "jxl: empty input":
        return CliError(f"{path}: empty file, not a JPEG XL file")
    if msg == "jxl: not a JPEG XL stream":
        return CliError(f"{path}: not a JPEG XL file")
    if isinstance(exc, JxlError):
        # libjxl often cannot tell damage from a cut; the container's layout can.
        damage = container_damage(path)
        if damage is not None:
            return CliError(f"{path}: {damage} ({msg})")
        if "corrupt or truncated" in msg:  # a sound layout: the damage is inside a box
            return CliError(f"{path}: corrupt JPEG XL file ({msg})")
        kind = "truncated" if "truncated" in msg else "corrupt"
        return CliError(f"{path}: {kind} JPEG XL file ({msg})")
    if isinstance(exc, NotImplementedError):
        return CliError(f"{path}: unsupported image ({msg})")
    if isinstance(exc, ValueError) and re.search(r"\bmax_(pixels|bytes)=", msg):
        # The decoder's size limits are options here: name them as such.
        msg = re.sub(r"\bmax_(pixels|bytes)\b", r"--max-\1", msg).replace("or None", "or none")
        msg = msg[len("jxl: "):] if msg.startswith("jxl: ") else msg
    return CliError(f"{path}: {msg}")


def container_damage(path: str) -> Optional[str]:
    """What is wrong with the box layout of the JPEG XL container at `path`:
    a box that runs past the end of the file (truncated) or one whose size
    field cannot be right (damaged); None for a sound layout, a bare
    codestream or an unreadable file."""
    try:
        with open(path, "rb") as f:
            end = os.fstat(f.fileno()).st_size
            if f.read(12) != b"\x00\x00\x00\x0cJXL \r\n\x87\n":
                return None
            pos, number = 12, 2
            while pos < end:
                f.seek(pos)
                head = f.read(16)
                if len(head) < 8:
                    return f"truncated JPEG XL file: box {number} is cut in its header"
                size, kind = struct.unpack(">I4s", head[:8])
                if not all(32 <= b < 127 for b in kind):
                    return f"damaged JPEG XL file: box {number} (at byte {pos}) has no valid type ({kind!r})"
                where = f"box {number} ({kind.decode('ascii')!r} at byte {pos})"
                length = 8
                if size == 1:
                    if len(head) < 16:
                        return f"truncated JPEG XL file: {where} is cut in its header"
                    (size,) = struct.unpack(">Q", head[8:16])
                    length = 16
                elif size == 0:  # runs to the end of the file
                    return None
                if size < length:
                    return f"damaged JPEG XL file: {where} has an impossible size of {size} bytes"
                if pos + size > end:
                    return (f"truncated JPEG XL file: {where} needs {size} bytes, "
                            f"the file ends {end - pos} bytes after its start")
                pos += size
                number += 1
    except OSError:
        return None
    return None


def output_error(path: str, exc: BaseException) -> CliError:
    if isinstance(exc, FileNotFoundError) and os.path.isdir(os.path.dirname(os.path.abspath(path))):
        # The folder is there, yet no file can be made in it (such as /proc).
        folder = os.path.dirname(path) or "."
        return CliError(f"{path}: cannot write: no file can be created in the folder {folder} "
                        f"({exc.strerror or exc})")
    words = _os_words(exc, False) if isinstance(exc, OSError) else None
    if words is None:
        words = (exc.strerror if isinstance(exc, OSError) else None) or str(exc)
    return CliError(f"{path}: cannot write: {words}")


@contextlib.contextmanager
def reading(path: str) -> Iterator[None]:
    """Report failures inside the block as problems with input `path`."""
    try:
        yield
    except CliError:
        raise
    except CAUGHT as exc:
        raise input_error(path, exc) from exc


class Output:
    """An output file that appears whole or not at all.

    The temporary file beside the target is created at once, so an unwritable
    path fails before any work; a failure inside the ``with`` block leaves an
    existing target untouched and no partial file behind.
    """

    def __init__(self, path: "Union[str, os.PathLike[str]]") -> None:
        self.path = os.fspath(path)
        try:
            self._out = AtomicOutput(self.path)
        except OSError as exc:
            raise output_error(self.path, exc) from exc
        assert self._out.file is not None
        self.file: IO[bytes] = self._out.file

    def __enter__(self) -> "Output":
        return self

    def __exit__(self, exc_type: Optional[type], exc: Optional[BaseException], tb: Any) -> None:
        if exc_type is not None:
            self._out.discard()
            return
        try:
            self._out.commit()
        except OSError as err:
            raise output_error(self.path, err) from err


class Progress:
    """A self-overwriting progress line on stderr, only when it is a terminal."""

    def __init__(self, what: str, total: Optional[int]) -> None:
        self.what = what
        self.total = total
        self.enabled = stderr_is_tty()
        self._shown = False

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        of = f"/{self.total}" if self.total else ""
        sys.stderr.write(f"\r{PROG}: {self.what} frame {done}{of}")
        sys.stderr.flush()
        self._shown = True

    def finish(self) -> None:
        if self._shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._shown = False
