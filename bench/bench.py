#!/usr/bin/env python3
"""Benchmark of the kiv module against stdlib zlib, isal, zlib-ng and libdeflate's bindings.

Every compressor runs in this one process on the same data; repetitions interleave the compressors and
the figures are medians. Single-thread workloads are timed in thread CPU time, the two-thread workload in
wall time. Every output is decoded once and compared with its input.

    python bench/bench.py                 # full run on the Silesia files, results in bench/results/
    python bench/bench.py --quick         # smoke test on a small input, well under a minute
    python bench/bench.py --no-engine-ab  # without the engine's A/B run against its earlier build

The report opens with the goals of the one-core work, read off this run: kiv level 1 against isal level 0,
the engine against its earlier build (bench/native/ab.sh, interleaved in one native process, when the
checkout has that commit and a C++ compiler is at hand), and the per-call cost of 4 KiB and 256-byte calls
against every peer.

Data: the Silesia files (../shared/corpus/silesia/*.zip beside the repository, read in memory) when
present, otherwise the running interpreter's standard-library sources.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from demo import stdlib_sources  # the demo's default input is the benchmark's fallback data

HERE = Path(__file__).resolve().parent
DEFAULT_CORPUS = HERE.parent.parent / "shared" / "corpus" / "silesia"
DEFAULT_OUT = HERE / "results"

FORMATS = ("gzip", "zlib", "raw")
WBITS = {"gzip": 31, "zlib": 15, "raw": -15}
KIV_FORMAT = {"gzip": 0, "zlib": 1, "raw": 2}
MB = 1e6
CHUNK = 64 * 1024


# ---------------------------------------------------------------------------------------------- compressors

@dataclass
class Codec:
    name: str  # kiv, zlib, isal, zlib-ng, deflate
    level: int
    fmt: str
    new: Optional[Callable[[], object]] = None  # streaming object with compress() and flush()
    oneshot: Optional[Callable[[bytes], bytes]] = None  # whole input in one call

    @property
    def label(self) -> str:
        return f"{self.name}-{self.level}"


LEFT_OUT: set[str] = set()


def make_codec(name: str, level: int, fmt: str) -> Optional[Codec]:
    """The codec, or None when its package is not installed or does not take the level."""
    wbits = WBITS[fmt]
    try:
        if name == "kiv":
            import kiv
            kfmt = {"gzip": kiv.KIV_FMT_GZIP, "zlib": kiv.KIV_FMT_ZLIB, "raw": kiv.KIV_FMT_DEFLATE}[fmt]
            return Codec(name, level, fmt, new=lambda: kiv.compressobj(level=level, format=kfmt))
        if name == "zlib":
            return Codec(name, level, fmt, new=lambda: zlib.compressobj(level, zlib.DEFLATED, wbits))
        if name == "isal":
            from isal import isal_zlib
            return Codec(name, level, fmt, new=lambda: isal_zlib.compressobj(level, isal_zlib.DEFLATED, wbits))
        if name == "zlib-ng":
            from zlib_ng import zlib_ng
            return Codec(name, level, fmt, new=lambda: zlib_ng.compressobj(level, zlib_ng.DEFLATED, wbits))
        if name == "deflate":
            import deflate
            fn = {"gzip": deflate.gzip_compress, "zlib": deflate.zlib_compress, "raw": deflate.deflate_compress}[fmt]
            probe = b"level probe " * 8
            if zlib.decompress(fn(probe, level), wbits) != probe:
                return None
            return Codec(name, level, fmt, oneshot=lambda data: fn(data, level))
    except Exception as e:  # noqa: BLE001 - a peer that is missing or refuses the level is left out
        note = f"  ({name} level {level} left out: {type(e).__name__}: {e})"
        if note not in LEFT_OUT:
            LEFT_OUT.add(note)
            print(note, file=sys.stderr)
        return None
    raise ValueError(f"unknown compressor {name!r}")


# Compressors and levels in table order.
LINEUP = [("kiv", 0), ("kiv", 1), ("zlib", 0), ("zlib", 1), ("zlib", 6), ("isal", 0), ("isal", 1),
          ("zlib-ng", 1), ("deflate", 0), ("deflate", 1)]


def codecs_for(formats) -> list[Codec]:
    out = []
    for fmt in formats:
        for name, level in LINEUP:
            c = make_codec(name, level, fmt)
            if c is not None:
                out.append(c)
    return out


def run_stream(codec: Codec, chunks: list[bytes]) -> list[bytes]:
    obj = codec.new()
    compress = obj.compress
    parts = [compress(c) for c in chunks]
    parts.append(obj.flush())
    return parts


def check(codec: Codec, parts: list[bytes], expected: bytes, what: str) -> bool:
    d = zlib.decompressobj(WBITS[codec.fmt])
    try:
        back = d.decompress(b"".join(parts)) + d.flush()
        ok = d.eof and not d.unused_data and back == expected
    except zlib.error:
        ok = False
    if not ok:
        print(f"VERIFY FAILED: {codec.label} {codec.fmt} {what}", file=sys.stderr)
    return ok


# ---------------------------------------------------------------------------------------------- data

def load_data(corpus: Path, limit: Optional[int]) -> tuple[list[tuple[str, bytes]], str, str]:
    files = []
    zips = sorted(corpus.glob("*.zip")) if corpus.is_dir() else []
    for z in zips:
        with zipfile.ZipFile(z) as zf:
            for info in zf.infolist():
                if not info.is_dir():
                    files.append((Path(info.filename).name, zf.read(info)))
    if files:
        desc = f"Silesia corpus, {len(files)} files from {corpus}"
        short = "Silesia"
    else:
        files = [("stdlib-py", stdlib_sources())]
        desc = f"standard-library sources of Python {platform.python_version()} (no corpus at {corpus})"
        short = "Python stdlib sources"
    if limit:
        files = [(n, d[:limit]) for n, d in files]
        desc += f", first {limit // 1024} KiB of each"
        short += f", first {limit // 1024} KiB of each file"
    return files, desc, short


def mixed_sample(files: list[tuple[str, bytes]], size: int) -> bytes:
    """About `size` bytes taken evenly from the start of every file."""
    share = max(1, size // len(files))
    return b"".join(d[:share] for _, d in files)


def split(data: bytes, size: int) -> list[bytes]:
    return [data[i:i + size] for i in range(0, len(data), size)]


# ---------------------------------------------------------------------------------------------- workloads

@dataclass
class Result:
    codec: Codec
    seconds: float  # median over repetitions, total for the workload
    in_bytes: int
    out_bytes: int
    calls: int

    @property
    def mbs(self) -> float:
        return self.in_bytes / MB / self.seconds

    @property
    def ratio(self) -> float:
        return self.in_bytes / self.out_bytes


def single_thread(codecs: list[Codec], inputs: list[list[bytes]], reps: int, what: str, ok: list[bool],
                  streaming_only: bool) -> list[Result]:
    """Each input is a list of calls making one stream; all inputs run in turn, timed as one."""
    chosen = [c for c in codecs if c.new is not None or (not streaming_only and c.oneshot is not None)]
    times = {id(c): [] for c in chosen}
    out_bytes = {}
    in_bytes = sum(len(b) for calls in inputs for b in calls)
    ncalls = sum(len(calls) for calls in inputs)
    for rep in range(reps):
        order = chosen[rep % len(chosen):] + chosen[:rep % len(chosen)] if chosen else []
        for c in order:
            total = 0
            produced = []
            gc.disable()
            t0 = time.thread_time_ns()
            if c.new is not None:
                for calls in inputs:
                    produced.append(run_stream(c, calls))
            else:
                for calls in inputs:
                    produced.append([c.oneshot(b"".join(calls) if len(calls) > 1 else calls[0])])
            t1 = time.thread_time_ns()
            gc.enable()
            times[id(c)].append((t1 - t0) / 1e9)
            total = sum(len(p) for parts in produced for p in parts)
            out_bytes[id(c)] = total
            if rep == 0:
                for calls, parts in zip(inputs, produced):
                    ok.append(check(c, parts, b"".join(calls), what))
            del produced
    return [Result(c, statistics.median(times[id(c)]), in_bytes, out_bytes[id(c)], ncalls) for c in chosen]


def threaded(codecs: list[Codec], sample: bytes, reps: int,
             ok: list[bool]) -> list[tuple[Codec, float, float, float]]:
    """Throughput of two threads on two objects against one thread, wall time, gzip in 64 KiB calls.

    Also returns the overlap of the two threads: the sum of their CPU times over the wall time. It
    exceeds 1 only when both ran at once, which a compressor holding the interpreter lock never allows,
    and it stays meaningful when other work on the machine slows the wall-time figures."""
    calls = split(sample, CHUNK)
    rows = []
    chosen = [c for c in codecs if c.fmt == "gzip" and (c.level == 1 or (c.level == 0 and c.name != "zlib"))]

    def work(c: Codec, barrier: threading.Barrier, sink: list) -> None:
        barrier.wait()
        t0 = time.thread_time_ns()
        if c.new is not None:
            sink.append(run_stream(c, calls))
        else:
            sink.append([c.oneshot(sample)])
        sink.append(time.thread_time_ns() - t0)

    checked: set[int] = set()

    def timed(c: Codec, n: int) -> tuple[float, float]:
        barrier = threading.Barrier(n + 1)
        sinks: list[list] = [[] for _ in range(n)]
        threads = [threading.Thread(target=work, args=(c, barrier, sinks[i])) for i in range(n)]
        for t in threads:
            t.start()
        t0 = time.perf_counter_ns()
        barrier.wait()
        for t in threads:
            t.join()
        t1 = time.perf_counter_ns()
        if id(c) not in checked:
            checked.add(id(c))
            ok.append(check(c, sinks[0][0], sample, "threads"))
        cpu = sum(s[1] for s in sinks)
        return (t1 - t0) / 1e9, cpu / (t1 - t0)

    t1s: dict[int, list[float]] = {id(c): [] for c in chosen}
    t2s: dict[int, list[float]] = {id(c): [] for c in chosen}
    overlap: dict[int, list[float]] = {id(c): [] for c in chosen}
    for rep in range(reps):
        for c in chosen:
            t1s[id(c)].append(timed(c, 1)[0])
            wall, busy = timed(c, 2)
            t2s[id(c)].append(wall)
            overlap[id(c)].append(busy)
    for c in chosen:
        one = len(sample) / MB / statistics.median(t1s[id(c)])
        two = 2 * len(sample) / MB / statistics.median(t2s[id(c)])
        rows.append((c, one, two, statistics.median(overlap[id(c)])))
    return rows


MEMORY_CHILD = "--memory-child"


def memory_child(name: str, level: int, fmt: str, count: int, chunk_path: str) -> None:
    codec = make_codec(name, level, fmt)
    chunk = Path(chunk_path).read_bytes()
    page = os.sysconf("SC_PAGE_SIZE")

    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    objs = [None] * count
    gc.collect()
    base = rss()
    for i in range(count):
        objs[i] = codec.new()
    idle = rss()
    for o in objs:
        o.compress(chunk)
    busy = rss()
    print(json.dumps({"idle": (idle - base) / count, "busy": (busy - base) / count}))


def memory(codecs: list[Codec], chunk: bytes, count: int) -> list[tuple[Codec, Optional[float], Optional[float]]]:
    rows = []
    chosen = [c for c in codecs if c.fmt == "gzip" and c.new is not None and not (c.name == "zlib" and c.level != 1)]
    with tempfile.NamedTemporaryFile(prefix="kiv-bench-", suffix=".bin") as tf:
        tf.write(chunk)
        tf.flush()
        for c in chosen:
            cmd = [sys.executable, str(Path(__file__).resolve()), MEMORY_CHILD, c.name, str(c.level), c.fmt,
                   str(count), tf.name]
            r = subprocess.run(cmd, capture_output=True, text=True)
            if r.returncode != 0:
                print(f"memory run of {c.label} failed: {r.stderr.strip()[-300:]}", file=sys.stderr)
                rows.append((c, None, None))
                continue
            m = json.loads(r.stdout.strip().splitlines()[-1])
            rows.append((c, m["idle"], m["busy"]))
    return rows


# ---------------------------------------------------------------------------------------------- report

def machine() -> list[str]:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    versions = []
    for pkg in ("kiv", "isal", "zlib-ng", "deflate"):
        try:
            versions.append(f"{pkg} {importlib.metadata.version(pkg)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{pkg} (not installed)")
    versions.append(f"stdlib zlib {zlib.ZLIB_RUNTIME_VERSION}")
    return [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores ({usable} usable)",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), {platform.platform()}",
        f"- Packages: {', '.join(versions)}",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
    ]


def load_now() -> str:
    try:
        return " ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "unknown"


def reference(results: list[Result]) -> dict:
    return {r.codec.fmt: r.mbs for r in results if r.codec.name == "zlib" and r.codec.level == 1}


def table(results: list[Result]) -> list[str]:
    ref = reference(results)
    lines = ["| compressor | level | format | MB/s | x zlib level 1 | ratio |", "|---|---:|---|---:|---:|---:|"]
    for r in results:
        x = f"{r.mbs / ref[r.codec.fmt]:.2f}" if r.codec.fmt in ref else "-"
        lines.append(f"| {r.codec.name} | {r.codec.level} | {r.codec.fmt} | {r.mbs:.0f} | {x} | {r.ratio:.3f} |")
    return lines


# Compressors that store (ratio about 1): set apart in the small-call goals, since a compressing level is not
# expected to beat them.
def stores(r: Result) -> bool:
    return r.ratio < 1.05


def small_call_table(results: list[Result]) -> list[str]:
    """Per-call cost of every compressor, with each one's cost over that of kiv at the same level group:
    kiv level 1 for the compressing levels, kiv level 0 for the store levels. Above 1 means kiv is faster."""
    kiv = {r.codec.level: r for r in results if r.codec.name == "kiv"}
    lines = ["| compressor | level | format | us per call | x kiv (its time / kiv's) | MB/s | ratio |",
             "|---|---:|---|---:|---:|---:|---:|"]
    for r in results:
        us = r.seconds / r.calls * 1e6
        mate = kiv.get(0 if stores(r) else 1)
        x = "-" if mate is None or mate is r else f"{us / (mate.seconds / mate.calls * 1e6):.2f}"
        lines.append(f"| {r.codec.name} | {r.codec.level} | {r.codec.fmt} | {us:.2f} | {x} | {r.mbs:.0f} | {r.ratio:.3f} |")
    return lines


def goals(whole: list[Result], chunked: list[Result], small: dict[int, list[Result]],
          engine_ab: Optional[list[str]]) -> list[str]:
    """The one-core goals, each with its figure from this run."""
    lines = ["## Goals (one core)", "",
             "| goal | figure in this run | met |", "|---|---|---|"]

    def find(results: list[Result], name: str, level: int, fmt: str) -> Optional[Result]:
        return next((r for r in results if (r.codec.name, r.codec.level, r.codec.fmt) == (name, level, fmt)), None)

    for label, results in (("one call per file", whole), ("64 KiB calls", chunked)):
        for fmt in ("gzip", "raw"):
            k, i = find(results, "kiv", 1, fmt), find(results, "isal", 0, fmt)
            if k and i:
                lines.append(f"| kiv level 1 against isal level 0, {fmt}, {label} (informative) | "
                             f"{k.mbs:.0f} / {i.mbs:.0f} MB/s = {k.mbs / i.mbs:.2f}x | - |")
    if engine_ab:
        for row in engine_ab:
            name, ratio = row.rsplit(" ", 1)
            met = "yes" if float(ratio) >= 1.08 else "no"
            lines.append(f"| engine against its earlier build, {name}: at least 1.08x | {float(ratio):.3f}x | {met} |")
    else:
        lines.append("| engine against its earlier build: at least 1.08x | not run (see below) | - |")
    for size, results in sorted(small.items(), reverse=True):
        k1 = find(results, "kiv", 1, "gzip")
        if k1 is None:
            continue
        us = k1.seconds / k1.calls * 1e6
        peers = [r for r in results if r.codec.name != "kiv" and not stores(r)]
        if size >= 1024:
            i0 = find(results, "isal", 0, "gzip")
            if i0:
                them = i0.seconds / i0.calls * 1e6
                lines.append(f"| {size // 1024} KiB gzip calls: kiv level 1 no slower than isal level 0 | "
                             f"{us:.2f} against {them:.2f} us per call | {'yes' if us <= them else 'no'} |")
        elif peers:
            best = min(peers, key=lambda r: r.seconds / r.calls)
            them = best.seconds / best.calls * 1e6
            lines.append(f"| {size} B gzip calls: kiv level 1 ahead of every compressing peer | {us:.2f} us per "
                         f"call; fastest peer {best.codec.label} {them:.2f} us | {'yes' if us < them else 'no'} |")
    return lines + [""]


def engine_ab_run(reps: int, corpus: Path) -> tuple[Optional[list[str]], list[str]]:
    """Runs bench/native/ab.sh (the engine against its earlier build, one native process). Returns the
    corpus rows as "workload ratio" and the report's section; (None, note) when it cannot run."""
    script = HERE / "native" / "ab.sh"
    try:
        r = subprocess.run(["sh", str(script), "--rounds", str(reps)], capture_output=True, text=True, timeout=3600,
                           env={**os.environ, "KIV_CORPUS_DIR": str(corpus)})
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, [f"The engine A/B run could not start: {e}.", ""]
    if r.returncode != 0:
        tail = (r.stderr or r.stdout).strip().splitlines()[-3:]
        return None, ["The engine A/B run failed or was skipped: " + " / ".join(tail), ""]
    out = r.stdout.strip().splitlines()
    rows = [" ".join(line.split()[1:3]) + " " + line.split()[-1] for line in out if line.startswith("corpus ")]
    section = ["## The engine against its earlier build (bench/native/ab.sh: level 1, one native process, "
               f"interleaved, thread CPU time, medians of {reps} rounds)", "", "```", *out, "```", ""]
    return rows, section


