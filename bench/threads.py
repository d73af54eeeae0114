#!/usr/bin/env python3
"""Two threads against one: kivio.Compressor objects on their own threads, across call sizes and levels.

kiv.compressobj, which releases the interpreter lock around every call, runs beside it as the reference:
where kiv's figure is below 1.0 releasing the lock costs more than it frees, and kivio must keep it
there; where kiv's figure is well above 1.0 kivio must release it too. kivio's thresholds (the constants
RELEASE_LOCK_MIN_* in binding/kivio_core.cpp) are set from this comparison.

One thread compresses consecutive pieces of `size` bytes on its own object for a fixed time (`--ms`);
then two threads do the same at once, each on its own object. The figure is the number of calls both
threads made together divided by the number one thread made alone: 1.0 means the second thread added
nothing, 2.0 that both ran at full speed; below 1.0 the two threads get in each other's way (the
interpreter lock handed back and forth costs more than the work it frees). Runs are bounded in time, so
even a pathological case ends. Medians of interleaved repetitions; "best" is the same figure from the
best run of each kind, the least disturbed on a shared machine. Run on a quiet machine with two or more
cores; a loaded one gives low figures at every size.

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


def make_pieces(data: bytes, size: int, offset: int, span: int) -> list[bytes]:
    """Pieces of `size` bytes spread evenly over the whole of `data` (every kind of data in the mix),
    from `offset` on: at most `span` bytes of them, and at least one piece."""
    count = max(1, min(4096, span // size))
    room = len(data) - size
    stride = max(1, room // count)
    return [data[(offset + i * stride) % room :][:size] for i in range(count)]


def run_for(stream, pieces: list[bytes], deadline: float) -> tuple[int, float]:  # type: ignore[no-untyped-def]
    """Compresses pieces in turn until the deadline; returns the number of calls and when they ended.
    The clock is read every few calls (a read costs about as much as a short call's own overhead),
    at least every 16 KiB of input."""
    compress = stream.compress
    per_check = max(1, min(32, (16 << 10) // len(pieces[0])))
    calls = 0
    i = 0
    n = len(pieces)
    while True:
        for _ in range(per_check):
            compress(pieces[i])
            i = i + 1 if i + 1 < n else 0
        calls += per_check
        now = time.perf_counter()
        if now >= deadline:
            return calls, now


def make(name: str, level: int):  # type: ignore[no-untyped-def]
    return kivio.Compressor(level, kivio.GZIP) if name == "kivio" else kiv.compressobj(level, kiv.KIV_FMT_GZIP)


def one_thread(name: str, level: int, pieces: list[bytes], seconds: float) -> float:
    """Calls per second of one thread."""
    stream = make(name, level)
    start = time.perf_counter()
    calls, end = run_for(stream, pieces, start + seconds)
    return calls / (end - start)


def two_threads(name: str, level: int, pieces: list[list[bytes]], seconds: float) -> float:
    """Calls per second of two threads together, from their common start to the later one's end."""
    barrier = threading.Barrier(2)
    results = [(0, 0.0), (0, 0.0)]
    start = [0.0]

    def work(t: int) -> None:
        stream = make(name, level)
        if barrier.wait() == 0:
            start[0] = time.perf_counter()
        barrier.wait()
        results[t] = run_for(stream, pieces[t], start[0] + seconds)

    threads = [threading.Thread(target=work, args=(t,)) for t in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return (results[0][0] + results[1][0]) / (max(results[0][1], results[1][1]) - start[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)))
    ap.add_argument("--levels", default="0,1")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--ms", type=float, default=100.0, help="length of one run")
    ap.add_argument("--compressors", default="kivio,kiv", help="kivio, kiv (the always-releasing reference) or both")
    # Each thread cycles through its own pieces. Two threads' pieces together must fit the last-level
    # cache as one thread's do, else level 0 (which runs at memory speed) measures the cache, not the
    # lock: with 16 MiB a thread on a 32 MiB cache, two threads ran at 0.75x of one whatever the lock did.
    ap.add_argument("--span", type=int, default=4 << 20, help="bytes of pieces per thread (default 4 MiB)")
    args = ap.parse_args()
    data = load_data(16 << 20)
    print(f"{os.cpu_count()} cores, {len(data) >> 20} MiB of data, {args.reps} repetitions, medians")
    print(f"{'':<6}{'level':>5} {'size':>8} {'1 thread MB/s':>14} {'2 threads MB/s':>15} {'2 vs 1':>7} {'best':>6} {'ratio':>6}")
    names = args.compressors.split(",")
    seconds = args.ms / 1000
    for level in map(int, args.levels.split(",")):
        for size in map(int, args.sizes.split(",")):
            a, b = make_pieces(data, size, 0, args.span), make_pieces(data, size, len(data) // 2, args.span)
            ones: dict[str, list[float]] = {n: [] for n in names}
            twos: dict[str, list[float]] = {n: [] for n in names}
            for _ in range(args.reps):  # interleaved: every repetition runs every kind once
                for n in names:
                    ones[n].append(one_thread(n, level, a, seconds))
                    twos[n].append(two_threads(n, level, [a, b], seconds))
            c = kivio.Compressor(level, kivio.GZIP)
            ratio = size * len(a) / (sum(len(c.compress(p)) for p in a) + len(c.flush()))
            for n in names:
                c1, c2 = statistics.median(ones[n]), statistics.median(twos[n])
                print(
                    f"{n:<6}{level:>5} {size:>8} {size * c1 / 1e6:>14.1f} {size * c2 / 1e6:>15.1f} "
                    f"{c2 / c1:>7.2f} {max(twos[n]) / max(ones[n]):>6.2f} {ratio:>6.2f}"
                )

if __name__ == "__main__":
    main()
