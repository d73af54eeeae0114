#!/usr/bin/env python3
"""Benchmark of kivio's one-shot call, file writer and command beside the raw Compressor and the peers.

Four workloads, each with the compression ratio beside every figure, repetitions interleaved, medians:

1. Files: the corpus files written one by one to .gz files on disk in 64 KiB writes (shutil.copyfileobj),
   by `kivio.open`, stdlib `gzip.open` (level 1), `isal.igzip.open` (level 0) and `zlib_ng.gzip_ng.open`
   (level 1), each at its fastest searching level; beside them `kivio.compress` on each file in memory and
   the raw `kivio.Compressor` fed the same 1 MiB pieces, in memory and writing its output to a file.
   Goal: the writer within 5 % of the raw Compressor writing to a file.
2. The command: the corpus as one file, `kiv -c` and `kiv -k -f` (temporary file, fsync, rename) beside
   `gzip -1 -c` and `pigz -1 -p 1 -c` (Debian packages), wall time; the raw Compressor on the same file
   in this process as the reference, and the command on an empty file (the interpreter's start-up).
3. Sync flushes: 16 KiB chunks each followed by a sync flush, kivio beside zlib level 1 and isal level 0
   (Z_SYNC_FLUSH), and the same chunks without flushes, in thread CPU time.
4. chunk_size: `kivio.compress` on the corpus with pieces of 16 KiB to 16 MiB, speed and ratio.

    python bench/writers.py            # full run on the Silesia files; tables to bench/results/writers.md
    python bench/writers.py --quick    # a smoke test of every workload on a small input

Data: the Silesia files (../shared/corpus/silesia/*.zip beside the repository) when present, otherwise this
interpreter's standard-library sources. Peers that are not installed are left out with a note.
"""

from __future__ import annotations

import argparse
import gc
import gzip
import io
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from typing import Callable, NamedTuple, Optional

from bench import DEFAULT_CORPUS, load_data, load_now, machine

import kivio

HERE = Path(__file__).resolve().parent
MB = 1e6
PIECE = 1 << 20
WRITE_SIZE = 64 * 1024  # shutil.copyfileobj's block on Linux


class Timing(NamedTuple):
    wall: float  # median seconds, wall clock
    cpu: float  # median seconds of this process's CPU time (user and system: writes to files count)
    packed: int  # output size of the last run


def interleave(jobs: dict[str, Callable[[], int]], reps: int) -> dict[str, Timing]:
    """Runs every job `reps` times, rotating the order each round."""
    walls: dict[str, list[float]] = {name: [] for name in jobs}
    cpus: dict[str, list[float]] = {name: [] for name in jobs}
    sizes: dict[str, int] = {}
    names = list(jobs)
    for rep in range(reps):
        for name in names[rep % len(names):] + names[: rep % len(names)]:
            gc.collect()
            gc.disable()
            started, started_cpu = time.perf_counter(), time.process_time()
            sizes[name] = jobs[name]()
            walls[name].append(time.perf_counter() - started)
            cpus[name].append(time.process_time() - started_cpu)
            gc.enable()
    return {n: Timing(statistics.median(walls[n]), statistics.median(cpus[n]), sizes[n]) for n in jobs}


# -- 1. files ---------------------------------------------------------------------------------------------


