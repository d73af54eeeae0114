"""Threads: parallel objects, work without the interpreter lock, and one object shared by two threads."""

from __future__ import annotations

import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

import kiv
from conftest import FORMATS, WBITS, assert_decodes, run_stream, text_like

DATA = text_like(1 << 20, seed=4)
CHUNKS = [DATA[i : i + 40_000] for i in range(0, len(DATA), 40_000)]


def test_objects_on_several_threads_match_a_serial_run() -> None:
    jobs = [(level, fmt, CHUNKS[k:] + CHUNKS[:k]) for k in range(4) for level in (0, 1) for fmt in FORMATS.values()]
    serial = [run_stream(chunks, level, fmt) for level, fmt, chunks in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(lambda job: run_stream(job[2], job[0], job[1]), jobs))
    assert parallel == serial


def test_engine_work_runs_without_the_interpreter_lock() -> None:
    """A Python thread keeps running in the middle of one large compress call."""
    data = text_like(1 << 20, seed=8) * 96  # 96 MiB
    stamps: list[float] = []
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        c = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
        start = time.perf_counter()
        stream = c.compress(data)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    # With the lock held through the call, the counter could only run at its very start and end.
    quarter = (end - start) / 4
    inside = [t for t in stamps if start + quarter < t < end - quarter]
    assert len(inside) > 10, f"counter ran {len(inside)} times in the middle {2 * quarter:.3f} s of the call"
    assert zlib.decompressobj(31).decompress(stream[:1 << 20])  # a valid start


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_one_object_from_two_threads_is_serialised(fmt_name: str, fmt: int) -> None:
    """Calls on one object from two threads run one after the other.

    Every call gets the same input, so the calls' results, whatever thread made them, are those of a
    serial run of as many calls: each thread's results must be an in-order part of that sequence,
    and the two parts must interleave to the whole of it.
    """
    chunk = DATA[:20_000]
    calls_per_thread = 150
    serial_obj = kiv.compressobj(1, fmt)
    serial = [serial_obj.compress(chunk) for _ in range(2 * calls_per_thread)]
    serial_tail = serial_obj.flush()

    shared = kiv.compressobj(1, fmt)
    results: dict[int, list[bytes]] = {0: [], 1: []}
    barrier = threading.Barrier(2)

    def work(t: int) -> None:
        barrier.wait()
        for _ in range(calls_per_thread):
            results[t].append(shared.compress(chunk))

    threads = [threading.Thread(target=work, args=(t,)) for t in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    tail = shared.flush()

    assert tail == serial_tail
    assert sorted(results[0] + results[1]) == sorted(serial)
    assert is_interleaving(results[0], results[1], serial)
    assert_decodes(b"".join(serial) + tail, chunk * (2 * calls_per_thread), fmt)


def is_interleaving(a: list[bytes], b: list[bytes], whole: list[bytes]) -> bool:
    if len(a) + len(b) != len(whole):
        return False
    reachable = {(0, 0)}  # (taken from a, taken from b) after len(whole[:i])
    for item in whole:
        reachable = {(i + 1, j) for i, j in reachable if i < len(a) and a[i] == item} | {
            (i, j + 1) for i, j in reachable if j < len(b) and b[j] == item
        }
        if not reachable:
            return False
    return True


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_flush_racing_compress_on_one_object(fmt_name: str, fmt: int) -> None:
    """One thread compresses until the stream is finished under it; the other flushes. The stream holds
    exactly the calls that came before the flush."""
    chunk = DATA[:30_000]
    c = kiv.compressobj(1, fmt)
    done: list[bytes] = []
    refused = threading.Event()
    started = threading.Event()

    def feed() -> None:
        while True:
            try:
                done.append(c.compress(chunk))
            except ValueError:
                refused.set()
                return
            started.set()

    feeder = threading.Thread(target=feed)
    feeder.start()
    started.wait()
    time.sleep(0.01)
    tail = c.flush()
    feeder.join()
    assert refused.is_set()
    stream = b"".join(done) + tail
    assert zlib.decompress(stream, WBITS[fmt]) == chunk * len(done)
    assert_decodes(stream, chunk * len(done), fmt)
