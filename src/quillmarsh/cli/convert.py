"""``convert``: many images to JPEG XL or back, in parallel processes or on a
Dask cluster.

Each file is one job (`Job` -> `convert_one` -> `Result`); jobs are plain data
and `convert_one` is a module-level function, so they run the same in this
process, in worker processes and on Dask workers.
"""

from __future__ import annotations

import argparse
import dataclasses
import itertools
import os
import sys
import time
from typing import Any, Dict, Iterator, List, Sequence, Tuple

from quillmarsh.codecs.jxl import reconstruct_jpeg, transcode_jpeg

from .base import CAUGHT, CliError, Output, input_error, mib, reading, stderr_is_tty
from .decode import decode_frames, left_out_channels, left_out_note
from .encode import check_not_empty, is_jpeg, write_jxl
from .images import load_image, output_format, write_frames
from .meta import jxl_meta, keep_for_jxl
from .options import (
    add_encode_options,
    add_limits,
    add_quiet,
    count_arg,
    encode_kwargs,
    limit_kwargs,
    lossless_quality,
)

# Inputs taken from folders (files named on the command line are always tried).
IMAGE_INPUTS = (".png", ".apng", ".jpg", ".jpeg", ".jpe", ".tif", ".tiff", ".gif", ".webp", ".npy")
TARGETS = {"jxl": ".jxl", "png": ".png", "tif": ".tif", "jpg": ".jpg", "npy": ".npy"}


def register(sub: Any) -> None:
    p = sub.add_parser(
        "convert",
        help="convert many files to JPEG XL (or back) in parallel",
        description="Convert each SRC (files, and the images in folders) into DIR. To JPEG XL "
        "(the default) from PNG, JPEG, TIFF, GIF, WebP and .npy; JPEG files are recompressed "
        "losslessly (their DCT coefficients kept) unless --quality, --distance, a target, "
        "--progressive, --color or --pixels asks for their pixels. With --to jpg, files made from a JPEG give "
        "that JPEG back bit for bit. With --to png|tif|jpg|npy, JPEG XL files "
        "are decoded instead. A folder's layout below SRC is kept. Failures are listed per "
        "file without stopping the batch; outputs appear whole or not at all; existing "
        "outputs are skipped unless --overwrite. The exit status is 1 when a file failed.",
    )
    p.add_argument("sources", nargs="+", metavar="SRC")
    p.add_argument("--out", "-o", required=True, metavar="DIR", help="output folder (made if needed)")
    p.add_argument("--to", choices=tuple(TARGETS), default="jxl",
                   help="output type (default jxl)")
    p.add_argument("-r", "--recursive", action="store_true", help="include subfolders of folders")
    p.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", "-j", type=count_arg("worker count", 1), default=None,
                       metavar="N", help="worker processes on this machine (default: all cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing Dask distributed cluster, e.g. tcp://host:8786 "
                       "(its workers must see the same files, at the same paths)")
    p.add_argument("--threads", type=count_arg("thread count", 0), default=None, metavar="N",
                   help="libjxl threads per file (default: cores / workers; 1 on a cluster)")
    add_encode_options(p)
    p.add_argument("--pixels", action="store_true",
                   help="encode JPEGs' decoded pixels instead of recompressing them losslessly")
    add_limits(p)
    add_quiet(p)
    p.set_defaults(func=run)


@dataclasses.dataclass(frozen=True)
class Job:
    src: str
    dst: str
    to: str
    overwrite: bool
    encode: Dict[str, Any]   # JxlWriter keyword arguments (to jxl)
    decode: Dict[str, Any]   # decoder keyword arguments (from jxl)
    pixels: bool = False     # encode JPEGs' pixels instead of recompressing them


@dataclasses.dataclass
class Result:
    src: str
    dst: str
    status: str              # "converted", "skipped" or "failed"
    bytes_in: int = 0
    bytes_out: int = 0
    message: str = ""
    notes: Tuple[str, ...] = ()


