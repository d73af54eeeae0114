#!/usr/bin/env python3
"""Benchmark of one stream on several threads: kivio beside the threaded writers of ISA-L and zlib-ng and pigz.

Workloads, each with the compression ratio beside every figure, repetitions interleaved, medians of wall time
(the figure threads change), gzip output:

1. One big input: the corpus concatenated, in memory. `kivio.compress(data, level, threads=N)` at levels 0
   and 1 for N = 1, 2 and (where the machine has them) more, beside `isal.igzip_threaded.open(threads=N)`
   at levels 0 and 1 and `zlib_ng.gzip_ng_threaded.open(threads=N)` at level 1 (both written in 1 MiB
   writes to an in-memory file), `pigz -1 -p N` (Debian package; a file on disk to a pipe), and
   single-threaded ISA-L level 0 (`isal_zlib.compressobj`, 1 MiB pieces) as the reference. Beside kivio's
   rows: the CPU time of all threads, and the share of N x wall time that no thread of kivio used
   (waiting, or the machine busy elsewhere), and the minor page faults. The machine's ceiling: N
   independent one-thread streams at once (N Python threads, each compressing the whole input with
   threads=1), their total MB/s: what N cores give when nothing is shared, against which kivio's N
   threads on one stream are measured.
2. Each corpus file on its own: kivio.compress at levels 0 and 1 with 1 and 2 threads beside the same peers.
3. The writer and the command: `kivio.open(path, "wb", threads=N)` fed the corpus in 1 MiB and 64 KiB
   writes into a file on disk, and `kiv -c -T N` beside `pigz -1 -p N -c` (both to a file).
4. Piece size: kivio.compress with 2 threads and with 1 on pieces of 256 KiB to 4 MiB: speed and ratio.
5. With --piece-sizes: the cost of handing pieces to threads, in CPU time, for pieces of 1 KiB to 1 MiB.

The goals read off workload 1 close the report: with 2 threads at least 1.8x one-thread kivio.compress and
1.3x single-threaded ISA-L level 0, at levels 0 and 1, and ahead of every threaded peer with as many threads.
The join's own share of the work is measured alone by the native join benchmark (bench/native/join_bench.cpp,
build-bench/bench/native/kiv_join_bench); its report is appended when that program has been built.

    python bench/parallel.py              # full run; tables to bench/results/parallel.md
    python bench/parallel.py --quick      # a smoke test of every workload on a small input
    python bench/parallel.py --threads 1,2,4 --reps 9 --piece-sizes

Data: the Silesia files (../shared/corpus/silesia/*.zip beside the repository) when present, otherwise this
interpreter's standard-library sources. Peers that are not installed are left out with a note. Run it on an
otherwise idle machine: wall times on a machine shared with other work say little about threads.
"""

from __future__ import annotations

import argparse
import gc
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
ROOT = HERE.parent
MB = 1e6
PIECE = 1 << 20


class Timing(NamedTuple):
    wall: float    # median seconds
    cpu: float     # median CPU seconds of the whole process (every thread)
    faults: float  # median minor page faults
    size: int      # output bytes of the last run


def interleave(jobs: dict[str, Callable[[], int]], reps: int) -> dict[str, Timing]:  # Rows too
    """Runs every job `reps` times, rotating the order each round; medians of wall time, process CPU time and
    minor page faults (children included: pigz runs in one)."""
    samples: dict[str, list[tuple[float, float, float]]] = {name: [] for name in jobs}
    sizes: dict[str, int] = {}
    names = list(jobs)

    def usage() -> tuple[float, float]:
        own, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
        return (own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime, own.ru_minflt + kids.ru_minflt)

    for rep in range(reps):
        for name in names[rep % len(names) :] + names[: rep % len(names)]:
            gc.collect()
            gc.disable()
            cpu0, faults0 = usage()
            started = time.perf_counter()
            sizes[name] = jobs[name]()
            wall = time.perf_counter() - started
            cpu1, faults1 = usage()
            gc.enable()
            samples[name].append((wall, cpu1 - cpu0, faults1 - faults0))
    return {
        name: Timing(*(statistics.median(s[i] for s in samples[name]) for i in range(3)), sizes[name])  # type: ignore[call-arg]
        for name in jobs
    }


