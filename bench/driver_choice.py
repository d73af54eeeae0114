#!/usr/bin/env python3
"""Why the parallel driver is native: its pool of C++ threads against Python threads doing the same work.

The other design for one stream on several threads is a pool of Python threads, each running one native
call per piece with the interpreter lock released, the pieces then joined in order. Its cost is bounded
below here by a pool that does all of that except the join: a `concurrent.futures.ThreadPoolExecutor`
whose threads each encode one piece with a fresh `kivio.Compressor` (gzip, so the CRC is computed as in the
driver; the lock released from 1 KiB at level 1 and 64 KiB at level 0) and a `b"".join` of the results.
Against it, `kivio.compress(data, level, chunk_size=piece, threads=N)`, which also shifts every piece's
bits into place and combines the checksums. Both start their threads inside the timed call, as
`kivio.compress` does. Wall time, medians of interleaved repetitions, the ratio beside each figure.

    python bench/driver_choice.py            # the corpus; table to bench/results/driver_choice.md
    python bench/driver_choice.py --quick    # a smoke test

Data: the Silesia files (../shared/corpus/silesia/*.zip beside the repository) when present, otherwise
this interpreter's standard-library sources.
"""

from __future__ import annotations

import argparse
import os
import zlib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, Optional

from bench import DEFAULT_CORPUS, load_data, load_now, machine
from parallel import interleave

import kivio

HERE = Path(__file__).resolve().parent
MB = 1e6


def native_pool(data: bytes, level: int, piece: int, threads: int) -> Callable[[], int]:
    return lambda: len(kivio.compress(data, level, chunk_size=piece, threads=threads))


def python_pool(data: bytes, level: int, piece: int, threads: int) -> Callable[[], int]:
    def encode(view: memoryview) -> bytes:
        return kivio.Compressor(level, kivio.GZIP).compress(view)

    def job() -> int:
        view = memoryview(data)
        with ThreadPoolExecutor(threads) as pool:
            parts = list(pool.map(encode, (view[s : s + piece] for s in range(0, len(data), piece))))
        return len(b"".join(parts))

    return job


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--quick", action="store_true", help="small input, 1 repetition: a smoke test")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "driver_choice.md")
    args = parser.parse_args(argv)

    files, description, _ = load_data(args.corpus, 256 << 10 if args.quick else None)
    data = b"".join(d for _, d in files)
    reps = 1 if args.quick else args.reps
    n = args.threads
    check = kivio.compress(data[: 1 << 20], 1, chunk_size=64 << 10, threads=n)
    assert zlib.decompress(check, 31) == data[: 1 << 20]
    out = ["# The native pool against Python threads", "", *machine(), f"- Load before the run: {load_now()}",
           f"- Data: {description}, {len(data) / MB:.1f} MB; gzip; {n} threads; {reps} repetitions, medians of wall time", "",
           "| level | piece | native pool MB/s | Python threads, no join, MB/s | native / Python | ratio |",
           "|---:|---:|---:|---:|---:|---:|"]
    for level in (1, 0):
        for piece in (1 << 20, 64 << 10, 16 << 10):
            jobs = {"native": native_pool(data, level, piece, n), "python": python_pool(data, level, piece, n)}
            t = interleave(jobs, reps)
            out.append(
                f"| {level} | {piece >> 10} KiB | {len(data) / t['native'].wall / MB:.0f} | "
                f"{len(data) / t['python'].wall / MB:.0f} | {t['python'].wall / t['native'].wall:.2f} | "
                f"{len(data) / t['native'].size:.3f} |"
            )
    text = "\n".join(out) + "\n"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