def plot(results: list[Result], path: Path, title: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib missing: no plot", file=sys.stderr)
        return False
    fig, ax = plt.subplots(figsize=(8, 5))
    stores = sorted((r for r in results if r.ratio < 1.05), key=lambda r: r.mbs)
    for r in results:
        offset = (5, 4)
        if r in stores:  # store levels sit at ratio 1 close together: smaller, labels staggered
            ax.scatter(r.mbs, r.ratio, s=18, color="grey")
            offset = (5, 4 if stores.index(r) % 2 == 0 else -12)
        else:
            ax.scatter(r.mbs, r.ratio, s=36, color="C3" if r.codec.name == "kiv" else "C0")
        ax.annotate(r.codec.label, (r.mbs, r.ratio), textcoords="offset points", xytext=offset, fontsize=8)
    ax.set_xscale("log")
    ax.set_xlabel("throughput, MB/s (log scale)")
    ax.set_ylabel("ratio (input / output)")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------------------------- main

def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small input and few repetitions (smoke test)")
    ap.add_argument("--data", type=Path, default=DEFAULT_CORPUS, help="folder of Silesia *.zip files")
    ap.add_argument("--reps", type=int, default=None, help="repetitions per workload (default 5, quick 3)")
    ap.add_argument("--out", type=Path, default=None,
                    help="output folder (default bench/results; quick mode: a temporary folder)")
    ap.add_argument("--formats", default=",".join(FORMATS), help="formats to run, from gzip,zlib,raw")
    ap.add_argument("--objects", type=int, default=None, help="streams in the memory workload (default 10000)")
    ap.add_argument("--no-engine-ab", action="store_true",
                    help="skip the engine's A/B run against its earlier build (always skipped with --quick)")
    args = ap.parse_args(argv)

    reps = args.reps or (3 if args.quick else 5)
    formats = [f for f in args.formats.split(",") if f]
    if any(f not in FORMATS for f in formats) or not formats:
        ap.error(f"--formats takes a comma-separated list from {','.join(FORMATS)}")
    out = args.out or (Path(tempfile.mkdtemp(prefix="kiv-bench-")) if args.quick else DEFAULT_OUT)
    stem = "quick" if args.quick else "latest"
    objects = args.objects or (1000 if args.quick else 10000)

    try:
        import kiv  # noqa: F401
    except ImportError:
        print("the kiv module is not installed (pip install .)", file=sys.stderr)
        return 2

    files, desc, short = load_data(args.data, 512 * 1024 if args.quick else None)
    total = sum(len(d) for _, d in files)
    print(f"data: {desc}; {total / MB:.1f} MB; {reps} repetitions", flush=True)
    codecs = codecs_for(formats)
    ok: list[bool] = []
    md = ["# kiv benchmark", "", *machine(),
          f"- Data: {desc}, {total / MB:.1f} MB",
          f"- {reps} interleaved repetitions, medians; single-thread workloads in thread CPU time, the two-thread "
          "one in wall time; MB = 10^6 bytes; ratio = input / output; \"x zlib level 1\" against stdlib zlib level 1 "
          "in the same format and workload", ""]
    t_start = time.perf_counter()
    load_start = load_now()

    print("one call per file ...", flush=True)
    whole = single_thread(codecs, [[d] for _, d in files], reps, "one call", ok, streaming_only=False)
    md += ["## One call per file", "", *table(whole), ""]

    print("64 KiB calls ...", flush=True)
    chunked = single_thread(codecs, [split(d, CHUNK) for _, d in files], reps, "64 KiB calls", ok, streaming_only=True)
    md += ["## 64 KiB calls", "", *table(chunked), ""]

    small: dict[int, list[Result]] = {}
    for size, sample_size in ((4096, (512 if args.quick else 4096) * 1024), (256, (64 if args.quick else 1024) * 1024)):
        print(f"{size} B calls ...", flush=True)
        sample = mixed_sample(files, sample_size)
        small_codecs = [c for c in codecs if c.fmt == "gzip"]
        res = single_thread(small_codecs, [split(sample, size)], reps, f"{size} B calls", ok, streaming_only=True)
        small[size] = res
        label = f"{size // 1024} KiB" if size >= 1024 else f"{size} B"
        md += [f"## {label} calls (gzip, one stream over a {len(sample) / MB:.1f} MB sample of every file)", "",
               *small_call_table(res), ""]

    engine_ab: Optional[list[str]] = None
    if args.quick or args.no_engine_ab:
        ab_section = ["The engine A/B run was skipped (--quick or --no-engine-ab).", ""]
    else:
        print("engine against its earlier build ...", flush=True)
        engine_ab, ab_section = engine_ab_run(reps, args.data)
    md += ab_section

    print("two threads ...", flush=True)
    sample = mixed_sample(files, (4 if args.quick else 24) * 1024 * 1024)
    rows = threaded(codecs, sample, reps, ok)
    md += [f"## Two threads on two objects against one thread (gzip, {len(sample) / MB:.1f} MB each, "
           "64 KiB calls; deflate one call; wall time)", "",
           "| compressor | level | format | 1 thread MB/s | 2 threads MB/s | 2 threads / 1 thread "
           "| overlap (CPU s / wall s, 2 threads) |",
           "|---|---:|---|---:|---:|---:|---:|"]
    for c, one, two, busy in rows:
        md.append(f"| {c.name} | {c.level} | {c.fmt} | {one:.0f} | {two:.0f} | {two / one:.2f} | {busy:.2f} |")
    md.append("")

    print("memory per stream ...", flush=True)
    chunk = mixed_sample(files, CHUNK)[:CHUNK]
    mem = memory(codecs, chunk, objects)
    md += [f"## Memory per open stream ({objects} objects in a fresh process, resident size; gzip)", "",
           "| compressor | level | format | idle, bytes | after one 64 KiB call, bytes |", "|---|---:|---|---:|---:|"]
    for c, idle, busy in mem:
        f = (lambda v: "failed" if v is None else f"{v:,.0f}")
        md.append(f"| {c.name} | {c.level} | {c.fmt} | {f(idle)} | {f(busy)} |")
    md.append("")

    verdict = "all passed" if all(ok) else f"{ok.count(False)} FAILED"
    md += [f"Every output decoded with stdlib zlib and compared with its input: {verdict} ({len(ok)} checks).", "",
           f"Run time {time.perf_counter() - t_start:.0f} s; load average at start {load_start}, at end "
           f"{load_now()} (other work on the machine shows most in the wall-time thread figures)."]

    out.mkdir(parents=True, exist_ok=True)
    md_path = out / f"{stem}.md"
    png_path = out / f"{stem}.png"
    plot_rows = [r for r in whole if r.codec.fmt == (formats[0])]
    title = f"{formats[0]}, one call per file, {short} ({total / MB:.1f} MB)"
    plotted = plot(plot_rows, png_path, title)
    md[md.index("## One call per file"):md.index("## One call per file")] = goals(whole, chunked, small, engine_ab)
    if plotted:
        md.insert(md.index("## One call per file"), f"![throughput against ratio]({png_path.name})\n")
    md_path.write_text("\n".join(md) + "\n")
    print("\n".join(md))
    print(f"\nwritten: {md_path}" + (f" {png_path}" if plotted else ""))
    return 0 if all(ok) else 1


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == MEMORY_CHILD:
        memory_child(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]), sys.argv[6])
    else:
        sys.exit(main())
