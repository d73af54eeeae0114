"""Threads under load: eight threads on a two-core machine, for a few seconds, on private and shared objects."""

from __future__ import annotations

import random
import sys
import threading
import time

import kiv

from reliability_support import decode, noise, text_like

DURATION = 3.0  # seconds of hammering
PRIVATE_THREADS = 4
SHARED_THREADS = 4


def make_pool() -> list[bytes]:
    """Chunks of all sizes from empty to 256 KiB, compressible and not."""
    pool = [b"", b"a", b"\xff" * 3, text_like(4, 1), noise(51, 2)]
    for i, n in enumerate([100, 1000, 4096, 33_000, 70_000, 256 * 1024]):
        pool.append(text_like(n, seed=10 + i))
        pool.append(noise(n, seed=20 + i))
    return pool


def test_private_and_shared_objects_on_eight_threads() -> None:
    pool = make_pool()
    deadline = time.monotonic() + DURATION
    errors: list[BaseException] = []
    private_streams = [0] * PRIVATE_THREADS

    def private_worker(k: int) -> None:
        rng = random.Random(k)
        try:
            while time.monotonic() < deadline:
                fmt = rng.choice([kiv.KIV_FMT_GZIP, kiv.KIV_FMT_ZLIB, kiv.KIV_FMT_DEFLATE, 7])
                c = kiv.compressobj(rng.randrange(-2, 4), fmt)
                fed = [rng.choice(pool) for _ in range(rng.randrange(0, 12))]
                stream = b"".join([c.compress(x) for x in fed] + [c.flush()])
                assert decode(stream, fmt) == b"".join(fed)
                private_streams[k] += 1
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    shared = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    # (input, result) in the order the calls went through the object's lock; see below.
    shared_calls: list[tuple[bytes, bytes]] = []

    def shared_worker(k: int) -> None:
        rng = random.Random(100 + k)
        try:
            while time.monotonic() < deadline:
                x = rng.choice(pool)
                shared_calls.append((x, shared.compress(x)))
        except BaseException as e:
            errors.append(e)

    # A thread that returns from compress holds the interpreter lock from the end of its engine call
    # until it blocks again, so with no forced hand-over its append above happens before any other
    # thread's call on the shared object can return: the list is in lock order. A long switch interval
    # removes the forced hand-over; the engine calls still release the lock and overlap.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        threads = [threading.Thread(target=private_worker, args=(k,)) for k in range(PRIVATE_THREADS)]
        threads += [threading.Thread(target=shared_worker, args=(k,)) for k in range(SHARED_THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]

    stream = b"".join(r for _, r in shared_calls) + shared.flush()
    expected = b"".join(x for x, _ in shared_calls)
    assert decode(stream, kiv.KIV_FMT_GZIP) == expected  # zlib checks the CRC-32 and the length too
    print(f"private streams: {private_streams}; shared object: {len(shared_calls)} calls, {len(expected)} bytes")
    assert all(n > 0 for n in private_streams)
    assert len(shared_calls) > SHARED_THREADS
