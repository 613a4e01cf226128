"""Remote files: a URL read by range requests from a local nginx whose /slow/
location is throttled to 5 MB/s, against downloading the file first. Bytes
are nginx's own count ($body_bytes_sent in its access log)."""

from __future__ import annotations

import shutil
import sys
import urllib.request
from pathlib import Path
from typing import List

from harness import Ctx, Row, bench, fmt_t, interleave, median, time_calls, verdict

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from _nginx import Nginx, nginx_binary  # noqa: E402

MB = 1e6
T9A = "1:8 preview of the progressive {big}x{big} over 5 MB/s"
T9B = "basic_info + frame_count of a lossless 16-frame {anim_big}x{anim_big} 16-bit animation over 5 MB/s"
T9C = "full decode of the lossy {big}x{big} over 5 MB/s"


def _download(url: str) -> bytes:
    with urllib.request.urlopen(url) as r:
        data: bytes = r.read()
    return data


def _server(ctx: Ctx, names: List[str]) -> Nginx:
    root = ctx.dir / "www"
    root.mkdir(exist_ok=True)
    for name in names:
        if not (root / f"{name}.jxl").exists():
            shutil.copy(ctx.stream(name), root / f"{name}.jxl")
    binary = nginx_binary()
    if binary is None:
        raise RuntimeError("nginx is not installed")
    return Nginx(root, binary)


def _sent(server: Nginx) -> int:
    return sum(r.sent for r in server.requests())


@bench("Remote", ["9a " + T9A, "9c " + T9C])
def bench_remote_decode(ctx: Ctx) -> List[Row]:
    ctx.need("decode", "thumbnail_bytes", "preview_bytes_needed")
    p, n = ctx.p, ctx.threads
    t9a, t9c = T9A.format(big=p.big), T9C.format(big=p.big)
    try:
        server = _server(ctx, ["big_prog", "big"])
    except RuntimeError as exc:
        return [Row("9a", t9a, status="SKIP", note=str(exc)),
                Row("9c", t9c, status="SKIP", note=str(exc))]
    rows = []
    try:
        # 9a: the preview's bytes and time against downloading and decoding it all.
        path = ctx.stream("big_prog")
        url = server.url("big_prog.jxl", "slow")
        data = path.read_bytes()
        need = ctx.jxl.preview_bytes_needed(data)
        server.requests()
        ctx.jxl.decode(url, numthreads=n, downsample=8)
        sent = _sent(server)
        t = interleave(p.rounds, {
            "preview": lambda: time_calls(lambda: ctx.jxl.decode(url, numthreads=n, downsample=8), 1),
            "whole": lambda: time_calls(lambda: ctx.jxl.decode(_download(url), numthreads=n), 1),
            "local": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n, downsample=8), 1),
        })
        server.requests()
        ds8, whole, local = median(t["preview"]), median(t["whole"]), median(t["local"])
        share, speed = sent / need, whole / ds8
        rows.append(Row("9a", t9a, f"preview {fmt_t(ds8)}", f"download + decode {fmt_t(whole)}",
                        f"{sent} B sent = x{share:.3f} of the DC prefix; x{speed:.1f} faster",
                        "<= x1.15 of the prefix, >= x4 faster", verdict(share <= 1.15 and speed >= 4),
                        f"file {len(data) / MB:.2f} MB, DC prefix {need} B "
                        f"({need / len(data):.1%}); the 1:8 decode of the local file alone "
                        f"takes {fmt_t(local)} (x{whole / local:.1f} below download + decode)"))
        # 9c: decoding overlaps the download.
        path = ctx.stream("big")
        url = server.url("big.jxl", "slow")
        data = path.read_bytes()
        t = interleave(p.rounds, {
            "remote": lambda: time_calls(lambda: ctx.jxl.decode(url, numthreads=n), 1),
            "download": lambda: time_calls(lambda: _download(url), 1),
            "local": lambda: time_calls(lambda: ctx.jxl.decode(data, numthreads=n), 1),
        })
        server.requests()
        remote, dl, local = median(t["remote"]), median(t["download"]), median(t["local"])
        ratio = remote / max(dl, local)
        rows.append(Row("9c", t9c, f"remote {fmt_t(remote)}",
                        f"download {fmt_t(dl)} / local decode {fmt_t(local)}",
                        f"x{ratio:.2f} of max(download, decode)", "<= x1.10",
                        verdict(ratio <= 1.10), f"file {len(data) / MB:.2f} MB; sum would be "
                        f"x{(dl + local) / max(dl, local):.2f}"))
    finally:
        server.stop()
    return rows


@bench("Remote", ["9b " + T9B])
def bench_remote_header(ctx: Ctx) -> List[Row]:
    ctx.need("frame_count", "JxlReader")
    t9b = T9B.format(anim_big=ctx.p.anim_big)
    if "anim_lossless" not in ctx._streams:
        ctx._streams["anim_lossless"] = ctx.encode_file(
            "anim_lossless", ctx.array("anim_big16"), lossless=True, effort=1, animation=True)
    try:
        server = _server(ctx, ["anim_lossless"])
    except RuntimeError as exc:
        return [Row("9b", t9b, status="SKIP", note=str(exc))]
    try:
        size = ctx.stream("anim_lossless").stat().st_size
        url = server.url("anim_lossless.jxl", "slow")
        server.requests()

        def header() -> None:
            with ctx.jxl.JxlReader(url) as r:
                r.basic_info
        t_header = median(interleave(ctx.p.rounds, {"h": lambda: time_calls(header, 1)})["h"])
        header_sent = _sent(server) // ctx.p.rounds
        t_count = median(time_calls(lambda: ctx.jxl.frame_count(url), 1))
        count_sent = _sent(server)
        ok = header_sent + count_sent <= 64 * 1024 and t_header + t_count <= 0.1
        return [Row("9b", t9b, f"basic_info {fmt_t(t_header)} + frame_count {fmt_t(t_count)}",
                    f"{size / MB:.1f} MB file",
                    f"{header_sent} + {count_sent} B sent", "<= 64 KiB, <= 0.1 s", verdict(ok),
                    "frame_count feeds libjxl every byte of the frames it skips, so over a URL "
                    "it downloads the frames; basic_info alone is one first range")]
    finally:
        server.stop()