# -- the compressors ----------------------------------------------------------------------------------------


def peers_missing() -> list[str]:
    notes = []
    for module, what in (("isal", "isal (pip install isal)"), ("zlib_ng", "zlib-ng (pip install zlib-ng)")):
        try:
            __import__(module)
        except ImportError:
            notes.append(f"{what} is not installed: its rows are left out")
    if shutil.which("pigz") is None:
        notes.append("pigz is not installed (apt-get install pigz): its rows are left out")
    return notes


def kivio_job(data: bytes, level: int, threads: int, chunk: int = PIECE) -> Callable[[], int]:
    return lambda: len(kivio.compress(data, level, chunk_size=chunk, threads=threads))


class Rows(dict):  # type: ignore[type-arg]
    """Jobs by name, and for each the input it compresses when that is not the input of the table."""

    def __init__(self) -> None:
        super().__init__()
        self.raw: dict[str, int] = {}


def independent_streams_job(data: bytes, level: int, n: int) -> Callable[[], int]:
    """n one-thread streams at once, each the whole input: the machine's ceiling for n threads."""
    import threading

    def job() -> int:
        sizes = [0] * n

        def one(i: int) -> None:
            sizes[i] = len(kivio.compress(data, level, threads=1))

        workers = [threading.Thread(target=one, args=(i,)) for i in range(n)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return sum(sizes)

    return job


def threaded_writer_job(opener: Callable[..., io.IOBase], data: bytes, level: int, threads: int) -> Callable[[], int]:
    def job() -> int:
        sink = io.BytesIO()
        with opener(sink, "wb", compresslevel=level, threads=threads) as f:
            view = memoryview(data)
            for start in range(0, len(data), PIECE):
                f.write(view[start : start + PIECE])
        return len(sink.getbuffer())

    return job


def isal_single_job(data: bytes, level: int) -> Callable[[], int]:
    from isal import isal_zlib

    def job() -> int:
        c = isal_zlib.compressobj(level, isal_zlib.DEFLATED, 31)
        view = memoryview(data)
        n = sum(len(c.compress(view[s : s + PIECE])) for s in range(0, len(data), PIECE))
        return n + len(c.flush())

    return job


def command_job(argv: list[str], stdout_path: Optional[Path] = None) -> Callable[[], int]:
    """A command whose output goes to a pipe that is only counted, or to a file."""

    def job() -> int:
        if stdout_path is not None:
            with open(stdout_path, "wb") as out:
                subprocess.run(argv, stdout=out, check=True)
            return stdout_path.stat().st_size
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
        assert proc.stdout is not None
        n = 0
        while block := proc.stdout.read(1 << 20):
            n += len(block)
        if proc.wait() != 0:
            raise RuntimeError(f"{argv[0]} failed")
        return n

    return job


def whole_input_jobs(data: bytes, path: Path, thread_counts: list[int], ceiling: bool = True) -> Rows:
    """Workload 1 (and 2): every compressor on one input; `path` holds the same bytes on disk for pigz."""
    jobs = Rows()
    try:
        from isal import igzip_threaded
    except ImportError:
        igzip_threaded = None
    try:
        from zlib_ng import gzip_ng_threaded
    except ImportError:
        gzip_ng_threaded = None
    if igzip_threaded is not None:
        jobs["ISA-L level 0, one thread (reference)"] = isal_single_job(data, 0)
    for n in thread_counts:
        for level in (0, 1):
            jobs[f"kivio.compress level {level}, {n} thread(s)"] = kivio_job(data, level, n)
        if ceiling and n > 1:
            for level in (0, 1):
                name = f"ceiling: {n} independent one-thread streams, level {level}"
                jobs[name] = independent_streams_job(data, level, n)
                jobs.raw[name] = n * len(data)
        if igzip_threaded is not None:
            for level in (0, 1):
                jobs[f"isal igzip_threaded level {level}, threads={n}"] = threaded_writer_job(igzip_threaded.open, data, level, n)
        if gzip_ng_threaded is not None:
            jobs[f"zlib-ng gzip_ng_threaded level 1, threads={n}"] = threaded_writer_job(gzip_ng_threaded.open, data, 1, n)
        if shutil.which("pigz"):
            jobs[f"pigz -1 -p {n}"] = command_job(["pigz", "-1", "-p", str(n), "-c", str(path)])
    return jobs


def check_outputs(data: bytes, thread_counts: list[int]) -> None:
    """Every thread count gives the bytes of one thread, and they decode; checked once before timing."""
    for level in (0, 1):
        one = kivio.compress(data, level, threads=1)
        assert zlib.decompress(one, 31) == data, "kivio's stream does not decode"
        for n in thread_counts:
            assert kivio.compress(data, level, threads=n) == one, f"{n} threads changed the bytes"


# -- tables -----------------------------------------------------------------------------------------------


def speed(raw: int, seconds: float) -> str:
    return f"{raw / MB / seconds:.0f}"


def whole_input_table(raw: int, timings: dict[str, Timing], rows: Rows) -> list[str]:
    """One row a job; kivio's rows also against one thread and against the ceiling of as many threads."""
    ref = timings.get("ISA-L level 0, one thread (reference)")
    one = {level: timings[f"kivio.compress level {level}, 1 thread(s)"] for level in (0, 1)}
    lines = [
        "| compressor | MB/s | ratio | x one-thread kivio (same level) | x ceiling (same N, level) | x ISA-L level 0, one thread | CPU s (all threads) | idle share of N x wall | minor faults |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, t in timings.items():
        size = rows.raw.get(name, raw)
        kiv_row = name.startswith("kivio")
        versus_one = versus_ceiling = idle = ""
        if kiv_row:
            level = int(name.split("level ")[1][0])
            n = int(name.split(", ")[1].split(" ")[0])
            versus_one = f"{one[level].wall / t.wall:.2f}"
            ceiling = timings.get(f"ceiling: {n} independent one-thread streams, level {level}")
            if ceiling is not None:
                versus_ceiling = f"{(raw / t.wall) / (n * raw / ceiling.wall):.2f}"
            idle = f"{max(0.0, 1 - t.cpu / (n * t.wall)):.0%}"
        versus_ref = f"{(size / t.wall) / (raw / ref.wall):.2f}" if ref else ""
        lines.append(
            f"| {name} | {speed(size, t.wall)} | {size / t.size:.3f} | {versus_one} | {versus_ceiling} | "
            f"{versus_ref} | {t.cpu:.3f} | {idle} | {t.faults:.0f} |"
        )
    return lines


def goals(timings: dict[str, Timing]) -> list[str]:
    lines = []
    ref = timings.get("ISA-L level 0, one thread (reference)")
    for level in (0, 1):
        one, two = timings[f"kivio.compress level {level}, 1 thread(s)"], timings.get(f"kivio.compress level {level}, 2 thread(s)")
        if two is None:
            continue
        x1 = one.wall / two.wall
        lines.append(f"- level {level}, 2 threads: {x1:.2f}x one-thread kivio.compress (goal 1.8x): {'met' if x1 >= 1.8 else 'NOT met'}")
        ceiling = timings.get(f"ceiling: 2 independent one-thread streams, level {level}")
        if ceiling is not None:
            lines.append(f"  (two independent one-thread streams at once reach {2 * one.wall / ceiling.wall:.2f}x one stream: the machine's ceiling)")
        if ref:
            xr = ref.wall / two.wall
            lines.append(f"- level {level}, 2 threads: {xr:.2f}x single-threaded ISA-L level 0 (goal 1.3x): {'met' if xr >= 1.3 else 'NOT met'}")
        peers = {name: t for name, t in timings.items() if not name.startswith("kivio") and ("threads=2" in name or "-p 2" in name)}
        behind = [name for name, t in peers.items() if t.wall <= two.wall]
        lines.append(
            f"- level {level}, 2 threads: ahead of every threaded peer with 2 threads: "
            + ("yes" if not behind else "no, behind " + ", ".join(behind))
        )
    return lines


# -- workloads 3 to 5 ----------------------------------------------------------------------------------------


def writer_jobs(data: bytes, folder: Path, path: Path, thread_counts: list[int]) -> dict[str, Callable[[], int]]:
    target = folder / "out.gz"

    def writer(threads: int, write: int) -> Callable[[], int]:
        def job() -> int:
            with kivio.open(target, "wb", threads=threads) as f:
                view = memoryview(data)
                for start in range(0, len(data), write):
                    f.write(view[start : start + write])
            return target.stat().st_size

        return job

    jobs: dict[str, Callable[[], int]] = {}
    for n in thread_counts:
        jobs[f"kivio.open, 1 MiB writes, threads={n}"] = writer(n, 1 << 20)
        jobs[f"kivio.open, 64 KiB writes, threads={n}"] = writer(n, 64 << 10)
        jobs[f"kiv -c -T {n}"] = command_job([sys.executable, "-m", "kivio", "-c", "-T", str(n), str(path)], target)
        if shutil.which("pigz"):
            jobs[f"pigz -1 -p {n} -c"] = command_job(["pigz", "-1", "-p", str(n), "-c", str(path)], target)
    return jobs


def plain_table(raw: int, timings: dict[str, Timing], reference: Optional[str] = None) -> list[str]:
    ref = timings[reference].wall if reference else None
    lines = ["| run | MB/s | ratio | CPU s (all threads) |" + (" x first row |" if ref else ""), "|---|---:|---:|---:|" + ("---:|" if ref else "")]
    for name, t in timings.items():
        lines.append(f"| {name} | {speed(raw, t.wall)} | {raw / t.size:.3f} | {t.cpu:.3f} |" + (f" {ref / t.wall:.2f} |" if ref else ""))
    return lines


def chunk_table(data: bytes, reps: int, chunks: list[int]) -> list[str]:
    jobs: dict[str, Callable[[], int]] = {}
    for chunk in chunks:
        for n in (1, 2):
            jobs[f"{chunk >> 10} KiB, {n}"] = kivio_job(data, 1, n, chunk)
    timings = interleave(jobs, reps)
    lines = ["| piece size | 1 thread MB/s | 2 threads MB/s | 2 threads x 1 thread | ratio |", "|---:|---:|---:|---:|---:|"]
    for chunk in chunks:
        one, two = timings[f"{chunk >> 10} KiB, 1"], timings[f"{chunk >> 10} KiB, 2"]
        lines.append(f"| {chunk >> 10} KiB | {speed(len(data), one.wall)} | {speed(len(data), two.wall)} | {one.wall / two.wall:.2f} | {len(data) / two.size:.3f} |")
    return lines


def piece_size_table(data: bytes, reps: int) -> list[str]:
    """CPU time of 2 threads over 1 on the same pieces: what handing pieces over costs, apart from any
    waiting (which CPU time leaves out)."""
    lines = ["| level | piece | CPU 1 thread ms | CPU 2 threads ms | 2 threads / 1 | wall 2 threads x 1 |", "|---:|---:|---:|---:|---:|---:|"]
    for level in (0, 1):
        for chunk in (1 << 10, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20):
            t = interleave({str(n): kivio_job(data, level, n, chunk) for n in (1, 2)}, reps)
            lines.append(
                f"| {level} | {chunk >> 10} KiB | {t['1'].cpu * 1e3:.1f} | {t['2'].cpu * 1e3:.1f} | "
                f"{t['2'].cpu / t['1'].cpu:.2f} | {t['1'].wall / t['2'].wall:.2f} |"
            )
    return lines


def join_benchmark() -> list[str]:
    program = ROOT / "build-bench" / "bench" / "native" / "kiv_join_bench"
    if not program.exists():
        return ["(not built: cmake -S . -B build-bench -DKIV_BUILD_BENCH=ON && cmake --build build-bench)"]
    proc = subprocess.run([str(program)], capture_output=True, text=True)
    return ["```", proc.stdout.rstrip(), "```"]


# -- main -----------------------------------------------------------------------------------------------


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--reps", type=int, default=5, help="repetitions per figure (medians; default 5)")
    parser.add_argument("--threads", default=None, help="thread counts, e.g. 1,2,4 (default: 1, 2 and the usable cores)")
    parser.add_argument("--piece-sizes", action="store_true", help="also the cost of handing small pieces to threads")
    parser.add_argument("--quick", action="store_true", help="small input, 1 repetition: a smoke test")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "parallel.md")
    args = parser.parse_args(argv)

    cores = len(os.sched_getaffinity(0))
    thread_counts = sorted({1, 2, cores}) if args.threads is None else sorted({int(t) for t in args.threads.split(",")} | {1})
    files, description, _ = load_data(args.corpus, 256 << 10 if args.quick else None)
    reps = 1 if args.quick else args.reps
    data = b"".join(d for _, d in files)
    out: list[str] = ["# One stream on several threads", "", *machine(), f"- Load before the run: {load_now()}",
                      f"- Data: {description}, {len(data) / MB:.1f} MB; gzip; {reps} repetitions, medians of wall time", ""]
    out += [f"- Note: {note}" for note in peers_missing()]
    check_outputs(data, thread_counts)

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        path = folder / "input.bin"
        path.write_bytes(data)

        print("1. one big input", file=sys.stderr)
        rows = whole_input_jobs(data, path, thread_counts)
        whole = interleave(rows, reps)
        out += ["", "## 1. The corpus as one input, in memory", ""] + whole_input_table(len(data), whole, rows)

        print("2. each file", file=sys.stderr)
        out += ["", "## 2. Each file on its own (MB/s, ratio)", ""]
        per_file_counts = [n for n in thread_counts if n <= 2]
        header = None
        for name, body in files:
            fpath = folder / "file.bin"
            fpath.write_bytes(body)
            t = interleave(whole_input_jobs(body, fpath, per_file_counts, ceiling=False), reps)
            if header is None:
                header = list(t)
                out += ["| file | " + " | ".join(header) + " |", "|---|" + "---:|" * len(header)]
            out.append(f"| {name} | " + " | ".join(f"{speed(len(body), t[k].wall)} ({len(body) / t[k].size:.2f})" for k in header) + " |")

        print("3. writer and command", file=sys.stderr)
        writers = interleave(writer_jobs(data, folder, path, thread_counts), reps)
        first = next(iter(writers))
        out += ["", "## 3. The writer and the command, the corpus to a file on disk", ""] + plain_table(len(data), writers, first)

    print("4. piece size", file=sys.stderr)
    chunks = [256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20]
    out += ["", "## 4. Piece size (chunk_size), level 1, 1 and 2 threads", ""] + chunk_table(data, reps, chunks)
    if args.piece_sizes:
        print("5. piece handover", file=sys.stderr)
        sample = data[: 32 << 20]
        out += ["", f"## 5. Handing pieces to threads: CPU time, {len(sample) / MB:.0f} MB", ""] + piece_size_table(sample, reps)
    out += ["", "## Goals (2 threads, from table 1)", ""] + goals(whole)
    out += ["", "## The join alone (native join benchmark)", ""] + join_benchmark()

    text = "\n".join(out) + "\n"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    if not args.quick:
        args.out.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
