#!/usr/bin/env python3
"""Two threads against one: kivio.Compressor objects on their own threads, across call sizes and levels.

kiv.compressobj, which releases the interpreter lock around every call, runs beside it as the reference:
where kiv's figure is below 1.0 releasing the lock costs more than it frees, and kivio must keep it
there; where kiv's figure is well above 1.0 kivio must release it too. kivio's thresholds (the constants
RELEASE_LOCK_MIN_* in binding/kivio_core.cpp) are set from this comparison.

One thread makes `calls` compress calls of `size` bytes on its own Compressor; then two threads each make
as many on their own Compressors at once. The figure is 2 x (one thread's time) / (two threads' time):
1.0 means the second thread added nothing, 2.0 that both ran at full speed; below 1.0 the two threads get
in each other's way (the interpreter lock handed back and forth costs more than the work it frees).
Medians of interleaved repetitions, wall time; each run is sized to take about `--ms` milliseconds on one
thread. "best" is the same figure from the fastest run of each kind, the least disturbed on a shared
machine. Run on a quiet machine with two or more cores; a loaded one gives low figures at every size.

Usage: python bench/threads.py [--sizes 256,1024,...] [--levels 0,1] [--reps 7] [--ms 60]
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time
from pathlib import Path

import kiv
import kivio

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "silesia"
SIZES = [256, 512, 1024, 2048, 4096, 8192, 16384, 65536, 262144, 1 << 20]


def load_data(n: int) -> bytes:
    """A mix of text and binary from the corpus when it is there, else the standard library's sources."""
    out = bytearray()
    names = ["dickens", "ooffice", "xml", "mr"]
    if all((CORPUS / f"{name}.zip").exists() for name in names):
        import zipfile

        for name in names:
            with zipfile.ZipFile(CORPUS / f"{name}.zip") as z, z.open(z.namelist()[0]) as f:
                out += f.read(n // len(names))
    else:
        for p in sorted(Path(os.__file__).parent.glob("*.py")):
            out += p.read_bytes()
            if len(out) >= n:
                break
    return bytes(out[:n])


def make_pieces(data: bytes, size: int, calls: int, offset: int) -> list[bytes]:
    span = len(data) - size
    return [data[(offset + i * size) % span :][:size] for i in range(calls)]


def make(name: str, level: int):  # type: ignore[no-untyped-def]
    return kivio.Compressor(level, kivio.GZIP) if name == "kivio" else kiv.compressobj(level, kiv.KIV_FMT_GZIP)


def one_thread(name: str, level: int, pieces: list[bytes]) -> float:
    c = make(name, level)
    compress = c.compress
    start = time.perf_counter()
    for p in pieces:
        compress(p)
    return time.perf_counter() - start


def two_threads(name: str, level: int, pieces: list[list[bytes]]) -> float:
    barrier = threading.Barrier(3)
    finished = [0.0, 0.0]

    def work(t: int) -> None:
        c = make(name, level)
        compress = c.compress
        barrier.wait()
        for p in pieces[t]:
            compress(p)
        finished[t] = time.perf_counter()

    threads = [threading.Thread(target=work, args=(t,)) for t in (0, 1)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return max(finished) - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)))
    ap.add_argument("--levels", default="0,1")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--ms", type=float, default=60.0, help="length of one single-thread run")
    ap.add_argument("--compressors", default="kivio,kiv", help="kivio, kiv (the always-releasing reference) or both")
    args = ap.parse_args()
    data = load_data(16 << 20)
    print(f"{os.cpu_count()} cores, {len(data) >> 20} MiB of data, {args.reps} repetitions, medians")
    print(f"{'':<6}{'level':>5} {'size':>8} {'calls':>7} {'1 thread MB/s':>14} {'2 threads MB/s':>15} {'2 vs 1':>7} {'best':>6} {'ratio':>6}")
    names = args.compressors.split(",")
    for level in map(int, args.levels.split(",")):
        for size in map(int, args.sizes.split(",")):
            # Size the run from a short trial so that each takes about --ms on one thread.
            trial = make_pieces(data, size, max(1, (1 << 20) // size), 0)
            per_call = one_thread("kivio", level, trial) / len(trial)
            calls = max(4, int(args.ms / 1000 / per_call))
            a, b = make_pieces(data, size, calls, 0), make_pieces(data, size, calls, len(data) // 2)
            ones: dict[str, list[float]] = {n: [] for n in names}
            twos: dict[str, list[float]] = {n: [] for n in names}
            for _ in range(args.reps):  # interleaved: every repetition runs every kind once
                for n in names:
                    ones[n].append(one_thread(n, level, a))
                    twos[n].append(two_threads(n, level, [a, b]))
            c = kivio.Compressor(level, kivio.GZIP)
            ratio = size * calls / (sum(len(c.compress(p)) for p in a) + len(c.flush()))
            mb = size * calls / 1e6
            for n in names:
                t1, t2 = statistics.median(ones[n]), statistics.median(twos[n])
                best = 2 * min(ones[n]) / min(twos[n])
                print(
                    f"{n:<6}{level:>5} {size:>8} {calls:>7} {mb / t1:>14.1f} {2 * mb / t2:>15.1f} "
                    f"{2 * t1 / t2:>7.2f} {best:>6.2f} {ratio:>6.2f}"
                )

if __name__ == "__main__":
    main()