# --- planning ----------------------------------------------------------------------


def _walk(folder: str, recursive: bool, exts: Tuple[str, ...], skip: str) -> Iterator[str]:
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if os.path.abspath(os.path.join(root, d)) != skip)
        for name in sorted(files):
            if name.lower().endswith(exts) and not name.startswith("."):
                yield os.path.join(root, name)
        if not recursive:
            break


def plan(sources: Sequence[str], out: str, to: str, recursive: bool
         ) -> Tuple[List[Tuple[str, str]], List[Result]]:
    """(source, output) pairs, and the sources that cannot be converted at all."""
    exts = IMAGE_INPUTS if to == "jxl" else (".jxl",)
    suffix = TARGETS[to]
    skip = os.path.abspath(out)  # never convert this run's own outputs
    pairs: List[Tuple[str, str]] = []
    problems: List[Result] = []
    claimed: Dict[str, str] = {}
    for src in sources:
        if os.path.isdir(src):
            found = [(f, os.path.relpath(f, src)) for f in _walk(src, recursive, exts, skip)]
        elif os.path.exists(src):
            found = [(src, os.path.basename(src))]
        else:
            problems.append(Result(src, "", "failed", message=f"{src}: no such file or folder"))
            continue
        for path, rel in found:
            dst = os.path.join(out, os.path.splitext(rel)[0] + suffix)
            key = os.path.abspath(dst)
            if key in claimed:
                problems.append(Result(path, dst, "failed", message=f"{path}: same output {dst} "
                                       f"as {claimed[key]}; convert one of them separately"))
                continue
            claimed[key] = path
            pairs.append((path, dst))
    return pairs, problems


# --- one file ------------------------------------------------------------------------


def _recompresses(job: Job) -> bool:
    """Whether a JPEG input is recompressed losslessly: unless a setting asks for
    its pixels (lossy coding, --pixels, progressive coding, another colour)."""
    enc = job.encode
    return (not job.pixels and enc.get("quality") is None and enc.get("distance") is None
            and enc.get("target_score") is None and enc.get("target_size") is None
            and not enc.get("progressive") and enc.get("color") is None)


def _to_jxl(job: Job, notes: List[str]) -> None:
    if not job.src.lower().endswith(".npy") and is_jpeg(job.src) and _recompresses(job):
        effort = job.encode.get("effort") or 7
        with reading(job.src):
            try:
                data = transcode_jpeg(job.src, effort=effort,
                                      numthreads=job.encode.get("numthreads"))
            except ValueError as exc:  # a JPEG libjxl cannot keep as it is
                notes.append(f"{str(exc).removeprefix('jxl: ')}; its pixels were encoded "
                             "losslessly instead")
                data = None
        if data is not None:
            with Output(job.dst) as out:
                out.file.write(data)
            return
    arr, meta = load_image(job.src, animation=True, quiet_frames=True, warn=notes.append)
    kept: Dict[str, Any] = {}
    if job.src.lower().endswith(".npy"):
        animation = arr.ndim == 4
        check_not_empty(job.src, arr, animation)
        frames = list(arr) if animation else [arr]
    else:
        animation = arr.shape[0] > 1
        arr, kept = keep_for_jxl(job.src, arr, meta, stacked=True,
                                 color_given=job.encode.get("color") is not None,
                                 warn=notes.append)
        frames = list(arr)
        if not animation:  # a still keeps its metadata but has no timing
            kept.pop("duration", None)
            kept.pop("loops", None)
    with Output(job.dst) as out:
        write_jxl(job.src, out, frames, dict(job.encode, animation=animation, **kept))


