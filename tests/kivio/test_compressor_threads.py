"""Threads: objects in parallel, one object shared by several threads, and work without the interpreter lock."""

from __future__ import annotations

import random
import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import kivio
from kivio_support import FORMATS, assert_decodes, text_like

DATA = text_like(1 << 20, seed=4)
# Short calls keep the interpreter lock, long ones release it (from 1 KiB when searching, 64 KiB when
# storing): both kinds at both levels, and flush points.
SIZES = [100, 1023, 1024, 5000, 65_535, 65_536, 100_000, 300_000]


def run(level: int, fmt: int, seed: int) -> bytes:
    rng = random.Random(seed)
    c = kivio.Compressor(level, fmt)
    parts = []
    pos = 0
    for _ in range(40):
        n = rng.choice(SIZES)
        parts.append(c.compress(DATA[pos : pos + n]))
        pos = (pos + n) % len(DATA)
        if rng.random() < 0.3:
            parts.append(c.flush(kivio.SYNC_FLUSH))
    parts.append(c.flush())
    return b"".join(parts)


def test_objects_on_several_threads_match_a_serial_run() -> None:
    jobs = [(level, fmt, seed) for seed in range(4) for level in (0, 1) for fmt in FORMATS.values()]
    serial = [run(*job) for job in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(lambda job: run(*job), jobs))
    assert parallel == serial


def test_one_object_shared_by_four_threads_keeps_every_call_whole() -> None:
    """Calls of every size (the interpreter lock kept and released) and flush points from four threads on
    one object. At level 0 on a raw stream every call's output is whole stored blocks, so the results form
    a valid stream in any order: decoding them must give back every input, each intact and exactly once,
    and every flush point must be an empty stored block or nothing."""
    c = kivio.Compressor(0, kivio.DEFLATE)
    results: list[bytes] = []
    sent: dict[bytes, bytes] = {}
    barrier = threading.Barrier(4)

    def work(t: int) -> None:
        rng = random.Random(t)
        barrier.wait()
        for i in range(60):
            tag = b"<%d:%03d>" % (t, i)
            piece = tag + DATA[rng.randrange(100_000) :][: rng.choice(SIZES)]
            sent[tag] = piece
            results.append(c.compress(piece))
            if rng.random() < 0.5:
                flushed = c.flush(rng.choice([kivio.SYNC_FLUSH, kivio.FULL_FLUSH]))
                assert flushed in (b"", b"\x00\x00\x00\xff\xff")
                results.append(flushed)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    decoded = zlib.decompress(b"".join(results) + c.flush(), -15)
    pos = 0
    seen = set()
    while pos < len(decoded):
        tag = decoded[pos : decoded.index(b">", pos) + 1]
        assert tag not in seen and decoded[pos : pos + len(sent[tag])] == sent[tag]
        seen.add(tag)
        pos += len(sent[tag])
    assert seen == set(sent)


def test_one_object_from_two_threads_is_serialised() -> None:
    """Every call gets the same input, so each thread's results must be an in-order part of the results
    of as many calls made one after the other, and the two parts must interleave to all of them."""
    for chunk in (DATA[:1000], DATA[:40_000]):  # the lock kept, and released
        calls = 150
        serial_obj = kivio.Compressor(1, kivio.GZIP)
        serial = [serial_obj.compress(chunk) for _ in range(2 * calls)]
        tail = serial_obj.flush()
        shared = kivio.Compressor(1, kivio.GZIP)
        results: dict[int, list[bytes]] = {0: [], 1: []}
        barrier = threading.Barrier(2)

        def work(t: int) -> None:
            barrier.wait()
            for _ in range(calls):
                results[t].append(shared.compress(chunk))

        threads = [threading.Thread(target=work, args=(t,)) for t in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert shared.flush() == tail
        assert is_interleaving(results[0], results[1], serial)
        assert_decodes(b"".join(serial) + tail, chunk * (2 * calls), kivio.GZIP)


def is_interleaving(a: list[bytes], b: list[bytes], whole: list[bytes]) -> bool:
    reachable = {(0, 0)}
    for item in whole:
        reachable = {(i + 1, j) for i, j in reachable if i < len(a) and a[i] == item} | {
            (i, j + 1) for i, j in reachable if j < len(b) and b[j] == item
        }
        if not reachable:
            return False
    return len(a) + len(b) == len(whole)


def test_large_calls_run_without_the_interpreter_lock() -> None:
    """A Python thread keeps running in the middle of one large compress call."""
    data = DATA * 64
    stamps: list[float] = []
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        c = kivio.Compressor(1, kivio.GZIP)
        start = time.perf_counter()
        stream = c.compress(data)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    quarter = (end - start) / 4
    inside = [t for t in stamps if start + quarter < t < end - quarter]
    assert len(inside) > 10, f"counter ran {len(inside)} times in the middle {2 * quarter:.3f} s of the call"
    assert zlib.decompressobj(31).decompress(stream[: 1 << 20])


def test_finish_racing_compress_and_flush_points() -> None:
    """One thread compresses and flushes until the stream is finished under it; the stream holds exactly
    the calls that came before FINISH."""
    chunk = DATA[:30_000]
    c = kivio.Compressor(1, kivio.ZLIB)
    done: list[bytes] = []
    fed = 0
    started = threading.Event()
    refused = threading.Event()

    def feed() -> None:
        nonlocal fed
        while True:
            try:
                done.append(c.compress(chunk))
                fed += 1
                done.append(c.flush(kivio.SYNC_FLUSH))
            except ValueError:
                refused.set()
                return
            started.set()

    t = threading.Thread(target=feed)
    t.start()
    started.wait()
    time.sleep(0.01)
    tail = c.flush()
    t.join()
    assert refused.is_set()
    assert_decodes(b"".join(done) + tail, chunk * fed, kivio.ZLIB)
