"""Python faces of the extension's public callables.

A nanobind function carries its signature only as text, so ``inspect`` sees
neither its parameters nor its return type. Each public callable of
``quillmarsh.codecs._jxl`` is therefore re-exposed as a plain function with
the same parameters, defaults, docstring and return annotation, which passes
its arguments on unchanged. Argument errors then use the interpreter's own
wording.
"""

from __future__ import annotations

import ast
import re
import typing
from typing import Any, Callable

import numpy

# Names the return annotations of the extension's signatures use.
_ANNOTATION_NAMES = {"numpy": numpy, "Iterator": typing.Iterator, "Optional": typing.Optional}


def forwarder(target: Any, qualname: str) -> Callable[..., Any]:
    """A function with `target`'s signature and docstring that calls it."""
    (text, doc, defaults), = target.__nb_signature__
    if defaults:
        text = re.sub(r"\\(\d+)", lambda m: repr(defaults[int(m.group(1))]), text)
    tree = ast.parse(text.strip() + ": ...").body[0]
    assert isinstance(tree, ast.FunctionDef)
    args = tree.args
    returns = ast.unparse(tree.returns) if tree.returns is not None else None
    for a in args.posonlyargs + args.args + args.kwonlyargs:
        a.annotation = None
    passed = [a.arg for a in args.posonlyargs + args.args]
    passed += [f"{a.arg}={a.arg}" for a in args.kwonlyargs]
    source = f"def {tree.name}({ast.unparse(args)}):\n    return _target({', '.join(passed)})\n"
    namespace: dict[str, Any] = {"_target": target, "__name__": "quillmarsh.codecs._jxl"}
    exec(source, namespace)
    fn: Callable[..., Any] = namespace[tree.name]
    fn.__qualname__ = qualname
    fn.__doc__ = doc
    if returns is not None:
        try:
            fn.__annotations__["return"] = eval(returns, dict(_ANNOTATION_NAMES))
        except Exception:  # a union on a Python without `X | Y`: keep the text
            fn.__annotations__["return"] = returns
    return fn