def _from_jxl(job: Job, notes: List[str]) -> None:
    fmt = output_format(job.dst)
    if fmt == "JPEG":  # a file made from a JPEG gives that JPEG back, bit for bit
        with reading(job.src):
            try:
                data = reconstruct_jpeg(job.src, numthreads=job.decode.get("numthreads"),
                                        max_pixels=job.decode.get("max_pixels"))
            except ValueError as exc:
                if str(exc) != "jxl: no JPEG reconstruction data in this file":
                    raise
                data = None
        if data is not None:
            with Output(job.dst) as out:
                out.file.write(data)
            return
    meta, keep_orientation = (None, False) if fmt is None else jxl_meta(
        job.src, fmt, all_frames=True, warn=notes.append)
    colour_of = left_out_channels(job.src, to_array=fmt is None)
    if colour_of is not None:
        notes.append(left_out_note(job.src, colour_of))
    frames, bits = decode_frames(job.src, index=None, progress=False,
                                 keep_orientation=keep_orientation, colour_of=colour_of,
                                 **job.decode)
    with Output(job.dst) as out:
        write_frames(out, frames, fmt, bits, warn=notes.append, meta=meta)


def convert_one(job: Job) -> Result:
    """Convert one file; every failure becomes a failed Result, never an exception."""
    notes: List[str] = []
    result = Result(job.src, job.dst, "failed")
    try:
        result.bytes_in = os.path.getsize(job.src)
        if os.path.exists(job.dst) and not job.overwrite:
            result.status = "skipped"
            return result
        parent = os.path.dirname(job.dst)
        if parent:
            try:
                os.makedirs(parent, exist_ok=True)
            except OSError as exc:  # the output's folder, not the source, is at fault
                raise CliError(f"{parent}: cannot make the output folder: "
                               f"{exc.strerror or exc}") from exc
        (_to_jxl if job.to == "jxl" else _from_jxl)(job, notes)
        result.bytes_out = os.path.getsize(job.dst)
        result.status = "converted"
    except CliError as exc:
        result.message = str(exc)
    except CAUGHT as exc:
        result.message = str(input_error(job.src, exc))
    except Exception as exc:  # a bug must not stop the batch either
        result.message = f"{job.src}: {type(exc).__name__}: {exc}"
    result.notes = tuple(notes)
    return result


# --- running many --------------------------------------------------------------------


def _local(jobs: List[Job], workers: int) -> Iterator[Result]:
    """Results as they finish. The worker processes are started by the first
    next() (before anything else of the batch runs), then the jobs run."""
    if workers == 1 or len(jobs) == 1:
        yield from (convert_one(job) for job in jobs)
        return
    import concurrent.futures as cf
    import multiprocessing

    # Forked workers start at once with everything imported; that is safe
    # only while this process runs no other thread, so the pool is started
    # before the progress bar (the executor forks all workers before its own
    # management thread). Elsewhere, fresh interpreters.
    method = "fork" if sys.platform.startswith("linux") else "spawn"
    ctx = multiprocessing.get_context(method)
    with cf.ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=ctx) as pool:
        futures = {pool.submit(convert_one, job): job for job in jobs}
        try:
            for fut in cf.as_completed(futures):
                yield _outcome(fut, futures[fut])
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def _outcome(fut: Any, job: Job) -> Result:
    try:
        result: Result = fut.result()
    except Exception as exc:  # the worker itself failed (killed, out of memory, lost)
        return Result(job.src, job.dst, "failed",
                      message=f"{job.src}: worker failed: {type(exc).__name__}: {exc}")
    return result


def _cluster(jobs: List[Job], address: str) -> Iterator[Result]:
    try:
        import distributed
    except ImportError:
        raise CliError("--scheduler needs Dask's distributed scheduler, which is not "
                       "installed: pip install 'quillmarsh[batch]'") from None
    dist: Any = distributed  # untyped library
    try:
        client = dist.Client(address, timeout="20s")
    except (OSError, TimeoutError, ValueError) as exc:
        raise CliError(f"cannot reach the Dask scheduler at {address}: {exc}") from exc
    with client:
        futures = client.map(convert_one, jobs, pure=False)
        by_key = {f.key: job for f, job in zip(futures, jobs)}
        for fut in dist.as_completed(futures):
            yield _outcome(fut, by_key[fut.key])


