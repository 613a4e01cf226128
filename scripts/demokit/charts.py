"""The comparison as pictures: rate-quality and speed charts (matplotlib)."""

from __future__ import annotations

import math
from typing import Dict, List

from .compare import Comparison, Point

# One colour and marker per format; JPEG XL drawn heaviest.
STYLE: Dict[str, Dict[str, object]] = {
    "JPEG XL": {"color": "#d62728", "marker": "*", "markersize": 13, "linewidth": 2.6, "zorder": 5},
    "AVIF": {"color": "#1f77b4", "marker": "o", "markersize": 6, "linewidth": 1.6, "zorder": 4},
    "WebP": {"color": "#2ca02c", "marker": "s", "markersize": 6, "linewidth": 1.6, "zorder": 3},
    "JPEG": {"color": "#7f7f7f", "marker": "D", "markersize": 6, "linewidth": 1.6, "zorder": 2},
}


def _pyplot():  # type: ignore[no-untyped-def]
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    return plt


def _plain_log_ticks(axis) -> None:  # type: ignore[no-untyped-def]
    """Log axes labelled 0.2, 0.5, 1, 2 rather than 2x10^-1."""
    from matplotlib.ticker import FuncFormatter, LogLocator

    axis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    axis.set_minor_formatter(FuncFormatter(lambda v, _: ""))


def _curves(cmp: Comparison) -> Dict[str, List[Point]]:
    # The sweep only: the matched-size encodes are shown with the crops.
    return {name: pts for name, pts in cmp.by_format().items() if pts}


def rate_quality_chart(cmp: Comparison, path: str, title: str) -> str:
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(9, 5.6), dpi=110)
    for name, pts in _curves(cmp).items():
        style = STYLE.get(name, {"marker": "o"})
        finite = [p for p in pts if math.isfinite(p.score)]
        ax.plot([p.bpp for p in finite], [p.score for p in finite], label=name, **style)
        if name == "JPEG XL":
            for p in finite:
                ax.annotate(f"d{p.setting:g}", (p.bpp, p.score), textcoords="offset points",
                            xytext=(6, -12), fontsize=8, color=str(style["color"]))
    for t, marker in zip(cmp.targets, ("P", "X")):
        p = t.point
        if math.isfinite(p.score):
            ax.plot([p.bpp], [p.score], linestyle="none", marker=marker, markersize=11,
                    color="#8c0000", zorder=6, label=f"JPEG XL {t.label}")
    ax.axvline(8.0 * cmp.target_size / (cmp.width * cmp.height), color="#999999",
               linestyle=":", linewidth=1)
    ax.set_xscale("log")
    _plain_log_ticks(ax.xaxis)
    ax.set_xlabel("bits per pixel (log scale; smaller file to the left)")
    ax.set_ylabel(cmp.metric.axis_label)
    ax.set_title(title, fontsize=11)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(title="format (★ = JPEG XL points)", loc="lower right")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path


def speed_chart(cmp: Comparison, path: str, title: str) -> str:
    plt = _pyplot()
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), dpi=100, sharex=True)
    for ax, what, attr in ((axes[0], "encode", "mpx_per_s_encode"),
                           (axes[1], "decode", "mpx_per_s_decode")):
        for name, pts in _curves(cmp).items():
            style = STYLE.get(name, {"marker": "o"})
            ax.plot([p.bpp for p in pts], [getattr(p, attr) for p in pts], label=name, **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        _plain_log_ticks(ax.xaxis)
        _plain_log_ticks(ax.yaxis)
        ax.set_xlabel("bits per pixel (log scale)")
        ax.set_ylabel(f"{what} speed, megapixels per second (log scale)")
        ax.set_title(f"{what} (fastest of up to 5 runs within 0.3 s; higher is faster)", fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
    axes[1].legend(loc="best")
    fig.suptitle(title, fontsize=11)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path
