"""_jxl.pyi matches the compiled module: names, parameters, defaults, properties.

The stubs are written by hand, so they drift silently when a signature in the
extension changes; nanobind records every function's signature, which these
tests compare with the stub's.
"""

from __future__ import annotations

import ast
import inspect
import re
import types
from pathlib import Path

import pytest

import quillmarsh.codecs._jxl as _jxl
from quillmarsh.codecs import jxl

STUB = Path(_jxl.__file__).with_name("_jxl.pyi")
if not STUB.exists():  # an installed copy without stubs: compare with the source tree's
    STUB = Path(__file__).resolve().parents[1] / "src" / "quillmarsh" / "codecs" / "_jxl.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))

PUBLIC = ["JxlReader", "JxlWriter", "decode", "encode", "frame_count", "frames_info",
          "thumbnail_bytes", "preview_bytes_needed",
          "transcode_jpeg", "reconstruct_jpeg",
          "check_signature", "libjxl_version", "JxlError"]


def _params(fn: ast.FunctionDef, defaults=None):
    """(name, kind, default) triples; kind is 'pos' or 'kw'."""
    def value(node):
        if node is None:
            return "<required>"
        if isinstance(node, ast.Name) and node.id.startswith("_d"):
            return defaults[int(node.id[2:])]
        return ast.literal_eval(node)

    a = fn.args
    pos = a.posonlyargs + a.args
    pad = [None] * (len(pos) - len(a.defaults))
    out = [(p.arg, "pos", value(d)) for p, d in zip(pos, pad + a.defaults)]
    out += [(p.arg, "kw", value(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return out


def _runtime_params(obj):
    """Parameters of a public callable: a plain function forwarding to the
    nanobind one, or a nanobind function (constructors) with its recorded
    signature."""
    if inspect.isfunction(obj):
        kinds = {inspect.Parameter.POSITIONAL_OR_KEYWORD: "pos",
                 inspect.Parameter.KEYWORD_ONLY: "kw"}
        return [(p.name, kinds[p.kind],
                 "<required>" if p.default is inspect.Parameter.empty else p.default)
                for p in inspect.signature(obj).parameters.values()]
    (text, _doc, defaults), *rest = obj.__nb_signature__
    assert not rest, "overloaded at runtime"
    text = re.sub(r"\\(\d+)", r"_d\1", text)
    fn = ast.parse(text.strip() + ": ...").body[0]
    return _params(fn, defaults)


def _stub_defs(body):
    """name -> list of FunctionDef (several for overloads); properties apart."""
    funcs, props = {}, set()
    for node in body:
        if isinstance(node, ast.FunctionDef):
            decorators = {getattr(d, "id", None) for d in node.decorator_list}
            if "property" in decorators:
                props.add(node.name)
            else:
                funcs.setdefault(node.name, []).append(node)
    return funcs, props


def _stub_classes():
    return {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)
            and not n.name.startswith("_")}


def test_public_module_reexports_exactly_the_public_names():
    assert sorted(jxl.__all__) == sorted(PUBLIC + ["main", "decode_async", "encode_async",
                                                   "transcode_jpeg_async",
                                                   "reconstruct_jpeg_async"])
    for name in PUBLIC:
        assert getattr(jxl, name) is getattr(_jxl, name)


def test_every_public_name_of_the_extension_is_in_the_stub():
    funcs, _ = _stub_defs(TREE.body)
    stubbed = set(funcs) | set(_stub_classes())
    stubbed |= {a.asname for n in TREE.body if isinstance(n, ast.ImportFrom) for a in n.names
                if a.asname == a.name}  # explicit re-exports (JxlError)
    runtime = {n for n, v in vars(_jxl).items()
               if not n.startswith("_") and not isinstance(v, types.ModuleType)}
    assert runtime == set(PUBLIC)
    assert runtime <= stubbed


@pytest.mark.parametrize("name", ["decode", "encode", "frame_count", "frames_info",
                                  "thumbnail_bytes", "preview_bytes_needed",
                                  "check_signature", "libjxl_version"])
def test_function_parameters_match(name):
    funcs, _ = _stub_defs(TREE.body)
    runtime = _runtime_params(getattr(_jxl, name))
    for overload in funcs[name]:
        stub = _params(overload)
        assert [(n, k) for n, k, _ in stub] == [(n, k) for n, k, _ in runtime]
        for (pname, _, sdef), (_, _, rdef) in zip(stub, runtime):
            # An overload may make an optional parameter required (encode's dest).
            assert sdef == rdef or (sdef == "<required>" and len(funcs[name]) > 1), pname


@pytest.mark.parametrize("cls_name", ["JxlReader", "JxlWriter"])
def test_class_members_match(cls_name):
    cls = getattr(_jxl, cls_name)
    funcs, props = _stub_defs(_stub_classes()[cls_name].body)
    public = {n for n in dir(cls) if not n.startswith("_")}
    runtime_props = {n for n in public if isinstance(getattr(cls, n), property)}
    assert runtime_props == props
    assert public - runtime_props == {n for n in funcs if not n.startswith("_")}
    for name, defs in funcs.items():
        member = getattr(cls, name)  # raises if the stub names a missing member
        if not hasattr(member, "__nb_signature__"):
            continue  # a slot of the type itself (pickling refusal)
        runtime = _runtime_params(member)
        stub = _params(defs[0])
        assert [(n, k) for n, k, _ in stub] == [(n, k) for n, k, _ in runtime], name
        assert [d for _, _, d in stub] == [d for _, _, d in runtime], name


def _table_params(cls_name, constructor, leading=()):
    """(name, kind, default, annotation) expected from the class's option table."""
    rows = _jxl._OPTIONS[cls_name]
    taken = [r for r in rows if (r[2] if constructor else r[3]) is not None]
    lead = [(name, "pos", "<required>", ann) for name, ann in leading]
    positional = [r for r in taken if r[4] and not leading]
    keyword = [r for r in taken if not (r[4] and not leading)]

    def default(r):
        text = r[2] if constructor else r[3]
        return "<required>" if text == "" else ast.literal_eval(text)

    return lead + [(r[0], "pos", default(r), r[1]) for r in positional] + \
        [(r[0], "kw", default(r), r[1]) for r in keyword]


def _stub_annotations(fn):
    a = fn.args
    return {p.arg: ast.unparse(p.annotation) for p in a.posonlyargs + a.args + a.kwonlyargs
            if p.annotation is not None}


@pytest.mark.parametrize("cls_name, callable_name, leading", [
    ("JxlReader", "__init__", ()),
    ("JxlReader", "decode", ()),
    ("JxlWriter", "__init__", ()),
    ("JxlWriter", "encode", (("arr", "npt.ArrayLike"),)),
])
def test_option_tables_agree_with_stubs_and_bindings(cls_name, callable_name, leading):
    constructor = callable_name == "__init__"
    expected = _table_params(cls_name, constructor, leading)
    if constructor:
        runtime_obj = getattr(_jxl, cls_name).__init__
        stub_defs = _stub_defs(_stub_classes()[cls_name].body)[0]["__init__"]
    else:
        runtime_obj = getattr(_jxl, callable_name)
        stub_defs = _stub_defs(TREE.body)[0][callable_name]
    runtime = _runtime_params(runtime_obj)
    if constructor:
        runtime = runtime[1:]  # self
    assert runtime == [(n, k, d) for n, k, d, _ in expected]
    for stub_def in stub_defs:
        stub = _params(stub_def)
        if constructor:
            stub = stub[1:]
        annotations = _stub_annotations(stub_def)
        for (name, kind, default, ann), (sname, skind, sdefault) in zip(expected, stub):
            assert (sname, skind) == (name, kind), "stub parameters out of order"
            if len(stub_defs) == 1:
                assert (sdefault, annotations[name]) == (default, ann), name
            else:  # an overload may narrow a parameter (encode's dest)
                assert set(annotations[name].split(" | ")) <= set(ann.split(" | ")), name
        assert len(stub) == len(expected)


def test_package_passes_mypy_strict(tmp_path):
    import importlib.util
    import os
    import subprocess
    import sys

    import quillmarsh
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy not installed")
    root = os.path.dirname(os.path.dirname(quillmarsh.__file__))
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # A source checkout is named through MYPYPATH; an installed package (with
    # py.typed) is found by mypy itself, which refuses site-packages there.
    if not root.rstrip(os.sep).endswith("site-packages"):
        env["MYPYPATH"] = root
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                        str(tmp_path / ".mypy_cache"), "-p", "quillmarsh"],
                       capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stdout + r.stderr