def file_jobs(files: list[tuple[str, bytes]], folder: Path) -> dict[str, Callable[[], int]]:
    target = folder / "out.gz"

    def through(opener: Callable[[Path], io.IOBase]) -> Callable[[], int]:
        def job() -> int:
            total = 0
            for _, data in files:
                with opener(target) as f:
                    shutil.copyfileobj(io.BytesIO(data), f, WRITE_SIZE)
                total += target.stat().st_size
            return total

        return job

    def raw_compressor_to_file() -> int:
        total = 0
        for _, data in files:
            c = kivio.Compressor(1, kivio.GZIP)
            with open(target, "wb", buffering=0) as f:
                view = memoryview(data)
                for start in range(0, len(data), PIECE):
                    f.write(c.compress(view[start : start + PIECE]))
                f.write(c.flush(kivio.FINISH))
            total += target.stat().st_size
        return total

    def raw_compressor_from_reads() -> int:
        """The least a hand-written loop needs for input that arrives in 64 KiB reads: gather 1 MiB pieces
        in a buffer, compress each, write the output."""
        total = 0
        piece = bytearray(PIECE)
        for _, data in files:
            c = kivio.Compressor(1, kivio.GZIP)
            src = io.BytesIO(data)
            with open(target, "wb", buffering=0) as f, memoryview(piece) as view:
                fill = 0
                while block := src.read(WRITE_SIZE):
                    take = min(len(block), PIECE - fill)
                    view[fill : fill + take] = block[:take]
                    fill += take
                    if fill == PIECE:
                        f.write(c.compress(view))
                        fill = len(block) - take
                        view[:fill] = block[take:]
                f.write(c.compress(view[:fill]))
                f.write(c.flush(kivio.FINISH))
            total += target.stat().st_size
        return total

    def raw_compressor_in_memory() -> int:
        total = 0
        for _, data in files:
            c = kivio.Compressor(1, kivio.GZIP)
            view = memoryview(data)
            total += sum(len(c.compress(view[s : s + PIECE])) for s in range(0, len(data), PIECE))
            total += len(c.flush(kivio.FINISH))
        return total

    jobs: dict[str, Callable[[], int]] = {
        "Compressor, 1 MiB pieces, in memory": raw_compressor_in_memory,
        "kivio.compress, in memory": lambda: sum(len(kivio.compress(d)) for _, d in files),
        "Compressor, 1 MiB pieces, to a file": raw_compressor_to_file,
        "Compressor, 1 MiB pieces gathered from 64 KiB reads, to a file": raw_compressor_from_reads,
        "kivio.open, 64 KiB writes": through(lambda p: kivio.open(p, "wb")),
        "kivio.open, one write per file": lambda: one_write(files, target),
        "gzip.open level 1 (stdlib)": through(lambda p: gzip.open(p, "wb", compresslevel=1)),
    }
    try:
        from isal import igzip

        jobs["isal.igzip.open level 0"] = through(lambda p: igzip.open(p, "wb", compresslevel=0))
    except ImportError:
        print("note: isal is not installed", file=sys.stderr)
    try:
        from zlib_ng import gzip_ng

        jobs["zlib_ng.gzip_ng.open level 1"] = through(lambda p: gzip_ng.open(p, "wb", compresslevel=1))
    except ImportError:
        print("note: zlib-ng is not installed", file=sys.stderr)
    return jobs


def one_write(files: list[tuple[str, bytes]], target: Path) -> int:
    total = 0
    for _, data in files:
        with kivio.open(target, "wb") as f:
            f.write(data)
        total += target.stat().st_size
    return total


def verify_file_outputs(files: list[tuple[str, bytes]], folder: Path) -> None:
    """Every writer's file decodes; the kivio writer's equals kivio.compress."""
    name, data = files[0]
    path = folder / "check.gz"
    with kivio.open(path, "wb") as f:
        shutil.copyfileobj(io.BytesIO(data), f, WRITE_SIZE)
    stream = path.read_bytes()
    assert stream == kivio.compress(data), "writer and kivio.compress differ"
    assert gzip.decompress(stream) == data, f"{name}: round trip failed"


# -- 2. the command ---------------------------------------------------------------------------------------


def child_run(argv: list[str], stdout: Path, cwd: Path) -> tuple[float, float]:
    """Wall and CPU seconds of one run of a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    with open(stdout, "wb") as out:
        subprocess.run(argv, stdout=out, check=True, cwd=cwd)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def command_in_process(corpus: Path, out: Path) -> None:
    """`kiv -c corpus > out`, run by the command's own code in this process (file descriptor 1 redirected)."""
    from kivio.cli import main

    saved = os.dup(1)
    try:
        with open(out, "wb") as f:
            os.dup2(f.fileno(), 1)
            status = main(["-c", str(corpus)])
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    assert status == 0, f"kiv -c exited with {status}"


