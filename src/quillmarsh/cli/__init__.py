"""The ``quillmarsh-jxl`` command line (also ``python -m quillmarsh.cli``).

One module per group of subcommands (``info``, ``decode``/``thumb``,
``encode``), each with a ``register(subparsers)``; options that several
subcommands take live once in :mod:`quillmarsh.cli.options`, and what every
subcommand shares (one-line errors, atomic outputs, progress) in
:mod:`quillmarsh.cli.base`. To add a subcommand, write a module with a
``register()`` and list it in ``app.COMMANDS``.
"""

from .app import main

__all__ = ["main"]
