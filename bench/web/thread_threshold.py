#!/usr/bin/env python3
"""Where kivio.asgi should hand a body chunk to a worker thread instead of compressing it on the loop.

For chunk sizes from 16 KiB to 4 MiB of text, compressed with a sync flush as the middleware does:

- inline: how long the event loop is held (thread CPU time; medians), at level 1 and level 0;
- offloaded (``anyio.to_thread.run_sync``, as the middleware does): the loop thread's own CPU time per
  chunk (hand-over, wake-up, result) and the wall time per chunk.

Inline costs the loop the whole compression; offloading costs it a fixed hand-over. The threshold is
the size from which the stall of compressing inline is both long compared with the hand-over (so
offloading saves loop time many times over) and long on its own (a few hundred microseconds hold every
other request back that long).

    python bench/web/thread_threshold.py
"""

from __future__ import annotations

import statistics
import sys
import time
from pathlib import Path
from typing import Callable, List

import anyio
import anyio.to_thread

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from data import text_document  # noqa: E402

from kivio import GZIP, SYNC_FLUSH, Compressor  # noqa: E402

SIZES = [16 << 10, 32 << 10, 64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20, 4 << 20]


def compress_chunk(level: int, chunk: bytes) -> bytes:
    compressor = Compressor(level, GZIP)
    return compressor.compress(chunk) + compressor.flush(SYNC_FLUSH)


def inline_seconds(level: int, chunk: bytes, repeats: int) -> float:
    times: List[float] = []
    for _ in range(repeats):
        start = time.thread_time()
        compress_chunk(level, chunk)
        times.append(time.thread_time() - start)
    return statistics.median(times)


async def offload(level: int, chunk: bytes, repeats: int) -> tuple[float, float]:
    """(loop thread CPU seconds, wall seconds) per offloaded chunk."""
    limiter = anyio.CapacityLimiter(1)
    work: Callable[[], bytes] = lambda: compress_chunk(level, chunk)  # noqa: E731
    await anyio.to_thread.run_sync(work, limiter=limiter)  # the worker thread exists from here on
    loop_start, wall_start = time.thread_time(), time.perf_counter()
    for _ in range(repeats):
        await anyio.to_thread.run_sync(work, limiter=limiter)
    return (time.thread_time() - loop_start) / repeats, (time.perf_counter() - wall_start) / repeats


def main() -> None:
    text = text_document()
    print("| chunk | inline level 1, us | inline level 0, us | offloaded: loop CPU us | offloaded: wall us (level 1) |")
    print("|---:|---:|---:|---:|---:|")
    for size in SIZES:
        chunk = text[:size]
        repeats = max(5, min(200, (8 << 20) // size))
        level1 = inline_seconds(1, chunk, repeats)
        level0 = inline_seconds(0, chunk, repeats)
        loop_cpu, wall = anyio.run(offload, 1, chunk, repeats)
        print(f"| {size >> 10} KiB | {level1 * 1e6:.0f} | {level0 * 1e6:.0f} | {loop_cpu * 1e6:.0f} | {wall * 1e6:.0f} |")


if __name__ == "__main__":
    main()