def command_table(files: list[tuple[str, bytes]], folder: Path, reps: int) -> list[str]:
    corpus = folder / "corpus.bin"
    with open(corpus, "wb") as f:
        for _, data in files:
            f.write(data)
    size = corpus.stat().st_size
    kiv = [sys.executable, "-m", "kivio"]
    copy = folder / "copy.bin"
    empty = folder / "empty.bin"
    empty.write_bytes(b"")
    commands: dict[str, list[str]] = {
        "kiv -c": [*kiv, "-c", str(corpus)],
        "kiv -k -f (temporary file, fsync, rename)": [*kiv, "-k", "-f", str(copy)],
        "gzip -1 -c": ["gzip", "-1", "-c", str(corpus)],
        "pigz -1 -p 1 -c": ["pigz", "-1", "-p", "1", "-c", str(corpus)],
        "python start-up and import of the command": [*kiv, "-c", str(empty)],
    }
    for name in [n for n in commands if commands[n][0] in ("gzip", "pigz")]:
        if shutil.which(commands[name][0]) is None:
            print(f"note: {commands[name][0]} is not installed (apt-get install {commands[name][0]})", file=sys.stderr)
            del commands[name]
    shutil.copyfile(corpus, copy)
    walls: dict[str, list[float]] = {n: [] for n in commands}
    cpus: dict[str, list[float]] = {n: [] for n in commands}
    outputs: dict[str, int] = {}
    names = list(commands)
    ref_walls: list[float] = []
    ref_cpus: list[float] = []
    inproc_walls: list[float] = []
    inproc_cpus: list[float] = []
    data = corpus.read_bytes()
    for rep in range(reps):
        for name in names[rep % len(names):] + names[: rep % len(names)]:
            out = folder / "cmd.out"
            wall, cpu = child_run(commands[name], out, folder)
            walls[name].append(wall)
            cpus[name].append(cpu)
            produced = folder / "copy.bin.gz" if "-k" in commands[name] else out
            outputs[name] = produced.stat().st_size
        started, started_cpu = time.perf_counter(), time.process_time()
        c = kivio.Compressor(1, kivio.GZIP)
        with open(folder / "ref.gz", "wb", buffering=0) as f:
            view = memoryview(data)
            for s in range(0, size, PIECE):
                f.write(c.compress(view[s : s + PIECE]))
            f.write(c.flush(kivio.FINISH))
        ref_walls.append(time.perf_counter() - started)
        ref_cpus.append(time.process_time() - started_cpu)
        started, started_cpu = time.perf_counter(), time.process_time()
        command_in_process(corpus, folder / "inproc.gz")
        inproc_walls.append(time.perf_counter() - started)
        inproc_cpus.append(time.process_time() - started_cpu)
    assert (folder / "copy.bin.gz").read_bytes() == (folder / "ref.gz").read_bytes(), "kiv and Compressor differ"
    ref_wall, ref_cpu = statistics.median(ref_walls), statistics.median(ref_cpus)
    startup_key = "python start-up and import of the command"
    startup_wall = statistics.median(walls.pop(startup_key, [0.0]))
    startup_cpu = statistics.median(cpus.pop(startup_key, [0.0]))
    lines = [
        f"The corpus as one file of {size / MB:.1f} MB; medians of {reps}. CPU: user + system seconds of the "
        "process; the x columns compare the raw Compressor's CPU seconds (same 1 MiB pieces, writing to a file, "
        "in this process) with each command's, with and without the interpreter's start-up.",
        "",
        "| command | wall MB/s | ratio | CPU s | x Compressor, CPU | x Compressor, CPU less start-up |",
        "|---|---:|---:|---:|---:|---:|",
        f"| Compressor, 1 MiB pieces, to a file (in process) | {size / MB / ref_wall:.0f} | "
        f"{size / (folder / 'ref.gz').stat().st_size:.3f} | {ref_cpu:.3f} | 1.000 | 1.000 |",
    ]
    inproc_wall, inproc_cpu = statistics.median(inproc_walls), statistics.median(inproc_cpus)
    lines.append(f"| kiv -c, its code run in this process (no start-up) | {size / MB / inproc_wall:.0f} | "
                 f"{size / (folder / 'inproc.gz').stat().st_size:.3f} | {inproc_cpu:.3f} | "
                 f"{ref_cpu / inproc_cpu:.3f} | |")
    for name in walls:
        wall, cpu = statistics.median(walls[name]), statistics.median(cpus[name])
        less = f"{ref_cpu / (cpu - startup_cpu):.3f}" if name.startswith("kiv") else ""
        lines.append(f"| {name} | {size / MB / wall:.0f} | {size / outputs[name]:.3f} | {cpu:.3f} | "
                     f"{ref_cpu / cpu:.3f} | {less} |")
    lines += ["", f"Start-up alone (`python -m kivio -c` on an empty file): {startup_wall * 1000:.0f} ms wall, "
              f"{startup_cpu * 1000:.0f} ms CPU (part of each kiv figure above)."]
    return lines


# -- 3. sync flushes --------------------------------------------------------------------------------------


