"""The report's sections, each built from what the demo measured."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional

from .compare import Comparison
from .page import Section, esc, figure, relative, table


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f}" if seconds >= 0.01 else f"{seconds * 1000:.1f}"


def _score(value: float) -> str:
    return "-" if not math.isfinite(value) else f"{value:.1f}"


def rate_quality(cmp: Comparison, out_dir: str, chart: str, speed: Optional[str]) -> Section:
    body = [
        f"<p>Every format encoded the same {cmp.width}x{cmp.height} image at several "
        "settings; each file was decoded again and scored against the original. "
        f"Quality is measured with {esc(cmp.metric.why)}. Up and to the left is better: "
        "the same quality in fewer bits per pixel. The dotted line is the file size the "
        "crops below share. The two dark marks are JPEG XL encoded to the score and to the "
        "size of JPEG quality 75 (target_score, target_size): the codec found the distance "
        "itself.</p>",
        figure(relative(chart, out_dir), "Bits per pixel against quality, one curve per "
               "format; the stars are JPEG XL, labelled with their distance.",
               alt="rate-quality chart", cls="chart", img_id="chart-rate-quality"),
    ]
    if speed:
        body.append(figure(relative(speed, out_dir), "Encode and decode speed per point: "
                           "the fastest of up to 5 runs within 0.3 s (the machine may be "
                           "busy with other work).",
                           alt="speed chart", cls="chart", img_id="chart-speed"))
    for note in cmp.notes:
        body.append(f'<p class="note">{esc(note)}</p>')
    return Section("rate-quality", "Size against quality", "\n".join(body))


def same_size(cmp: Comparison, out_dir: str) -> Section:
    y, x, h, w = cmp.region
    target_bpp = 8.0 * cmp.target_size / (cmp.width * cmp.height)
    figs = []
    for crop in cmp.crops:
        p = crop.point
        if p is None:
            caption = f"<b>original</b> ({w}x{h} pixels at ({x}, {y}), shown at 2x)"
        else:
            caption = (f"<b>{esc(crop.format)}</b>, {esc(p.setting_text)}: "
                       f"{p.size / 1024:.1f} KiB ({p.bpp:.3f} bpp), "
                       f"{esc(cmp.metric.name)} {_score(p.score)}, PSNR {p.psnr_db:.2f} dB")
        figs.append(figure(relative(crop.path, out_dir), caption,
                           alt=f"crop, {crop.format}", cls="crop"))
    body = (f"<p>The same region (the {w}x{h} window with the most fine detail) of each "
            f"format's decode, with each file at about the size of the {esc(cmp.target_text)} "
            f"file: {cmp.target_size / 1024:.1f} KiB, {target_bpp:.3f} bits per pixel. "
            "The crops are lossless PNG, so they show exactly what each codec kept.</p>\n"
            + "\n".join(figs))
    return Section("same-size", "Same file size, side by side", body)


def points_table(cmp: Comparison) -> Section:
    rows, classes = [], []
    for fmt in cmp.formats:
        for p in sorted((q for q in cmp.points if q.format == fmt.name), key=lambda q: q.size):
            rows.append((p.format, p.setting_text, f"{p.size / 1024:.1f}", f"{p.bpp:.3f}",
                         _score(p.score), f"{p.psnr_db:.2f}", _ms(p.encode_s), _ms(p.decode_s)))
            classes.append("jxl" if fmt.name == "JPEG XL" else "")
    for t in cmp.targets:
        p = t.point
        rows.append((f"JPEG XL {t.label}", f"{p.setting_text} ({t.encodes} trial encodes)",
                     f"{p.size / 1024:.1f}", f"{p.bpp:.3f}", _score(p.score), f"{p.psnr_db:.2f}",
                     _ms(p.encode_s), _ms(p.decode_s)))
        classes.append("jxl")
    settings = "".join(f"<li><b>{esc(f.name)}</b> ({esc(f.version)}): {esc(f.settings_text)}</li>"
                       for f in cmp.formats)
    body = (table(["format", "setting", "KiB", "bpp", cmp.metric.name, "PSNR dB",
                   "encode ms", "decode ms"], rows, classes, text_cols=(1,))
            + f"<p>Encoders and their fixed settings:</p><ul>{settings}</ul>"
            + '<p class="note">Times are the fastest of up to 5 runs within 0.3 s on this '
            "machine (one run for slow encodes), not a benchmark; "
            "JPEG and WebP encode on one core, JPEG XL and AVIF on all of them.</p>")
    return Section("table", "Every point measured", body)


def jxl_modes(res: Any) -> Section:
    rows = [(r.name, f"{r.size / 1024:.1f}", f"{r.bpp:.3f}", f"{r.raw_bytes / r.size:.1f}x",
             r.quality_text(), _ms(r.encode_s), _ms(r.decode_s)) for r in res.rows]
    features = table(["what", "result", "time"], res.features, text_cols=(1, 2))
    bad = [name for name, ok in res.checks.items() if not ok]
    checks = "all passed" if not bad else "FAILED: " + ", ".join(bad)
    body = (f"<p>Lossless and lossy, progressive and not, an animation and a 16-bit "
            f"master, {res.width}x{res.height}, from quillmarsh.codecs.jxl.</p>"
            + table(["variant", "KiB", "bpp", "vs raw", "reconstruction", "encode ms",
                     "decode ms"], rows, text_cols=(4,))
            + "<p>Decoding features:</p>" + features
            + f"<p>Checks: {esc(checks)}.</p>")
    return Section("jxl-modes", "JPEG XL modes and decoding features", body)


def previews(res: Any, out_dir: str, images: Dict[str, str]) -> Section:
    """images: role -> path, for "thumbnail", "full" and "frame"."""
    prefix = res.dc_prefix.get("q90_progressive")
    prefix_text = (f"the first {prefix / 1024:.1f} KiB of the file (thumbnail_bytes) already "
                   "hold it" if prefix else "no DC prefix was found")
    figs = [
        figure(relative(images["thumbnail"], out_dir),
               f"1:8 preview of the progressive quality-90 file "
               f"(decode(downsample=8)); {esc(prefix_text)}.",
               alt="1:8 progressive preview", img_id="thumbnail"),
        figure(relative(images["frame"], out_dir),
               "The last frame of the panning animation, decoded alone with decode(index=...).",
               alt="animation frame", img_id="animation-frame"),
    ]
    body = "\n".join(figs)
    if "full" in images:
        body += (f'<p>Full decode of the quality-90 file: '
                 f'<a href="{esc(relative(images["full"], out_dir))}">'
                 f"{esc(os.path.basename(images['full']))}</a>.</p>")
    return Section("previews", "Progressive preview and animation", body)


def files(out_dir: str, paths: List[str]) -> Section:
    items = "".join(f'<li><a href="{esc(relative(p, out_dir))}">{esc(relative(p, out_dir))}</a>'
                    f" ({os.path.getsize(p) / 1024:.1f} KiB)</li>" for p in paths
                    if os.path.exists(p))
    return Section("files", "Files", f"<ul>{items}</ul>")
