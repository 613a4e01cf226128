#!/usr/bin/env python3
"""Lists the code that outgrew the project's size rules.

    python scripts/check-sizes.py [--root DIR]

C++ under src/quillmarsh/codecs: functions over 100 lines, files over 900
lines, classes and structs with more than 20 data members. Python under
src/quillmarsh: functions over 100 lines. One line per finding; exit status
1 when there is any.

The C++ side is a heuristic, not a parser: comments, string and character
literals are blanked, then braces are matched. A brace opens a function body
when the text before it ends in a parameter list (and optional qualifiers or a
constructor's initializer list); classes, structs, unions and namespaces are
entered; any other brace at namespace or class level (an initializer, an enum)
is skipped whole. A data member is a declaration at class level that declares
no function (a function pointer counts as data); static members do not count.
"""

from __future__ import annotations

import argparse
import ast
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List

MAX_FUNCTION_LINES = 100
MAX_FILE_LINES = 900
MAX_DATA_MEMBERS = 20


@dataclass
class Finding:
    path: Path
    line: int
    what: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.what}"


# ---- C++ -------------------------------------------------------------------

_RAW_STRING = re.compile(r'R"([^()\\ ]{0,16})\((.*?)\)\1"', re.S)


def blank_comments_and_literals(text: str) -> str:
    """The text with comments and literals replaced by spaces (newlines kept)."""
    text = _RAW_STRING.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)
    out: List[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):  # 1'000 separators
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + c)
            i = j
            continue
        else:
            out.append(c)
            i += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[i:j]))
        i = j
    return "".join(out)


_CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else|try)\s*(\(|$)")
_RECORD = re.compile(r"\b(class|struct|union)\b")
_FUNCTION_TAIL = re.compile(
    r"\)\s*(const|noexcept(\s*\([^()]*\))?|override|final|mutable|&|&&|\s)*"
    r"(->\s*[\w:<>,\s*&]+)?\s*$")
_ACCESS = re.compile(r"^\s*(public|private|protected)\s*:")


def _strip_templates(header: str) -> str:
    """`template <...>` prefixes removed (their `class` is not a record)."""
    while True:
        m = re.search(r"\btemplate\s*<", header)
        if not m:
            return header
        depth, j = 0, m.end() - 1
        while j < len(header):
            depth += {"<": 1, ">": -1}.get(header[j], 0)
            if depth == 0:
                break
            j += 1
        header = header[:m.start()] + header[j + 1:]


def _kind_of(header: str) -> str:
    """What a brace after `header` (the text since the last statement) opens."""
    h = _ACCESS.sub("", _strip_templates(header)).strip()
    if re.search(r"\bnamespace\b", h) or re.fullmatch(r"extern\s*(\"\s*\")?", h):
        return "namespace"
    if re.search(r"\benum\b", h):
        return "opaque"
    if _RECORD.search(h) and "(" not in h and "=" not in h:
        return "record"
    if "(" not in h or _CONTROL.search(h):
        return "opaque"
    # A constructor's initializer list: `X(...) : a_(a), b_(b)`.
    paren = 0
    for k, ch in enumerate(h):
        paren += {"(": 1, ")": -1}.get(ch, 0)
        if ch == ":" and paren == 0 and h[k - 1:k + 1] != "::" and h[k:k + 2] != "::":
            if ")" not in h[:k] or re.search(r"[\w>]$", h):
                return "opaque"  # not a function, or a member's brace initializer `b_{b}`
            return "function"
    if re.search(r"=\s*[^=]", h.split("(")[0]):
        return "opaque"  # an initializer: `auto f = [](...) {`
    return "function" if _FUNCTION_TAIL.search(h) else "opaque"


def _top_level(s: str) -> str:
    """`s` with what is nested in <>, () or {} left out (the outer brackets
    stay); `<` opens a template's arguments only right after a name."""
    out: List[str] = []
    stack: List[str] = []
    closing = {"(": ")", "{": "}", "<": ">"}
    for k, ch in enumerate(s):
        opens = ch in "({" or (ch == "<" and k > 0 and (s[k - 1].isalnum() or s[k - 1] == "_"))
        closes = bool(stack) and ch == closing[stack[-1]]
        if not stack or (closes and len(stack) == 1) or (opens and not stack):
            out.append(ch)
        if opens:
            stack.append(ch)
        elif closes:
            stack.pop()
    return "".join(out)


def _count_members(statement: str) -> int:
    """Data members a class-level declaration adds (0 for anything else)."""
    s = _ACCESS.sub("", statement).strip()
    while _ACCESS.match(s):
        s = _ACCESS.sub("", s).strip()
    if not s or re.match(r"(using|typedef|friend|static|template|enum|class|struct|union)\b", s):
        return 0
    top = _top_level(s)
    declarator = re.split(r"(?<![=!<>])=(?!=)", top)[0]  # before an initializer
    if re.search(r"\boperator\b", s):
        return 0
    if "(" in declarator and not re.search(r"\(\s*\*\s*\w+\s*\)\s*\(", s):
        return 0  # a member function's declaration (a function pointer is data)
    return 1 + top.count(",")


def _line_of(text: str, pos: int) -> int:
    return text.count("\n", 0, pos) + 1


def check_cpp_file(path: Path, shown: Path) -> Iterator[Finding]:
    raw = path.read_text(encoding="utf-8", errors="replace")
    lines = raw.count("\n") + (not raw.endswith("\n"))
    if lines > MAX_FILE_LINES:
        yield Finding(shown, 1, f"file of {lines} lines (limit {MAX_FILE_LINES})")
    text = blank_comments_and_literals(raw)
    # Open namespaces and records: [kind, declaration line, data members].
    stack: List[list] = [["namespace", 1, 0]]
    start = 0  # where the current statement's text begins
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == ";":
            if stack[-1][0] == "record":
                stack[-1][2] += _count_members(text[start:i])
            start = i + 1
        elif c == "{":
            header = text[start:i]
            kind = _kind_of(header)
            if kind == "opaque":  # an initializer or an enum: part of the statement
                i = _matching(text, i) + 1
                continue
            first = _line_of(text, start + len(header) - len(header.lstrip()))
            if kind == "function":
                m = re.search(r"(operator\s*[^\s(]+|[\w:~]+)\s*\(", header)
                first = _line_of(text, start + (m.start() if m else 0))
                end = _matching(text, i)
                length = _line_of(text, end) - first + 1
                if length > MAX_FUNCTION_LINES:
                    yield Finding(shown, first, f"function of {length} lines "
                                  f"(limit {MAX_FUNCTION_LINES}): {_first_line(raw, first)}")
                i, start = end + 1, end + 1
                continue
            stack.append([kind, first, 0])
            start = i + 1
        elif c == "}":
            if len(stack) > 1:
                kind, first, members = stack.pop()
                if kind == "record" and members > MAX_DATA_MEMBERS:
                    yield Finding(shown, first, f"{members} data members (limit "
                                  f"{MAX_DATA_MEMBERS}): {_first_line(raw, first)}")
            start = i + 1
            # `struct X {...} x;` declares a member of the enclosing record
            # only with a name after the brace; `};` adds none.
        i += 1


def _matching(text: str, open_pos: int) -> int:
    depth = 0
    for j in range(open_pos, len(text)):
        if text[j] == "{":
            depth += 1
        elif text[j] == "}":
            depth -= 1
            if depth == 0:
                return j
    return len(text) - 1


def _first_line(raw: str, line: int) -> str:
    """The declaration's first line, shortened."""
    s = " ".join(raw.splitlines()[line - 1].split())
    return s if len(s) <= 90 else s[:87] + "..."


# ---- Python ----------------------------------------------------------------

def check_python_file(path: Path, shown: Path) -> Iterator[Finding]:
    tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            first = min([node.lineno] + [d.lineno for d in node.decorator_list])
            length = (node.end_lineno or node.lineno) - first + 1
            if length > MAX_FUNCTION_LINES:
                yield Finding(shown, node.lineno, f"function of {length} lines "
                              f"(limit {MAX_FUNCTION_LINES}): {node.name}")


def check(root: Path) -> List[Finding]:
    found: List[Finding] = []
    codecs = root / "src" / "quillmarsh" / "codecs"
    for path in sorted(codecs.rglob("*")):
        if path.suffix in (".cpp", ".h", ".hpp", ".cc") and path.is_file():
            found += check_cpp_file(path, path.relative_to(root))
    for path in sorted((root / "src" / "quillmarsh").rglob("*.py")):
        found += check_python_file(path, path.relative_to(root))
    return found


def main(argv: List[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", type=Path, default=Path(__file__).resolve().parents[1])
    args = ap.parse_args(argv)
    found = check(args.root)
    for f in found:
        print(f)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