def flush_table(sample: bytes, reps: int) -> list[str]:
    chunks = [sample[i : i + 16384] for i in range(0, len(sample), 16384)]

    def kivio_job(flush: bool) -> Callable[[], int]:
        def job() -> int:
            c = kivio.Compressor(1, kivio.GZIP)
            total = 0
            for chunk in chunks:
                total += len(c.compress(chunk))
                if flush:
                    total += len(c.flush(kivio.SYNC_FLUSH))
            return total + len(c.flush(kivio.FINISH))

        return job

    def zlib_job(module: object, level: int, flush: bool) -> Callable[[], int]:
        def job() -> int:
            c = module.compressobj(level, zlib.DEFLATED, 31)  # type: ignore[attr-defined]
            total = 0
            for chunk in chunks:
                total += len(c.compress(chunk))
                if flush:
                    total += len(c.flush(zlib.Z_SYNC_FLUSH))
            return total + len(c.flush())

        return job

    jobs = {
        "kivio level 1, sync flush": kivio_job(True),
        "kivio level 1, no flush": kivio_job(False),
        "zlib level 1, Z_SYNC_FLUSH": zlib_job(zlib, 1, True),
        "zlib level 1, no flush": zlib_job(zlib, 1, False),
    }
    try:
        from isal import isal_zlib

        jobs["isal level 0, Z_SYNC_FLUSH"] = zlib_job(isal_zlib, 0, True)
        jobs["isal level 0, no flush"] = zlib_job(isal_zlib, 0, False)
    except ImportError:
        pass
    # Check once that every flush point decodes.
    c = kivio.Compressor(1, kivio.GZIP)
    d = zlib.decompressobj(31)
    for chunk in chunks[:50]:
        assert d.decompress(c.compress(chunk) + c.flush(kivio.SYNC_FLUSH)) == chunk
    results = interleave(jobs, reps)
    n = len(chunks)
    lines = [
        f"{len(sample) / MB:.1f} MB in {n} chunks of 16 KiB, gzip, one stream each; CPU time, median of "
        f"{reps}; flush cost: the time beyond the same chunks without flushes, per flush.",
        "",
        "| compressor | MB/s | ratio | flush cost, us per flush |",
        "|---|---:|---:|---:|",
    ]
    for name, (_, seconds, packed) in results.items():
        cost = ""
        if "no flush" not in name:
            base = results[name.rsplit(",", 1)[0] + ", no flush"].cpu
            cost = f"{(seconds - base) / n * 1e6:.2f}"
        lines.append(f"| {name} | {len(sample) / MB / seconds:.0f} | {len(sample) / packed:.3f} | {cost} |")
    return lines


# -- 4. chunk size ----------------------------------------------------------------------------------------


def chunk_table(files: list[tuple[str, bytes]], reps: int) -> list[str]:
    sizes = [16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20]
    label = {s: f"{s >> 20} MiB" if s >= 1 << 20 else f"{s >> 10} KiB" for s in sizes}
    raw = sum(len(d) for _, d in files)
    def job(size: int) -> Callable[[], int]:
        return lambda: sum(len(kivio.compress(d, chunk_size=size)) for _, d in files)

    jobs = {label[s]: job(s) for s in sizes}
    results = interleave(jobs, reps)
    best = min(t.packed for t in results.values())
    lines = [
        f"`kivio.compress`, gzip level 1, each corpus file alone ({raw / MB:.1f} MB); CPU time, median of "
        f"{reps}.",
        "",
        "| chunk_size | MB/s | ratio | size vs the largest pieces |",
        "|---|---:|---:|---:|",
    ]
    for name, (_, seconds, packed) in results.items():
        growth = 100 * (packed / best - 1)
        lines.append(f"| {name} | {raw / MB / seconds:.0f} | {raw / packed:.3f} | {growth:+.1f} % |")
    return lines


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="1 MiB of each file, 2 repetitions")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "writers.md")
    parser.add_argument("--only", choices=["files", "command", "flush", "chunks"], action="append")
    args = parser.parse_args(argv)
    reps = 2 if args.quick else args.reps
    files, description, _ = load_data(args.corpus, 1 << 20 if args.quick else None)
    only = set(args.only or ["files", "command", "flush", "chunks"])
    raw = sum(len(d) for _, d in files)
    report = ["# kivio: one-shot, files, command, sync flushes", "", *machine(),
              f"- Data: {description}, {raw / MB:.1f} MB", f"- Load average at start: {load_now()}", ""]
    with tempfile.TemporaryDirectory(prefix="kivio-bench-", dir=os.environ.get("KIVIO_BENCH_DIR")) as tmp:
        folder = Path(tmp)
        if "files" in only:
            verify_file_outputs(files, folder)
            results = interleave(file_jobs(files, folder), reps)
            ref = results["Compressor, 1 MiB pieces, to a file"].cpu
            report += ["## Writing the corpus files", "",
                       f"Each file to its own .gz file on disk ({tmp}), in 64 KiB writes unless said otherwise; "
                       f"medians of {reps}; CPU: this process's user and system time; last column: the raw "
                       "Compressor writing to a file, over each, in CPU time.", "",
                       "| writer | MB/s, wall | MB/s, CPU | ratio | x Compressor to a file, CPU |",
                       "|---|---:|---:|---:|---:|"]
            report += [f"| {name} | {raw / MB / t.wall:.0f} | {raw / MB / t.cpu:.0f} | {raw / t.packed:.3f} | "
                       f"{ref / t.cpu:.3f} |" for name, t in results.items()]
            report.append("")
        if "command" in only:
            report += ["## The command", "", *command_table(files, folder, max(3, reps if not args.quick else 1)), ""]
    if "flush" in only:
        sample = b"".join(d[: 2 << 20] for _, d in files)
        report += ["## Sync flushes on 16 KiB chunks", "", *flush_table(sample, reps), ""]
    if "chunks" in only:
        report += ["## chunk_size", "", *chunk_table(files, reps), ""]
    text = "\n".join(report)
    print(text)
    if not args.quick:
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