class _Bar:
    """tqdm's progress bar on a terminal; nothing otherwise."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.bar: Any = None
        if enabled and stderr_is_tty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ImportError:
                return
            try:
                cols = os.get_terminal_size(sys.stderr.fileno()).columns
            except (OSError, ValueError):
                cols = 0
            # A terminal that reports no size (a bare pseudo-terminal) still gets a bar.
            width: Dict[str, Any] = {"dynamic_ncols": True} if cols > 0 else {"ncols": 80, "nrows": 24}
            self.bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False, **width)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.clear()
        sys.stderr.write(line + "\n")
        if self.bar is not None:
            self.bar.refresh()

    def update(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _summary(results: List[Result], seconds: float, where: str, to: str) -> str:
    done = [r for r in results if r.status == "converted"]
    skipped = sum(r.status == "skipped" for r in results)
    failed = sum(r.status == "failed" for r in results)
    b_in = sum(r.bytes_in for r in done)
    b_out = sum(r.bytes_out for r in done)
    ratio = f"{b_out / b_in:.3f}" if b_in else "-"
    rate = len(done) / seconds if seconds > 0 else 0.0
    lines = [f"converted {len(done)} file{'s' * (len(done) != 1)} to {to}, skipped {skipped}"
             f"{' (outputs exist; --overwrite replaces them)' if skipped else ''}, failed {failed}",
             f"in {mib(b_in)}, out {mib(b_out)} (out/in {ratio}), {seconds:.2f} s, "
             f"{rate:.1f} files/s, {where}"]
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    out: str = args.out
    lossless_quality(args)
    if os.path.exists(out) and not os.path.isdir(out):
        raise CliError(f"{out}: not a folder")
    pairs, problems = plan(args.sources, out, args.to, args.recursive)
    if not pairs and not problems:
        raise CliError(f"no {'images' if args.to == 'jxl' else 'JPEG XL files'} found in "
                       f"{', '.join(args.sources)}{'' if args.recursive else ' (-r for subfolders)'}")
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise CliError(f"{out}: cannot make the output folder: {exc.strerror or exc}") from exc
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    workers = args.workers or cores
    threads = args.threads
    if threads is None:
        threads = 1 if args.scheduler else max(1, cores // workers)
    enc = dict(encode_kwargs(args), numthreads=threads)
    dec = dict(limit_kwargs(args), numthreads=threads)
    if args.scheduler:  # workers have their own working folders: give them full paths
        pairs = [(os.path.abspath(src), os.path.abspath(dst)) for src, dst in pairs]
    jobs = [Job(src, dst, args.to, bool(args.overwrite), enc, dec, bool(args.pixels))
            for src, dst in pairs]
    where = (f"Dask cluster {args.scheduler}" if args.scheduler else
             f"{min(workers, max(len(jobs), 1))} worker process"
             f"{'es' * (min(workers, max(len(jobs), 1)) != 1)}")

    results: List[Result] = []
    t0 = time.perf_counter()
    stream: Iterator[Result] = (_cluster(jobs, args.scheduler) if args.scheduler
                                else _local(jobs, workers))
    first = next(stream, None)  # workers up before the bar's thread exists
    bar = _Bar(len(jobs), not args.quiet)
    try:
        for r in problems:
            results.append(r)
            bar.say(f"quillmarsh-jxl: {r.message}")
        for r in itertools.chain([] if first is None else [first], stream):
            results.append(r)
            bar.update()
            if r.status == "failed":
                bar.say(f"quillmarsh-jxl: {' '.join(r.message.split())}")
            elif not args.quiet:
                for text in r.notes:
                    bar.say(f"quillmarsh-jxl: note: {r.src}: {text.removeprefix(r.src + ': ')}")
    finally:
        bar.close()
    seconds = time.perf_counter() - t0
    if not args.quiet:
        print(_summary(results, seconds, where, args.to))
    return 1 if any(r.status == "failed" for r in results) else 0
