"""The ``quillmarsh-jxl`` parser and its error handling."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Callable, NoReturn, Optional, Sequence

from . import convert, decode, encode, info
from .base import PROG, CliError, fail

# Each module adds its subcommands with register(subparsers); a new
# subcommand is a module with a register() and one entry here.
COMMANDS = (info, decode, encode, convert)


class Parser(argparse.ArgumentParser):
    """Usage errors as one line (and exit status 2) like every other error."""

    def error(self, message: str) -> NoReturn:
        sub = self.prog[len(PROG) :].strip() if self.prog.startswith(PROG) else ""
        where = f"{sub}: " if sub else ""
        self.exit(2, f"{PROG}: {where}{message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    from quillmarsh import __version__
    from quillmarsh.codecs.jxl import libjxl_version

    parser = Parser(
        prog=PROG,
        description="Inspect, decode, encode and convert JPEG XL files with quillmarsh's codec.",
        epilog="Errors print one line on stderr; the exit status is 1 for a failed "
        "command and 2 for a usage error.",
    )
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__} (libjxl {libjxl_version()})")
    parser.add_argument("--debug", action="store_true",
                        help="show a traceback for unexpected errors")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=Parser)
    for command in COMMANDS:
        command.register(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``quillmarsh-jxl`` command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    func: Callable[[argparse.Namespace], int] = args.func
    try:
        return func(args)
    except CliError as exc:
        fail(str(exc))
    except KeyboardInterrupt:
        fail("interrupted")
        return 130
    except BrokenPipeError:
        # stdout went away (``| head``); keep the interpreter's final flush quiet.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
    except Exception as exc:  # a bug or an unforeseen failure: still one line
        if args.debug:
            raise
        fail(f"{type(exc).__name__}: {exc}")
    return 1
