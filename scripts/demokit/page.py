"""A self-contained HTML report: one page, images as files beside it."""

from __future__ import annotations

import html
import os
from dataclasses import dataclass
from typing import Iterable, List, Optional, Sequence

CSS = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1100px;
       padding: 0 1em; color: #222; }
h1 { font-size: 1.6em; } h2 { margin-top: 2em; border-bottom: 1px solid #ddd; }
table { border-collapse: collapse; margin: 0.8em 0; font-size: 0.9em; }
th, td { padding: 0.25em 0.7em; border-bottom: 1px solid #eee; text-align: right; }
th:first-child, td:first-child, td.text { text-align: left; }
tr.jxl td { background: #fff3f3; }
figure { display: inline-block; margin: 0.5em 0.8em 0.5em 0; vertical-align: top; }
figcaption { font-size: 0.85em; color: #555; max-width: 520px; }
img.chart { max-width: 100%; border: 1px solid #ddd; }
img.crop { width: 512px; image-rendering: pixelated; border: 1px solid #ccc; }
.note { color: #555; font-size: 0.9em; }
"""


def esc(text: object) -> str:
    return html.escape(str(text), quote=True)


@dataclass
class Section:
    """One part of the report: a heading and its HTML body."""

    id: str
    title: str
    body: str


def table(head: Sequence[str], rows: Iterable[Sequence[object]],
          row_classes: Optional[Sequence[str]] = None, text_cols: Sequence[int] = ()) -> str:
    out = ["<table>", "<tr>" + "".join(f"<th>{esc(h)}</th>" for h in head) + "</tr>"]
    for i, row in enumerate(rows):
        cls = row_classes[i] if row_classes and row_classes[i] else ""
        cells = "".join(
            f'<td class="text">{esc(v)}</td>' if j in text_cols else f"<td>{esc(v)}</td>"
            for j, v in enumerate(row))
        out.append(f'<tr class="{cls}">{cells}</tr>' if cls else f"<tr>{cells}</tr>")
    out.append("</table>")
    return "\n".join(out)


def figure(src: str, caption: str, *, alt: str, cls: str = "", img_id: str = "") -> str:
    attrs = f' class="{esc(cls)}"' if cls else ""
    attrs += f' id="{esc(img_id)}"' if img_id else ""
    return (f'<figure><img src="{esc(src)}" alt="{esc(alt)}"{attrs}>'
            f"<figcaption>{caption}</figcaption></figure>")


def relative(path: str, out_dir: str) -> str:
    """A path as the page refers to it: relative, with forward slashes."""
    return os.path.relpath(path, out_dir).replace(os.sep, "/")


def write_page(path: str, title: str, intro: str, sections: Sequence[Section]) -> str:
    toc = "".join(f'<li><a href="#{esc(s.id)}">{esc(s.title)}</a></li>' for s in sections)
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{esc(title)}</title>",
        f"<style>{CSS}</style></head><body>",
        f"<h1>{esc(title)}</h1>",
        intro,
        f"<ul>{toc}</ul>",
    ]
    for s in sections:
        parts.append(f'<section id="{esc(s.id)}"><h2>{esc(s.title)}</h2>\n{s.body}\n</section>')
    parts.append("</body></html>\n")
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(parts))
    os.replace(tmp, path)
    return path
